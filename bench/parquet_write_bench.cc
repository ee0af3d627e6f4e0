// Write speed of the Parquet writer for the step dataset's shape (10 fixed columns, 64
// observation and 8 action doubles), beside DuckDB writing the same rows from an in-memory
// table with COPY ... TO, in the same run; then what DuckDB's lookups of one episode read in
// the snappy files of both (tests/readers/duckdb_pruning_bench.mjs).
//
//   parquet_write_bench [--rows N] [--repeat R] [--dir DIR] [--zstd-level L]
//                       [--row-group-rows N] [--no-duckdb]
//
// Both writers cut row groups of --row-group-rows rows (default 62,500: 16 for a million).
// For each codec it prints rows/s and MB/s (MB of PLAIN data, that is the size of the
// uncompressed file, per second) for our writer on one thread and for DuckDB with its default
// threads, the file sizes, and the ratios. Each figure is the best of R runs, each started
// after a sync. --zstd-level sets our writer's zstd level (default: the writer's default).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <rapidjson/document.h>

#include "parquet/file_writer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kObservations = 64;
constexpr int kActions = 8;
constexpr int kEpisodeSteps = 200;

parquet::Schema step_schema() {
  using parquet::Type;
  std::vector<parquet::Field> fields = {
      {"run_id", Type::kString},     {"sim_id", Type::kString},    {"episode_id", Type::kString},
      {"step_number", Type::kInt64}, {"timestamp", Type::kDouble}, {"skill_name", Type::kString},
      {"scenario", Type::kString},   {"reward", Type::kDouble},    {"terminated", Type::kBool},
      {"truncated", Type::kBool}};
  for (int i = 0; i < kObservations; ++i)
    fields.push_back({"joint_" + std::to_string(i), Type::kDouble});
  for (int i = 0; i < kActions; ++i)
    fields.push_back({"a_" + std::to_string(i), Type::kDouble});
  return parquet::Schema(std::move(fields));
}

// Rows as the benchmark payload generator makes them: 200-step episodes, uniform observation
// and action values (incompressible, like real sensor noise), a Gaussian reward.
parquet::Table step_rows(const parquet::Schema &schema, std::size_t n) {
  static const char *const kScenarios[] = {"flat", "rough", "stairs", "slope", "gap"};
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> observation(-3.2, 3.2), action(-1.0, 1.0);
  std::normal_distribution<double> reward(0.25, 0.1);
  parquet::Table t;
  for (const auto &f : schema.fields()) {
    t.columns.emplace_back(f.type);
    t.columns.back().reserve(n);
  }
  std::string scenario;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t episode = i / kEpisodeSteps, step = i % kEpisodeSteps;
    if (step == 0)
      scenario = kScenarios[random() % 5];
    const bool last = step == kEpisodeSteps - 1;
    const bool terminated = last && random() % 10 < 7;
    t.columns[0].append(std::string("run-7"));
    t.columns[1].append("sim-" + std::to_string(episode % 4));
    t.columns[2].append("ep-" + std::to_string(episode));
    t.columns[3].append(static_cast<std::int64_t>(step));
    t.columns[4].append(1733600000.0 + static_cast<double>(i) * 0.01);
    t.columns[5].append(std::string("walk"));
    t.columns[6].append(scenario);
    t.columns[7].append(reward(random));
    t.columns[8].append_bool(terminated);
    t.columns[9].append_bool(last && !terminated);
    for (int k = 0; k < kObservations; ++k)
      t.columns[10 + k].append(observation(random));
    for (int k = 0; k < kActions; ++k)
      t.columns[10 + kObservations + k].append(action(random));
  }
  return t;
}

double write_seconds(const std::string &path, const parquet::Schema &schema,
                     const parquet::Table &t, parquet::Codec codec, int zstd_level,
                     std::int64_t row_group_rows) {
  // Every run starts with no dirty pages, so that the kernel's writeback of the runs before
  // does not throttle this one; the DuckDB peer does the same.
  ::sync();
  const auto start = Clock::now();
  parquet::WriterOptions o;
  o.codec = codec;
  o.row_group_rows = row_group_rows;
  if (zstd_level != 0)
    o.zstd_level = zstd_level;
  parquet::FileWriter writer(path, schema, o);
  writer.write_table(t);
  writer.close();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string run(const std::string &command) {
  std::string out;
  FILE *pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr)
    return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  if (::pclose(pipe) != 0)
    out.clear();
  return out;
}

