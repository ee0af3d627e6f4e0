#pragma once

#include <optional>
#include <string>

#include "parquet/options.h"

namespace host {

// `event-historian compact PARTS_DIR [OUTPUT_FILE]`: merges the parts that a run left behind
// (a killed run's, say) into OUTPUT_FILE, by default PARTS_DIR without its ".parts", as a run
// merges its own at shutdown. Never replaces an existing file. Returns the exit status.
// writer: the codec of the merged file.
int compact_command(std::string parts_dir, std::optional<std::string> output_file,
                    const parquet::WriterOptions &writer);

} // namespace host
