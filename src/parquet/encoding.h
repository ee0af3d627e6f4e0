#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parquet/options.h"

namespace parquet {

// An allocator whose resize leaves new bytes uninitialized (unless given a value): page buffers
// are resized for every page and then filled in full, so zeroing them first is wasted work.
template <class T> class DefaultInitAllocator : public std::allocator<T> {
public:
  template <class U> struct rebind { using other = DefaultInitAllocator<U>; };
  DefaultInitAllocator() = default;
  template <class U> DefaultInitAllocator(const DefaultInitAllocator<U> &) noexcept {}
  template <class U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
  template <class U, class... Args> void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
};
using ByteBuffer = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

// Bounds shared by the writer and the reader. The writer never produces a page beyond them,
// and the reader refuses one, so that a hostile page cannot make it allocate without limit.
inline constexpr std::size_t kMaxPageRows = 1 << 17;
inline constexpr std::size_t kMaxPageBytes = std::size_t{256} << 20;
inline constexpr std::size_t kMaxTextBytes = std::size_t{128} << 20; // one text value
// The smallest page a chunk can hold (header plus body); bounds the rows a chunk can claim.
inline constexpr std::size_t kMinPageBytes = 16;

// Appends the RLE/bit-packed hybrid encoding (bit width 1) of levels[0, n), each 0 or 1,
// without the 4-byte length prefix.
void encode_levels(const std::uint8_t *levels, std::size_t n, ByteBuffer &out);

// Decodes n levels from data[0, size) and appends them to out. Returns the number of 1s.
// Throws Error("...") with a detail message on malformed runs.
std::size_t decode_levels(const std::uint8_t *data, std::size_t size, std::size_t n,
                          std::vector<std::uint8_t> &out);

// The RLE/bit-packed hybrid at any bit width (1..32), as dictionary indices use it: appends
// the runs encoding values[0, n), each below 2^bit_width, without a length prefix.
void encode_rle_hybrid(const std::uint32_t *values, std::size_t n, int bit_width, ByteBuffer &out);
// Decodes n values from data[0, size) into out[0, n). Throws Error on malformed runs.
void decode_rle_hybrid(const std::uint8_t *data, std::size_t size, std::size_t n, int bit_width,
                       std::uint32_t *out);
// The bit width of indices into a dictionary of `entries` values; at least 1.
int index_bit_width(std::size_t entries);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Compresses or decompresses one page body with a reusable context. A corrupt or wrongly
// sized input makes decompress throw Error with a detail message.
class Codecs {
public:
  Codecs();
  ~Codecs();
  Codecs(const Codecs &) = delete;
  Codecs &operator=(const Codecs &) = delete;

  // Compresses data into out (resized to the compressed length).
  void compress(Codec codec, int zstd_level, const std::uint8_t *data, std::size_t size,
                ByteBuffer &out);
  // Decompresses into out, which must end up exactly `uncompressed_size` bytes long.
  void decompress(Codec codec, const std::uint8_t *data, std::size_t size,
                  std::size_t uncompressed_size, ByteBuffer &out);

private:
  struct Contexts;
  std::unique_ptr<Contexts> _contexts;
};

std::string_view codec_name(Codec codec); // "none", "snappy", "zstd"

} // namespace parquet
