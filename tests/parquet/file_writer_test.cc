#include "parquet/file_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "parquet/error.h"
#include "parquet/file_reader.h"
#include "parquet/metadata.h"
#include "tests/parquet/tables.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/temp_dir.h"

namespace {

using parquet::Codec;
using parquet::Column;
using parquet::Schema;
using parquet::Table;
using parquet::Type;
using namespace tables;

parquet::WriterOptions with(Codec codec, std::int64_t row_group_rows = 1 << 20,
                            std::int64_t page_bytes = 1 << 20) {
  parquet::WriterOptions o;
  o.codec = codec;
  o.row_group_rows = row_group_rows;
  o.page_bytes = page_bytes;
  return o;
}

std::uint32_t footer_length(const std::string &bytes) {
  std::uint32_t length;
  std::memcpy(&length, bytes.data() + bytes.size() - 8, 4);
  return length;
}

parquet::FileMetaData footer_of(const std::string &path) {
  const std::string bytes = read_bytes(path);
  const std::uint32_t length = footer_length(bytes);
  return parquet::parse_file_metadata(
      reinterpret_cast<const std::uint8_t *>(bytes.data()) + bytes.size() - 8 - length, length);
}

std::string hex(const std::string &bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

template <class T> std::string plain(T value) {
  return std::string(reinterpret_cast<const char *>(&value), sizeof value);
}

// Page headers of one column chunk: (num_values, compressed size) each.
std::vector<std::pair<int, int>> pages_of(const std::string &bytes,
                                          const parquet::ColumnMetaData &m) {
  std::vector<std::pair<int, int>> pages;
  std::size_t offset = static_cast<std::size_t>(*m.data_page_offset);
  const std::size_t end = offset + static_cast<std::size_t>(*m.total_compressed_size);
  while (offset < end) {
    std::size_t consumed = 0;
    const parquet::PageHeader h = parquet::parse_page_header(
        reinterpret_cast<const std::uint8_t *>(bytes.data()) + offset, end - offset, consumed);
    pages.emplace_back(*h.data_page_header->num_values, *h.compressed_page_size);
    offset += consumed + static_cast<std::size_t>(*h.compressed_page_size);
  }
  EXPECT_EQ(offset, end);
  return pages;
}

class FileWriterTest : public ::testing::Test {
protected:
  std::string path(const std::string &name = "f") const {
    return (_dir / (name + ".parquet")).string();
  }
  support::TempDir _dir;
};

TEST_F(FileWriterTest, RoundTripsEveryCodecAndShape) {
  const struct {
    const char *name;
    std::vector<Table> batches;
    std::int64_t row_group_rows;
    std::int64_t page_bytes;
  } cases[] = {
      {"edge values", {edge_values()}, 1 << 20, 1 << 20},
      {"edge values, one row per group", {edge_values()}, 1, 1 << 20},
      {"several tables", {generated(10, 1), generated(1, 2), generated(33, 3)}, 1 << 20, 1 << 20},
      {"small pages and groups", {generated(5000, 4)}, 777, 1024},
      {"no rows", {}, 1 << 20, 1 << 20},
  };
  for (const Codec codec : {Codec::kUncompressed, Codec::kSnappy, Codec::kZstd}) {
    for (const auto &c : cases) {
      write_file(path(), four_types(), c.batches, with(codec, c.row_group_rows, c.page_bytes));
      const auto reader = parquet::FileReader::open(path());
      const Table want = c.batches.empty() ? slice(edge_values(), 0, 0) : concat(c.batches);
      EXPECT_EQ(reader->num_rows(), static_cast<std::int64_t>(want.num_rows())) << c.name;
      EXPECT_EQ(reader->schema(), four_types()) << c.name;
      EXPECT_EQ(difference(reader->read_all(), want), "") << c.name << ", codec " << int(codec);
      for (const auto &g : reader->row_groups())
        EXPECT_EQ(g.codec, codec) << c.name;
    }
  }
}

// The bytes of the format notes' worked example: one text column, uncompressed.
TEST_F(FileWriterTest, PageBytesMatchTheFormat) {
  Table t;
  t.columns = {strings({std::nullopt, "row-4", "row-5-héllo-✓"})};
  write_file(path(), Schema({{"s", Type::kString}}), {t}, with(Codec::kUncompressed));
  const std::string bytes = read_bytes(path());
  ASSERT_GT(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(0, 4), "PAR1");
  EXPECT_EQ(bytes.substr(bytes.size() - 4), "PAR1");
  EXPECT_EQ(footer_length(bytes) + 12 + 52, bytes.size()); // 52 bytes of pages
  const char header[] = "\x15\x00\x15\x46\x15\x46\x2C\x15\x06\x15\x00\x15\x06\x15\x06\x00\x00";
  const std::string body = std::string("\x02\x00\x00\x00\x03\x06", 6) +
                           std::string("\x05\x00\x00\x00", 4) + "row-4" +
                           std::string("\x10\x00\x00\x00", 4) + "row-5-héllo-✓";
  EXPECT_EQ(hex(bytes.substr(4, 52)), hex(std::string(header, 17) + body));
  // The footer starts with version 1 and the schema list of two elements.
  EXPECT_EQ(hex(bytes.substr(56, 4)), "15 02 19 2C ");
}

TEST_F(FileWriterTest, FooterDescribesChunksExactly) {
  write_file(path(), four_types(), {generated(3000, 5), generated(10, 6)},
             with(Codec::kSnappy, 2000, 4096));
  const std::string bytes = read_bytes(path());
  const parquet::FileMetaData meta = footer_of(path());
  EXPECT_EQ(meta.version, 1);
  EXPECT_EQ(meta.num_rows, 3010);
  EXPECT_EQ(meta.column_orders, 4u);
  EXPECT_EQ(meta.created_by->rfind("event-historian version " HISTORIAN_VERSION " (build ", 0), 0u);
  ASSERT_EQ(meta.schema.size(), 5u);
  EXPECT_EQ(meta.schema[0].num_children, 4);
  EXPECT_FALSE(meta.schema[0].type.has_value());
  EXPECT_EQ(meta.schema[1].converted_type, parquet::kConvertedUtf8);
  EXPECT_EQ(meta.schema[1].logical_type->variant, parquet::kLogicalString);
  for (std::size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(meta.schema[i].repetition_type, parquet::kRepetitionOptional);
  }
  for (std::size_t i = 2; i < 5; ++i)
    EXPECT_FALSE(meta.schema[i].converted_type.has_value());

  ASSERT_EQ(meta.row_groups.size(), 3u);
  const std::int64_t rows[] = {2000, 1000, 10};
  std::int64_t expected_offset = 4;
  for (std::size_t g = 0; g < 3; ++g) {
    const parquet::RowGroup &group = meta.row_groups[g];
    EXPECT_EQ(group.num_rows, rows[g]);
    EXPECT_EQ(group.ordinal, static_cast<std::int16_t>(g));
    EXPECT_EQ(group.file_offset, expected_offset);
    std::int64_t compressed = 0, uncompressed = 0;
    for (const parquet::ColumnChunk &c : group.columns) {
      const parquet::ColumnMetaData &m = *c.meta_data;
      EXPECT_EQ(c.file_offset, 0);
      EXPECT_EQ(m.data_page_offset, expected_offset) << "chunks lie back to back";
      EXPECT_EQ(m.num_values, rows[g]);
      EXPECT_EQ(m.encodings,
                (std::vector<std::int32_t>{parquet::kEncodingPlain, parquet::kEncodingRle}));
      EXPECT_EQ(m.codec, parquet::kCodecSnappy);
      int page_rows = 0;
      for (const auto &[n, size] : pages_of(bytes, m))
        page_rows += n;
      EXPECT_EQ(page_rows, rows[g]);
      expected_offset += *m.total_compressed_size;
      compressed += *m.total_compressed_size;
      uncompressed += *m.total_uncompressed_size;
    }
    EXPECT_EQ(group.total_compressed_size, compressed);
    EXPECT_EQ(group.total_byte_size, uncompressed);
  }
  EXPECT_EQ(expected_offset + footer_length(bytes) + 8, static_cast<std::int64_t>(bytes.size()));
}

TEST_F(FileWriterTest, PagesAreCutByBytesAndRows) {
  Table t;
  t.columns = {Column(Type::kDouble), Column(Type::kBool), Column(Type::kString)};
  for (std::size_t i = 0; i < 300000; ++i) {
    t.columns[0].append(static_cast<double>(i));
    t.columns[1].append_null();
    t.columns[2].append(std::string(i % 10, 'x'));
  }
  const Schema schema({{"d", Type::kDouble}, {"b", Type::kBool}, {"s", Type::kString}});
  parquet::WriterOptions plain = with(Codec::kUncompressed);
  plain.dictionary = false; // PLAIN pages: ten distinct texts would make a dictionary
  write_file(path(), schema, {t}, plain);
  const std::string bytes = read_bytes(path());
  const parquet::FileMetaData meta = footer_of(path());
  // 1 MiB of doubles is 131072 values; all-null pages stop at 131072 rows as well.
  for (int c : {0, 1}) {
    const auto pages = pages_of(bytes, *meta.row_groups[0].columns[c].meta_data);
    ASSERT_EQ(pages.size(), 3u) << c;
    EXPECT_EQ(pages[0].first, 131072);
    EXPECT_EQ(pages[2].first, 300000 - 2 * 131072);
  }
  // Text: 4 + 4.5 bytes per row on average, so a page holds about 123000 rows.
  const auto text_pages = pages_of(bytes, *meta.row_groups[0].columns[2].meta_data);
  ASSERT_EQ(text_pages.size(), 3u);
  EXPECT_NEAR(text_pages[0].second, 1 << 20, 64);
}

TEST_F(FileWriterTest, StatisticsFollowTheReadersRules) {
  const std::string neg_zero = plain(-0.0), pos_zero = plain(0.0);
  const struct {
    const char *name;
    Column column;
    std::optional<std::string> min, max;
    std::int64_t nulls;
    std::optional<std::int64_t> nans;
  } cases[] = {
      {"doubles", doubles({1.5, -2.0, std::nullopt}), plain(-2.0), plain(1.5), 1, 0},
      {"NaN drops min/max", doubles({kNaN, 1.0, 2.0}), std::nullopt, std::nullopt, 0, 1},
      {"only NaN", doubles({kNaN}), std::nullopt, std::nullopt, 0, 1},
      {"zero minimum is -0.0", doubles({0.0, 3.0}), neg_zero, plain(3.0), 0, 0},
      {"zero maximum is +0.0", doubles({-1.0, -0.0}), plain(-1.0), pos_zero, 0, 0},
      {"infinities", doubles({kInf, 1.0, -kInf}), plain(-kInf), plain(kInf), 0, 0},
      {"all null double", doubles({std::nullopt, std::nullopt}), std::nullopt, std::nullopt, 2, 0},
      {"int64 extremes", ints({0, kMaxInt, kMinInt, std::nullopt}), plain(kMinInt), plain(kMaxInt),
       1, std::nullopt},
      {"all null int", ints({std::nullopt}), std::nullopt, std::nullopt, 1, std::nullopt},
      {"text in byte order", strings({"b", "é", "a", "Z", std::nullopt}), "Z", "é", 1,
       std::nullopt},
      {"empty text is the minimum", strings({"a", ""}), "", "a", 0, std::nullopt},
      {"long text leaves min/max out", strings({"a", std::string(5000, 'b')}), std::nullopt,
       std::nullopt, 0, std::nullopt},
      {"bools", bools({true, std::nullopt, false}), std::string(1, '\0'), std::string(1, '\1'), 1,
       std::nullopt},
      {"only true", bools({true, true}), std::string(1, '\1'), std::string(1, '\1'), 0,
       std::nullopt},
  };
  for (const auto &c : cases) {
    Table t;
    t.columns = {c.column};
    write_file(path(), Schema({{"x", c.column.type}}), {t});
    const parquet::Statistics s = *footer_of(path()).row_groups[0].columns[0].meta_data->statistics;
    EXPECT_EQ(s.min_value, c.min) << c.name;
    EXPECT_EQ(s.max_value, c.max) << c.name;
    EXPECT_EQ(s.null_count, c.nulls) << c.name;
    EXPECT_EQ(s.nan_count, c.nans) << c.name;
    EXPECT_EQ(s.is_min_value_exact, c.min ? std::optional<bool>(true) : std::nullopt) << c.name;
  }
}

TEST_F(FileWriterTest, StatisticsCoverEveryPage) {
  Table t;
  t.columns = {Column(Type::kDouble)};
  for (int i = 0; i < 5000; ++i)
    t.columns[0].append(i == 4321 ? -7.0 : (i == 17 ? 99.0 : 1.0));
  t.columns[0].doubles[4999] = kNaN;
  write_file(path("with_nan"), Schema({{"d", Type::kDouble}}), {t},
             with(Codec::kZstd, 1 << 20, 1024));
  EXPECT_FALSE(
      footer_of(path("with_nan")).row_groups[0].columns[0].meta_data->statistics->min_value);
  t.columns[0].doubles[4999] = 1.0;
  write_file(path(), Schema({{"d", Type::kDouble}}), {t}, with(Codec::kZstd, 1 << 20, 1024));
  const parquet::Statistics s = *footer_of(path()).row_groups[0].columns[0].meta_data->statistics;
  EXPECT_EQ(s.min_value, plain(-7.0));
  EXPECT_EQ(s.max_value, plain(99.0));
}

TEST_F(FileWriterTest, ZeroRowFileHasNoRowGroups) {
  {
    parquet::FileWriter writer(path(), four_types());
    writer.write_table(slice(edge_values(), 0, 0));
    writer.close();
  }
  const parquet::FileMetaData meta = footer_of(path());
  EXPECT_EQ(meta.num_rows, 0);
  EXPECT_TRUE(meta.row_groups.empty());
  const auto reader = parquet::FileReader::open(path());
  EXPECT_EQ(reader->num_rows(), 0);
  EXPECT_EQ(reader->read_all().columns.size(), 4u);
}

TEST_F(FileWriterTest, DestructorClosesAnOpenWriter) {
  { parquet::FileWriter(path(), four_types()).write_table(edge_values()); }
  EXPECT_EQ(difference(parquet::FileReader::open(path())->read_all(), edge_values()), "");
}

TEST_F(FileWriterTest, PublishOnCloseShowsOnlyFinishedFiles) {
  parquet::WriterOptions o;
  o.publish_on_close = true;
  {
    parquet::FileWriter abandoned(path("gone"), four_types(), o);
    abandoned.write_table(edge_values());
    EXPECT_EQ(support::sorted_entries(_dir.path()),
              (std::vector<std::string>{".gone.parquet.tmp"}));
  }
  EXPECT_TRUE(support::sorted_entries(_dir.path()).empty());
  parquet::FileWriter writer(path(), four_types(), o);
  writer.write_table(edge_values());
  writer.close();
  EXPECT_EQ(support::sorted_entries(_dir.path()), (std::vector<std::string>{"f.parquet"}));
  EXPECT_EQ(difference(parquet::FileReader::open(path())->read_all(), edge_values()), "");
  const auto readouts = support::read_files_with_all_readers({path()});
  ASSERT_EQ(readouts.size(), 1u);
  EXPECT_EQ(
      support::mismatches(readouts[0], support::expected_columns(four_types(), edge_values())), "");
}

TEST_F(FileWriterTest, BadTablesAreRefusedBeforeAnythingIsWritten) {
  const auto bad = [](auto change) {
    Table t = edge_values();
    change(t);
    return t;
  };
  const struct {
    Table table;
    const char *message;
  } cases[] = {
      {bad([](Table &t) { t.columns.pop_back(); }), "Table has 3 columns, the schema 4"},
      {bad([](Table &t) {
         t.columns[1] = doubles({1, 2, 3, 4, 5, 6, 7, 8});
       }),
       "Column 'n' is int64 in the schema but double in the table"},
      {bad([](Table &t) { t.columns[2].append(1.0); }), "Column 'd' has 9 rows, column 's' 8"},
      {bad([](Table &t) { t.columns[1].ints.pop_back(); }),
       "Column 'n' has 8 validity flags but 7 values"},
      {bad([](Table &t) { t.columns[0].strings[2] = "bad \xC3\x28 text"; }),
       "Column 's' row 2 holds text that is not valid UTF-8"},
      {bad([](Table &t) { t.columns[0].strings[2] = "\xED\xA0\x80"; }), // a UTF-16 surrogate
       "Column 's' row 2 holds text that is not valid UTF-8"},
      {bad([](Table &t) { t.columns[3].bools[0] = 2; }),
       "Column 'b' holds a boolean other than 0 or 1"},
      {bad([](Table &t) { t.columns[2].valid[0] = 7; }),
       "Column 'd' has a validity flag other than 0 or 1"},
  };
  parquet::FileWriter writer(path(), four_types());
  writer.write_table(generated(5));
  for (const auto &c : cases) {
    try {
      writer.write_table(c.table);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const parquet::Error &e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  writer.write_table(generated(3, 9));
  writer.close();
  EXPECT_EQ(difference(parquet::FileReader::open(path())->read_all(),
                       concat({generated(5), generated(3, 9)})),
            "");
}

TEST_F(FileWriterTest, BadSchemasAndPathsAreRefused) {
  try {
    const Schema repeated({{"a", Type::kInt64}, {"b", Type::kBool}, {"a", Type::kString}});
    ADD_FAILURE() << repeated.size() << " columns:"
                  << "repeated name accepted";
  } catch (const parquet::Error &e) {
    EXPECT_STREQ(e.what(), "Schema has more than one column named 'a'");
  }
  const std::string p = path();
  const struct {
    std::function<void()> open;
    std::string message;
  } cases[] = {
      {[&] {
         parquet::FileWriter(p, Schema({{"a", Type::kInt64, false}}));
       },
       "Writer for '" + p + "': column 'a' is not nullable; files hold nullable columns only"},
      {[&] { parquet::FileWriter(p, Schema()); },
       "Writer for '" + p + "': the schema has no columns"},
      {[&] { parquet::FileWriter(p, four_types(), with(Codec::kSnappy, 0)); },
       "Writer for '" + p + "': row_group_rows must be at least 1"},
  };
  for (const auto &c : cases) {
    try {
      c.open();
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const parquet::Error &e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(p)) << "nothing is created for a refused schema";

  // A path under a regular file cannot be created, even by root.
  write_bytes(path("plain"), "x");
  const std::string under = path("plain") + "/f.parquet";
  try {
    parquet::FileWriter writer(under, four_types());
    ADD_FAILURE() << "opened a path under a file";
  } catch (const parquet::Error &e) {
    EXPECT_EQ(e.what(), "Cannot create file '" + under + "': Not a directory");
  }
}

TEST_F(FileWriterTest, ClosedWriterRefusesTables) {
  parquet::FileWriter writer(path(), four_types());
  writer.close();
  writer.close(); // a second close does nothing
  try {
    writer.write_table(edge_values());
    ADD_FAILURE() << "wrote after close";
  } catch (const parquet::Error &e) {
    EXPECT_EQ(e.what(), "Writer for '" + path() + "' is already closed");
  }
}

TEST_F(FileWriterTest, ExistingFileIsReplaced) {
  write_file(path(), four_types(), {generated(100)});
  write_file(path(), four_types(), {generated(2, 7)});
  EXPECT_EQ(difference(parquet::FileReader::open(path())->read_all(), generated(2, 7)), "");
}

} // namespace
