#include "parquet/encoding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "parquet/error.h"

namespace {

std::string hex(const std::vector<std::uint8_t> &bytes) {
  std::string out;
  char b[4];
  for (std::uint8_t c : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
    out += b;
  }
  return out;
}

std::vector<std::uint8_t> levels(const std::string &pattern) {
  std::vector<std::uint8_t> out;
  for (char c : pattern)
    out.push_back(c == '1');
  return out;
}

std::vector<std::uint8_t> encoded(const std::vector<std::uint8_t> &l) {
  parquet::ByteBuffer out;
  parquet::encode_levels(l.data(), l.size(), out);
  return {out.begin(), out.end()};
}

TEST(Levels, EncodeRunsAsTheReadersExpect) {
  const struct {
    std::string pattern;
    const char *bytes;
  } cases[] = {
      {std::string(10, '1'), "14 01"}, // one RLE run of 10 ones
      {std::string(10, '0'), "14 00"},
      {"101", "03 05"}, // one bit-packed group, least significant bit first
      {"11111111"
       "0",
       "10 01 03 00"},                            // 8 ones as a run, then a padded group
      {"0101010101010101", "05 AA AA"},           // two groups
      {"010" + std::string(10, '1'), "05 FA 1F"}, // no run starts at a multiple of 8
      {"01010101" + std::string(9, '1') + "0", "03 AA 12 01 03 00"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(hex(encoded(levels(c.pattern))), c.bytes) << c.pattern;
  }
}

TEST(Levels, RandomPatternsRoundTrip) {
  std::mt19937 random(5);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = 1 + random() % 2000;
    const unsigned run_bias = random() % 4;
    std::vector<std::uint8_t> l(n);
    std::uint8_t v = 0;
    std::size_t ones = 0;
    for (auto &x : l) {
      if (random() % (run_bias * 8 + 2) == 0)
        v ^= 1;
      x = v;
      ones += v;
    }
    const std::vector<std::uint8_t> bytes = encoded(l);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(parquet::decode_levels(bytes.data(), bytes.size(), n, back), ones) << trial;
    EXPECT_EQ(back, l) << trial;
  }
}

TEST(Levels, MalformedRunsAreRefused) {
  const struct {
    std::vector<std::uint8_t> bytes;
    std::size_t n;
    const char *message;
  } cases[] = {
      {{0x14, 0x02}, 10, "definition levels exceed the column's maximum level 1"},
      {{0x00, 0x01}, 10, "definition levels hold an empty or huge run"},
      {{0x14}, 10, "definition levels end early"},
      {{0x05, 0xFF}, 16, "definition levels end early"}, // two groups, one byte
      {{0x04, 0x01}, 10, "definition levels end early"}, // 2 of 10 values, then nothing
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},
       1,
       "definition levels hold a run header that is too long"},
  };
  for (const auto &c : cases) {
    std::vector<std::uint8_t> out;
    try {
      parquet::decode_levels(c.bytes.data(), c.bytes.size(), c.n, out);
      ADD_FAILURE() << c.message;
    } catch (const parquet::Error &e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Utf8, AcceptsWellFormedTextOnly) {
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii, longer than eight bytes", true},
      {"h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x8E\x89", true},
      {"\xF4\x8F\xBF\xBF", true}, // U+10FFFF
      {"\xEF\xBF\xBF", true},     // U+FFFF
      {std::string("a\0b", 3), true},
      {"\xC0\x80", false},         // overlong NUL
      {"\xE0\x80\x80", false},     // overlong
      {"\xF0\x80\x80\x80", false}, // overlong
      {"\xED\xA0\x80", false},     // surrogate
      {"\xF4\x90\x80\x80", false}, // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\x80", false},         // lone continuation
      {"abcdefgh\xC3", false}, // cut after the ASCII fast path
      {"\xE2\x9C", false},
      {"\xC3\x28", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(parquet::is_valid_utf8(c.text), c.valid) << c.text;
}

TEST(Codecs, RoundTripAndRefuseDamage) {
  parquet::Codecs codecs;
  parquet::ByteBuffer data(100000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 % 251 / 3);
  for (const parquet::Codec codec :
       {parquet::Codec::kUncompressed, parquet::Codec::kSnappy, parquet::Codec::kZstd}) {
    parquet::ByteBuffer packed, back;
    codecs.compress(codec, 3, data.data(), data.size(), packed);
    codecs.decompress(codec, packed.data(), packed.size(), data.size(), back);
    EXPECT_EQ(back, data) << parquet::codec_name(codec);
    EXPECT_THROW(codecs.decompress(codec, packed.data(), packed.size(), data.size() + 1, back),
                 parquet::Error)
        << parquet::codec_name(codec);
    if (codec != parquet::Codec::kUncompressed) {
      parquet::ByteBuffer broken = packed;
      for (std::size_t i = broken.size() / 2; i < broken.size(); ++i)
        broken[i] ^= 0x5A;
      EXPECT_THROW(codecs.decompress(codec, broken.data(), broken.size(), data.size(), back),
                   parquet::Error)
          << parquet::codec_name(codec);
    }
  }
}

} // namespace
