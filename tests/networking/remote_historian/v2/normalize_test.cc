#include "networking/remote_historian/v2/normalize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/json/python_oracle.h"
#include "json/parse.h"
#include "json/utf8.h"
#include "json/write.h"

namespace {

namespace v2 = networking::remote_historian::v2;
using json_test::run_python;
using json_test::to_hex;

constexpr double kInf = std::numeric_limits<double>::infinity();

// UTF-8 of one code point (surrogates as their 3-byte form).
std::string utf8(std::uint32_t cp) {
  std::string out;
  json::append_utf8(out, cp);
  return out;
}

std::vector<std::string> hex_all(const std::vector<std::string> &texts) {
  std::vector<std::string> out;
  for (const std::string &t : texts)
    out.push_back(to_hex(t));
  return out;
}

// Prints "ERR" for ValueError, else repr(float(text)).
constexpr const char *kFloatScript = R"(
import sys
for line in sys.stdin:
    text = bytes.fromhex(line.strip()).decode('utf-8', 'surrogatepass')
    try:
        print(repr(float(text)))
    except ValueError:
        print('ERR')
)";

// The non-ASCII code points that make a text a number for us, alone (digits) or before a
// '1' (digits and white space).
const std::vector<std::uint32_t> &number_code_points() {
  static const std::vector<std::uint32_t> cps = [] {
    std::vector<std::uint32_t> out;
    for (std::uint32_t cp = 0x80; cp < 0x110000; ++cp) {
      if (cp >= 0xD800 && cp < 0xE000)
        continue;
      const std::string c = utf8(cp);
      if (v2::_parse_float_text(c) || v2::_parse_float_text(c + "1"))
        out.push_back(cp);
    }
    return out;
  }();
  return cps;
}

std::string ours_float(const std::string &text) {
  const std::optional<double> d = v2::_parse_float_text(text);
  return d ? json::format_double(*d) : "ERR";
}

// Names that exercise white space, punctuation runs, underscores and non-ASCII text.
std::vector<std::string> name_corpus() {
  std::vector<std::string> c = {
      "",
      " ",
      "   ",
      "!!!",
      "***",
      "a",
      "A",
      " a ",
      "run 1/2",
      "a..b",
      "Skill_A-1.x",
      "x__y",
      "x _y",
      "__X__",
      "A-B.D",
      "  Motor Speed (rpm) ",
      "temp",
      "Temp",
      "_",
      "-",
      ".",
      "_a_",
      "a_-_b",
      "\xc3\xa9",
      "caf\xc3\xa9",
      "\xe6\xb8\xa9\xe5\xba\xa6 1",
      "\xf0\x9f\x98\x80x",
      "\xc2\xa0x\xc2\xa0",
      "\xe3\x80\x80y\xe3\x80\x80",
      "\x1c"
      "z\x1f",
      "\xc2\x85q",
      "tab\there",
      "new\nline",
      "a\x7f"
      "b",
      "1st",
      "UPPER lower",
      "\xe2\x80\x83"
      "em\xe2\x80\x83",
      "\xef\xbc\xa1\xef\xbc\xa2",
  };
  std::mt19937 rng(5);
  const std::string pieces[] = {
      "a",  "Z", "9", "_", "-", ".", " ", "/", "\xc3\xa9", "\xc2\xa0", "\xe2\x80\xa8",
      "__", "(", "\t"};
  for (int i = 0; i < 400; ++i) {
    std::string s;
    const int n = std::uniform_int_distribution<int>(0, 8)(rng);
    for (int k = 0; k < n; ++k)
      s += pieces[std::uniform_int_distribution<int>(0, 13)(rng)];
    c.push_back(s);
  }
  return c;
}

TEST(SanitizeFilename, EdgeCases) {
  const struct {
    std::optional<std::string> in;
    const char *want;
  } cases[] = {{std::nullopt, "unknown"}, {"", "unknown"},
               {"run 1/2", "run-1-2"},    {" a ", "-a-"},
               {"a..b", "a..b"},          {"***", "-"},
               {"\xc3\xa9", "-"},         {"Skill_A-1.x", "Skill_A-1.x"}};
  for (const auto &c : cases) {
    EXPECT_EQ(v2::_sanitize_filename(c.in), c.want) << c.in.value_or("<null>");
  }
}

