#include "json/value.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "json/error.h"

namespace {

TEST(Value, UnsignedStoredAsIntWhenItFits) {
  EXPECT_EQ(json::Value(9223372036854775807ull).kind(), json::Kind::kInt);
  EXPECT_EQ(json::Value(9223372036854775808ull).kind(), json::Kind::kUint);
  EXPECT_EQ(json::Value(0ul).kind(), json::Kind::kInt);
  EXPECT_EQ(json::Value(9223372036854775807ull), json::Value(9223372036854775807ll));
}

TEST(Value, TruthinessAsInPython) {
  const struct {
    json::Value value;
    bool want;
    const char *what;
  } cases[] = {
      {json::Value(), false, "null"},
      {json::Value(false), false, "false"},
      {json::Value(true), true, "true"},
      {json::Value(0), false, "0"},
      {json::Value(-1), true, "-1"},
      {json::Value(18446744073709551615ull), true, "uint"},
      {json::Value(json::BigInt{"-99999999999999999999"}), true, "bigint"},
      {json::Value(0.0), false, "0.0"},
      {json::Value(-0.0), false, "-0.0"},
      {json::Value(std::numeric_limits<double>::quiet_NaN()), true, "nan"},
      {json::Value(""), false, "''"},
      {json::Value("0"), true, "'0'"},
      {json::Value(json::Array{}), false, "[]"},
      {json::Value(json::Array{json::Value()}), true, "[None]"},
      {json::Value(json::Object{}), false, "{}"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.value.truthy(), c.want) << c.what;
}

TEST(Value, TypeNames) {
  EXPECT_EQ(json::Value().type_name(), "NoneType");
  EXPECT_EQ(json::Value(true).type_name(), "bool");
  EXPECT_EQ(json::Value(1).type_name(), "int");
  EXPECT_EQ(json::Value(18446744073709551615ull).type_name(), "int");
  EXPECT_EQ(json::Value(json::BigInt{"1"}).type_name(), "int");
  EXPECT_EQ(json::Value(1.0).type_name(), "float");
  EXPECT_EQ(json::Value("s").type_name(), "str");
  EXPECT_EQ(json::Value(json::Array{}).type_name(), "list");
  EXPECT_EQ(json::Value(json::Object{}).type_name(), "dict");
}

TEST(Value, GetOnlyOnObjects) {
  json::Object o;
  o.insert("a", json::Value(1));
  const json::Value v(std::move(o));
  ASSERT_NE(v.get("a"), nullptr);
  EXPECT_EQ(v.get("a")->as_int(), 1);
  EXPECT_EQ(v.get("b"), nullptr);
  const struct {
    json::Value value;
    const char *message;
  } cases[] = {
      {json::Value(json::Array{}), "'list' object has no attribute 'get'"},
      {json::Value("x"), "'str' object has no attribute 'get'"},
      {json::Value(), "'NoneType' object has no attribute 'get'"},
      {json::Value(2.5), "'float' object has no attribute 'get'"},
  };
  for (const auto &c : cases) {
    try {
      c.value.get("a");
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const json::TypeError &e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Object, InsertReplacesInPlace) {
  json::Object o;
  o.insert("a", json::Value(1));
  o.insert("b", json::Value(2));
  o.insert("a", json::Value(3));
  o.append_unique("c", json::Value(4));
  o.emplace_unique("d", 5.5);
  ASSERT_EQ(o.size(), 4u);
  EXPECT_EQ(o[0].first, "a");
  EXPECT_EQ(o[0].second.as_int(), 3);
  EXPECT_EQ(o[1].first, "b");
  EXPECT_EQ(o[2].first, "c");
  EXPECT_EQ(o[3].second.as_double(), 5.5);
  EXPECT_EQ(o.find("b")->as_int(), 2);
  EXPECT_TRUE(o.contains("d"));
  EXPECT_FALSE(o.contains("e"));
}

} // namespace
