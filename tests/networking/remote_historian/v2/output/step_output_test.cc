#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "networking/event_base/settings.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "networking/remote_historian/v2/stats/column_stats.h"
#include "parquet/file_reader.h"
#include "parquet/file_writer.h"
#include "tests/networking/remote_historian/v2/processor_test_util.h"
#include "tests/support/capturing_logger.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/small_tmpfs.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace v2test;
namespace fs = std::filesystem;
using networking::event_base::LogLevel;
using networking::remote_historian::v2::_part_file_name;
using networking::remote_historian::v2::Dataset;

constexpr const char *kResult = R"({"type": "ppo_training_result", "steps_per_sec": 10.0})";

std::vector<std::string> names_of(const parquet::Schema &s) {
  std::vector<std::string> out;
  for (const auto &f : s.fields())
    out.push_back(f.name);
  return out;
}

parquet::Table read_all(const std::string &path) {
  return parquet::FileReader::open(path)->read_all();
}

std::optional<std::string> text_at(const parquet::Table &t, std::size_t col, std::size_t row) {
  const auto &c = t.columns[col];
  return c.valid[row] ? std::optional(c.strings[row]) : std::nullopt;
}
std::optional<double> double_at(const parquet::Table &t, std::size_t col, std::size_t row) {
  const auto &c = t.columns[col];
  return c.valid[row] ? std::optional(c.doubles[row]) : std::nullopt;
}

void shutdown(EventHistorianProcessor &p) { loop::run(p.disconnect()); }

using support::SmallTmpfs;

// Fills the file system that holds path with a ballast file until a write fails.
void fill(const fs::path &path) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::setvbuf(f, nullptr, _IONBF, 0);
  const std::string chunk(4096, 'b');
  while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
  }
  std::fclose(f);
}

// The step numbers of a step file, in row order.
std::vector<std::int64_t> step_numbers(const std::string &path) {
  return read_all(path).columns[3].ints;
}

// The names in dir that a reader of "part-*.parquet" or the writer's temporaries would see.
std::vector<std::string> part_like(const std::string &dir) {
  std::vector<std::string> out;
  for (const auto &name : support::sorted_entries(dir))
    if (name.find("part-") != std::string::npos)
      out.push_back(name);
  return out;
}

TEST(StepOutput, RowsBufferedUntilBothWidthsAreKnown) {
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, step("e1", 1, R"({"a": 1})", "[]"));
  drain(*p);
  EXPECT_EQ(p->_buffer._pending_rows.size(), 1u);
  EXPECT_FALSE(fs::exists(*p->_steps._parts_dir));
  feed(*p, step("e1", 2, R"({"a": 2})", "[0.5, 0.25]"));
  drain(*p);
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
  EXPECT_EQ(support::sorted_entries(*p->_steps._parts_dir),
            (std::vector<std::string>{"part-00000.parquet"}));
  auto t = read_all(*p->_steps._parts_dir + "/part-00000.parquet");
  ASSERT_EQ(t.num_rows(), 2u);
  // The row buffered before the action width was known is padded with nulls.
  EXPECT_EQ(double_at(t, 11, 0), std::nullopt);
  EXPECT_EQ(double_at(t, 11, 1), 0.5);
  EXPECT_EQ(double_at(t, 12, 1), 0.25);
  EXPECT_EQ(p->_steps._writer, nullptr);
}

