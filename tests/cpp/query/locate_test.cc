#include "query/locate.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json.h"

namespace vyr::query {
namespace {

// Every vector width this processor can run, so that each variant of the
// search is checked.
std::vector<VectorWidth> widths() {
  std::vector<VectorWidth> out{VectorWidth::Bits128};
  if (widest_vectors() >= VectorWidth::Bits256) out.push_back(VectorWidth::Bits256);
  if (widest_vectors() >= VectorWidth::Bits512) out.push_back(VectorWidth::Bits512);
  return out;
}

// Random JSON object texts with what trips a structural search: strings
// holding brackets, commas, colons and escaped quotes or backslashes, blanks
// everywhere the grammar allows, nesting, duplicate names (the later counts),
// names that are prefixes of each other, names with escapes, and texts long
// enough to cross several 64-byte blocks.
class TextMaker {
 public:
  explicit TextMaker(uint32_t seed) : rng_(seed) {}

  std::string object(int depth) {
    std::string out = "{" + blanks();
    const int members = pick(0, depth == 0 ? 12 : 4);
    for (int m = 0; m < members; ++m) {
      if (m) out += "," + blanks();
      out += name() + blanks() + ":" + blanks() + value(depth + 1) + blanks();
    }
    return out + "}";
  }

  const std::vector<std::string>& names() const { return NAMES; }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string blanks() {
    static const char* const B[] = {"", "", "", " ", "\n\t ", "\r\n"};
    return B[pick(0, 5)];
  }

  std::string name() {
    const std::string& n = NAMES[static_cast<size_t>(pick(0, static_cast<int>(NAMES.size()) - 1))];
    if (n == "price" && pick(0, 5) == 0) return "\"pr\\u0069ce\"";  // "price", escaped
    return "\"" + n + "\"";
  }

  std::string text() {
    static const char* const T[] = {"", "plain", "a, b: {c} [d]", "say \\\"hi\\\"", "back\\\\", "\\\\\\\"",
                                    "\\u00e9t\\u00e9", "caf\xc3\xa9", "\\n\\t", "price\\\":1,\\\"rating",
                                    "\\\"price\\\":", "}"};
    std::string s = T[pick(0, 11)];
    if (pick(0, 4) == 0) s += std::string(static_cast<size_t>(pick(40, 130)), 'x');
    return "\"" + s + "\"";
  }

  std::string value(int depth) {
    const int kind = pick(0, depth > 4 ? 5 : 7);
    switch (kind) {
      case 0: return text();
      case 1: return std::to_string(pick(-1000, 100000));
      case 2: return pick(0, 1) ? "12.5e-3" : "-0.25";
      case 3: return pick(0, 1) ? "true" : "false";
      case 4: return "null";
      case 5: return text();
      case 6: {
        std::string out = "[" + blanks();
        const int items = pick(0, 4);
        for (int i = 0; i < items; ++i) out += (i ? "," + blanks() : "") + value(depth + 1);
        return out + blanks() + "]";
      }
      default: return object(depth);
    }
  }

  inline static const std::vector<std::string> NAMES = {"price", "price_cents", "p", "rating", "name",
                                                         "offers", "@type", "x", "pricey"};
  std::mt19937 rng_;
};

TEST(LocateMembers, FindsWhatAStrictReaderFinds) {
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    TextMaker maker(seed);
    const std::string text = maker.object(0);
    const std::optional<json::Value> doc = json::parse(text);
    ASSERT_TRUE(doc && doc->is_object()) << text;
    std::vector<std::string_view> keys(maker.names().begin(), maker.names().end());
    for (VectorWidth width : widths()) {
      std::vector<MemberSpan> spans(keys.size());
      if (!locate_members(text, keys, spans.data(), width)) {
        // Only a name written with an escape makes the search give up.
        EXPECT_NE(text.find("\\u0069"), std::string::npos) << text;
        continue;
      }
      for (size_t k = 0; k < keys.size(); ++k) {
        const json::Value* want = doc->get(keys[k]);
        ASSERT_EQ(spans[k].found, want != nullptr) << keys[k] << " in " << text;
        if (!want) continue;
        const std::optional<json::Value> got = json::parse(std::string_view(text).substr(spans[k].off, spans[k].len));
        ASSERT_TRUE(got) << keys[k] << " in " << text;
        EXPECT_EQ(*got, *want) << keys[k] << " in " << text;
      }
    }
  }
}

// A name, an escape or a string may straddle two 64-byte blocks.
TEST(LocateMembers, FindsNamesAcrossBlockBoundaries) {
  const std::string_view keys[] = {"price"};
  for (size_t pad = 0; pad < 140; ++pad) {
    for (std::string_view filler : {"x", "\\\\", "\\\""}) {  // x, \\ and \"
      std::string text = "{\"pad\":\"";
      for (size_t i = 0; i < pad / filler.size(); ++i) text += filler;
      text += "\",\"price\":5}";
      for (VectorWidth width : widths()) {
        MemberSpan span;
        ASSERT_TRUE(locate_members(text, keys, &span, width)) << text;
        EXPECT_TRUE(span.found) << text;
        EXPECT_EQ(std::string_view(text).substr(span.off, span.len), "5") << text;
      }
    }
  }
}

TEST(LocateMembers, GivesUpOnWhatIsNotAnObject) {
  const std::string_view keys[] = {"a"};
  MemberSpan span;
  for (std::string_view text : {"", "  ", "[1]", "\"a\"", "{", "{\"a\":1", "{\"a\":1}x", "{\"a\":1}}",
                                "{\"a\":[1}", "{\"a\":}", "{\"a\":\"1}"})
    EXPECT_FALSE(locate_members(text, keys, &span)) << text;
  EXPECT_TRUE(locate_members(" {} ", keys, &span));
  EXPECT_FALSE(span.found);
  for (std::string_view bad : {"", "a\"b", "a\\b"}) EXPECT_FALSE(locatable_name(bad)) << bad;
  EXPECT_TRUE(locatable_name("price_cents"));
}

// Arbitrary bytes must never be read outside the text, whatever comes out.
TEST(LocateMembers, StaysInsideArbitraryBytes) {
  std::mt19937 rng(7);
  const std::string_view keys[] = {"a", "price"};
  MemberSpan spans[2];
  const std::string alphabet = "{}[]\",:\\ a1e.-price\n";
  for (int round = 0; round < 20000; ++round) {
    const size_t n = std::uniform_int_distribution<size_t>(0, 200)(rng);
    std::string text = "{";
    for (size_t i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    // An exact-size heap copy, so that a read past the end is reported.
    const std::vector<char> bytes(text.begin(), text.end());
    for (VectorWidth width : widths()) {
      if (locate_members(std::string_view(bytes.data(), bytes.size()), keys, spans, width)) {
        for (const MemberSpan& s : spans) {
          if (s.found) {
            EXPECT_LE(size_t{s.off} + s.len, bytes.size());
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vyr::query
