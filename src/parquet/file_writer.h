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
  // Creates or replaces the file at path (or its temporary, see publish_on_close). Throws
  // parquet::Error when it cannot be opened.
  FileWriter(std::string path, Schema schema, WriterOptions options = {});
  // Closes the file when close() was not called; errors are swallowed there. With
  // publish_on_close the unfinished file is removed instead.
  ~FileWriter();
  FileWriter(const FileWriter &) = delete;
  FileWriter &operator=(const FileWriter &) = delete;

  const Schema &schema() const;
  const std::string &path() const;

  // Throws parquet::Error before writing anything when the table does not fit the schema.
  void write_table(const Table &table);
  // Sets the footer's value of key (appended when the options did not have it): for what is
  // known only once the rows are written.
  void set_key_value(const std::string &key, std::string value);
  // Writes the footer and closes the file (and publishes it, see publish_on_close). Throws on
  // I/O failure; with publish_on_close nothing is then left at path or at the temporary.
  void close();

private:
  // The footer, then (with publish_on_close) the sync and the rename.
  void _write_footer();
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

} // namespace parquet
