#include "parquet/metadata.h"

#include <cstdint>
#include <string>
#include <utility>

#include "parquet/thrift_compact.h"

// Reading the footer, page headers and bloom filter headers from the compact protocol: fields
// this module does not look at are skipped. Writing them is in metadata_write.cc.

namespace parquet {
namespace {

LogicalType read_logical_type(CompactReader &r) {
  LogicalType t;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  bool seen = false;
  while (r.next_field(h, last)) {
    if (seen || h.type != WireType::kStruct) {
      r.skip(h.type);
      continue;
    }
    seen = true;
    t.variant = h.id;
    r.begin_struct();
    FieldHeader inner;
    std::int16_t inner_last = 0;
    while (r.next_field(inner, inner_last)) {
      if (t.variant == kLogicalInteger && inner.id == 1) {
        t.bit_width = r.i8(inner);
      } else if (t.variant == kLogicalInteger && inner.id == 2) {
        t.is_signed = r.boolean(inner);
      } else {
        r.skip(inner.type);
      }
    }
    r.end_struct();
  }
  r.end_struct();
  return t;
}

SchemaElement read_schema_element(CompactReader &r) {
  SchemaElement e;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      e.type = r.i32(h);
      break;
    case 2:
      e.type_length = r.i32(h);
      break;
    case 3:
      e.repetition_type = r.i32(h);
      break;
    case 4:
      e.name = std::string(r.binary(h));
      break;
    case 5:
      e.num_children = r.i32(h);
      break;
    case 6:
      e.converted_type = r.i32(h);
      break;
    case 7:
      e.scale = r.i32(h);
      break;
    case 8:
      e.precision = r.i32(h);
      break;
    case 9:
      e.field_id = r.i32(h);
      break;
    case 10:
      r.expect(h, WireType::kStruct);
      e.logical_type = read_logical_type(r);
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  return e;
}

Statistics read_statistics(CompactReader &r) {
  Statistics s;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 3:
      s.null_count = r.i64(h);
      break;
    case 4:
      s.distinct_count = r.i64(h);
      break;
    case 5:
      s.max_value = std::string(r.binary(h));
      break;
    case 6:
      s.min_value = std::string(r.binary(h));
      break;
    case 7:
      s.is_max_value_exact = r.boolean(h);
      break;
    case 8:
      s.is_min_value_exact = r.boolean(h);
      break;
    case 9:
      s.nan_count = r.i64(h);
      break;
    default:
      r.skip(h.type); // includes the legacy min/max (1, 2), never written again
    }
  }
  r.end_struct();
  return s;
}

ColumnMetaData read_column_meta(CompactReader &r) {
  ColumnMetaData m;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      m.type = r.i32(h);
      break;
    case 2: {
      const ListHeader l = r.list(h, WireType::kI32);
      m.encodings.clear();
      for (std::size_t i = 0; i < l.size; ++i)
        m.encodings.push_back(r.element_i32());
      break;
    }
    case 3: {
      const ListHeader l = r.list(h, WireType::kBinary);
      m.path_in_schema.clear();
      for (std::size_t i = 0; i < l.size; ++i) {
        m.path_in_schema.emplace_back(r.element_binary());
      }
      break;
    }
    case 4:
      m.codec = r.i32(h);
      break;
    case 5:
      m.num_values = r.i64(h);
      break;
    case 6:
      m.total_uncompressed_size = r.i64(h);
      break;
    case 7:
      m.total_compressed_size = r.i64(h);
      break;
    case 9:
      m.data_page_offset = r.i64(h);
      break;
    case 10:
      m.index_page_offset = r.i64(h);
      break;
    case 11:
      m.dictionary_page_offset = r.i64(h);
      break;
    case 12:
      r.expect(h, WireType::kStruct);
      m.statistics = read_statistics(r);
      break;
    case 14:
      m.bloom_filter_offset = r.i64(h);
      break;
    case 15:
      m.bloom_filter_length = r.i32(h);
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  return m;
}

ColumnChunk read_column_chunk(CompactReader &r) {
  ColumnChunk c;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      c.file_path = std::string(r.binary(h));
      break;
    case 2:
      c.file_offset = r.i64(h);
      break;
    case 3:
      r.expect(h, WireType::kStruct);
      c.meta_data = read_column_meta(r);
      break;
    case 8:
    case 9:
      c.encrypted = true;
      r.skip(h.type);
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  return c;
}

RowGroup read_row_group(CompactReader &r) {
  RowGroup g;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1: {
      const ListHeader l = r.list(h, WireType::kStruct);
      g.columns.clear();
      for (std::size_t i = 0; i < l.size; ++i)
        g.columns.push_back(read_column_chunk(r));
      break;
    }
    case 2:
      g.total_byte_size = r.i64(h);
      break;
    case 3:
      g.num_rows = r.i64(h);
      break;
    case 5:
      g.file_offset = r.i64(h);
      break;
    case 6:
      g.total_compressed_size = r.i64(h);
      break;
    case 7:
      g.ordinal = r.i16(h);
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  return g;
}

