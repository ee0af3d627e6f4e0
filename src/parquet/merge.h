#pragma once

#include <string>
#include <vector>

#include "parquet/file_writer.h"

namespace parquet {

struct MergeOptions {
  WriterOptions writer;            // codec and sizes for re-encoded (coalesced) row groups
  std::int64_t min_copy_rows = 65536;  // row groups at least this large are copied byte for byte
};

// Merges files of identical schema into output, rows in list order. The output is written
// under a temporary name in the same directory and renamed into place when complete; on any
// failure nothing is left at output (an existing file there stays untouched).
// Throws parquet::Error naming the first file that differs and the first difference.
void merge_files(const std::vector<std::string>& inputs, const std::string& output,
                 const MergeOptions& options = {});

}  // namespace parquet
