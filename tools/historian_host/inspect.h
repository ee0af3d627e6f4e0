#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace host {

// `event-historian inspect PATH`: a Parquet file is printed in full (schema, row groups, first
// max_rows rows, and the column statistics its footer carries, if any); a directory, an output
// directory or the parts directory of a running historian, is listed one line per Parquet file
// (rows, row groups, bytes, codecs) and a total. The listing reads only footers, skips the hidden
// temporaries of files being written and lists a file it cannot read with its error.
// PATH may be s3://BUCKET/KEY, printed as a file, or s3://BUCKET/PREFIX, listed as an output
// directory: the .parquet objects directly under PREFIX, then those under PREFIX/_parts/; they
// are read in place by ranged GETs (credentials from the environment and credentials_file).
// Returns the exit status: 0 printed, 1 PATH missing or (a file, or its statistics)
// unreadable, or the bucket unreachable.
int inspect_command(const std::string &path, std::size_t max_rows,
                    const std::optional<std::string> &credentials_file = std::nullopt);

} // namespace host
