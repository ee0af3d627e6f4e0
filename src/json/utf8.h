#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace json {

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Decodes the sequence starting at s[i], a byte from 0x80 up, into cp. Surrogates are accepted
// (parse() keeps escaped lone surrogates in that generalized form); overlong forms and values
// past U+10FFFF are not. Returns the sequence's length, or 0 when it is invalid.
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t &cp);

// Appends cp in (generalized) UTF-8: surrogates as 3-byte sequences like any other BMP code
// point. Requires: cp <= 0x10FFFF.
void append_utf8(std::string &out, std::uint32_t cp);

} // namespace json
