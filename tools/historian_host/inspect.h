#pragma once

#include <cstddef>
#include <string>

namespace host {

// `event-historian inspect PATH`: a Parquet file is printed in full (schema, row groups, first
// max_rows rows, and the column statistics its footer carries, if any); a directory, an output
// directory or the parts directory of a running historian, is listed one line per Parquet file
// (rows, row groups, bytes, codecs) and a total. The listing reads only footers, skips the hidden
// temporaries of files being written and lists a file it cannot read with its error. Returns the
// exit status: 0 printed, 1 PATH missing or (a file, or its statistics) unreadable.
int inspect_command(const std::string &path, std::size_t max_rows);

} // namespace host
