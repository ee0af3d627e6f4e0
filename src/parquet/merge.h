#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parquet/options.h"

namespace parquet {

struct MergeOptions {
  WriterOptions writer;               // codec and sizes for re-encoded (coalesced) row groups
  std::int64_t min_copy_rows = 65536; // row groups at least this large are copied byte for byte
  // Smaller row groups are decoded and gathered until this many bytes of decoded values (or
  // writer.row_group_rows rows) are held, then written as one row group. Bounds the memory.
  std::int64_t coalesce_bytes = std::int64_t{64} << 20;
};

// Merges files of identical schema into output, rows in list order. The output is written
// under a temporary name in the same directory and renamed into place when complete; on any
// failure nothing is left at output (an existing file there stays untouched). The temporary
// file is synced before the rename, so a crash cannot leave a renamed but empty output.
// Throws parquet::Error naming the first file that differs and the first difference, or the
// damaged input. Copied chunks get their page headers checked; their values are not decoded.
void merge_files(const std::vector<std::string> &inputs, const std::string &output,
                 const MergeOptions &options = {});

} // namespace parquet
