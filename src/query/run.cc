#include "query/run.h"

#include "core/store.h"
#include "query/executor.h"
#include "query/parser.h"

namespace vyr::query {

Result<QueryResult> run_query(const std::string& graph_path, std::string_view text) {
  // The file comes first: a query against a missing or damaged graph reports
  // the graph, whatever the query text says.
  Result<LoadedGraph> graph = LoadedGraph::open(graph_path);
  if (!graph.ok()) return graph.error();
  Result<Query> query = parse(text);
  if (!query.ok()) return query.error();
  // Result values own copies of their texts, so the mapping may go when
  // `graph` does.
  return execute(graph->view(), *query);
}

}  // namespace vyr::query
