// The query parser: a recursive descent over the lexer's tokens with one
// token of lookahead, producing a Query tree or the first error message.
#pragma once

#include <string_view>

#include "core/error.h"
#include "query/ast.h"

namespace vyr::query {

// Deepest expression tree the parser builds, counting each NOT, each
// parenthesised expression and each operand of an AND/OR chain as a level.
// Evaluation and destruction of a tree recurse along its depth, so without a
// bound a hostile query could overflow the stack.
inline constexpr int MAX_EXPR_DEPTH = 1000;

// The lexer's message unchanged, or one of the parser's messages. Labels and
// relationship types are checked against the schema and every =~ pattern is
// compiled here, so a bad pattern fails before any graph access.
// Thread-safe.
Result<Query> parse(std::string_view text);

}  // namespace vyr::query
