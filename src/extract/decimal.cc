#include "extract/decimal.h"

#include <algorithm>
#include <array>

namespace vyr::extract {

namespace {

using U128 = unsigned __int128;

constexpr U128 MANTISSA_LIMIT = U128(1) << 96;

constexpr std::array<U128, 39> make_pow10() {
  std::array<U128, 39> p{};
  p[0] = 1;
  for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}
constexpr std::array<U128, 39> POW10 = make_pow10();

// m / d rounded to the nearest integer, ties to the even neighbour.
U128 div_round_half_even(U128 m, U128 d) {
  const U128 q = m / d;
  const U128 r = m % d;
  const U128 twice = r * 2;  // r < d <= 10^38, so this cannot wrap
  if (twice > d || (twice == d && (q & 1) != 0)) return q + 1;
  return q;
}

// Drops trailing zero decimals, which keeps the value and frees mantissa room.
void strip_trailing_zeros(U128& m, uint32_t& scale) {
  while (scale > 0 && m % 10 == 0 && m != 0) {
    m /= 10;
    --scale;
  }
}

std::string u128_digits(U128 m) {
  if (m == 0) return "0";
  char buf[40];
  size_t n = 0;
  while (m != 0) {
    buf[n++] = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  }
  std::string out(n, '0');
  for (size_t i = 0; i < n; ++i) out[i] = buf[n - 1 - i];
  return out;
}

}  // namespace

Decimal Decimal::from_i64(int64_t v) {
  if (v >= 0) return Decimal(static_cast<U128>(v), 0, false);
  const uint64_t magnitude = static_cast<uint64_t>(-(v + 1)) + 1;  // INT64_MIN has no positive twin
  return Decimal(magnitude, 0, true);
}

std::optional<Decimal> Decimal::parse(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  U128 m = 0;
  uint32_t scale = 0;
  uint32_t pending_zeros = 0;  // fraction zeros not yet applied: they only matter before a later non-zero digit
  bool point = false;
  bool any_digit = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      if (point) return std::nullopt;
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    any_digit = true;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (!point) {
      m = m * 10 + digit;
      if (m >= MANTISSA_LIMIT) return std::nullopt;
      continue;
    }
    if (digit == 0) {
      ++pending_zeros;
      continue;
    }
    for (; pending_zeros > 0; --pending_zeros) {
      m *= 10;
      ++scale;
      if (m >= MANTISSA_LIMIT || scale > MAX_SCALE) return std::nullopt;
    }
    m = m * 10 + digit;
    ++scale;
    if (m >= MANTISSA_LIMIT || scale > MAX_SCALE) return std::nullopt;
  }
  if (!any_digit) return std::nullopt;
  // Trailing zeros are kept as far as they fit, so "12.50" keeps two places.
  for (; pending_zeros > 0 && scale < MAX_SCALE && m * 10 < MANTISSA_LIMIT; --pending_zeros) {
    m *= 10;
    ++scale;
  }
  return Decimal(m, scale, negative);
}

std::optional<Decimal> Decimal::mul(uint64_t factor) const {
  U128 m = mantissa_;
  uint32_t scale = scale_;
  if (factor != 0 && m > (MANTISSA_LIMIT - 1) / factor) {
    strip_trailing_zeros(m, scale);
    if (m > (MANTISSA_LIMIT - 1) / factor) return std::nullopt;
  }
  return Decimal(m * factor, scale, negative_);
}

std::optional<Decimal> Decimal::sub(const Decimal& other) const {
  U128 ma = mantissa_, mb = other.mantissa_;
  uint32_t sa = scale_, sb = other.scale_;
  const uint32_t target = std::max(sa, sb);
  // Aligned mantissas may exceed 96 bits as long as the result does not;
  // they must still fit 127 bits so that the sum below cannot wrap.
  const U128 room = (~U128(0)) >> 1;
  auto align = [&](U128& m, uint32_t s) {
    const U128 f = POW10[target - s];
    if (m > room / f) return false;
    m *= f;
    return true;
  };
  if (!align(ma, sa) || !align(mb, sb)) {
    strip_trailing_zeros(ma, sa);
    strip_trailing_zeros(mb, sb);
    const uint32_t t = std::max(sa, sb);
    const U128 fa = POW10[t - sa], fb = POW10[t - sb];
    if (ma > room / fa || mb > room / fb) return std::nullopt;
    ma *= fa;
    mb *= fb;
    sa = sb = t;
  }
  const uint32_t scale = std::max(sa, sb);
  const bool a_neg = is_negative();
  const bool b_neg = !other.is_negative();  // a - b == a + (-b)
  U128 m;
  bool negative;
  if (a_neg == b_neg) {
    m = ma + mb;
    negative = a_neg;
  } else if (ma >= mb) {
    m = ma - mb;
    negative = a_neg;
  } else {
    m = mb - ma;
    negative = b_neg;
  }
  uint32_t s = scale;
  if (m >= MANTISSA_LIMIT) strip_trailing_zeros(m, s);
  if (m >= MANTISSA_LIMIT) return std::nullopt;
  return Decimal(m, s, negative);
}

