#include "core/builder.h"

#include <gtest/gtest.h>

namespace vyr {
namespace {

std::string props_of(const Graph& g, uint32_t i) { return std::string(g.view().str(g.nodes[i].props)); }
std::string name_of(const Graph& g, uint32_t i) { return std::string(g.view().str(g.nodes[i].name)); }

Graph built(GraphBuilder&& b) {
  Result<Graph> g = std::move(b).build();
  EXPECT_TRUE(g.ok());
  return std::move(g).value();
}

TEST(Builder, UpsertMergesProps) {
  const struct {
    std::string_view old_props, new_props, merged;
  } cases[] = {
      {R"({"url":"u","price":10})", R"({"price":12,"sku":null})", R"({"price":12,"url":"u"})"},
      {R"({"price":10})", R"({"price":""})", R"({"price":10})"},
      {R"({"price":10})", "not json", "not json"},
      {R"({"price":10})", R"([1])", R"([1])"},
      {R"("text")", R"({"a":1})", R"({"a":1})"},
      {R"({ "b" : 12.50, "a": {"y":1,"x":3e0} })", R"({"c":true})", R"({"a":{"x":3.0,"y":1},"b":12.5,"c":true})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.new_props);
    GraphBuilder b;
    b.upsert_node(NodeKind::Product, "p", "first", c.old_props);
    EXPECT_EQ(b.upsert_node(NodeKind::Product, "p", "", c.new_props), 0u);
    Graph g = built(std::move(b));
    ASSERT_EQ(g.nodes.size(), 1u);
    EXPECT_EQ(props_of(g, 0), c.merged);
    EXPECT_EQ(name_of(g, 0), "first");
  }
}

TEST(Builder, LaterNameAndKindWin) {
  GraphBuilder b;
  b.upsert_node(NodeKind::Brand, "acme", "Acme", "\"Acme\"");
  b.upsert_node(NodeKind::Organization, "acme", "ACME Inc", "\"Acme\"");
  Graph g = built(std::move(b));
  ASSERT_EQ(g.nodes.size(), 1u);
  EXPECT_EQ(g.nodes[0].kind, NodeKind::Organization);
  EXPECT_EQ(name_of(g, 0), "ACME Inc");
}

TEST(Builder, EdgesResolveAtBuildAndKeepDuplicates) {
  GraphBuilder b;
  uint32_t p = b.upsert_node(NodeKind::Product, "p", "P", "{}");
  b.add_edge(p, RelType::Offers, "o");
  b.add_edge(p, RelType::Offers, "o");
  b.add_edge(p, RelType::Brand, "never");
  b.add_edge(99, RelType::Brand, "p");  // unknown source
  b.upsert_node(NodeKind::Offer, "o", "", "{}");  // destination added after the edge
  Graph g = built(std::move(b));
  ASSERT_EQ(g.nodes.size(), 2u);
  EXPECT_EQ(g.out_offsets, (std::vector<uint32_t>{0, 2, 2}));
  EXPECT_EQ(g.in_offsets, (std::vector<uint32_t>{0, 0, 2}));
  ASSERT_EQ(g.edges.size(), 2u);
  EXPECT_EQ(g.edges[0], (Edge{RelType::Offers, {}, 1}));
  EXPECT_EQ(g.edges[1], (Edge{RelType::Offers, {}, 1}));
  EXPECT_EQ(g.in_edges[0], (Edge{RelType::Offers, {}, 0}));
}

TEST(Builder, RemovalDropsNodeAndItsEdgesOnly) {
  GraphBuilder b;
  uint32_t a = b.upsert_node(NodeKind::Product, "a", "A", R"({"url":"https://x/a"})");
  uint32_t c = b.upsert_node(NodeKind::Product, "c", "C", R"({"url":"https://x/a"})");  // same url, higher index
  b.upsert_node(NodeKind::Brand, "brand", "Brand", "\"Brand\"");
  b.add_edge(a, RelType::Brand, "brand");
  b.add_edge(c, RelType::Brand, "brand");
  b.add_edge(c, RelType::Review, "a");
  EXPECT_TRUE(b.remove_node_by_url("https://x/a"));
  EXPECT_TRUE(b.remove_node_by_url("https://x/a"));  // finds the same first node again
  EXPECT_FALSE(b.remove_node_by_url("https://x/none"));
  Graph g = built(std::move(b));
  ASSERT_EQ(g.nodes.size(), 2u);
  EXPECT_EQ(g.view().str(g.nodes[0].id), "c");
  EXPECT_EQ(g.view().str(g.nodes[1].id), "brand");
  ASSERT_EQ(g.edges.size(), 1u);
  EXPECT_EQ(g.edges[0].node, 1u);
  EXPECT_EQ(g.in_offsets, (std::vector<uint32_t>{0, 0, 1}));
}

TEST(Builder, UpsertCancelsRemovalAndUrlMustBeAString) {
  GraphBuilder b;
  b.upsert_node(NodeKind::Product, "n", "", R"({"url":["https://x/a"]})");
  b.upsert_node(NodeKind::Product, "a", "", R"({"url":"https://x/a"})");
  EXPECT_TRUE(b.remove_node_by_url("https://x/a"));
  b.upsert_node(NodeKind::Product, "a", "A", "{}");
  Graph g = built(std::move(b));
  EXPECT_EQ(g.nodes.size(), 2u);
}

TEST(Builder, PoolHoldsEachStringOnceInFirstUseOrder) {
  GraphBuilder b;
  b.upsert_node(NodeKind::Brand, "Acme", "Acme", "\"Acme\"");
  b.upsert_node(NodeKind::Product, "p1", "", R"({"a":1})");
  b.upsert_node(NodeKind::Product, "p1", "", R"({"a":2})");  // the {"a":1} text is dropped at build
  Graph g = built(std::move(b));
  EXPECT_EQ(g.string_pool, "Acme\"Acme\"p1{\"a\":2}");
  EXPECT_EQ(g.nodes[1].name, (Str{12, 0}));
}

TEST(Builder, EmptyBuildHasOneOffset) {
  Graph g = built(GraphBuilder());
  EXPECT_TRUE(g.nodes.empty());
  EXPECT_EQ(g.out_offsets, std::vector<uint32_t>{0});
  EXPECT_EQ(g.in_offsets, std::vector<uint32_t>{0});
}

TEST(Builder, FromGraphRoundTrips) {
  GraphBuilder b;
  uint32_t p = b.upsert_node(NodeKind::Product, "p", "P", R"({"url":"u","b":1})");
  b.upsert_node(NodeKind::Offer, "o", "", R"({ "x" : 1 })");
  b.add_edge(p, RelType::Offers, "o");
  Graph g = built(std::move(b));
  Graph again = built(GraphBuilder::from_graph(g));
  EXPECT_EQ(again.string_pool, g.string_pool);
  EXPECT_EQ(again.edges, g.edges);
  EXPECT_EQ(again.in_edges, g.in_edges);
  EXPECT_EQ(props_of(again, 1), R"({ "x" : 1 })");  // unchanged text, not re-normalised
}

TEST(Builder, FromGraphFaultsOnNonUtf8Pool) {
  Graph g;
  g.string_pool = "\xff";
  g.nodes.push_back(Node{NodeKind::Product, {}, Str{0, 1}, Str{0, 0}, Str{0, 0}});
  g.out_offsets = {0, 0};
  g.in_offsets = {0, 0};
  EXPECT_THROW(GraphBuilder::from_graph(g), Fault);
}

}  // namespace
}  // namespace vyr
