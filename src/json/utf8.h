#pragma once

#include <string_view>

namespace json {

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace json
