#pragma once

// Equality of texts for the step intake's hot paths: the short ones that names and keys are
// compared without a library call, by two overlapping loads that stay inside both texts.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace networking::remote_historian::v2 {

template <class Word>
[[gnu::always_inline]] inline bool same_ends(const char *a, const char *b, std::size_t n) {
  Word a0, a1, b0, b1;
  std::memcpy(&a0, a, sizeof(Word));
  std::memcpy(&b0, b, sizeof(Word));
  std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
  std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size())
    return false;
  if (n >= 8) {
    return n <= 16 ? same_ends<std::uint64_t>(a.data(), b.data(), n)
                   : std::memcmp(a.data(), b.data(), n) == 0;
  }
  if (n >= 4)
    return same_ends<std::uint32_t>(a.data(), b.data(), n);
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i])
      return false;
  return true;
}

} // namespace networking::remote_historian::v2