TEST(StepOutput, SchemaAndFinalFileReadByEveryReader) {
  support::TempDir dir;
  ProcessorOptions o;
  o.include_raw_json = true;
  o.skill_name = "walk";
  networking::event_base::settings().RUN_ID = "run-7";
  auto p = initialized(dir, o);
  networking::event_base::settings().RUN_ID.reset();
  feed(*p, step("e1", 1, R"({"Hip Angle": 1.5, "knee": -0.0})", "[0.5]"), 10.0);
  feed(
      *p,
      R"({"episode_id": "é✓", "sim_data": {"observation": [NaN, Infinity]}, "skill_data": {"action": [-Infinity]}})",
      11.0);
  drain(*p);
  feed(*p, step("e2", 3, R"({"Hip Angle": 2, "knee": "3"})", "[1, 2]", 0.25, true), 12.0);
  shutdown(*p);

  EXPECT_EQ(*p->_steps._output_file,
            (dir / "out" / "v2_event_historian_run-7_walk.parquet").string());
  EXPECT_FALSE(fs::exists(*p->_steps._parts_dir));
  auto reader = parquet::FileReader::open(*p->_steps._output_file);
  EXPECT_EQ(names_of(reader->schema()),
            (std::vector<std::string>{"run_id", "sim_id", "episode_id", "step_number", "timestamp",
                                      "skill_name", "scenario", "reward", "terminated", "truncated",
                                      "hip_angle", "knee", "a_0", "sim_data_json",
                                      "skill_data_json", "cycle_index", "step_index", "entry_id"}));
  auto t = reader->read_all();
  ASSERT_EQ(t.num_rows(), 3u);
  EXPECT_EQ(text_at(t, 0, 0), "run-7");
  EXPECT_EQ(text_at(t, 2, 1), "é✓");
  EXPECT_EQ(text_at(t, 5, 2), "walk");
  EXPECT_EQ(double_at(t, 11, 2), 3.0);
  EXPECT_EQ(text_at(t, 14, 2), R"({"action": [1, 2], "teacher_reward": 0.25})");
  EXPECT_EQ(text_at(t, 13, 1), R"({"observation": [NaN, Infinity]})");

  // Every independent reader sees the same columns and values.
  expect_readers_agree(*p->_steps._output_file);
}

TEST(StepOutput, TruncationAndPaddingAtFlush) {
  support::CapturingLogger log;
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, R"({"sim_data": {"observation": [1, 2, 3]}, "skill_data": {"action": [1, 2, 3, 4]}})");
  feed(*p,
       R"({"sim_data": {"observation": [1, "2", null, "x", 5]}, "skill_data": {"action": [0.5]}})");
  feed(*p, R"({"sim_data": {"observation": [1, 2, 3]}, "skill_data": {"action": [1, 2, 3, 4]}})");
  drain(*p);
  EXPECT_EQ(log.messages(LogLevel::kWarning),
            (std::vector<std::string>{
                "[EventHistorian] obs vector length 5 exceeds schema 3; truncating"}));
  auto t = read_all(*p->_steps._parts_dir + "/part-00000.parquet");
  EXPECT_EQ(double_at(t, 10, 1), 1.0);
  EXPECT_EQ(double_at(t, 11, 1), 2.0);
  EXPECT_EQ(double_at(t, 12, 1), std::nullopt);
  EXPECT_EQ(double_at(t, 13, 1), 0.5);
  EXPECT_EQ(double_at(t, 14, 1), std::nullopt);
  EXPECT_EQ(double_at(t, 16, 1), std::nullopt);
}

TEST(StepOutput, CoerceVectorFitsToWidth) {
  support::CapturingLogger log;
  support::TempDir dir;
  auto p = initialized(dir);
  networking::remote_historian::v2::StepVector v(2, 4);
  v.set(0, 1.5);
  v.set(1, std::nullopt);
  EXPECT_EQ(p->_step_rows()._coerce_vector(v, 3, "obs"),
            (std::vector<std::optional<double>>{1.5, std::nullopt, std::nullopt}));
  EXPECT_EQ(log.count(LogLevel::kWarning), 1u);
  EXPECT_EQ(p->_step_rows()._coerce_vector(v, 0, "action"), (std::vector<std::optional<double>>{}));
  EXPECT_EQ(log.messages(LogLevel::kWarning).back(),
            "[EventHistorian] action vector length 4 exceeds schema 0; truncating");
}

