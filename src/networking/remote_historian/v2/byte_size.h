#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace networking::remote_historian::v2 {

// A size as an operator writes it: decimal digits, then optionally "KiB", "MiB", "GiB" or
// "TiB" (powers of 1024; no space before the unit). No value for anything else, for zero and
// for a size beyond the int64 range.
std::optional<std::int64_t> parse_byte_size(std::string_view text);

} // namespace networking::remote_historian::v2
