#include "parquet/file_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "parquet/error.h"
#include "parquet/metadata.h"
#include "tests/parquet/tables.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/temp_dir.h"

namespace {

using parquet::Codec;
using parquet::Schema;
using parquet::Table;
using parquet::Type;
using namespace tables;

// The file's bytes with its footer replaced by raw.
std::string with_raw_footer(const std::string &bytes, const std::string &raw) {
  std::uint32_t length;
  std::memcpy(&length, bytes.data() + bytes.size() - 8, 4);
  const auto new_length = static_cast<std::uint32_t>(raw.size());
  return bytes.substr(0, bytes.size() - 8 - length) + raw +
         std::string(reinterpret_cast<const char *>(&new_length), 4) + "PAR1";
}

// The file's bytes with its footer parsed, changed and written again.
std::string with_footer(const std::string &bytes,
                        const std::function<void(parquet::FileMetaData &)> &change) {
  std::uint32_t length;
  std::memcpy(&length, bytes.data() + bytes.size() - 8, 4);
  parquet::FileMetaData meta = parquet::parse_file_metadata(
      reinterpret_cast<const std::uint8_t *>(bytes.data()) + bytes.size() - 8 - length, length);
  change(meta);
  std::string footer;
  parquet::serialize(meta, footer);
  return with_raw_footer(bytes, footer);
}

// Opens and decodes everything; returns the error text, or "" when the file read fine. Any
// exception other than parquet::Error escapes and fails the test.
std::string read_error(const std::string &path) {
  try {
    const auto reader = parquet::FileReader::open(path);
    reader->read_all();
    for (std::size_t g = 0; g < reader->row_groups().size(); ++g)
      reader->read_row_group(g);
    return "";
  } catch (const parquet::Error &e) {
    return e.what();
  }
}

class FileReaderTest : public ::testing::Test {
protected:
  std::string path(const std::string &name = "f") const {
    return (_dir / (name + ".parquet")).string();
  }
  // A small file of every type, two row groups.
  std::string small_file() {
    write_file(path("small"), four_types(), {edge_values(), generated(20, 4)});
    return read_bytes(path("small"));
  }
  support::TempDir _dir;
};

TEST_F(FileReaderTest, ReadsRowGroupsAndHeads) {
  parquet::WriterOptions o;
  o.row_group_rows = 30;
  o.codec = Codec::kZstd;
  const Table all = generated(100, 8);
  write_file(path(), four_types(), {all}, o);
  const auto reader = parquet::FileReader::open(path());
  ASSERT_EQ(reader->row_groups().size(), 4u);
  for (std::size_t g = 0; g < 4; ++g) {
    const std::size_t begin = g * 30, end = std::min<std::size_t>(100, begin + 30);
    EXPECT_EQ(difference(reader->read_row_group(g), slice(all, begin, end)), "") << g;
    EXPECT_EQ(reader->row_groups()[g].num_rows, static_cast<std::int64_t>(end - begin));
    EXPECT_EQ(reader->row_groups()[g].codec, Codec::kZstd);
    EXPECT_GT(reader->row_groups()[g].uncompressed_bytes, 0);
  }
  for (std::size_t n : {0, 1, 29, 30, 31, 99, 100, 1000}) {
    EXPECT_EQ(difference(reader->read_head(n), slice(all, 0, std::min<std::size_t>(n, 100))), "")
        << n;
  }
  try {
    reader->read_row_group(4);
    ADD_FAILURE() << "row group 4 read";
  } catch (const parquet::Error &e) {
    EXPECT_EQ(e.what(), "File '" + path() + "' has no row group 4 (it has 4)");
  }
}

// A source of ranges (an object in a bucket) reads as the file does. Its first read is the
// tail, so that a source reading ahead gets the footer with it; its failures pass unchanged.
TEST_F(FileReaderTest, ReadsThroughARangedSource) {
  parquet::WriterOptions o;
  o.row_group_rows = 30;
  const Table all = generated(100, 8);
  write_file(path(), four_types(), {all}, o);
  const std::string bytes = read_bytes(path());
  std::vector<std::pair<std::uint64_t, std::size_t>> asked;
  bool failing = false;
  const auto reader = parquet::FileReader::open(parquet::InputFile::from_ranges(
      "s3://bucket/f.parquet", bytes.size(),
      [&](std::uint64_t offset, std::size_t size, std::uint8_t *out) {
        if (failing)
          throw std::runtime_error("connection lost");
        asked.emplace_back(offset, size);
        ASSERT_LE(offset + size, bytes.size());
        std::memcpy(out, bytes.data() + offset, size);
      }));
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), std::make_pair(std::uint64_t{bytes.size() - 8}, std::size_t{8}));
  EXPECT_EQ(reader->path(), "s3://bucket/f.parquet");
  EXPECT_EQ(difference(reader->read_all(), all), "");

  failing = true;
  try {
    reader->read_row_group(1);
    ADD_FAILURE() << "read without its source";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "connection lost");
  }
}

