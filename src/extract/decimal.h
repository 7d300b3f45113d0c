// Exact decimal numbers for price arithmetic: a sign, a 96-bit unsigned
// mantissa and a power-of-ten scale from 0 to 28 (value = mantissa / 10^scale).
// Binary floating point cannot say whether 12.345 rounds to 12.34 or 12.35;
// this type can, so every price the extractors write is computed here.
//
// Operations that could lose exactness report it: parse fails instead of
// rounding, and multiplication and subtraction return nothing on overflow.
// Division by 2 or 100 is exact unless the result needs more than 28 decimal
// places, in which case it is rounded to 28 places with ties to even.
// Values are plain data: copy freely, use from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vyr::extract {

class Decimal {
 public:
  static constexpr uint32_t MAX_SCALE = 28;

  Decimal() = default;
  static Decimal from_u64(uint64_t v) { return Decimal(v, 0, false); }
  static Decimal from_i64(int64_t v);

  // Plain decimal text: an optional "+" or "-", ASCII digits with at most one
  // ".", and at least one digit ("12.", ".5" are fine). Exponents, spaces,
  // any other character, more than 28 significant decimal places or a
  // mantissa beyond 96 bits make it fail; trailing zeros that do not fit the
  // scale are dropped because they do not change the value.
  static std::optional<Decimal> parse(std::string_view text);

  bool is_negative() const { return negative_ && mantissa_ != 0; }
  bool is_zero() const { return mantissa_ == 0; }
  uint32_t scale() const { return scale_; }

  Decimal abs() const { return Decimal(mantissa_, scale_, false); }
  Decimal negated() const { return Decimal(mantissa_, scale_, !negative_); }

  std::optional<Decimal> mul(uint64_t factor) const;
  std::optional<Decimal> sub(const Decimal& other) const;
  Decimal div2() const;
  Decimal div100() const;

  // Rounded to `places` decimals (at most 28), ties to even.
  Decimal round_dp(uint32_t places) const;
  // The digits after the point, with this value's sign and scale.
  Decimal fract() const;
  bool is_integral() const;

  // Integral values only; nothing when there is a fraction or the value does
  // not fit.
  std::optional<uint64_t> to_u64() const;
  std::optional<int64_t> to_i64() const;

  // Plain notation, never an exponent: "-12.50" keeps its scale's digits;
  // with `places`, rounded (ties to even) or zero-padded to exactly that many
  // decimals. Zero never carries a minus sign.
  std::string to_string() const;
  std::string to_string(uint32_t places) const;

  // Numeric comparison: 12.5 == 12.50, -0 == 0.
  friend int compare(const Decimal& a, const Decimal& b);
  friend bool operator==(const Decimal& a, const Decimal& b) { return compare(a, b) == 0; }
  friend bool operator<(const Decimal& a, const Decimal& b) { return compare(a, b) < 0; }
  friend bool operator>(const Decimal& a, const Decimal& b) { return compare(a, b) > 0; }
  friend bool operator<=(const Decimal& a, const Decimal& b) { return compare(a, b) <= 0; }
  friend bool operator>=(const Decimal& a, const Decimal& b) { return compare(a, b) >= 0; }

 private:
  using U128 = unsigned __int128;
  Decimal(U128 mantissa, uint32_t scale, bool negative) : mantissa_(mantissa), scale_(scale), negative_(negative) {}

  U128 mantissa_ = 0;  // always below 2^96
  uint32_t scale_ = 0;
  bool negative_ = false;
};

// The value rounded to an integer with ties to even, or nothing when that is
// negative or beyond 64 bits.
std::optional<uint64_t> decimal_to_u64_round(const Decimal& d);

}  // namespace vyr::extract
