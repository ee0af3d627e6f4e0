#include "json/write.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "json/key_hash.h"
#include "json/utf8.h"
#include "json/write_internal.h"

// The writer: a Value tree or a parsed document's tape to the text json.dumps gives. Python's
// repr of a double is in write_double.cc, the check for repeated keys in write_keys.cc.

namespace json {
namespace {

using detail::distinct_keys;
using detail::key_hash;
using detail::kMapped;
using detail::kNumberRoom;
using detail::kPairwise;
using detail::put_repr;

constexpr char kHex[] = "0123456789abcdef";

// Thrown by an Out over fixed room when the text outgrows it.
struct NoRoom {};

// The text being written: bytes are stored through a cursor into room made ahead, so that a
// token costs one bound check rather than a call into a string. Over a string, the room is
// made at its end and the string is cut to the written size at the end (one Out at a time
// per string); over fixed room, a text that outgrows it throws NoRoom.
class Out {
public:
  explicit Out(std::string &s) : _s(&s), _begin(s.data()), _at(_begin + s.size()), _end(_at) {}
  Out(char *at, std::size_t size) : _begin(at), _at(at), _end(at + size) {}
  ~Out() {
    if (_s != nullptr)
      _s->resize(size());
  }
  Out(const Out &) = delete;
  Out &operator=(const Out &) = delete;

  // Bytes written, with what a string held before.
  std::size_t size() const { return static_cast<std::size_t>(_at - _begin); }
  // At least n writable bytes at the cursor.
  char *room(std::size_t n) {
    if (static_cast<std::size_t>(_end - _at) < n)
      grow(n);
    return _at;
  }
  void advance(std::size_t n) { _at += n; }
  // Drops what was written after the first `size` bytes.
  void rewind(std::size_t size) { _at = _begin + size; }
  void put(char c) {
    *room(1) = c;
    ++_at;
  }
  void put(std::string_view text) {
    std::memcpy(room(text.size()), text.data(), text.size());
    _at += text.size();
  }

private:
  [[gnu::noinline]] void grow(std::size_t n) {
    if (_s == nullptr)
      throw NoRoom{};
    const std::size_t used = size();
    _s->resize(std::max({used + n, 2 * used, std::size_t{64}}));
    _begin = _s->data();
    _at = _begin + used;
    _end = _begin + _s->size();
  }

  std::string *_s = nullptr;
  char *_begin;
  char *_at;
  char *_end;
};

// For each byte: 0 when it is written as it is, else the letter of its short escape, 'u' for
// a \u00XX escape, or 'm' for the lead or continuation byte of a multi-byte sequence.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c)
    t[c] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  t[0x7F] = 'u'; // json.dumps passes only ' ' to '~' through
  for (int c = 0x80; c < 0x100; ++c)
    t[c] = 'm';
  return t;
}();

using detail::load;

// Whether each of the 8 bytes of w is written as it is (' ' to '~', neither '"' nor '\\'):
// the word tests for a byte below a bound and for a zero byte, which are exact for "any".
constexpr bool plain_word(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  const std::uint64_t below_space = (w - kOnes * ' ') & ~w;
  const std::uint64_t is_quote = (quote - kOnes) & ~quote;
  const std::uint64_t is_backslash = (backslash - kOnes) & ~backslash;
  const std::uint64_t from_del = w | (w + kOnes); // a carry comes only from a byte 0xFF
  return ((below_space | is_quote | is_backslash | from_del) & kHigh) == 0;
}

// Whether no byte of s needs an escape; short texts are read as overlapping words.
[[gnu::always_inline]] inline bool plain_text(std::string_view s) {
  const char *p = s.data();
  const std::size_t n = s.size();
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if (!plain_word(load<std::uint64_t>(p + i)))
        return false;
    }
    return plain_word(load<std::uint64_t>(p + n - 8));
  }
  if (n >= 4)
    return plain_word(load<std::uint32_t>(p) | load<std::uint32_t>(p + n - 4) << 32);
  for (std::size_t i = 0; i < n; ++i) {
    if (kEscape[static_cast<unsigned char>(p[i])] != 0)
      return false;
  }
  return true;
}

// Copies n bytes; short runs by overlapping words instead of a library call.
void copy_bytes(char *to, const char *from, std::size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i)
      to[i] = from[i];
  }
}

