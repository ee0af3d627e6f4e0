#include "parquet/merge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>

#include "parquet/error.h"
#include "parquet/io.h"
#include "parquet/metadata.h"
#include "parquet/parsed_file.h"
#include "parquet/table_encoder.h"

namespace parquet {
namespace {

ParsedFile open_input(const std::string &path) { return ParsedFile::open(InputFile::open(path)); }

// Names the first difference between the schema of `file` and that of `first`, or "".
std::string schema_difference(const ParsedFile &first, const ParsedFile &file) {
  std::string logical = file.schema().first_difference(first.schema());
  if (!logical.empty())
    return logical;
  for (std::size_t i = 0; i < file.leaf_bytes().size(); ++i) {
    if (file.leaf_bytes()[i] != first.leaf_bytes()[i]) {
      return "column " + std::to_string(i + 1) + " '" + file.schema().field(i).name +
             "' carries other type annotations here than there";
    }
  }
  return {};
}

void check_same_schema(const ParsedFile &first, const ParsedFile &file) {
  const std::string difference = schema_difference(first, file);
  if (!difference.empty()) {
    throw Error("Schema of '" + file.path() + "' differs from that of '" + first.path() +
                "': " + difference);
  }
}

// Bytes that decoding a row group adds to a Table: flags, values, text payloads.
std::uint64_t decoded_bytes(const ParsedFile &file, std::size_t rg) {
  const auto rows = static_cast<std::uint64_t>(file.row_group_rows(rg));
  std::uint64_t bytes = 0;
  for (std::size_t c = 0; c < file.schema().size(); ++c) {
    switch (file.schema().field(c).type) {
    case Type::kString:
      bytes += rows * (1 + sizeof(std::string)) +
               static_cast<std::uint64_t>(*file.chunk(rg, c).total_uncompressed_size);
      break;
    case Type::kInt64:
    case Type::kDouble:
      bytes += rows * 9;
      break;
    case Type::kBool:
      bytes += rows * 2;
      break;
    }
  }
  return bytes;
}

// Creates an empty file under a fresh name beside output. Opened with O_EXCL and without
// O_TRUNC: ext4 flushes a truncated file when it is closed, which would cost a full write.
std::unique_ptr<OutputFile> create_temp_beside(const std::string &output) {
  const std::filesystem::path target(output);
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) about "." + std::string&&.
    std::string name(1, '.');
    name += target.filename().string();
    name += ".merge-";
    name += std::to_string(::getpid());
    name += '-';
    name += std::to_string(random());
    const std::string path = (dir / name).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0)
      return std::make_unique<OutputFile>(path, fd);
    if (errno != EEXIST || attempt == 100) {
      throw Error("Cannot create a temporary file beside '" + output +
                  "': " + std::strerror(errno));
    }
  }
}

class Merger {
public:
  Merger(const ParsedFile &first, const MergeOptions &options, OutputFile &out)
      : _options(options), _out(out), _schema(first.schema()), _encoder(_schema, options.writer) {
    _meta.version = 1;
    _meta.schema = first.metadata().schema;
    _meta.created_by = created_by();
    _meta.key_value_metadata = options.writer.key_value_metadata.empty()
                                   ? first.metadata().key_value_metadata
                                   : options.writer.key_value_metadata;
    _meta.column_orders = _schema.size();
    _pending.columns.reserve(_schema.size());
    for (const Field &f : _schema.fields())
      _pending.columns.emplace_back(f.type);
    _out.write("PAR1", 4);
  }

  void add(const ParsedFile &file) {
    for (std::size_t g = 0; g < file.num_row_groups(); ++g) {
      const RowGroup &group = file.metadata().row_groups[g];
      const std::uint64_t decoded = decoded_bytes(file, g);
      // A row group that alone decodes to more than a coalesced one may hold is copied too,
      // so that gathering never holds more than coalesce_bytes.
      if (file.row_group_rows(g) >= _options.min_copy_rows ||
          group.total_byte_size.value_or(0) >= _options.min_copy_bytes ||
          decoded > static_cast<std::uint64_t>(_options.coalesce_bytes)) {
        _flush_pending();
        _copy(file, g);
      } else {
        _gather(file, g, decoded);
      }
    }
  }

