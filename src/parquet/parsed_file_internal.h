#pragma once

// Shared by the footer checks (parsed_file.cc) and the page decoding (parsed_file_pages.cc) of
// ParsedFile: how their errors name things.

#include <cstdint>
#include <string>

namespace parquet::detail {

// The format's name of an encoding, or "encoding <n>".
std::string encoding_name(std::int32_t e);

inline std::string quoted(const std::string &name) { return "'" + name + "'"; }

} // namespace parquet::detail
