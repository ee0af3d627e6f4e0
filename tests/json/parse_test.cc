#include "json/parse.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/json/python_oracle.h"
#include "json/document.h"
#include "json/error.h"
#include "json/write.h"

namespace {

using json_test::run_python;
using json_test::to_hex;

// What json.loads makes of each text (given as hex bytes, decoded as strict UTF-8 first, as
// the stream envelope does): "OK " + json.dumps of the value, or "ERR " + the message.
constexpr const char *kLoadsScript = R"(
import json, sys
for line in sys.stdin:
    data = bytes.fromhex(line.strip())
    try:
        out = 'OK ' + json.dumps(json.loads(data.decode('utf-8')))
    except ValueError as e:
        out = 'ERR ' + str(e)
    print(out.encode('ascii', 'backslashreplace').decode('ascii'))
)";

std::string ours(std::string_view text) {
  try {
    return "OK " + json::dumps(json::parse(text));
  } catch (const json::ParseError &e) {
    return std::string("ERR ") + e.what();
  }
}

void expect_same_as_python(const std::vector<std::string> &texts) {
  std::vector<std::string> hex;
  for (const std::string &t : texts)
    hex.push_back(to_hex(t));
  const std::vector<std::string> want = run_python(kLoadsScript, hex);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(ours(texts[i]), want[i]) << "text (hex): " << hex[i] << "\n  text: " << texts[i];
  }
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += s;
  return out;
}

