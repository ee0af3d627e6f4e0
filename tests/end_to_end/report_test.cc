// `report` and `inspect PATH` on real files: the demo's run, a million-row step file written
// with the historian's own writer and schema, the directories of a running historian, and a
// file that carries column statistics.

#include <cstdlib>
#include <map>
#include <sstream>

#include "networking/remote_historian/v2/rows/fixed_columns.h"
#include "networking/remote_historian/v2/stats/column_stats.h"
#include "parquet/file_writer.h"
#include "parquet/inspect.h"
#include "tests/end_to_end/program.h"
#include "tests/parquet/tables.h"

namespace end_to_end {
namespace {

namespace v2 = networking::remote_historian::v2;

struct Outcome {
  int status = -1;
  std::string out, err;
  long peak_kb = 0; // the child's VmHWM
};

// Runs the program to its end. VmHWM is read from /proc while the child lives, as its
// ru_maxrss would start from ours (posix_spawn shares our memory until the exec).
Outcome run(const Args &args, const support::TempDir &dir) {
  Child child(args, dir);
  Outcome o;
  const std::string proc = "/proc/" + std::to_string(child.pid()) + "/status";
  for (int i = 0; i < 300000; ++i) {
    const std::string status = slurp(proc);
    const auto hwm = status.find("VmHWM:");
    if (hwm == std::string::npos)
      break; // exited: a zombie has no memory left to report
    o.peak_kb = std::max(o.peak_kb, std::atol(status.c_str() + hwm + 6));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  o.status = child.wait(std::chrono::seconds(60));
  o.out = child.out();
  o.err = child.err();
  return o;
}

std::vector<double> numbers(const std::string &line) {
  std::istringstream in(line);
  std::vector<double> v;
  for (std::string word; in >> word;)
    v.push_back(word == "none" ? std::nan("") : std::strtod(word.c_str(), nullptr));
  return v;
}

// Per cycle, from DuckDB: cycle, average reward, steps, episodes, return min, quartiles, max,
// mean, mean length. cycle_sql names an episode's cycle (the test data spells it in the id).
std::vector<std::vector<double>> duckdb_figures(const fs::path &steps, const fs::path &summary,
                                                const std::string &cycle_sql) {
  const std::string sql =
      "WITH e AS (SELECT episode_id, sum(coalesce(reward, 0)) AS ret, count(*)::DOUBLE AS len "
      "FROM read_parquet(" +
      support::sql_string(steps) +
      ") WHERE episode_id IS NOT NULL GROUP BY episode_id), "
      "c AS (SELECT " +
      cycle_sql +
      " AS cycle, ret, len FROM e), s AS (SELECT cycle_index AS cycle, average_reward FROM "
      "read_parquet(" +
      support::sql_string(summary) +
      ") WHERE NOT is_metadata) SELECT s.cycle::DOUBLE AS k, any_value(average_reward) AS a, "
      "sum(len) AS steps, count(*)::DOUBLE AS n, min(ret) AS r0, quantile_cont(ret, 0.25) AS r1, "
      "quantile_cont(ret, 0.5) AS r2, quantile_cont(ret, 0.75) AS r3, max(ret) AS r4, avg(ret) "
      "AS r5, avg(len) AS l FROM s JOIN c USING (cycle) GROUP BY s.cycle ORDER BY s.cycle";
  rapidjson::Document doc;
  const std::string text = support::duckdb_query(sql);
  doc.Parse(text.c_str());
  std::vector<std::vector<double>> rows;
  for (const auto &row : doc.GetArray()) {
    rows.emplace_back();
    for (const auto &cell : row.GetObject())
      rows.back().push_back(cell.value.GetDouble());
  }
  return rows;
}

void expect_near(double got, double want, double relative, const std::string &what) {
  EXPECT_LE(std::abs(got - want), relative * std::max(1.0, std::abs(want)))
      << what << ": got " << got << ", want " << want;
}

// The SVG parses as XML and its cycles carry DuckDB's figures; so does the text table.
void expect_figures(const Outcome &o, const fs::path &svg,
                    const std::vector<std::vector<double>> &truth, const support::TempDir &dir) {
  ASSERT_FALSE(truth.empty());
  std::ofstream(dir / "cycles.py") << R"(import sys, xml.etree.ElementTree as ET
ns = '{http://www.w3.org/2000/svg}'
keys = ['cycle', 'average-reward', 'steps', 'episodes', 'return-min', 'return-q1',
        'return-median', 'return-q3', 'return-max', 'return-mean', 'length-mean']
for g in ET.parse(sys.argv[1]).getroot().iter(ns + 'g'):
    if g.get('class') == 'cycle':
        print(' '.join(g.get('data-' + k, 'none') for k in keys))
)";
  const std::string command = "python3 " + (dir / "cycles.py").string() + " '" + svg.string() +
                              "' > " + (dir / "cycles.txt").string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir / "cycles.txt");
  std::istringstream svg_lines(slurp(dir / "cycles.txt"));
  std::map<long, std::vector<double>> table; // cycle -> steps episodes average mean median length
  std::istringstream out_lines(o.out);
  for (std::string line; std::getline(out_lines, line);) {
    const auto v = numbers(line);
    if (v.size() == 7 && !std::isnan(v[0]))
      table[std::lround(v[0])] = v;
  }
  std::size_t seen = 0;
  for (std::string line; std::getline(svg_lines, line); ++seen) {
    ASSERT_LT(seen, truth.size()) << line;
    const auto got = numbers(line);
    const auto &want = truth[seen];
    ASSERT_EQ(got.size(), want.size()) << line;
    for (std::size_t i = 0; i < want.size(); ++i)
      expect_near(got[i], want[i], 1e-9,
                  "cycle " + std::to_string(want[0]) + " field " + std::to_string(i) +
                      " of the SVG");
    const auto &row = table[std::lround(want[0])];
    ASSERT_EQ(row.size(), 7u) << "cycle " << want[0] << " missing from the table:\n" << o.out;
    const double expected[] = {want[0], want[2], want[3], want[1], want[9], want[6], want[10]};
    for (std::size_t i = 0; i < 7; ++i)
      expect_near(row[i], expected[i], 1e-4, "table column " + std::to_string(i));
  }
  EXPECT_EQ(seen, truth.size());
}

TEST(Report, DemoRunAgreesWithDuckDB) {
  support::TempDir dir;
  const fs::path out = dir / "out";
  const Outcome demo = run({"demo", "--output-path", out.string(), "--cycles", "4"}, dir);
  ASSERT_EQ(demo.status, 0) << demo.err;
  const fs::path steps = out / "v2_event_historian_demo_walk.parquet";
  const fs::path summary = out / "v2_event_historian_demo_walk_cycle_summary.parquet";
  expect_readers_agree(steps.string());
  expect_readers_agree(summary.string());

  const Outcome o = run({"report", out.string()}, dir);
  ASSERT_EQ(o.status, 0) << o.err;
  const fs::path svg = out / "v2_event_historian_demo_walk.report.svg";
  EXPECT_TRUE(o.out.ends_with("\n" + svg.string() + "\n")) << o.out;
  // The demo numbers its episodes across cycles, four per cycle.
  expect_figures(
      o, svg,
      duckdb_figures(steps, summary, "CAST(split_part(episode_id, '-', 2) AS INTEGER) // 4 + 1"),
      dir);

  // Inputs that are not there, and no input at all.
  fs::create_directories(dir / "lone");
  fs::copy_file(steps, dir / "lone" / steps.filename());
  const struct {
    Args args;
    int status;
    std::string err;
  } failures[] = {
      {{"report", (dir / "nothing").string()}, 1, (dir / "nothing").string() + " does not exist"},
      {{"report", (dir / "lone").string()},
       1,
       (dir / "lone").string() + " holds no step file with its cycle summary beside it"},
      {{"report", (dir / "lone" / steps.filename()).string()}, 1, "has no cycle summary beside it"},
      {{"report"}, 2, "INPUT is required"}};
  for (const auto &f : failures) {
    const Outcome failed = run(f.args, dir);
    EXPECT_EQ(failed.status, f.status) << f.args.back();
    EXPECT_NE(failed.err.find(f.err), std::string::npos) << failed.err;
  }
}

// Ten cycles of 100,000 steps from eight simulations whose episodes interleave, then 500
// steps of an episode that no training result has closed yet. File names carry XML's special
// characters, which the SVG's title must escape.
void write_million_rows(const fs::path &steps, const fs::path &summary) {
  std::vector<parquet::Field> fields = v2::_fixed_fields();
  for (const char *name : {"joint_0", "joint_1", "joint_2", "joint_3", "a_0", "a_1"})
    fields.push_back({name, parquet::Type::kDouble});
  const parquet::Schema schema(fields);
  parquet::WriterOptions options;
  options.row_group_rows = 150000;
  parquet::FileWriter writer(steps.string(), schema, options);
  parquet::Table batch;
  const auto reset = [&] {
    batch.columns.clear();
    for (const auto &f : fields)
      batch.columns.emplace_back(f.type);
  };
  const auto flush = [&] {
    writer.write_table(batch);
    reset();
  };
  reset();
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  std::int64_t row = 0;
  const auto add = [&](const std::string &episode, double reward, bool last, bool open) {
    for (std::size_t c = 0; c < fields.size(); ++c) {
      parquet::Column &col = batch.columns[c];
      const std::string &name = fields[c].name;
      if (name == "episode_id")
        col.append(episode);
      else if (name == "reward" && row % 997 == 0)
        col.append_null();
      else if (name == "reward")
        col.append(reward);
      else if (name == "terminated" || name == "truncated")
        col.append_bool(last && !open && ((name == "terminated") == (row % 3 != 0)));
      else if (col.type == parquet::Type::kString)
        col.append(std::string(name == "skill_name" ? "walk" : "r&d"));
      else if (col.type == parquet::Type::kInt64)
        col.append(row);
      else
        col.append(uniform(rng));
    }
    if (++row % 100000 == 0)
      flush();
  };
  std::vector<double> averages;
  for (int cycle = 1; cycle <= 10; ++cycle) {
    // Each simulation runs episodes of 20 to 300 steps, 12,500 steps in all.
    std::vector<std::vector<int>> lengths(8);
    for (auto &sim : lengths)
      for (int left = 12500; left > 0; left -= sim.back())
        sim.push_back(std::min<int>(left, 20 + static_cast<int>(rng() % 281)));
    std::map<std::string, double> returns;
    std::vector<std::size_t> episode(8, 0);
    std::vector<int> step(8, 0);
    for (bool any = true; any;) {
      any = false;
      for (std::size_t s = 0; s < 8; ++s) {
        if (episode[s] == lengths[s].size())
          continue;
        any = true;
        const std::string id = "c" + std::to_string(cycle) + "-s" + std::to_string(s) + "e" +
                               std::to_string(episode[s]);
        const double reward = 0.01 * cycle + uniform(rng);
        returns[id] += row % 997 == 0 ? 0.0 : reward;
        const bool last = ++step[s] == lengths[s][episode[s]];
        add(id, reward, last, false);
        if (last) {
          step[s] = 0;
          ++episode[s];
        }
      }
    }
    double sum = 0;
    for (const auto &entry : returns)
      sum += entry.second;
    averages.push_back(sum / static_cast<double>(returns.size()));
  }
  for (int i = 0; i < 500; ++i)
    add("c11-s0e0", 1.0, i == 499, true);
  flush();
  writer.close();

  parquet::FileWriter cycles(summary.string(),
                             parquet::Schema({{"cycle_index", parquet::Type::kInt64},
                                              {"average_reward", parquet::Type::kDouble},
                                              {"skill_name", parquet::Type::kString},
                                              {"total_cycles", parquet::Type::kInt64},
                                              {"is_metadata", parquet::Type::kBool}}));
  parquet::Table t;
  for (const auto type : {parquet::Type::kInt64, parquet::Type::kDouble, parquet::Type::kString,
                          parquet::Type::kInt64, parquet::Type::kBool})
    t.columns.emplace_back(type);
  for (int k = 0; k <= 10; ++k) {
    t.columns[0].append(std::int64_t{k});
    k == 0 ? t.columns[1].append_null() : t.columns[1].append(averages[k - 1]);
    t.columns[2].append(std::string("walk"));
    k == 0 ? t.columns[3].append(std::int64_t{10}) : t.columns[3].append_null();
    t.columns[4].append_bool(k == 0);
  }
  cycles.write_table(t);
  cycles.close();
}

TEST(Report, MillionRowsAgreeWithDuckDBInLittleMemory) {
  support::TempDir dir;
  const fs::path steps = dir / "v2_event_historian_r&d<1>_walk.parquet";
  const fs::path summary = dir / "v2_event_historian_r&d<1>_walk_cycle_summary.parquet";
  write_million_rows(steps, summary);
  ASSERT_EQ(parquet::FileReader::open(steps.string())->row_groups().size(), 11u);
  expect_readers_agree(summary.string());

  const fs::path svg = dir / "chosen.svg";
  const auto started = std::chrono::steady_clock::now();
  const Outcome o = run({"report", steps.string(), "--output", svg.string()}, dir);
  ASSERT_EQ(o.status, 0) << o.err;
  RecordProperty("report_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count()));
  RecordProperty("report_peak_kb", static_cast<int>(o.peak_kb));
  EXPECT_NE(o.out.find("\nnot yet closed by a training result: 500 steps, 0 episodes ended, 1 "
                       "unfinished\n" +
                       svg.string() + "\n"),
            std::string::npos)
      << o.out;
  EXPECT_NE(slurp(svg).find("Training report: v2_event_historian_r&amp;d&lt;1&gt;_walk.parquet<"),
            std::string::npos);
  expect_figures(
      o, svg,
      duckdb_figures(steps, summary, "CAST(substr(split_part(episode_id, '-', 1), 2) AS INTEGER)"),
      dir);
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "peak memory " << o.peak_kb
               << " kB not held to 100 MB: the sanitizers inflate it; a build without "
                  "HISTORIAN_SANITIZE checks it";
#endif
  EXPECT_GT(o.peak_kb, 0);
  EXPECT_LT(o.peak_kb, 100 * 1024) << "peak memory of report, kB";
}

// A step of episode (none when empty) as the historian's stream carries it.
std::string episode_step(const std::string &episode, int number, const std::string &reward,
                         bool terminated = false, bool truncated = false) {
  return "{" + (episode.empty() ? "" : R"("episode_id": ")" + episode + R"(", )") +
         R"("step_number": )" + std::to_string(number) +
         R"(, "sim_data": {"sim_id": "sim-1", "result": {"observation": {"joint_0": 1.0}, )" +
         R"("terminated": )" + (terminated ? "true" : "false") + R"(, "truncated": )" +
         (truncated ? "true" : "false") + R"(}}, "skill_data": {"action": [0.5], )" +
         R"("teacher_reward": )" + reward + "}}";
}

// Episode Z takes a step after its end and W spans the first training result: inferred from the
// step file and the averages, the earliest split that fits puts one episode in cycle 1 and two
// in cycle 2, where the historian counted three and one. The report reads the episodes file and
// the steps' cycle_index instead.
TEST(Report, TakesTheCyclesOfEpisodesAndStepsFromTheEpisodesFile) {
  support::RedisServer server;
  support::TempDir dir;
  Child historian(walk_run(server, dir), dir);
  const std::string result = R"({"type": "ppo_training_result", "training_result": {}})";
  const std::vector<std::string> entries = {
      episode_step("X", 1, "1"), episode_step("X", 2, "1", true),
      episode_step("Y", 1, "1", false, true), episode_step("Z", 1, "1"),
      episode_step("W", 1, "0.5"), episode_step("Z", 2, "1", true),
      episode_step("Z", 3, "1"), // after its end: counts toward Z's return and length
      result,                    // walk's cycle 1: X (2), Y (1), Z (3)
      episode_step("W", 2, "null"), episode_step("", 9, "5"), episode_step("W", 4, "1", true),
      result, // walk's cycle 2: W (1.5)
      // Run's cycle 1, with the index of walk's first, never closes: U ended in it, V never did.
      R"({"type": "skill_training_started", "skill_name": "run"})", episode_step("U", 1, "4", true),
      episode_step("V", 1, "1"), episode_step("V", 1, "1")};
  for (const std::string &data : entries)
    command(server.url(), {"XADD", "steps", "*", "data", data});
  ASSERT_TRUE(consumed(server.url(), "steps"));
  historian.signal(SIGTERM);
  ASSERT_EQ(historian.wait(std::chrono::seconds(30)), 0) << historian.err();
  const fs::path out = dir / "out";
  const fs::path episodes = out / "v2_event_historian_r1_walk_episodes.parquet";
  ASSERT_TRUE(fs::exists(episodes));

  const Outcome o = run({"report", out.string()}, dir);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  const fs::path svg = out / "v2_event_historian_r1_walk.report.svg";
  EXPECT_TRUE(o.out.starts_with("episodes and steps per cycle as recorded in " +
                                episodes.filename().string() + " and the steps' cycle_index\n"))
      << o.out;
  EXPECT_NE(o.out.find("\nnot yet closed by a training result: 3 steps, 1 episodes ended, 1 "
                       "unfinished\n" +
                       svg.string() + "\n"),
            std::string::npos)
      << o.out;
  // cycle, average, steps, episodes, return min, quartiles, max, mean, mean length
  expect_figures(
      o, svg,
      {{1, 2, 7, 3, 1, 1.5, 2, 2.5, 3, 2, 2}, {2, 1.5, 3, 1, 1.5, 1.5, 1.5, 1.5, 1.5, 1.5, 3}},
      dir);
  // The fifth chart: one dot per episode, with the cycle that counted it.
  const std::string drawn = slurp(svg);
  EXPECT_NE(drawn.find(">Episode return against length</text>"), std::string::npos);
  std::vector<std::string> dots;
  for (auto at = drawn.find("<circle class=\"episode\""); at != std::string::npos;
       at = drawn.find("<circle class=\"episode\"", at + 1)) {
    const auto data = drawn.find("data-length", at);
    dots.push_back(drawn.substr(data, drawn.find(" fill", data) - data));
  }
  EXPECT_EQ(dots, (std::vector<std::string>{R"(data-length="2" data-return="2" data-cycle="1")",
                                            R"(data-length="1" data-return="1" data-cycle="1")",
                                            R"(data-length="3" data-return="3" data-cycle="1")",
                                            R"(data-length="3" data-return="1.5" data-cycle="2")",
                                            R"(data-length="1" data-return="4")",
                                            R"(data-length="2" data-return="2")"}));

  // Without the episodes file the same run is inferred, and wrongly.
  fs::rename(episodes, dir / episodes.filename());
  const Outcome inferred = run({"report", out.string()}, dir);
  ASSERT_EQ(inferred.status, 0) << inferred.err;
  EXPECT_NE(inferred.err.find("several splits"), std::string::npos) << inferred.err;
  EXPECT_NE(slurp(svg).find(R"(data-cycle="1" data-average-reward="2" data-steps="2" )"
                            R"(data-episodes="1")"),
            std::string::npos);
}

std::string line_of(const std::string &listing, const std::string &name) {
  const auto at = listing.find("\n" + name + ": ");
  if (at == std::string::npos && !listing.starts_with(name + ": "))
    return "";
  const auto start = at == std::string::npos ? 0 : at + 1;
  return listing.substr(start, listing.find('\n', start) - start);
}

std::string expected_line(const fs::path &file, const std::string &name) {
  auto reader = parquet::FileReader::open(file.string());
  return name + ": " + std::to_string(reader->num_rows()) + " rows, " +
         std::to_string(reader->row_groups().size()) + " row groups, " +
         std::to_string(fs::file_size(file)) + " bytes, snappy";
}

TEST(Inspect, ListsTheDirectoriesOfARunningHistorian) {
  support::RedisServer server;
  support::TempDir dir;
  const fs::path out = dir / "out";
  Child historian(walk_run(server, dir), dir);
  const std::string result =
      R"({"type": "ppo_training_result", "training_result": {"status": "success"}})";
  add_steps(server.url(), "steps", 0, 30);
  ASSERT_TRUE(consumed(server.url(), "steps"));
  command(server.url(), {"XADD", "steps", "*", "data", result});
  add_steps(server.url(), "steps", 30, 50);
  ASSERT_TRUE(consumed(server.url(), "steps"));
  command(server.url(), {"XADD", "steps", "*", "data", result});
  const fs::path parts = out / "v2_event_historian_r1_walk.parquet.parts";
  ASSERT_TRUE(wait_until([&] { return fs::exists(parts / "part-00001.parquet"); },
                         std::chrono::seconds(30)))
      << historian.err();
  // A file that is no Parquet, and a hidden temporary like those of a merge in progress.
  std::ofstream(out / "broken.parquet") << "not parquet";
  std::ofstream(out / ".v2_event_historian_r1_walk.parquet.merge-1-1") << "PAR1";

  const Outcome listed_parts = run({"inspect", parts.string()}, dir);
  ASSERT_EQ(listed_parts.status, 0) << listed_parts.err;
  EXPECT_EQ(line_of(listed_parts.out, "part-00000.parquet"),
            expected_line(parts / "part-00000.parquet", "part-00000.parquet"));
  EXPECT_EQ(line_of(listed_parts.out, "part-00001.parquet"),
            expected_line(parts / "part-00001.parquet", "part-00001.parquet"));
  EXPECT_NE(listed_parts.out.find("\ntotal: 2 files, 50 rows, 2 row groups, "), std::string::npos)
      << listed_parts.out;

  // The output directory: its own files, then every part of every parts directory in it.
  const Outcome listed_out = run({"inspect", out.string()}, dir);
  ASSERT_EQ(listed_out.status, 0) << listed_out.err;
  EXPECT_NE(listed_out.out.find("broken.parquet: error: "), std::string::npos) << listed_out.out;
  EXPECT_EQ(listed_out.out.find(".merge-1-1"), std::string::npos) << listed_out.out;
  std::size_t files = 0;
  std::int64_t rows = 0;
  for (const auto &entry : fs::recursive_directory_iterator(out)) {
    const std::string name = fs::relative(entry.path(), out).string();
    if (!name.ends_with(".parquet") || entry.path().filename().string().starts_with('.') ||
        name == "broken.parquet")
      continue;
    EXPECT_EQ(line_of(listed_out.out, name), expected_line(entry.path(), name));
    rows += parquet::FileReader::open(entry.path().string())->num_rows();
    ++files;
  }
  EXPECT_GE(files, 3u);
  EXPECT_NE(listed_out.out.find("\ntotal: " + std::to_string(files) + " files, " +
                                std::to_string(rows) + " rows, "),
            std::string::npos)
      << listed_out.out;
  EXPECT_TRUE(listed_out.out.ends_with(", 1 unreadable\n")) << listed_out.out;

  historian.signal(SIGTERM);
  ASSERT_EQ(historian.wait(std::chrono::seconds(30)), 0) << historian.err();
  const fs::path final_steps = out / "v2_event_historian_r1_walk.parquet";
  expect_steps(final_steps, 0, 50);
  expect_readers_agree((out / "v2_event_historian_r1_walk_cycle_summary.parquet").string());
  const Outcome listed_final = run({"inspect", out.string()}, dir);
  EXPECT_EQ(line_of(listed_final.out, final_steps.filename().string()),
            expected_line(final_steps, final_steps.filename().string()));
}

// A file whose footer carries statistics gets them as a table after the listing; the same rows
// without them print exactly what the listing alone does.
TEST(Inspect, PrintsTheStatisticsAFileCarries) {
  support::TempDir dir;
  using parquet::Type;
  const parquet::Schema schema({{"episode", Type::kString},
                                {"reward", Type::kDouble},
                                {"step", Type::kInt64},
                                {"unset", Type::kDouble}});
  const parquet::Table rows{
      {tables::strings({"a", "a", "b", "b", "b"}),
       tables::doubles({-1.5, 3.0, 1.5, tables::kNaN, std::nullopt}),
       tables::ints({1, 2, 3, 4, std::nullopt}),
       tables::doubles({std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt})}};
  v2::DatasetStats stats;
  stats.add_table(schema, rows);
  parquet::WriterOptions with_stats;
  with_stats.key_value_metadata = {{std::string(v2::kStatsKey), stats.to_json()}};
  const std::string plain = (dir / "plain.parquet").string();
  const std::string carrying = (dir / "stats.parquet").string();
  tables::write_file(plain, schema, {rows});
  tables::write_file(carrying, schema, {rows}, with_stats);
  const auto listing = [](const std::string &path) {
    std::ostringstream out;
    parquet::inspect(path, out);
    return out.str();
  };

  const Outcome o = run({"inspect", carrying}, dir);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, listing(carrying) +
                       "statistics:\n"
                       "  column  count  nulls  NaNs   min  max  mean                 std\n"
                       "  reward      3      1     1  -1.5    3     1  1.8708286933869707\n"
                       "  step        4      1     0     1    4   2.5   1.118033988749895\n"
                       "  unset       0      5     0     -    -     -                   -\n");
  const Outcome without = run({"inspect", plain}, dir);
  ASSERT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(without.out, listing(plain));
}

} // namespace
} // namespace end_to_end
