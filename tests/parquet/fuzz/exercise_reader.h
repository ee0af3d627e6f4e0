#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Opens a file image with the reader and decodes what it can: every row group (those of at
// most kMaxCells values; a valid file may declare far more rows than its bytes, all null),
// and the first rows. Returns true when everything decoded, false when the reader refused
// the file with parquet::Error. Any other exception, or a crash, is a finding.
bool exercise_reader(const std::uint8_t *data, std::size_t size);

inline constexpr std::size_t kMaxCells = std::size_t{1} << 22;

} // namespace fuzz