// The lookup table: encodings, chunk sizes, bloom filters, and the row groups DuckDB reads for
// an episode that is there and one that is not, in our snappy file and DuckDB's.
void print_pruning(const std::string &dir, std::size_t rows) {
  const std::size_t episodes = rows / kEpisodeSteps;
  const std::string present = "ep-" + std::to_string(episodes / 2);
  const std::string absent = "ep-" + std::to_string(episodes); // inside the text min/max
  const std::string wheres =
      "episode_id = '" + present + "';episode_id = '" + absent + "';run_id = 'run-8'";
  const std::string ours = dir + "/ours_snappy.parquet", theirs = dir + "/duckdb_snappy.parquet";
  const std::string script =
      (fs::path(HISTORIAN_SOURCE_DIR) / "tests" / "readers" / "duckdb_pruning_bench.mjs").string();
  const std::string json =
      run("node '" + script + "' \"" + wheres + "\" '" + ours + "' '" + theirs + "'");
  rapidjson::Document doc;
  doc.Parse(json.c_str());
  if (doc.HasParseError() || !doc.IsObject()) {
    std::fprintf(stderr, "DuckDB pruning run failed\n");
    return;
  }
  const rapidjson::Value &a = doc[ours.c_str()], &b = doc[theirs.c_str()];
  std::printf("\nlookups (snappy files)          | %-34s | %-34s\n", "ours", "DuckDB's");
  for (const char *column :
       {"run_id", "sim_id", "episode_id", "step_number", "skill_name", "scenario", "reward"}) {
    const auto cell = [&](const rapidjson::Value &file) {
      const rapidjson::Value &c = file["columns"][column];
      char text[96];
      std::snprintf(text, sizeof text, "%s, %d B/chunk, bloom %d/%d", c["encodings"].GetString(),
                    c["mean_chunk_bytes"].GetInt(), c["bloom_filters"].GetInt(),
                    c["chunks"].GetInt());
      return std::string(text);
    };
    std::printf("%-31s | %-34s | %-34s\n", column, cell(a).c_str(), cell(b).c_str());
  }
  for (const auto &m : a["reads"].GetObject()) {
    const auto cell = [&](const rapidjson::Value &file) {
      const rapidjson::Value &r = file["reads"][m.name.GetString()];
      char text[64];
      std::snprintf(text, sizeof text, "%d of %d row groups read (%d rows)",
                    r["row_groups_read"].GetInt(), r["row_groups"].GetInt(), r["rows"].GetInt());
      return std::string(text);
    };
    std::printf("%-31s | %-34s | %-34s\n", m.name.GetString(), cell(a).c_str(), cell(b).c_str());
  }
}

} // namespace

int main(int argc, char **argv) {
  std::size_t rows = 1000000;
  int repeat = 3;
  std::string dir;
  bool duckdb = true;
  int zstd_level = 0;
  std::int64_t row_group_rows = 62500;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) {
      rows = std::stoul(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--zstd-level" && i + 1 < argc) {
      zstd_level = std::stoi(argv[++i]);
    } else if (a == "--row-group-rows" && i + 1 < argc) {
      row_group_rows = std::stoll(argv[++i]);
    } else if (a == "--no-duckdb") {
      duckdb = false;
    } else {
      std::fprintf(
          stderr, "usage: parquet_write_bench [--rows N] [--repeat R] [--dir DIR] [--zstd-level L] "
                  "[--row-group-rows N] [--no-duckdb]\n");
      return 2;
    }
  }
  if (dir.empty())
    dir = (fs::path(HISTORIAN_SOURCE_DIR) / "bench" / "data" / "parquet_write").string();
  fs::create_directories(dir);

  const parquet::Schema schema = step_schema();
  const parquet::Table table = step_rows(schema, rows);
  std::printf("rows %zu, columns %zu, best of %d runs\n", rows, schema.size(), repeat);

  const struct {
    parquet::Codec codec;
    const char *name;
    const char *duckdb_name;
  } codecs[] = {{parquet::Codec::kUncompressed, "none", "uncompressed"},
                {parquet::Codec::kSnappy, "snappy", "snappy"},
                {parquet::Codec::kZstd, "zstd", "zstd"}};
  double ours[3] = {0, 0, 0};
  std::uintmax_t our_size[3] = {0, 0, 0};
  for (int c = 0; c < 3; ++c) {
    const std::string path = dir + "/ours_" + codecs[c].name + ".parquet";
    double best = 1e30;
    for (int r = 0; r < repeat; ++r)
      best = std::min(
          best, write_seconds(path, schema, table, codecs[c].codec, zstd_level, row_group_rows));
    ours[c] = best;
    our_size[c] = fs::file_size(path);
  }
  const double plain_mb = static_cast<double>(our_size[0]) / 1e6;

  double theirs[3] = {0, 0, 0};
  std::uintmax_t their_size[3] = {0, 0, 0};
  if (duckdb) {
    // DuckDB loads our uncompressed file into a table in memory, then COPY ... TO is timed.
    const std::string script =
        (fs::path(HISTORIAN_SOURCE_DIR) / "tests" / "readers" / "duckdb_write_bench.mjs").string();
    const std::string json =
        run("node '" + script + "' '" + dir + "/ours_none.parquet' '" + dir + "' " +
            std::to_string(repeat) + " " + std::to_string(row_group_rows));
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    if (doc.HasParseError() || !doc.IsObject()) {
      std::fprintf(stderr, "DuckDB run failed (is node on PATH and tests/readers installed?)\n");
      return 1;
    }
    for (int c = 0; c < 3; ++c) {
      const auto &entry = doc[codecs[c].duckdb_name];
      theirs[c] = entry["seconds"].GetDouble();
      their_size[c] = entry["bytes"].GetUint64();
    }
    std::printf("duckdb %s, threads %d\n", doc["version"].GetString(), doc["threads"].GetInt());
  }

  std::printf("%-7s %12s %9s %11s | %12s %9s %11s | %7s %7s\n", "codec", "ours rows/s", "MB/s",
              "bytes", "duckdb rows/s", "MB/s", "bytes", "speed", "size");
  for (int c = 0; c < 3; ++c) {
    const double our_rate = static_cast<double>(rows) / ours[c];
    std::printf("%-7s %12.0f %9.1f %11ju | ", codecs[c].name, our_rate, plain_mb / ours[c],
                our_size[c]);
    if (duckdb) {
      const double their_rate = static_cast<double>(rows) / theirs[c];
      std::printf("%12.0f %9.1f %11ju | %6.2fx %6.3fx\n", their_rate, plain_mb / theirs[c],
                  their_size[c], our_rate / their_rate,
                  static_cast<double>(our_size[c]) / static_cast<double>(their_size[c]));
    } else {
      std::printf("%12s %9s %11s |\n", "-", "-", "-");
    }
  }
  if (duckdb)
    print_pruning(dir, rows);
  return 0;
}
