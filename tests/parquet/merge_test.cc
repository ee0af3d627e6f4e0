#include "parquet/merge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "parquet/error.h"
#include "parquet/file_reader.h"
#include "parquet/metadata.h"
#include "tests/parquet/tables.h"
#include "tests/support/temp_dir.h"

namespace {

using parquet::Codec;
using parquet::Schema;
using parquet::Table;
using parquet::Type;
using namespace tables;

parquet::FileMetaData footer_of(const std::string &bytes) {
  std::uint32_t length;
  std::memcpy(&length, bytes.data() + bytes.size() - 8, 4);
  return parquet::parse_file_metadata(
      reinterpret_cast<const std::uint8_t *>(bytes.data()) + bytes.size() - 8 - length, length);
}

class MergeTest : public ::testing::Test {
protected:
  std::string path(const std::string &name) const { return (_dir / (name + ".parquet")).string(); }

  // Writes one part file per table (row groups of at most row_group_rows rows).
  std::vector<std::string> parts(const std::vector<Table> &tables,
                                 std::int64_t row_group_rows = 1 << 20,
                                 Codec codec = Codec::kSnappy) {
    std::vector<std::string> paths;
    parquet::WriterOptions o;
    o.row_group_rows = row_group_rows;
    o.codec = codec;
    for (const Table &t : tables) {
      paths.push_back(path("part-" + std::to_string(_next++)));
      write_file(paths.back(), four_types(), {t}, o);
    }
    return paths;
  }

  // Names in the directory other than the given ones: temporary files left behind.
  std::vector<std::string> leftovers(const std::vector<std::string> &known) const {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(_dir.path())) {
      if (std::find(known.begin(), known.end(), e.path().string()) == known.end()) {
        names.push_back(e.path().filename().string());
      }
    }
    return names;
  }

  std::string merge_error(const std::vector<std::string> &inputs, const std::string &output,
                          const parquet::MergeOptions &options = {}) {
    try {
      parquet::merge_files(inputs, output, options);
      return "";
    } catch (const parquet::Error &e) {
      return e.what();
    }
  }

  support::TempDir _dir;
  int _next = 0;
};

TEST_F(MergeTest, KeepsRowOrderWhetherCopyingOrCoalescing) {
  std::vector<Table> tables;
  for (std::size_t i = 0; i < 12; ++i)
    tables.push_back(generated(i % 4 == 0 ? 700 : 1 + i, i));
  const std::vector<std::string> inputs = parts(tables, 300);
  const struct {
    const char *name;
    std::int64_t min_copy_rows;
    std::size_t row_groups;
  } cases[] = {
      {"copy everything", 1, 0}, // row groups as in the inputs
      {"coalesce everything", 1 << 30, 1},
      {"copy the 300-row groups", 300, 0},
  };
  std::size_t input_groups = 0;
  for (const auto &p : inputs)
    input_groups += parquet::FileReader::open(p)->row_groups().size();
  for (const auto &c : cases) {
    parquet::MergeOptions o;
    o.min_copy_rows = c.min_copy_rows;
    parquet::merge_files(inputs, path("out"), o);
    const auto reader = parquet::FileReader::open(path("out"));
    EXPECT_EQ(difference(reader->read_all(), concat(tables)), "") << c.name;
    if (c.row_groups > 0) {
      EXPECT_EQ(reader->row_groups().size(), c.row_groups) << c.name;
    }
    if (c.min_copy_rows == 1) {
      EXPECT_EQ(reader->row_groups().size(), input_groups) << c.name;
    }
  }
  // 300-row groups copied; the 100-row tails and the small files between them coalesced.
  EXPECT_EQ(parquet::FileReader::open(path("out"))->row_groups().size(), 2u * 3 + 3);
}

TEST_F(MergeTest, CopiedChunksAreByteForByte) {
  const std::vector<std::string> inputs =
      parts({generated(500, 1), generated(800, 2)}, 1 << 20, Codec::kZstd);
  parquet::MergeOptions o;
  o.min_copy_rows = 1;
  parquet::merge_files(inputs, path("out"), o);
  const std::string out = read_bytes(path("out"));
  const parquet::FileMetaData merged = footer_of(out);
  ASSERT_EQ(merged.row_groups.size(), 2u);
  std::int64_t expected_offset = 4;
  for (std::size_t g = 0; g < 2; ++g) {
    const std::string in = read_bytes(inputs[g]);
    const parquet::FileMetaData source = footer_of(in);
    const parquet::RowGroup &group = merged.row_groups[g];
    EXPECT_EQ(group.ordinal, static_cast<std::int16_t>(g));
    EXPECT_EQ(group.file_offset, expected_offset);
    for (std::size_t c = 0; c < 4; ++c) {
      const parquet::ColumnMetaData &a = *source.row_groups[0].columns[c].meta_data;
      const parquet::ColumnMetaData &b = *group.columns[c].meta_data;
      EXPECT_EQ(b.data_page_offset, expected_offset);
      EXPECT_EQ(b.total_compressed_size, a.total_compressed_size);
      EXPECT_EQ(b.statistics->min_value, a.statistics->min_value);
      EXPECT_EQ(b.statistics->null_count, a.statistics->null_count);
      const auto length = static_cast<std::size_t>(*a.total_compressed_size);
      EXPECT_EQ(out.substr(static_cast<std::size_t>(*b.data_page_offset), length),
                in.substr(static_cast<std::size_t>(*a.data_page_offset), length))
          << "row group " << g << " column " << c;
      expected_offset += *a.total_compressed_size;
    }
  }
}

