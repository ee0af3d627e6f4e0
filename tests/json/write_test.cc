#include "json/write.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/json/python_oracle.h"
#include "json/document.h"
#include "json/tape.h"
#include "json/utf8.h"
#include "json/value.h"

namespace {

using json_test::run_python;
using json_test::to_hex;

std::string bits_hex(double d) {
  std::string bytes(sizeof d, '\0');
  std::memcpy(bytes.data(), &d, sizeof d);
  return to_hex(bytes);
}

// UTF-8, with surrogates encoded as 3 bytes like any other BMP code point.
std::string encode(const std::vector<std::uint32_t> &code_points) {
  std::string out;
  for (const std::uint32_t cp : code_points)
    json::append_utf8(out, cp);
  return out;
}

TEST(FormatDouble, MatchesPythonRepr) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.1,
                                0.5,
                                1.5,
                                0.1 + 0.2,
                                1e16,
                                1e15,
                                9999999999999998.0,
                                1e-4,
                                1e-5,
                                0.00009999,
                                123456789012345.0,
                                1234567890123456.0,
                                12345678901234567.0,
                                1e22,
                                1e23,
                                5e-324,
                                DBL_MIN,
                                DBL_MAX,
                                -DBL_MAX,
                                2.5e-308,
                                1.7976931348623157e308,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()};
  for (int e = -330; e <= 310; ++e) {
    values.push_back(std::pow(10.0, e));
    values.push_back(-3.0 * std::pow(10.0, e));
  }
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    values.push_back(d);
  }
  // Doubles written in fixed notation: powers of two (whose interval is narrower below) with
  // their neighbours, and any bits from 2^-14 to 2^54.
  for (int e = -14; e <= 54; ++e) {
    const double p = std::ldexp(1.0, e);
    values.insert(values.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, 1e300)});
  }
  for (int i = 0; i < 5000; ++i) {
    const std::uint64_t bits = (rng() & 0x800FFFFFFFFFFFFFu) | (1009 + rng() % 68) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    values.push_back(d);
  }
  std::uniform_int_distribution<int> digits(0, 999999);
  std::uniform_int_distribution<int> scale(-8, 18);
  for (int i = 0; i < 10000; ++i) {
    values.push_back(digits(rng) * std::pow(10.0, scale(rng)));
    values.push_back(std::uniform_real_distribution<double>(-1e3, 1e3)(rng));
  }
  std::vector<std::string> inputs;
  for (const double d : values)
    inputs.push_back(bits_hex(d));
  const std::vector<std::string> want = run_python(R"(
import struct, sys
for line in sys.stdin:
    print(repr(struct.unpack('<d', bytes.fromhex(line.strip()))[0]))
)",
                                                   inputs);
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(json::format_double(values[i]), want[i]) << "bits " << inputs[i];
  }
}

// json.dumps of a text: the strings are handed over as UTF-8 (surrogates as their 3-byte
// form, which Python reads with "surrogatepass"; stray bytes with "surrogateescape").
constexpr const char *kDumpsScript = R"(
import json, sys
for line in sys.stdin:
    handler, data = line.rstrip('\n').split(' ')
    print(json.dumps(bytes.fromhex(data).decode('utf-8', handler)))
)";

TEST(Dumps, StringsMatchPython) {
  std::mt19937 rng(99);
  const auto pick = [&rng](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  std::vector<std::string> texts;
  std::vector<std::string> inputs;
  for (std::uint32_t cp = 0; cp < 0x100; ++cp) {
    texts.push_back(encode({cp, 'x', cp}));
    // At either end of texts that are read a word at a time.
    texts.push_back(encode({cp}) + "abcdefg" + encode({cp}));
    texts.push_back("0123456789abcdef" + encode({cp}));
  }
  for (int i = 0; i < 3000; ++i) {
    std::vector<std::uint32_t> cps;
    const std::uint32_t n = pick(0, 12);
    for (std::uint32_t k = 0; k < n; ++k) {
      switch (pick(0, 5)) {
      case 0:
        cps.push_back(pick(0, 0x7F));
        break;
      case 1:
        cps.push_back(pick(0x80, 0x7FF));
        break;
      case 2:
        cps.push_back(pick(0x800, 0xFFFF)); // surrogates included
        break;
      case 3:
        cps.push_back(pick(0xD800, 0xDFFF));
        break;
      case 4:
        cps.push_back(pick(0x10000, 0x10FFFF));
        break;
      default:
        cps.push_back(pick(0x20, 0x7E));
        break;
      }
    }
    texts.push_back(encode(cps));
  }
  for (const std::string &t : texts)
    inputs.push_back("surrogatepass " + to_hex(t));
  // Bytes that are not UTF-8 (no surrogate forms among them: those are ours to keep).
  const std::vector<std::string> stray = {"\xff",     "a\x80z",       "\xc3",
                                          "\xc3x",    "\xe2\x82",     "\xe2\x82x",
                                          "\xc0\x80", "\xe0\x80\x80", "\xf4\x90\x80\x80",
                                          "\xf5\x80", "\xf0\x9f\x98", "\xc3\xa9\xff\xc3\xa9"};
  for (const std::string &t : stray) {
    texts.push_back(t);
    inputs.push_back("surrogateescape " + to_hex(t));
  }
  const std::vector<std::string> want = run_python(kDumpsScript, inputs);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(json::dumps(json::Value(texts[i])), want[i]) << inputs[i];
  }
}

