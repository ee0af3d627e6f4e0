#pragma once

// Shared by the writer (write.cc), Python's repr of a double (write_double.cc) and the check
// for repeated keys in a parsed object (write_keys.cc).

#include <cstddef>

#include "json/tape.h"

namespace json::detail {

// Room for any number's text: the number writers may store this many bytes at the cursor,
// past the text's own end.
inline constexpr std::size_t kNumberRoom = 48;

// Python's repr of d at `at`: stores up to kNumberRoom bytes and returns the text's length.
std::size_t put_repr(double d, char *at);

// How distinct_keys() tells the keys of an object apart, by its number of members.
inline constexpr std::size_t kPairwise = 8;
inline constexpr std::size_t kMapped = 128;

// Whether the members of a tape object have different keys. A few are compared pairwise; up
// to kMapped mark their hashes in a 1024-bit map, and only keys whose bits meet are compared;
// more take the table.
bool distinct_keys(tape::Node object);

} // namespace json::detail
