#include "json/utf8.h"

#include <simdjson.h>

namespace json {

bool is_valid_utf8(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace json
