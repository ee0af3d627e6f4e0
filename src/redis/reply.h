#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace redis {

// A parsed reply. Error replies never reach a caller as a Reply: they are thrown.
struct Reply {
  enum class Type { kNil, kString, kStatus, kInteger, kArray };
  Type type = Type::kNil;
  std::string str;              // kString and kStatus (bytes, undecoded)
  std::int64_t integer = 0;     // kInteger
  std::vector<Reply> elements;  // kArray
};

}  // namespace redis
