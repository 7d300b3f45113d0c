#include "extract/price.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vyr::extract {
namespace {

json::Value parse_json(std::string_view text) {
  std::optional<json::Value> v = json::parse(text);
  if (!v) {
    ADD_FAILURE() << "not JSON: " << text;
    return {};
  }
  return std::move(*v);
}

TEST(PriceScale, CollectsWholeAmountsNextToCurrencySigns) {
  const struct {
    std::string_view html;
    std::vector<uint64_t> amounts, repeated;
  } cases[] = {
      // A comma right after a price belongs to the prose, not the number.
      {"<p>Now $1,299.00, was $1,499.00</p>", {1299, 1499}, {}},
      {"<p>\xE2\x82\xAC 25</p><div>25 \xE2\x82\xAC</div>", {25}, {25}},
      {"<p>$5 and $2024 and $1900 and $2101 and $12</p>", {12, 2101}, {}},
      {"<script>var p='$99';</script><style>.a{content:'$77'}</style><p>$55</p>", {55}, {}},
      {"<a title='$66' data-price=\"$67\">x</a>", {}, {}},
      {"<title>$31</title><noscript>$32</noscript>", {31, 32}, {}},
      {"<p>$41</p><script>x<p>$42</p>", {41}, {}},
      {"<SCRIPT type=x>$43</Script >$44", {44}, {}},
      {"<scripts>$45</scripts>$46", {46}, {}},
      {"<!-- $47 --><p>$48</p>", {48}, {}},
      {"$1.299 / 12,5 \xE2\x82\xAC / 12,345\xE2\x82\xAC / $13. / $1,5,", {1299, 12, 12345, 13}, {}},
      {"\xC2\xA5 1299 / 1299\xE5\x86\x86 / \xE2\x82\xA9 15000 / NT$ 990", {1299, 15000, 990}, {1299}},
      // Fullwidth dollar and yen signs are not currency signs here.
      {"\xEF\xBC\x84" "50 / \xEF\xBF\xA5" "60", {}, {}},
      // U+00A0 and U+3000 are white space; an undecoded &nbsp; is not.
      {"$\xC2\xA0" "25 / 26\xE3\x80\x80\xE2\x82\xAC / $&nbsp;27", {25, 26}, {}},
      // A tag between sign and number reads as a space.
      {"<span>$</span><span>28</span>", {28}, {}},
      {"Order 12345 now, call 555-1234", {}, {}},
      {"$99999999999999999999999 and $18446744073709551615", {18446744073709551615ULL}, {}},
      {"", {}, {}},
      {"<", {}, {}},
      {"<script", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    const PriceScale scale = PriceScale::from_html(c.html);
    EXPECT_EQ(scale.has_amounts(), !c.amounts.empty());
    EXPECT_EQ(scale.amount_count(), c.amounts.size());
    for (uint64_t a : c.amounts) {
      EXPECT_TRUE(scale.has_amount(a)) << a;
      const bool repeated = std::find(c.repeated.begin(), c.repeated.end(), a) != c.repeated.end();
      EXPECT_EQ(scale.is_repeated(a), repeated) << a;
    }
  }
}

// Well-formed pages are read from their signs outward; a page with an
// ill-formed byte looks at every number instead. A stray byte at the very end
// can change no number's neighbours, so both readings must agree.
TEST(PriceScale, SignLedReadingAgreesWithReadingEveryNumber) {
  const std::string_view pieces[] = {
      "$",   "\xE2\x82\xAC", "\xC2\xA5", "\xE5\x85\x83", "NT$", "\xEF\xBC\x84", " ",     "\xC2\xA0",
      "\xE3\x80\x80", "\n", "1",   "4",     "25",   "1,299", "30.5", ",",    ".",     "a",
      "<p>", "</p>",  "<script>", "</script>", "<style>", "\xE2\x82\xACx",
  };
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    std::string page;
    for (size_t k = rng() % 40; k > 0; --k) page += pieces[rng() % std::size(pieces)];
    const PriceScale led = PriceScale::from_html(page);
    const PriceScale every = PriceScale::from_html(page + "\xFF");
    SCOPED_TRACE(page);
    ASSERT_EQ(led.amount_count(), every.amount_count());
    for (uint64_t a = 0; a < 5000; ++a) {
      ASSERT_EQ(led.has_amount(a), every.has_amount(a)) << a;
      ASSERT_EQ(led.is_repeated(a), every.is_repeated(a)) << a;
    }
  }
}

TEST(PriceScale, SkipBlockFindsTheEndOfScriptAndStyleElements) {
  const struct {
    std::string_view page;
    std::string_view name;
    std::optional<size_t> end;
  } cases[] = {
      {"<script>a</script>b", "script", 18},
      {"<Style>a</STYLE  >b", "style", 18},
      {"<script>a</scriptx>b", "script", 19},
      {"<script>a</script", "script", 17},      // closing name without ">": the page end
      {"<script>a", "script", 9},               // never closed
      {"<script src=x>", "script", 14},         // ">" is the last byte
      {"<script", "script", 7},
      {"<scrip>", "script", std::nullopt},
      {"<p>", "script", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    EXPECT_EQ(skip_block(c.page, 0, c.name), c.end);
  }
}

TEST(PriceScale, DetectsThePageCurrency) {
  const struct {
    std::string_view html, currency;
  } cases[] = {
      {R"({"priceCurrency":"usd"})", "USD"},
      {R"({"priceCurrency": "Dollar"})", ""},
      {R"({"currency":              "EUR"})", ""},  // beyond 16 bytes
      {R"({"currency_code":"GBP"})", "GBP"},
      {R"({"currency":"EUR","priceCurrency":"USD"})", "USD"},
      {R"({"priceCurrency":"XYZ","currency":"jpy"})", "JPY"},
      // Character references are not decoded.
      {R"({"priceCurrency":"XYZ", "n": 1} <p>5 &euro; 5 \u20ac</p>)", ""},
      {R"({"currency":"usdollars"})", "USD"},
      {R"({"priceCurrency":"US"})", ""},
      {R"({"priceCurrency":"US"} <p>NT$ 990</p>)", "TWD"},
      {"<p>NT\xEF\xBC\x84" "990</p>", "TWD"},
      {"<p>$10 and \xC2\xA5" "20</p>", ""},
      {"<p>\xC2\xA3" "5 or \xE2\x82\xAC" "6</p>", "EUR"},
      {"<p>\xE2\x82\xB9 499</p>", "INR"},
      {"<p>\xE2\x82\xA9 499</p>", "KRW"},
      {"<p>\xE2\x82\xAA 499</p>", "ILS"},
      // The first sign in the order above wins, wherever each stands.
      {"<p>NT$ 1 \xE2\x82\xA9 2 \xE2\x82\xAA 3</p>", "ILS"},
      {"<p>NT$ 1 \xC2\xA3 2</p>", "GBP"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(PriceScale::from_html(c.html).currency(), c.currency);
  }
}

TEST(PriceScale, VerdictsFromPageEvidenceAndReferenceAmounts) {
  const struct {
    std::string_view page, price_json;
    std::optional<std::string_view> reference;
    std::string_view price;
    int64_t cents;
    uint32_t score;
    uint8_t scale;
  } cases[] = {
      {"<p>$1,299</p>", "1299", {}, "1299", 129900, 2, 2},
      {"<p>$1,299</p>", "129900", {}, "1299", 129900, 2, 2},
      {"<p>$1,299</p><p>1,299 $</p>", "1299", {}, "1299", 129900, 3, 2},
      {"<p>$1,299</p><p>1,299 $</p>", "129900", {}, "1299", 129900, 3, 2},
      {"<p>$1,299</p>", "\"USD 1,299.00\"", {}, "1299", 129900, 2, 2},
      {"<p>$1,299.00</p>", "129999", {}, "129999", 12999900, 0, 2},
      // Page amounts are truncated whole parts, the structured price is rounded.
      {"<p>$12.99</p>", "12.99", {}, "12.99", 1299, 0, 2},
      {"<p>$12.99</p>", "12.49", {}, "12.49", 1249, 2, 2},
      {"", "12.99", "12.99", "12.99", 1299, 3, 2},
      {"", "1299", "12.99", "12.99", 1299, 3, 2},
      {"", "\"1299\"", "12.99", "12.99", 1299, 3, 2},
      {"", "13.05", "12.99", "13.05", 1305, 3, 2},  // within a hundredth of the reference
      {"", "13.20", "12.99", "13.20", 1320, 0, 2},
      {"", "1299", "0", "1299", 129900, 0, 2},      // a zero reference decides nothing
      // Without a reference match the page evidence still decides.
      {"<p>$1,299</p>", "129900", "5", "1299", 129900, 2, 2},
      {R"({"priceCurrency":"JPY"})", "1299.6", {}, "1300", 1300, 0, 0},
      {R"({"priceCurrency":"KRW"} <p>&#8361;15000</p>)", "15000", {}, "15000", 15000, 0, 0},
      {"", "\"12.50\"", {}, "12.50", 1250, 0, 2},
      {"", "12.5", {}, "12.50", 1250, 0, 2},
      {"", "\"12.345\"", {}, "12.34", 1234, 0, 2},
      {"", "\"12.00\"", {}, "12", 1200, 0, 2},
      {"", "12.0", {}, "12", 1200, 0, 2},
      {"", "-5", {}, "-5", -500, 0, 2},
      {"", "\"-5\"", {}, "5", 500, 0, 2},  // strings keep digits and points only
      {"", "\"79228162514264337593543950335\"", {}, "79228162514264337593543950335", 0, 0, 2},
      {"", "\"92233720368547758.08\"", {}, "92233720368547758.08", 0, 0, 2},
      {"", "\"92233720368547758.07\"", {}, "92233720368547758.07", INT64_MAX, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.page) + " | " + std::string(c.price_json));
    const PriceScale scale = PriceScale::from_html(c.page);
    const json::Value price = parse_json(c.price_json);
    std::optional<Decimal> reference;
    if (c.reference) reference = Decimal::parse(*c.reference);
    auto v = scale.verdict(&price, reference);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->price, c.price);
    EXPECT_EQ(v->cents, c.cents);
    EXPECT_EQ(v->score, c.score);
    EXPECT_EQ(v->scale, c.scale);
    EXPECT_EQ(v->currency, scale.currency());
  }
}

TEST(PriceScale, NoVerdictForValuesWithoutAnExactDecimal) {
  const PriceScale scale = PriceScale::from_html("<p>$1,299</p>");
  EXPECT_FALSE(scale.verdict(nullptr).has_value());
  for (std::string_view text : {"true", "null", "{}", "[1299]", "\"\"", "\"call us\"", "\"12.99-15.99\"", "1e20",
                                "1.5e-7"}) {
    SCOPED_TRACE(text);
    const json::Value v = parse_json(text);
    EXPECT_FALSE(scale.verdict(&v).has_value());
  }
}

TEST(PriceScale, NormalizedMapWritesTheVerdictOverCopiedMembers) {
  const json::Value record = parse_json(
      R"({"currency":"EUR","name":"Kettle","price":"1,299.00","price_cents":5,"price_score":9,"sale":"12.00"})");
  const struct {
    std::string_view page, price_member, text;
  } cases[] = {
      // The page currency wins over the record's own.
      {R"(<p>$1,299</p> "priceCurrency":"USD")", "price",
       R"({"currency":"USD","name":"Kettle","price":"1299","price_cents":129900,"price_confident":true,)"
       R"("price_scale":2,"price_score":2,"sale":"12.00"})"},
      // An unknown page currency leaves the record's own; a price under
      // another key leaves that member as it was.
      {"", "sale",
       R"({"currency":"EUR","name":"Kettle","price":"12","price_cents":1200,"price_confident":false,)"
       R"("price_scale":2,"price_score":0,"sale":"12.00"})"},
      // No verdict: every member survives as copied.
      {"", "name",
       R"({"currency":"EUR","name":"Kettle","price":"1,299.00","price_cents":5,"price_score":9,"sale":"12.00"})"},
      {"", "missing",
       R"({"currency":"EUR","name":"Kettle","price":"1,299.00","price_cents":5,"price_score":9,"sale":"12.00"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.price_member);
    const PriceScale scale = PriceScale::from_html(c.page);
    EXPECT_EQ(with_normalized_price(record, record.get(c.price_member), scale), c.text);
  }
  const json::Value price(uint64_t(1299));
  EXPECT_EQ(with_normalized_price(json::Value("not an object"), &price, PriceScale::empty(), Decimal::parse("12.99")),
            R"({"price":"12.99","price_cents":1299,"price_confident":true,"price_scale":2,"price_score":3})");
  EXPECT_EQ(with_normalized_price(json::Value(), nullptr, PriceScale::empty()), "{}");
}

}  // namespace
}  // namespace vyr::extract
