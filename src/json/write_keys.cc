#include "json/write_internal.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "json/key_hash.h"

// Whether a parsed object repeats a key: the writer copies an object from the tape only when
// its keys all differ, as a Value tree holds them.

namespace json::detail {
namespace {

// distinct_keys() for any number of members: their views are hashed into an open-addressing
// table of this thread, reused from object to object.
bool distinct_keys_in_table(tape::Node object) {
  thread_local std::vector<std::string_view> keys;
  keys.clear();
  for (const tape::Member m : tape::Range<tape::Member>(object))
    keys.push_back(m.key);
  const std::size_t n = keys.size();
  unsigned bits = 4;
  while ((std::size_t{1} << bits) < 2 * n)
    ++bits;
  thread_local std::vector<std::uint32_t> slots; // index + 1 into keys, 0 for free
  slots.assign(std::size_t{1} << bits, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view key = keys[i];
    for (std::size_t s = key_hash(key) & mask;; s = (s + 1) & mask) {
      if (slots[s] == 0) {
        slots[s] = static_cast<std::uint32_t>(i + 1);
        break;
      }
      if (keys[slots[s] - 1] == key)
        return false;
    }
  }
  return true;
}

} // namespace

bool distinct_keys(tape::Node object) {
  const std::size_t count = object.count();
  const tape::Range<tape::Member> members(object);
  if (count <= kPairwise) {
    std::array<std::string_view, kPairwise> keys;
    std::size_t i = 0;
    for (const tape::Member m : members) {
      if (i == kPairwise) // count() is exact below 2^24 members: a guard of the array only
        return distinct_keys_in_table(object);
      for (std::size_t j = 0; j < i; ++j) {
        if (keys[j] == m.key)
          return false;
      }
      keys[i++] = m.key;
    }
    return true;
  }
  if (count > kMapped)
    return distinct_keys_in_table(object);
  std::array<std::uint64_t, 16> map{};
  // The key's tape index and its bit in the map, member by member.
  std::array<std::uint32_t, kMapped> key_index;
  std::array<std::uint16_t, kMapped> key_bit;
  const tape::Tape *tape = object.tape();
  std::size_t i = 0;
  for (const tape::Member m : members) {
    if (i == kMapped)
      return distinct_keys_in_table(object);
    const auto bit = static_cast<std::uint16_t>(key_hash(m.key) & 1023);
    std::uint64_t &word = map[bit >> 6];
    const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
    if ((word & mask) != 0) {
      for (std::size_t j = 0; j < i; ++j) {
        if (key_bit[j] == bit && tape::Node(tape, key_index[j]).text() == m.key)
          return false;
      }
    }
    word |= mask;
    key_index[i] = m.value.index() - 1;
    key_bit[i] = bit;
    ++i;
  }
  return true;
}

} // namespace json::detail
