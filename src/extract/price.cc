#include "extract/price.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include <emmintrin.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "core/utf8.h"
#include "extract/text.h"

namespace vyr::extract {

namespace {

constexpr std::array<std::string_view, 20> KNOWN_CURRENCIES = {
    "USD", "EUR", "GBP", "JPY", "CNY", "TWD", "HKD", "SGD", "AUD", "CAD",
    "KRW", "INR", "ILS", "THB", "MYR", "PHP", "IDR", "VND", "BRL", "MXN",
};

// Currencies whose minor unit is the major unit.
bool is_zero_decimal(std::string_view code) {
  return code == "JPY" || code == "KRW" || code == "TWD" || code == "VND" || code == "IDR";
}

// The static copy of a known code, so a verdict can carry it without owning it.
std::string_view known_currency(std::string_view letters) {
  for (std::string_view code : KNOWN_CURRENCIES)
    if (code == letters) return code;
  return {};
}

// Only these mark a number as a price. The fullwidth dollar and yen signs are
// left out on purpose: CJK pages use them in running text far more often
// than next to prices.
bool is_currency_sign(UChar32 c) {
  return c == 0x24 || (c >= 0xA2 && c <= 0xA5) || (c >= 0x20A0 && c <= 0x20BF) || c == 0x5143 || c == 0x5186 ||
         c == 0x5706 || c == 0x5713 || c == 0xC6D0 || c == 0xFDFC;
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool starts_with_ignore_case(std::string_view s, size_t at, std::string_view prefix) {
  if (at > s.size() || s.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (ascii_lower(s[at + i]) != ascii_lower(prefix[i])) return false;
  return true;
}

// Position of the first "</name" (case-insensitive) at or after `from`.
size_t find_closing_tag(std::string_view page, size_t from, std::string_view name) {
  while (from < page.size()) {
    const void* hit = std::memchr(page.data() + from, '<', page.size() - from);
    if (hit == nullptr) return std::string_view::npos;
    const size_t lt = static_cast<size_t>(static_cast<const char*>(hit) - page.data());
    if (lt + 1 < page.size() && page[lt + 1] == '/' && starts_with_ignore_case(page, lt + 2, name)) return lt;
    from = lt + 1;
  }
  return std::string_view::npos;
}

// The characters a shopper could see. Script and style elements are dropped
// whole; any other tag (comments and doctype included) becomes one space, so
// that text on both sides of a tag does not run together. Attribute values
// never reach the text, and character references stay undecoded.
std::string visible_text(std::string_view page) {
  std::string text;
  text.reserve(page.size() / 4);
  size_t i = 0;
  while (i < page.size()) {
    const void* hit = std::memchr(page.data() + i, '<', page.size() - i);
    const size_t lt = hit == nullptr ? page.size() : static_cast<size_t>(static_cast<const char*>(hit) - page.data());
    text.append(page.data() + i, lt - i);
    if (lt == page.size()) break;
    // Both skipped elements begin with an "s": most tags are settled by one test.
    if (lt + 1 < page.size() && ascii_lower(page[lt + 1]) == 's') {
      if (auto end = skip_block(page, lt, "script")) {
        i = *end;
        continue;
      }
      if (auto end = skip_block(page, lt, "style")) {
        i = *end;
        continue;
      }
    }
    const void* gt = std::memchr(page.data() + lt + 1, '>', page.size() - lt - 1);
    i = gt == nullptr ? page.size() : static_cast<size_t>(static_cast<const char*>(gt) - page.data()) + 1;
    text.push_back(' ');
  }
  return text;
}

// The nearest character before `pos` that is not white space, or -1.
// Ill-formed bytes decode as negative values, which are never currency signs.
// Each character is decoded from a window of at most 4 bytes, so offsets stay
// small whatever the page size. `start` receives that character's position.
UChar32 previous_visible_char(std::string_view text, size_t pos, size_t* start = nullptr) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  while (pos > 0) {
    const size_t base = pos >= 4 ? pos - 4 : 0;
    auto i = static_cast<int32_t>(pos - base);
    UChar32 c;
    U8_PREV(s + base, 0, i, c);
    pos = base + static_cast<size_t>(i);
    if (c < 0 || !u_isUWhiteSpace(c)) {
      if (start != nullptr) *start = pos;
      return c;
    }
  }
  return -1;
}

// The nearest character at or after `pos` that is not white space, or -1;
// `start` receives its position.
UChar32 next_visible_char(std::string_view text, size_t pos, size_t* start = nullptr) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  while (pos < text.size()) {
    const auto length = static_cast<int32_t>(std::min<size_t>(text.size() - pos, 4));
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(s + pos, i, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) {
      if (start != nullptr) *start = pos;
      return c;
    }
    pos += static_cast<size_t>(i);
  }
  return -1;
}

// The whole part of an amount run ("1,299.00" -> 1299, "1.299" -> 1299,
// "12,5" -> 12). One or two digits after the last separator are decimals;
// anything else is digit grouping. Separators at the end of the run belong to
// the surrounding prose ("Now $1,299.00, was ..."), not to the number, so
// they are set aside before the last separator is looked for.
std::optional<uint64_t> whole_part(std::string_view run) {
  while (!run.empty() && !is_ascii_digit(run.back())) run.remove_suffix(1);
  const size_t last_sep = run.find_last_of(",.");
  if (last_sep != std::string_view::npos) {
    size_t decimals = 0;
    for (size_t i = last_sep + 1; i < run.size(); ++i) decimals += is_ascii_digit(run[i]) ? 1 : 0;
    if (decimals == 1 || decimals == 2) run = run.substr(0, last_sep);
  }
  uint64_t value = 0;
  bool any = false;
  for (char c : run) {
    if (!is_ascii_digit(c)) continue;
    any = true;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (!any) return std::nullopt;
  return value;
}

bool is_amount_char(char c) { return is_ascii_digit(c) || c == ',' || c == '.'; }

// Counts the amount run once when its whole part can be a price: small
// numbers are quantities and ratings, and 1900 to 2100 are years.
void count_run(std::string_view run, std::unordered_map<uint64_t, uint32_t>& counts) {
  if (auto amount = whole_part(run)) {
    if (*amount >= 10 && (*amount < 1900 || *amount > 2100)) ++counts[*amount];
  }
}

// An amount run begins at a digit and takes every digit, "," and "." after
// it; the runs with a currency sign as the nearest visible character before
// or after them are counted.
void count_runs_by_scan(std::string_view text, std::unordered_map<uint64_t, uint32_t>& counts) {
  size_t j = 0;
  while (j < text.size()) {
    if (!is_ascii_digit(text[j])) {
      ++j;
      continue;
    }
    size_t e = j;
    while (e < text.size() && is_amount_char(text[e])) ++e;
    if (is_currency_sign(previous_visible_char(text, j)) || is_currency_sign(next_visible_char(text, e)))
      count_run(text.substr(j, e - j), counts);
    j = e;
  }
}

// Calls f with the position of every byte of `text` that is one of `bytes`,
// in order, sixteen bytes at a time, until f returns false.
template <size_t N, class F>
void for_each_byte_of(std::string_view text, const char (&bytes)[N], F&& f) {
  const char* s = text.data();
  const size_t n = text.size();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i any = _mm_setzero_si128();
    for (char b : bytes) any = _mm_or_si128(any, _mm_cmpeq_epi8(block, _mm_set1_epi8(b)));
    for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(any)); mask != 0; mask &= mask - 1)
      if (!f(i + static_cast<size_t>(__builtin_ctz(mask)))) return;
  }
  for (; i < n; ++i)
    if (std::find(std::begin(bytes), std::end(bytes), s[i]) != std::end(bytes) && !f(i)) return;
}

