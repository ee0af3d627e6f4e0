#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

// Pure functions that turn loosely typed step data into names and values the Parquet output
// can hold. No state, no logging; safe on any thread. Texts are UTF-8.

namespace networking::remote_historian::v2 {

// "unknown" for null or ""; otherwise every run of characters other than ASCII letters and
// digits, '.', '_' and '-' becomes one '-'. Nothing else changes.
std::string _sanitize_filename(const std::optional<std::string> &value);

// A flat sequence for an observation or action value: null gives [], an array is returned as
// it is, an object gives its values ordered by key (code point order), any other value a
// one-element array. The elements are not converted.
json::Array _normalize_vector(json::Value value);

// A column-name token: Unicode white space stripped, every run of characters other than ASCII
// letters, digits and '_' replaced by one '_', leading and trailing '_' removed, lowercased.
// Null gives "", and so may a name made only of such characters.
std::string _normalize_field_name(const std::optional<std::string> &value);

// One non-empty, unique column name per sensor name, in order: the normalized name, or "s_"
// and the position when that is empty; a name already taken gets "_" and the position
// appended, and when even that is taken, "_2", "_3", ... after it until the name is free.
std::vector<std::string>
_normalize_sensor_names(const std::vector<std::optional<std::string>> &names);

// A double for an observation, action or reward value, or nullopt when it has none: doubles
// as they are (NaN and infinities included), integers to the nearest double, booleans to 1.0
// and 0.0, texts by _parse_float_text; null, arrays and objects give nullopt.
// Throws std::overflow_error for an integer beyond the double range.
std::optional<double> _coerce_float(const json::Value &value);

// Python's float() of a text; nullopt where Python raises ValueError. Accepts surrounding
// Unicode white space, a sign, decimal digits of any script, single underscores between
// digits, a fraction and an exponent, and inf, infinity and nan in any letter case.
std::optional<double> _parse_float_text(std::string_view text);

} // namespace networking::remote_historian::v2
