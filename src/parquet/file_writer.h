#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "parquet/options.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace parquet {

// Writes one Parquet file with a fixed schema; one row group per written table (split when
// a table exceeds row_group_rows). Not thread-safe; one writer per file.
class FileWriter {
public:
  // Creates or replaces the file at path. Throws parquet::Error when it cannot be opened.
  FileWriter(std::string path, Schema schema, WriterOptions options = {});
  ~FileWriter(); // Closes the file when close() was not called; errors are swallowed there.
  FileWriter(const FileWriter &) = delete;
  FileWriter &operator=(const FileWriter &) = delete;

  const Schema &schema() const;
  const std::string &path() const;

  // Throws parquet::Error before writing anything when the table does not fit the schema.
  void write_table(const Table &table);
  // Writes the footer and closes the file. Throws on I/O failure.
  void close();

private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

} // namespace parquet