TEST(StepOutput, ColumnNamesStayUnique) {
  support::TempDir dir;
  ProcessorOptions o;
  o.include_raw_json = true;
  auto p = initialized(dir, o);
  feed(*p, R"({"sim_data": {"result": {"observation": {"reward": 1, "a_0": 2, "Timestamp": 3,
      "sim_data_json": 4, "x": 5, "reward_0": 6}}}, "skill_data": {"action": [7]}})");
  drain(*p);
  auto reader = parquet::FileReader::open(*p->_steps._parts_dir + "/part-00000.parquet");
  auto names = names_of(reader->schema());
  EXPECT_EQ(std::vector<std::string>(names.begin() + 10, names.end()),
            (std::vector<std::string>{"reward_0_2", "a_0_1", "timestamp_2", "sim_data_json_3", "x",
                                      "reward_0", "a_0", "sim_data_json", "skill_data_json",
                                      "cycle_index", "step_index", "entry_id"}));
  auto t = reader->read_all();
  EXPECT_EQ(double_at(t, 7, 0), 0.0); // the reward column keeps the step's reward
  EXPECT_EQ(double_at(t, 10, 0), 1.0);
  EXPECT_EQ(double_at(t, 16, 0), 7.0);
}

TEST(StepOutput, EachDrainWritesTheNextPart) {
  support::TempDir dir;
  auto p = initialized(dir);
  for (int i = 0; i < 3; ++i) {
    feed(*p, step("e", i, "[1]", "[1]"));
    drain(*p);
  }
  drain(*p); // nothing buffered: no file
  EXPECT_EQ(
      support::sorted_entries(*p->_steps._parts_dir),
      (std::vector<std::string>{"part-00000.parquet", "part-00001.parquet", "part-00002.parquet"}));
  EXPECT_EQ(p->_steps._part_index, 3);
  EXPECT_EQ(_part_file_name(123456), "part-123456.parquet");
}

TEST(StepOutput, FailedFlushDropsOnlyItsBatch) {
  support::CapturingLogger log;
  support::TempDir dir;
  auto p = initialized(dir);
  // A file where the parts directory must go makes the flush fail.
  std::ofstream(*p->_steps._parts_dir) << "in the way";
  feed(*p, step("e", 1, "[1]", "[1]"));
  feed(*p, step("e", 2, "[1]", "[1]"));
  drain(*p);
  EXPECT_EQ(log.count(LogLevel::kError,
                      "[EventHistorian] Parquet flush of 2 rows failed; rows dropped: "),
            1u);
  EXPECT_EQ(log.count(LogLevel::kError), 1u);
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
  fs::remove(*p->_steps._parts_dir);
  feed(*p, step("e", 3, "[1]", "[1]"));
  drain(*p);
  auto t = read_all(*p->_steps._parts_dir + "/part-00000.parquet");
  ASSERT_EQ(t.num_rows(), 1u);
  EXPECT_EQ(t.columns[3].ints[0], 3);
}

TEST(StepOutput, OverlappingDrainsWriteEachRowOnce) {
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, step("e", 1, "[1]", "[1]"));
  asio::io_context io;
  int done = 0;
  auto drain_then = [&]() -> asio::awaitable<void> {
    co_await p->_drain_pending();
    ++done;
  };
  asio::co_spawn(io, drain_then(), asio::detached);
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        // Runs while the first drain's flush is on the worker: this row goes to the next part.
        feed(*p, step("e", 2, "[1]", "[1]"));
        co_await drain_then();
      },
      asio::detached);
  loop::run_context(io);
  EXPECT_EQ(done, 2);
  auto first = read_all(*p->_steps._parts_dir + "/part-00000.parquet");
  auto second = read_all(*p->_steps._parts_dir + "/part-00001.parquet");
  ASSERT_EQ(first.num_rows(), 1u);
  ASSERT_EQ(second.num_rows(), 1u);
  EXPECT_EQ(first.columns[3].ints[0], 1);
  EXPECT_EQ(second.columns[3].ints[0], 2);
}

