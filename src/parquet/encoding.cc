#include "parquet/encoding.h"

#include <snappy.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "parquet/error.h"

namespace parquet {
namespace {

void put_varint(std::uint64_t value, ByteBuffer &out) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

// Bit-packed groups of 8 levels each; the last group is padded with zeros.
void put_bit_packed(const std::uint8_t *levels, std::size_t n, ByteBuffer &out) {
  const std::size_t groups = (n + 7) / 8;
  put_varint((groups << 1) | 1, out);
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint8_t byte = 0;
    const std::size_t end = std::min(n, g * 8 + 8);
    for (std::size_t i = g * 8; i < end; ++i)
      byte |= static_cast<std::uint8_t>(levels[i] << (i - g * 8));
    out.push_back(byte);
  }
}

void put_rle(std::size_t count, std::uint8_t value, ByteBuffer &out) {
  put_varint(static_cast<std::uint64_t>(count) << 1, out);
  out.push_back(value);
}

} // namespace

void encode_levels(const std::uint8_t *levels, std::size_t n, ByteBuffer &out) {
  // A literal run is flushed only at a multiple of 8 values, so every bit-packed run but the
  // last is unpadded and the runs line up with the levels.
  std::size_t literal_start = 0;
  std::size_t i = 0;
  while (i < n) {
    if ((i - literal_start) % 8 == 0) {
      const std::uint8_t v = levels[i];
      std::size_t run = 1;
      while (i + run < n && levels[i + run] == v)
        ++run;
      if (run >= 8) {
        if (i > literal_start)
          put_bit_packed(levels + literal_start, i - literal_start, out);
        put_rle(run, v, out);
        i += run;
        literal_start = i;
        continue;
      }
      i += run; // these values join the literal run
      continue;
    }
    ++i;
  }
  if (n > literal_start)
    put_bit_packed(levels + literal_start, n - literal_start, out);
}

namespace {

// The ULEB128 header of one run of the RLE/bit-packed hybrid at data[pos], advancing pos:
// its count (header >> 1) is checked to be neither 0 nor huge. what names the data in errors.
std::uint64_t read_run_header(const std::uint8_t *data, std::size_t size, std::size_t &pos,
                              const char *what) {
  std::uint64_t header = 0;
  for (int shift = 0;; shift += 7) {
    if (pos == size)
      throw Error(std::string(what) + " end early");
    if (shift > 35)
      throw Error(std::string(what) + " hold a run header that is too long");
    const std::uint8_t b = data[pos++];
    header |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0)
      break;
  }
  const std::uint64_t count = header >> 1;
  if (count == 0 || count > 0x7FFFFFFF)
    throw Error(std::string(what) + " hold an empty or huge run");
  return header;
}

} // namespace

std::size_t decode_levels(const std::uint8_t *data, std::size_t size, std::size_t n,
                          std::vector<std::uint8_t> &out) {
  std::size_t pos = 0;
  std::size_t done = 0;
  std::size_t ones = 0;
  while (done < n) {
    const std::uint64_t header = read_run_header(data, size, pos, "definition levels");
    const std::uint64_t count = header >> 1;
    if ((header & 1) == 0) {
      if (pos == size)
        throw Error("definition levels end early");
      const std::uint8_t v = data[pos++];
      if (v > 1)
        throw Error("definition levels exceed the column's maximum level 1");
      const std::size_t take = std::min<std::size_t>(count, n - done);
      out.insert(out.end(), take, v);
      ones += v * take;
      done += take;
    } else {
      if (count > size - pos)
        throw Error("definition levels end early");
      // count groups of 8 values, one byte each at bit width 1; values past n are padding.
      const std::size_t values = std::min<std::size_t>(count * 8, n - done);
      for (std::size_t k = 0; k < values; ++k) {
        const std::uint8_t v = (data[pos + k / 8] >> (k % 8)) & 1;
        out.push_back(v);
        ones += v;
      }
      pos += count;
      done += values;
    }
  }
  return ones;
}

int index_bit_width(std::size_t entries) {
  int width = 1;
  while (width < 32 && (std::uint64_t{1} << width) < entries)
    ++width;
  return width;
}