// The runs count_runs_by_scan counts, found from the signs instead of from
// every number: the run whose last character is the sign's nearest visible
// character before it, and the run that begins at its nearest visible
// character after it. `text` must be valid UTF-8.
void count_runs_near_signs(std::string_view text, std::unordered_map<uint64_t, uint32_t>& counts) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  // A run between two signs is reached from both; the second reach comes
  // right after the first.
  size_t last_run = std::string_view::npos;
  auto take = [&](size_t j, size_t e) {
    if (j == last_run) return;
    last_run = j;
    count_run(text.substr(j, e - j), counts);
  };
  // "$" and the lead bytes of the signs' UTF-8 forms: C2 for U+00A2-A5, E2
  // for U+20A0-20BF, E5 for the CJK signs, EC for U+C6D0, EF for U+FDFC.
  for_each_byte_of(text, {'$', '\xC2', '\xE2', '\xE5', '\xEC', '\xEF'}, [&](size_t p) {
    const auto length = static_cast<int32_t>(std::min<size_t>(text.size() - p, 4));
    int32_t after = 0;
    UChar32 c;
    U8_NEXT(bytes + p, after, length, c);
    if (!is_currency_sign(c)) return true;
    // A run cannot begin with "," or ".", and it ends only where its
    // characters do: the one before the sign ends at that sign's nearest
    // character, its start is the first digit of the stretch of amount
    // characters that ends there.
    size_t q = 0;
    if (previous_visible_char(text, p, &q) >= 0 && is_amount_char(text[q])) {
      size_t b = q;
      while (b > 0 && is_amount_char(text[b - 1])) --b;
      while (b < q && !is_ascii_digit(text[b])) ++b;
      if (is_ascii_digit(text[b])) take(b, q + 1);
    }
    size_t r = 0;
    if (next_visible_char(text, p + static_cast<size_t>(after), &r) >= 0 && is_ascii_digit(text[r])) {
      size_t e = r;
      while (e < text.size() && is_amount_char(text[e])) ++e;
      take(r, e);
    }
    return true;
  });
}

