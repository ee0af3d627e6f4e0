#pragma once

// The names of a run's final files in the output directory, and what earlier runs of the same
// base name left beside them: parts directories never merged and merge temporaries.
//
// A final name of base is base, optionally "_cycle_summary" or "_episodes", optionally "_" + a
// time stamp in seconds, optionally "_" + a counter, then ".parquet".

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace networking::remote_historian::v2 {

// dir/stem.parquet unless that file exists; then dir/stem_<stamp>.parquet, extended by "_2",
// "_3", ... until neither that file nor its parts directory exists. A name that taken says is
// taken elsewhere (an object in the bucket the files go to) counts as existing.
std::string _final_name(const std::string &dir, const std::string &stem, const std::string &stamp,
                        const std::function<bool(const std::string &)> &taken = {});

// Whether name (a file name, no directory) is a final name of base.
bool _is_final_name_of(std::string_view base, std::string_view name);

// The parts directories in dir of final names of base, except those named in in_use (file
// names), sorted.
std::vector<std::string> _orphaned_parts_dirs(const std::string &dir, const std::string &base,
                                              const std::vector<std::string> &in_use);

// Removes the temporaries (".<final>.merge-<pid>-<n>") that merges into final names of base
// left in dir when they were cut short; a temporary whose process still runs is kept.
void _remove_merge_leftovers(const std::string &dir, const std::string &base);

} // namespace networking::remote_historian::v2
