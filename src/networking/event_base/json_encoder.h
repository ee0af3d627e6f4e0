#pragma once

#include <string>

#include "json/value.h"
#include "json/write.h"

namespace networking::event_base {

// The text form of the raw JSON columns and of published replies: Python's json.dumps
// defaults (", " and ": ", key order kept, ASCII only with \uXXXX escapes, NaN and Infinity as
// bare words, floats in their shortest repr). Decoded payloads hold only plain JSON values, so
// there is no value that needs a conversion of its own.
struct JsonEncoder {
  static std::string encode(const json::Value &value) { return json::dumps(value); }
};

} // namespace networking::event_base
