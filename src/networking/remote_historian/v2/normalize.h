#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/value.h"

// Pure functions that turn loosely typed step data into names and values the Parquet output
// can hold. No state, no logging; safe on any thread. Texts are UTF-8.

namespace networking::remote_historian::v2 {

// "unknown" for null or ""; otherwise every run of characters other than ASCII letters and
// digits, '.', '_' and '-' becomes one '-'. Nothing else changes.
std::string _sanitize_filename(const std::optional<std::string> &value);

// The two templates below read a value through any view shaped like json::Value (kind(),
// is_null(), as_array() of elements, as_object() of members with .first and .second, ...): a
// json::Value itself or a value read in place from a parsed text. An element is handed on as
// what element_ref() gives for it.
inline const json::Value *element_ref(const json::Value &value) { return &value; }

// The elements of an observation or action value, in order, each passed to add: null gives
// none, an array its elements, an object its values ordered by key (code point order), any
// other value itself. The elements are not converted. Requires: the object's keys are distinct.
template <class Value, class Add> void _normalize_vector(const Value &value, Add &&add) {
  if (value.is_null())
    return;
  if (value.is_array()) {
    for (auto &&element : value.as_array())
      add(element_ref(element));
  } else if (value.is_object()) {
    // std::string_view compares bytes as unsigned, and UTF-8 byte order is code point order.
    using Ref = decltype(element_ref((*value.as_object().begin()).second));
    std::vector<std::pair<std::string_view, Ref>> members;
    for (auto &&member : value.as_object())
      members.emplace_back(member.first, element_ref(member.second));
    std::sort(members.begin(), members.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &member : members)
      add(member.second);
  } else {
    add(element_ref(value));
  }
}

// A column-name token: Unicode white space stripped, every run of characters other than ASCII
// letters, digits and '_' replaced by one '_', leading and trailing '_' removed, lowercased.
// Null gives "", and so may a name made only of such characters.
std::string _normalize_field_name(const std::optional<std::string> &value);

// One non-empty, unique column name per sensor name, in order: the normalized name, or "s_"
// and the position when that is empty; a name already taken gets "_" and the position
// appended, and when even that is taken, "_2", "_3", ... after it until the name is free.
std::vector<std::string>
_normalize_sensor_names(const std::vector<std::optional<std::string>> &names);

// Python's float() of a text; nullopt where Python raises ValueError. Accepts surrounding
// Unicode white space, a sign, decimal digits of any script, single underscores between
// digits, a fraction and an exponent, and inf, infinity and nan in any letter case.
std::optional<double> _parse_float_text(std::string_view text);

// The nearest double of an integer's decimal digits (an optional '-', then digits), as
// Python's float(int). Throws std::overflow_error beyond the double range.
double _bigint_to_double(std::string_view digits);

// A double for an observation, action or reward value, or nullopt when it has none: doubles
// as they are (NaN and infinities included), integers to the nearest double, booleans to 1.0
// and 0.0, texts by _parse_float_text; null, arrays and objects give nullopt. The one
// conversion of a value to a double (_to_double builds on it).
// Throws std::overflow_error for an integer beyond the double range.
template <class Value>
[[gnu::always_inline]] inline std::optional<double> _coerce_float(const Value &value) {
  switch (value.kind()) {
  case json::Kind::kBool:
    return value.as_bool() ? 1.0 : 0.0;
  case json::Kind::kInt:
    return static_cast<double>(value.as_int());
  case json::Kind::kUint:
    return static_cast<double>(value.as_uint());
  case json::Kind::kBigInt:
    if constexpr (requires { value.as_bigint(); })
      return _bigint_to_double(value.as_bigint().digits);
    return std::nullopt; // a view without big integers never has this kind
  case json::Kind::kDouble:
    return value.as_double();
  case json::Kind::kString:
    return _parse_float_text(value.as_string());
  case json::Kind::kNull:
  case json::Kind::kArray:
  case json::Kind::kObject:
    break;
  }
  return std::nullopt;
}

} // namespace networking::remote_historian::v2