TEST_F(MergeTest, CoalescedGroupsStayWithinTheirBudget) {
  std::vector<Table> rows;
  for (std::size_t i = 0; i < 200; ++i)
    rows.push_back(generated(1, i));
  const std::vector<std::string> inputs = parts(rows);
  const struct {
    const char *name;
    std::int64_t row_group_rows, coalesce_bytes;
    std::vector<std::int64_t> sizes;
  } cases[] = {
      {"one group", 1 << 20, 64 << 20, {200}},
      {"row limit", 64, 64 << 20, {64, 64, 64, 8}},
      // One row decodes to a flag and a std::string plus the text for s, 9 + 9 + 2 bytes for
      // the others: about 85 bytes per row with these short texts, so 3000 bytes hold 35.
      {"byte limit", 1 << 20, 3000, {}},
  };
  for (const auto &c : cases) {
    parquet::MergeOptions o;
    o.writer.row_group_rows = c.row_group_rows;
    o.coalesce_bytes = c.coalesce_bytes;
    parquet::merge_files(inputs, path("out"), o);
    const auto reader = parquet::FileReader::open(path("out"));
    EXPECT_EQ(difference(reader->read_all(), concat(rows)), "") << c.name;
    std::vector<std::int64_t> sizes;
    for (const auto &g : reader->row_groups())
      sizes.push_back(g.num_rows);
    if (!c.sizes.empty()) {
      EXPECT_EQ(sizes, c.sizes) << c.name;
    } else {
      EXPECT_GT(sizes.size(), 5u) << c.name;
      for (std::int64_t s : sizes)
        EXPECT_LE(s, 40) << c.name;
    }
  }
}

TEST_F(MergeTest, ZeroRowInputsAddNothing) {
  const std::string empty = path("empty");
  write_file(empty, four_types(), {});
  const std::vector<std::string> some = parts({generated(3)});
  parquet::merge_files({empty, some[0], empty}, path("out"));
  EXPECT_EQ(difference(parquet::FileReader::open(path("out"))->read_all(), generated(3)), "");
  parquet::merge_files({empty, empty}, path("out"));
  const auto reader = parquet::FileReader::open(path("out"));
  EXPECT_EQ(reader->num_rows(), 0);
  EXPECT_TRUE(reader->row_groups().empty());
}

TEST_F(MergeTest, ReplacesAnExistingOutputAndMayReadIt) {
  const std::vector<std::string> inputs = parts({generated(10, 1), generated(20, 2)});
  // The output is also the first input: it is read before the new file takes its place.
  parquet::merge_files(inputs, inputs[0]);
  EXPECT_EQ(difference(parquet::FileReader::open(inputs[0])->read_all(),
                       concat({generated(10, 1), generated(20, 2)})),
            "");
  EXPECT_TRUE(leftovers(inputs).empty());
}