TEST(StepOutput, EarlierRunsPartsAreKeptAndMerged) {
  support::TempDir dir;
  {
    auto crashed = initialized(dir);
    feed(*crashed, step("old", 1, "[1]", "[1]"));
    drain(*crashed);
    feed(*crashed, step("old", 2, "[1]", "[1]"));
    drain(*crashed);
  } // never shut down: its parts stay behind
  auto p = initialized(dir);
  feed(*p, step("new", 1, "[1]", "[1]"));
  drain(*p);
  EXPECT_EQ(
      support::sorted_entries(*p->_steps._parts_dir),
      (std::vector<std::string>{"part-00000.parquet", "part-00001.parquet", "part-00002.parquet"}));
  shutdown(*p);
  auto t = read_all(*p->_steps._output_file);
  ASSERT_EQ(t.num_rows(), 3u);
  EXPECT_EQ(text_at(t, 2, 0), "old");
  EXPECT_EQ(text_at(t, 2, 2), "new");
}

TEST(StepOutput, CompactionOrdersPartsByNumber) {
  support::TempDir dir;
  const std::string parts = (dir / "x.parquet.parts").string();
  fs::create_directories(parts);
  parquet::Schema schema({{"n", parquet::Type::kInt64}});
  for (std::int64_t n : {99999, 100000, 5, 100001}) {
    parquet::FileWriter w(parts + "/" + _part_file_name(n), schema);
    parquet::Table t;
    t.columns.emplace_back(parquet::Type::kInt64);
    t.columns[0].append(n);
    w.write_table(t);
    w.close();
  }
  fs::copy_file(parts + "/" + _part_file_name(5), parts + "/extra.parquet");
  std::ofstream(parts + "/notes.txt") << "not a part";
  Dataset::_compact_parts(parts, (dir / "x.parquet").string());
  auto t = read_all((dir / "x.parquet").string());
  EXPECT_EQ(t.columns[0].ints, (std::vector<std::int64_t>{5, 99999, 100000, 100001, 5}));
  EXPECT_FALSE(fs::exists(parts));
}

TEST(StepOutput, CompactionFailureKeepsEveryPart) {
  support::CapturingLogger log;
  support::TempDir dir;
  const std::string parts = (dir / "x.parquet.parts").string();
  fs::create_directories(parts);
  for (auto [name, type] : {std::pair{"part-00000.parquet", parquet::Type::kInt64},
                            std::pair{"foreign.parquet", parquet::Type::kString}}) {
    parquet::FileWriter w(parts + "/" + name, parquet::Schema({{"n", type}}));
    w.close();
  }
  Dataset::_compact_parts(parts, (dir / "x.parquet").string());
  EXPECT_EQ(log.count(LogLevel::kError, "[EventHistorian] Failed to compact 2 part file(s) from " +
                                            parts + " into " + (dir / "x.parquet").string() +
                                            "; leaving parts on disk: "),
            1u);
  EXPECT_FALSE(fs::exists(dir / "x.parquet"));
  EXPECT_EQ(support::sorted_entries(parts).size(), 2u);
  // Nothing to merge: the directory goes, no file is made, nothing is logged.
  fs::remove_all(parts);
  fs::create_directories(parts);
  std::ofstream(parts + "/notes.txt") << "x";
  Dataset::_compact_parts(parts, (dir / "x.parquet").string());
  EXPECT_FALSE(fs::exists(parts));
  EXPECT_FALSE(fs::exists(dir / "x.parquet"));
  EXPECT_EQ(log.count(LogLevel::kError), 1u);
  Dataset::_compact_parts((dir / "missing").string(), (dir / "y.parquet").string());
  EXPECT_EQ(log.count(LogLevel::kError), 1u);
}

