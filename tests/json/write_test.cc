#include "json/write.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/json/python_oracle.h"
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

TEST(Dumps, WriteAppends) {
  std::string out = "x=";
  json::write(json::Value(1.5), out);
  EXPECT_EQ(out, "x=1.5");
}

} // namespace