TEST(Dumps, ValuesOfEveryKind) {
  json::Object inner;
  inner.insert("k\xc3\xa9y", json::Value(json::Array{}));
  inner.insert("o", json::Value(json::Object{}));
  json::Object outer;
  outer.insert("z", json::Value(nullptr));
  outer.insert("a", json::Value(json::Array{json::Value(true), json::Value(false), json::Value(-7),
                                            json::Value(18446744073709551615ull),
                                            json::Value(json::BigInt{"-123456789012345678901"}),
                                            json::Value(-0.0), json::Value(1e16)}));
  outer.insert("n",
               json::Value(json::Array{json::Value(std::numeric_limits<double>::quiet_NaN()),
                                       json::Value(std::numeric_limits<double>::infinity()),
                                       json::Value(-std::numeric_limits<double>::infinity())}));
  outer.insert("i", json::Value(std::move(inner)));
  EXPECT_EQ(json::dumps(json::Value(std::move(outer))),
            "{\"z\": null, \"a\": [true, false, -7, 18446744073709551615, "
            "-123456789012345678901, -0.0, 1e+16], \"n\": [NaN, Infinity, -Infinity], "
            "\"i\": {\"k\\u00e9y\": [], \"o\": {}}}");
}

TEST(Dumps, NonFiniteAsNullAtAnyDepth) {
  const double inf = std::numeric_limits<double>::infinity();
  json::Object inner;
  inner.insert("x", json::Value(inf));
  json::Object o;
  o.insert("r", json::Value(std::numeric_limits<double>::quiet_NaN()));
  o.insert("a", json::Value(json::Array{json::Value(-inf), json::Value(2.5), json::Value(3)}));
  o.insert("o", json::Value(std::move(inner)));
  EXPECT_EQ(json::dumps(json::Value(std::move(o)), json::NonFinite::kNull),
            "{\"r\": null, \"a\": [null, 2.5, 3], \"o\": {\"x\": null}}");
}

TEST(WriteTape, IntoFixedRoomOrNotAtAll) {
  // Every kind of value, and objects whose keys are told apart each way (a few, up to 128, more),
  // with and without a repeated key (written as the tree holds it).
  std::string members;
  for (int i = 0; i < 130; ++i)
    members += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  const std::string text =
      R"({"s": ["", "a\"\\\u00e9\ud83d\ude00\u001f~", "0123456789abcdefghij"],)"
      R"( "n": [0, -1, 18446744073709551615, 0.1, -2.5e-300, 1e22, 123456.789, -0.0],)"
      R"( "t": [true, false, null, {}, [[]]], "few": {"x": 1, "y": {"x": 2}, "x": 3},)"
      R"( "some": {"a0": 0, "a1": 1, "a2": 2, "a3": 3, "a4": 4, "a5": 5, "a6": 6, "a7": 7,)"
      R"( "a8": 8, "a9": "nine"}, "again": {"a0": 0, "a1": 1, "a2": 2, "a3": 3, "a4": 4,)"
      R"( "a5": 5, "a6": 6, "a7": 7, "a8": 8, "a1": "again"}, "many": {)" +
      members + R"("k7": "again"}, "distinct": {)" + members + R"("last": 1}})";
  const std::optional<json::Document> doc = json::Document::parse(text);
  ASSERT_TRUE(doc);
  const json::tape::Tape tape = doc->tape();
  const json::tape::Node root = json::tape::root(&tape);
  const std::string want = json::dumps(doc->to_value());
  std::string appended = "x";
  json::write(root, appended);
  EXPECT_EQ(appended, "x" + want);
  // Room of exactly each size, so that a store past it is an error under AddressSanitizer:
  // too little room gives nothing, then every size gives the text.
  std::optional<std::size_t> fits_from;
  for (std::size_t size = 0; size <= want.size() + 64; ++size) {
    const auto room = std::make_unique<char[]>(size);
    const std::optional<std::size_t> n = json::write(root, room.get(), size);
    if (n) {
      EXPECT_EQ(std::string_view(room.get(), *n), want) << size;
      fits_from = fits_from.value_or(size);
    } else {
      EXPECT_FALSE(fits_from) << "no room at " << size << " after room at " << *fits_from;
    }
  }
  EXPECT_TRUE(fits_from) << want.size();
}

TEST(Dumps, WriteAppends) {
  std::string out = "x=";
  json::write(json::Value(1.5), out);
  EXPECT_EQ(out, "x=1.5");
}

} // namespace
