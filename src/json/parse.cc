#include "json/parse.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "json/document.h"
#include "json/error.h"
#include "json/key_hash.h"
#include "json/utf8.h"

// Two parsers share the work. A Document (simdjson) takes every text it accepts (it refuses NaN
// and Infinity, integers beyond 64 bits, out-of-range floats, escaped lone surrogates, ...) and
// its tree is copied into ours. Every refused text, and every text holding the words NaN or
// Infinity, goes to ExactParser, which follows CPython's json scanner step by step, including
// its error messages and positions. simdjson accepts only texts that json.loads accepts, with
// the same values (the tests compare both with Python), so the two agree.

namespace json {
namespace {

// CPython refuses integer literals longer than this (sys.get_int_max_str_digits()).
constexpr std::size_t kMaxIntDigits = 4300;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------------------------------------
// Error messages

// json.loads appends the position as line, column and character index, counted in code points.
[[noreturn]] void fail_at(std::string_view text, std::size_t pos, std::string_view what) {
  std::size_t chars = 0;
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80)
      continue;
    ++chars;
    if (c == '\n') {
      ++line;
      line_start = chars;
    }
  }
  std::string msg(what);
  msg += ": line " + std::to_string(line) + " column " + std::to_string(chars - line_start + 1) +
         " (char " + std::to_string(chars) + ")";
  throw ParseError(msg);
}

[[noreturn]] void fail_utf8(std::string_view text, std::size_t pos, std::size_t len,
                            const char *reason) {
  char buf[160];
  if (len == 1) {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  static_cast<unsigned char>(text[pos]), pos, reason);
  } else {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: %s", pos,
                  pos + len - 1, reason);
  }
  throw ParseError(buf);
}

// Python's strict UTF-8 decoder: the first bad sequence is reported with the bytes of its
// longest valid prefix, as bytes.decode() reports it.
void validate_utf8(std::string_view text) {
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 32) {
      std::uint64_t w[4];
      std::memcpy(w, s + i, 32);
      if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ull) == 0) {
        i += 32;
        continue;
      }
    }
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c == 0xE0) {
      need = 2;
      lo = 0xA0;
    } else if (c == 0xED) {
      need = 2;
      hi = 0x9F;
    } else if (c >= 0xE1 && c <= 0xEF) {
      need = 2;
    } else if (c == 0xF0) {
      need = 3;
      lo = 0x90;
    } else if (c == 0xF4) {
      need = 3;
      hi = 0x8F;
    } else if (c >= 0xF1 && c <= 0xF3) {
      need = 3;
    } else {
      fail_utf8(text, i, 1, "invalid start byte");
    }
    for (std::size_t k = 1; k <= need; ++k) {
      if (i + k >= n)
        fail_utf8(text, i, k, "unexpected end of data");
      const unsigned char b = s[i + k];
      const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok)
        fail_utf8(text, i, k, "invalid continuation byte");
    }
    i += need + 1;
  }
}

// ---------------------------------------------------------------------------------------------
// Repeated keys

std::uint32_t key_hash(std::string_view key) {
  return static_cast<std::uint32_t>(detail::key_hash(key));
}

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
    const std::uint32_t hash = key_hash(key);
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

// Reused by every parse on one thread.
std::vector<std::uint32_t> &key_hashes() {
  thread_local std::vector<std::uint32_t> hashes;
  return hashes;
}

// ---------------------------------------------------------------------------------------------
// Fast path: a Document's tree copied into ours

// Thrown by the copy when the tree is deeper than kMaxDepth; the exact parser then reports it.
struct TooDeep {};

// Both parsers hand each finished scalar or container to an `emit` callable that constructs
// the Value in its final place (an array slot, an object member), so no Value is moved.

// Walks simdjson's tape (json/tape.h) in order.
class TapeReader {
public:
  explicit TapeReader(const tape::Tape &tape) : _tape(tape) {}

  // The value at index of the tape; throws TooDeep beyond kMaxDepth.
  Value value_at(std::uint32_t index) {
    Value result;
    _i = index;
    value(0, [&result](auto &&v) { result = Value(std::forward<decltype(v)>(v)); });
    return result;
  }

private:
  tape::Node node() const { return tape::Node(&_tape, _i); }
  char type() const { return node().kind(); }

