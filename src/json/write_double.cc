#include "json/write.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/write_internal.h"

// Python's repr of a double, as format_double() and the writer give it: fixed notation found
// exactly in 128-bit integers where it applies, the shortest round-trip digits elsewhere.

namespace json {
namespace {

__extension__ typedef unsigned __int128 Uint128;

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

} // namespace

// Python's repr of d at `at`: stores up to kNumberRoom bytes and returns the text's length.
std::size_t detail::put_repr(double d, char *at) {
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

void append_double(double d, std::string &out) {
  char text[detail::kNumberRoom];
  out.append(text, detail::put_repr(d, text));
}

std::string format_double(double d) {
  std::string out;
  append_double(d, out);
  return out;
}

} // namespace json