TEST_F(FileReaderTest, BrokenFramesAreNamed) {
  const std::string bytes = small_file();
  const std::string p = path("broken");
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {"PAR1PAR1", "File '" + p + "' is too short to be a Parquet file (8 bytes)"},
      {bytes.substr(0, bytes.size() - 1), "File '" + p + "' has no PAR1 footer"},
      {"PAR0" + bytes.substr(4), "File '" + p + "' has no PAR1 header"},
      {bytes.substr(0, bytes.size() - 4) + "PARE",
       "File '" + p + "' uses an encrypted footer, which this reader does not support"},
      {"PAR1" + std::string("\xff\xff\x00\x00", 4) + "PAR1",
       "File '" + p + "' is damaged: footer length 65535 exceeds the file size 12"},
      {with_raw_footer(bytes, std::string("\x15\x02\x00\x00", 4)),
       "File '" + p + "' is damaged: footer does not parse (footer has bytes after its end)"},
      {with_raw_footer(bytes, "\x15\x02\x19\xFC\xFF\xFF\xFF\x0F"),
       "File '" + p +
           "' is damaged: footer does not parse (metadata holds a list longer than its bytes)"},
      {with_raw_footer(bytes, "\x15\x02\xAC" + std::string(100, '\x1C')),
       "File '" + p + "' is damaged: footer does not parse (metadata nests structs too deeply)"},
      {with_raw_footer(bytes, "\x16\x02"), // version as i64
       "File '" + p +
           "' is damaged: footer does not parse (metadata holds a field of the wrong type)"},
      {with_raw_footer(bytes, std::string("\x15\x02\x00", 3)),
       "File '" + p + "' is damaged: footer has no row count"},
  };
  for (const auto &c : cases) {
    write_bytes(p, c.bytes);
    EXPECT_EQ(read_error(p), c.message);
  }
}

