#pragma once

// Shared by the two parsers of parse(): the fast path over a Document's tape (parse.cc) and
// the exact path that follows CPython's scanner (parse_exact.cc, parse_errors.cc).

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json/key_hash.h"
#include "json/value.h"

namespace json::detail {

// ---------------------------------------------------------------------------------------------
// Repeated keys

// Finds a repeated key while one object is built: a 1024-bit map of key hashes rules out
// almost every new key at once, and on a bit collision the members' hashes are compared
// before their keys; a very large object switches to a hash table.
class KeyIndex {
public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  // hashes: this thread's stack of member hashes. The object's hashes sit on top of it while
  // it is built; a nested object pushes its own above them and pops them when done.
  explicit KeyIndex(std::vector<std::uint32_t> &hashes) : _hashes(hashes), _base(hashes.size()) {}
  ~KeyIndex() { _hashes.resize(_base); }
  KeyIndex(const KeyIndex &) = delete;
  KeyIndex &operator=(const KeyIndex &) = delete;

  // members[0, count) are the object's members so far. Returns the position of the one named
  // key, or kNone after remembering key as the member at position count.
  std::size_t find_or_add(std::string_view key, const Object::Member *members, std::size_t count) {
    if (_map) {
      const auto [it, inserted] = _map->try_emplace(std::string(key), count);
      return inserted ? kNone : it->second;
    }
    if (count >= kBitsLimit) {
      _map = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      _map->reserve(2 * count);
      for (std::size_t i = 0; i < count; ++i)
        _map->emplace(members[i].first, i);
      return find_or_add(key, members, count);
    }
    const auto hash = static_cast<std::uint32_t>(key_hash(key));
    const unsigned bit = hash & 1023;
    std::uint64_t &word = _bits[bit >> 6];
    const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
    if ((word & mask) != 0) {
      const std::uint32_t *hashes = _hashes.data() + _base;
      for (std::size_t i = 0; i < count; ++i) {
        if (hashes[i] == hash && members[i].first == key)
          return i;
      }
    }
    word |= mask;
    _hashes.push_back(hash);
    return kNone;
  }

private:
  static constexpr std::size_t kBitsLimit = 128;

  std::vector<std::uint32_t> &_hashes;
  const std::size_t _base;
  std::array<std::uint64_t, 16> _bits{};
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> _map;
};

// The stack of member hashes that every parse on this thread reuses.
std::vector<std::uint32_t> &key_hashes();

// ---------------------------------------------------------------------------------------------
// The exact path

// Parses text as CPython's json scanner does, with its error messages and positions.
Value parse_exact(std::string_view text);

// Lets go of this thread's parse buffers (the exact path's stacks and the key hashes).
void release_parse_buffers();

// Throws ParseError with json.loads' message: what, then the position of byte pos of text as
// line, column and character index, counted in code points.
[[noreturn]] void fail_at(std::string_view text, std::size_t pos, std::string_view what);

// Python's strict UTF-8 decoder: throws ParseError naming the first bad sequence with the bytes
// of its longest valid prefix, as bytes.decode() reports it.
void validate_utf8(std::string_view text);

} // namespace json::detail
