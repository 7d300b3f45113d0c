// Small graphs for query tests, built inline with GraphBuilder, and a runner
// that renders each result row compactly for table-driven comparisons.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/builder.h"
#include "core/graph.h"
#include "query/executor.h"
#include "query/parser.h"
#include "query/value.h"

namespace vyr::query::testing {

struct TestNode {
  NodeKind kind;
  std::string id;
  std::string name;
  std::string props = "{}";
};

struct TestEdge {
  uint32_t src;
  RelType rel;
  std::string dst_id;
};

inline Graph make_graph(const std::vector<TestNode>& nodes, const std::vector<TestEdge>& edges = {}) {
  GraphBuilder b;
  for (const TestNode& n : nodes) b.upsert_node(n.kind, n.id, n.name, n.props);
  for (const TestEdge& e : edges) b.add_edge(e.src, e.rel, e.dst_id);
  Result<Graph> g = std::move(b).build();
  EXPECT_TRUE(g.ok());
  return std::move(g).value();
}

// The rows of a successful query, each as its debug rendering; an error
// comes back as "error: <message>".
inline std::vector<std::string> rows_of(const Graph& g, std::string_view text) {
  Result<Query> q = parse(text);
  if (!q.ok()) return {"parse error: " + q.error().message()};
  Result<QueryResult> r = execute(g.view(), *q);
  if (!r.ok()) return {"error: " + r.error().message()};
  std::vector<std::string> rows;
  for (const auto& row : r->rows) rows.push_back(debug_row(row));
  return rows;
}

}  // namespace vyr::query::testing