TEST_F(FileReaderTest, HostileFootersAreRefused) {
  const std::string bytes = small_file();
  const std::string p = path("hostile");
  const std::string damaged = "File '" + p + "' is damaged: ";
  using Meta = parquet::FileMetaData;
  const struct {
    std::function<void(Meta &)> change;
    std::string message;
  } cases[] = {
      {[](Meta &m) {
         m.row_groups[0].num_rows = std::int64_t{1} << 40;
         *m.num_rows += (std::int64_t{1} << 40) - 8;
         for (auto &c : m.row_groups[0].columns)
           c.meta_data->num_values = std::int64_t{1} << 40;
       },
       damaged + "column 's' of row group 0 claims more rows than its bytes can hold"},
      {[](Meta &m) { m.row_groups[1].columns[2].meta_data->total_compressed_size = 1 << 30; },
       damaged + "column 'd' of row group 1 lies outside the data area of the file"},
      {[](Meta &m) { m.row_groups[0].columns[0].meta_data->data_page_offset = -5; },
       damaged + "column 's' of row group 0 lies outside the data area of the file"},
      {[](Meta &m) { *m.num_rows += 1; }, damaged + "row groups hold 28 rows, the footer says 29"},
      {[](Meta &m) { m.row_groups[1].num_rows = 19; },
       damaged + "column 's' of row group 1 holds a value count other than the row count"},
      {[](Meta &m) { m.row_groups[0].columns.pop_back(); },
       damaged + "row group 0 has 3 column chunks for 4 columns"},
      {[](Meta &m) { m.row_groups[0].columns[1].meta_data.reset(); },
       damaged + "column 'n' of row group 0 has no metadata"},
      {[](Meta &m) { m.row_groups[0].columns[1].meta_data->type = parquet::kTypeDouble; },
       damaged + "column 'n' of row group 0 disagrees with the schema about its type"},
      {[](Meta &m) { m.row_groups[0].columns[1].meta_data->path_in_schema = {"x"}; },
       damaged + "column 'n' of row group 0 has the wrong path in the schema"},
      {[](Meta &m) { m.schema[0].num_children = 3; },
       damaged + "schema root counts 3 columns for 4"},
      {[](Meta &m) { m.schema[2].name = "s"; },
       damaged + "Schema has more than one column named 's'"},
      {[](Meta &m) {
         m.schema.resize(1);
         m.schema[0].num_children = 0;
       },
       damaged + "schema has no columns"},
      {[](Meta &m) { m.schema[3].repetition_type.reset(); },
       damaged + "column 'd' has no repetition type"},
      // Pages that disagree with the footer are found while decoding.
      {[](Meta &m) { *m.row_groups[0].columns[2].meta_data->data_page_offset += 1; },
       damaged + "a page header of column 'd' of row group 0 has no type"},
      {[](Meta &m) { *m.row_groups[0].columns[3].meta_data->total_compressed_size -= 1; },
       damaged + "a page of column 'b' of row group 0 runs past the end of its column chunk"},
  };
  for (const auto &c : cases) {
    write_bytes(p, with_footer(bytes, c.change));
    EXPECT_EQ(read_error(p), c.message);
  }
}

TEST_F(FileReaderTest, EveryTruncationIsRefused) {
  const std::string bytes = small_file();
  const std::string p = path("cut");
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    write_bytes(p, bytes.substr(0, n));
    EXPECT_NE(read_error(p).find("File '" + p + "'"), std::string::npos)
        << "prefix of " << n << " bytes";
  }
  // A footer moved by bytes missing in the middle.
  for (std::size_t at : {4, 30, 200}) {
    write_bytes(p, bytes.substr(0, at) + bytes.substr(at + 3));
    EXPECT_NE(read_error(p), "") << "3 bytes cut at " << at;
  }
}

// Every byte of the file changed three ways: each variant reads or gives parquet::Error.
TEST_F(FileReaderTest, ChangedBytesNeverCrash) {
  for (const Codec codec : {Codec::kUncompressed, Codec::kSnappy, Codec::kZstd}) {
    parquet::WriterOptions o;
    o.codec = codec;
    write_file(path("small"), four_types(), {edge_values()}, o);
    const std::string bytes = read_bytes(path("small"));
    const std::string p = path("changed");
    int refused = 0, variants = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      for (const unsigned char mask : {0x01, 0x80, 0xFF}) {
        std::string changed = bytes;
        changed[i] = static_cast<char>(changed[i] ^ mask);
        write_bytes(p, changed);
        refused += !read_error(p).empty();
        ++variants;
      }
    }
    // Most changes hit structure that is checked; the rest change values, which nothing checks.
    EXPECT_GT(refused, variants / 2) << "codec " << int(codec);
  }
}