// Texts where parsers commonly differ from json.loads.
std::vector<std::string> tricky_corpus() {
  std::vector<std::string> c = {
      // literals and numbers
      "null",
      "true",
      "false",
      "0",
      "-0",
      "-0.0",
      "0.0",
      "1.5",
      "-1.5e10",
      "1E5",
      "1e-5",
      "1.0e+2",
      "123456789012345678",
      "9223372036854775807",
      "9223372036854775808",
      "-9223372036854775808",
      "-9223372036854775809",
      "18446744073709551615",
      "18446744073709551616",
      "-123456789012345678901234567890",
      "123456789012345678901234567890",
      "1e400",
      "-1e400",
      "1e-400",
      "-1e-400",
      "0.1000000000000000055511151231257827021181583404541015625",
      "2.4703282292062328e-324",
      "2.4703282292062327e-324",
      "1.7976931348623158e308",
      "1.7976931348623159e308",
      "4.9e-324",
      "0e999999999999999999",
      "1e99999999999999999999",
      "1e-99999999999999999999",
      "[1.5e308, 1.8e308, -0e5]",
      "NaN",
      "Infinity",
      "-Infinity",
      "[NaN, Infinity, -Infinity]",
      "-NaN",
      "+1",
      "+Infinity",
      "-Inf",
      "Inf",
      "nan",
      "infinity",
      "01",
      "-01",
      "00",
      "1.",
      ".5",
      "-",
      "--1",
      "1e",
      "1e+",
      "1E-",
      "1.e5",
      "0x10",
      "1_000",
      // strings
      "\"\"",
      "\"abc\"",
      "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"",
      "\"\\u0000\"",
      "\"\\u001f\\u007f\"",
      "\"\\u00e9\\u00E9\"",
      "\"\\ud83d\\ude00\"",
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"\\ud800\\udc00\"",
      "\"\\udc00\\ud800\"",
      "\"\\ud800\\u0041\"",
      "\"\\ud800x\"",
      "\"\\ud800\\ud800\\udc00\"",
      "\"\\udbff\\udfff\"",
      "\"\\u12\"",
      "\"\\u12x4\"",
      "\"\\u1234",
      "\"\\ud800\\udc0",
      "\"\\ud800\\udc00",
      "\"\\ud800\\u12x4\"",
      "\"\\x\"",
      "\"\\'\"",
      "\"ab",
      "\"a\\",
      "\"a\\\"",
      "\"a\tb\"",
      "\"a\nb\"",
      "\"a\x01\"",
      "\"\x7f\"",
      "\"\xc3\xa9\"",
      "\"\xe2\x82\xac\"",
      "\"\xf0\x9f\x98\x80\"",
      "\"\xef\xbf\xbf\"",
      // invalid UTF-8, anywhere in the text
      "\"\xff\"",
      "\"\xc3\"",
      "\"\xc3x\"",
      "\"\xe2\x82\"",
      "\"\xe2\x82x\"",
      "\"\xed\xa0\x80\"",
      "\"\xc0\x80\"",
      "\"\xe0\x80\x80\"",
      "\"\xf4\x90\x80\x80\"",
      "\"\xf5\"",
      "\"\x80\"",
      "[1, 2] \xff",
      "{\"a\": 1} \xe2\x82",
      "\xef\xbb\xbf[1]",
      "\xef\xbb\xbf",
      // structure
      "",
      " ",
      "\t\n\r [ ] \t\n\r",
      "[]",
      "{}",
      "[1,]",
      "[,1]",
      "[1 2]",
      "[1,,2]",
      "[",
      "]",
      "{",
      "}",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{\"a\":}",
      "{a:1}",
      "{'a':1}",
      "{\"a\":1",
      "{1:2}",
      "[1] x",
      "1 2",
      "[1]]",
      "{}}",
      "\f1",
      "\v1",
      "[1,\f2]",
      "\xc2\xa0"
      "1",
      std::string("[1]\x00", 4),
      std::string("[\x00]", 3),
      "nul",
      "nulll",
      "tru",
      "True",
      "[-]",
      "[1]\n\n  x",
      "\"\xc3\xa9\" x",
      "\n\n  [1,",
      // repeated keys keep the first place and the last value
      "{\"a\": 1, \"b\": 2, \"a\": 3}",
      "{\"a\": 1, \"a\": {\"a\": 2, \"a\": [3]}}",
      "{\"\": 1, \"\": 2}",
      "{\"\\u0061\": 1, \"a\": 2}",
      "{\"x\": 1, \"y\": 2, \"x\": NaN}",
  };
  // 64 keys with repeats (the bitmap path) and 300 keys with repeats (the hash table path).
  for (const int n : {64, 300}) {
    std::string obj = "{";
    for (int i = 0; i < n; ++i) {
      if (i > 0)
        obj += ", ";
      obj += "\"joint_" + std::to_string(i % (n / 2 + 7)) + "\": " + std::to_string(i);
    }
    c.push_back(obj + "}");
  }
  // The integer digit limit of CPython.
  c.push_back(repeat("7", 4300));
  c.push_back("-" + repeat("7", 4300));
  c.push_back(repeat("7", 4301));
  c.push_back("1." + repeat("3", 5000));
  return c;
}

TEST(Parse, TrickyCorpusMatchesPython) { expect_same_as_python(tricky_corpus()); }

// Generates JSON-like texts: valid documents in varied spacing, half of them then damaged by
// a few random edits, so that both parsers meet errors at every kind of place.
class TextGenerator {
public:
  explicit TextGenerator(unsigned seed) : _rng(seed) {}

  std::string document() {
    std::string text;
    value(text, 0);
    if (pick(2) == 0)
      damage(text);
    return text;
  }

private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(_rng); }

  void space(std::string &out) {
    static constexpr const char *kSpaces[] = {"", "", "", " ", "\n", "\t ", "\r\n"};
    out += kSpaces[pick(7)];
  }

  void value(std::string &out, int depth) {
    const int kind = depth > 3 ? pick(6) : pick(8);
    switch (kind) {
    case 0: {
      static constexpr const char *kWords[] = {"null", "true",     "false",
                                               "NaN",  "Infinity", "-Infinity"};
      out += kWords[pick(6)];
      break;
    }
    case 1:
    case 2:
      number(out);
      break;
    case 3:
    case 4:
    case 5:
      string(out);
      break;
    case 6: {
      out += '[';
      const int n = pick(5);
      for (int i = 0; i < n; ++i) {
        if (i > 0)
          out += ',';
        space(out);
        value(out, depth + 1);
        space(out);
      }
      out += ']';
      break;
    }
    default: {
      out += '{';
      const int n = pick(5);
      for (int i = 0; i < n; ++i) {
        if (i > 0)
          out += ',';
        space(out);
        static constexpr const char *kKeys[] = {"\"a\"", "\"b\"",         "\"\\u0061\"",
                                                "\"\"",  "\"k\\u00e9y\"", "\"\xc3\xa9\""};
        out += kKeys[pick(6)];
        space(out);
        out += ':';
        space(out);
        value(out, depth + 1);
      }
      out += '}';
      break;
    }
    }
  }

  void number(std::string &out) {
    if (pick(2))
      out += '-';
    switch (pick(5)) {
    case 0:
      out += std::to_string(pick(1000));
      break;
    case 1:
      out += std::to_string(std::uniform_int_distribution<unsigned long long>()(_rng));
      out += pick(2) ? std::string("") : std::to_string(pick(100000));
      break;
    case 2:
      out += std::to_string(pick(100)) + "." + std::to_string(pick(1000000));
      break;
    case 3:
      out += std::to_string(pick(10)) + (pick(2) ? "e" : "E") + (pick(2) ? "-" : "+") +
             std::to_string(pick(400));
      break;
    default: {
      std::uniform_real_distribution<double> d(-1e6, 1e6);
      out += json::format_double(d(_rng));
      break;
    }
    }
  }

  void string(std::string &out) {
    static constexpr const char *kPieces[] = {"a",
                                              "Z",
                                              " ",
                                              "\\n",
                                              "\\\"",
                                              "\\\\",
                                              "\\/",
                                              "\\t",
                                              "\\u0041",
                                              "\\u00e9",
                                              "\\ud83d\\ude00",
                                              "\\ud800",
                                              "\\udfff",
                                              "\xc3\xa9",
                                              "\xe2\x82\xac",
                                              "\xf0\x9f\x98\x80",
                                              "\x7f",
                                              "NaN",
                                              "\\b\\f\\r"};
    out += '"';
    const int n = pick(6);
    for (int i = 0; i < n; ++i)
      out += kPieces[pick(19)];
    out += '"';
  }

  void damage(std::string &text) {
    static constexpr char kBytes[] = "{}[]:,\"\\ -+.eE019aNIunfl\x01\x1f\x7f\xc3\xa9\xed\xff";
    const int edits = 1 + pick(3);
    for (int e = 0; e < edits; ++e) {
      const auto at = static_cast<std::size_t>(pick(static_cast<int>(text.size()) + 1));
      switch (pick(3)) {
      case 0:
        if (at < text.size())
          text.erase(at, 1);
        break;
      case 1:
        text.insert(at, 1, kBytes[pick(sizeof kBytes - 1)]);
        break;
      default:
        if (at < text.size())
          text[at] = kBytes[pick(sizeof kBytes - 1)];
        break;
      }
    }
  }

  std::mt19937 _rng;
};

