#include "query/predicates.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace vyr::query {
namespace {

using testing::make_graph;
using testing::rows_of;

TEST(Predicates, FuzzyContains) {
  const struct {
    std::string_view haystack, needle;
    bool want;
  } cases[] = {
      {"table lamp", "kettle", true},  // "le"
      {"abc", "xq", false},
      {"axqb", "xq", true},
      {"kettle", "k", true},
      {"lamp", "k", false},
      {"anything", "", true},
      {"", "", true},
      {"", "ab", false},
      {"red kettle", "d k", true},  // the pair "d " and " k" include the blank
      {"redkettle", "x k", false},
      {"crème brûlée", "èm", true},
      {"creme", "èm", false},       // characters, not bytes
      {"\xC3\xA9", "\xC3\xA9x", false},  // a single two-byte character is no pair
      {"日本語", "本語", true},
      {"日本語", "語日", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.haystack) + " / " + std::string(c.needle));
    EXPECT_EQ(fuzzy_contains(c.haystack, c.needle), c.want);
  }
}

TEST(Predicates, FullUnicodeLowerCase) {
  const struct {
    std::string_view text, lower;
  } cases[] = {
      {"Electric KETTLE 2000", "electric kettle 2000"},
      {"@AZ[`az{ ~\x7F ABCDEFGHIJKLMNOPQRSTUVWXYZ 0189", "@az[`az{ ~\x7F abcdefghijklmnopqrstuvwxyz 0189"},
      {"A LONG ASCII PREFIX BEFORE ÄÖÜ", "a long ascii prefix before äöü"},
      {"ÄÖÜ Straße", "äöü straße"},
      {"İstanbul", "i̇stanbul"},  // U+0130 lowers to i and a combining dot
      {"ΟΔΟΣ ΟΔΟΣ.", "οδος οδος."},  // final sigma at the end of each word
      {"K", "k"},                  // KELVIN SIGN lowers to ASCII k
  };
  std::string out;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    to_lower(c.text, out);
    EXPECT_EQ(out, c.lower);
  }
}

// One product per interesting property shape; each row names the products
// (in node order) for which the WHERE clause holds.
class Where : public ::testing::Test {
 protected:
  const Graph g = make_graph({
      {NodeKind::Product, "p0", "Electric kettle", R"({"price":"12","rating":4.5,"count":3,"x":"5a","discontinued":false})"},
      {NodeKind::Product, "p1", "Table lamp", R"({"price":15,"rating":"4.0","count":"3","x":5,"discontinued":0})"},
      {NodeKind::Product, "p2", "", R"({"rating":4,"count":3.0,"o":{"a":1},"p":null,"discontinued":true})"},
      {NodeKind::Product, "p3", "ÄPFEL Kühlschrank", R"(not json)"},
  });

  std::string names_where(std::string_view cond) {
    std::vector<std::string> rows = rows_of(g, "MATCH (p:Product) WHERE " + std::string(cond) + " RETURN p.name ORDER BY p.kind");
    std::string out;
    // [Str("x")] becomes ["x"].
    for (const std::string& r : rows) out += (out.empty() ? "[" : " [") + r.substr(5, r.size() - 7) + "]";
    return out;
  }
};

