#pragma once

// Helpers that make processor tests read like a script: a processor writing into a temporary
// folder, messages built from JSON text, and the loop run to completion for each call.

#include <memory>
#include <string>

#include "loop/loop.h"
#include "networking/event_base/event_message.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "parquet/file_reader.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/temp_dir.h"
#include "json/document.h"
#include "json/parse.h"
#include <gtest/gtest.h>

namespace v2test {

using networking::event_base::EventMessage;
using networking::remote_historian::v2::EventHistorianProcessor;
using networking::remote_historian::v2::PendingRow;
using networking::remote_historian::v2::ProcessorOptions;

// A message as the stream loop decodes it: its data kept as parsed text where the fast
// parser takes it, as a Value tree otherwise.
inline EventMessage message(const std::string &data_json, double timestamp = 0.0) {
  EventMessage m;
  m.message_id = "1-0";
  m.timestamp = timestamp;
  if (auto document = json::Document::parse(data_json)) {
    m.document = std::make_shared<const json::Document>(std::move(*document));
  } else {
    m.data = json::parse(data_json);
  }
  return m;
}

// The same message with its data always as a Value tree.
inline EventMessage tree_message(const std::string &data_json, double timestamp = 0.0) {
  EventMessage m;
  m.message_id = "1-0";
  m.timestamp = timestamp;
  m.data = json::parse(data_json);
  return m;
}

// A processor whose output directory is inside dir, already initialized.
inline std::unique_ptr<EventHistorianProcessor> initialized(const support::TempDir &dir,
                                                            ProcessorOptions options = {}) {
  options.output_path = (dir / "out").string();
  auto p = std::make_unique<EventHistorianProcessor>(options);
  loop::run(p->init());
  return p;
}

inline void feed(EventHistorianProcessor &p, const std::string &data_json, double ts = 0.0) {
  loop::run(p.process_message(message(data_json, ts)));
}

inline void drain(EventHistorianProcessor &p) { loop::run(p._drain_pending()); }

// A step with named observation values and an action, in the shape producers send.
inline std::string step(const std::string &episode, int step_number, const std::string &obs,
                        const std::string &action, double reward = 0.5, bool done = false) {
  return "{\"episode_id\": \"" + episode + "\", \"step_number\": " + std::to_string(step_number) +
         ", \"sim_data\": {\"sim_id\": \"s1\", \"result\": " + "{\"observation\": " + obs +
         ", \"terminated\": " + (done ? "true" : "false") +
         "}}, \"skill_data\": {\"action\": " + action +
         ", \"teacher_reward\": " + std::to_string(reward) + "}}";
}

// DuckDB, parquet-wasm and hyparquet all read the file as our own reader does: same columns,
// kinds and cells.
inline void expect_readers_agree(const std::string &path) {
  auto reader = parquet::FileReader::open(path);
  const parquet::Table table = reader->read_all();
  const auto readouts = support::read_files_with_all_readers({path});
  ASSERT_EQ(readouts.size(), 1u);
  EXPECT_EQ(support::mismatches(readouts[0], support::expected_columns(reader->schema(), table)),
            "")
      << path;
}

} // namespace v2test
