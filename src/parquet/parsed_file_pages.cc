#include "parquet/parsed_file.h"

#include <algorithm>
#include <cstring>

#include "parquet/error.h"
#include "parquet/parsed_file_internal.h"
#include "parquet/thrift_compact.h"

// Reading a chunk of an opened file: page headers read and checked, dictionary and data pages
// decoded, and the check of a chunk's bloom filter header.

namespace parquet {
namespace {

using detail::encoding_name;
using detail::quoted;

constexpr std::size_t kFirstHeaderWindow = 256;
// Our page headers are about 20 bytes; foreign ones with page statistics can be longer.
constexpr std::size_t kMaxPageHeaderBytes = std::size_t{1} << 20;
constexpr std::uint64_t kWholeChunkBytes = std::uint64_t{4} << 20;

} // namespace

PageHeader ParsedFile::_read_page_header(std::uint64_t offset, std::uint64_t end,
                                         const std::string &column, DecodeBuffers &buffers,
                                         std::size_t &header_size,
                                         const std::uint8_t *in_memory) const {
  const std::uint64_t left = end - offset;
  if (in_memory != nullptr) {
    try {
      return parse_page_header(in_memory, static_cast<std::size_t>(left), header_size);
    } catch (const ThriftError &e) {
      damaged("a page header of " + column + " does not parse (" + e.what() + ")");
    }
  }
  std::size_t window = static_cast<std::size_t>(std::min<std::uint64_t>(left, kFirstHeaderWindow));
  for (;;) {
    buffers.header.resize(window);
    _input.read(offset, window, buffers.header.data());
    try {
      return parse_page_header(buffers.header.data(), window, header_size);
    } catch (const ThriftError &e) {
      // A header longer than the window fails the same way as a broken one: widen and retry.
      if (window == left || window >= kMaxPageHeaderBytes) {
        damaged("a page header of " + column + " does not parse (" + e.what() + ")");
      }
      window = static_cast<std::size_t>(
          std::min<std::uint64_t>({left, std::uint64_t{window} * 16, kMaxPageHeaderBytes}));
    }
  }
}

std::size_t ParsedFile::_check_page(const PageHeader &page, std::uint64_t body_start,
                                    std::uint64_t end, const std::string &column, bool first,
                                    bool has_dictionary) const {
  if (!page.type)
    damaged("a page header of " + column + " has no type");
  switch (*page.type) {
  case kPageData:
    break;
  case kPageDictionary:
    if (!first)
      damaged(column + " has a dictionary page after its first page");
    break;
  case kPageDataV2:
    unsupported("data page version 2 (" + column + ")");
  case kPageIndex:
    unsupported("index pages (" + column + ")");
  default:
    damaged("a page of " + column + " has an unknown type");
  }
  if (!page.compressed_page_size || !page.uncompressed_page_size)
    damaged("a page header of " + column + " lacks its sizes");
  if (*page.compressed_page_size < 0 || *page.uncompressed_page_size < 0)
    damaged("a page header of " + column + " holds a negative size");
  if (static_cast<std::uint64_t>(*page.compressed_page_size) > end - body_start) {
    damaged("a page of " + column + " runs past the end of its column chunk");
  }
  if (static_cast<std::size_t>(*page.uncompressed_page_size) > kMaxPageBytes) {
    unsupported("pages larger than " + std::to_string(kMaxPageBytes) + " bytes (" + column + ")");
  }
  if (*page.type == kPageDictionary) {
    if (!page.dictionary_page_header || !page.dictionary_page_header->num_values ||
        *page.dictionary_page_header->num_values < 0) {
      damaged("a dictionary page header of " + column + " lacks its count");
    }
    const std::int32_t e = page.dictionary_page_header->encoding.value_or(kEncodingPlain);
    if (e != kEncodingPlain && e != kEncodingPlainDictionary)
      unsupported("a dictionary page in " + encoding_name(e) + " (" + column + ")");
    return 0;
  }
  if (!page.data_page_header)
    damaged("a page header of " + column + " lacks its sizes");
  const DataPageHeader &d = *page.data_page_header;
  if (!d.num_values || !d.encoding || !d.definition_level_encoding) {
    damaged("a page header of " + column + " lacks its counts or encodings");
  }
  if (*d.encoding == kEncodingRleDictionary || *d.encoding == kEncodingPlainDictionary) {
    if (!has_dictionary)
      damaged(column + " has dictionary indices but no dictionary page");
  } else if (*d.encoding != kEncodingPlain) {
    unsupported("encoding " + encoding_name(*d.encoding) + " (" + column + ")");
  }
  if (*d.definition_level_encoding != kEncodingRle) {
    unsupported("definition levels in " + encoding_name(*d.definition_level_encoding) + " (" +
                column + ")");
  }
  if (*d.num_values < 0)
    damaged("a page header of " + column + " holds a negative size");
  if (static_cast<std::size_t>(*d.num_values) > kMaxPageRows) {
    unsupported("pages of more than " + std::to_string(kMaxPageRows) + " rows (" + column + ")");
  }
  return static_cast<std::size_t>(*d.num_values);
}

void ParsedFile::_decode_dictionary(const PageHeader &page, const std::uint8_t *body,
                                    std::size_t size, Type type, const std::string &column,
                                    DecodeBuffers &buffers) const {
  const auto count = static_cast<std::size_t>(*page.dictionary_page_header->num_values);
  Column &dictionary = buffers.dictionary;
  dictionary = Column(type);
  switch (type) {
  case Type::kInt64:
  case Type::kDouble:
    if (size != count * 8)
      damaged(column + " has a dictionary page whose values do not fit");
    if (type == Type::kInt64) {
      dictionary.ints.resize(count);
      std::memcpy(dictionary.ints.data(), body, size);
    } else {
      dictionary.doubles.resize(count);
      std::memcpy(dictionary.doubles.data(), body, size);
    }
    break;
  case Type::kString: {
    if (count > size / 4)
      damaged(column + " has a dictionary page whose values do not fit");
    dictionary.strings.reserve(count);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (size - pos < 4)
        damaged(column + " has a dictionary page whose values do not fit");
      std::uint32_t length = 0;
      std::memcpy(&length, body + pos, 4);
      pos += 4;
      if (length > size - pos)
        damaged(column + " has a dictionary page whose values do not fit");
      const std::string_view text(reinterpret_cast<const char *>(body + pos), length);
      if (!is_valid_utf8(text))
        damaged(column + " holds text that is not valid UTF-8");
      dictionary.strings.emplace_back(text);
      pos += length;
    }
    if (pos != size)
      damaged(column + " has a dictionary page whose values do not fit");
    break;
  }
  case Type::kBool:
    unsupported("a dictionary of booleans (" + column + ")");
  }
}

