#pragma once

// Conversions of decoded JSON values into the typed values of a step row. They follow the
// producers' language (Python): int() and float() semantics, with the failures it raises
// turned into std::invalid_argument (ValueError, TypeError) and std::overflow_error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.h"

namespace networking::remote_historian::v2 {

// The text form of a value (str() in the producers' language): text unchanged, integers in
// decimal, floats as repr ("1.5", "inf", "nan"), booleans "True"/"False", containers as JSON.
std::string _text_form(const json::Value &value);

// "text or null": null (or absent) stays null, any other value becomes its text form.
std::optional<std::string> _text_or_null(const json::Value *value);

// int(value): a float truncates toward zero, integer text is parsed. Throws
// std::invalid_argument for text that is not an integer or a container, std::overflow_error
// for a value outside the 64-bit range (the column's range) or an infinity.
std::int64_t _to_int64(const json::Value &value);

// float(value): numbers and booleans convert, numeric text is parsed. Throws
// std::invalid_argument for other text or a container, std::overflow_error for an integer
// beyond the double range.
double _to_double(const json::Value &value);

// Python's int() of a text: the value when it is an integer literal (surrounding white
// space, sign, underscores between digits, digits of any script) that fits 64 bits.
// Throws std::invalid_argument for other text, std::overflow_error beyond 64 bits.
std::int64_t _parse_int_text(std::string_view text);

// Refuses a text that a text column of the output cannot hold, so that it fails its own step
// at intake rather than the write of its whole batch: text that is not strict UTF-8 (such as
// an escaped lone surrogate, which the parser keeps) or longer than parquet::kMaxTextBytes.
// utf8_known skips the UTF-8 check for text already validated (simdjson's).
// Throws std::invalid_argument naming the column.
void _check_column_text(std::string_view text, std::string_view column, bool utf8_known = false);

} // namespace networking::remote_historian::v2
