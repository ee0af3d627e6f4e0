#pragma once

#include <stdexcept>

namespace parquet {
// A malformed or unsupported file, or a table that does not fit its schema.
class Error : public std::runtime_error {
  using std::runtime_error::runtime_error;
};
} // namespace parquet
