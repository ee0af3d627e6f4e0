#include "parquet/metadata.h"

#include "parquet/thrift_compact.h"

namespace parquet {
namespace {

// ---- writing ----

void write_logical_type(CompactWriter &w, const LogicalType &t) {
  w.begin_field_struct(t.variant);
  if (t.variant == kLogicalInteger) {
    if (t.bit_width)
      w.field_i8(1, *t.bit_width);
    if (t.is_signed)
      w.field_bool(2, *t.is_signed);
  }
  w.end_struct();
}

void write_schema_element(CompactWriter &w, const SchemaElement &e) {
  w.begin_struct();
  if (e.type)
    w.field_i32(1, *e.type);
  if (e.type_length)
    w.field_i32(2, *e.type_length);
  if (e.repetition_type)
    w.field_i32(3, *e.repetition_type);
  w.field_binary(4, e.name.value_or(""));
  if (e.num_children)
    w.field_i32(5, *e.num_children);
  if (e.converted_type)
    w.field_i32(6, *e.converted_type);
  if (e.scale)
    w.field_i32(7, *e.scale);
  if (e.precision)
    w.field_i32(8, *e.precision);
  if (e.field_id)
    w.field_i32(9, *e.field_id);
  if (e.logical_type) {
    w.begin_field_struct(10);
    write_logical_type(w, *e.logical_type);
    w.end_struct();
  }
  w.end_struct();
}

void write_statistics(CompactWriter &w, const Statistics &s) {
  w.begin_field_struct(12);
  if (s.null_count)
    w.field_i64(3, *s.null_count);
  if (s.distinct_count)
    w.field_i64(4, *s.distinct_count);
  if (s.max_value)
    w.field_binary(5, *s.max_value);
  if (s.min_value)
    w.field_binary(6, *s.min_value);
  if (s.is_max_value_exact)
    w.field_bool(7, *s.is_max_value_exact);
  if (s.is_min_value_exact)
    w.field_bool(8, *s.is_min_value_exact);
  if (s.nan_count)
    w.field_i64(9, *s.nan_count);
  w.end_struct();
}

void write_column_meta(CompactWriter &w, const ColumnMetaData &m) {
  w.begin_field_struct(3);
  w.field_i32(1, m.type.value_or(0));
  w.begin_field_list(2, WireType::kI32, m.encodings.size());
  for (std::int32_t e : m.encodings)
    w.element_i32(e);
  w.begin_field_list(3, WireType::kBinary, m.path_in_schema.size());
  for (const std::string &p : m.path_in_schema)
    w.element_binary(p);
  w.field_i32(4, m.codec.value_or(0));
  w.field_i64(5, m.num_values.value_or(0));
  w.field_i64(6, m.total_uncompressed_size.value_or(0));
  w.field_i64(7, m.total_compressed_size.value_or(0));
  w.field_i64(9, m.data_page_offset.value_or(0));
  if (m.index_page_offset)
    w.field_i64(10, *m.index_page_offset);
  if (m.dictionary_page_offset)
    w.field_i64(11, *m.dictionary_page_offset);
  if (m.statistics)
    write_statistics(w, *m.statistics);
  if (m.bloom_filter_offset)
    w.field_i64(14, *m.bloom_filter_offset);
  if (m.bloom_filter_length)
    w.field_i32(15, *m.bloom_filter_length);
  w.end_struct();
}

void write_row_group(CompactWriter &w, const RowGroup &g) {
  w.begin_struct();
  w.begin_field_list(1, WireType::kStruct, g.columns.size());
  for (const ColumnChunk &c : g.columns) {
    w.begin_struct();
    if (c.file_path)
      w.field_binary(1, *c.file_path);
    w.field_i64(2, c.file_offset);
    if (c.meta_data)
      write_column_meta(w, *c.meta_data);
    w.end_struct();
  }
  w.field_i64(2, g.total_byte_size.value_or(0));
  w.field_i64(3, g.num_rows.value_or(0));
  if (g.file_offset)
    w.field_i64(5, *g.file_offset);
  if (g.total_compressed_size)
    w.field_i64(6, *g.total_compressed_size);
  if (g.ordinal)
    w.field_i16(7, *g.ordinal);
  w.end_struct();
}

// ---- reading ----

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

void serialize(const SchemaElement &element, std::string &out) {
  CompactWriter w(out);
  write_schema_element(w, element);
}

void serialize(const FileMetaData &meta, std::string &out) {
  CompactWriter w(out);
  w.begin_struct();
  w.field_i32(1, meta.version.value_or(1));
  w.begin_field_list(2, WireType::kStruct, meta.schema.size());
  for (const SchemaElement &e : meta.schema)
    write_schema_element(w, e);
  w.field_i64(3, meta.num_rows.value_or(0));
  w.begin_field_list(4, WireType::kStruct, meta.row_groups.size());
  for (const RowGroup &g : meta.row_groups)
    write_row_group(w, g);
  if (!meta.key_value_metadata.empty()) {
    w.begin_field_list(5, WireType::kStruct, meta.key_value_metadata.size());
    for (const auto &[key, value] : meta.key_value_metadata) {
      w.begin_struct();
      w.field_binary(1, key);
      w.field_binary(2, value);
      w.end_struct();
    }
  }
  if (meta.created_by)
    w.field_binary(6, *meta.created_by);
  if (meta.column_orders > 0) {
    w.begin_field_list(7, WireType::kStruct, meta.column_orders);
    for (std::size_t i = 0; i < meta.column_orders; ++i) {
      w.begin_struct();
      w.begin_field_struct(1); // TYPE_ORDER
      w.end_struct();
      w.end_struct();
    }
  }
  w.end_struct();
}

void serialize(const PageHeader &header, std::string &out) {
  CompactWriter w(out);
  w.begin_struct();
  w.field_i32(1, header.type.value_or(kPageData));
  w.field_i32(2, header.uncompressed_page_size.value_or(0));
  w.field_i32(3, header.compressed_page_size.value_or(0));
  if (header.data_page_header) {
    const DataPageHeader &d = *header.data_page_header;
    w.begin_field_struct(5);
    w.field_i32(1, d.num_values.value_or(0));
    w.field_i32(2, d.encoding.value_or(kEncodingPlain));
    w.field_i32(3, d.definition_level_encoding.value_or(kEncodingRle));
    w.field_i32(4, d.repetition_level_encoding.value_or(kEncodingRle));
    w.end_struct();
  }
  if (header.dictionary_page_header) {
    const DictionaryPageHeader &d = *header.dictionary_page_header;
    w.begin_field_struct(7);
    w.field_i32(1, d.num_values.value_or(0));
    w.field_i32(2, d.encoding.value_or(kEncodingPlain));
    w.end_struct();
  }
  w.end_struct();
}

void serialize(const BloomFilterHeader &header, std::string &out) {
  CompactWriter w(out);
  w.begin_struct();
  w.field_i32(1, header.num_bytes);
  for (const std::int16_t id :
       {std::int16_t{2}, std::int16_t{3},
        std::int16_t{4}}) { // SPLIT_BLOCK, XXHASH, UNCOMPRESSED: variant 1 each
    w.begin_field_struct(id);
    w.begin_field_struct(1);
    w.end_struct();
    w.end_struct();
  }
  w.end_struct();
}

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
