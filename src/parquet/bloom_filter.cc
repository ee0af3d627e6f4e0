#include "parquet/bloom_filter.h"

#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cmath>

namespace parquet {
namespace {

constexpr std::uint32_t kSalt[8] = {0x47b6137bU, 0x44974d91U, 0x8824ad5bU, 0xa2b7289dU,
                                    0x705495c7U, 0x2df1424bU, 0x9efc4947U, 0x5c6bfb31U};
constexpr std::size_t kMinBytes = 32;
constexpr std::size_t kMaxBytes = std::size_t{128} << 20;

std::size_t block_of(std::uint64_t hash, std::size_t blocks) {
  return static_cast<std::size_t>(((hash >> 32) * blocks) >> 32);
}

} // namespace

std::size_t BloomFilter::optimal_bytes(std::size_t distinct, double fpp) {
  fpp = std::clamp(fpp, 1e-9, 0.5);
  const double bits = -8.0 * static_cast<double>(std::max<std::size_t>(distinct, 1)) /
                      std::log(1.0 - std::pow(fpp, 1.0 / 8.0));
  const double bytes = std::ceil(bits / 8.0);
  if (bytes >= static_cast<double>(kMaxBytes))
    return kMaxBytes;
  return std::clamp(std::bit_ceil(static_cast<std::size_t>(bytes)), kMinBytes, kMaxBytes);
}

BloomFilter::BloomFilter(std::size_t num_bytes) : _words(num_bytes / 4, 0) {}

BloomFilter::BloomFilter(std::vector<std::uint32_t> words) : _words(std::move(words)) {}

void BloomFilter::insert(std::uint64_t hash) {
  std::uint32_t *block = _words.data() + 8 * block_of(hash, _words.size() / 8);
  const auto key = static_cast<std::uint32_t>(hash);
  for (int i = 0; i < 8; ++i)
    block[i] |= std::uint32_t{1} << ((key * kSalt[i]) >> 27);
}

bool BloomFilter::might_contain(std::uint64_t hash) const {
  const std::uint32_t *block = _words.data() + 8 * block_of(hash, _words.size() / 8);
  const auto key = static_cast<std::uint32_t>(hash);
  for (int i = 0; i < 8; ++i) {
    if ((block[i] & (std::uint32_t{1} << ((key * kSalt[i]) >> 27))) == 0)
      return false;
  }
  return true;
}

std::uint64_t bloom_hash(std::string_view text) { return XXH64(text.data(), text.size(), 0); }

std::uint64_t bloom_hash(std::int64_t value) { return XXH64(&value, sizeof value, 0); }

} // namespace parquet