Decimal Decimal::div2() const {
  if (mantissa_ % 2 == 0) return Decimal(mantissa_ / 2, scale_, negative_);
  if (scale_ < MAX_SCALE && mantissa_ * 5 < MANTISSA_LIMIT) return Decimal(mantissa_ * 5, scale_ + 1, negative_);
  return Decimal(div_round_half_even(mantissa_, 2), scale_, negative_);
}

Decimal Decimal::div100() const {
  if (scale_ + 2 <= MAX_SCALE) return Decimal(mantissa_, scale_ + 2, negative_);
  U128 m = mantissa_;
  uint32_t scale = scale_;
  strip_trailing_zeros(m, scale);
  if (scale + 2 <= MAX_SCALE) return Decimal(m, scale + 2, negative_);
  return Decimal(div_round_half_even(m, POW10[scale + 2 - MAX_SCALE]), MAX_SCALE, negative_);
}

Decimal Decimal::round_dp(uint32_t places) const {
  places = std::min(places, MAX_SCALE);
  if (scale_ <= places) return *this;
  return Decimal(div_round_half_even(mantissa_, POW10[scale_ - places]), places, negative_);
}

Decimal Decimal::fract() const { return Decimal(mantissa_ % POW10[scale_], scale_, negative_); }

bool Decimal::is_integral() const { return mantissa_ % POW10[scale_] == 0; }

std::optional<uint64_t> Decimal::to_u64() const {
  if (is_negative() || !is_integral()) return std::nullopt;
  const U128 q = mantissa_ / POW10[scale_];
  if (q > UINT64_MAX) return std::nullopt;
  return static_cast<uint64_t>(q);
}

std::optional<int64_t> Decimal::to_i64() const {
  if (!is_integral()) return std::nullopt;
  const U128 q = mantissa_ / POW10[scale_];
  if (is_negative()) {
    const U128 min_magnitude = U128(INT64_MAX) + 1;
    if (q > min_magnitude) return std::nullopt;
    if (q == min_magnitude) return INT64_MIN;
    return -static_cast<int64_t>(q);
  }
  if (q > static_cast<U128>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(q);
}

std::string Decimal::to_string() const {
  std::string digits = u128_digits(mantissa_);
  if (digits.size() <= scale_) digits.insert(0, scale_ + 1 - digits.size(), '0');
  std::string out;
  if (is_negative()) out.push_back('-');
  const size_t whole = digits.size() - scale_;
  out.append(digits, 0, whole);
  if (scale_ > 0) {
    out.push_back('.');
    out.append(digits, whole, std::string::npos);
  }
  return out;
}

std::string Decimal::to_string(uint32_t places) const {
  places = std::min(places, MAX_SCALE);
  const Decimal r = round_dp(places);
  std::string out = r.to_string();
  if (places > r.scale_) {
    if (r.scale_ == 0) out.push_back('.');
    out.append(places - r.scale_, '0');
  }
  return out;
}

int compare(const Decimal& a, const Decimal& b) {
  const bool a_neg = a.is_negative(), b_neg = b.is_negative();
  if (a_neg != b_neg) return a_neg ? -1 : 1;
  // Whole parts first, then the fractions scaled to 28 places: no product
  // here can exceed 128 bits.
  const U128 ia = a.mantissa_ / POW10[a.scale_], ib = b.mantissa_ / POW10[b.scale_];
  int c = 0;
  if (ia != ib) {
    c = ia < ib ? -1 : 1;
  } else {
    const U128 fa = (a.mantissa_ % POW10[a.scale_]) * POW10[Decimal::MAX_SCALE - a.scale_];
    const U128 fb = (b.mantissa_ % POW10[b.scale_]) * POW10[Decimal::MAX_SCALE - b.scale_];
    if (fa != fb) c = fa < fb ? -1 : 1;
  }
  return a_neg ? -c : c;
}

std::optional<uint64_t> decimal_to_u64_round(const Decimal& d) { return d.round_dp(0).to_u64(); }

}  // namespace vyr::extract
