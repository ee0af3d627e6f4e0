#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parquet/encoding.h"
#include "parquet/io.h"
#include "parquet/metadata.h"
#include "parquet/options.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace parquet {

// Text statistics longer than this are left out (min and max both), as common writers do,
// so that long values such as raw JSON do not bloat the footer.
inline constexpr std::size_t kMaxTextStatisticsBytes = 4096;

// Turns table rows into row groups of data pages written straight to an OutputFile, column by
// column, through buffers reused from page to page. Shared by FileWriter and the merge.
class TableEncoder {
public:
  TableEncoder(const Schema &schema, const WriterOptions &options);

  // Writes rows [begin, end) of table as one row group at out's position and returns its
  // metadata (ordinal unset). Requires: check_table(schema, table) passed, begin < end.
  RowGroup write_row_group(const Table &table, std::size_t begin, std::size_t end, OutputFile &out);

private:
  struct PageStats;
  ColumnChunk _write_column(std::size_t index, const Column &column, std::size_t begin,
                            std::size_t end, OutputFile &out);
  // Builds the dictionary of the chunk's values into _entries/_indices. False when it would
  // outgrow the limit or not be smaller than PLAIN; the chunk is then written PLAIN.
  bool _build_dictionary(const Column &column, std::size_t begin, std::size_t end,
                         std::size_t present);
  // The dictionary page and the RLE_DICTIONARY data pages of a chunk.
  void _write_dictionary_pages(const Column &column, std::size_t begin, std::size_t end,
                               ColumnMetaData &meta, PageStats &stats, OutputFile &out);
  void _write_plain_pages(const Column &column, std::size_t begin, std::size_t end,
                          ColumnMetaData &meta, PageStats &stats, OutputFile &out);
  // Compresses _body and writes it after its header; adds the bytes to the two totals.
  void _write_page(PageHeader header, OutputFile &out, std::int64_t &uncompressed,
                   std::int64_t &compressed);
  // Starts _body with the page's definition levels and their 4-byte length.
  void _put_levels(const std::uint8_t *valid, std::size_t n, std::size_t present);
  void _encode_values(const Column &column, std::size_t begin, std::size_t end, std::size_t present,
                      PageStats &stats);
  std::size_t _page_end(const Column &column, std::size_t begin, std::size_t end) const;

  Schema _schema;
  Codec _codec;
  int _zstd_level;
  std::size_t _page_bytes;
  bool _dictionary;
  std::size_t _dictionary_bytes;
  bool _bloom_filters;
  double _bloom_fpp;
  Codecs _codecs;
  ByteBuffer _body;
  ByteBuffer _compressed;
  std::string _header;
  // The dictionary of the chunk being written: distinct values in first-seen order with their
  // hashes, an open-addressing table of entry + 1, and one index per present value.
  std::vector<std::string_view> _entry_texts;
  std::vector<std::int64_t> _entry_ints;
  std::vector<std::uint64_t> _entry_hashes;
  std::vector<std::uint32_t> _slots;
  std::vector<std::uint32_t> _indices;
  // The bloom filters of the row group being written: column and bytes (header and bitset).
  std::vector<std::pair<std::size_t, std::string>> _blooms;
};

// The file's schema as footer elements: the root, then one OPTIONAL leaf per column.
std::vector<SchemaElement> schema_elements(const Schema &schema);

// "event-historian version X (build Y)".
std::string created_by();

std::int32_t codec_wire_value(Codec codec);

} // namespace parquet