// The page currency: the first currency key that names a known code within 16
// bytes, else an unambiguous currency sign anywhere in the raw page.
std::string_view detect_currency(std::string_view page) {
  for (std::string_view key : {std::string_view("\"priceCurrency\""), std::string_view("\"currency_code\""),
                               std::string_view("\"currency\"")}) {
    const size_t at = find_text(page, key);
    if (at == std::string_view::npos) continue;
    const std::string_view window = page.substr(at + key.size(), 16);
    for (size_t k = 0; k + 3 <= window.size(); ++k) {
      char letters[3];
      bool alpha = true;
      for (size_t t = 0; t < 3; ++t) {
        const char c = window[k + t];
        alpha = alpha && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
        letters[t] = c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
      }
      if (!alpha) continue;
      if (std::string_view code = known_currency(std::string_view(letters, 3)); !code.empty()) return code;
    }
  }
  // The signs in order of precedence: the first one found anywhere decides.
  static constexpr std::pair<std::string_view, std::string_view> SIGNS[] = {
      {"\u20AC", "EUR"}, {"\u00A3", "GBP"}, {"\u20AA", "ILS"}, {"\u20B9", "INR"},
      {"\u20A9", "KRW"}, {"NT$", "TWD"},    {"NT\uFF04", "TWD"},
  };
  // One pass notes every sign present instead of one search per sign: each
  // begins with one of three bytes.
  unsigned seen = 0;
  for_each_byte_of(page, {'\xE2', '\xC2', 'N'}, [&](size_t at) {
    const std::string_view rest = page.substr(at);
    for (size_t k = 0; k < std::size(SIGNS); ++k)
      if (rest.starts_with(SIGNS[k].first)) seen |= 1U << k;
    return (seen & 1U) == 0;  // nothing outranks the first sign
  });
  for (size_t k = 0; k < std::size(SIGNS); ++k)
    if ((seen & (1U << k)) != 0) return known_currency(SIGNS[k].second);
  return {};
}

// The structured price as an exact decimal. Strings keep only their digits
// and points, so "USD 1,299.00" reads 1299.00 while a range "12.99-15.99"
// has two points and fails. Numbers are read from their canonical text, so
// a float prints as it would in the graph ("12.0") and exponents fail.
std::optional<Decimal> parse_price(const json::Value& v) {
  if (v.is_string()) {
    std::string kept;
    for (char c : v.as_string())
      if (is_ascii_digit(c) || c == '.') kept.push_back(c);
    return Decimal::parse(kept);
  }
  if (v.is_number()) return Decimal::parse(json::to_text(v));
  return std::nullopt;
}

std::string format_price(const Decimal& major, bool zero_decimal) {
  if (zero_decimal) return major.to_string(0);
  const Decimal r = major.round_dp(2);
  return r.is_integral() ? r.to_string(0) : r.to_string(2);
}

}  // namespace

