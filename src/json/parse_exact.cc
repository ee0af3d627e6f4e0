#include "json/parse_internal.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "json/error.h"
#include "json/parse.h"
#include "json/utf8.h"

// The exact path of parse(): CPython's json scanner step by step, including its error
// messages and positions. It takes every text that the fast path leaves to it.

namespace json::detail {
namespace {

// CPython refuses integer literals longer than this (sys.get_int_max_str_digits()).
constexpr std::size_t kMaxIntDigits = 4300;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

} // namespace

Value parse_exact(std::string_view text) { return ExactParser(text).run(); }

void release_parse_buffers() { ExactParser::release_buffers(); }

} // namespace json::detail
