#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parquet/options.h"

namespace parquet {

struct MergeOptions {
  // Codec, dictionary and bloom filters of re-encoded (coalesced) row groups; its key-value
  // metadata, when given, replaces that of the first input.
  WriterOptions writer;
  // Row groups of at least this many rows, or of this many uncompressed bytes, are copied byte
  // for byte, bloom filters included.
  std::int64_t min_copy_rows = 250000;
  std::int64_t min_copy_bytes = std::int64_t{32} << 20;
  // Smaller row groups are decoded and gathered until this many bytes of decoded values or
  // this many rows (or writer.row_group_rows, if fewer) are held, then written as one row
  // group. Bounds the memory.
  std::int64_t coalesce_bytes = kRowGroupBytes;
  std::int64_t coalesce_rows = 1000000;
};

// Merges files of identical schema into output, rows in list order. The output is written
// under a temporary name in the same directory and renamed into place when complete; on any
// failure nothing is left at output (an existing file there stays untouched). The temporary
// file is synced before the rename, so a crash cannot leave a renamed but empty output.
// Throws parquet::Error naming the first file that differs and the first difference, or the
// damaged input. Copied chunks get their page headers checked; their values are not decoded.
// The output carries the first input's key-value metadata unless options.writer names some.
void merge_files(const std::vector<std::string> &inputs, const std::string &output,
                 const MergeOptions &options = {});

} // namespace parquet
