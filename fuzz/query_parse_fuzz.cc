// Any byte string handed to the query parser gives a tree or an error
// message: no crash, no stack exhaustion, no leak. An accepted tree must keep
// the shape the executor relies on.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "core/error.h"
#include "query/parser.h"

namespace {

int depth_of(const vyr::query::Expr& e) {
  using vyr::query::Expr;
  if (auto* x = std::get_if<Expr::Infix>(&e.v)) {
    const int l = depth_of(*x->lhs);
    const int r = depth_of(*x->rhs);
    return 1 + (l > r ? l : r);
  }
  if (auto* x = std::get_if<Expr::Not>(&e.v)) return 1 + depth_of(*x->operand);
  if (auto* x = std::get_if<Expr::StrPred>(&e.v)) return 1 + depth_of(*x->lhs);
  if (auto* x = std::get_if<Expr::IsNull>(&e.v)) return 1 + depth_of(*x->operand);
  if (auto* x = std::get_if<Expr::In>(&e.v)) return 1 + depth_of(*x->lhs);
  if (auto* x = std::get_if<Expr::Regex>(&e.v)) {
    VYR_CHECK(x->matcher != nullptr, "regex compiled at parse time");
    return 1 + depth_of(*x->lhs);
  }
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vyr::Result<vyr::query::Query> q = vyr::query::parse(text);
  if (!q.ok()) {
    VYR_CHECK(!q.error().message().empty(), "parse error has a message");
    return 0;
  }
  VYR_CHECK(!q->pattern.nodes.empty(), "pattern has a node");
  VYR_CHECK(q->pattern.rels.size() + 1 == q->pattern.nodes.size(), "one rel between nodes");
  VYR_CHECK(!q->returns.empty(), "at least one RETURN item");
  for (const auto& n : q->pattern.nodes) VYR_CHECK(n.labels.size() <= 1, "one label at most");
  if (q->where_clause) {
    VYR_CHECK(depth_of(*q->where_clause) <= vyr::query::MAX_EXPR_DEPTH, "depth bound");
  }
  return 0;
}
