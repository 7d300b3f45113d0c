#include "extract/decimal.h"

#include <gtest/gtest.h>

namespace vyr::extract {
namespace {

Decimal dec(std::string_view text) {
  auto d = Decimal::parse(text);
  EXPECT_TRUE(d.has_value()) << text;
  return d.value_or(Decimal());
}

TEST(Decimal, ParsesPlainDecimalTextExactly) {
  const struct {
    std::string_view text;
    std::optional<std::string_view> shown;
  } cases[] = {
      {"12.50", "12.50"},
      {"-5", "-5"},
      {"+3.1", "3.1"},
      {"12.", "12"},
      {".5", "0.5"},
      {"0007.250", "7.250"},
      {"-0", "0"},
      {"79228162514264337593543950335", "79228162514264337593543950335"},  // 2^96 - 1
      {"0.0000000000000000000000000001", "0.0000000000000000000000000001"},
      // Zeros beyond 28 places do not change the value, so they are dropped.
      {"1.000000000000000000000000000000", "1.0000000000000000000000000000"},
      {"79228162514264337593543950336", std::nullopt},  // 2^96
      {"0.00000000000000000000000000001", std::nullopt},
      {"1e5", std::nullopt},
      {"", std::nullopt},
      {".", std::nullopt},
      {"-", std::nullopt},
      {"1.2.3", std::nullopt},
      {" 1", std::nullopt},
      {"1,5", std::nullopt},
      {"--1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto d = Decimal::parse(c.text);
    ASSERT_EQ(d.has_value(), c.shown.has_value());
    if (d) {
      EXPECT_EQ(d->to_string(), *c.shown);
    }
  }
}

TEST(Decimal, RoundsTiesToEven) {
  const struct {
    std::string_view text;
    uint32_t places;
    std::string_view rounded, fixed;
  } cases[] = {
      {"12.345", 2, "12.34", "12.34"}, {"12.355", 2, "12.36", "12.36"}, {"12.3451", 2, "12.35", "12.35"},
      {"-12.345", 2, "-12.34", "-12.34"}, {"0.5", 0, "0", "0"},       {"1.5", 0, "2", "2"},
      {"2.5", 0, "2", "2"},               {"-0.4", 0, "0", "0"},        {"1299.6", 0, "1300", "1300"},
      {"12.5", 2, "12.5", "12.50"},       {"12", 2, "12", "12.00"},     {"-0.001", 2, "0.00", "0.00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dec(c.text).round_dp(c.places).to_string(), c.rounded);
    EXPECT_EQ(dec(c.text).to_string(c.places), c.fixed);
  }
}

TEST(Decimal, ArithmeticIsExactAndReportsOverflow) {
  const std::string_view max = "79228162514264337593543950335";
  EXPECT_EQ(dec("12.99").mul(100)->to_string(), "1299.00");
  EXPECT_FALSE(dec(max).mul(2).has_value());
  // Trailing zeros make room instead of overflowing.
  EXPECT_EQ(dec("1.0000000000000000000000000000").mul(100000)->to_string(), "100000");
  EXPECT_EQ(dec("1299").sub(dec("1299.00"))->is_zero(), true);
  EXPECT_EQ(dec("12.99").sub(dec("13"))->to_string(), "-0.01");
  EXPECT_EQ(dec("-2").sub(dec("-5"))->to_string(), "3");
  EXPECT_FALSE(dec(max).negated().sub(dec(max)).has_value());
  EXPECT_EQ(dec(max).sub(dec("1.0"))->to_string(), "79228162514264337593543950334");
  EXPECT_FALSE(dec(max).sub(dec("0.5")).has_value());  // needs 97 bits
  EXPECT_EQ(dec("12.99").div2().to_string(), "6.495");
  EXPECT_EQ(dec("1").div2().to_string(), "0.5");
  EXPECT_EQ(dec("1299").div100().to_string(), "12.99");
  EXPECT_EQ(dec("0.0000000000000000000000000049").div100().to_string(), "0.0000000000000000000000000000");
  EXPECT_EQ(dec("0.0000000000000000000000000150").div100().to_string(), "0.0000000000000000000000000002");
  EXPECT_EQ(dec("12.345").fract().to_string(), "0.345");
  EXPECT_TRUE(dec("12.00").is_integral());
  EXPECT_FALSE(dec("12.01").is_integral());
}

TEST(Decimal, ComparesByValue) {
  EXPECT_EQ(dec("12.5"), dec("12.50"));
  EXPECT_EQ(dec("-0"), dec("0.000"));
  EXPECT_LT(dec("-1"), dec("0.5"));
  EXPECT_LT(dec("-2"), dec("-1.5"));
  EXPECT_GT(dec("1.05"), dec("1.0499999999999999999999999999"));
  EXPECT_GT(dec("79228162514264337593543950335"), dec("7922816251426433759354395033.5"));
}

TEST(Decimal, ConvertsIntegralValuesOnlyWhenInRange) {
  const struct {
    std::string_view text;
    std::optional<uint64_t> u;
    std::optional<int64_t> i;
    std::optional<uint64_t> rounded;
  } cases[] = {
      {"18446744073709551615", UINT64_MAX, std::nullopt, UINT64_MAX},
      {"18446744073709551616", std::nullopt, std::nullopt, std::nullopt},
      {"9223372036854775807", INT64_MAX, INT64_MAX, INT64_MAX},
      {"-9223372036854775808", std::nullopt, INT64_MIN, std::nullopt},
      {"-9223372036854775809", std::nullopt, std::nullopt, std::nullopt},
      {"12.0", 12, 12, 12},
      {"12.5", std::nullopt, std::nullopt, 12},
      {"13.5", std::nullopt, std::nullopt, 14},
      {"-0.4", std::nullopt, std::nullopt, 0},
      {"-0.6", std::nullopt, std::nullopt, std::nullopt},
      {"18446744073709551615.4", std::nullopt, std::nullopt, UINT64_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dec(c.text).to_u64(), c.u);
    EXPECT_EQ(dec(c.text).to_i64(), c.i);
    EXPECT_EQ(decimal_to_u64_round(dec(c.text)), c.rounded);
  }
  EXPECT_EQ(Decimal::from_i64(INT64_MIN).to_string(), "-9223372036854775808");
}

}  // namespace
}  // namespace vyr::extract
