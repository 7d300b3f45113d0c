// Test helper: a builder's content as short lines, so ingestion tests compare
// whole graphs with expected text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/builder.h"
#include "core/graph.h"

namespace vyr::extract::testing {

// One line per node in index order, "Kind id|name|props", then one per edge,
// "src -Rel-> dst" (by id).
inline std::vector<std::string> dump(GraphBuilder&& builder) {
  Result<Graph> built = std::move(builder).build();
  EXPECT_TRUE(built.ok());
  if (!built.ok()) return {};
  const GraphView g = built.value().view();
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < g.node_count(); ++i) {
    const Node& n = g.nodes[i];
    std::string line(label(n.kind));
    line.append(" ").append(g.str(n.id)).append("|").append(g.str(n.name)).append("|").append(g.str(n.props));
    lines.push_back(std::move(line));
  }
  for (uint32_t i = 0; i < g.node_count(); ++i) {
    for (const Edge& e : g.out_edges_of(i)) {
      std::string line(g.str(g.nodes[i].id));
      line.append(" -").append(label(e.rel)).append("-> ").append(g.str(g.nodes[e.node].id));
      lines.push_back(std::move(line));
    }
  }
  return lines;
}

}  // namespace vyr::extract::testing
