#pragma once

#include <cstdint>

namespace parquet {

enum class Codec { kUncompressed, kSnappy, kZstd };

struct WriterOptions {
  Codec codec = Codec::kSnappy;
  std::int64_t row_group_rows = 1 << 20; // a larger table is split
  std::int64_t page_bytes = 1 << 20;     // about this much encoded data per page
  int zstd_level = 1;                    // used when codec is kZstd
  // Written as ".<name>.tmp" in the same directory; close() syncs it, renames it to its path
  // and syncs the directory, so the path never holds an incomplete file. A writer that is
  // not closed successfully removes its temporary file.
  bool publish_on_close = false;
};

} // namespace parquet
