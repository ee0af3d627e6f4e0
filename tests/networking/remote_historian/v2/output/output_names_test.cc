#include "networking/remote_historian/v2/output/output_names.h"

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

namespace v2 = networking::remote_historian::v2;
namespace fs = std::filesystem;

void touch(const fs::path &path) { std::ofstream(path) << "x"; }

TEST(OutputNames, OnlyThisBaseIsClaimedAndNoTakenNameReused) {
  support::TempDir dir;
  const std::string base = "v2_event_historian_r1";
  const struct {
    const char *name;
    bool orphan;
  } parts_dirs[] = {
      {"v2_event_historian_r1.parquet.parts", true},
      {"v2_event_historian_r1_1700000000_2.parquet.parts", true},
      {"v2_event_historian_r1_cycle_summary.parquet.parts", true},
      {"v2_event_historian_r1_cycle_summary_1700000000.parquet.parts", true},
      {"v2_event_historian_r1_1700000001.parquet.parts", false}, // this run's
      {"v2_event_historian_r1_skillA.parquet.parts", false},
      {"v2_event_historian_r10.parquet.parts", false},
      {"v2_event_historian_r1_1_2_3.parquet.parts", false},
      {"v2_event_historian_r1_1700000000_cycle_summary.parquet.parts", false},
      {"v2_event_historian_r1_episodes_1700000000_3.parquet.parts", true},
  };
  std::vector<std::string> want;
  for (const auto &d : parts_dirs) {
    fs::create_directory(dir / d.name);
    if (d.orphan)
      want.push_back((dir / d.name).string());
  }
  touch(dir / "v2_event_historian_r1_5.parquet.parts"); // not a directory
  EXPECT_EQ(v2::_orphaned_parts_dirs(dir.str(), base, {parts_dirs[4].name}), want);

  // A plain name with only its parts directory is a killed run of that name, reused.
  EXPECT_EQ(v2::_final_name(dir.str(), base, "1700000001"), (dir / (base + ".parquet")).string());
  touch(dir / (base + ".parquet"));
  EXPECT_EQ(v2::_final_name(dir.str(), base, "1700000001"),
            (dir / (base + "_1700000001_2.parquet")).string());

  const std::string gone =
      "." + base + "_cycle_summary_17_2.parquet.merge-" + std::to_string(INT_MAX) + "-7";
  const std::string running = "." + base + ".parquet.merge-" + std::to_string(::getpid()) + "-7";
  touch(dir / gone);
  touch(dir / running); // a merge still in progress
  v2::_remove_merge_leftovers(dir.str(), base);
  EXPECT_FALSE(fs::exists(dir / gone));
  EXPECT_TRUE(fs::exists(dir / running));
}

} // namespace
