#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace parquet {

class FileReader;

// Prints a human-readable listing of a file this module reads: schema, row count, row groups
// with their sizes and codec, and the first max_rows rows, one line each. Throws
// parquet::Error as FileReader::open does.
void inspect(const std::string &path, std::ostream &out, std::size_t max_rows = 10);
// The same of an open file, named by its path.
void inspect(const FileReader &reader, std::ostream &out, std::size_t max_rows = 10);

} // namespace parquet
