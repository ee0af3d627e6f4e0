#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parquet {

// The footer and page-header structures, holding only the fields this module writes or has to
// look at to refuse a file. Fields the format marks required but a file may omit are
// optional here, so that validation can say which one is missing.

// Wire values of the format's enums.
inline constexpr std::int32_t kTypeBoolean = 0;
inline constexpr std::int32_t kTypeInt64 = 2;
inline constexpr std::int32_t kTypeDouble = 5;
inline constexpr std::int32_t kTypeByteArray = 6;

inline constexpr std::int32_t kRepetitionRequired = 0;
inline constexpr std::int32_t kRepetitionOptional = 1;
inline constexpr std::int32_t kRepetitionRepeated = 2;

inline constexpr std::int32_t kEncodingPlain = 0;
inline constexpr std::int32_t kEncodingPlainDictionary = 2; // the older name of RLE_DICTIONARY
inline constexpr std::int32_t kEncodingRle = 3;
inline constexpr std::int32_t kEncodingRleDictionary = 8;

inline constexpr std::int32_t kCodecUncompressed = 0;
inline constexpr std::int32_t kCodecSnappy = 1;
inline constexpr std::int32_t kCodecZstd = 6;

inline constexpr std::int32_t kPageData = 0;
inline constexpr std::int32_t kPageIndex = 1;
inline constexpr std::int32_t kPageDictionary = 2;
inline constexpr std::int32_t kPageDataV2 = 3;

inline constexpr std::int32_t kConvertedUtf8 = 0;
inline constexpr std::int32_t kConvertedInt64 = 18;

inline constexpr std::int16_t kLogicalString = 1; // LogicalType union variants
inline constexpr std::int16_t kLogicalInteger = 10;

struct LogicalType {
  std::int16_t variant = 0;
  // INTEGER only.
  std::optional<std::int8_t> bit_width;
  std::optional<bool> is_signed;
};

struct SchemaElement {
  std::optional<std::int32_t> type;
  std::optional<std::int32_t> type_length;
  std::optional<std::int32_t> repetition_type;
  std::optional<std::string> name;
  std::optional<std::int32_t> num_children;
  std::optional<std::int32_t> converted_type;
  std::optional<std::int32_t> scale;
  std::optional<std::int32_t> precision;
  std::optional<std::int32_t> field_id;
  std::optional<LogicalType> logical_type;
};

struct Statistics {
  std::optional<std::int64_t> null_count;
  std::optional<std::int64_t> distinct_count;
  std::optional<std::string> max_value;
  std::optional<std::string> min_value;
  std::optional<bool> is_max_value_exact;
  std::optional<bool> is_min_value_exact;
  std::optional<std::int64_t> nan_count;
};

struct ColumnMetaData {
  std::optional<std::int32_t> type;
  std::vector<std::int32_t> encodings;
  std::vector<std::string> path_in_schema;
  std::optional<std::int32_t> codec;
  std::optional<std::int64_t> num_values;
  std::optional<std::int64_t> total_uncompressed_size;
  std::optional<std::int64_t> total_compressed_size;
  std::optional<std::int64_t> data_page_offset;
  std::optional<std::int64_t> index_page_offset;
  std::optional<std::int64_t> dictionary_page_offset;
  std::optional<Statistics> statistics;
  std::optional<std::int64_t> bloom_filter_offset;
  std::optional<std::int32_t> bloom_filter_length; // header and bitset
};

struct ColumnChunk {
  std::optional<std::string> file_path;
  std::int64_t file_offset = 0;
  std::optional<ColumnMetaData> meta_data;
  bool encrypted = false; // crypto_metadata or encrypted_column_metadata present
};

struct RowGroup {
  std::vector<ColumnChunk> columns;
  std::optional<std::int64_t> total_byte_size;
  std::optional<std::int64_t> num_rows;
  std::optional<std::int64_t> file_offset;
  std::optional<std::int64_t> total_compressed_size;
  std::optional<std::int16_t> ordinal;
};

struct FileMetaData {
  std::optional<std::int32_t> version;
  std::vector<SchemaElement> schema;
  std::optional<std::int64_t> num_rows;
  std::vector<RowGroup> row_groups;
  std::vector<std::pair<std::string, std::string>> key_value_metadata;
  std::optional<std::string> created_by;
  std::size_t column_orders = 0; // written as TYPE_ORDER for every leaf
  bool encrypted = false;        // encryption_algorithm or footer_signing_key_metadata present
};

struct DataPageHeader {
  std::optional<std::int32_t> num_values;
  std::optional<std::int32_t> encoding;
  std::optional<std::int32_t> definition_level_encoding;
  std::optional<std::int32_t> repetition_level_encoding;
};

struct DictionaryPageHeader {
  std::optional<std::int32_t> num_values;
  std::optional<std::int32_t> encoding;
};

struct PageHeader {
  std::optional<std::int32_t> type;
  std::optional<std::int32_t> uncompressed_page_size;
  std::optional<std::int32_t> compressed_page_size;
  std::optional<DataPageHeader> data_page_header;
  std::optional<DictionaryPageHeader> dictionary_page_header;
};

// The header in front of a bloom filter's bitset. Only the split-block algorithm, xxHash64
// and no compression exist; a header naming anything else is refused by the parser.
struct BloomFilterHeader {
  std::int32_t num_bytes = 0;
};

// Appends the compact-protocol encoding.
void serialize(const FileMetaData &meta, std::string &out);
void serialize(const PageHeader &header, std::string &out);
void serialize(const SchemaElement &element, std::string &out);
void serialize(const BloomFilterHeader &header, std::string &out);

// Parse exactly `size` bytes (FileMetaData) or a prefix (PageHeader: `consumed` receives its
// length). Throw ThriftError on malformed input.
FileMetaData parse_file_metadata(const std::uint8_t *data, std::size_t size);
PageHeader parse_page_header(const std::uint8_t *data, std::size_t size, std::size_t &consumed);
BloomFilterHeader parse_bloom_filter_header(const std::uint8_t *data, std::size_t size,
                                            std::size_t &consumed);

} // namespace parquet
