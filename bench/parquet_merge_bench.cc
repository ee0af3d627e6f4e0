// Helper of bench/parquet_merge_bench.sh.
//
//   parquet_merge_bench generate DIR FILES ROWS     part files of the step dataset's shape
//   parquet_merge_bench merge MIN_COPY_ROWS OUTPUT INPUT...   ("-": the merge's defaults)
//
// merge prints the seconds, the output size and its row groups; the script runs it under
// /usr/bin/time -v for the peak memory, beside cp of the same bytes.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "parquet/error.h"
#include "parquet/file_reader.h"
#include "parquet/file_writer.h"
#include "parquet/merge.h"

namespace {

parquet::Schema step_schema() {
  using parquet::Type;
  std::vector<parquet::Field> fields = {
      {"run_id", Type::kString},     {"sim_id", Type::kString},    {"episode_id", Type::kString},
      {"step_number", Type::kInt64}, {"timestamp", Type::kDouble}, {"skill_name", Type::kString},
      {"scenario", Type::kString},   {"reward", Type::kDouble},    {"terminated", Type::kBool},
      {"truncated", Type::kBool}};
  for (int i = 0; i < 64; ++i)
    fields.push_back({"joint_" + std::to_string(i), Type::kDouble});
  for (int i = 0; i < 8; ++i)
    fields.push_back({"a_" + std::to_string(i), Type::kDouble});
  return parquet::Schema(std::move(fields));
}

int generate(const std::string &dir, int files, std::size_t rows) {
  const parquet::Schema schema = step_schema();
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> value(-3.2, 3.2);
  std::filesystem::create_directories(dir);
  std::size_t step = 0;
  for (int f = 0; f < files; ++f) {
    parquet::Table t;
    for (const auto &field : schema.fields()) {
      t.columns.emplace_back(field.type);
      t.columns.back().reserve(rows);
    }
    for (std::size_t r = 0; r < rows; ++r, ++step) {
      t.columns[0].append(std::string("run-7"));
      t.columns[1].append("sim-" + std::to_string(step / 200 % 4));
      t.columns[2].append("ep-" + std::to_string(step / 200));
      t.columns[3].append(static_cast<std::int64_t>(step % 200));
      t.columns[4].append(1733600000.0 + static_cast<double>(step) * 0.01);
      t.columns[5].append(std::string("walk"));
      t.columns[6].append(std::string("stairs"));
      t.columns[7].append(value(random));
      t.columns[8].append_bool(step % 200 == 199);
      t.columns[9].append_bool(false);
      for (std::size_t c = 10; c < schema.size(); ++c)
        t.columns[c].append(value(random));
    }
    char name[32];
    std::snprintf(name, sizeof name, "part-%05d.parquet", f);
    parquet::FileWriter writer(dir + "/" + name, schema);
    writer.write_table(t);
    writer.close();
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "generate" && argc == 5) {
      return generate(argv[2], std::stoi(argv[3]), std::stoul(argv[4]));
    }
    if (command == "merge" && argc >= 5) {
      parquet::MergeOptions options;
      if (std::string(argv[2]) != "-")
        options.min_copy_rows = std::stoll(argv[2]);
      const std::vector<std::string> inputs(argv + 4, argv + argc);
      const auto start = std::chrono::steady_clock::now();
      parquet::merge_files(inputs, argv[3], options);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const auto bytes = std::filesystem::file_size(argv[3]);
      const auto groups = parquet::FileReader::open(argv[3])->row_groups();
      std::int64_t largest = 0;
      for (const auto &g : groups)
        largest = std::max(largest, g.num_rows);
      std::printf("merged %zu files into %ju bytes, %zu row groups (largest %jd rows), in %.3f s: "
                  "%.0f MB/s\n",
                  inputs.size(), bytes, groups.size(), static_cast<std::intmax_t>(largest), seconds,
                  static_cast<double>(bytes) / 1e6 / seconds);
      return 0;
    }
  } catch (const parquet::Error &e) {
    std::fprintf(stderr, "parquet_merge_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: parquet_merge_bench generate DIR FILES ROWS\n"
                       "       parquet_merge_bench merge MIN_COPY_ROWS OUTPUT INPUT...\n");
  return 2;
}