TEST_F(FileReaderTest, ForeignFeaturesAreRefusedByName) {
  const auto f = [&](const std::string &name) { return path(name); };
  const auto copy = [&](const std::string &select, const std::string &name,
                        const std::string &options = "") {
    return "COPY (" + select + ") TO " + support::sql_string(f(name)) + " (FORMAT parquet" +
           options + ");";
  };
  support::duckdb_query(
      copy("SELECT {'a': i} AS st FROM range(10) t(i)", "struct") +
      copy("SELECT [i, i] AS l FROM range(10) t(i)", "list") +
      copy("SELECT i::INTEGER AS i32 FROM range(10) t(i)", "int32") +
      copy("SELECT (i / 7)::DECIMAL(10, 2) AS dec FROM range(10) t(i)", "decimal") +
      copy("SELECT TIMESTAMP '2024-01-01' + INTERVAL (i) SECOND AS ts FROM range(10) t(i)",
           "timestamp") +
      copy("SELECT random() AS d FROM range(1000) t(i)", "gzip", ", COMPRESSION gzip") +
      copy("SELECT random() AS d FROM range(1000) t(i)", "v2", ", PARQUET_VERSION V2") +
      copy("SELECT 'x'::BLOB AS blob FROM range(10) t(i)", "blob"));
  const std::string small = small_file();
  write_bytes(f("required"), with_footer(small, [](parquet::FileMetaData &m) {
                m.schema[2].repetition_type = parquet::kRepetitionRequired;
              }));
  write_bytes(f("file_path"), with_footer(small, [](parquet::FileMetaData &m) {
                m.row_groups[1].columns[3].file_path = "other.parquet";
              }));
  write_bytes(f("lz4"), with_footer(small, [](parquet::FileMetaData &m) {
                m.row_groups[0].columns[1].meta_data->codec = 7;
              }));
  const auto uses = [&](const std::string &name, const std::string &feature) {
    return "File '" + f(name) + "' uses " + feature + ", which this reader does not support";
  };
  const struct {
    const char *name;
    std::string message;
  } cases[] = {
      {"struct", uses("struct", "a nested schema (column 'st')")},
      {"list", uses("list", "a nested schema (column 'l')")},
      {"int32", uses("int32", "INT32 (column 'i32')")},
      {"decimal", uses("decimal", "logical type DECIMAL on column 'dec'")},
      {"timestamp", uses("timestamp", "logical type TIMESTAMP on column 'ts'")},
      {"gzip", uses("gzip", "compression codec GZIP (column 'd', row group 0)")},
      {"v2", uses("v2", "encoding BYTE_STREAM_SPLIT (column 'd', row group 0)")},
      {"blob", uses("blob", "binary column 'blob' (not text)")},
      {"required", uses("required", "a REQUIRED column 'n'")},
      {"file_path", uses("file_path", "column data in another file (column 'b', row group 1)")},
      {"lz4", uses("lz4", "compression codec LZ4_RAW (column 'n', row group 0)")},
  };
  for (const auto &c : cases)
    EXPECT_EQ(read_error(f(c.name)), c.message) << c.name;
}

// DuckDB files decode to what DuckDB itself reads: one inside the PLAIN subset (no value
// repeats), and one whose repeated values DuckDB writes as dictionaries (text, int64 and double
// columns, nulls among them). INT_64 / UTF8-only annotations are accepted.
TEST_F(FileReaderTest, ReadsFilesOfOtherWriters) {
  const std::string p = path("duckdb_plain");
  const std::string d = path("duckdb_dictionary");
  support::duckdb_query("COPY (SELECT CASE WHEN i % 9 = 0 THEN NULL ELSE random() END AS d, "
                        "(random() * 1e18)::BIGINT AS n, md5(i::VARCHAR) AS s, random() < 0.5 AS b "
                        "FROM range(20000) t(i)) TO " +
                        support::sql_string(p) +
                        " (FORMAT parquet); COPY (SELECT CASE WHEN i % 7 = 0 THEN NULL ELSE "
                        "(i % 5) / 4 END AS d, (i % 11)::BIGINT * 1000000000000 AS n, CASE WHEN "
                        "i % 13 = 0 THEN NULL ELSE 'ep-' || (i // 60) END AS s, i % 3 = 0 AS b "
                        "FROM range(150000) t(i)) TO " +
                        support::sql_string(d) + " (FORMAT parquet, ROW_GROUP_SIZE 60000)");
  const std::string encodings = support::duckdb_query(
      "SELECT DISTINCT encodings FROM parquet_metadata(" + support::sql_string(d) + ")");
  EXPECT_NE(encodings.find("_DICTIONARY"), std::string::npos) << encodings;
  for (const std::string &file : {p, d}) {
    const auto reader = parquet::FileReader::open(file);
    EXPECT_EQ(
        reader->schema(),
        Schema(
            {{"d", Type::kDouble}, {"n", Type::kInt64}, {"s", Type::kString}, {"b", Type::kBool}}));
    const Table ours = reader->read_all();
    const auto readout = support::read_files_with_all_readers({file});
    EXPECT_EQ(support::mismatches(readout[0].readers[0],
                                  support::expected_columns(reader->schema(), ours)),
              "")
        << file;
  }
}

} // namespace
