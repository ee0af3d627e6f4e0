#include "parquet/parsed_file.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "parquet/error.h"
#include "parquet/parsed_file_internal.h"
#include "parquet/thrift_compact.h"

// Opening a file: its footer read, parsed and checked against the file size and against what
// this reader supports. Reading pages and chunks is in parsed_file_pages.cc.

namespace parquet {

std::string detail::encoding_name(std::int32_t e) {
  switch (e) {
  case 0:
    return "PLAIN";
  case 2:
    return "PLAIN_DICTIONARY";
  case 3:
    return "RLE";
  case 4:
    return "BIT_PACKED";
  case 5:
    return "DELTA_BINARY_PACKED";
  case 6:
    return "DELTA_LENGTH_BYTE_ARRAY";
  case 7:
    return "DELTA_BYTE_ARRAY";
  case 8:
    return "RLE_DICTIONARY";
  case 9:
    return "BYTE_STREAM_SPLIT";
  }
  return "encoding " + std::to_string(e);
}

namespace {

using detail::encoding_name;
using detail::quoted;

std::string codec_wire_name(std::int32_t c) {
  switch (c) {
  case 2:
    return "GZIP";
  case 3:
    return "LZO";
  case 4:
    return "BROTLI";
  case 5:
    return "LZ4";
  case 7:
    return "LZ4_RAW";
  }
  return "codec " + std::to_string(c);
}

std::string physical_name(std::int32_t t) {
  switch (t) {
  case 1:
    return "INT32";
  case 3:
    return "INT96";
  case 4:
    return "FLOAT";
  case 7:
    return "FIXED_LEN_BYTE_ARRAY";
  }
  return "physical type " + std::to_string(t);
}

std::string logical_name(std::int16_t v) {
  static const char *const kNames[] = {"",        "STRING",  "MAP",      "LIST",      "ENUM",
                                       "DECIMAL", "DATE",    "TIME",     "TIMESTAMP", "",
                                       "INTEGER", "UNKNOWN", "JSON",     "BSON",      "UUID",
                                       "FLOAT16", "VARIANT", "GEOMETRY", "GEOGRAPHY", "FILE"};
  if (v > 0 && v < static_cast<std::int16_t>(std::size(kNames)) && kNames[v][0] != '\0') {
    return kNames[v];
  }
  return "logical type " + std::to_string(v);
}

std::string converted_name(std::int32_t v) {
  static const char *const kNames[] = {"UTF8",
                                       "MAP",
                                       "MAP_KEY_VALUE",
                                       "LIST",
                                       "ENUM",
                                       "DECIMAL",
                                       "DATE",
                                       "TIME_MILLIS",
                                       "TIME_MICROS",
                                       "TIMESTAMP_MILLIS",
                                       "TIMESTAMP_MICROS",
                                       "UINT_8",
                                       "UINT_16",
                                       "UINT_32",
                                       "UINT_64",
                                       "INT_8",
                                       "INT_16",
                                       "INT_32",
                                       "INT_64",
                                       "JSON",
                                       "BSON",
                                       "INTERVAL"};
  if (v >= 0 && v < static_cast<std::int32_t>(std::size(kNames)))
    return kNames[v];
  return "converted type " + std::to_string(v);
}

} // namespace

void ParsedFile::damaged(const std::string &detail) const {
  throw Error("File '" + path() + "' is damaged: " + detail);
}

void ParsedFile::unsupported(const std::string &feature) const {
  throw Error("File '" + path() + "' uses " + feature + ", which this reader does not support");
}

Codec ParsedFile::chunk_codec(std::size_t rg, std::size_t col) const {
  switch (*chunk(rg, col).codec) {
  case kCodecSnappy:
    return Codec::kSnappy;
  case kCodecZstd:
    return Codec::kZstd;
  default:
    return Codec::kUncompressed;
  }
}

std::uint64_t ParsedFile::chunk_start(std::size_t rg, std::size_t col) const {
  const ColumnMetaData &m = chunk(rg, col);
  return static_cast<std::uint64_t>(m.dictionary_page_offset ? *m.dictionary_page_offset
                                                             : *m.data_page_offset);
}

ParsedFile ParsedFile::open(InputFile input) {
  ParsedFile file(std::move(input));
  const std::uint64_t size = file._input.size();
  if (size < 12) {
    throw Error("File '" + file.path() + "' is too short to be a Parquet file (" +
                std::to_string(size) + " bytes)");
  }
  std::uint8_t head[4];
  std::uint8_t tail[8];
  // The tail first: a source that reads ahead then has the footer, and all of a small file.
  file._input.read(size - 8, 8, tail);
  file._input.read(0, 4, head);
  if (std::memcmp(tail + 4, "PARE", 4) == 0)
    file.unsupported("an encrypted footer");
  if (std::memcmp(tail + 4, "PAR1", 4) != 0) {
    throw Error("File '" + file.path() + "' has no PAR1 footer");
  }
  if (std::memcmp(head, "PAR1", 4) != 0) {
    throw Error("File '" + file.path() + "' has no PAR1 header");
  }
  std::uint32_t footer_length = 0;
  std::memcpy(&footer_length, tail, 4);
  if (std::uint64_t{footer_length} + 12 > size) {
    file.damaged("footer length " + std::to_string(footer_length) + " exceeds the file size " +
                 std::to_string(size));
  }
  const std::uint64_t footer_start = size - 8 - footer_length;
  std::vector<std::uint8_t> footer(footer_length);
  file._input.read(footer_start, footer_length, footer.data());
  try {
    file._meta = parse_file_metadata(footer.data(), footer.size());
  } catch (const ThriftError &e) {
    file.damaged(std::string("footer does not parse (") + e.what() + ")");
  }
  if (file._meta.encrypted)
    file.unsupported("encryption");
  if (!file._meta.version)
    file.damaged("footer has no version");
  if (!file._meta.num_rows || *file._meta.num_rows < 0)
    file.damaged("footer has no row count");
  file._check_schema();
  file._check_row_groups(footer_start);
  return file;
}

void ParsedFile::_check_schema() {
  const std::vector<SchemaElement> &elements = _meta.schema;
  if (elements.empty())
    damaged("footer has no schema");
  const SchemaElement &root = elements.front();
  if (root.type || !root.num_children)
    damaged("schema root is not a group");
  for (std::size_t i = 1; i < elements.size(); ++i) {
    if (elements[i].num_children) {
      unsupported("a nested schema (column " + quoted(elements[i].name.value_or("")) + ")");
    }
  }
  if (*root.num_children != static_cast<std::int64_t>(elements.size()) - 1) {
    damaged("schema root counts " + std::to_string(*root.num_children) + " columns for " +
            std::to_string(elements.size() - 1));
  }
  if (elements.size() == 1)
    damaged("schema has no columns");
  std::vector<Field> fields;
  fields.reserve(elements.size() - 1);
  for (std::size_t i = 1; i < elements.size(); ++i) {
    const SchemaElement &e = elements[i];
    if (!e.name)
      damaged("schema element " + std::to_string(i) + " has no name");
    const std::string column = "column " + quoted(*e.name);
    if (!e.type)
      damaged(column + " has no type");
    if (!e.repetition_type)
      damaged(column + " has no repetition type");
    if (*e.repetition_type == kRepetitionRequired)
      unsupported("a REQUIRED " + column);
    if (*e.repetition_type != kRepetitionOptional)
      unsupported("a repeated " + column);
    if (e.logical_type) {
      const std::int16_t v = e.logical_type->variant;
      if (v == 2 || v == 3)
        unsupported("a nested schema (" + column + ")");
    }
    if (e.converted_type &&
        (*e.converted_type == 1 || *e.converted_type == 2 || *e.converted_type == 3)) {
      unsupported("a nested schema (" + column + ")");
    }
    Field field{*e.name, Type::kDouble, true};
    const auto refuse_annotations = [&] {
      if (e.logical_type) {
        unsupported("logical type " + logical_name(e.logical_type->variant) + " on " + column);
      }
      if (e.converted_type) {
        unsupported("converted type " + converted_name(*e.converted_type) + " on " + column);
      }
    };
    switch (*e.type) {
    case kTypeByteArray: {
      const bool logical_string = e.logical_type && e.logical_type->variant == kLogicalString;
      const bool converted_utf8 = e.converted_type && *e.converted_type == kConvertedUtf8;
      if (e.logical_type && !logical_string) {
        unsupported("logical type " + logical_name(e.logical_type->variant) + " on " + column);
      }
      if (e.converted_type && !converted_utf8) {
        unsupported("converted type " + converted_name(*e.converted_type) + " on " + column);
      }
      if (!logical_string && !converted_utf8)
        unsupported("binary " + column + " (not text)");
      field.type = Type::kString;
      break;
    }
    case kTypeInt64: {
      if (e.logical_type) {
        const LogicalType &t = *e.logical_type;
        if (t.variant != kLogicalInteger || t.bit_width != 64 || t.is_signed != true) {
          unsupported("logical type " + logical_name(t.variant) + " on " + column);
        }
      }
      if (e.converted_type && *e.converted_type != kConvertedInt64) {
        unsupported("converted type " + converted_name(*e.converted_type) + " on " + column);
      }
      field.type = Type::kInt64;
      break;
    }
    case kTypeDouble:
      refuse_annotations();
      field.type = Type::kDouble;
      break;
    case kTypeBoolean:
      refuse_annotations();
      field.type = Type::kBool;
      break;
    default:
      unsupported(physical_name(*e.type) + " (" + column + ")");
    }
    fields.push_back(std::move(field));
    _leaf_bytes.emplace_back();
    serialize(e, _leaf_bytes.back());
  }
  try {
    _schema = Schema(std::move(fields));
  } catch (const Error &e) {
    damaged(e.what());
  }
}

void ParsedFile::_check_row_groups(std::uint64_t footer_start) {
  const std::size_t columns = _schema.size();
  std::int64_t total_rows = 0;
  for (std::size_t g = 0; g < _meta.row_groups.size(); ++g) {
    const RowGroup &group = _meta.row_groups[g];
    const std::string where = "row group " + std::to_string(g);
    if (!group.num_rows || *group.num_rows < 0)
      damaged(where + " has no row count");
    const std::int64_t rows = *group.num_rows;
    if (rows > *_meta.num_rows - total_rows) {
      damaged("row groups hold more rows than the footer's " + std::to_string(*_meta.num_rows));
    }
    total_rows += rows;
    if (group.columns.size() != columns) {
      damaged(where + " has " + std::to_string(group.columns.size()) + " column chunks for " +
              std::to_string(columns) + " columns");
    }
    for (std::size_t c = 0; c < columns; ++c) {
      const ColumnChunk &chunk = group.columns[c];
      const std::string &name = _schema.field(c).name;
      const std::string column = "column " + quoted(name);
      const std::string in = " (" + column + ", " + where + ")";
      if (chunk.file_path)
        unsupported("column data in another file" + in);
      if (chunk.encrypted)
        unsupported("encryption" + in);
      if (!chunk.meta_data)
        damaged(column + " of " + where + " has no metadata");
      const ColumnMetaData &m = *chunk.meta_data;
      if (!m.type || *m.type != *_meta.schema[c + 1].type) {
        damaged(column + " of " + where + " disagrees with the schema about its type");
      }
      if (m.path_in_schema.size() != 1 || m.path_in_schema[0] != name) {
        damaged(column + " of " + where + " has the wrong path in the schema");
      }
      if (!m.codec)
        damaged(column + " of " + where + " has no codec");
      if (*m.codec != kCodecUncompressed && *m.codec != kCodecSnappy && *m.codec != kCodecZstd) {
        unsupported("compression codec " + codec_wire_name(*m.codec) + in);
      }
      for (std::int32_t e : m.encodings) {
        if (e != kEncodingPlain && e != kEncodingRle && e != kEncodingRleDictionary &&
            e != kEncodingPlainDictionary) {
          unsupported("encoding " + encoding_name(e) + in);
        }
      }
      if (m.index_page_offset)
        unsupported("index pages" + in);
      if (!m.num_values || *m.num_values != rows) {
        damaged(column + " of " + where + " holds a value count other than the row count");
      }
      if (!m.data_page_offset || !m.total_compressed_size || !m.total_uncompressed_size) {
        damaged(column + " of " + where + " has no offset or size");
      }
      // A dictionary page, when there is one, starts the chunk; the data pages follow it.
      const std::int64_t offset =
          m.dictionary_page_offset ? *m.dictionary_page_offset : *m.data_page_offset;
      const std::int64_t length = *m.total_compressed_size;
      if (offset < 4 || length < 0 || *m.total_uncompressed_size < 0 ||
          static_cast<std::uint64_t>(offset) > footer_start ||
          static_cast<std::uint64_t>(length) > footer_start - static_cast<std::uint64_t>(offset) ||
          *m.data_page_offset < offset || *m.data_page_offset - offset > length) {
        damaged(column + " of " + where + " lies outside the data area of the file");
      }
      if (m.bloom_filter_offset) {
        const std::int64_t bloom = *m.bloom_filter_offset;
        const std::int64_t bloom_length = m.bloom_filter_length.value_or(0);
        if (bloom < 4 || bloom_length < 0 || static_cast<std::uint64_t>(bloom) > footer_start ||
            static_cast<std::uint64_t>(bloom_length) >
                footer_start - static_cast<std::uint64_t>(bloom)) {
          damaged("the bloom filter of " + column + " of " + where +
                  " lies outside the data area of the file");
        }
      }
      // Every page takes at least kMinPageBytes and holds at most kMaxPageRows rows.
      const std::uint64_t max_rows =
          (static_cast<std::uint64_t>(length) / kMinPageBytes) * kMaxPageRows;
      if (static_cast<std::uint64_t>(rows) > max_rows) {
        damaged(column + " of " + where + " claims more rows than its bytes can hold");
      }
    }
  }
  if (total_rows != *_meta.num_rows) {
    damaged("row groups hold " + std::to_string(total_rows) + " rows, the footer says " +
            std::to_string(*_meta.num_rows));
  }
}

} // namespace parquet
