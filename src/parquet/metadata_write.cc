#include "parquet/metadata.h"

#include <cstdint>
#include <string>

#include "parquet/thrift_compact.h"

// Writing the footer, page headers and bloom filter headers in the compact protocol. Reading
// them back is in metadata.cc.

namespace parquet {
namespace {

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

} // namespace parquet