TEST(SanitizeFilename, MatchesPythonReSub) {
  const std::vector<std::string> names = name_corpus();
  const std::vector<std::string> want = run_python(R"(
import re, sys
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('utf-8')
    print((re.sub(r'[^A-Za-z0-9._-]+', '-', s) if s else 'unknown').encode().hex())
)",
                                                   hex_all(names));
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(to_hex(v2::_sanitize_filename(names[i])), want[i]) << names[i];
  }
}

TEST(NormalizeFieldName, EdgeCases) {
  const struct {
    std::optional<std::string> in;
    const char *want;
  } cases[] = {{std::nullopt, ""}, {"  Motor Speed (rpm) ", "motor_speed_rpm"},
               {"__X__", "x"},     {"A-B.D", "a_b_d"},
               {"!!!", ""},        {"x__y", "x__y"},
               {"x _y", "x__y"},   {"", ""},
               {"   ", ""}};
  for (const auto &c : cases) {
    EXPECT_EQ(v2::_normalize_field_name(c.in), c.want) << c.in.value_or("<null>");
  }
}

TEST(NormalizeFieldName, MatchesPythonStripSubLower) {
  const std::vector<std::string> names = name_corpus();
  const std::vector<std::string> want = run_python(R"(
import re, sys
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode('utf-8')
    print(re.sub(r'[^A-Za-z0-9_]+', '_', s.strip()).strip('_').lower().encode().hex())
)",
                                                   hex_all(names));
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(to_hex(v2::_normalize_field_name(names[i])), want[i]) << names[i];
  }
}

TEST(NormalizeSensorNames, EdgeCases) {
  using Names = std::vector<std::optional<std::string>>;
  using Want = std::vector<std::string>;
  const struct {
    Names in;
    Want want;
  } cases[] = {
      {{"Temp", "temp", "", std::nullopt, "!!"}, {"temp", "temp_1", "s_2", "s_3", "s_4"}},
      {{}, {}},
      {{"a", "a", "a"}, {"a", "a_1", "a_2"}},
      // The suffixed name may already be taken: it is extended until free.
      {{"x", "x_2", "x"}, {"x", "x_2", "x_2_2"}},
      {{"x", "x_2", "x", "x_2_2"}, {"x", "x_2", "x_2_2", "x_2_2_3"}},
      {{"x", "x_2", "x_2_2", "x"}, {"x", "x_2", "x_2_2", "x_3"}},
      {{"x", "x_2", "x", "x_2_2", "x"}, {"x", "x_2", "x_2_2", "x_2_2_3", "x_4"}},
      {{"s_1", ""}, {"s_1", "s_1_1"}},
      {{"a_1_2", "a_1", "a", "a"}, {"a_1_2", "a_1", "a", "a_3"}},
      {{"a", "a_1", "a_1_2", "a_1_2_2", "a"}, {"a", "a_1", "a_1_2", "a_1_2_2", "a_4"}},
      {{"b", "b_1", "b"}, {"b", "b_1", "b_2"}},
      {{"c", "c_2", "c_2_2", "c"}, {"c", "c_2", "c_2_2", "c_3"}},
      {{"d", "d_2", "d_2_2", "d_2_3", "d"}, {"d", "d_2", "d_2_2", "d_2_3", "d_4"}},
      {{"e", "e_2", "e", "e_2_2", "e_2_2_3", "e_2_2"},
       {"e", "e_2", "e_2_2", "e_2_2_3", "e_2_2_3_4", "e_2_2_5"}},
  };
  for (const auto &c : cases) {
    std::string shown;
    for (const auto &n : c.in)
      shown += (n ? "'" + *n + "' " : "null ");
    EXPECT_EQ(v2::_normalize_sensor_names(c.in), c.want) << shown;
  }
}

