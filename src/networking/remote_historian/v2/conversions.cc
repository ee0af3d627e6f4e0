#include "networking/remote_historian/v2/conversions.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "networking/remote_historian/v2/normalize.h"
#include "parquet/encoding.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace {

// Python's str() of a float ("1.5", "inf", "nan").
std::string float_text(double d) { return json::format_double(d); }

std::string quoted(std::string_view text) {
  // Error messages quote the text as the producers' language would (repr of a short text).
  std::string out = "'";
  out.append(text.substr(0, 200));
  out += "'";
  return out;
}

} // namespace

std::string _text_form(const json::Value &value) {
  switch (value.kind()) {
  case json::Kind::kNull:
    return "None";
  case json::Kind::kBool:
    return value.as_bool() ? "True" : "False";
  case json::Kind::kInt:
    return std::to_string(value.as_int());
  case json::Kind::kUint:
    return std::to_string(value.as_uint());
  case json::Kind::kBigInt:
    return value.as_bigint().digits;
  case json::Kind::kDouble:
    return float_text(value.as_double());
  case json::Kind::kString:
    return value.as_string();
  case json::Kind::kArray:
  case json::Kind::kObject:
    return json::dumps(value);
  }
  return {};
}

std::optional<std::string> _text_or_null(const json::Value *value) {
  if (value == nullptr || value->is_null())
    return std::nullopt;
  if (value->is_string())
    return value->as_string();
  return _text_form(*value);
}

std::int64_t _to_int64(const json::Value &value) {
  switch (value.kind()) {
  case json::Kind::kBool:
    return value.as_bool() ? 1 : 0;
  case json::Kind::kInt:
    return value.as_int();
  case json::Kind::kUint:
  case json::Kind::kBigInt:
    throw std::overflow_error("integer " + _text_form(value) +
                              " is outside the 64-bit integer range");
  case json::Kind::kDouble: {
    double d = value.as_double();
    if (std::isnan(d))
      throw std::invalid_argument("cannot convert float NaN to integer");
    if (std::isinf(d))
      throw std::overflow_error("cannot convert float infinity to integer");
    double t = std::trunc(d);
    // 2^63 is exactly representable; every double below it in magnitude fits int64.
    if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
      throw std::overflow_error("integer " + float_text(t) +
                                " is outside the 64-bit integer range");
    return static_cast<std::int64_t>(t);
  }
  case json::Kind::kString:
    return _parse_int_text(value.as_string());
  case json::Kind::kNull:
  case json::Kind::kArray:
  case json::Kind::kObject:
    break;
  }
  throw std::invalid_argument(
      "int() argument must be a string, a bytes-like object or a real number, not '" +
      std::string(value.type_name()) + "'");
}

double _to_double(const json::Value &value) {
  if (value.is_string()) {
    auto d = _parse_float_text(value.as_string());
    if (!d)
      throw std::invalid_argument("could not convert string to float: " +
                                  quoted(value.as_string()));
    return *d;
  }
  // Numbers and booleans as _coerce_float converts them; null and containers have no double.
  if (const std::optional<double> d = _coerce_float(value))
    return *d;
  throw std::invalid_argument("float() argument must be a string or a real number, not '" +
                              std::string(value.type_name()) + "'");
}

std::int64_t _parse_int_text(std::string_view text) {
  const auto invalid = [&] {
    return std::invalid_argument("invalid literal for int() with base 10: " + quoted(text));
  };
  // A text int() takes is also one float() takes (same white space, digits and underscore
  // rules), so that check is shared; what remains is to refuse fractions, exponents and words.
  if (!_parse_float_text(text))
    throw invalid();
  bool negative = false;
  bool any_digit = false;
  std::uint64_t magnitude = 0;
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX) + 1;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    int digit = -1;
    std::size_t length = 1;
    if (c < 0x80) {
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c == '-' || c == '+') {
        negative = c == '-';
      } else if (c != '_' && c != ' ' && (c < '\t' || c > '\r')) {
        throw invalid();
      }
    } else {
      length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      // A non-ASCII character that float() accepted is white space or a digit of some script.
      if (auto value = _parse_float_text(text.substr(i, length)))
        digit = static_cast<int>(*value);
    }
    if (digit >= 0) {
      any_digit = true;
      if (magnitude > (kLimit - static_cast<unsigned>(digit)) / 10) {
        magnitude = kLimit + 1; // beyond every int64
        break;
      }
      magnitude = magnitude * 10 + static_cast<unsigned>(digit);
    }
    i += length;
  }
  if (!any_digit)
    throw invalid();
  if (magnitude > kLimit || (!negative && magnitude == kLimit))
    throw std::overflow_error("integer " + std::string(text) +
                              " is outside the 64-bit integer range");
  if (negative)
    return magnitude == kLimit ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  return static_cast<std::int64_t>(magnitude);
}

void _check_column_text(std::string_view text, std::string_view column, bool utf8_known) {
  // The same two limits as the Parquet writer's own check of a table.
  if (text.size() > parquet::kMaxTextBytes) {
    throw std::invalid_argument("Column '" + std::string(column) + "' cannot hold text of " +
                                std::to_string(text.size()) + " bytes (at most " +
                                std::to_string(parquet::kMaxTextBytes) + ")");
  }
  if (!utf8_known && !parquet::is_valid_utf8(text)) {
    throw std::invalid_argument("Column '" + std::string(column) +
                                "' cannot hold text that is not valid UTF-8");
  }
}

} // namespace networking::remote_historian::v2
