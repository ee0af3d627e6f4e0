#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
  ColumnChunk _write_column(const Field &field, const Column &column, std::size_t begin,
                            std::size_t end, OutputFile &out);
  void _encode_values(const Column &column, std::size_t begin, std::size_t end, std::size_t present,
                      PageStats &stats);
  std::size_t _page_end(const Column &column, std::size_t begin, std::size_t end) const;

  Schema _schema;
  Codec _codec;
  int _zstd_level;
  std::size_t _page_bytes;
  Codecs _codecs;
  std::vector<std::uint8_t> _body;
  std::vector<std::uint8_t> _compressed;
  std::string _header;
};

// The file's schema as footer elements: the root, then one OPTIONAL leaf per column.
std::vector<SchemaElement> schema_elements(const Schema &schema);

// "event-historian version X (build Y)".
std::string created_by();

std::int32_t codec_wire_value(Codec codec);

} // namespace parquet
