#include "core/json.h"

#include <string>

#include <gtest/gtest.h>

namespace vyr::json {
namespace {

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(Json, ReadsAndWritesCanonicalText) {
  const struct {
    std::string_view in, out;
  } cases[] = {
      {"null", "null"},
      {" \t\r\n true \n", "true"},
      {"0", "0"},
      {"-12", "-12"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551616", "1.8446744073709552e19"},  // beyond 64 bits: nearest double
      {"[-0.0012675483901267890126754839012678900,12675483901261234567890,1e2,-99999999999999999999]",
       "[-0.001267548390126789,1.2675483901261234e22,100.0,-1e20]"},
      {"12.50", "12.5"},
      {"3e0", "3.0"},
      {"1e16", "1e16"},
      {"9999999999999998.0", "9999999999999998.0"},
      {"1.5e-7", "1.5e-7"},
      {"0.00001", "0.00001"},
      {"0.000001", "1e-6"},
      {"-0.0", "-0.0"},
      {"123456789012345680000", "1.2345678901234568e20"},
      {"0.1", "0.1"},
      {"\"a\\u00e9\\ud83d\\ude00\"", "\"a\xC3\xA9\xF0\x9F\x98\x80\""},
      {"\"\\b\\f\\n\\r\\t\\u0001\\u001f\\/\\\"\\\\\x7f\"", "\"\\b\\f\\n\\r\\t\\u0001\\u001f/\\\"\\\\\x7f\""},
      {"{\"b\":1,\"a\":[true,{\"z\":null,\"y\":\"\"}]}", "{\"a\":[true,{\"y\":\"\",\"z\":null}],\"b\":1}"},
      {"{\"k\":1,\"k\":2}", "{\"k\":2}"},
      {"{\"B\":1,\"a\":2,\"\xC3\xA9\":3}", "{\"B\":1,\"a\":2,\"\xC3\xA9\":3}"},
      {"[]", "[]"},
      {"{}", "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::optional<Value> v = parse(c.in);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(to_text(*v), c.out);
  }
}

TEST(Json, RejectsInvalidDocuments) {
  const std::string deep = nested(129);
  const std::string_view cases[] = {
      "",
      " ",
      "nul",
      "[1,]",
      "{\"a\":1,}",
      "[1] [2]",
      "01",
      "+1",
      ".5",
      "1.",
      "NaN",
      "1e400",
      "-1e400",
      "'a'",
      "{a:1}",
      "\"\\ud800\"",        // unpaired high surrogate
      "\"\\udc00\"",        // unpaired low surrogate
      "\"\\ud800\\u0041\"",  // high surrogate followed by a non-surrogate
      "\"a\x01\"",           // raw control character
      "\"\xff\"",            // invalid UTF-8
      "\f1",                 // form feed is not JSON whitespace
      "\xC2\xA0" "1",        // nor is a no-break space
      deep,
  };
  for (std::string_view c : cases) {
    SCOPED_TRACE(c.substr(0, 40));
    EXPECT_FALSE(parse(c).has_value());
  }
}

TEST(Json, NullViewIsTheEmptyText) { EXPECT_FALSE(parse(std::string_view()).has_value()); }

TEST(Json, NestingLimitIs128Levels) {
  EXPECT_TRUE(parse(nested(128)).has_value());
  EXPECT_FALSE(parse(nested(129)).has_value());
  EXPECT_FALSE(parse(nested(100000)).has_value());
}

TEST(Json, IntegersKeepTheirForm) {
  EXPECT_TRUE(parse("5")->is_integer());
  EXPECT_TRUE(parse("-5")->is_integer());
  EXPECT_EQ(parse("5")->type(), Value::Type::UInt);
  EXPECT_EQ(parse("-5")->type(), Value::Type::Int);
  EXPECT_EQ(parse("5.0")->type(), Value::Type::Double);
  EXPECT_EQ(Value(int64_t{7}), Value(uint64_t{7}));
}

TEST(Json, ObjectStaysSorted) {
  Object o;
  o.set("b", 1);
  o.set("a", 2);
  o.set("c", 3);
  o.set("a", 4);
  EXPECT_EQ(to_text(Value(o)), "{\"a\":4,\"b\":1,\"c\":3}");
  EXPECT_TRUE(o.erase("b"));
  EXPECT_FALSE(o.erase("b"));
  ASSERT_NE(o.find("c"), nullptr);
  EXPECT_EQ(o.find("zz"), nullptr);
}

}  // namespace
}  // namespace vyr::json
