#pragma once

// The part files of a dataset: the step and the cycle datasets are each written as numbered
// files "part-NNNNN.parquet" in a directory beside the final file, one per flush (steps) or
// per cycle, and merged into the final file at shutdown.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parquet/file_writer.h"
#include "parquet/schema.h"

namespace networking::remote_historian::v2 {

// final_path + ".parts": the directory of the parts that compaction merges into final_path.
std::string _parts_dir_for(const std::string &final_path);

// "part-" + index zero-padded to five digits (never cut) + ".parquet".
std::string _part_file_name(std::int64_t index);

// The part number of a name "part-<digits>.parquet", if it is one.
std::optional<std::int64_t> _part_number(std::string_view name);

// The first part number that no file in dir uses yet, at least next.
std::int64_t _next_free_part(const std::string &dir, std::int64_t next);

// Whether name is the temporary of a part still being written (".part-NNNNN.parquet.tmp").
bool _is_part_temporary(std::string_view name);

// Removes the temporaries that a run killed while writing left in dir; a missing dir is fine.
void _remove_part_temporaries(const std::string &dir);

// Creates dir and opens a writer on part number next_index there, then advances next_index.
// The part is written under its temporary name and appears under its own only once
// _close_part has completed it. The first time for a dir (dir_scanned false, set true here),
// next_index first skips the numbers of parts an earlier run left in it: they are never
// overwritten. Throws when the directory cannot be made or the file cannot be opened;
// next_index has advanced then too. options: codec and key-value metadata of the part.
std::unique_ptr<parquet::FileWriter> _open_next_part(const std::string &dir,
                                                     const parquet::Schema &schema,
                                                     std::int64_t &next_index, bool &dir_scanned,
                                                     parquet::WriterOptions options = {});

// Writes the footer of the part that writer has open, publishes it under its name and lets
// the writer go; nothing when none is open. On failure the writer is gone too, with nothing
// left on disk, and the error propagates.
void _close_part(std::unique_ptr<parquet::FileWriter> &writer);

// Abandons the part that writer has open after a failed write: its temporary is removed and,
// when it was the last part opened, next_index goes back so that its number is used again.
void _discard_part(std::unique_ptr<parquet::FileWriter> &writer, std::int64_t &next_index);

// The paths of every Parquet file in dir, in the order compaction merges them: the numbered
// parts by number (so six-digit numbers come last), then any other in text order.
std::vector<std::string> _parts_in_merge_order(const std::string &dir);

// Removes the parts of dir numbered next_index or above: a durable run wrote them after its
// checkpoint, and the entries they came from are handled again (by a restart, or by the
// consumer that takes them over). Returns how many were removed; a missing dir is fine.
int _remove_parts_from(const std::string &dir, std::int64_t next_index);

} // namespace networking::remote_historian::v2