TEST_F(Where, EveryPredicate) {
  const struct {
    std::string_view cond, names;
  } cases[] = {
      // Comparisons: missing values make them false, NOT makes that true.
      {"p.price > 10", R"(["Table lamp"])"},
      {"NOT p.price > 10", R"(["Electric kettle"] [""] ["ÄPFEL Kühlschrank"])"},
      {"p.x <> 5", R"(["Electric kettle"])"},  // text against number: not comparable
      {"p.count = 3", R"(["Electric kettle"] ["Table lamp"] [""])"},
      {"p.price = '12'", R"(["Electric kettle"])"},
      {"p.rating >= 4.5", R"(["Electric kettle"])"},
      {"p.rating < 4.5", R"(["Table lamp"] [""])"},
      {"p.name < 'F'", R"(["Electric kettle"] [""])"},
      {"p.discontinued = false", R"(["Electric kettle"])"},
      {"p.discontinued < true", R"(["Electric kettle"])"},
      {"p.name = 'electric kettle'", ""},
      {"p.o = p.o", ""},
      {"(p.count = 3) = true", ""},  // a nested condition has no value
      // String predicates ignore case, fully.
      {"p.name CONTAINS 'KETTLE'", R"(["Electric kettle"])"},
      {"p.name STARTS WITH 'äpf'", R"(["ÄPFEL Kühlschrank"])"},
      {"p.name ENDS WITH 'LAMP'", R"(["Table lamp"])"},
      {"p.name STARTS WITH ''", R"(["Electric kettle"] ["Table lamp"] [""] ["ÄPFEL Kühlschrank"])"},
      {"p.name FUZZY 'kettle'", R"(["Electric kettle"] ["Table lamp"])"},
      {"p.name FUZZY 'K'", R"(["Electric kettle"] ["ÄPFEL Kühlschrank"])"},
      {"p.count CONTAINS '3'", ""},  // a number is not turned into text
      // Membership is exact.
      {"p.name IN ['Electric Kettle']", ""},
      {"p.name IN ['Electric kettle', 1]", R"(["Electric kettle"])"},
      {"p.rating IN [4, 4.5]", R"(["Electric kettle"] ["Table lamp"] [""])"},
      {"p.zz IN []", ""},
      {"p.price IN ['12', 15]", R"(["Electric kettle"] ["Table lamp"])"},
      // Regular expressions search unanchored, case-sensitively.
      {"p.name =~ 'lamp'", R"(["Table lamp"])"},
      {"p.name =~ '^lamp$'", ""},
      {"p.name =~ '(?i)TABLE'", R"(["Table lamp"])"},
      {"p.count =~ '3'", ""},
      // Properties and constants as conditions.
      {"p.discontinued", R"(["Table lamp"] [""])"},
      {"p.missing", ""},
      {"p.name", R"(["Electric kettle"] ["Table lamp"] [""] ["ÄPFEL Kühlschrank"])"},
      {"false OR 0", R"(["Electric kettle"] ["Table lamp"] [""] ["ÄPFEL Kühlschrank"])"},
      // IS NULL: missing, JSON null, objects and unreadable props.
      {"p.price IS NULL", R"([""] ["ÄPFEL Kühlschrank"])"},
      {"p.p IS NULL AND p.o IS NULL AND p.price IS NULL", R"([""] ["ÄPFEL Kühlschrank"])"},
      {"p.rating IS NOT NULL", R"(["Electric kettle"] ["Table lamp"] [""])"},
      // Unknown variables read as Null.
      {"q.name = 'Table lamp'", ""},
      {"NOT q.name = 'x'", R"(["Electric kettle"] ["Table lamp"] [""] ["ÄPFEL Kühlschrank"])"},
      // Boolean structure.
      {"NOT NOT p.price > 10", R"(["Table lamp"])"},
      {"p.price > 10 OR p.name = '' AND p.count = 3", R"(["Table lamp"] [""])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cond);
    EXPECT_EQ(names_where(c.cond), c.names);
  }
}

// The parser allows about a thousand levels of nesting; evaluating them
// must not depend on the call stack.
TEST_F(Where, DeepNestingEvaluates) {
  std::string nots;
  for (int i = 0; i < 991; ++i) nots += "NOT ";
  EXPECT_EQ(names_where(nots + "p.price > 10"), R"(["Electric kettle"] [""] ["ÄPFEL Kühlschrank"])");
  std::string ors = "p.price > 100";
  for (int i = 0; i < 900; ++i) ors += " OR p.price > 100";
  ors += " OR p.name = ''";
  EXPECT_EQ(names_where(ors), R"([""])");
  std::string parens = std::string(900, '(') + "p.name = ''" + std::string(900, ')');
  EXPECT_EQ(names_where(parens), R"([""])");
}

}  // namespace
}  // namespace vyr::query