std::optional<size_t> skip_block(std::string_view page, size_t lt, std::string_view name) {
  if (lt >= page.size() || page[lt] != '<' || !starts_with_ignore_case(page, lt + 1, name)) return std::nullopt;
  const size_t gt = page.find('>', lt + 1 + name.size());
  if (gt == std::string_view::npos || gt + 1 == page.size()) return page.size();
  const size_t close = find_closing_tag(page, gt + 1, name);
  if (close == std::string_view::npos) return page.size();
  const size_t close_gt = page.find('>', close + 2 + name.size());
  return close_gt == std::string_view::npos ? page.size() : close_gt + 1;
}

PriceScale PriceScale::from_html(std::string_view html) {
  PriceScale scale;
  const std::string text = visible_text(html);
  // A well-formed text reads the same from either side of a sign, so the few
  // signs can lead to their neighbouring numbers; ill-formed bytes could
  // decode differently backwards and forwards, so such pages take every
  // number in turn and look at both its sides instead.
  if (is_valid_utf8(text)) {
    count_runs_near_signs(text, scale.counts_);
  } else {
    count_runs_by_scan(text, scale.counts_);
  }
  scale.currency_ = detect_currency(html);
  return scale;
}

bool PriceScale::is_repeated(uint64_t amount) const {
  const auto it = counts_.find(amount);
  return it != counts_.end() && it->second >= 2;
}

std::optional<PriceVerdict> PriceScale::verdict(const json::Value* price, const std::optional<Decimal>& reference) const {
  if (price == nullptr) return std::nullopt;
  const std::optional<Decimal> p = parse_price(*price);
  if (!p) return std::nullopt;

  std::optional<Decimal> major;
  uint32_t score = 0;
  // A reference amount in major units settles the unit on its own: the
  // price is in cents when it lies within half the reference of 100 times
  // it, in major units when within a hundredth of it. Overflow fails a test.
  if (reference && *reference > Decimal()) {
    const Decimal& h = *reference;
    if (auto hundred = h.mul(100)) {
      if (auto diff = p->sub(*hundred); diff && diff->abs() < h.div2()) {
        major = p->div100();
        score = 3;
      }
    }
    if (!major) {
      if (auto diff = p->sub(h); diff && diff->abs() < h.div100()) {
        major = *p;
        score = 3;
      }
    }
  }
  // Page evidence: the price as shown (rounded, since the page shows whole
  // parts) or, for a whole number of major units, the price in cents.
  if (!major && has_amounts()) {
    if (auto k = decimal_to_u64_round(*p)) {
      if (has_amount(*k)) {
        major = *p;
        score = is_repeated(*k) ? 3 : 2;
      } else if (*p >= Decimal::from_u64(100) && p->div100().is_integral()) {
        const Decimal hundredth = p->div100();
        if (auto k2 = decimal_to_u64_round(hundredth); k2 && has_amount(*k2)) {
          major = hundredth;
          score = is_repeated(*k2) ? 3 : 2;
        }
      }
    }
  }
  if (!major) {
    major = *p;
    score = 0;
  }

  const bool zero_decimal = is_zero_decimal(currency_);
  PriceVerdict v;
  v.price = format_price(*major, zero_decimal);
  v.currency = currency_;
  v.score = score;
  v.scale = zero_decimal ? 0 : 2;
  if (auto minor = major->mul(zero_decimal ? 1 : 100)) v.cents = minor->round_dp(0).to_i64().value_or(0);
  return v;
}

void PriceVerdict::write_into(json::Object& props) const {
  props.set("price", json::Value(price));
  props.set("price_cents", json::Value(cents));
  props.set("price_scale", json::Value(static_cast<uint64_t>(scale)));
  if (!currency.empty()) props.set("currency", json::Value(currency));
  props.set("price_confident", json::Value(score > 1));
  props.set("price_score", json::Value(static_cast<uint64_t>(score)));
}

json::Object normalized_price_map(const json::Value& record, const json::Value* price, const PriceScale& scale,
                                  const std::optional<Decimal>& reference) {
  json::Object props = record.is_object() ? record.as_object() : json::Object();
  if (auto v = scale.verdict(price, reference)) v->write_into(props);
  return props;
}

std::string with_normalized_price(const json::Value& record, const json::Value* price, const PriceScale& scale,
                                  const std::optional<Decimal>& reference) {
  json::Object verdict;
  if (auto v = scale.verdict(price, reference)) v->write_into(verdict);
  static const json::Object NO_MEMBERS;
  return merged_json_text(record.is_object() ? record.as_object() : NO_MEMBERS, verdict);
}

}  // namespace vyr::extract