  void finish() {
    _flush_pending();
    _meta.num_rows = _num_rows;
    std::string footer;
    serialize(_meta, footer);
    const auto length = static_cast<std::uint32_t>(footer.size());
    _out.write(footer);
    _out.write(&length, 4);
    _out.write("PAR1", 4);
  }

private:
  void _add_row_group(RowGroup group) {
    const std::size_t index = _meta.row_groups.size();
    group.ordinal = index <= 32767 ? std::optional<std::int16_t>(static_cast<std::int16_t>(index))
                                   : std::nullopt;
    _num_rows += *group.num_rows;
    _meta.row_groups.push_back(std::move(group));
  }

  // Copies the row group's chunks and bloom filters byte for byte; page headers hold no file
  // offsets, so only the offsets in the footer move. Ranges that lie back to back, as a row
  // group's chunks and then its bloom filters do in our files, are copied in one call.
  void _copy(const ParsedFile &file, std::size_t g) {
    const RowGroup &source = file.metadata().row_groups[g];
    const std::size_t columns = source.columns.size();
    struct Range {
      std::uint64_t start, length;
    };
    std::vector<Range> ranges;
    ranges.reserve(2 * columns);
    for (std::size_t c = 0; c < columns; ++c) {
      file.check_chunk_pages(g, c, _buffers);
      ranges.push_back({file.chunk_start(g, c),
                        static_cast<std::uint64_t>(*file.chunk(g, c).total_compressed_size)});
    }
    // A bloom filter without its length (some writers omit it) is left behind.
    std::vector<std::size_t> bloom_range(columns, 0);
    for (std::size_t c = 0; c < columns; ++c) {
      const ColumnMetaData &m = file.chunk(g, c);
      if (m.bloom_filter_offset && m.bloom_filter_length) {
        file.check_bloom_filter(g, c, _buffers);
        bloom_range[c] = ranges.size();
        ranges.push_back({static_cast<std::uint64_t>(*m.bloom_filter_offset),
                          static_cast<std::uint64_t>(*m.bloom_filter_length)});
      }
    }
    std::vector<std::int64_t> lands(ranges.size());
    std::uint64_t run_start = 0, run_end = 0; // the bytes still to copy
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      if (i == 0 || ranges[i].start != run_end) {
        _out.copy_from(file.input(), run_start, run_end - run_start);
        run_start = run_end = ranges[i].start;
      }
      // Where the range lands once the run before it is written.
      lands[i] = static_cast<std::int64_t>(_out.position() + (ranges[i].start - run_start));
      run_end = ranges[i].start + ranges[i].length;
    }
    _out.copy_from(file.input(), run_start, run_end - run_start);

