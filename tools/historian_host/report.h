#pragma once

#include <optional>
#include <string>

namespace host {

// `event-historian report INPUT [--output SVG]`: the learning curve of a run and the spread of
// its episodes per cycle, as one self-contained SVG and a text table on standard output.
// INPUT is a step file (its cycle summary is found beside it by name), a cycle summary file,
// or an output directory (its newest run). When the run's episodes file (BASE_episodes.parquet)
// lies beside its step file and the step file has a cycle_index column, each cycle's episodes
// and steps are taken from them as the historian recorded them, the first line of the output
// says so, and the SVG adds a fifth chart, episode return against length; otherwise they are
// inferred from the cycle averages. The step file is read one row group at a time, two or
// four columns only, so memory grows with the number of episodes, not of steps.
// INPUT may also be s3://BUCKET/PREFIX (its newest run, by the time its step object was last
// written) or s3://BUCKET/PREFIX/NAME.parquet: the objects are read in place by ranged GETs,
// credentials from the environment and credentials_file.
// Writes the SVG to output, by default beside the step file as <base>.report.svg (in the
// current directory for a run in a bucket), and prints its path last. Returns the exit status:
// 0 written, 1 an input missing or unreadable, the bucket unreachable or the SVG not writable.
int report_command(const std::string &input, const std::optional<std::string> &output,
                   const std::optional<std::string> &credentials_file = std::nullopt);

} // namespace host
