#include "json/write.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "json/key_hash.h"
#include "json/utf8.h"

namespace json {
namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr char kHex[] = "0123456789abcdef";

// Room for any number's text: the number writers may store this many bytes at the cursor,
// past the text's own end.
constexpr std::size_t kNumberRoom = 48;

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

// ---------------------------------------------------------------------------------------------
// Python's repr of a double

// For each binary exponent e of put_fixed_repr(), from -66 to 1: the decimal scale k that makes
// d * 10^k a number of 17 or 18 digits before its point (floor(log10(2^(e+52))) is d's decimal
// exponent or one less), and 10^k * 2^(e+66), an integer below 2^72: multiplied by 4m, it puts
// d * 10^k in units of 2^-68, exactly.
struct Scale {
  Uint128 factor;
  int k;
};
constexpr int kMinExponent = -66;
constexpr std::array<Scale, 68> kScales = [] {
  std::array<Scale, 68> t{};
  for (int e = kMinExponent; e <= 1; ++e) {
    const int k = 16 - (((e + 52) * 315653) >> 20);
    Uint128 factor = 1;
    for (int i = 0; i < k; ++i)
      factor *= 10;
    t[static_cast<std::size_t>(e - kMinExponent)] = {factor << (e - kMinExponent), k};
  }
  return t;
}();

// 10^0 to 10^17.
constexpr std::array<std::uint64_t, 18> kPowersOfTen = [] {
  std::array<std::uint64_t, 18> t{};
  std::uint64_t p = 1;
  for (std::uint64_t &v : t) {
    v = p;
    p *= 10;
  }
  return t;
}();

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void put_pair(char *at, std::size_t v) { std::memcpy(at, kDigitPairs + 2 * v, 2); }

// v as exactly 8 digits.
void put_eight_digits(char *at, std::uint32_t v) {
  const std::uint32_t high = v / 10000;
  const std::uint32_t low = v % 10000;
  put_pair(at, high / 100);
  put_pair(at + 2, high % 100);
  put_pair(at + 4, low / 100);
  put_pair(at + 6, low % 100);
}

// Python's repr of d, a double from 1e-4 up to but excluding 1e16 in size (fixed notation),
// found exactly in 128-bit integers: the fewest digits that read back as d, the nearest to d
// of those (half to even). Stores up to kNumberRoom bytes at `at` and returns the text's
// length, or 0 where the nearest text of that length does not read back as d (the interval
// below a power of two is narrower, which allows it in principle): the caller then takes the
// general path.
std::size_t put_fixed_repr(double d, char *at) {
  const auto bits = std::bit_cast<std::uint64_t>(d);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t m = fraction | (std::uint64_t{1} << 52);
  const int e = biased - 1075; // d = m * 2^e, e from -66 to 1
  const auto [factor, k] = kScales[static_cast<std::size_t>(e - kMinExponent)];
  // Everything in units of 2^-68 of the grid of x = d * 10^k: 4m * factor is x, and the values
  // that read back as d lie within half a step of the binary grid (a quarter below a power of
  // two), bounds included when m is even.
  const Uint128 scaled = static_cast<Uint128>(4 * m) * factor;
  const Uint128 upper = scaled + 2 * factor;
  const Uint128 lower = scaled - (fraction == 0 && biased > 1 ? factor : 2 * factor);
  constexpr int kShift = 68;
  constexpr Uint128 kMask = (Uint128{1} << kShift) - 1;
  const bool bounds_read_back = (m & 1) == 0;
  // [lo, hi]: the grid's integers that read back as d.
  auto hi = static_cast<std::uint64_t>(upper >> kShift);
  if ((upper & kMask) == 0 && !bounds_read_back)
    --hi;
  auto lo = static_cast<std::uint64_t>(lower >> kShift);
  if ((lower & kMask) != 0 || !bounds_read_back)
    ++lo;
  auto x = static_cast<std::uint64_t>(scaled >> kShift);
  const Uint128 rest = scaled & kMask; // below x's last digit
  // Digits are cut while the coarser grid still has an integer that reads back as d: as many
  // as that allows, found 8, 4, 2 and 1 at a time (what holds for some digits holds for fewer).
  const std::uint64_t uncut = x;
  int cut_digits = 0;
  const auto cut = [&](std::uint64_t power, int digits) {
    if (hi / power >= (lo + power - 1) / power) {
      x /= power;
      hi /= power;
      lo = (lo + power - 1) / power;
      cut_digits += digits;
    }
  };
  cut(100000000, 8);
  cut(100000000, 8);
  cut(10000, 4);
  cut(100, 2);
  cut(10, 1);
  // x rounded to the nearest by the digits cut and the rest below them, half to even.
  bool up;
  if (cut_digits == 0) {
    const Uint128 half = Uint128{1} << (kShift - 1);
    up = rest > half || (rest == half && (x & 1) != 0);
  } else {
    const std::uint64_t dropped = uncut - x * kPowersOfTen[cut_digits];
    const std::uint64_t half = 5 * kPowersOfTen[cut_digits - 1];
    up = dropped > half || (dropped == half && (rest != 0 || (x & 1) != 0));
  }
  const std::uint64_t r = x + up;
  if (r < lo || r > hi)
    return 0;
  // r has at most 17 digits and no trailing zero (else a coarser grid would hold it): written
  // as 18 with leading zeros, in groups of 8 written independently.
  char digits[40] = {};
  const std::uint64_t high = r / 100000000;
  put_pair(digits, high / 100000000);
  put_eight_digits(digits + 2, static_cast<std::uint32_t>(high % 100000000));
  put_eight_digits(digits + 10, static_cast<std::uint32_t>(r % 100000000));
  const char *first = digits;
  while (*first == '0')
    ++first;
  const auto count = static_cast<int>(digits + 18 - first);
  const int point = count + cut_digits - k; // digits before the decimal point
  // Fixed-size copies, which may store past the text's end.
  char *o = at;
  *o = '-';
  o += bits >> 63;
  if (point <= 0) { // from -3: d is at least 1e-4
    std::copy_n("0.000", 5, o);
    o += 2 - point;
    std::memcpy(o, first, 17);
    o += count;
  } else if (point >= count) {
    std::memcpy(o, first, 17);
    o += count;
    std::memset(o, '0', 16);
    o += point - count;
    std::copy_n(".0", 2, o);
    o += 2;
  } else {
    std::memcpy(o, first, 17);
    o[point] = '.';
    std::memcpy(o + point + 1, first + point, 16);
    o += count + 1;
  }
  return static_cast<std::size_t>(o - at);
}

// Python's repr of d at `at`: stores up to kNumberRoom bytes and returns the text's length.
std::size_t put_repr(double d, char *at) {
  const auto literal = [at](std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return text.size();
  };
  if (std::isnan(d))
    return literal("nan");
  if (std::isinf(d))
    return literal(d < 0 ? "-inf" : "inf");
  if (d == 0)
    return literal(std::signbit(d) ? "-0.0" : "0.0");
  if (const double size = std::fabs(d); size >= 1e-4 && size < 1e16) {
    if (const std::size_t n = put_fixed_repr(d, at))
      return n;
    // Where repr writes fixed notation (decimal exponents -4 to 15), the shortest round-trip
    // digits in fixed notation are its text, less the ".0" of a whole number.
    char *end = std::to_chars(at, at + 32, d, std::chars_format::fixed).ptr;
    if (std::memchr(at, '.', static_cast<std::size_t>(end - at)) == nullptr) {
      std::copy_n(".0", 2, end);
      end += 2;
    }
    return static_cast<std::size_t>(end - at);
  }
  // The shortest round-trip digits, as "[-]d[.ddd]e[+-]XX".
  char buf[32];
  const char *end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
  const char *p = buf;
  char *o = at;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[20];
  int ndigits = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.')
      digits[ndigits++] = *p;
  }
  ++p; // the exponent: "+16", "-05"
  const bool negative_exponent = *p++ == '-';
  int exponent = 0;
  std::from_chars(p, end, exponent);
  if (negative_exponent)
    exponent = -exponent;
  const int point = exponent + 1; // digits before the decimal point
  const auto put = [&o](const char *from, int n) {
    std::memcpy(o, from, static_cast<std::size_t>(n));
    o += n;
  };
  const auto zeros = [&o](int n) {
    std::memset(o, '0', static_cast<std::size_t>(n));
    o += n;
  };
  if (exponent >= -4 && exponent < 16) {
    if (point <= 0) {
      put("0.", 2);
      zeros(-point);
      put(digits, ndigits);
    } else if (point >= ndigits) {
      put(digits, ndigits);
      zeros(point - ndigits);
      put(".0", 2);
    } else {
      put(digits, point);
      put(".", 1);
      put(digits + point, ndigits - point);
    }
    return static_cast<std::size_t>(o - at);
  }
  put(digits, 1);
  if (ndigits > 1) {
    put(".", 1);
    put(digits + 1, ndigits - 1);
  }
  put(exponent < 0 ? "e-" : "e+", 2);
  const int magnitude = std::abs(exponent);
  if (magnitude < 10)
    zeros(1);
  o = std::to_chars(o, o + 4, magnitude).ptr;
  return static_cast<std::size_t>(o - at);
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

using detail::key_hash;

// How distinct_keys() tells the keys of an object apart, by its number of members.
constexpr std::size_t kPairwise = 8;
constexpr std::size_t kMapped = 128;

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

// Whether the members of a tape object have different keys. A few are compared pairwise; up
// to kMapped mark their hashes in a 1024-bit map, and only keys whose bits meet are compared;
// more take the table.
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

void append_double(double d, std::string &out) {
  char text[kNumberRoom];
  out.append(text, put_repr(d, text));
}

std::string format_double(double d) {
  std::string out;
  append_double(d, out);
  return out;
}

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