void ParsedFile::_append_dictionary_values(const std::uint8_t *values, std::size_t size,
                                           std::size_t n, std::size_t present,
                                           const std::uint8_t *valid, Type type,
                                           const std::string &column, Column &out,
                                           DecodeBuffers &buffers) const {
  const Column &dictionary = buffers.dictionary;
  const std::size_t entries =
      dictionary.strings.size() + dictionary.ints.size() + dictionary.doubles.size();
  std::vector<std::uint32_t> &indices = buffers.indices;
  indices.resize(present);
  if (present > 0) {
    if (size == 0)
      damaged(column + " has a page without its index bit width");
    try {
      decode_rle_hybrid(values + 1, size - 1, present, values[0], indices.data());
    } catch (const Error &e) {
      damaged(column + ": " + e.what());
    }
    for (std::uint32_t index : indices) {
      if (index >= entries)
        damaged(column + " has a dictionary index past its dictionary");
    }
  }
  std::size_t k = 0;
  switch (type) {
  case Type::kString:
    for (std::size_t i = 0; i < n; ++i) {
      if (valid[i])
        out.strings.push_back(dictionary.strings[indices[k++]]);
      else
        out.strings.emplace_back();
    }
    break;
  case Type::kInt64:
    for (std::size_t i = 0; i < n; ++i)
      out.ints.push_back(valid[i] ? dictionary.ints[indices[k++]] : 0);
    break;
  case Type::kDouble:
    for (std::size_t i = 0; i < n; ++i)
      out.doubles.push_back(valid[i] ? dictionary.doubles[indices[k++]] : 0.0);
    break;
  case Type::kBool:
    unsupported("a dictionary of booleans (" + column + ")");
  }
}

