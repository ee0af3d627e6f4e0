#include "json/write.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "json/utf8.h"

namespace json {
namespace {

constexpr char kHex[] = "0123456789abcdef";

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

void append_u(std::string &out, std::uint32_t unit) {
  const char buf[6] = {'\\',
                       'u',
                       kHex[(unit >> 12) & 0xF],
                       kHex[(unit >> 8) & 0xF],
                       kHex[(unit >> 4) & 0xF],
                       kHex[unit & 0xF]};
  out.append(buf, 6);
}

void write_string(std::string_view s, std::string &out) {
  out.push_back('"');
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const std::size_t start = i;
    while (i < n && kEscape[static_cast<unsigned char>(s[i])] == 0)
      ++i;
    out.append(s.data() + start, i - start);
    if (i == n)
      break;
    const auto c = static_cast<unsigned char>(s[i]);
    const char e = kEscape[c];
    if (e == 'm') {
      std::uint32_t cp;
      const std::size_t len = decode_utf8(s, i, cp);
      if (len == 0) {
        append_u(out, 0xDC00 | c);
        ++i;
      } else if (cp >= 0x10000) {
        append_u(out, 0xD800 + ((cp - 0x10000) >> 10));
        append_u(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        i += len;
      } else {
        append_u(out, cp);
        i += len;
      }
    } else if (e == 'u') {
      append_u(out, c);
      ++i;
    } else {
      out.push_back('\\');
      out.push_back(e);
      ++i;
    }
  }
  out.push_back('"');
}

template <class Int> void append_int(Int v, std::string &out) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

void write_double(double d, std::string &out, NonFinite non_finite) {
  if (non_finite == NonFinite::kNull && !std::isfinite(d)) {
    out += "null";
  } else if (std::isnan(d)) {
    out += "NaN";
  } else if (std::isinf(d)) {
    out += d < 0 ? "-Infinity" : "Infinity";
  } else {
    append_double(d, out);
  }
}

// Whether the members of a tape object have different keys. Their views are hashed into an
// open-addressing table of this thread, reused from object to object.
bool distinct_keys(tape::Node object) {
  thread_local std::vector<std::string_view> keys;
  keys.clear();
  for (const tape::Member m : tape::Range<tape::Member>(object))
    keys.push_back(m.key);
  const std::size_t n = keys.size();
  if (n <= 8) {
    for (std::size_t i = 1; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (keys[i] == keys[j])
          return false;
    return true;
  }
  unsigned bits = 4;
  while ((std::size_t{1} << bits) < 2 * n)
    ++bits;
  thread_local std::vector<std::uint32_t> slots; // index + 1 into keys, 0 for free
  slots.assign(std::size_t{1} << bits, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view key = keys[i];
    std::uint64_t h = key.size() * 0x9E3779B97F4A7C15u;
    std::size_t at = 0;
    for (; at + 8 <= key.size(); at += 8) {
      std::uint64_t word;
      std::memcpy(&word, key.data() + at, 8);
      h = (h ^ word) * 0xC2B2AE3D27D4EB4Fu;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, key.data() + at, key.size() - at);
    h = (h ^ tail) * 0xC2B2AE3D27D4EB4Fu;
    for (std::size_t s = (h >> (64 - bits)) & mask;; s = (s + 1) & mask) {
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

void write_node(tape::Node node, std::string &out) {
  switch (node.kind()) {
  case '[': {
    out.push_back('[');
    bool first = true;
    for (const tape::Node e : tape::Range<tape::Node>(node)) {
      if (!first)
        out += ", ";
      first = false;
      write_node(e, out);
    }
    out.push_back(']');
    return;
  }
  case '{': {
    if (!distinct_keys(node)) {
      write(tape::to_value(node), out);
      return;
    }
    out.push_back('{');
    bool first = true;
    for (const tape::Member m : tape::Range<tape::Member>(node)) {
      if (!first)
        out += ", ";
      first = false;
      write_string(m.key, out);
      out += ": ";
      write_node(m.value, out);
    }
    out.push_back('}');
    return;
  }
  case '"':
    write_string(node.text(), out);
    return;
  case 'l':
    append_int(node.number<std::int64_t>(), out);
    return;
  case 'u':
    append_int(node.number<std::uint64_t>(), out);
    return;
  case 'd':
    write_double(node.number<double>(), out, NonFinite::kBareWords);
    return;
  case 't':
    out += "true";
    return;
  case 'f':
    out += "false";
    return;
  default: // 'n'
    out += "null";
    return;
  }
}

} // namespace

void append_double(double d, std::string &out) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  char buf[32];
  // Where repr writes fixed notation (decimal exponents -4 to 15), the shortest round-trip
  // digits in fixed notation are its text, less the ".0" of a whole number.
  if (const double size = std::fabs(d); size >= 1e-4 && size < 1e16) {
    const char *end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed).ptr;
    out.append(buf, static_cast<std::size_t>(end - buf));
    if (std::memchr(buf, '.', static_cast<std::size_t>(end - buf)) == nullptr)
      out += ".0";
    return;
  }
  // The shortest round-trip digits, as "[-]d[.ddd]e[+-]XX".
  const char *end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
  const char *p = buf;
  if (*p == '-') {
    out.push_back('-');
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
  if (exponent >= -4 && exponent < 16) {
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits, static_cast<std::size_t>(ndigits));
    } else if (point >= ndigits) {
      out.append(digits, static_cast<std::size_t>(ndigits));
      out.append(static_cast<std::size_t>(point - ndigits), '0');
      out += ".0";
    } else {
      out.append(digits, static_cast<std::size_t>(point));
      out.push_back('.');
      out.append(digits + point, static_cast<std::size_t>(ndigits - point));
    }
    return;
  }
  out.push_back(digits[0]);
  if (ndigits > 1) {
    out.push_back('.');
    out.append(digits + 1, static_cast<std::size_t>(ndigits - 1));
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  const int magnitude = std::abs(exponent);
  if (magnitude < 10)
    out.push_back('0');
  append_int(magnitude, out);
}

std::string format_double(double d) {
  std::string out;
  append_double(d, out);
  return out;
}

void write(const Value &v, std::string &out) { write(v, out, NonFinite::kBareWords); }

void write(const Value &v, std::string &out, NonFinite non_finite) {
  switch (v.kind()) {
  case Kind::kNull:
    out += "null";
    return;
  case Kind::kBool:
    out += v.as_bool() ? "true" : "false";
    return;
  case Kind::kInt:
    append_int(v.as_int(), out);
    return;
  case Kind::kUint:
    append_int(v.as_uint(), out);
    return;
  case Kind::kBigInt:
    out += v.as_bigint().digits;
    return;
  case Kind::kDouble:
    write_double(v.as_double(), out, non_finite);
    return;
  case Kind::kString:
    write_string(v.as_string(), out);
    return;
  case Kind::kArray: {
    out.push_back('[');
    bool first = true;
    for (const Value &e : v.as_array()) {
      if (!first)
        out += ", ";
      first = false;
      write(e, out, non_finite);
    }
    out.push_back(']');
    return;
  }
  case Kind::kObject: {
    out.push_back('{');
    bool first = true;
    for (const auto &[key, value] : v.as_object()) {
      if (!first)
        out += ", ";
      first = false;
      write_string(key, out);
      out += ": ";
      write(value, out, non_finite);
    }
    out.push_back('}');
    return;
  }
  }
}

void write(tape::Node node, std::string &out) { write_node(node, out); }

std::string dumps(const Value &v) { return dumps(v, NonFinite::kBareWords); }

std::string dumps(const Value &v, NonFinite non_finite) {
  std::string out;
  write(v, out, non_finite);
  return out;
}

} // namespace json