// Against the rule as written (which can repeat a name): our name equals the written one
// wherever that is not taken by an earlier name of ours, extends it otherwise, and never
// repeats.
TEST(NormalizeSensorNames, WrittenRuleKeptWhereUniqueAndNamesNeverRepeat) {
  std::mt19937 rng(11);
  const std::vector<std::string> alphabet = {"x",   "x_2",   "x_2_2", "X", "x 2", "",
                                             "s_1", "s_1_1", "y_1",   "y", "!!",  "x_3"};
  std::vector<std::vector<std::optional<std::string>>> inputs;
  std::vector<std::string> lines;
  for (int i = 0; i < 500; ++i) {
    std::vector<std::optional<std::string>> names;
    std::string line;
    const int n = std::uniform_int_distribution<int>(0, 9)(rng);
    for (int k = 0; k < n; ++k) {
      const int pick = std::uniform_int_distribution<int>(-1, 11)(rng);
      names.push_back(pick < 0 ? std::nullopt : std::optional<std::string>(alphabet[pick]));
      line += (pick < 0 ? std::string("-") : to_hex(alphabet[pick]) + "00") + " ";
    }
    inputs.push_back(names);
    lines.push_back(line.empty() ? "." : line);
  }
  const std::vector<std::string> written = run_python(R"(
import re, sys
def field(v):
    if v is None: return ''
    return re.sub(r'[^A-Za-z0-9_]+', '_', v.strip()).strip('_').lower()
for line in sys.stdin:
    names = [None if t == '-' else bytes.fromhex(t[:-2]).decode() for t in line.split() if t != '.']
    out, taken = [], set()
    for idx, name in enumerate(names):
        c = field(name) or f's_{idx}'
        if c in taken: c = f'{c}_{idx}'
        taken.add(c); out.append(c)
    print(' '.join(out) if out else '.')
)",
                                                      lines);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::vector<std::string> ours = v2::_normalize_sensor_names(inputs[i]);
    ASSERT_EQ(ours.size(), inputs[i].size());
    std::vector<std::string> want;
    std::istringstream words(written[i]);
    for (std::string w; words >> w;) {
      if (w != ".")
        want.push_back(w);
    }
    ASSERT_EQ(want.size(), ours.size()) << lines[i];
    std::set<std::string> seen;
    for (std::size_t k = 0; k < ours.size(); ++k) {
      if (seen.count(want[k]) == 0) {
        EXPECT_EQ(ours[k], want[k]) << lines[i] << " position " << k;
      } else {
        EXPECT_EQ(ours[k].rfind(want[k] + "_", 0), 0u) << lines[i] << " position " << k;
      }
      EXPECT_TRUE(seen.insert(ours[k]).second) << "repeated " << ours[k] << " in " << lines[i];
    }
  }
}

TEST(NormalizeVector, Shapes) {
  const struct {
    const char *in;
    const char *want;
  } cases[] = {{"null", "[]"},
               {"[1, 2]", "[1, 2]"},
               {"{\"b\": 2, \"a\": 1}", "[1, 2]"},
               {"{}", "[]"},
               {"5", "[5]"},
               {"\"abc\"", "[\"abc\"]"},
               {"true", "[true]"},
               {"[[1, 2], 3]", "[[1, 2], 3]"},
               {"{\"b\": [1], \"a\": {\"y\": 1, \"x\": 2}}", "[{\"y\": 1, \"x\": 2}, [1]]"},
               {"NaN", "[NaN]"},
               // code point order: 'Z' < 'a' < U+00E9 < U+FFFD < U+1F600
               {"{\"\\ud83d\\ude00\": 5, \"\\ufffd\": 4, \"\\u00e9\": 3, \"a\": 2, \"Z\": 1, "
                "\"\": 0}",
                "[0, 1, 2, 3, 4, 5]"},
               {"{\"a10\": 2, \"a9\": 3, \"a1\": 1}", "[1, 2, 3]"}};
  for (const auto &c : cases) {
    const json::Value in = json::parse(c.in);
    json::Array elements;
    v2::_normalize_vector(in, [&](const json::Value *e) { elements.push_back(*e); });
    EXPECT_EQ(json::dumps(json::Value(std::move(elements))), c.want) << c.in;
  }
}

TEST(CoerceFloat, EdgeCases) {
  const struct {
    const char *json_text;
    std::optional<double> want;
  } cases[] = {{"null", std::nullopt},
               {"true", 1.0},
               {"false", 0.0},
               {"3", 3.0},
               {"-7", -7.0},
               {"\" 2.5 \"", 2.5},
               {"\"1_000\"", 1000.0},
               {"\"-Infinity\"", -kInf},
               {"\"abc\"", std::nullopt},
               {"\"\"", std::nullopt},
               {"\"1,5\"", std::nullopt},
               {"\"0x10\"", std::nullopt},
               {"[1]", std::nullopt},
               {"{\"a\": 1}", std::nullopt},
               {"Infinity", kInf},
               {"-Infinity", -kInf},
               {"1.5", 1.5},
               {"18446744073709551615", 18446744073709551615.0},
               {"9007199254740993", 9007199254740992.0}};
  for (const auto &c : cases) {
    EXPECT_EQ(v2::_coerce_float(json::parse(c.json_text)), c.want) << c.json_text;
  }
  EXPECT_TRUE(std::isnan(*v2::_coerce_float(json::parse("\"NaN\""))));
  EXPECT_TRUE(std::isnan(*v2::_coerce_float(json::parse("NaN"))));
}

