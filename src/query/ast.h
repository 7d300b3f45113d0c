// The syntax tree of one query: a single MATCH path, an optional WHERE
// expression, the RETURN items and the ORDER BY / SKIP / LIMIT tail.
//
// Everything the executor needs to know statically is settled by the parser:
// labels and relationship types are schema codes, and every =~ pattern is
// compiled once. A Query owns all its parts (children are boxed), is
// move-only, and is read-only after parsing, so one tree may be evaluated from
// several threads at once (a compiled RE2 is safe for concurrent matching).
//
// The parser bounds the depth of every expression tree, so recursive walks
// over an Expr (evaluation, destruction) stay shallow.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/graph.h"

namespace re2 {
class RE2;
}

namespace vyr::query {

// Alternatives in declared order: Int, Float, Str, Bool.
struct Literal {
  std::variant<int64_t, double, std::string, bool> v;

  bool is_int() const { return v.index() == 0; }
  bool is_float() const { return v.index() == 1; }
  bool is_str() const { return v.index() == 2; }
  bool is_bool() const { return v.index() == 3; }
};

enum class BinOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge, And, Or };
enum class StrOp : uint8_t { StartsWith, Contains, EndsWith, Fuzzy };

struct Expr;

// The variants of an Expr; reach them as Expr::Infix, Expr::Not, ...
// (declared outside Expr so that their default member initializers are
// usable while Expr is still incomplete).
namespace expr {
struct Infix {
  std::unique_ptr<Expr> lhs;
  BinOp op = BinOp::Eq;
  std::unique_ptr<Expr> rhs;
};
struct Not {
  std::unique_ptr<Expr> operand;
};
struct Prop {
  std::string var;
  std::string key;
  // The node pattern `var` names, as resolve_var would find it, filled in
  // by the parser once the whole query is read: NOT_RESOLVED until then,
  // NO_PATTERN when no pattern carries the variable.
  static constexpr int32_t NOT_RESOLVED = -2;
  static constexpr int32_t NO_PATTERN = -1;
  int32_t position = NOT_RESOLVED;
};
struct Lit {
  Literal value;
};
struct StrPred {
  std::unique_ptr<Expr> lhs;
  StrOp op = StrOp::Contains;
  std::string pattern_text;
};
struct IsNull {
  std::unique_ptr<Expr> operand;
  bool want_null = true;
};
struct In {
  std::unique_ptr<Expr> lhs;
  std::vector<Literal> items;
};
struct Regex {
  std::unique_ptr<Expr> lhs;
  // Compiled at parse time (UTF-8, case-sensitive unless the pattern says
  // otherwise); searched unanchored. Never null in a parsed tree.
  std::shared_ptr<const re2::RE2> matcher;
  std::string pattern_text;  // as written, for dumps
};
}  // namespace expr

// Alternatives in declared order: Infix, Not, Prop, Lit, StrPred, IsNull, In,
// Regex. Operands of comparisons and predicates are themselves Exprs, but only
// a Prop or a Lit yields a value there.
struct Expr {
  using Infix = expr::Infix;
  using Not = expr::Not;
  using Prop = expr::Prop;
  using Lit = expr::Lit;
  using StrPred = expr::StrPred;
  using IsNull = expr::IsNull;
  using In = expr::In;
  using Regex = expr::Regex;

  std::variant<Infix, Not, Prop, Lit, StrPred, IsNull, In, Regex> v;
};

struct NodePat {
  std::optional<std::string> var;
  std::vector<NodeKind> labels;  // any of these; empty means any kind
  std::vector<std::pair<std::string, Literal>> props;  // all must hold, in source order
};

// Joins nodes[i] and nodes[i + 1] of its Pattern. Not incoming: an edge stored
// from nodes[i] to nodes[i + 1] (written -[...]->); incoming: stored from
// nodes[i + 1] to nodes[i] (written <-[...]-).
struct RelPat {
  std::vector<RelType> types;  // any of these; empty means any type
  bool incoming = false;
};

struct Pattern {
  std::vector<NodePat> nodes;  // at least one
  std::vector<RelPat> rels;    // nodes.size() - 1 entries
};

enum class AggFn : uint8_t { Count, Min, Max, Sum, Avg };

// The lower-case name, also used to build column names ("avg(p.price)").
inline std::string_view agg_name(AggFn f) {
  switch (f) {
    case AggFn::Count: return "count";
    case AggFn::Min: return "min";
    case AggFn::Max: return "max";
    case AggFn::Sum: return "sum";
    case AggFn::Avg: return "avg";
  }
  return "count";
}

struct ReturnItem {
  std::string var;  // empty for count(*)
  std::optional<std::string> prop;
  std::optional<std::string> alias;
  bool count_star = false;
  std::optional<AggFn> agg;
};

struct OrderItem {
  std::string var;
  std::optional<std::string> prop;
  bool desc = false;
};

struct Query {
  Pattern pattern;
  std::optional<Expr> where_clause;
  bool distinct = false;
  std::vector<ReturnItem> returns;  // at least one, in source order
  std::vector<OrderItem> order_by;
  std::optional<uint64_t> skip;
  std::optional<uint64_t> limit;
};

}  // namespace vyr::query
