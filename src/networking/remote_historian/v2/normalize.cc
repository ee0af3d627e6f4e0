#include "networking/remote_historian/v2/normalize.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <unordered_set>

#include "json/parse.h"
#include "json/utf8.h"

namespace networking::remote_historian::v2 {
namespace {

// The first code point of every run of ten decimal digits (Unicode category Nd, Unicode 14.0
// as in Python 3.11), ascending. Generated with
//   [c for c in range(0x110000) if unicodedata.category(chr(c)) == 'Nd'
//    and unicodedata.decimal(chr(c)) == 0]
constexpr std::array<std::uint32_t, 66> kDigitZeros = {
    0x30,    0x660,   0x6F0,   0x7C0,   0x966,   0x9E6,   0xA66,   0xAE6,   0xB66,   0xBE6,
    0xC66,   0xCE6,   0xD66,   0xDE6,   0xE50,   0xED0,   0xF20,   0x1040,  0x1090,  0x17E0,
    0x1810,  0x1946,  0x19D0,  0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,  0x1C50,  0xA620,
    0xA8D0,  0xA900,  0xA9D0,  0xA9F0,  0xAA50,  0xABF0,  0xFF10,  0x104A0, 0x10D30, 0x11066,
    0x110F0, 0x11136, 0x111D0, 0x112F0, 0x11450, 0x114D0, 0x11650, 0x116C0, 0x11730, 0x118E0,
    0x11950, 0x11C50, 0x11D50, 0x11DA0, 0x16A60, 0x16AC0, 0x16B50, 0x1D7CE, 0x1D7D8, 0x1D7E2,
    0x1D7EC, 0x1D7F6, 0x1E140, 0x1E2F0, 0x1E950, 0x1FBF0};

// Python's str.isspace() set, generated with
//   [c for c in range(0x110000) if chr(c).isspace()]
constexpr std::array<std::uint32_t, 29> kSpaces = {
    0x9,    0xA,    0xB,    0xC,    0xD,    0x1C,   0x1D,   0x1E,   0x1F,   0x20,
    0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
    0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

bool is_unicode_space(std::uint32_t cp) {
  return std::binary_search(kSpaces.begin(), kSpaces.end(), cp);
}

// The value of a decimal digit of any script, or -1.
int digit_value(std::uint32_t cp) {
  const auto after = std::upper_bound(kDigitZeros.begin(), kDigitZeros.end(), cp);
  if (after == kDigitZeros.begin())
    return -1;
  const std::uint32_t offset = cp - *(after - 1);
  return offset < 10 ? static_cast<int>(offset) : -1;
}

constexpr std::uint32_t kInvalid = 0xFFFFFFFF;

// Decodes the code point at s[i] and advances i; kInvalid (advancing one byte) for a byte
// that does not start a well-formed sequence.
std::uint32_t next_code_point(std::string_view s, std::size_t &i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  std::uint32_t cp;
  const std::size_t len = json::decode_utf8(s, i, cp);
  if (len == 0) {
    ++i;
    return kInvalid;
  }
  i += len;
  return cp;
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_ascii_alnum(char c) {
  return is_ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Replaces every maximal run of bytes that fail keep() by one `with`. Non-ASCII bytes never
// pass keep(), so a run of them is a run of whole code points.
template <class Keep> std::string replace_runs(std::string_view s, Keep keep, char with) {
  std::string out;
  out.reserve(s.size());
  bool in_run = false;
  for (const char c : s) {
    if (keep(c)) {
      out.push_back(c);
      in_run = false;
    } else if (!in_run) {
      out.push_back(with);
      in_run = true;
    }
  }
  return out;
}

// Python's str.strip() with no argument.
std::string_view strip_unicode_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    const std::uint32_t cp = next_code_point(s, next);
    if (!is_unicode_space(cp))
      break;
    begin = next;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
      --start;
    std::size_t next = start;
    const std::uint32_t cp = next_code_point(s, next);
    if (next != end || !is_unicode_space(cp))
      break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) {
  if (s.size() != lower_word.size())
    return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (ascii_lower(s[i]) != lower_word[i])
      return false;
  }
  return true;
}

// Whether s is [+-](D+[.D*]|.D+)[(e|E)[+-]D+] with ASCII digits D.
bool is_decimal_literal(std::string_view s) {
  std::size_t i = 0;
  const auto digits = [&s, &i] {
    const std::size_t start = i;
    while (i < s.size() && is_ascii_digit(s[i]))
      ++i;
    return i - start;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    ++i;
  std::size_t mantissa = digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0)
    return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
      ++i;
    if (digits() == 0)
      return false;
  }
  return i == s.size();
}

} // namespace

std::string _sanitize_filename(const std::optional<std::string> &value) {
  if (!value || value->empty())
    return "unknown";
  return replace_runs(
      *value, [](char c) { return is_ascii_alnum(c) || c == '.' || c == '_' || c == '-'; }, '-');
}

std::string _normalize_field_name(const std::optional<std::string> &value) {
  if (!value)
    return "";
  std::string name = replace_runs(
      strip_unicode_space(*value), [](char c) { return is_ascii_alnum(c) || c == '_'; }, '_');
  const std::size_t first = name.find_first_not_of('_');
  if (first == std::string::npos)
    return "";
  name = name.substr(first, name.find_last_not_of('_') - first + 1);
  for (char &c : name)
    c = ascii_lower(c);
  return name;
}

std::vector<std::string>
_normalize_sensor_names(const std::vector<std::optional<std::string>> &names) {
  std::vector<std::string> result;
  result.reserve(names.size());
  std::unordered_set<std::string> taken;
  for (std::size_t idx = 0; idx < names.size(); ++idx) {
    std::string candidate = _normalize_field_name(names[idx]);
    if (candidate.empty())
      candidate = "s_" + std::to_string(idx);
    if (taken.count(candidate) != 0) {
      candidate.push_back('_');
      candidate += std::to_string(idx);
      // Earlier names may already have this suffixed form ('x', 'x_2', 'x'): extend it.
      if (taken.count(candidate) != 0) {
        for (std::size_t n = 2;; ++n) {
          std::string extended = candidate + "_" + std::to_string(n);
          if (taken.count(extended) == 0) {
            candidate = std::move(extended);
            break;
          }
        }
      }
    }
    taken.insert(candidate);
    result.push_back(std::move(candidate));
  }
  return result;
}

double _bigint_to_double(std::string_view digits) {
  // Correct rounding to the nearest double; beyond DBL_MAX's rounding range it is infinite.
  const double d = json::decimal_to_double(digits);
  if (std::isinf(d))
    throw std::overflow_error("int too large to convert to float");
  return d;
}

std::optional<double> _parse_float_text(std::string_view text) {
  // As CPython does: first every non-ASCII white space becomes ' ' and every non-ASCII digit
  // its ASCII digit (any other non-ASCII character fails), then the underscore rule, then
  // ASCII white space is stripped and the rest must be one literal.
  std::string ascii;
  ascii.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::uint32_t cp = next_code_point(text, i);
    if (cp < 0x7F) {
      if (cp == 0)
        return std::nullopt;
      ascii.push_back(static_cast<char>(cp));
    } else if (is_unicode_space(cp)) {
      ascii.push_back(' ');
    } else if (const int d = digit_value(cp); d >= 0) {
      ascii.push_back(static_cast<char>('0' + d));
    } else {
      return std::nullopt;
    }
  }
  if (ascii.find('_') != std::string::npos) {
    // An underscore must sit between two digits.
    std::string kept;
    kept.reserve(ascii.size());
    char prev = '\0';
    for (const char c : ascii) {
      if (c == '_') {
        if (!is_ascii_digit(prev))
          return std::nullopt;
      } else {
        if (prev == '_' && !is_ascii_digit(c))
          return std::nullopt;
        kept.push_back(c);
      }
      prev = c;
    }
    if (prev == '_')
      return std::nullopt;
    ascii = std::move(kept);
  }
  constexpr std::string_view kAsciiSpace = " \t\n\v\f\r";
  const std::size_t first = ascii.find_first_not_of(kAsciiSpace);
  if (first == std::string::npos)
    return std::nullopt;
  std::string_view s(ascii);
  s = s.substr(first, ascii.find_last_not_of(kAsciiSpace) - first + 1);

  std::string_view word = s;
  const bool negative = !word.empty() && word[0] == '-';
  if (!word.empty() && (word[0] == '+' || word[0] == '-'))
    word.remove_prefix(1);
  if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (equals_ignoring_case(word, "nan")) {
    return negative ? -std::nan("") : std::nan("");
  }
  if (!is_decimal_literal(s))
    return std::nullopt;
  return json::decimal_to_double(s);
}

} // namespace networking::remote_historian::v2