void ParsedFile::check_bloom_filter(std::size_t rg, std::size_t col, DecodeBuffers &buffers) const {
  const ColumnMetaData &m = chunk(rg, col);
  if (!m.bloom_filter_offset || !m.bloom_filter_length)
    return;
  const std::string column = "the bloom filter of column " + quoted(_schema.field(col).name) +
                             " of row group " + std::to_string(rg);
  const auto length = static_cast<std::size_t>(*m.bloom_filter_length);
  const std::size_t window = std::min<std::size_t>(length, kFirstHeaderWindow);
  buffers.header.resize(window);
  _input.read(static_cast<std::uint64_t>(*m.bloom_filter_offset), window, buffers.header.data());
  std::size_t header_size = 0;
  BloomFilterHeader header;
  try {
    header = parse_bloom_filter_header(buffers.header.data(), window, header_size);
  } catch (const ThriftError &e) {
    damaged(column + " does not parse (" + e.what() + ")");
  }
  if (header.num_bytes < 32 || header.num_bytes % 32 != 0 ||
      header_size + static_cast<std::size_t>(header.num_bytes) != length) {
    damaged(column + " does not fill its length");
  }
}

void ParsedFile::check_chunk_pages(std::size_t rg, std::size_t col, DecodeBuffers &buffers) const {
  const ColumnMetaData &m = chunk(rg, col);
  const std::string column =
      "column " + quoted(_schema.field(col).name) + " of row group " + std::to_string(rg);
  std::uint64_t offset = chunk_start(rg, col);
  const std::uint64_t end = offset + static_cast<std::uint64_t>(*m.total_compressed_size);
  const std::uint64_t rows = static_cast<std::uint64_t>(*m.num_values);
  std::uint64_t seen = 0;
  bool first = true;
  bool has_dictionary = false;
  while (offset < end) {
    std::size_t header_size = 0;
    const PageHeader page = _read_page_header(offset, end, column, buffers, header_size);
    seen += _check_page(page, offset + header_size, end, column, first, has_dictionary);
    has_dictionary = has_dictionary || *page.type == kPageDictionary;
    first = false;
    if (seen > rows)
      damaged(column + " holds more values than rows");
    offset += header_size + static_cast<std::uint64_t>(*page.compressed_page_size);
  }
  if (seen != rows)
    damaged(column + " holds fewer values than rows");
}

