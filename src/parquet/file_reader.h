#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "parquet/io.h"
#include "parquet/options.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace parquet {

struct RowGroupInfo {
  std::int64_t num_rows = 0;
  std::int64_t compressed_bytes = 0;
  std::int64_t uncompressed_bytes = 0;
  Codec codec = Codec::kUncompressed; // of the first column chunk
};

// Reads files this module writes. Anything else is refused with a parquet::Error that names
// the file and the unsupported feature; a damaged file never crashes it. Not thread-safe: the
// decoding buffers are shared by the const methods of one reader.
class FileReader {
public:
  static std::unique_ptr<FileReader> open(const std::string &path);
  // Reads through input: a local file, a buffer or a ranged source (an object in a bucket).
  static std::unique_ptr<FileReader> open(InputFile input);
  // Reads a file image held in memory (the fuzzer's input); data must outlive the reader.
  static std::unique_ptr<FileReader> open_buffer(std::string name, const std::uint8_t *data,
                                                 std::size_t size);
  ~FileReader();

  const Schema &schema() const;
  std::int64_t num_rows() const;
  const std::vector<RowGroupInfo> &row_groups() const;
  // Decodes one row group into a table of the file's schema.
  Table read_row_group(std::size_t index) const;
  // Decodes only the given columns (schema indices) of one row group, in the order given: a
  // reader that needs a few columns of a wide file decodes nothing else.
  Table read_columns(std::size_t index, const std::vector<std::size_t> &columns) const;
  // Decodes the whole file.
  Table read_all() const;
  // Decodes at most max_rows rows from the start of the file.
  Table read_head(std::size_t max_rows) const;
  const std::string &path() const;
  std::string created_by() const; // empty when the file does not say
  // The footer's key-value metadata, in file order.
  const std::vector<std::pair<std::string, std::string>> &key_value_metadata() const;

private:
  FileReader();
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

} // namespace parquet
