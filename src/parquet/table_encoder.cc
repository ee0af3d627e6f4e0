#include "parquet/table_encoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "parquet/bloom_filter.h"
#include "parquet/error.h"

#ifndef HISTORIAN_BUILD_ID
#define HISTORIAN_BUILD_ID "unknown"
#endif

namespace parquet {

static_assert(std::endian::native == std::endian::little,
              "PLAIN values are copied as they lie in memory");

namespace {

std::int32_t physical_type(Type type) {
  switch (type) {
  case Type::kString:
    return kTypeByteArray;
  case Type::kInt64:
    return kTypeInt64;
  case Type::kDouble:
    return kTypeDouble;
  case Type::kBool:
    return kTypeBoolean;
  }
  return kTypeByteArray;
}

std::size_t count_present(const std::uint8_t *valid, std::size_t n) {
  std::size_t present = 0;
  for (std::size_t i = 0; i < n; ++i)
    present += valid[i];
  return present;
}

template <class T> std::string plain_bytes(T value) {
  std::string bytes(sizeof(T), '\0');
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

std::int32_t checked_i32(std::size_t n) {
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw Error("Page of " + std::to_string(n) + " bytes is too large");
  }
  return static_cast<std::int32_t>(n);
}

} // namespace

// Statistics of one column chunk, merged page by page.
struct TableEncoder::PageStats {
  std::int64_t nulls = 0;
  std::int64_t nans = 0;
  bool any = false; // a value that takes part in min/max was seen
  std::int64_t min_int = 0, max_int = 0;
  double min_double = 0, max_double = 0;
  bool any_false = false, any_true = false;
  std::string_view min_text, max_text;
  bool text_too_long = false;
};

std::int32_t codec_wire_value(Codec codec) {
  switch (codec) {
  case Codec::kUncompressed:
    return kCodecUncompressed;
  case Codec::kSnappy:
    return kCodecSnappy;
  case Codec::kZstd:
    return kCodecZstd;
  }
  return kCodecUncompressed;
}

std::string created_by() {
  return std::string("event-historian version ") + HISTORIAN_VERSION + " (build " +
         HISTORIAN_BUILD_ID + ")";
}

std::vector<SchemaElement> schema_elements(const Schema &schema) {
  std::vector<SchemaElement> elements;
  elements.reserve(schema.size() + 1);
  SchemaElement root;
  root.name = "schema";
  root.num_children = static_cast<std::int32_t>(schema.size());
  elements.push_back(root);
  for (const Field &f : schema.fields()) {
    SchemaElement leaf;
    leaf.type = physical_type(f.type);
    leaf.repetition_type = kRepetitionOptional;
    leaf.name = f.name;
    if (f.type == Type::kString) {
      // Both annotations: some readers only look at one of them.
      leaf.converted_type = kConvertedUtf8;
      leaf.logical_type = LogicalType{kLogicalString, std::nullopt, std::nullopt};
    }
    elements.push_back(std::move(leaf));
  }
  return elements;
}

TableEncoder::TableEncoder(const Schema &schema, const WriterOptions &options)
    : _schema(schema), _codec(options.codec), _zstd_level(options.zstd_level),
      _page_bytes(static_cast<std::size_t>(
          std::clamp<std::int64_t>(options.page_bytes, 1024, std::int64_t{64} << 20))),
      _dictionary(options.dictionary),
      _dictionary_bytes(static_cast<std::size_t>(
          std::clamp<std::int64_t>(options.dictionary_page_bytes, 0, std::int64_t{64} << 20))),
      _bloom_filters(options.bloom_filters), _bloom_fpp(options.bloom_fpp) {}

RowGroup TableEncoder::write_row_group(const Table &table, std::size_t begin, std::size_t end,
                                       OutputFile &out) {
  RowGroup group;
  group.num_rows = static_cast<std::int64_t>(end - begin);
  group.file_offset = static_cast<std::int64_t>(out.position());
  std::int64_t uncompressed = 0;
  std::int64_t compressed = 0;
  group.columns.reserve(_schema.size());
  _blooms.clear();
  for (std::size_t c = 0; c < _schema.size(); ++c) {
    group.columns.push_back(_write_column(c, table.columns[c], begin, end, out));
    const ColumnMetaData &m = *group.columns.back().meta_data;
    uncompressed += *m.total_uncompressed_size;
    compressed += *m.total_compressed_size;
  }
  // The row group's bloom filters follow its column chunks, so that the merge can copy a row
  // group with them in one piece.
  for (const auto &[column, bytes] : _blooms) {
    ColumnMetaData &m = *group.columns[column].meta_data;
    m.bloom_filter_offset = static_cast<std::int64_t>(out.position());
    m.bloom_filter_length = checked_i32(bytes.size());
    out.write(bytes);
  }
  _blooms.clear();
  group.total_byte_size = uncompressed;
  group.total_compressed_size = compressed;
  return group;
}

std::size_t TableEncoder::_page_end(const Column &column, std::size_t begin,
                                    std::size_t end) const {
  const std::size_t limit = std::min(end, begin + kMaxPageRows);
  switch (column.type) {
  case Type::kInt64:
  case Type::kDouble:
    return std::min(limit, begin + std::max<std::size_t>(1, _page_bytes / 8));
  case Type::kBool:
    return limit;
  case Type::kString: {
    std::size_t bytes = 0;
    std::size_t r = begin;
    while (r < limit && bytes < _page_bytes) {
      if (column.valid[r])
        bytes += 4 + column.strings[r].size();
      ++r;
    }
    return r;
  }
  }
  return limit;
}

void TableEncoder::_put_levels(const std::uint8_t *valid, std::size_t n, std::size_t present) {
  // Body: 4-byte length of the level runs, the runs, then the values.
  static constexpr std::uint8_t kLengthPlaceholder[4] = {};
  _body.assign(kLengthPlaceholder, kLengthPlaceholder + 4);
  if (present == n || present == 0) {
    // One RLE run: varint(n << 1) and the level byte, appended at once.
    std::uint8_t run[12];
    std::size_t length = 0;
    std::uint64_t header = static_cast<std::uint64_t>(n) << 1;
    while (header >= 0x80) {
      run[length++] = static_cast<std::uint8_t>((header & 0x7F) | 0x80);
      header >>= 7;
    }
    run[length++] = static_cast<std::uint8_t>(header);
    run[length++] = present == n ? 1 : 0;
    _body.insert(_body.end(), run, run + length);
  } else {
    encode_levels(valid, n, _body);
  }
  const auto level_bytes = static_cast<std::uint32_t>(_body.size() - 4);
  std::memcpy(_body.data(), &level_bytes, 4);
}

void TableEncoder::_write_page(PageHeader header, OutputFile &out, std::int64_t &uncompressed,
                               std::int64_t &compressed) {
  const std::uint8_t *stored = _body.data();
  std::size_t stored_size = _body.size();
  if (_codec != Codec::kUncompressed) {
    _codecs.compress(_codec, _zstd_level, _body.data(), _body.size(), _compressed);
    stored = _compressed.data();
    stored_size = _compressed.size();
  }
  header.uncompressed_page_size = checked_i32(_body.size());
  header.compressed_page_size = checked_i32(stored_size);
  _header.clear();
  serialize(header, _header);
  out.write(_header);
  out.write(stored, stored_size);
  uncompressed += static_cast<std::int64_t>(_header.size() + _body.size());
  compressed += static_cast<std::int64_t>(_header.size() + stored_size);
}

bool TableEncoder::_build_dictionary(const Column &column, std::size_t begin, std::size_t end,
                                     std::size_t present) {
  const bool text = column.type == Type::kString;
  _entry_texts.clear();
  _entry_ints.clear();
  _entry_hashes.clear();
  _indices.clear();
  _indices.reserve(present);
  _slots.assign(1024, 0);
  std::size_t mask = _slots.size() - 1;
  std::size_t dictionary_bytes = 0;
  std::size_t plain_bytes = 0;
  const std::uint8_t *valid = column.valid.data();
  std::uint32_t previous = 0;
  bool has_previous = false;
  for (std::size_t r = begin; r < end; ++r) {
    if (!valid[r])
      continue;
    // Neighbouring rows often repeat a value (one run, one episode): no lookup then.
    if (text) {
      const std::string &v = column.strings[r];
      plain_bytes += 4 + v.size();
      if (has_previous && _entry_texts[previous] == v) {
        _indices.push_back(previous);
        continue;
      }
    } else {
      plain_bytes += 8;
      if (has_previous && _entry_ints[previous] == column.ints[r]) {
        _indices.push_back(previous);
        continue;
      }
    }
    const std::uint64_t hash =
        text ? bloom_hash(std::string_view(column.strings[r])) : bloom_hash(column.ints[r]);
    std::size_t slot = static_cast<std::size_t>(hash) & mask;
    std::uint32_t index = 0;
    for (;; slot = (slot + 1) & mask) {
      const std::uint32_t held = _slots[slot];
      if (held == 0) {
        index = static_cast<std::uint32_t>(_entry_hashes.size());
        if (text) {
          dictionary_bytes += 4 + column.strings[r].size();
          _entry_texts.emplace_back(column.strings[r]);
        } else {
          dictionary_bytes += 8;
          _entry_ints.push_back(column.ints[r]);
        }
        if (dictionary_bytes > _dictionary_bytes)
          return false;
        _entry_hashes.push_back(hash);
        _slots[slot] = index + 1;
        if (_entry_hashes.size() * 2 > _slots.size()) {
          _slots.assign(_slots.size() * 2, 0);
          mask = _slots.size() - 1;
          for (std::size_t e = 0; e < _entry_hashes.size(); ++e) {
            std::size_t s2 = static_cast<std::size_t>(_entry_hashes[e]) & mask;
            while (_slots[s2] != 0)
              s2 = (s2 + 1) & mask;
            _slots[s2] = static_cast<std::uint32_t>(e + 1);
          }
        }
        break;
      }
      const std::uint32_t e = held - 1;
      if (_entry_hashes[e] == hash &&
          (text ? _entry_texts[e] == column.strings[r] : _entry_ints[e] == column.ints[r])) {
        index = e;
        break;
      }
    }
    _indices.push_back(index);
    previous = index;
    has_previous = true;
  }
  const std::size_t index_bytes =
      (present * static_cast<std::size_t>(index_bit_width(_entry_hashes.size())) + 7) / 8;
  return dictionary_bytes + index_bytes < plain_bytes;
}

ColumnChunk TableEncoder::_write_column(std::size_t index, const Column &column, std::size_t begin,
                                        std::size_t end, OutputFile &out) {
  const Field &field = _schema.field(index);
  ColumnChunk chunk;
  ColumnMetaData &meta = chunk.meta_data.emplace();
  meta.type = physical_type(field.type);
  meta.path_in_schema = {field.name};
  meta.codec = codec_wire_value(_codec);
  meta.num_values = static_cast<std::int64_t>(end - begin);

  PageStats stats;
  const std::size_t present = count_present(column.valid.data() + begin, end - begin);
  const bool dictionary_kind = field.type == Type::kString || field.type == Type::kInt64;
  if (_dictionary && dictionary_kind && present > 0 &&
      _build_dictionary(column, begin, end, present)) {
    _write_dictionary_pages(column, begin, end, meta, stats, out);
    if (_bloom_filters) {
      BloomFilter bloom(BloomFilter::optimal_bytes(_entry_hashes.size(), _bloom_fpp));
      for (std::uint64_t hash : _entry_hashes)
        bloom.insert(hash);
      std::string bytes;
      serialize(BloomFilterHeader{static_cast<std::int32_t>(bloom.size())}, bytes);
      bytes.append(reinterpret_cast<const char *>(bloom.data()), bloom.size());
      _blooms.emplace_back(index, std::move(bytes));
    }
  } else {
    _write_plain_pages(column, begin, end, meta, stats, out);
  }

  Statistics &s = meta.statistics.emplace();
  s.null_count = stats.nulls;
  bool exact = stats.any;
  switch (field.type) {
  case Type::kInt64:
    if (stats.any) {
      s.min_value = plain_bytes(stats.min_int);
      s.max_value = plain_bytes(stats.max_int);
    }
    break;
  case Type::kDouble:
    s.nan_count = stats.nans;
    // DuckDB orders NaN above every number and ignores nan_count, so min/max over the other
    // values would let it skip row groups that hold matching NaN rows.
    if (stats.any && stats.nans == 0) {
      s.min_value = plain_bytes(stats.min_double == 0.0 ? -0.0 : stats.min_double);
      s.max_value = plain_bytes(stats.max_double == 0.0 ? 0.0 : stats.max_double);
    } else {
      exact = false;
    }
    break;
  case Type::kBool:
    if (stats.any) {
      s.min_value = std::string(1, stats.any_false ? '\0' : '\1');
      s.max_value = std::string(1, stats.any_true ? '\1' : '\0');
    }
    break;
  case Type::kString:
    if (stats.any && !stats.text_too_long) {
      s.min_value = std::string(stats.min_text);
      s.max_value = std::string(stats.max_text);
    } else {
      exact = false;
    }
    break;
  }
  if (exact) {
    s.is_max_value_exact = true;
    s.is_min_value_exact = true;
  }
  return chunk;
}

void TableEncoder::_write_plain_pages(const Column &column, std::size_t begin, std::size_t end,
                                      ColumnMetaData &meta, PageStats &stats, OutputFile &out) {
  meta.encodings = {kEncodingPlain, kEncodingRle};
  meta.data_page_offset = static_cast<std::int64_t>(out.position());
  std::int64_t total_uncompressed = 0;
  std::int64_t total_compressed = 0;
  for (std::size_t page_begin = begin; page_begin < end;) {
    const std::size_t page_end = _page_end(column, page_begin, end);
    const std::size_t n = page_end - page_begin;
    const std::uint8_t *valid = column.valid.data() + page_begin;
    const std::size_t present = count_present(valid, n);
    stats.nulls += static_cast<std::int64_t>(n - present);
    _put_levels(valid, n, present);
    _encode_values(column, page_begin, page_end, present, stats);
    PageHeader header;
    header.type = kPageData;
    header.data_page_header =
        DataPageHeader{static_cast<std::int32_t>(n), kEncodingPlain, kEncodingRle, kEncodingRle};
    _write_page(header, out, total_uncompressed, total_compressed);
    page_begin = page_end;
  }
  meta.total_uncompressed_size = total_uncompressed;
  meta.total_compressed_size = total_compressed;
}

void TableEncoder::_write_dictionary_pages(const Column &column, std::size_t begin, std::size_t end,
                                           ColumnMetaData &meta, PageStats &stats,
                                           OutputFile &out) {
  const std::size_t entries = _entry_hashes.size();
  meta.encodings = {kEncodingPlain, kEncodingRle, kEncodingRleDictionary};
  meta.dictionary_page_offset = static_cast<std::int64_t>(out.position());
  std::int64_t total_uncompressed = 0;
  std::int64_t total_compressed = 0;

  // The dictionary page: the entries PLAIN. Every entry occurs, so the statistics come from
  // the entries alone.
  _body.clear();
  stats.any = true;
  if (column.type == Type::kString) {
    for (const std::string_view v : _entry_texts) {
      const auto length = static_cast<std::uint32_t>(v.size());
      const std::size_t at = _body.size();
      _body.resize(at + 4 + v.size());
      std::memcpy(_body.data() + at, &length, 4);
      std::copy(v.begin(), v.end(), _body.data() + at + 4);
      if (v.size() > kMaxTextStatisticsBytes)
        stats.text_too_long = true;
    }
    const auto [lo, hi] = std::minmax_element(_entry_texts.begin(), _entry_texts.end());
    stats.min_text = *lo;
    stats.max_text = *hi;
  } else {
    _body.resize(entries * 8);
    std::memcpy(_body.data(), _entry_ints.data(), entries * 8);
    const auto [lo, hi] = std::minmax_element(_entry_ints.begin(), _entry_ints.end());
    stats.min_int = *lo;
    stats.max_int = *hi;
  }
  PageHeader dictionary;
  dictionary.type = kPageDictionary;
  dictionary.dictionary_page_header =
      DictionaryPageHeader{static_cast<std::int32_t>(entries), kEncodingPlain};
  _write_page(dictionary, out, total_uncompressed, total_compressed);

  meta.data_page_offset = static_cast<std::int64_t>(out.position());
  const int width = index_bit_width(entries);
  const std::size_t max_rows =
      std::max<std::size_t>(8, _page_bytes * 8 / static_cast<std::size_t>(width));
  std::size_t index_at = 0;
  for (std::size_t page_begin = begin; page_begin < end;) {
    const std::size_t page_end = std::min({end, page_begin + kMaxPageRows, page_begin + max_rows});
    const std::size_t n = page_end - page_begin;
    const std::uint8_t *valid = column.valid.data() + page_begin;
    const std::size_t present = count_present(valid, n);
    stats.nulls += static_cast<std::int64_t>(n - present);
    _put_levels(valid, n, present);
    _body.push_back(static_cast<std::uint8_t>(width));
    encode_rle_hybrid(_indices.data() + index_at, present, width, _body);
    index_at += present;
    PageHeader header;
    header.type = kPageData;
    header.data_page_header = DataPageHeader{static_cast<std::int32_t>(n), kEncodingRleDictionary,
                                             kEncodingRle, kEncodingRle};
    _write_page(header, out, total_uncompressed, total_compressed);
    page_begin = page_end;
  }
  meta.total_uncompressed_size = total_uncompressed;
  meta.total_compressed_size = total_compressed;
}

void TableEncoder::_encode_values(const Column &column, std::size_t begin, std::size_t end,
                                  std::size_t present, PageStats &stats) {
  const std::size_t n = end - begin;
  const std::uint8_t *valid = column.valid.data() + begin;
  const std::size_t offset = _body.size();
  switch (column.type) {
  case Type::kDouble: {
    const double *values = column.doubles.data() + begin;
    _body.resize(offset + present * 8);
    std::uint8_t *dst = _body.data() + offset;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    std::int64_t nans = 0;
    if (present == n) {
      std::memcpy(dst, values, n * 8);
      for (std::size_t i = 0; i < n; ++i) {
        const double v = values[i];
        nans += v != v;
        lo = v < lo ? v : lo; // a NaN compares false and leaves lo as it is
        hi = v > hi ? v : hi;
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        if (!valid[i])
          continue;
        const double v = values[i];
        std::memcpy(dst, &v, 8);
        dst += 8;
        nans += v != v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
      }
    }
    stats.nans += nans;
    if (present > static_cast<std::size_t>(nans)) {
      if (!stats.any) {
        stats.min_double = lo;
        stats.max_double = hi;
        stats.any = true;
      } else {
        stats.min_double = std::min(stats.min_double, lo);
        stats.max_double = std::max(stats.max_double, hi);
      }
    }
    return;
  }
  case Type::kInt64: {
    const std::int64_t *values = column.ints.data() + begin;
    _body.resize(offset + present * 8);
    std::uint8_t *dst = _body.data() + offset;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    if (present == n) {
      std::memcpy(dst, values, n * 8);
      for (std::size_t i = 0; i < n; ++i) {
        lo = std::min(lo, values[i]);
        hi = std::max(hi, values[i]);
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        if (!valid[i])
          continue;
        std::memcpy(dst, &values[i], 8);
        dst += 8;
        lo = std::min(lo, values[i]);
        hi = std::max(hi, values[i]);
      }
    }
    if (present > 0) {
      if (!stats.any) {
        stats.min_int = lo;
        stats.max_int = hi;
        stats.any = true;
      } else {
        stats.min_int = std::min(stats.min_int, lo);
        stats.max_int = std::max(stats.max_int, hi);
      }
    }
    return;
  }
  case Type::kBool: {
    const std::uint8_t *values = column.bools.data() + begin;
    _body.resize(offset + (present + 7) / 8, 0);
    std::uint8_t *dst = _body.data() + offset;
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!valid[i])
        continue;
      const std::uint8_t v = values[i];
      dst[k / 8] |= static_cast<std::uint8_t>(v << (k % 8));
      stats.any_true |= v != 0;
      stats.any_false |= v == 0;
      ++k;
    }
    stats.any |= present > 0;
    return;
  }
  case Type::kString: {
    const std::string *values = column.strings.data() + begin;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (valid[i])
        bytes += 4 + values[i].size();
    }
    _body.resize(offset + bytes);
    std::uint8_t *dst = _body.data() + offset;
    for (std::size_t i = 0; i < n; ++i) {
      if (!valid[i])
        continue;
      const std::string &v = values[i];
      const auto length = static_cast<std::uint32_t>(v.size());
      std::memcpy(dst, &length, 4);
      std::copy(v.begin(), v.end(), dst + 4);
      dst += 4 + v.size();
      if (v.size() > kMaxTextStatisticsBytes) {
        stats.text_too_long = true;
      } else if (!stats.text_too_long) {
        // string_view compares bytes as unsigned char, the order the format asks for.
        const std::string_view view(v);
        if (!stats.any) {
          stats.min_text = stats.max_text = view;
          stats.any = true;
        } else if (view < stats.min_text) {
          stats.min_text = view;
        } else if (view > stats.max_text) {
          stats.max_text = view;
        }
      }
    }
    stats.any |= present > 0;
    return;
  }
  }
}

} // namespace parquet
