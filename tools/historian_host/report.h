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
// Writes the SVG to output, by default beside the step file as <base>.report.svg, and prints
// its path last. Returns the exit status: 0 written, 1 an input missing or unreadable or the
// SVG not writable.
int report_command(const std::string &input, const std::optional<std::string> &output);

} // namespace host
