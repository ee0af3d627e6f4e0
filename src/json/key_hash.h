#pragma once

// Shared by the parser and the writer, which both tell the keys of an object apart.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace json::detail {

// An unaligned load of a word, widened.
template <class Word> std::uint64_t load(const char *at) {
  Word w;
  std::memcpy(&w, at, sizeof w);
  return w;
}

// A key hash with fixed-size loads only (short keys read overlapping words) and one wide
// multiply to mix: keys of one object often differ in a single digit ("joint_7", "joint_12").
[[gnu::always_inline]] inline std::uint64_t key_hash(std::string_view key) {
  __extension__ typedef unsigned __int128 Wide;
  const char *p = key.data();
  const std::size_t n = key.size();
  std::uint64_t a = n;
  std::uint64_t b = 0;
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8)
      a = (a ^ load<std::uint64_t>(p + i)) * 0x9E3779B97F4A7C15u;
    b = load<std::uint64_t>(p + n - 8);
  } else if (n >= 4) {
    b = load<std::uint32_t>(p) << 32 | load<std::uint32_t>(p + n - 4);
  } else if (n > 0) {
    b = load<std::uint8_t>(p) | load<std::uint8_t>(p + n / 2) << 8 |
        load<std::uint8_t>(p + n - 1) << 16;
  }
  const Wide m = static_cast<Wide>(a ^ 0xA0761D6478BD642Fu) * (b ^ 0xE7037ED1A0B428DBu);
  return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

} // namespace json::detail