  template <class Emit> void value(int depth, Emit &&emit) {
    switch (type()) {
    case '[':
      if (depth == kMaxDepth)
        throw TooDeep{};
      emit(array(depth + 1));
      return;
    case '{':
      if (depth == kMaxDepth)
        throw TooDeep{};
      emit(object(depth + 1));
      return;
    case '"':
      emit(node().text());
      ++_i;
      return;
    case 'd':
      emit(node().number<double>());
      _i += 2;
      return;
    case 'l':
      emit(static_cast<long long>(node().number<std::int64_t>()));
      _i += 2;
      return;
    case 'u':
      emit(static_cast<unsigned long long>(node().number<std::uint64_t>()));
      _i += 2;
      return;
    case 't':
      emit(true);
      break;
    case 'f':
      emit(false);
      break;
    default: // 'n'
      emit(nullptr);
      break;
    }
    ++_i;
  }

  Array array(int depth) {
    Array out;
    out.reserve(node().count()); // saturated: a capacity hint only
    ++_i;
    while (type() != ']') {
      value(depth, [&out](auto &&v) { out.emplace_back(std::forward<decltype(v)>(v)); });
    }
    ++_i;
    return out;
  }

  Object object(int depth) {
    Object out;
    out.reserve(node().count());
    KeyIndex index(key_hashes());
    ++_i;
    while (type() != '}') {
      const std::string_view key = node().text();
      ++_i;
      const std::size_t dup = index.find_or_add(key, out.empty() ? nullptr : &out[0], out.size());
      if (dup == KeyIndex::kNone) {
        value(depth,
              [&out, key](auto &&v) { out.emplace_unique(key, std::forward<decltype(v)>(v)); });
      } else {
        Value &slot = (out.begin() + static_cast<std::ptrdiff_t>(dup))->second;
        value(depth, [&slot](auto &&v) { slot = Value(std::forward<decltype(v)>(v)); });
      }
    }
    ++_i;
    return out;
  }

  tape::Tape _tape;
  std::uint32_t _i = 0;
};

// The bare words NaN and Infinity, which simdjson refuses, are what a Python producer writes
// for non-finite floats; a text that may hold them goes straight to the exact parser.
bool may_hold_non_finite(std::string_view text) {
  return text.find("NaN") != std::string_view::npos ||
         text.find("Infinity") != std::string_view::npos;
}

// ---------------------------------------------------------------------------------------------
// Exact path: CPython's scanner

// Bytes that end a run of plain string content: '"', '\\' and the control characters.
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c)
    t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Finished elements wait on these stacks until their container is complete, so every array
// and object is allocated once at its final size. Reused across parses of one thread.
struct Scratch {
  std::vector<Value> values;
  std::vector<Object::Member> members;
};

class ExactParser {
public:
  explicit ExactParser(std::string_view text)
      : _text(text), _p(text.data()), _end(text.data() + text.size()), _scratch(scratch()) {
    _scratch.values.clear();
    _scratch.members.clear();
  }

  static void release_buffers() {
    scratch() = Scratch();
    key_hashes() = std::vector<std::uint32_t>();
  }

  Value run() {
    validate_utf8(_text);
    if (_text.substr(0, 3) == "\xEF\xBB\xBF") {
      fail(_p, "Unexpected UTF-8 BOM (decode using utf-8-sig)");
    }
    skip_ws();
    Value result;
    parse_value(0, [&result](auto &&v) { result = Value(std::forward<decltype(v)>(v)); });
    skip_ws();
    if (_p != _end)
      fail(_p, "Extra data");
    return result;
  }

private:
  static Scratch &scratch() {
    thread_local Scratch s;
    return s;
  }

  [[noreturn]] void fail(const char *at, std::string_view what) const {
    fail_at(_text, static_cast<std::size_t>(at - _text.data()), what);
  }

  void skip_ws() {
    while (_p != _end && (*_p == ' ' || *_p == '\n' || *_p == '\r' || *_p == '\t'))
      ++_p;
  }

  bool rest_starts_with(std::string_view word) const {
    return static_cast<std::size_t>(_end - _p) >= word.size() &&
           std::memcmp(_p, word.data(), word.size()) == 0;
  }

