#include "parquet/file_reader.h"

#include "parquet/error.h"
#include "parquet/parsed_file.h"

namespace parquet {

struct FileReader::Impl {
  explicit Impl(ParsedFile f) : file(std::move(f)) {}
  ParsedFile file;
  std::vector<RowGroupInfo> infos;
  mutable DecodeBuffers buffers;
};

FileReader::FileReader() = default;
FileReader::~FileReader() = default;

namespace {

std::vector<RowGroupInfo> summarize(const ParsedFile &file) {
  std::vector<RowGroupInfo> infos;
  infos.reserve(file.num_row_groups());
  for (std::size_t g = 0; g < file.num_row_groups(); ++g) {
    RowGroupInfo info;
    info.num_rows = file.row_group_rows(g);
    for (std::size_t c = 0; c < file.schema().size(); ++c) {
      info.compressed_bytes += *file.chunk(g, c).total_compressed_size;
      info.uncompressed_bytes += *file.chunk(g, c).total_uncompressed_size;
    }
    info.codec = file.chunk_codec(g, 0);
    infos.push_back(info);
  }
  return infos;
}

Table empty_table(const Schema &schema) {
  Table table;
  table.columns.reserve(schema.size());
  for (const Field &f : schema.fields())
    table.columns.emplace_back(f.type);
  return table;
}

} // namespace

std::unique_ptr<FileReader> FileReader::open(const std::string &path) {
  return open(InputFile::open(path));
}

std::unique_ptr<FileReader> FileReader::open(InputFile input) {
  std::unique_ptr<FileReader> reader(new FileReader());
  reader->_impl = std::make_unique<Impl>(ParsedFile::open(std::move(input)));
  reader->_impl->infos = summarize(reader->_impl->file);
  return reader;
}

std::unique_ptr<FileReader> FileReader::open_buffer(std::string name, const std::uint8_t *data,
                                                    std::size_t size) {
  return open(InputFile::from_memory(std::move(name), data, size));
}

const Schema &FileReader::schema() const { return _impl->file.schema(); }
std::int64_t FileReader::num_rows() const { return _impl->file.num_rows(); }
const std::vector<RowGroupInfo> &FileReader::row_groups() const { return _impl->infos; }
const std::string &FileReader::path() const { return _impl->file.path(); }

std::string FileReader::created_by() const {
  return _impl->file.metadata().created_by.value_or("");
}

const std::vector<std::pair<std::string, std::string>> &FileReader::key_value_metadata() const {
  return _impl->file.metadata().key_value_metadata;
}

Table FileReader::read_row_group(std::size_t index) const {
  std::vector<std::size_t> all(_impl->file.schema().size());
  for (std::size_t c = 0; c < all.size(); ++c)
    all[c] = c;
  return read_columns(index, all);
}

Table FileReader::read_columns(std::size_t index, const std::vector<std::size_t> &columns) const {
  const ParsedFile &file = _impl->file;
  if (index >= file.num_row_groups()) {
    throw Error("File '" + file.path() + "' has no row group " + std::to_string(index) +
                " (it has " + std::to_string(file.num_row_groups()) + ")");
  }
  Table table;
  table.columns.reserve(columns.size());
  for (const std::size_t c : columns) {
    if (c >= file.schema().size()) {
      throw Error("File '" + file.path() + "' has no column " + std::to_string(c) + " (it has " +
                  std::to_string(file.schema().size()) + ")");
    }
    table.columns.emplace_back(file.schema().field(c).type);
    table.columns.back().reserve(static_cast<std::size_t>(file.row_group_rows(index)));
    file.decode_chunk(index, c, table.columns.back(), _impl->buffers);
  }
  return table;
}

Table FileReader::read_all() const { return read_head(static_cast<std::size_t>(num_rows())); }

Table FileReader::read_head(std::size_t max_rows) const {
  const ParsedFile &file = _impl->file;
  Table table = empty_table(file.schema());
  const std::size_t rows = std::min(max_rows, static_cast<std::size_t>(file.num_rows()));
  for (Column &column : table.columns)
    column.reserve(rows);
  std::size_t done = 0;
  for (std::size_t g = 0; g < file.num_row_groups() && done < rows; ++g) {
    const std::size_t take = rows - done;
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      file.decode_chunk(g, c, table.columns[c], _impl->buffers, take);
    }
    done += std::min(take, static_cast<std::size_t>(file.row_group_rows(g)));
  }
  return table;
}

} // namespace parquet
