#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "parquet/encoding.h"
#include "parquet/io.h"
#include "parquet/metadata.h"
#include "parquet/options.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace parquet {

// Buffers reused from page to page while decoding; one per thread.
struct DecodeBuffers {
  Codecs codecs;
  ByteBuffer header;
  ByteBuffer stored;
  ByteBuffer body;
  ByteBuffer chunk;  // a whole small chunk, read at once
  Column dictionary; // the entries of the chunk's dictionary page
  std::vector<std::uint32_t> indices;
};

// An open file whose footer has been read and checked: everything the footer says was
// compared with the file size and with what this module reads, so the byte ranges below lie
// inside the file. Errors name the file.
class ParsedFile {
public:
  // Throws parquet::Error: "File '<path>' is damaged: ..." or "File '<path>' uses ..., which
  // this reader does not support".
  static ParsedFile open(InputFile input);

  const std::string &path() const { return _input.path(); }
  const InputFile &input() const { return _input; }
  const FileMetaData &metadata() const { return _meta; }
  const Schema &schema() const { return _schema; }
  std::int64_t num_rows() const { return *_meta.num_rows; }
  std::size_t num_row_groups() const { return _meta.row_groups.size(); }
  std::int64_t row_group_rows(std::size_t rg) const { return *_meta.row_groups[rg].num_rows; }
  const ColumnMetaData &chunk(std::size_t rg, std::size_t col) const {
    return *_meta.row_groups[rg].columns[col].meta_data;
  }
  Codec chunk_codec(std::size_t rg, std::size_t col) const;
  // Where the chunk's bytes start: its dictionary page, or else its first data page.
  std::uint64_t chunk_start(std::size_t rg, std::size_t col) const;
  // The serialized leaf schema elements, compared byte for byte by the merge.
  const std::vector<std::string> &leaf_bytes() const { return _leaf_bytes; }

  // Decodes column col of row group rg and appends its values to out, stopping after
  // max_rows rows when given. Requires: out.type is the column's type.
  void decode_chunk(std::size_t rg, std::size_t col, Column &out, DecodeBuffers &buffers,
                    std::size_t max_rows = std::numeric_limits<std::size_t>::max()) const;
  // Reads only the page headers of a chunk and checks that they add up (types, sizes, row
  // counts), without decompressing: the check the merge makes before copying a chunk.
  void check_chunk_pages(std::size_t rg, std::size_t col, DecodeBuffers &buffers) const;
  // Checks that the chunk's bloom filter, if it has one with a length, is a split-block filter
  // whose header and bitset fill exactly that length.
  void check_bloom_filter(std::size_t rg, std::size_t col, DecodeBuffers &buffers) const;

  [[noreturn]] void damaged(const std::string &detail) const;
  [[noreturn]] void unsupported(const std::string &feature) const;

private:
  explicit ParsedFile(InputFile input) : _input(std::move(input)) {}
  void _check_schema();
  void _check_row_groups(std::uint64_t footer_start);
  // Parses the page header at offset, inside a chunk ending at end; from in_memory (the bytes
  // [offset, end)) when given, else from the file.
  PageHeader _read_page_header(std::uint64_t offset, std::uint64_t end, const std::string &column,
                               DecodeBuffers &buffers, std::size_t &header_size,
                               const std::uint8_t *in_memory = nullptr) const;
  // Checks one page header; returns its row count (0 for a dictionary page, which may only
  // come first: `first`).
  std::size_t _check_page(const PageHeader &page, std::uint64_t body_end, std::uint64_t end,
                          const std::string &column, bool first, bool has_dictionary) const;
  // Decodes a dictionary page's PLAIN entries into buffers.dictionary.
  void _decode_dictionary(const PageHeader &page, const std::uint8_t *body, std::size_t size,
                          Type type, const std::string &column, DecodeBuffers &buffers) const;
  // Appends the n rows of a dictionary-encoded page (bit width, then index runs) to out.
  void _append_dictionary_values(const std::uint8_t *values, std::size_t size, std::size_t n,
                                 std::size_t present, const std::uint8_t *valid, Type type,
                                 const std::string &column, Column &out,
                                 DecodeBuffers &buffers) const;

  InputFile _input;
  FileMetaData _meta;
  Schema _schema;
  std::vector<std::string> _leaf_bytes;
};

} // namespace parquet
