// Query execution: matches the MATCH path over a graph and filters the
// matches with WHERE; the ordering, projection and aggregation of the rows
// that follow live in ordering.h.
//
// The matcher is plain: one linear scan over all nodes for the first node
// pattern, then expansion hop by hop along the stored compressed-row edge
// slices, every stage materialised before the next. Matching imposes no
// uniqueness (a node may fill several patterns, parallel edges give equal
// matches), and a LIMIT does not shorten it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/graph.h"
#include "query/ast.h"
#include "query/predicates.h"
#include "query/value.h"

namespace vyr::query {

// The bindings of one stage, stored flat: binding k is the `width` entries
// from k * width.
struct Matches {
  size_t width = 0;
  std::vector<uint32_t> flat;
  // The node patterns the filter read provisionally (predicates.h), and per
  // binding whether it was kept on such reads and waits to be settled;
  // empty when none waits.
  uint64_t provisional = 0;
  std::vector<uint8_t> unsettled;

  size_t size() const { return width == 0 ? 0 : flat.size() / width; }
  Binding operator[](size_t k) const { return Binding(flat.data() + k * width, width); }
  bool waits(size_t k) const { return k < unsettled.size() && unsettled[k] != 0; }
};

// Runs `q` against `g` on the calling thread: the full result, or one of the
// messages "RETURN references unknown variable {}" and "ORDER BY references
// unknown variable {}". Empties and then uses the calling thread's
// PROPS_CACHE; reads the graph and the query only, so any number of threads
// may execute over the same graph and query at once. The graph must satisfy
// the store's invariants (CSR ranges inside the edge arrays, edge ends below
// the node count).
Result<QueryResult> execute(const GraphView& g, const Query& q);

// The seed scan, expansion and WHERE filter alone (PROPS_CACHE must have
// been reset for `g`). With `defer`, matches the filter kept on provisional
// reads are marked unsettled rather than settled at once: a caller that
// needs only some of them settles just those (settle_match).
Matches match_pattern(const GraphView& g, const Query& q, bool defer = false);

// Whether unsettled match k really passes the filter: its provisionally read
// nodes are checked, and the filter is evaluated again if a read did not
// stand.
bool settle_match(const GraphView& g, const Query& q, const Matches& m, size_t k);

// Whether node i satisfies every (key, literal) pair of an inline map.
bool inline_props_match(const GraphView& g, uint32_t i, const std::vector<std::pair<std::string, Literal>>& props);

}  // namespace vyr::query