  // depth: the number of arrays and objects around the value.
  template <class Emit> void parse_value(int depth, Emit &&emit) {
    if (_p == _end)
      fail(_p, "Expecting value");
    switch (*_p) {
    case '"': {
      std::string unescaped;
      const std::string_view plain = parse_string(unescaped);
      if (plain.data()) {
        emit(plain);
      } else {
        emit(std::move(unescaped));
      }
      return;
    }
    case '{':
      emit(parse_object(depth));
      return;
    case '[':
      emit(parse_array(depth));
      return;
    case 'n':
      if (rest_starts_with("null")) {
        _p += 4;
        emit(nullptr);
        return;
      }
      break;
    case 't':
      if (rest_starts_with("true")) {
        _p += 4;
        emit(true);
        return;
      }
      break;
    case 'f':
      if (rest_starts_with("false")) {
        _p += 5;
        emit(false);
        return;
      }
      break;
    case 'N':
      if (rest_starts_with("NaN")) {
        _p += 3;
        emit(std::numeric_limits<double>::quiet_NaN());
        return;
      }
      break;
    case 'I':
      if (rest_starts_with("Infinity")) {
        _p += 8;
        emit(std::numeric_limits<double>::infinity());
        return;
      }
      break;
    case '-':
      if (rest_starts_with("-Infinity")) {
        _p += 9;
        emit(-std::numeric_limits<double>::infinity());
        return;
      }
      break;
    default:
      break;
    }
    parse_number(emit);
  }

  Array parse_array(int depth) {
    if (depth == kMaxDepth)
      fail(_p, "Nesting exceeds the limit of 1000 arrays and objects");
    ++_p;
    skip_ws();
    std::vector<Value> &stack = _scratch.values;
    const std::size_t base = stack.size();
    const auto push = [&stack](auto &&v) { stack.emplace_back(std::forward<decltype(v)>(v)); };
    if (_p == _end || *_p != ']') {
      while (true) {
        parse_value(depth + 1, push);
        skip_ws();
        if (_p != _end && *_p == ']')
          break;
        if (_p == _end || *_p != ',')
          fail(_p, "Expecting ',' delimiter");
        ++_p;
        skip_ws();
      }
    }
    ++_p;
    const auto first = stack.begin() + static_cast<std::ptrdiff_t>(base);
    Array out(std::make_move_iterator(first), std::make_move_iterator(stack.end()));
    stack.erase(first, stack.end());
    return out;
  }

  Object parse_object(int depth) {
    if (depth == kMaxDepth)
      fail(_p, "Nesting exceeds the limit of 1000 arrays and objects");
    ++_p;
    skip_ws();
    std::vector<Object::Member> &stack = _scratch.members;
    const std::size_t base = stack.size();
    KeyIndex index(key_hashes());
    if (_p == _end || *_p != '}') {
      while (true) {
        if (_p == _end || *_p != '"') {
          fail(_p, "Expecting property name enclosed in double quotes");
        }
        std::string unescaped;
        const std::string_view plain = parse_string(unescaped);
        const std::string_view key = plain.data() ? plain : std::string_view(unescaped);
        skip_ws();
        if (_p == _end || *_p != ':')
          fail(_p, "Expecting ':' delimiter");
        ++_p;
        skip_ws();
        // Nested members are pushed above this object's and popped again before the value is
        // emitted, so this object's members stay contiguous from base.
        const std::size_t dup = index.find_or_add(key, stack.data() + base, stack.size() - base);
        if (dup != KeyIndex::kNone) {
          parse_value(depth + 1, [&stack, at = base + dup](auto &&v) {
            stack[at].second = Value(std::forward<decltype(v)>(v));
          });
        } else if (plain.data()) {
          parse_value(depth + 1, [&stack, plain](auto &&v) {
            stack.emplace_back(std::piecewise_construct, std::forward_as_tuple(plain),
                               std::forward_as_tuple(std::forward<decltype(v)>(v)));
          });
        } else {
          parse_value(depth + 1, [&stack, &unescaped](auto &&v) {
            stack.emplace_back(std::piecewise_construct,
                               std::forward_as_tuple(std::move(unescaped)),
                               std::forward_as_tuple(std::forward<decltype(v)>(v)));
          });
        }
        skip_ws();
        if (_p != _end && *_p == '}')
          break;
        if (_p == _end || *_p != ',')
          fail(_p, "Expecting ',' delimiter");
        ++_p;
        skip_ws();
      }
    }
    ++_p;
    const auto first = stack.begin() + static_cast<std::ptrdiff_t>(base);
    std::vector<Object::Member> members(std::make_move_iterator(first),
                                        std::make_move_iterator(stack.end()));
    stack.erase(first, stack.end());
    return Object(std::move(members));
  }

