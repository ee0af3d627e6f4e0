#pragma once

// The step reader: from one step payload to one pending row, on the loop thread. It reads a
// payload by every rule of which source gives which value, then commits it: the widths and
// names to the step shape, the episode accounting to the cycle state and the episode log, the
// row (with its cycle and its place in its episode) to the step buffer. A payload is either read in
// place from its parsed text or from a Value tree.
//
// Invariants: a step that fails (a text no column can hold, a value that does not convert)
// fails before the row is appended; only its episode accounting, done before the row's
// conversions as the cycle average counts it, may remain.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "networking/remote_historian/v2/buffer/step_buffer.h"
#include "networking/remote_historian/v2/cycles/cycle_state.h"
#include "networking/remote_historian/v2/episodes/episode_log.h"
#include "networking/remote_historian/v2/historian_metrics.h"
#include "networking/remote_historian/v2/output/dataset.h"
#include "networking/remote_historian/v2/shape/step_shape.h"
#include "json/document.h"
#include "json/value.h"

namespace networking::remote_historian::v2 {

namespace intake {
struct StepInput;
}

class StepReader {
public:
  // steps: the step dataset, whose first part fixes the column names.
  StepReader(StepShape &shape, StepBuffer &buffer, CycleState &cycles, EpisodeLog &episodes,
             const Dataset &steps, HistorianMetrics &metrics, bool include_raw_json,
             std::optional<std::string> run_id);

  // Reads and commits a plain step straight from its parsed text. Returns false, having
  // changed nothing, for a payload it leaves to the tree (not a plain step, or a rare shape
  // such as repeated keys or texts where numbers are expected). entry_id: the id of the stream
  // entry it came in, which the row keeps ("" or any text that is not one: none).
  bool _process_step_in_place(const json::Document &document, double message_timestamp,
                              std::string_view entry_id);
  // Reads and commits a step payload (a mapping) from a Value tree.
  void read_tree_step(const json::Value &payload, double message_timestamp,
                      std::string_view entry_id);

  // Steps read straight from their parsed text; the others were read from a Value tree.
  std::uint64_t _steps_read_in_place = 0;

private:
  // Reads a step payload (a mapping) into input. Ref: `const json::Value *` into a tree, or a
  // value read in place from a parsed text, which may decline a payload before anything has
  // changed. Never suspends.
  template <class Ref> void _read_step(Ref payload, intake::StepInput &input);
  // The rest of a step, once read: widths, schema names, conversions, episode accounting and
  // the row.
  void _commit_step(intake::StepInput &input, double message_timestamp, std::string_view entry_id);

  StepShape &_shape;
  StepBuffer &_buffer;
  CycleState &_cycles;
  EpisodeLog &_episodes;
  const Dataset &_steps;
  HistorianMetrics &_metrics;
  const bool _include_raw_json;
  const std::optional<std::string> _run_id;
  bool _warned_long_episode = false;
};

} // namespace networking::remote_historian::v2