void put_u(Out &out, std::uint32_t unit) {
  char *at = out.room(6);
  at[0] = '\\';
  at[1] = 'u';
  at[2] = kHex[(unit >> 12) & 0xF];
  at[3] = kHex[(unit >> 8) & 0xF];
  at[4] = kHex[(unit >> 4) & 0xF];
  at[5] = kHex[unit & 0xF];
  out.advance(6);
}

void put_string(std::string_view s, Out &out) {
  const std::size_t n = s.size();
  if (plain_text(s)) {
    char *at = out.room(n + 2);
    at[0] = '"';
    copy_bytes(at + 1, s.data(), n);
    at[n + 1] = '"';
    out.advance(n + 2);
    return;
  }
  out.put('"');
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    while (i < n && kEscape[static_cast<unsigned char>(s[i])] == 0)
      ++i;
    out.put(s.substr(start, i - start));
    if (i == n)
      break;
    const auto c = static_cast<unsigned char>(s[i]);
    const char e = kEscape[c];
    if (e == 'm') {
      std::uint32_t cp;
      const std::size_t len = decode_utf8(s, i, cp);
      if (len == 0) {
        put_u(out, 0xDC00 | c);
        ++i;
      } else if (cp >= 0x10000) {
        put_u(out, 0xD800 + ((cp - 0x10000) >> 10));
        put_u(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        i += len;
      } else {
        put_u(out, cp);
        i += len;
      }
    } else if (e == 'u') {
      put_u(out, c);
      ++i;
    } else {
      char *at = out.room(2);
      at[0] = '\\';
      at[1] = e;
      out.advance(2);
      ++i;
    }
  }
  out.put('"');
}

template <class Int> void put_int(Int v, Out &out) {
  char *at = out.room(kNumberRoom);
  out.advance(static_cast<std::size_t>(std::to_chars(at, at + kNumberRoom, v).ptr - at));
}

void put_double(double d, Out &out, NonFinite non_finite) {
  if (non_finite == NonFinite::kNull && !std::isfinite(d)) {
    out.put("null");
  } else if (std::isnan(d)) {
    out.put("NaN");
  } else if (std::isinf(d)) {
    out.put(d < 0 ? "-Infinity" : "Infinity");
  } else {
    char *at = out.room(kNumberRoom);
    out.advance(put_repr(d, at));
  }
}

void put_value(const Value &v, Out &out, NonFinite non_finite) {
  switch (v.kind()) {
  case Kind::kNull:
    out.put("null");
    return;
  case Kind::kBool:
    out.put(v.as_bool() ? "true" : "false");
    return;
  case Kind::kInt:
    put_int(v.as_int(), out);
    return;
  case Kind::kUint:
    put_int(v.as_uint(), out);
    return;
  case Kind::kBigInt:
    out.put(v.as_bigint().digits);
    return;
  case Kind::kDouble:
    put_double(v.as_double(), out, non_finite);
    return;
  case Kind::kString:
    put_string(v.as_string(), out);
    return;
  case Kind::kArray: {
    out.put('[');
    bool first = true;
    for (const Value &e : v.as_array()) {
      if (!first)
        out.put(", ");
      first = false;
      put_value(e, out, non_finite);
    }
    out.put(']');
    return;
  }
  case Kind::kObject: {
    out.put('{');
    bool first = true;
    for (const auto &[key, value] : v.as_object()) {
      if (!first)
        out.put(", ");
      first = false;
      put_string(key, out);
      out.put(": ");
      put_value(value, out, non_finite);
    }
    out.put('}');
    return;
  }
  }
}

void put_node(tape::Node node, Out &out);

// An element or member value: numbers and texts, most of a document, without a call.
[[gnu::always_inline]] inline void put_element(tape::Node node, Out &out) {
  if (node.kind() == 'd') {
    put_double(node.number<double>(), out, NonFinite::kBareWords);
  } else if (node.kind() == '"') {
    put_string(node.text(), out);
  } else {
    put_node(node, out);
  }
}