  // Requires: *_p is the opening quote. Returns the content as a view into the text when it
  // holds no escape; else returns a null view and leaves the decoded content in unescaped.
  // The input is valid UTF-8 (checked up front), so bytes from 0x80 up are copied as they are.
  std::string_view parse_string(std::string &unescaped) {
    const char *quote = _p;
    const char *s = ++_p;
    while (s != _end && !kStringStop[static_cast<unsigned char>(*s)])
      ++s;
    if (s != _end && *s == '"') {
      const std::string_view plain(_p, static_cast<std::size_t>(s - _p));
      _p = s + 1;
      return plain;
    }
    unescaped.assign(_p, s);
    _p = s;
    while (true) {
      s = _p;
      while (s != _end && !kStringStop[static_cast<unsigned char>(*s)])
        ++s;
      unescaped.append(_p, s);
      _p = s;
      if (s == _end)
        fail(quote, "Unterminated string starting at");
      if (*s == '"') {
        _p = s + 1;
        return {};
      }
      if (*s != '\\')
        fail(s, "Invalid control character at");
      if (s + 1 == _end)
        fail(quote, "Unterminated string starting at");
      const char esc = s[1];
      if (esc == 'u') {
        _p = s + 1;
        append_utf8(unescaped, parse_unicode_escape());
        continue;
      }
      char c;
      switch (esc) {
      case '"':
      case '\\':
      case '/':
        c = esc;
        break;
      case 'b':
        c = '\b';
        break;
      case 'f':
        c = '\f';
        break;
      case 'n':
        c = '\n';
        break;
      case 'r':
        c = '\r';
        break;
      case 't':
        c = '\t';
        break;
      default:
        fail(s, "Invalid \\escape");
      }
      unescaped.push_back(c);
      _p = s + 2;
    }
  }

  // Reads the 4 hex digits after the 'u' at u; -1 when one is not a hex digit. CPython
  // requires at least one more character after them (else the string cannot be closed).
  std::int32_t hex4(const char *u) const {
    if (_end - u <= 5)
      fail(u, "Invalid \\uXXXX escape");
    std::int32_t v = 0;
    for (int i = 1; i <= 4; ++i) {
      const int d = hex_value(u[i]);
      if (d < 0)
        fail(u, "Invalid \\uXXXX escape");
      v = v * 16 + d;
    }
    return v;
  }

