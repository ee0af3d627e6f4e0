#pragma once

#include <stdexcept>

namespace json {

// A text that is not a JSON document as Python's json.loads reads it; the message says why
// and where, in json.loads's own words.
class ParseError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An operation applied to a value of the wrong kind, such as a key lookup in a list.
class TypeError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

} // namespace json