// ", " unless first, then the key and ": ": a plain key in one piece.
[[gnu::always_inline]] inline void put_key(std::string_view key, bool first, Out &out) {
  const std::size_t n = key.size();
  if (!plain_text(key)) {
    if (!first)
      out.put(", ");
    put_string(key, out);
    out.put(": ");
    return;
  }
  char *const at = out.room(n + 6);
  at[0] = ',';
  at[1] = ' ';
  char *p = at + (first ? 0 : 2);
  p[0] = '"';
  copy_bytes(p + 1, key.data(), n);
  std::copy_n("\": ", 3, p + n + 1);
  out.advance(static_cast<std::size_t>(p - at) + n + 4);
}

// The members of an object whose keys are known to differ.
void put_members(tape::Node node, Out &out) {
  out.put('{');
  bool first = true;
  for (const tape::Member m : tape::Range<tape::Member>(node)) {
    put_key(m.key, first, out);
    first = false;
    put_element(m.value, out);
  }
  out.put('}');
}

// The members of an object of kPairwise to kMapped members, checked as they are written: each
// key sets two bits of a 4096-bit map from its hash, and only a key that finds its bits all
// set already (a repeat, or by chance) has distinct_keys() decide. With a repeated key, what
// was written is dropped and the object is written as the tree holds it.
[[gnu::noinline]] void put_members_checked(tape::Node node, Out &out) {
  const std::size_t start = out.size();
  std::array<std::uint64_t, 64> map{};
  bool checked = false;
  out.put('{');
  bool first = true;
  for (const tape::Member m : tape::Range<tape::Member>(node)) {
    const std::uint64_t hash = key_hash(m.key);
    const std::uint64_t bit_a = hash & 4095;
    const std::uint64_t bit_b = (hash >> 20) & 4095;
    const std::uint64_t mask_a = std::uint64_t{1} << (bit_a & 63);
    const std::uint64_t mask_b = std::uint64_t{1} << (bit_b & 63);
    const bool seen = (map[bit_a >> 6] & mask_a) != 0 && (map[bit_b >> 6] & mask_b) != 0;
    map[bit_a >> 6] |= mask_a;
    map[bit_b >> 6] |= mask_b;
    if (seen && !checked) {
      if (!distinct_keys(node)) {
        out.rewind(start);
        put_value(tape::to_value(node), out, NonFinite::kBareWords);
        return;
      }
      checked = true;
    }
    put_key(m.key, first, out);
    first = false;
    put_element(m.value, out);
  }
  out.put('}');
}

void put_node(tape::Node node, Out &out) {
  switch (node.kind()) {
  case '[': {
    out.put('[');
    bool first = true;
    for (const tape::Node e : tape::Range<tape::Node>(node)) {
      if (!first)
        out.put(", ");
      first = false;
      put_element(e, out);
    }
    out.put(']');
    return;
  }
  case '{': {
    const std::size_t count = node.count();
    if (count > kPairwise && count <= kMapped) {
      put_members_checked(node, out);
    } else if (distinct_keys(node)) {
      put_members(node, out);
    } else {
      put_value(tape::to_value(node), out, NonFinite::kBareWords);
    }
    return;
  }
  case '"':
    put_string(node.text(), out);
    return;
  case 'l':
    put_int(node.number<std::int64_t>(), out);
    return;
  case 'u':
    put_int(node.number<std::uint64_t>(), out);
    return;
  case 'd':
    put_double(node.number<double>(), out, NonFinite::kBareWords);
    return;
  case 't':
    out.put("true");
    return;
  case 'f':
    out.put("false");
    return;
  default: // 'n'
    out.put("null");
    return;
  }
}

} // namespace

void write(const Value &v, std::string &out) { write(v, out, NonFinite::kBareWords); }

void write(const Value &v, std::string &out, NonFinite non_finite) {
  Out cursor(out);
  put_value(v, cursor, non_finite);
}

void write(tape::Node node, std::string &out) {
  Out cursor(out);
  put_node(node, cursor);
}

std::optional<std::size_t> write(tape::Node node, char *at, std::size_t size) {
  try {
    Out cursor(at, size);
    put_node(node, cursor);
    return cursor.size();
  } catch (const NoRoom &) {
    return std::nullopt;
  }
}

std::string dumps(const Value &v) { return dumps(v, NonFinite::kBareWords); }

std::string dumps(const Value &v, NonFinite non_finite) {
  std::string out;
  write(v, out, non_finite);
  return out;
}

} // namespace json