  // Requires: *_p is the 'u' of an escape. A high surrogate directly followed by an escaped
  // low surrogate gives the pair's code point; any other surrogate stays alone, as in Python.
  std::uint32_t parse_unicode_escape() {
    auto cp = static_cast<std::uint32_t>(hex4(_p));
    _p += 5;
    if (cp >= 0xD800 && cp <= 0xDBFF && _end - _p > 6 && _p[0] == '\\' && _p[1] == 'u') {
      const auto low = static_cast<std::uint32_t>(hex4(_p + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        _p += 6;
      }
    }
    return cp;
  }

  template <class Emit> void parse_number(Emit &&emit) {
    const char *start = _p;
    const char *p = _p;
    const bool negative = *p == '-';
    if (negative && ++p == _end)
      fail(start, "Expecting value");
    if (*p >= '1' && *p <= '9') {
      ++p;
      while (p != _end && is_digit(*p))
        ++p;
    } else if (*p == '0') {
      ++p;
    } else {
      fail(start, "Expecting value");
    }
    const char *int_end = p;
    bool is_float = false;
    if (_end - p >= 2 && *p == '.' && is_digit(p[1])) {
      is_float = true;
      p += 2;
      while (p != _end && is_digit(*p))
        ++p;
    }
    if (p != _end && (*p == 'e' || *p == 'E')) {
      const char *q = p + 1;
      if (q != _end && (*q == '+' || *q == '-'))
        ++q;
      if (q != _end && is_digit(*q)) {
        while (q != _end && is_digit(*q))
          ++q;
        p = q;
        is_float = true;
      }
    }
    _p = p;
    if (is_float) {
      emit(decimal_to_double(std::string_view(start, p - start)));
      return;
    }

    const char *digits = start + (negative ? 1 : 0);
    const auto ndigits = static_cast<std::size_t>(int_end - digits);
    if (ndigits <= 18) {
      std::int64_t v = 0;
      for (const char *d = digits; d != int_end; ++d)
        v = v * 10 + (*d - '0');
      emit(static_cast<long long>(negative ? -v : v));
      return;
    }
    if (ndigits > kMaxIntDigits) {
      throw ParseError("Exceeds the limit (4300 digits) for integer string conversion: value has " +
                       std::to_string(ndigits) +
                       " digits; use sys.set_int_max_str_digits() to increase the limit");
    }
    std::uint64_t magnitude;
    const auto [end, ec] = std::from_chars(digits, int_end, magnitude);
    if (ec == std::errc() && end == int_end) {
      if (!negative) {
        emit(static_cast<unsigned long long>(magnitude));
        return;
      }
      if (magnitude <= std::uint64_t{1} << 63) {
        emit(static_cast<long long>(-static_cast<std::int64_t>(magnitude - 1) - 1));
        return;
      }
    }
    emit(BigInt{std::string(start, int_end)});
  }

  std::string_view _text;
  const char *_p;
  const char *_end;
  Scratch &_scratch;
};

// Whether a decimal literal that from_chars found out of range lies above the double range
// (rather than below it): its first significant digit sits left of the decimal point once the
// exponent is applied.
bool magnitude_above_one(std::string_view s) {
  std::size_t i = 0;
  std::int64_t point_shift = 0; // position of the first significant digit relative to '.'
  bool seen_point = false;
  bool found = false;
  std::int64_t int_digits = 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      seen_point = true;
      continue;
    }
    if (!found && s[i] == '0') {
      if (seen_point)
        --point_shift;
      continue;
    }
    found = true;
    if (!seen_point)
      ++int_digits;
  }
  if (!found)
    return false;
  std::int64_t exponent = 0;
  if (i < s.size()) {
    ++i;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-')
      negative = s[i++] == '-';
    for (; i < s.size(); ++i) {
      if (exponent < 1'000'000'000)
        exponent = exponent * 10 + (s[i] - '0');
    }
    if (negative)
      exponent = -exponent;
  }
  const std::int64_t position = (int_digits > 0 ? int_digits : point_shift) + exponent;
  return position > 0;
}

} // namespace

double decimal_to_double(std::string_view literal) {
  bool negative = false;
  if (!literal.empty() && (literal[0] == '+' || literal[0] == '-')) {
    negative = literal[0] == '-';
    literal.remove_prefix(1);
  }
  double d = 0.0;
  const char *last = literal.data() + literal.size();
  const auto [end, ec] = std::from_chars(literal.data(), last, d, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    d = magnitude_above_one(literal) ? std::numeric_limits<double>::infinity() : 0.0;
  } else {
    assert(ec == std::errc() && end == last);
  }
  return negative ? -d : d;
}

Value parse(std::string_view text) {
  // The per-thread buffers grow to the largest text parsed; after a large one they are let go
  // (a Document lets its own go).
  struct ReleaseIfLarge {
    std::size_t size;
    ~ReleaseIfLarge() {
      if (size >= kLargeText)
        ExactParser::release_buffers();
    }
  } release{text.size()};
  if (!may_hold_non_finite(text)) {
    if (const std::optional<Document> document = Document::parse(text)) {
      const tape::Tape tape = document->tape();
      try {
        return TapeReader(tape).value_at(tape::root(&tape).index());
      } catch (const TooDeep &) {
      }
    }
  }
  return ExactParser(text).run();
}

Value tape::to_value(Node node) {
  try {
    return TapeReader(*node.tape()).value_at(node.index());
  } catch (const TooDeep &) {
    // simdjson refuses deeper nesting itself, so this is not reached.
    throw ParseError("Nesting exceeds the limit of 1000 arrays and objects");
  }
}

} // namespace json