    RowGroup group;
    group.num_rows = source.num_rows;
    group.total_byte_size = source.total_byte_size;
    group.file_offset = lands.empty() ? static_cast<std::int64_t>(_out.position()) : lands[0];
    std::int64_t compressed = 0;
    for (std::size_t c = 0; c < columns; ++c) {
      const ColumnMetaData &m = file.chunk(g, c);
      const std::int64_t delta = lands[c] - static_cast<std::int64_t>(ranges[c].start);
      ColumnChunk chunk;
      chunk.file_offset =
          source.columns[c].file_offset == 0 ? 0 : source.columns[c].file_offset + delta;
      ColumnMetaData &copied = chunk.meta_data.emplace(m);
      copied.data_page_offset = *m.data_page_offset + delta;
      if (m.dictionary_page_offset)
        copied.dictionary_page_offset = *m.dictionary_page_offset + delta;
      if (bloom_range[c] != 0) {
        copied.bloom_filter_offset = lands[bloom_range[c]];
      } else {
        copied.bloom_filter_offset.reset();
        copied.bloom_filter_length.reset();
      }
      group.columns.push_back(std::move(chunk));
      compressed += static_cast<std::int64_t>(ranges[c].length);
    }
    group.total_compressed_size = compressed;
    _add_row_group(std::move(group));
  }

  // bytes: decoded_bytes(file, g).
  void _gather(const ParsedFile &file, std::size_t g, std::uint64_t bytes) {
    const auto rows = static_cast<std::size_t>(file.row_group_rows(g));
    const auto max_rows =
        static_cast<std::size_t>(std::min(_options.coalesce_rows, _options.writer.row_group_rows));
    const auto max_bytes = static_cast<std::uint64_t>(_options.coalesce_bytes);
    const std::size_t held = _pending.num_rows();
    if (held > 0 && (held + rows > max_rows || _pending_bytes + bytes > max_bytes)) {
      _flush_pending();
    }
    if (_pending.num_rows() == 0 && rows > 0) {
      // Reserve what the budget allows at this row width, so the vectors do not overshoot it
      // by doubling.
      const std::size_t fit =
          static_cast<std::size_t>(max_bytes / std::max<std::uint64_t>(1, bytes / rows));
      const std::size_t expect = std::max(rows, std::min(max_rows, fit));
      for (Column &column : _pending.columns)
        column.reserve(expect);
    }
    // The footer's sizes understate dictionary-encoded text, which decodes to far more than
    // its pages hold: the text is counted as it is decoded.
    std::uint64_t counted = 0;
    for (std::size_t c = 0; c < _pending.columns.size(); ++c) {
      Column &column = _pending.columns[c];
      const std::size_t before = column.size();
      file.decode_chunk(g, c, column, _buffers);
      if (column.type == Type::kString) {
        counted += (column.size() - before) * (1 + sizeof(std::string));
        for (std::size_t r = before; r < column.size(); ++r)
          counted += column.strings[r].size();
      } else {
        counted += (column.size() - before) * (column.type == Type::kBool ? 2 : 9);
      }
    }
    const std::uint64_t decoded = std::max(bytes, counted);
    _pending_bytes += decoded;
    if (_pending_bytes >= max_bytes || _pending.num_rows() >= max_rows)
      _flush_pending();
  }

  void _flush_pending() {
    const std::size_t rows = _pending.num_rows();
    if (rows == 0)
      return;
    // The values came out of our reader, which checks text and flags as the writer would.
    _add_row_group(_encoder.write_row_group(_pending, 0, rows, _out));
    for (Column &column : _pending.columns) {
      column.valid.clear();
      column.strings.clear();
      column.ints.clear();
      column.doubles.clear();
      column.bools.clear();
    }
    _pending_bytes = 0;
  }

  const MergeOptions &_options;
  OutputFile &_out;
  Schema _schema;
  TableEncoder _encoder;
  DecodeBuffers _buffers;
  FileMetaData _meta;
  std::int64_t _num_rows = 0;
  Table _pending;
  std::uint64_t _pending_bytes = 0;
};

} // namespace

void merge_files(const std::vector<std::string> &inputs, const std::string &output,
                 const MergeOptions &options) {
  if (inputs.empty())
    throw Error("No input files to merge into '" + output + "'");
  if (options.writer.row_group_rows < 1 || options.coalesce_bytes < 1 ||
      options.coalesce_rows < 1) {
    throw Error("Merge into '" + output +
                "': row_group_rows, coalesce_bytes and coalesce_rows must be positive");
  }
  // Every footer is read and compared before anything is created; the inputs are then opened
  // again one at a time, so the number of inputs is not limited by open file descriptors.
  const ParsedFile first = open_input(inputs.front());
  for (std::size_t i = 1; i < inputs.size(); ++i)
    check_same_schema(first, open_input(inputs[i]));

  const std::unique_ptr<OutputFile> out = create_temp_beside(output);
  const std::string temp = out->path();
  try {
    out->write_back_early();
    Merger merger(first, options, *out);
    merger.add(first);
    for (std::size_t i = 1; i < inputs.size(); ++i) {
      const ParsedFile file = open_input(inputs[i]);
      check_same_schema(first, file); // the file may have been replaced since the first pass
      merger.add(file);
    }
    merger.finish();
    // Without the sync, a crash soon after the rename could leave an empty file in place.
    out->sync();
    out->close();
    if (std::rename(temp.c_str(), output.c_str()) != 0) {
      throw Error("Cannot rename '" + temp + "' to '" + output + "': " + std::strerror(errno));
    }
  } catch (...) {
    std::remove(temp.c_str());
    throw;
  }
  sync_directory_of(output);
}

} // namespace parquet
