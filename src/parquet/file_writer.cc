#include "parquet/file_writer.h"

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "parquet/error.h"
#include "parquet/io.h"
#include "parquet/metadata.h"
#include "parquet/table_encoder.h"

namespace parquet {

struct FileWriter::Impl {
  Impl(std::string p, Schema s, WriterOptions o)
      : path(std::move(p)), schema(std::move(s)), options(std::move(o)), encoder(schema, options) {}

  std::string path;
  std::string temp; // where the file is written with publish_on_close; otherwise path
  Schema schema;
  WriterOptions options;
  TableEncoder encoder;
  std::optional<OutputFile> out;
  std::vector<RowGroup> row_groups;
  std::int64_t num_rows = 0;
  bool closed = false;
  bool failed = false; // an I/O error left the file in an unknown state
};

namespace {

void check_options(const std::string &path, const Schema &schema, const WriterOptions &o) {
  const std::string file = "Writer for '" + path + "': ";
  if (schema.size() == 0)
    throw Error(file + "the schema has no columns");
  for (const Field &f : schema.fields()) {
    if (!f.nullable) {
      throw Error(file + "column '" + f.name +
                  "' is not nullable; files hold nullable columns only");
    }
  }
  if (o.row_group_rows < 1)
    throw Error(file + "row_group_rows must be at least 1");
  if (o.page_bytes < 1)
    throw Error(file + "page_bytes must be at least 1");
  if (o.codec != Codec::kUncompressed && o.codec != Codec::kSnappy && o.codec != Codec::kZstd) {
    throw Error(file + "unknown codec");
  }
  if (o.codec == Codec::kZstd && (o.zstd_level < 1 || o.zstd_level > 22))
    throw Error(file + "zstd_level must lie in 1..22");
  if (!(o.bloom_fpp > 0 && o.bloom_fpp < 1))
    throw Error(file + "bloom_fpp must lie between 0 and 1");
}

// ".<name>.tmp" beside path: dot-prefixed and not ending in ".parquet", so that globs for
// the finished files never match it.
std::string temp_beside(const std::string &path) {
  const std::filesystem::path target(path);
  std::string name(1, '.');
  name += target.filename().string();
  name += ".tmp";
  return (target.parent_path() / name).string();
}

} // namespace

FileWriter::FileWriter(std::string path, Schema schema, WriterOptions options) {
  check_options(path, schema, options);
  _impl = std::make_unique<Impl>(std::move(path), std::move(schema), std::move(options));
  _impl->temp = _impl->options.publish_on_close ? temp_beside(_impl->path) : _impl->path;
  _impl->out.emplace(_impl->temp);
  _impl->out->write("PAR1", 4);
}

FileWriter::~FileWriter() {
  if (!_impl || _impl->closed)
    return;
  if (_impl->options.publish_on_close) {
    _impl->closed = true;
    _impl->out.reset();
    std::remove(_impl->temp.c_str());
    return;
  }
  try {
    close();
  } catch (...) {
    // Documented: a destructor cannot report; call close() to see errors.
  }
}

const Schema &FileWriter::schema() const { return _impl->schema; }
const std::string &FileWriter::path() const { return _impl->path; }

void FileWriter::write_table(const Table &table) {
  Impl &w = *_impl;
  if (w.closed)
    throw Error("Writer for '" + w.path + "' is already closed");
  if (w.failed)
    throw Error("Writer for '" + w.path + "' failed earlier and cannot write more");
  check_table(w.schema, table);
  const std::size_t rows = table.num_rows();
  const auto step = static_cast<std::size_t>(w.options.row_group_rows);
  try {
    for (std::size_t begin = 0; begin < rows; begin += step) {
      const std::size_t end = std::min(rows, begin + step);
      RowGroup group = w.encoder.write_row_group(table, begin, end, *w.out);
      if (w.row_groups.size() <= 32767)
        group.ordinal = static_cast<std::int16_t>(w.row_groups.size());
      w.row_groups.push_back(std::move(group));
      w.num_rows += static_cast<std::int64_t>(end - begin);
    }
  } catch (...) {
    w.failed = true;
    throw;
  }
}

void FileWriter::set_key_value(const std::string &key, std::string value) {
  auto &kv = _impl->options.key_value_metadata;
  const auto found =
      std::find_if(kv.begin(), kv.end(), [&key](const auto &entry) { return entry.first == key; });
  if (found != kv.end()) {
    found->second = std::move(value);
  } else {
    kv.emplace_back(key, std::move(value));
  }
}

void FileWriter::close() {
  Impl &w = *_impl;
  if (w.closed)
    return;
  w.closed = true;
  const bool publish = w.options.publish_on_close;
  if (w.failed) {
    if (publish) {
      w.out.reset();
      std::remove(w.temp.c_str());
    }
    throw Error("Writer for '" + w.path + "' failed earlier; the file is incomplete");
  }
  try {
    _write_footer();
  } catch (...) {
    if (publish) {
      w.out.reset();
      std::remove(w.temp.c_str());
    }
    throw;
  }
  if (publish)
    sync_directory_of(w.path);
}

void FileWriter::_write_footer() {
  Impl &w = *_impl;
  FileMetaData meta;
  meta.version = 1;
  meta.schema = schema_elements(w.schema);
  meta.num_rows = w.num_rows;
  meta.row_groups = std::move(w.row_groups);
  meta.key_value_metadata = w.options.key_value_metadata;
  meta.created_by = created_by();
  meta.column_orders = w.schema.size();
  std::string footer;
  serialize(meta, footer);
  const auto length = static_cast<std::uint32_t>(footer.size());
  w.out->write(footer);
  w.out->write(&length, 4);
  w.out->write("PAR1", 4);
  if (!w.options.publish_on_close) {
    w.out->close();
    return;
  }
  w.out->sync();
  w.out->close();
  if (std::rename(w.temp.c_str(), w.path.c_str()) != 0) {
    throw Error("Cannot rename '" + w.temp + "' to '" + w.path + "': " + std::strerror(errno));
  }
}

} // namespace parquet
