#include "parquet/thrift_compact.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>

#include "parquet/metadata.h"

namespace {

using parquet::CompactReader;
using parquet::CompactWriter;
using parquet::FieldHeader;
using parquet::WireType;

std::string hex(const std::string &bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
    out += b;
  }
  return out;
}

std::string written(const std::function<void(CompactWriter &)> &fields) {
  std::string out;
  CompactWriter w(out);
  w.begin_struct();
  fields(w);
  w.end_struct();
  return out;
}

TEST(CompactWriter, WritesTheProtocolBytes) {
  const struct {
    const char *name;
    std::function<void(CompactWriter &)> fields;
    const char *bytes;
  } cases[] = {
      {"zigzag i32",
       [](CompactWriter &w) {
         w.field_i32(1, 0);
         w.field_i32(2, -1);
         w.field_i32(3, 1);
         w.field_i32(4, -2);
       },
       "15 00 15 01 15 02 15 03 00"},
      {"i64 extremes",
       [](CompactWriter &w) {
         w.field_i64(1, std::numeric_limits<std::int64_t>::min());
         w.field_i64(2, std::numeric_limits<std::int64_t>::max());
       },
       "16 FF FF FF FF FF FF FF FF FF 01 16 FE FF FF FF FF FF FF FF FF 01 00"},
      {"bools live in the type nibble",
       [](CompactWriter &w) {
         w.field_bool(6, true);
         w.field_bool(7, false);
       },
       "61 12 00"},
      {"long form for a jump of 16",
       [](CompactWriter &w) {
         w.field_i32(1, 3);
         w.field_i32(17, 3);
       },
       "15 06 05 22 06 00"},
      {"nested struct restores the outer id",
       [](CompactWriter &w) {
         w.field_i32(1, 0);
         w.begin_field_struct(2);
         w.field_i32(1, 0);
         w.end_struct();
         w.field_i32(3, 0);
       },
       "15 00 1C 15 00 00 15 00 00"},
      {"list of 15 takes the long header",
       [](CompactWriter &w) {
         w.begin_field_list(1, WireType::kI32, 15);
         for (int i = 0; i < 15; ++i)
           w.element_i32(1);
       },
       "19 F5 0F 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 00"},
      {"i8 is a raw byte", [](CompactWriter &w) { w.field_i8(1, -1); }, "13 FF 00"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(hex(written(c.fields)), c.bytes) << c.name;

  // A binary length is a plain varint: 50399 is DF 89 03.
  const std::string long_binary =
      written([](CompactWriter &w) { w.field_binary(1, std::string(50399, 'x')); });
  EXPECT_EQ(hex(long_binary.substr(0, 4)), "18 DF 89 03");
}

// The LogicalType STRING annotation of a text column, as the format notes show it.
TEST(CompactWriter, StringAnnotationBytes) {
  parquet::SchemaElement e;
  e.name = "s";
  e.converted_type = parquet::kConvertedUtf8;
  e.logical_type = parquet::LogicalType{parquet::kLogicalString, std::nullopt, std::nullopt};
  std::string out;
  parquet::serialize(e, out);
  EXPECT_EQ(hex(out), "48 01 73 25 00 4C 1C 00 00 00");
}

// Unknown fields of every type are skipped, and the known field after them is still found.
TEST(CompactReader, SkipsUnknownFieldsOfEveryType) {
  const char *const cases[][2] = {
      {"bool", "11"},
      {"i8", "13 7F"},
      {"i16", "14 FE 03"},
      {"i64", "16 FF FF FF FF FF FF FF FF FF 01"},
      {"double", "17 00 00 00 00 00 00 F0 3F"},
      {"binary", "18 03 61 62 63"},
      {"uuid", "1D 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"},
      {"list of bools", "19 31 01 02 00"},
      {"list of structs", "19 2C 15 02 00 00"},
      {"set of binaries", "1A 28 01 61 00"},
      {"map", "1B 02 58 02 01 61 04 01 62"},
      {"empty map", "1B 00"},
      {"nested struct", "1C 1C 15 02 00 18 01 61 00"},
      {"long-form id", "06 D0 0F 02"},
  };
  for (const auto &c : cases) {
    // field <c> first (id 1 or long form), then field 10 as i32 = 21 (delta from 1, or long form).
    std::string bytes;
    std::string text = c[1];
    for (std::size_t i = 0; i < text.size(); i += 3) {
      bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    bytes += std::string("\x05\x14\x2A\x00", 4); // long-form field 10, i32 21; stop
    CompactReader r(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    r.begin_struct();
    FieldHeader h;
    std::int16_t last = 0;
    std::int32_t found = -1;
    while (r.next_field(h, last)) {
      if (h.id == 10) {
        found = r.i32(h);
      } else {
        r.skip(h.type);
      }
    }
    r.end_struct();
    EXPECT_EQ(found, 21) << c[0];
    EXPECT_EQ(r.remaining(), 0u) << c[0];
  }
}

TEST(CompactReader, HostileBytesThrowWithoutReadingPastTheEnd) {
  const struct {
    const char *name;
    std::string bytes;
    const char *message;
  } cases[] = {
      {"empty", "", "metadata ends in the middle of a value"},
      {"truncated varint", "\x15\x80", "metadata ends in the middle of a value"},
      {"varint of 11 bytes", "\x16" + std::string(10, '\x80') + "\x01",
       "metadata holds a varint longer than 10 bytes"},
      {"field id beyond i32", "\x05\xFF\xFF\xFF\xFF\x1F", "metadata holds an i32 out of range"},
      {"field id beyond i16", "\x05\x80\x80\x04", "metadata holds a field id out of range"},
      {"binary past the end",
       "\x18\x05"
       "abc",
       "metadata holds a length past its end"},
      {"list longer than its bytes", "\x19\xF5\xFF\xFF\x03",
       "metadata holds a list longer than its bytes"},
      {"map longer than its bytes", "\x1B\xFF\xFF\x03",
       "metadata holds a map longer than its bytes"},
      {"type code 14", "\x1E", "metadata holds an unknown field type"},
      {"element type 0", std::string("\x19\x10", 2), "metadata holds an unknown element type"},
      {"structs 65 deep", std::string(65, '\x1C'), "metadata nests structs too deeply"},
      {"lists 65 deep", "\x19" + std::string(64, '\x19'), "metadata nests structs too deeply"},
  };
  for (const auto &c : cases) {
    // Copied to a buffer of its own size, so that AddressSanitizer sees any overrun.
    std::vector<std::uint8_t> buffer(c.bytes.begin(), c.bytes.end());
    CompactReader r(buffer.data(), buffer.size());
    try {
      r.begin_struct();
      FieldHeader h;
      std::int16_t last = 0;
      while (r.next_field(h, last))
        r.skip(h.type);
      ADD_FAILURE() << c.name << " parsed";
    } catch (const parquet::ThriftError &e) {
      EXPECT_STREQ(e.what(), c.message) << c.name;
    }
  }
}

TEST(CompactReader, TypedAccessorsRefuseOtherTypes) {
  const std::string bytes = "\x16\x02"; // field 1 as i64
  CompactReader r(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
  FieldHeader h;
  std::int16_t last = 0;
  ASSERT_TRUE(r.next_field(h, last));
  EXPECT_THROW(r.i32(h), parquet::ThriftError);
  EXPECT_THROW(r.binary(h), parquet::ThriftError);
  EXPECT_THROW(r.boolean(h), parquet::ThriftError);
  EXPECT_THROW(r.list(h, WireType::kI32), parquet::ThriftError);
  EXPECT_EQ(r.i64(h), 1);
}

TEST(Metadata, FooterRoundTrips) {
  parquet::FileMetaData meta;
  meta.version = 1;
  parquet::SchemaElement root;
  root.name = "schema";
  root.num_children = 1;
  parquet::SchemaElement leaf;
  leaf.name = "n";
  leaf.type = parquet::kTypeInt64;
  leaf.repetition_type = parquet::kRepetitionOptional;
  meta.schema = {root, leaf};
  meta.num_rows = 7;
  parquet::RowGroup group;
  group.num_rows = 7;
  group.total_byte_size = 99;
  group.ordinal = 0;
  parquet::ColumnChunk chunk;
  parquet::ColumnMetaData &m = chunk.meta_data.emplace();
  m.type = parquet::kTypeInt64;
  m.encodings = {0, 3};
  m.path_in_schema = {"n"};
  m.codec = parquet::kCodecZstd;
  m.num_values = 7;
  m.total_compressed_size = 40;
  m.total_uncompressed_size = 50;
  m.data_page_offset = 4;
  m.statistics.emplace().null_count = 2;
  m.statistics->min_value = std::string(8, '\0');
  m.statistics->is_min_value_exact = true;
  group.columns = {chunk};
  meta.row_groups = {group};
  meta.created_by = "me";
  meta.column_orders = 1;
  std::string bytes;
  parquet::serialize(meta, bytes);
  const parquet::FileMetaData back = parquet::parse_file_metadata(
      reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
  std::string again;
  parquet::serialize(back, again);
  EXPECT_EQ(hex(again), hex(bytes));
  EXPECT_EQ(back.row_groups[0].columns[0].meta_data->statistics->null_count, 2);
  EXPECT_EQ(back.column_orders, 1u);
  EXPECT_EQ(back.created_by, "me");
}

} // namespace
