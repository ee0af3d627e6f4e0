#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace redis {

// Spare capacity reserved after the bytes of every kString reply longer than a string's inline
// buffer, so that a parser which reads a little past the end (simdjson) can take the text in
// place.
inline constexpr std::size_t kStringPadding = 64;

// A parsed reply. Error replies never reach a caller as a Reply: they are thrown.
struct Reply {
  enum class Type { kNil, kString, kStatus, kInteger, kArray };
  Type type = Type::kNil;
  std::string str;             // kString and kStatus (bytes, undecoded)
  std::int64_t integer = 0;    // kInteger
  std::vector<Reply> elements; // kArray
};

} // namespace redis
