#include "networking/remote_historian/v2/byte_size.h"

#include <array>
#include <limits>
#include <utility>

namespace networking::remote_historian::v2 {

std::optional<std::int64_t> parse_byte_size(std::string_view text) {
  constexpr std::array<std::pair<std::string_view, int>, 4> kUnits = {
      {{"KiB", 10}, {"MiB", 20}, {"GiB", 30}, {"TiB", 40}}};
  int shift = 0;
  for (const auto &[unit, bits] : kUnits) {
    if (text.size() > unit.size() && text.ends_with(unit)) {
      text.remove_suffix(unit.size());
      shift = bits;
      break;
    }
  }
  if (text.empty())
    return std::nullopt;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    const int digit = c - '0';
    if (value > (kMax - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0 || value > (kMax >> shift))
    return std::nullopt;
  return value << shift;
}

} // namespace networking::remote_historian::v2