TEST(Parse, RandomAndDamagedTextsMatchPython) {
  TextGenerator gen(20240611);
  std::vector<std::string> texts;
  for (int i = 0; i < 4000; ++i)
    texts.push_back(gen.document());
  expect_same_as_python(texts);
}

// Equal trees, down to the bytes of every string and the bits of every double.
bool identical(const json::Value &a, const json::Value &b) {
  if (a.kind() != b.kind())
    return false;
  switch (a.kind()) {
  case json::Kind::kDouble: {
    const double x = a.as_double();
    const double y = b.as_double();
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  }
  case json::Kind::kArray: {
    const json::Array &x = a.as_array();
    const json::Array &y = b.as_array();
    if (x.size() != y.size())
      return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!identical(x[i], y[i]))
        return false;
    }
    return true;
  }
  case json::Kind::kObject: {
    const json::Object &x = a.as_object();
    const json::Object &y = b.as_object();
    if (x.size() != y.size())
      return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (x[i].first != y[i].first || !identical(x[i].second, y[i].second))
        return false;
    }
    return true;
  }
  default:
    return a == b;
  }
}

// The exact parser takes every text with NaN or Infinity; wrapping a text next to a NaN
// sends documents the fast parser accepts through it too, and both must build the same tree.
TEST(Parse, BothParsersBuildTheSameTree) {
  TextGenerator gen(7);
  int compared = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = gen.document();
    json::Value direct;
    try {
      direct = json::parse(text);
    } catch (const json::ParseError &) {
      continue;
    }
    const json::Value wrapped = json::parse("[" + text + ", NaN]");
    ASSERT_EQ(wrapped.as_array().size(), 2u) << text;
    EXPECT_TRUE(identical(wrapped.as_array()[0], direct)) << text;
    ++compared;
  }
  EXPECT_GT(compared, 1000);
}