DataPageHeader read_data_page_header(CompactReader &r) {
  DataPageHeader d;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      d.num_values = r.i32(h);
      break;
    case 2:
      d.encoding = r.i32(h);
      break;
    case 3:
      d.definition_level_encoding = r.i32(h);
      break;
    case 4:
      d.repetition_level_encoding = r.i32(h);
      break;
    default:
      r.skip(h.type); // page statistics
    }
  }
  r.end_struct();
  return d;
}

DictionaryPageHeader read_dictionary_page_header(CompactReader &r) {
  DictionaryPageHeader d;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      d.num_values = r.i32(h);
      break;
    case 2:
      d.encoding = r.i32(h);
      break;
    default:
      r.skip(h.type); // is_sorted
    }
  }
  r.end_struct();
  return d;
}

// A union whose only known variant (field 1, an empty struct) must be the one set.
void expect_union_variant_1(CompactReader &r, const char *what) {
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  bool seen = false;
  while (r.next_field(h, last)) {
    if (h.id != 1 || h.type != WireType::kStruct)
      throw ThriftError(std::string("bloom filter of an unknown ") + what);
    r.skip(h.type);
    seen = true;
  }
  r.end_struct();
  if (!seen)
    throw ThriftError(std::string("bloom filter without its ") + what);
}

} // namespace

FileMetaData parse_file_metadata(const std::uint8_t *data, std::size_t size) {
  CompactReader r(data, size);
  FileMetaData meta;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      meta.version = r.i32(h);
      break;
    case 2: {
      const ListHeader l = r.list(h, WireType::kStruct);
      meta.schema.clear();
      for (std::size_t i = 0; i < l.size; ++i)
        meta.schema.push_back(read_schema_element(r));
      break;
    }
    case 3:
      meta.num_rows = r.i64(h);
      break;
    case 4: {
      const ListHeader l = r.list(h, WireType::kStruct);
      meta.row_groups.clear();
      for (std::size_t i = 0; i < l.size; ++i)
        meta.row_groups.push_back(read_row_group(r));
      break;
    }
    case 5: {
      const ListHeader l = r.list(h, WireType::kStruct);
      meta.key_value_metadata.clear();
      for (std::size_t i = 0; i < l.size; ++i) {
        std::pair<std::string, std::string> kv;
        r.begin_struct();
        FieldHeader f;
        std::int16_t f_last = 0;
        while (r.next_field(f, f_last)) {
          if (f.id == 1)
            kv.first = std::string(r.binary(f));
          else if (f.id == 2)
            kv.second = std::string(r.binary(f));
          else
            r.skip(f.type);
        }
        r.end_struct();
        meta.key_value_metadata.push_back(std::move(kv));
      }
      break;
    }
    case 6:
      meta.created_by = std::string(r.binary(h));
      break;
    case 7: {
      const ListHeader l = r.list(h, WireType::kStruct);
      for (std::size_t i = 0; i < l.size; ++i)
        r.skip(WireType::kStruct);
      meta.column_orders = l.size;
      break;
    }
    case 8:
    case 9:
      meta.encrypted = true;
      r.skip(h.type);
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  if (r.remaining() != 0)
    throw ThriftError("footer has bytes after its end");
  return meta;
}

PageHeader parse_page_header(const std::uint8_t *data, std::size_t size, std::size_t &consumed) {
  CompactReader r(data, size);
  PageHeader p;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      p.type = r.i32(h);
      break;
    case 2:
      p.uncompressed_page_size = r.i32(h);
      break;
    case 3:
      p.compressed_page_size = r.i32(h);
      break;
    case 5:
      r.expect(h, WireType::kStruct);
      p.data_page_header = read_data_page_header(r);
      break;
    case 7:
      r.expect(h, WireType::kStruct);
      p.dictionary_page_header = read_dictionary_page_header(r);
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  consumed = r.consumed_from(data);
  return p;
}

BloomFilterHeader parse_bloom_filter_header(const std::uint8_t *data, std::size_t size,
                                            std::size_t &consumed) {
  CompactReader r(data, size);
  BloomFilterHeader b;
  bool has_size = false;
  int unions = 0;
  r.begin_struct();
  FieldHeader h;
  std::int16_t last = 0;
  while (r.next_field(h, last)) {
    switch (h.id) {
    case 1:
      b.num_bytes = r.i32(h);
      has_size = true;
      break;
    case 2:
    case 3:
    case 4:
      r.expect(h, WireType::kStruct);
      expect_union_variant_1(r, h.id == 2 ? "algorithm" : h.id == 3 ? "hash" : "compression");
      ++unions;
      break;
    default:
      r.skip(h.type);
    }
  }
  r.end_struct();
  if (!has_size || unions != 3)
    throw ThriftError("bloom filter header lacks a required field");
  consumed = r.consumed_from(data);
  return b;
}

} // namespace parquet
