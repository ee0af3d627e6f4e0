#include "networking/remote_historian/v2/output/part_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "parquet/file_reader.h"
#include "parquet/table.h"
#include "tests/support/temp_dir.h"

namespace {

namespace v2 = networking::remote_historian::v2;
namespace fs = std::filesystem;

void touch(const fs::path &path) { std::ofstream(path) << "x"; }

std::vector<std::string> names_of(const std::vector<std::string> &paths) {
  std::vector<std::string> out;
  for (const auto &p : paths)
    out.push_back(fs::path(p).filename().string());
  return out;
}

TEST(PartFiles, NamesAndNumbers) {
  EXPECT_EQ(v2::_parts_dir_for("out/x.parquet"), "out/x.parquet.parts");
  EXPECT_EQ(v2::_part_file_name(0), "part-00000.parquet");
  EXPECT_EQ(v2::_part_file_name(42), "part-00042.parquet");
  EXPECT_EQ(v2::_part_file_name(123456), "part-123456.parquet");
  EXPECT_EQ(v2::_part_number("part-00042.parquet"), 42);
  EXPECT_EQ(v2::_part_number("part-7.parquet"), 7);
  EXPECT_EQ(v2::_part_number("part-123456.parquet"), 123456);
  for (const char *name : {"part-.parquet", "part-1x.parquet", "part--1.parquet", "part-+1.parquet",
                           "extra.parquet", "part-00001.parquet.tmp", "part-00001"})
    EXPECT_EQ(v2::_part_number(name), std::nullopt) << name;
}

TEST(PartFiles, NextFreePartSkipsWhatAnEarlierRunLeft) {
  support::TempDir dir;
  EXPECT_EQ(v2::_next_free_part((dir / "missing").string(), 3), 3);
  touch(dir / "part-00004.parquet");
  touch(dir / "part-00001.parquet");
  touch(dir / "notes.txt");
  EXPECT_EQ(v2::_next_free_part(dir.str(), 0), 5);
  EXPECT_EQ(v2::_next_free_part(dir.str(), 9), 9);
}

TEST(PartFiles, OpenNextPartScansOnceAndAdvances) {
  support::TempDir dir;
  const std::string parts = (dir / "x.parquet.parts").string();
  fs::create_directories(parts);
  touch(fs::path(parts) / "part-00004.parquet");
  const parquet::Schema schema({{"n", parquet::Type::kInt64}});
  std::int64_t next = 0;
  bool scanned = false;

  auto writer = v2::_open_next_part(parts, schema, next, scanned);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->path(), (fs::path(parts) / "part-00005.parquet").string());
  EXPECT_EQ(next, 6);
  EXPECT_TRUE(scanned);
  parquet::Table t;
  t.columns.emplace_back(parquet::Type::kInt64);
  t.columns[0].append(std::int64_t{11});
  writer->write_table(t);
  v2::_close_part(writer);
  EXPECT_EQ(writer, nullptr);
  v2::_close_part(writer); // nothing open: nothing to do
  EXPECT_EQ(parquet::FileReader::open(parts + "/part-00005.parquet")->read_all().columns[0].ints,
            (std::vector<std::int64_t>{11}));

  // Once scanned, the directory is not looked at again.
  touch(fs::path(parts) / "part-00009.parquet");
  writer = v2::_open_next_part(parts, schema, next, scanned);
  EXPECT_EQ(writer->path(), (fs::path(parts) / "part-00006.parquet").string());
  EXPECT_EQ(next, 7);
  v2::_close_part(writer);
}

TEST(PartFiles, OpenNextPartMakesTheDirectory) {
  support::TempDir dir;
  const std::string parts = (dir / "a" / "b.parquet.parts").string();
  std::int64_t next = 0;
  bool scanned = false;
  auto writer =
      v2::_open_next_part(parts, parquet::Schema({{"s", parquet::Type::kString}}), next, scanned);
  EXPECT_TRUE(fs::is_directory(parts));
  EXPECT_EQ(writer->path(), (fs::path(parts) / "part-00000.parquet").string());
  v2::_close_part(writer);
  EXPECT_TRUE(fs::exists(fs::path(parts) / "part-00000.parquet"));
}

TEST(PartFiles, MergeOrderIsNumberedPartsByNumberThenTheRestByName) {
  support::TempDir dir;
  for (const char *name : {"part-00010.parquet", "extra.parquet", "part-123456.parquet",
                           "part-00002.parquet", "a.parquet", "notes.txt", "part-99999.parquet"})
    touch(dir / name);
  EXPECT_EQ(
      names_of(v2::_parts_in_merge_order(dir.str())),
      (std::vector<std::string>{"part-00002.parquet", "part-00010.parquet", "part-99999.parquet",
                                "part-123456.parquet", "a.parquet", "extra.parquet"}));
  EXPECT_EQ(v2::_parts_in_merge_order(dir.str()).front(), (dir / "part-00002.parquet").string());
}

} // namespace