// Integers beyond 64 bits round to the nearest double, as Python's float(int) does, and
// those beyond the double range raise OverflowError there and std::overflow_error here.
TEST(CoerceFloat, BigIntegersMatchPython) {
  std::vector<std::string> digits = {
      "18446744073709551616", "-9223372036854775809", "9007199254740993000000",
      "123456789012345678901234567890", "-123456789012345678901234567890",
      // 2**1024 - 2**970 - 1 rounds down to DBL_MAX; 2**1024 - 2**970 rounds up, overflowing
      "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649"
      "017977587207096330286416692887910946555547851940402630657488671505820681908902000708383"
      "676273854845817711531764475730270069855571366959622842914819860834936475292719074168444"
      "365510704342711559699508093042880177904174497791",
      "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649"
      "017977587207096330286416692887910946555547851940402630657488671505820681908902000708383"
      "676273854845817711531764475730270069855571366959622842914819860834936475292719074168444"
      "365510704342711559699508093042880177904174497792",
      "-1" + std::string(400, '0'), "1" + std::string(308, '0'), "1" + std::string(309, '0')};
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300; ++i) {
    std::string d = std::to_string(1 + rng() % 9);
    const int len = 20 + static_cast<int>(rng() % 300);
    for (int k = 0; k < len; ++k)
      d += static_cast<char>('0' + rng() % 10);
    digits.push_back((rng() % 2 ? "-" : "") + d);
  }
  const std::vector<std::string> want = run_python(R"(
import sys
for line in sys.stdin:
    try:
        print(repr(float(int(line))))
    except OverflowError:
        print('OVERFLOW')
)",
                                                   digits);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    std::string got;
    try {
      got = json::format_double(*v2::_coerce_float(json::Value(json::BigInt{digits[i]})));
    } catch (const std::overflow_error &e) {
      EXPECT_STREQ(e.what(), "int too large to convert to float");
      got = "OVERFLOW";
    }
    EXPECT_EQ(got, want[i]) << digits[i];
  }
}

