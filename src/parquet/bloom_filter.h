#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace parquet {

// The format's split-block bloom filter: 32-byte blocks of eight 32-bit words; a value sets
// one bit in each word of the block its hash picks. Values are hashed with xxHash64 (seed 0)
// over their PLAIN bytes without a length prefix: the text's bytes, an int64's 8 bytes.
class BloomFilter {
public:
  // The size in bytes for `distinct` values at false-positive probability fpp: a power of two
  // between 32 bytes and 128 MiB.
  static std::size_t optimal_bytes(std::size_t distinct, double fpp);

  explicit BloomFilter(std::size_t num_bytes); // Requires: a multiple of 32, at least 32.
  // Takes a bitset as stored in a file. Requires: its size is a positive multiple of 32.
  explicit BloomFilter(std::vector<std::uint32_t> words);

  void insert(std::uint64_t hash);
  bool might_contain(std::uint64_t hash) const;
  // The bitset as the file holds it (little-endian words).
  const std::uint8_t *data() const { return reinterpret_cast<const std::uint8_t *>(_words.data()); }
  std::size_t size() const { return _words.size() * 4; }

private:
  std::vector<std::uint32_t> _words;
};

std::uint64_t bloom_hash(std::string_view text);
std::uint64_t bloom_hash(std::int64_t value);

} // namespace parquet