namespace {

// Appends values[0, n) bit-packed, LSB first, in groups of 8 (the last padded with zeros).
void put_packed_indices(const std::uint32_t *values, std::size_t n, int bit_width,
                        ByteBuffer &out) {
  const std::size_t groups = (n + 7) / 8;
  put_varint((groups << 1) | 1, out);
  const std::size_t at = out.size();
  out.resize(at + groups * static_cast<std::size_t>(bit_width), 0);
  std::uint8_t *dst = out.data() + at;
  std::uint64_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < groups * 8; ++i) {
    acc |= static_cast<std::uint64_t>(i < n ? values[i] : 0) << bits;
    bits += bit_width;
    while (bits >= 8) {
      *dst++ = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

} // namespace

void encode_rle_hybrid(const std::uint32_t *values, std::size_t n, int bit_width, ByteBuffer &out) {
  const std::size_t value_bytes = (static_cast<std::size_t>(bit_width) + 7) / 8;
  // As for the levels: a literal run is cut only at a multiple of 8 values.
  std::size_t literal_start = 0;
  std::size_t i = 0;
  while (i < n) {
    if ((i - literal_start) % 8 != 0) {
      ++i;
      continue;
    }
    const std::uint32_t v = values[i];
    std::size_t run = 1;
    while (i + run < n && values[i + run] == v)
      ++run;
    if (run >= 8) {
      if (i > literal_start)
        put_packed_indices(values + literal_start, i - literal_start, bit_width, out);
      put_varint(static_cast<std::uint64_t>(run) << 1, out);
      for (std::size_t b = 0; b < value_bytes; ++b)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
      i += run;
      literal_start = i;
    } else {
      i += run;
    }
  }
  if (n > literal_start)
    put_packed_indices(values + literal_start, n - literal_start, bit_width, out);
}

void decode_rle_hybrid(const std::uint8_t *data, std::size_t size, std::size_t n, int bit_width,
                       std::uint32_t *out) {
  if (bit_width < 0 || bit_width > 32)
    throw Error("dictionary indices have a bit width over 32");
  const std::size_t value_bytes = (static_cast<std::size_t>(bit_width) + 7) / 8;
  const std::uint64_t mask = (std::uint64_t{1} << bit_width) - 1;
  std::size_t pos = 0;
  std::size_t done = 0;
  while (done < n) {
    const std::uint64_t header = read_run_header(data, size, pos, "dictionary indices");
    const std::uint64_t count = header >> 1;
    if ((header & 1) == 0) {
      if (size - pos < value_bytes)
        throw Error("dictionary indices end early");
      std::uint32_t v = 0;
      for (std::size_t b = 0; b < value_bytes; ++b)
        v |= static_cast<std::uint32_t>(data[pos + b]) << (8 * b);
      pos += value_bytes;
      const std::size_t take = std::min<std::size_t>(count, n - done);
      std::fill(out + done, out + done + take, v);
      done += take;
    } else {
      const std::uint64_t bytes = count * static_cast<std::uint64_t>(bit_width);
      if (bytes > size - pos)
        throw Error("dictionary indices end early");
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(count * 8, n - done));
      const std::uint8_t *src = data + pos;
      std::uint64_t acc = 0;
      int bits = 0;
      for (std::size_t k = 0; k < take; ++k) {
        while (bits < bit_width) {
          acc |= static_cast<std::uint64_t>(*src++) << bits;
          bits += 8;
        }
        out[done + k] = static_cast<std::uint32_t>(acc & mask);
        acc >>= bit_width;
        bits -= bit_width;
      }
      pos += static_cast<std::size_t>(bytes);
      done += take;
    }
  }
}

bool is_valid_utf8(std::string_view text) {
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len)
      return false;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80)
        return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += len;
  }
  return true;
}

// Created on first use: most files use one codec, and a zstd context is large.
struct Codecs::Contexts {
  ZSTD_CCtx *cctx = nullptr;
  ZSTD_DCtx *dctx = nullptr;
  ~Contexts() {
    ZSTD_freeCCtx(cctx);
    ZSTD_freeDCtx(dctx);
  }
};

Codecs::Codecs() : _contexts(std::make_unique<Contexts>()) {}

Codecs::~Codecs() = default;

void Codecs::compress(Codec codec, int zstd_level, const std::uint8_t *data, std::size_t size,
                      ByteBuffer &out) {
  switch (codec) {
  case Codec::kUncompressed:
    out.assign(data, data + size);
    return;
  case Codec::kSnappy: {
    out.resize(snappy::MaxCompressedLength(size));
    std::size_t length = 0;
    snappy::RawCompress(reinterpret_cast<const char *>(data), size,
                        reinterpret_cast<char *>(out.data()), &length);
    out.resize(length);
    return;
  }
  case Codec::kZstd: {
    if (_contexts->cctx == nullptr)
      _contexts->cctx = ZSTD_createCCtx();
    if (_contexts->cctx == nullptr)
      throw Error("Cannot create a zstd compression context");
    out.resize(ZSTD_compressBound(size));
    const std::size_t length =
        ZSTD_compressCCtx(_contexts->cctx, out.data(), out.size(), data, size, zstd_level);
    if (ZSTD_isError(length)) {
      throw Error(std::string("zstd compression failed: ") + ZSTD_getErrorName(length));
    }
    out.resize(length);
    return;
  }
  }
}

void Codecs::decompress(Codec codec, const std::uint8_t *data, std::size_t size,
                        std::size_t uncompressed_size, ByteBuffer &out) {
  switch (codec) {
  case Codec::kUncompressed:
    if (size != uncompressed_size)
      throw Error("page sizes disagree for an uncompressed page");
    out.assign(data, data + size);
    return;
  case Codec::kSnappy: {
    std::size_t length = 0;
    const auto *in = reinterpret_cast<const char *>(data);
    if (!snappy::GetUncompressedLength(in, size, &length) || length != uncompressed_size) {
      throw Error("snappy page does not match its declared size");
    }
    out.resize(uncompressed_size);
    if (!snappy::RawUncompress(in, size, reinterpret_cast<char *>(out.data()))) {
      throw Error("snappy page does not decompress");
    }
    return;
  }
  case Codec::kZstd: {
    // A frame that states its size must state the page's, checked before allocating.
    const unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    if (declared == ZSTD_CONTENTSIZE_ERROR ||
        (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != uncompressed_size)) {
      throw Error("zstd page does not match its declared size");
    }
    if (_contexts->dctx == nullptr)
      _contexts->dctx = ZSTD_createDCtx();
    if (_contexts->dctx == nullptr)
      throw Error("Cannot create a zstd decompression context");
    out.resize(uncompressed_size);
    const std::size_t length =
        ZSTD_decompressDCtx(_contexts->dctx, out.data(), out.size(), data, size);
    if (ZSTD_isError(length) || length != uncompressed_size) {
      throw Error("zstd page does not decompress to its declared size");
    }
    return;
  }
  }
}

std::string_view codec_name(Codec codec) {
  switch (codec) {
  case Codec::kUncompressed:
    return "none";
  case Codec::kSnappy:
    return "snappy";
  case Codec::kZstd:
    return "zstd";
  }
  return "unknown";
}

} // namespace parquet
