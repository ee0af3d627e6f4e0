#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace parquet {

enum class Codec { kUncompressed, kSnappy, kZstd };

// The uncompressed values a row group is cut at by the writers that build their row groups a
// table at a time (and the merge when it gathers small ones): a row group's columns are held
// in memory whole, so this bounds that memory whatever the width of a row.
inline constexpr std::int64_t kRowGroupBytes = std::int64_t{128} << 20;

struct WriterOptions {
  Codec codec = Codec::kSnappy;
  std::int64_t row_group_rows = 1 << 20; // a larger table is split
  std::int64_t page_bytes = 1 << 20;     // about this much encoded data per page
  int zstd_level = 1;                    // used when codec is kZstd
  // Text and int64 chunks are dictionary encoded when that is smaller than PLAIN and the
  // dictionary stays within dictionary_page_bytes; other chunks fall back to PLAIN.
  bool dictionary = true;
  std::int64_t dictionary_page_bytes = 1 << 20;
  // Every dictionary-encoded chunk gets a split-block bloom filter of its distinct values,
  // sized for this false-positive probability.
  bool bloom_filters = true;
  double bloom_fpp = 0.01;
  // Written as the footer's key-value metadata, in this order.
  std::vector<std::pair<std::string, std::string>> key_value_metadata;
  // Written as ".<name>.tmp" in the same directory; close() syncs it, renames it to its path
  // and syncs the directory, so the path never holds an incomplete file. A writer that is
  // not closed successfully removes its temporary file.
  bool publish_on_close = false;
};

} // namespace parquet
