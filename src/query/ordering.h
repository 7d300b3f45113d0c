// The second half of execution: from the filtered matches to the result.
// In this order: rank or sort the matches (only when no RETURN item is an
// aggregate), name the columns, build one row per match or one per group,
// then DISTINCT, SKIP and LIMIT.
//
// Without ORDER BY, a query with WHERE ranks its matches by how many of the
// WHERE clause's AND/OR-joined conditions each satisfies, highest first.
// Aggregated groups come out in the byte order of their keys, which are the
// debug renderings of the group values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/graph.h"
#include "query/ast.h"
#include "query/executor.h"
#include "query/props.h"
#include "query/value.h"

namespace vyr::query {

// Reads properties through the calling thread's PROPS_CACHE, which must have
// been reset for `g` by this execution. Errors: "RETURN references unknown
// variable {}", "ORDER BY references unknown variable {}".
Result<QueryResult> finish_rows(const GraphView& g, const Query& q, Matches matches);

// The number of AND/OR-joined conditions of `e` that hold for `b` (a
// condition under NOT counts as one).
uint32_t overlap_score(const GraphView& g, const Expr& e, Binding b, const Query& q);

// Column names: the alias, "count(*)", "v", "v.p", or "agg(v.p)".
std::vector<std::string> column_names(const Query& q);

// A stable merge sort of `items` under `less`. It is well-defined for any
// comparator, transitive or not: every element comes out exactly once. ORDER
// BY's comparison is not transitive across kinds (numbers against texts
// compare equal, yet each orders among its own kind), so it sorts with this
// whenever a key column mixes kinds.
template <class T, class Less>
void merge_sort(std::vector<T>& items, Less less) {
  const size_t n = items.size();
  std::vector<T> buf(n);
  std::vector<T>* src = &items;
  std::vector<T>* dst = &buf;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) (*dst)[k++] = less((*src)[j], (*src)[i]) ? (*src)[j++] : (*src)[i++];
      while (i < mid) (*dst)[k++] = (*src)[i++];
      while (j < hi) (*dst)[k++] = (*src)[j++];
    }
    std::swap(src, dst);
  }
  if (src != &items) items.swap(buf);
}

}  // namespace vyr::query