TEST(ParseFloatText, CorpusMatchesPython) {
  std::vector<std::string> texts = {
      "1.5",
      " -2e3 ",
      "1_000",
      "1_000.5",
      "1_0.5_5",
      "1e1_0",
      "1__0",
      "_1",
      "1_",
      "1_.5",
      "1._5",
      "1_e5",
      "1e_5",
      "+_1",
      "0_0",
      "0x10",
      "0b1",
      "1,5",
      "1.5.5",
      "",
      " ",
      "\t\n",
      ".5",
      "5.",
      ".",
      "-.5",
      "+.5e1",
      "5.e3",
      "1e",
      "1e+",
      "e5",
      "1e5",
      "1E-5",
      "1e400",
      "-1e400",
      "1e-400",
      "-1e-400",
      "-0",
      "+0.0",
      "00012",
      "inf",
      "-inf",
      "+inf",
      "INF",
      "infinity",
      "-Infinity",
      "iNfInItY",
      "infinit",
      "infinityy",
      "nan",
      "-NaN",
      "+nan",
      "NAN",
      "nan(1)",
      "in f",
      "- 1",
      "1 2",
      "1e5 ",
      "  +1.5  ",
      "++1",
      "--1",
      "+-1",
      std::string("1\x00", 2),
      std::string("\x00"
                  "1",
                  2),
      "\x0b"
      "1\x0c",
      "\x1c"
      "1",
      "1\x1f",
      "\x7f"
      "1",
      "1d5",
      "1f",
      "abc",
      "0.1000000000000000055511151231257827021181583404541015625",
      "2.2250738585072011e-308",
      "4.9406564584124654e-324",
      "2.4703282292062328e-324",
      "2.4703282292062327e-324",
      "1.7976931348623157e308",
      "1.7976931348623159e308",
      "1" + std::string(400, '0'),
      "0." + std::string(400, '0') + "1",
      std::string(5000, '9') + "e-5000",
      // other scripts' digits and white space
      "\xd9\xa1\xd9\xa2\xd9\xa3",  // Arabic-Indic 123
      "\xd9\xa1.\xd9\xa5",         // 1.5
      "\xef\xbc\x91\xef\xbc\x92",  // fullwidth 12
      "\xef\xbc\x91_\xef\xbc\x92", // fullwidth 1_2
      "\xe0\xa5\xa7\xe0\xa5\xa6"
      "e\xe0\xa5\xa8",                    // Devanagari 10e2
      "\xf0\x9d\x9f\x8f\xf0\x9d\x9f\x8e", // mathematical bold 10
      "\xc2\xa0"
      "1.5\xc2\xa0", // NBSP padding
      "\xe3\x80\x80"
      "2\xe3\x80\x80", // ideographic space padding
      "\xe2\x80\xa8"
      "3\xe2\x80\xa9", // line and paragraph separators
      "\xc2\x85"
      "4", // NEL
      "1\xc2\xa0"
      "2", // inner space
      "\xef\xbc\x8b"
      "1", // fullwidth plus: not a sign
      "\xe2\x80\x93"
      "1",            // en dash: not a minus
      "\xc2\xb2",     // superscript two: not a decimal digit
      "\xe2\x85\xa0", // roman numeral one: not a decimal digit
      "\xe4\xb8\x80", // CJK one: not a decimal digit
      "\xed\xa0\x80"
      "1", // lone surrogate
      "1\xc3\xa9",
  };
  // Every decimal digit of every script, alone and inside a literal, and every white space
  // character as padding.
  for (const std::uint32_t cp : number_code_points()) {
    const std::string c = utf8(cp);
    texts.push_back(c);
    texts.push_back("-" + c + "." + c + "e" + c);
    texts.push_back(c + "_" + c);
    texts.push_back(c + "1" + c);
  }
  const std::string spaces[] = {"\xc2\xa0",     "\xe3\x80\x80", "\xe1\x9a\x80", "\xe2\x80\x8a",
                                "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe2\x80\x8b", "\xef\xbb\xbf"};
  for (const std::string &s : spaces)
    texts.push_back(s + "7" + s);
  // Python's digits that we would not know show up here as a mismatch: offer them all.
  for (std::uint32_t z : {0x660u, 0xFF10u, 0x1D7CEu, 0x1FBF0u, 0x11DA0u, 0x16AC0u}) {
    for (std::uint32_t k = 0; k < 12; ++k)
      texts.push_back(utf8(z + k - 1));
  }
  const std::vector<std::string> want = run_python(kFloatScript, hex_all(texts));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(ours_float(texts[i]), want[i]) << "text (hex) " << to_hex(texts[i]);
  }
}

// The code points that make a text a number for Python's float() are exactly ours: checks
// both tables whole.
TEST(ParseFloatText, SameDigitsAndSpacesAsPython) {
  constexpr std::uint32_t kBlock = 0x4000;
  std::vector<std::string> blocks;
  std::vector<std::string> ours;
  for (std::uint32_t start = 0x80; start < 0x110000; start += kBlock) {
    blocks.push_back(std::to_string(start) + " " + std::to_string(start + kBlock));
    std::string accepted;
    for (const std::uint32_t cp : number_code_points()) {
      if (cp >= start && cp < start + kBlock)
        accepted += std::to_string(cp) + " ";
    }
    ours.push_back(accepted + ".");
  }
  const std::vector<std::string> want = run_python(R"(
import sys
def number(text):
    try:
        float(text)
        return True
    except ValueError:
        return False
for line in sys.stdin:
    start, end = map(int, line.split())
    cps = [cp for cp in range(start, min(end, 0x110000))
           if not 0xD800 <= cp < 0xE000 and (number(chr(cp)) or number(chr(cp) + '1'))]
    print(''.join(f'{cp} ' for cp in cps) + '.')
)",
                                                   blocks);
  for (std::size_t i = 0; i < blocks.size(); ++i)
    EXPECT_EQ(ours[i], want[i]) << blocks[i];
}

} // namespace
