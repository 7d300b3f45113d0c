#include "query/executor.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph_fixture.h"
#include "query/ordering.h"

namespace vyr::query {
namespace {

using testing::make_graph;
using testing::rows_of;
using Rows = std::vector<std::string>;

// Two products sharing an offer, with a parallel edge and brands.
//   0 p0 Kettle -Offers-> 1 o0, 2 o1, and twice -Brand-> 4 Acme
//   3 p1 Lamp   -Offers-> 1 o0, -Brand-> 4 Acme
class Matching : public ::testing::Test {
 protected:
  const Graph g = make_graph(
      {
          {NodeKind::Product, "p0", "Kettle", R"({"rating":5,"price":"5"})"},
          {NodeKind::Offer, "o0", "", R"({"price":10})"},
          {NodeKind::Offer, "o1", "", R"({"price":"5"})"},
          {NodeKind::Product, "p1", "Lamp", R"({"rating":"5.00"})"},
          {NodeKind::Brand, "b0", "Acme"},
      },
      {
          {0, RelType::Offers, "o0"},
          {0, RelType::Brand, "b0"},
          {0, RelType::Offers, "o1"},
          {0, RelType::Brand, "b0"},
          {3, RelType::Offers, "o0"},
          {3, RelType::Brand, "b0"},
      });
};

TEST_F(Matching, PatternsAndInlineMaps) {
  const struct {
    std::string_view query;
    Rows rows;
  } cases[] = {
      {"MATCH (n) RETURN n.name", {R"([Str("Kettle")])", R"([Str("")])", R"([Str("")])", R"([Str("Lamp")])", R"([Str("Acme")])"}},
      {"MATCH (p:Product)-[:Offers]->(o:Offer) RETURN p.name, o.price",
       {R"([Str("Kettle"), Int(10)])", R"([Str("Kettle"), Str("5")])", R"([Str("Lamp"), Int(10)])"}},
      // Walking in-edges groups the same pairs by offer.
      {"MATCH (o:Offer)<-[:Offers]-(p:Product) RETURN p.name, o.price",
       {R"([Str("Kettle"), Int(10)])", R"([Str("Lamp"), Int(10)])", R"([Str("Kettle"), Str("5")])"}},
      {"MATCH (p {name: 'Kettle'})-->(x) RETURN x.kind",
       {R"([Str("Offer")])", R"([Str("Brand")])", R"([Str("Offer")])", R"([Str("Brand")])"}},
      {"MATCH (p)-[:Offers|Brand]->(x:Brand) RETURN p.name", {R"([Str("Kettle")])", R"([Str("Kettle")])", R"([Str("Lamp")])"}},
      {"MATCH (p)-->(x) RETURN p.name, x.kind, count(*)",
       {R"([Str("Kettle"), Str("Brand"), Int(2)])", R"([Str("Kettle"), Str("Offer"), Int(2)])",
        R"([Str("Lamp"), Str("Brand"), Int(1)])", R"([Str("Lamp"), Str("Offer"), Int(1)])"}},
      {"MATCH (p)-[:Brand]->(b) RETURN DISTINCT p.name, b.name", {R"([Str("Kettle"), Str("Acme")])", R"([Str("Lamp"), Str("Acme")])"}},
      // c may be a itself; a variable written twice binds independently.
      {"MATCH (a:Product)-[:Offers]->(o)<-[:Offers]-(c) RETURN a.name, c.name",
       {R"([Str("Kettle"), Str("Kettle")])", R"([Str("Kettle"), Str("Lamp")])", R"([Str("Kettle"), Str("Kettle")])",
        R"([Str("Lamp"), Str("Kettle")])", R"([Str("Lamp"), Str("Lamp")])"}},
      {"MATCH (a:Product)-[:Brand]->(a) RETURN a.name", {R"([Str("Kettle")])", R"([Str("Kettle")])", R"([Str("Lamp")])"}},
      // Inline maps compare numbers as numbers, texts exactly, price as text.
      {"MATCH (p {rating: 5}) RETURN p.name", {R"([Str("Kettle")])", R"([Str("Lamp")])"}},
      {"MATCH (p {rating: 5.0, name: 'Lamp'}) RETURN p.name", {R"([Str("Lamp")])"}},
      {"MATCH (o:Offer {price: 5}) RETURN o.price", {}},
      {"MATCH (o:Offer {price: '5'}) RETURN o.price", {R"([Str("5")])"}},
      {"MATCH (p:Product)-->(o:Offer {price: 10}) RETURN p.name", {R"([Str("Kettle")])", R"([Str("Lamp")])"}},
      {"MATCH (p {kind: 'Brand'}) RETURN p", {R"([NodeRef { idx: 4, kind: "Brand", name: "Acme" }])"}},
      {"MATCH (p {rating: '5'}) RETURN p.name", {}},
      {"MATCH (n:Review) RETURN n", {}},
      {"MATCH (n) WHERE zz.name = 'Acme' RETURN n", {}},
      {"MATCH (b:Brand)<-[:Offers]-(p) RETURN p", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(rows_of(g, c.query), c.rows);
  }
}

TEST(Execute, EmptyGraph) {
  const Graph g = make_graph({});
  EXPECT_EQ(rows_of(g, "MATCH (n) RETURN n"), Rows{});
  EXPECT_EQ(rows_of(g, "MATCH (n) RETURN count(*)"), Rows{});
  EXPECT_EQ(rows_of(g, "MATCH (n) RETURN n ORDER BY zz"), Rows{"error: ORDER BY references unknown variable zz"});
  Result<QueryResult> r = execute(g.view(), *parse("MATCH (n) RETURN n.name AS nm, count(*)"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->columns, (std::vector<std::string>{"nm", "count(*)"}));
}

// Products in node order: names, brands, ratings chosen so that each
// ordering question has a visible answer.
class Results : public ::testing::Test {
 protected:
  const Graph g = make_graph({
      {NodeKind::Product, "a", "red kettle", R"({"brand":"Zed","rating":4,"qty":1,"n":10,"price":"3"})"},
      {NodeKind::Product, "b", "Electric kettle", R"({"brand":"acme","qty":2,"n":9,"price":"4"})"},
      {NodeKind::Product, "c", "table lamp", R"({"brand":"Zed","rating":4.5,"n":"10","one":1})"},
      {NodeKind::Product, "d", "kettle", R"({"rating":3,"n":9,"one":1.0})"},
      {NodeKind::Product, "e", "electric kettle", R"({"brand":"acme","rating":4,"one":1})"},
  });
};

TEST_F(Results, RankingOrderingAndPaging) {
  const struct {
    std::string_view query;
    Rows rows;
  } cases[] = {
      // Matches satisfying both conditions first, then node order.
      {"MATCH (p) WHERE p.name CONTAINS 'kettle' OR p.name FUZZY 'electric kettle' RETURN p.name",
       {R"([Str("red kettle")])", R"([Str("Electric kettle")])", R"([Str("kettle")])", R"([Str("electric kettle")])",
        R"([Str("table lamp")])"}},
      {"MATCH (p) WHERE p.name = 'table lamp' OR p.rating = 4 OR p.brand = 'acme' RETURN p.name",
       {R"([Str("electric kettle")])", R"([Str("red kettle")])", R"([Str("Electric kettle")])", R"([Str("table lamp")])"}},
      {"MATCH (p) WHERE p.name CONTAINS 'kettle' OR p.name FUZZY 'electric kettle' RETURN p.name ORDER BY p.name",
       {R"([Str("Electric kettle")])", R"([Str("electric kettle")])", R"([Str("kettle")])", R"([Str("red kettle")])",
        R"([Str("table lamp")])"}},
      // Nulls last ascending, first descending; equal keys keep match order.
      {"MATCH (p) RETURN p.name, p.rating ORDER BY p.rating",
       {R"([Str("kettle"), Int(3)])", R"([Str("red kettle"), Int(4)])", R"([Str("electric kettle"), Int(4)])",
        R"([Str("table lamp"), Float(4.5)])", R"([Str("Electric kettle"), Null])"}},
      {"MATCH (p) RETURN p.name ORDER BY p.rating DESC",
       {R"([Str("Electric kettle")])", R"([Str("table lamp")])", R"([Str("red kettle")])", R"([Str("electric kettle")])",
        R"([Str("kettle")])"}},
      {"MATCH (p) RETURN p.name AS nm ORDER BY p.brand DESC, nm",
       {R"([Str("kettle")])", R"([Str("Electric kettle")])", R"([Str("electric kettle")])", R"([Str("red kettle")])",
        R"([Str("table lamp")])"}},
      {"MATCH (p) RETURN p.brand AS b ORDER BY b SKIP 1 LIMIT 2", {R"([Str("Zed")])", R"([Str("acme")])"}},
      {"MATCH (p) RETURN p.name ORDER BY p", {R"([Str("red kettle")])", R"([Str("Electric kettle")])", R"([Str("table lamp")])",
                                              R"([Str("kettle")])", R"([Str("electric kettle")])"}},
      {"MATCH (p) RETURN p.name ORDER BY zz", {"error: ORDER BY references unknown variable zz"}},
      {"MATCH (p) RETURN p.name AS nm ORDER BY nm.x", {"error: ORDER BY references unknown variable nm"}},
      {"MATCH (p) RETURN zz.name", {"error: RETURN references unknown variable zz"}},
      {"MATCH (p) RETURN zz.name ORDER BY p.name SKIP 9 LIMIT 0", {"error: RETURN references unknown variable zz"}},
      {"MATCH (p) RETURN p.name ORDER BY p.rating DESC SKIP 1 LIMIT 2", {R"([Str("table lamp")])", R"([Str("red kettle")])"}},
      {"MATCH (p) RETURN p.name SKIP 10", {}},
      {"MATCH (p) RETURN p.name LIMIT 0", {}},
      {"MATCH (p) RETURN p.name SKIP 1 LIMIT 2", {R"([Str("Electric kettle")])", R"([Str("table lamp")])"}},
      {"MATCH (p) RETURN p.name SKIP 9223372036854775807", {}},
      {"MATCH (p) RETURN p.name LIMIT 9223372036854775807", {R"([Str("red kettle")])", R"([Str("Electric kettle")])",
                                                               R"([Str("table lamp")])", R"([Str("kettle")])",
                                                               R"([Str("electric kettle")])"}},
      // DISTINCT keeps first occurrences; Int 1 and Float 1.0 stay apart.
      {"MATCH (p) RETURN DISTINCT p.brand", {R"([Str("Zed")])", R"([Str("acme")])", "[Null]"}},
      {"MATCH (p) RETURN DISTINCT p.one", {"[Null]", "[Int(1)]", "[Float(1.0)]"}},
      {"MATCH (p) RETURN DISTINCT p.brand SKIP 1 LIMIT 1", {R"([Str("acme")])"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(rows_of(g, c.query), c.rows);
  }
}

TEST_F(Results, Aggregation) {
  const struct {
    std::string_view query;
    Rows rows;
  } cases[] = {
      {"MATCH (p) RETURN count(*)", {"[Int(5)]"}},
      {"MATCH (p:Offer) RETURN count(*)", {}},
      // Groups in the byte order of their rendered keys: Null, then texts
      // with upper case first; integers in text order.
      {"MATCH (p) RETURN p.brand, count(*) AS n ORDER BY n DESC",
       {"[Null, Int(1)]", R"([Str("Zed"), Int(2)])", R"([Str("acme"), Int(2)])"}},
      {"MATCH (p) RETURN p.n, count(p)", {"[Int(10), Int(2)]", "[Int(9), Int(2)]", "[Null, Int(1)]"}},
      {"MATCH (p) RETURN sum(p.qty), avg(p.qty), min(p.rating), max(p.rating), count(p.qty)",
       {"[Float(3.0), Float(1.5), Float(3.0), Float(4.5), Int(5)]"}},
      {"MATCH (p) RETURN avg(p.price), sum(p.zz)", {"[Null, Null]"}},
      {"MATCH (p) WHERE p.name = 'table lamp' RETURN p.brand, avg(p.rating), sum(p.qty)", {R"([Str("Zed"), Float(4.5), Null])"}},
      {"MATCH (p) RETURN count(zz)", {"[Int(5)]"}},
      {"MATCH (p) RETURN sum(zz.x)", {"error: RETURN references unknown variable zz"}},
      {"MATCH (p) RETURN zz.x, count(*)", {"error: RETURN references unknown variable zz"}},
      {"MATCH (p:Offer) RETURN sum(zz.x)", {}},
      {"MATCH (p) RETURN DISTINCT count(*) AS c, p.one SKIP 1",
       {"[Int(2), Int(1)]", "[Int(2), Null]"}},
      {"MATCH (p) RETURN p.brand, count(*) LIMIT 1", {"[Null, Int(1)]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(rows_of(g, c.query), c.rows);
  }
  Result<QueryResult> r = execute(g.view(), *parse("MATCH (p) RETURN avg(p.price), p.brand AS b, count(*), min(p)"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->columns, (std::vector<std::string>{"avg(p.price)", "b", "count(*)", "min(p)"}));
}

// Numbers mixed with texts make the ORDER BY comparison intransitive; the
// sort must still finish and return every match exactly once, and it must
// stay a plain stable sort wherever the keys are of one kind.
TEST(Ordering, MixedKindsSortToAPermutation) {
  std::mt19937 rng(7);
  std::vector<testing::TestNode> nodes;
  const char* shapes[] = {"%d", "\"t%d\"", "null", "true", "%d.5", "[%d]", "\"%d\""};
  for (int i = 0; i < 500; ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, shapes[rng() % 7], static_cast<int>(rng() % 50));
    nodes.push_back({NodeKind::Product, "n" + std::to_string(i), "", std::string("{\"k\":") + buf + "}"});
  }
  const Graph g = make_graph(nodes);
  for (std::string_view dir : {"", " DESC"}) {
    Result<QueryResult> r = execute(g.view(), *parse("MATCH (n) RETURN n ORDER BY n.k" + std::string(dir)));
    ASSERT_TRUE(r.ok());
    std::vector<uint32_t> seen;
    for (const auto& row : r->rows) seen.push_back(std::get<NodeRef>(row[0].v).idx);
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(seen.size(), 500u);
    for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(seen[i], i);
  }

  // A comparator that is no order at all still yields a permutation.
  std::vector<int> items(1000);
  for (int i = 0; i < 1000; ++i) items[i] = i;
  merge_sort(items, [&](int, int) { return rng() % 2 == 0; });
  std::vector<int> sorted = items;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(sorted[i], i);

  // One kind: ordered, and stable among equals.
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < 1000; ++i) pairs.emplace_back(static_cast<int>(rng() % 10), i);
  std::vector<std::pair<int, int>> want = pairs;
  std::stable_sort(want.begin(), want.end(), [](auto a, auto b) { return a.first < b.first; });
  merge_sort(pairs, [](auto a, auto b) { return a.first < b.first; });
  EXPECT_EQ(pairs, want);
}

}  // namespace
}  // namespace vyr::query
