#pragma once

// Read access to a parsed document's tape, for readers that take a few values without
// building a Value tree. Document::tape() gives one.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace json {
class Value;
} // namespace json

namespace json::tape {

// The two buffers of a parsed document: the words of its values and its string bytes.
struct Tape {
  const std::uint64_t *words;
  const std::uint8_t *strings;
};

// A value in simdjson's tape, the documented layout of its DOM: one 64-bit word per value
// with the kind in the top byte; a number fills the next word; a container holds, in its low
// 32 bits, the index just past its end marker; a string holds an offset into the string
// buffer, where a 32-bit length precedes the bytes.
class Node {
public:
  Node(const Tape *tape, std::uint32_t index) : _tape(tape), _i(index) {}
  const Tape *tape() const { return _tape; }
  std::uint32_t index() const { return _i; }

  char kind() const { return static_cast<char>(word() >> 56); }
  bool is_object() const { return kind() == '{'; }
  bool is_array() const { return kind() == '['; }
  bool is_string() const { return kind() == '"'; }
  bool is_null() const { return kind() == 'n'; }

  // The index just past this value.
  std::uint32_t end() const {
    switch (kind()) {
    case '{':
    case '[':
      return static_cast<std::uint32_t>(word());
    case 'l':
    case 'u':
    case 'd':
      return _i + 2;
    default:
      return _i + 1;
    }
  }
  // Requires: a container. Whether it has no element.
  bool empty() const { return static_cast<std::uint32_t>(word()) == _i + 2; }
  // Requires: a container. Its element count, saturated at 0xFFFFFF.
  std::size_t count() const { return (word() >> 32) & 0xFFFFFF; }

  std::string_view text() const {
    const std::uint8_t *p = _tape->strings + (word() & kPayload);
    std::uint32_t len;
    std::memcpy(&len, p, sizeof len);
    return {reinterpret_cast<const char *>(p + sizeof len), len};
  }
  template <class T> T number() const {
    T v;
    std::memcpy(&v, &_tape->words[_i + 1], sizeof v);
    return v;
  }

private:
  static constexpr std::uint64_t kPayload = (std::uint64_t{1} << 56) - 1;
  std::uint64_t word() const { return _tape->words[_i]; }

  const Tape *_tape;
  std::uint32_t _i;
};

struct Member {
  std::string_view key;
  Node value;
};

// Elements of an array, members of an object, in order.
template <class Item> class Range {
public:
  class iterator {
  public:
    iterator(const Tape *tape, std::uint32_t i) : _tape(tape), _i(i) {}
    Item operator*() const {
      if constexpr (std::is_same_v<Item, Member>) {
        return Member{Node(_tape, _i).text(), Node(_tape, _i + 1)};
      } else {
        return Node(_tape, _i);
      }
    }
    iterator &operator++() {
      if constexpr (std::is_same_v<Item, Member>) {
        _i = Node(_tape, _i + 1).end();
      } else {
        _i = Node(_tape, _i).end();
      }
      return *this;
    }
    bool operator!=(const iterator &other) const { return _i != other._i; }

  private:
    const Tape *_tape;
    std::uint32_t _i;
  };
  explicit Range(Node container) : _container(container) {}
  iterator begin() const { return {_container.tape(), _container.index() + 1}; }
  iterator end() const { return {_container.tape(), _container.end() - 1}; }
  bool empty() const { return _container.empty(); }
  std::size_t count() const { return _container.count(); }

private:
  Node _container;
};

// The root value of a tape (word 0 is the root marker).
inline Node root(const Tape *tape) { return Node(tape, 1); }

// The Value that parse() gives for the text of node (a repeated key keeps the first key's place
// and the last value).
Value to_value(Node node);

} // namespace json::tape