TEST(Parse, IntegerKindsBySize) {
  const struct {
    const char *text;
    json::Kind kind;
  } cases[] = {
      {"0", json::Kind::kInt},
      {"-0", json::Kind::kInt},
      {"9223372036854775807", json::Kind::kInt},
      {"-9223372036854775808", json::Kind::kInt},
      {"9223372036854775808", json::Kind::kUint},
      {"18446744073709551615", json::Kind::kUint},
      {"18446744073709551616", json::Kind::kBigInt},
      {"-9223372036854775809", json::Kind::kBigInt},
      {"1.0", json::Kind::kDouble},
      {"1e2", json::Kind::kDouble},
  };
  for (const auto &c : cases) {
    const std::string wrapped = std::string("[").append(c.text).append(", NaN]");
    for (const std::string &text : {std::string(c.text), wrapped}) {
      const json::Value v = json::parse(text);
      const json::Value &x = v.is_array() ? v.as_array()[0] : v;
      EXPECT_EQ(x.kind(), c.kind) << text;
    }
  }
  EXPECT_EQ(json::parse("18446744073709551615").as_uint(), 18446744073709551615ull);
  EXPECT_EQ(json::parse("-9223372036854775808").as_int(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(json::parse("-123456789012345678901234567890").as_bigint().digits,
            "-123456789012345678901234567890");
  EXPECT_EQ(json::parse("[98765432109876543210]").as_array()[0].as_bigint().digits,
            "98765432109876543210");
}

TEST(Parse, NonFiniteAndSignedZero) {
  EXPECT_TRUE(std::isnan(json::parse("NaN").as_double()));
  EXPECT_EQ(json::parse("Infinity").as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(json::parse("-Infinity").as_double(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(json::parse("1e400").as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(json::parse("-1e400").as_double(), -std::numeric_limits<double>::infinity());
  const double tiny = json::parse("-1e-400").as_double();
  EXPECT_EQ(tiny, 0.0);
  EXPECT_TRUE(std::signbit(tiny));
  EXPECT_TRUE(std::signbit(json::parse("-0.0").as_double()));
  EXPECT_TRUE(std::signbit(json::parse("[-0.0, NaN]").as_array()[0].as_double()));
}

TEST(Parse, RepeatedKeyKeepsFirstPlaceAndLastValue) {
  for (const std::string text :
       {"{\"a\": 1, \"b\": 2, \"a\": 3}", "{\"a\": 1, \"b\": 2, \"a\": 3, \"c\": NaN}"}) {
    const json::Value v = json::parse(text);
    const json::Object &o = v.as_object();
    ASSERT_GE(o.size(), 2u) << text;
    EXPECT_EQ(o[0].first, "a") << text;
    EXPECT_EQ(o[0].second.as_int(), 3) << text;
    EXPECT_EQ(o[1].first, "b") << text;
  }
}

TEST(Parse, SurrogateEscapes) {
  // A pair gives the 4-byte UTF-8 of its code point; a lone surrogate its 3-byte form.
  EXPECT_EQ(json::parse("\"\\ud83d\\ude00\"").as_string(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(json::parse("[\"\\ud83d\\ude00\", NaN]").as_array()[0].as_string(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(json::parse("\"\\ud800\"").as_string(), "\xed\xa0\x80");
  EXPECT_EQ(json::parse("\"\\udc00\\ud800\"").as_string(), "\xed\xb0\x80\xed\xa0\x80");
  EXPECT_EQ(json::dumps(json::parse("\"\\ud800x\"")), "\"\\ud800x\"");
}

TEST(Parse, NestingLimit) {
  // The innermost NaN sends the text to the exact parser, the 0 to the fast one.
  for (const std::string &open : {std::string("["), std::string("{\"k\": [")}) {
    const std::string close = open == "[" ? "]" : "]}";
    const int levels = open == "[" ? json::kMaxDepth : json::kMaxDepth / 2;
    for (const std::string &inner : {std::string("0"), std::string("NaN")}) {
      const std::string deepest = repeat(open, levels) + inner + repeat(close, levels);
      EXPECT_NO_THROW(json::parse(deepest)) << open << inner;
      EXPECT_THROW(json::parse("[" + deepest + "]"), json::ParseError) << open << inner;
    }
  }
  // Far beyond the limit: refused without exhausting the stack.
  try {
    json::parse(repeat("[", 200000));
    ADD_FAILURE() << "no error";
  } catch (const json::ParseError &e) {
    EXPECT_STREQ(e.what(),
                 "Nesting exceeds the limit of 1000 arrays and objects: line 1 column 1001 "
                 "(char 1000)");
  }
  EXPECT_THROW(json::parse(repeat("{\"a\":", 200000)), json::ParseError);
}

// A text beyond 4 MiB makes both parsers let their buffers go afterwards; parsing goes on.
TEST(Parse, LargeTextsThroughBothParsers) {
  for (const std::string last : {"2", "NaN"}) {
    std::string text = "[";
    for (int i = 0; i < 1'500'000; ++i)
      text += "1, ";
    text += last + "]";
    EXPECT_EQ(json::parse(text).as_array().size(), 1'500'001u) << last;
    EXPECT_EQ(json::dumps(json::parse("{\"a\": [1, " + last + "]}")), "{\"a\": [1, " + last + "]}");
  }
}

TEST(Parse, ErrorMessagesCountCharactersNotBytes) {
  try {
    json::parse("[\"\xc3\xa9\xc3\xa9\",\n \"\xe2\x82\xac\" x]");
    ADD_FAILURE() << "no error";
  } catch (const json::ParseError &e) {
    EXPECT_STREQ(e.what(), "Expecting ',' delimiter: line 2 column 6 (char 12)");
  }
}

TEST(DecimalToDouble, RangeEnds) {
  const struct {
    const char *text;
    double want;
  } cases[] = {
      {"1.5", 1.5},
      {"+2e3", 2000.0},
      {"-.5", -0.5},
      {"5.", 5.0},
      {"1e309", std::numeric_limits<double>::infinity()},
      {"-1e309", -std::numeric_limits<double>::infinity()},
      {"0.000001e315", std::numeric_limits<double>::infinity()},
      {"1e-400", 0.0},
      {"123456789e-330", 1.23456789e-322},
      {"0e400", 0.0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(json::decimal_to_double(c.text), c.want) << c.text;
  EXPECT_TRUE(std::signbit(json::decimal_to_double("-1e-400")));
}

} // namespace

namespace {

// A Document takes exactly the texts the fast parser takes, and its tree is parse()'s.
TEST(Document, ToValueIsWhatParseGives) {
  TextGenerator gen(99);
  int taken = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = gen.document();
    const std::optional<json::Document> document = json::Document::parse(text);
    if (!document)
      continue;
    ++taken;
    EXPECT_TRUE(identical(document->to_value(), json::parse(text))) << text;
  }
  EXPECT_GT(taken, 1000);
  // Repeated keys: the last value in the first key's place.
  EXPECT_EQ(json::dumps(json::Document::parse(R"({"a": 1, "b": 2, "a": 3})")->to_value()),
            R"({"a": 3, "b": 2})");
}

TEST(Document, LeavesTheRestToTheFullParser) {
  for (const char *text : {"[NaN]", "[-Infinity]", "[1180591620717411303424]", "[1e400]",
                           R"(["\ud800"])", "[1,]", "{\"a\" 1}", "", "\xff"}) {
    EXPECT_FALSE(json::Document::parse(text).has_value()) << text;
  }
  // A text with the word NaN inside a string is the fast parser's.
  EXPECT_EQ(json::Document::parse(R"(["NaN"])")->to_value(), json::parse(R"(["NaN"])"));
  // Nesting at the limit is taken, or left to parse(), which takes it too; one deeper is
  // refused by both.
  const std::string deepest = repeat("[", json::kMaxDepth) + "0" + repeat("]", json::kMaxDepth);
  if (auto document = json::Document::parse(deepest)) {
    EXPECT_NO_THROW(document->to_value());
  }
  EXPECT_FALSE(json::Document::parse("[" + deepest + "]").has_value());
}

TEST(Document, EachKeepsItsOwnTreeWhileOthersAreParsed) {
  std::vector<json::Document> kept;
  for (int i = 0; i < 20; ++i) {
    std::string text = "{\"n\": " + std::to_string(i) + ", \"s\": \"" +
                       std::string(static_cast<std::size_t>(i) * 50, 'x') + "\"}";
    // Read in place from a buffer with spare room after the text.
    text.reserve(text.size() + json::kDocumentPadding);
    kept.push_back(*json::Document::parse(text, true));
    text.assign(text.size(), ' '); // the text may go; the document has its own copy
  }
  kept.erase(kept.begin(), kept.begin() + 5); // recycled documents are reused by later parses
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(json::Document::parse("[" + std::to_string(i) + "]"));
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const int i = static_cast<int>(k) + 5;
    EXPECT_EQ(json::dumps(kept[k].to_value()),
              "{\"n\": " + std::to_string(i) + ", \"s\": \"" +
                  std::string(static_cast<std::size_t>(i) * 50, 'x') + "\"}");
  }
}

} // namespace
