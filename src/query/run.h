// One whole query: map and validate the graph file, parse, execute, unmap.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"
#include "query/value.h"

namespace vyr::query {

// Errors: the store's open/validation messages (the query text is not looked
// at then), or the lexer's, parser's or executor's message.
Result<QueryResult> run_query(const std::string& graph_path, std::string_view text);

}  // namespace vyr::query