void ParsedFile::decode_chunk(std::size_t rg, std::size_t col, Column &out, DecodeBuffers &buffers,
                              std::size_t max_rows) const {
  const ColumnMetaData &m = chunk(rg, col);
  const Codec codec = chunk_codec(rg, col);
  const Type type = _schema.field(col).type;
  const std::string column =
      "column " + quoted(_schema.field(col).name) + " of row group " + std::to_string(rg);
  std::uint64_t offset = chunk_start(rg, col);
  const std::uint64_t end = offset + static_cast<std::uint64_t>(*m.total_compressed_size);
  const auto rows = static_cast<std::size_t>(*m.num_values);
  bool first = true;
  bool has_dictionary = false;
  const std::size_t wanted = std::min(rows, max_rows);
  const std::size_t base = out.size();
  // The row count was checked against the chunk's bytes when the file was opened. Growing
  // geometrically keeps appends of many small row groups linear.
  if (out.valid.capacity() < base + wanted) {
    out.reserve(std::max(base + wanted, 2 * out.valid.capacity()));
  }

  // A small chunk decoded in full is read in one call instead of two per page.
  const std::uint64_t chunk_begin = offset;
  const bool in_memory = wanted == rows && end - offset <= kWholeChunkBytes;
  if (in_memory) {
    buffers.chunk.resize(static_cast<std::size_t>(end - offset));
    _input.read(offset, buffers.chunk.size(), buffers.chunk.data());
  }
  const auto at = [&](std::uint64_t position) -> const std::uint8_t * {
    return in_memory ? buffers.chunk.data() + (position - chunk_begin) : nullptr;
  };
  std::size_t done = 0;
  while (offset < end && done < wanted) {
    std::size_t header_size = 0;
    const PageHeader page =
        _read_page_header(offset, end, column, buffers, header_size, at(offset));
    const std::uint64_t body_start = offset + header_size;
    const std::size_t n = _check_page(page, body_start, end, column, first, has_dictionary);
    first = false;
    if (n > rows - done)
      damaged(column + " holds more values than rows");
    const auto stored_size = static_cast<std::size_t>(*page.compressed_page_size);
    const auto body_size = static_cast<std::size_t>(*page.uncompressed_page_size);
    const std::uint8_t *stored = at(body_start);
    if (stored == nullptr) {
      buffers.stored.resize(stored_size);
      _input.read(body_start, stored_size, buffers.stored.data());
      stored = buffers.stored.data();
    }
    try {
      buffers.codecs.decompress(codec, stored, stored_size, body_size, buffers.body);
    } catch (const Error &e) {
      damaged(column + ": " + e.what());
    }
    const std::uint8_t *body = buffers.body.data();
    if (*page.type == kPageDictionary) {
      _decode_dictionary(page, body, body_size, type, column, buffers);
      has_dictionary = true;
      offset = body_start + stored_size;
      continue;
    }
    if (body_size < 4)
      damaged(column + " has a page without definition levels");
    std::uint32_t level_bytes = 0;
    std::memcpy(&level_bytes, body, 4);
    if (level_bytes > body_size - 4)
      damaged(column + " has definition levels past its page");
    std::size_t present = 0;
    try {
      present = decode_levels(body + 4, level_bytes, n, out.valid);
    } catch (const Error &e) {
      damaged(column + ": " + e.what());
    }
    const std::uint8_t *values = body + 4 + level_bytes;
    const std::size_t values_size = body_size - 4 - level_bytes;
    const std::uint8_t *valid = out.valid.data() + out.valid.size() - n;
    if (*page.data_page_header->encoding != kEncodingPlain) {
      _append_dictionary_values(values, values_size, n, present, valid, type, column, out, buffers);
      done += n;
      offset = body_start + stored_size;
      continue;
    }
    switch (type) {
    case Type::kDouble:
    case Type::kInt64: {
      if (values_size != present * 8)
        damaged(column + " has a page whose values do not fit");
      const std::size_t at = type == Type::kDouble ? out.doubles.size() : out.ints.size();
      std::uint8_t *dst;
      if (type == Type::kDouble) {
        out.doubles.resize(at + n, 0.0);
        dst = reinterpret_cast<std::uint8_t *>(out.doubles.data() + at);
      } else {
        out.ints.resize(at + n, 0);
        dst = reinterpret_cast<std::uint8_t *>(out.ints.data() + at);
      }
      if (n == 0) {
        break;
      } else if (present == n) {
        std::memcpy(dst, values, n * 8);
      } else {
        const std::uint8_t *src = values;
        for (std::size_t i = 0; i < n; ++i) {
          if (!valid[i])
            continue;
          std::memcpy(dst + i * 8, src, 8);
          src += 8;
        }
      }
      break;
    }
    case Type::kBool: {
      if (values_size != (present + 7) / 8)
        damaged(column + " has a page whose values do not fit");
      std::size_t k = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (valid[i]) {
          out.bools.push_back((values[k / 8] >> (k % 8)) & 1);
          ++k;
        } else {
          out.bools.push_back(0);
        }
      }
      break;
    }
    case Type::kString: {
      std::size_t pos = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (!valid[i]) {
          out.strings.emplace_back();
          continue;
        }
        if (values_size - pos < 4)
          damaged(column + " has a page whose values do not fit");
        std::uint32_t length = 0;
        std::memcpy(&length, values + pos, 4);
        pos += 4;
        if (length > values_size - pos)
          damaged(column + " has a page whose values do not fit");
        std::string_view text(reinterpret_cast<const char *>(values + pos), length);
        if (!is_valid_utf8(text))
          damaged(column + " holds text that is not valid UTF-8");
        out.strings.emplace_back(text);
        pos += length;
      }
      if (pos != values_size)
        damaged(column + " has a page whose values do not fit");
      break;
    }
    }
    done += n;
    offset = body_start + stored_size;
  }
  if (done < wanted || (wanted == rows && offset != end)) {
    damaged(column + " holds " + std::to_string(done) + " values in pages for " +
            std::to_string(rows) + " rows");
  }
  if (done > wanted) {
    const std::size_t keep = base + wanted;
    out.valid.resize(keep);
    switch (type) {
    case Type::kString:
      out.strings.resize(keep);
      break;
    case Type::kInt64:
      out.ints.resize(keep);
      break;
    case Type::kDouble:
      out.doubles.resize(keep);
      break;
    case Type::kBool:
      out.bools.resize(keep);
      break;
    }
  }
}

} // namespace parquet
