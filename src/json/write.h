#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "json/tape.h"
#include "json/value.h"

namespace json {

// Appends the text Python's json.dumps(v) gives with its default options: ", " and ": "
// separators, members in their order, every non-ASCII character as a lowercase \uXXXX escape
// (a surrogate pair beyond the BMP), NaN, Infinity and -Infinity as bare words, floats as
// Python's repr. A byte of a string that is not UTF-8 (nor a surrogate that parse() kept) is
// written as the escape \udcXX, as Python's "surrogateescape" decoding would hold it.
void write(const Value &v, std::string &out);
std::string dumps(const Value &v);

// How a NaN or infinite double is written.
enum class NonFinite {
  kBareWords, // NaN, Infinity, -Infinity: Python's default, what write() and dumps() give
  kNull,      // null: for receivers that parse strict JSON (RFC 8259 has no such numbers)
};
void write(const Value &v, std::string &out, NonFinite non_finite);
std::string dumps(const Value &v, NonFinite non_finite);

// Appends the same text as write(tape::to_value(node), out), straight from a parsed document:
// an object that repeats a key is written as the tree holds it (the first key's place, the
// last value).
void write(tape::Node node, std::string &out);
// The same text written into the `size` bytes at `at`: its length, or nullopt when it needs
// more room (the bytes stored there then mean nothing). The writer asks for some room past
// the text's end, so a text fits only with a few dozen bytes to spare.
std::optional<std::size_t> write(tape::Node node, char *at, std::size_t size);

// Python's repr of a float: the shortest text that reads back as d, in fixed notation for
// decimal exponents -4 to 15 ("0.0001", "1e+16", "1.0", "-0.0", "inf", "nan").
std::string format_double(double d);
void append_double(double d, std::string &out);

} // namespace json
