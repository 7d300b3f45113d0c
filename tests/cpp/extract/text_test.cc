#include "extract/text.h"

#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vyr::extract {
namespace {

TEST(FindText, AgreesWithStringFind) {
  const struct {
    std::string_view hay, needle;
    size_t from;
  } cases[] = {
      {"", "a", 0},
      {std::string_view(), "og:url", 0},
      {"abc", "", 1},
      {"abc", "abcd", 0},
      {"abc", "c", 3},
      {"abc", "c", 4},
      // Matches that straddle, start or end at a sixteen-byte block edge,
      // and one that ends on the last byte.
      {"0123456789abcde\"priceCurrency\":\"USD\"", "\"priceCurrency\"", 0},
      {"0123456789abcdef\"priceCurrency\"", "\"priceCurrency\"", 0},
      {"0123456789abcdefghijklmnopqrstu\"priceCurrency\"", "\"priceCurrency\"", 0},
      {"\"priceCurrenc\" \"priceCurrency", "\"priceCurrency\"", 0},
      {"application/ld+jso application/ld+json", "application/ld+json", 0},
      {"application/ld+json application/ld+json", "application/ld+json", 1},
      {"<a rel=\"canonical\"><b rel=\"canonical\">", "rel=\"canonical\"", 3},
      {"NT$ 100 NT$", "NT$", 4},
      {"\xE2\x82\xAC 12", "\xE2\x82\xAC", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.hay) + " / " + std::string(c.needle));
    const size_t want = c.from > c.hay.size() ? std::string_view::npos : c.hay.find(c.needle, c.from);
    EXPECT_EQ(find_text(c.hay, c.needle, c.from), want);
    EXPECT_EQ(detail::find_text_sse2(c.hay, c.needle, c.from), want);
  }
}

// Texts over a four-letter alphabet hold many near misses at every offset.
TEST(FindText, AgreesWithStringFindOnRandomTexts) {
  std::mt19937 rng(7);
  const std::string_view alphabet = "\"aC<";
  auto random_text = [&](size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string hay = random_text(rng() % 90);
    const std::string needle = random_text(1 + rng() % 6);
    for (size_t from = 0; from <= hay.size(); from += 1 + rng() % 5) {
      const size_t want = std::string_view(hay).find(needle, from);
      ASSERT_EQ(find_text(hay, needle, from), want) << "hay " << hay << " needle " << needle << " from " << from;
      ASSERT_EQ(detail::find_text_sse2(hay, needle, from), want) << "hay " << hay << " needle " << needle;
    }
  }
}

}  // namespace
}  // namespace vyr::extract
