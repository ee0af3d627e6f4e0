#pragma once
#include <string>
#include "json/value.h"
namespace networking::event_base {
// The text form of the raw JSON columns: Python's json.dumps defaults (", " and ": ",
// ASCII only with \uXXXX escapes, NaN/Infinity as bare words, shortest float repr).
struct JsonEncoder {
  static std::string encode(const json::Value& value);
  static void encode_to(const json::Value& value, std::string& out);
};
}  // namespace networking::event_base
