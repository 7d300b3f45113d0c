// Predicates: whether a WHERE expression holds for one match, with two-valued
// logic (a comparison involving a missing value is false, and NOT makes it
// true), case-insensitive string predicates under full Unicode lower-casing,
// and FUZZY, which holds as soon as the text shares two consecutive
// characters with the pattern.
//
// Everything here is stateless apart from the calling thread's PROPS_CACHE
// (props.h), through which property operands are read, and per-thread scratch
// buffers; any number of threads may evaluate one parsed Query at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/graph.h"
#include "query/ast.h"
#include "query/props.h"
#include "query/value.h"

namespace vyr::query {

// One match: the node index bound to each node pattern, in pattern order.
using Binding = std::span<const uint32_t>;

// The position of the first node pattern whose variable is exactly `var`.
std::optional<size_t> resolve_var(const Query& q, std::string_view var);

// The value of an expression standing for data: a Prop's property (Null when
// no node pattern carries its variable) or a Lit's constant; Null for every
// other expression. The view borrows from the graph, PROPS_CACHE or `e`.
PropView eval_scalar_view(const GraphView& g, const Expr& e, Binding b, const Query& q);
Value eval_scalar(const GraphView& g, const Expr& e, Binding b, const Query& q);

// The node patterns (bit p for pattern p, the first 64 only) through which
// `e` reads JSON members in such a way that it is false whenever all of
// those reads are Null. A filter may read through them provisionally
// (props.h): a match it rejects stays rejected whatever the texts turn out
// to be, so only the matches it keeps need their nodes settled.
uint64_t null_rejecting_positions(const Expr& e, const Query& q);

// While one lives, property reads through the node patterns in `positions`
// are provisional on the calling thread (eval_scalar_view, project_at).
class ProvisionalReads {
 public:
  explicit ProvisionalReads(uint64_t positions);
  ~ProvisionalReads();
  ProvisionalReads(const ProvisionalReads&) = delete;
  ProvisionalReads& operator=(const ProvisionalReads&) = delete;

 private:
  uint64_t saved_;
};

// What RETURN or ORDER BY reads of the node at pattern position `pos`: the
// node itself without a key, else its property.
PropView project_at(const GraphView& g, Binding b, size_t pos, const std::optional<std::string>& key);

// Whether `e` holds for binding `b`. AND and OR short-circuit. Evaluation
// walks the tree with an explicit stack, so its depth costs heap, not stack.
bool eval_bool(const GraphView& g, const Expr& e, Binding b, const Query& q);

// Whether the text shares a pair of consecutive characters (Unicode scalar
// values) with the needle; a needle of fewer than two characters must occur
// whole (the empty needle always does).
bool fuzzy_contains(std::string_view haystack, std::string_view needle);

// The full Unicode lower-case form (root locale, context-sensitive final
// sigma included) of UTF-8 text, written over `out`.
void to_lower(std::string_view text, std::string& out);

// Order of two values under WHERE comparisons: negative, zero or positive, or
// nothing when they are not comparable (a number against a text, lists,
// nodes, a NaN, or either side Null).
std::optional<int> compare_values(const PropView& a, const PropView& b);

// Equality as inline maps and IN lists test it: numbers as 64-bit floats,
// texts byte for byte, booleans by value; nothing else is equal.
bool literal_equals(const PropView& v, const Literal& lit);

// The view of a literal (texts borrowed from it).
PropView literal_view(const Literal& lit);

}  // namespace vyr::query