TEST_F(MergeTest, DifferentSchemasAreRefusedAndNothingIsWritten) {
  const std::vector<std::string> inputs = parts({generated(5, 1), generated(6, 2)});
  const auto other = [&](const std::string &name, const Schema &schema) {
    Table t;
    for (const auto &f : schema.fields()) {
      t.columns.emplace_back(f.type);
      t.columns.back().append_null();
    }
    write_file(path(name), schema, {t});
    return path(name);
  };
  const std::string renamed = other(
      "renamed",
      Schema(
          {{"s", Type::kString}, {"m", Type::kInt64}, {"d", Type::kDouble}, {"b", Type::kBool}}));
  const std::string retyped = other(
      "retyped",
      Schema(
          {{"s", Type::kString}, {"n", Type::kDouble}, {"d", Type::kDouble}, {"b", Type::kBool}}));
  const std::string longer = other("longer", Schema({{"s", Type::kString},
                                                     {"n", Type::kInt64},
                                                     {"d", Type::kDouble},
                                                     {"b", Type::kBool},
                                                     {"x", Type::kBool}}));
  // Same columns, but n annotated INT_64 (as DuckDB writes it).
  std::string annotated_bytes = read_bytes(inputs[1]);
  {
    parquet::FileMetaData meta = footer_of(annotated_bytes);
    meta.schema[2].converted_type = parquet::kConvertedInt64;
    std::string footer;
    parquet::serialize(meta, footer);
    std::uint32_t old_length;
    std::memcpy(&old_length, annotated_bytes.data() + annotated_bytes.size() - 8, 4);
    const auto length = static_cast<std::uint32_t>(footer.size());
    annotated_bytes = annotated_bytes.substr(0, annotated_bytes.size() - 8 - old_length) + footer +
                      std::string(reinterpret_cast<const char *>(&length), 4) + "PAR1";
  }
  write_bytes(path("annotated"), annotated_bytes);
  const std::string annotated = path("annotated");

  const std::string output = path("out");
  write_bytes(output, "an existing file");
  const std::string &first = inputs[0];
  const struct {
    std::vector<std::string> inputs;
    std::string message;
  } cases[] = {
      {{first, inputs[1], renamed},
       "Schema of '" + renamed + "' differs from that of '" + first +
           "': column 2 is named 'm' here and 'n' there"},
      {{first, retyped, renamed},
       "Schema of '" + retyped + "' differs from that of '" + first +
           "': column 2 'n' is double here and int64 there"},
      {{first, longer},
       "Schema of '" + longer + "' differs from that of '" + first +
           "': 5 columns here and 4 there"},
      {{first, annotated},
       "Schema of '" + annotated + "' differs from that of '" + first +
           "': column 2 'n' carries other type annotations here than there"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(merge_error(c.inputs, output), c.message);
    EXPECT_EQ(read_bytes(output), "an existing file");
  }
  std::vector<std::string> known = inputs;
  known.insert(known.end(), {renamed, retyped, longer, annotated, output});
  EXPECT_EQ(leftovers(known), std::vector<std::string>{});
}

TEST_F(MergeTest, DamagedInputFailsAndLeavesTheOutputAlone) {
  const std::vector<std::string> inputs =
      parts({generated(400, 1), generated(400, 2), generated(3, 3)});
  const std::string good = read_bytes(inputs[1]);
  const parquet::FileMetaData meta = footer_of(good);
  const auto page_at = [&](std::size_t column) {
    return static_cast<std::size_t>(
        *meta.row_groups[0].columns[column].meta_data->data_page_offset);
  };
  const std::string output = path("out");
  const struct {
    const char *name;
    std::function<std::string()> bytes;
    std::int64_t min_copy_rows;
    std::string message;
  } cases[] = {
      {"truncated", [&] { return good.substr(0, good.size() - 10); }, 1,
       "File '" + inputs[1] + "' has no PAR1 footer"},
      {"page header of a copied chunk",
       [&] {
         std::string b = good;
         b[page_at(2)] = '\x55'; // field 5 as an i32, where the data page header struct goes
         return b;
       },
       1,
       "File '" + inputs[1] +
           "' is damaged: a page header of column 'd' of row group 0 does not parse (metadata "
           "holds a field of the wrong type)"},
      {"page body of a coalesced chunk",
       [&] {
         std::string b = good;
         const std::size_t body = page_at(1) + 20; // the snappy stream's length and data
         for (std::size_t i = body; i < body + 40; ++i)
           b[i] = '\xFF';
         return b;
       },
       1 << 20,
       "File '" + inputs[1] +
           "' is damaged: column 'n' of row group 0: snappy page does not match its "
           "declared size"},
  };
  for (const auto &c : cases) {
    write_bytes(inputs[1], c.bytes());
    write_bytes(output, "an existing file");
    parquet::MergeOptions o;
    o.min_copy_rows = c.min_copy_rows;
    EXPECT_EQ(merge_error(inputs, output, o), c.message) << c.name;
    EXPECT_EQ(read_bytes(output), "an existing file") << c.name;
    std::filesystem::remove(output);
    EXPECT_NE(merge_error(inputs, output, o), "") << c.name;
    EXPECT_FALSE(std::filesystem::exists(output)) << c.name;
    EXPECT_EQ(leftovers(inputs), std::vector<std::string>{}) << c.name;
  }
}

TEST_F(MergeTest, BadArgumentsAreRefused) {
  const std::vector<std::string> inputs = parts({generated(3)});
  write_bytes(path("plain"), "x");
  const std::string under_file = path("plain") + "/out.parquet";
  const std::string missing = path("missing");
  const struct {
    std::vector<std::string> inputs;
    std::string output;
    std::string message;
  } cases[] = {
      {{}, path("out"), "No input files to merge into '" + path("out") + "'"},
      {{inputs[0], missing},
       path("out"),
       "Cannot open file '" + missing + "': No such file or directory"},
      {inputs, under_file,
       "Cannot create a temporary file beside '" + under_file + "': Not a directory"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(merge_error(c.inputs, c.output), c.message);
  EXPECT_FALSE(std::filesystem::exists(path("out")));
}

} // namespace
