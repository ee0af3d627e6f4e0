#pragma once

#include <string_view>

#include "json/value.h"

namespace json {

// Parses one JSON document as Python's json.loads parses the text after decoding it as strict
// UTF-8: NaN, Infinity and -Infinity are accepted; a repeated key keeps the first key's place
// and the last value; integers become kInt, kUint or BigInt by size; a float literal beyond
// the double range becomes an infinity. An escaped lone surrogate ("\ud800") is kept as its
// 3-byte generalized UTF-8 form, which write() turns back into the same escape.
// Nesting deeper than kMaxDepth arrays and objects is refused. Throws ParseError, whose
// message is the one json.loads (or the UTF-8 decoder) gives.
Value parse(std::string_view text);

inline constexpr int kMaxDepth = 1000;

// The double nearest to a decimal literal (ties to even): +/-infinity beyond the double range,
// +/-0.0 below it. Requires: literal is ASCII of the form [+-](D+[.D*]|.D+)[(e|E)[+-]D+],
// D a decimal digit.
double decimal_to_double(std::string_view literal);

} // namespace json
