#include "query/run.h"

#include "core/store.h"

namespace vyr::query {

Result<QueryResult> run_query(const std::string& graph_path, std::string_view text) {
  Result<LoadedGraph> graph = LoadedGraph::open(graph_path);
  if (!graph.ok()) return graph.error();
  (void)text;
  return Error("query engine not available in this build");
}

}  // namespace vyr::query