TEST(WriteFaults, FullDiskCostsOnlyTheFailingWritesAndHeals) {
  support::TempDir dir;
  SmallTmpfs disk(dir / "disk", "2m");
  if (!disk.mounted)
    GTEST_SKIP() << "mounting a 2 MiB tmpfs needs root or CAP_SYS_ADMIN: " << disk.error;
  support::CapturingLogger log;
  ProcessorOptions o;
  o.output_path = (disk.path / "out").string();
  auto p = std::make_unique<EventHistorianProcessor>(o);
  loop::run(p->init());

  for (int i = 1; i <= 3; ++i)
    feed(*p, step("e", i, "[1, 2]", "[1]"));
  feed(*p, kResult); // cycle 1 and the first three steps are written

  fill(disk.path / "ballast");
  feed(*p, step("e", 4, "[1, 2]", "[1]"));
  feed(*p, step("e", 5, "[1, 2]", "[1]"));
  try {
    feed(*p, kResult);
    ADD_FAILURE() << "cycle 2's summary was written on a full disk";
  } catch (const std::exception &e) {
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  drain(*p);
  EXPECT_EQ(log.count(LogLevel::kError,
                      "[EventHistorian] Parquet flush of 2 rows failed; rows dropped: "),
            1u);
  EXPECT_EQ(p->rows_dropped(), 3);
  // Nothing half-written is left, and a reader of the parts sees only whole files.
  EXPECT_EQ(part_like(*p->_steps._parts_dir), (std::vector<std::string>{"part-00000.parquet"}));
  EXPECT_EQ(part_like(*p->_cycle_summary._parts_dir),
            (std::vector<std::string>{"part-00000.parquet"}));
  EXPECT_EQ(support::duckdb_scalar("SELECT count(*) FROM read_parquet(" +
                                   support::sql_string(*p->_steps._parts_dir + "/*.parquet") + ")"),
            3);

  fs::remove(disk.path / "ballast");
  feed(*p, step("e", 6, "[1, 2]", "[1]"));
  feed(*p, step("e", 7, "[1, 2]", "[1]"));
  feed(*p, kResult);
  shutdown(*p);

  EXPECT_EQ(log.count(LogLevel::kError), 1u);
  EXPECT_TRUE(p->incomplete_outputs().empty());
  EXPECT_FALSE(fs::exists(*p->_steps._parts_dir));
  EXPECT_EQ(step_numbers(*p->_steps._output_file), (std::vector<std::int64_t>{1, 2, 3, 6, 7}));
  const auto cycles = read_all(*p->_cycle_summary._output_file);
  EXPECT_EQ(cycles.columns[0].ints, (std::vector<std::int64_t>{0, 1, 3}));
  EXPECT_EQ(cycles.columns[4].bools, (std::vector<std::uint8_t>{1, 0, 0}));
  expect_readers_agree(*p->_steps._output_file);
  expect_readers_agree(*p->_cycle_summary._output_file);
}

TEST(WriteFaults, UnreadablePartsAreSetAsideAndTheRestMerged) {
  support::CapturingLogger log;
  support::TempDir dir;
  std::string parts;
  {
    auto killed = initialized(dir);
    for (int i = 1; i <= 2; ++i) {
      feed(*killed, step("e", i, "[1]", "[1]"));
      drain(*killed);
    }
    parts = *killed->_steps._parts_dir;
  } // never shut down
  std::ofstream(parts + "/part-00007.parquet") << "not parquet at all";
  // A part whose footer reads but whose first page header is broken.
  fs::copy_file(parts + "/part-00000.parquet", parts + "/part-00008.parquet");
  {
    std::fstream f(parts + "/part-00008.parquet", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4);
    f << std::string(8, '\xff');
  }
  std::ofstream(parts + "/.part-00009.parquet.tmp") << "PAR1 cut short";

  auto p = initialized(dir);
  EXPECT_FALSE(fs::exists(parts + "/.part-00009.parquet.tmp"));
  shutdown(*p);

  for (const char *name : {"part-00007.parquet", "part-00008.parquet"}) {
    EXPECT_EQ(log.count(LogLevel::kError, "[EventHistorian] Part file " + parts + "/" + name +
                                              " is not readable Parquet; moved aside to " + parts +
                                              "/" + name + ".corrupt: "),
              1u)
        << name;
  }
  EXPECT_EQ(log.count(LogLevel::kError), 2u);
  EXPECT_EQ(support::sorted_entries(parts),
            (std::vector<std::string>{"part-00007.parquet.corrupt", "part-00008.parquet.corrupt"}));
  EXPECT_EQ(step_numbers(*p->_steps._output_file), (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(p->incomplete_outputs(), (std::vector<std::string>{*p->_steps._output_file}));
  expect_readers_agree(*p->_steps._output_file);
}

TEST(StepOutput, ShutdownWithNothingBufferedWritesNothing) {
  support::TempDir dir;
  auto p = initialized(dir);
  shutdown(*p);
  EXPECT_FALSE(fs::exists(*p->_steps._output_file));
  EXPECT_FALSE(fs::exists(*p->_steps._parts_dir));
  shutdown(*p);
}

TEST(StepOutput, FlushBeforeInitFails) {
  EventHistorianProcessor p;
  p._shape._obs_dim = 1;
  p._shape._act_dim = 1;
  EXPECT_THROW(
      {
        try {
          p._ensure_writer();
        } catch (const std::runtime_error &e) {
          EXPECT_STREQ(e.what(), "Historian schema not initialized");
          throw;
        }
      },
      std::runtime_error);
}

} // namespace

namespace {

// The statistics of a file's footer, and those of all its rows read and counted at once.
struct TwoWays {
  networking::remote_historian::v2::DatasetStats footer, at_once;
};
TwoWays stats_two_ways(const std::string &path) {
  using networking::remote_historian::v2::DatasetStats;
  auto reader = parquet::FileReader::open(path);
  TwoWays out;
  out.at_once.add_table(reader->schema(), reader->read_all());
  const auto footer = networking::remote_historian::v2::merged_stats_of({path});
  EXPECT_TRUE(footer.has_value()) << path;
  if (footer)
    out.footer = *footer;
  return out;
}

} // namespace

// Statistics are counted part by part as the rows are written and combined at the merge: the
// final file's equal those of its rows counted at once (the mean to a few ulps: parts whose
// means lie thousands apart round differently), NaNs and nulls included, for the steps and the
// episodes alike.
TEST(StepOutput, FinalStatisticsAreThoseOfAllTheRows) {
  support::TempDir dir;
  auto p = initialized(dir, {});
  for (int part = 0; part < 4; ++part) {
    for (int i = 0; i < 50 + 37 * part; ++i) {
      const int n = part * 1000 + i;
      const std::string obs = "{\"x\": " + std::to_string(1e6 + n * 0.37) + ", \"y\": " +
                              (n % 11 == 0   ? "NaN"
                               : n % 13 == 0 ? "null"
                                             : std::to_string(-n)) +
                              "}";
      feed(*p, step("e" + std::to_string(n / 9), n, obs, "[0.25]", (n % 5) * 0.5, n % 9 == 8));
    }
    drain(*p);
  }
  feed(*p, R"({"type": "ppo_training_result"})");
  shutdown(*p);
  for (const std::string &path : {*p->_steps._output_file, *p->_episodes._output_file}) {
    const TwoWays s = stats_two_ways(path);
    ASSERT_EQ(s.footer.columns().size(), s.at_once.columns().size()) << path;
    for (std::size_t i = 0; i < s.at_once.columns().size(); ++i) {
      const auto &[name, want] = s.at_once.columns()[i];
      const auto &got = s.footer.columns()[i].second;
      EXPECT_EQ(s.footer.columns()[i].first, name);
      EXPECT_EQ(std::tie(got.count, got.nulls, got.nans),
                std::tie(want.count, want.nulls, want.nans))
          << name;
      if (want.count == 0)
        continue;
      EXPECT_EQ(got.min, want.min) << name;
      EXPECT_EQ(got.max, want.max) << name;
      EXPECT_NEAR(got.mean, want.mean,
                  16 * std::numeric_limits<double>::epsilon() * std::max(1.0, std::abs(want.mean)))
          << name;
      EXPECT_NEAR(got.m2, want.m2, 1e-12 * std::max(1.0, want.m2)) << name;
    }
  }
  const TwoWays steps = stats_two_ways(*p->_steps._output_file);
  const auto *y = steps.footer.find("y");
  ASSERT_NE(y, nullptr);
  EXPECT_GT(y->nans, 0);
  EXPECT_GT(y->nulls, 0);
}
