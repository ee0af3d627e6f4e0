#include "parquet/inspect.h"

#include <gtest/gtest.h>

#include <sstream>

#include "parquet/error.h"
#include "parquet/file_reader.h"
#include "tests/parquet/tables.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tables;

TEST(Inspect, ListsSchemaRowGroupsAndFirstRows) {
  support::TempDir dir;
  const std::string path = (dir / "f.parquet").string();
  parquet::WriterOptions o;
  o.row_group_rows = 5;
  write_file(path, four_types(), {edge_values()}, o);
  const auto reader = parquet::FileReader::open(path);
  const auto &groups = reader->row_groups();
  std::ostringstream out;
  parquet::inspect(path, out, 6);
  const std::string expected =
      "file: " + path + "\n" + "created by: " + reader->created_by() + "\n" +
      "rows: 8\n"
      "columns: 4\n"
      "  1. s: string\n"
      "  2. n: int64\n"
      "  3. d: double\n"
      "  4. b: bool\n"
      "row groups: 2\n"
      "  0: 5 rows, " +
      std::to_string(groups[0].compressed_bytes) + " bytes stored, " +
      std::to_string(groups[0].uncompressed_bytes) + " bytes uncompressed, codec snappy\n" +
      "  1: 3 rows, " + std::to_string(groups[1].compressed_bytes) + " bytes stored, " +
      std::to_string(groups[1].uncompressed_bytes) + " bytes uncompressed, codec snappy\n" +
      "first 6 rows:\n"
      "  0: s=\"\" n=-9223372036854775808 d=nan b=true\n"
      "  1: s=null n=9223372036854775807 d=inf b=false\n"
      "  2: s=\"plain\" n=0 d=-inf b=null\n"
      "  3: s=\"héllo ✓ 日本 🎉\" n=-1 d=-0 b=true\n"
      "  4: s=\"\\u007f\" n=null d=0 b=false\n"
      "  5: s=\"a\\u0000b\" n=1 d=null b=null\n";
  EXPECT_EQ(out.str(), expected);
}

TEST(Inspect, RefusesWhatTheReaderRefuses) {
  support::TempDir dir;
  const std::string path = (dir / "f.parquet").string();
  write_bytes(path, "not parquet at all");
  std::ostringstream out;
  try {
    parquet::inspect(path, out);
    ADD_FAILURE() << "inspected a non-Parquet file";
  } catch (const parquet::Error &e) {
    EXPECT_EQ(e.what(), "File '" + path + "' has no PAR1 footer");
  }
  EXPECT_EQ(out.str(), "");
}

} // namespace
