#include "json/parse.h"

#include <cassert>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "json/document.h"
#include "json/error.h"
#include "json/parse_internal.h"

// Two parsers share the work. A Document (simdjson) takes every text it accepts (it refuses NaN
// and Infinity, integers beyond 64 bits, out-of-range floats, escaped lone surrogates, ...) and
// its tree is copied into ours. Every refused text, and every text holding the words NaN or
// Infinity, goes to ExactParser, which follows CPython's json scanner step by step, including
// its error messages and positions. simdjson accepts only texts that json.loads accepts, with
// the same values (the tests compare both with Python), so the two agree.
//
// This file holds the entry points and the fast path; the exact path is in parse_exact.cc and
// parse_errors.cc.

namespace json {

std::vector<std::uint32_t> &detail::key_hashes() {
  thread_local std::vector<std::uint32_t> hashes;
  return hashes;
}

namespace {

using detail::key_hashes;
using detail::KeyIndex;

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
        detail::release_parse_buffers();
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
  return detail::parse_exact(text);
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
