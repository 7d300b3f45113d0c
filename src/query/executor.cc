#include "query/executor.h"

#include <algorithm>
#include <string_view>

#include "query/ordering.h"
#include "query/props.h"

namespace vyr::query {

namespace {

// Which node kinds a pattern admits, as a bit per NodeKind code.
uint32_t kind_mask(const NodePat& p) {
  if (p.labels.empty()) return ~uint32_t{0};
  uint32_t m = 0;
  for (NodeKind k : p.labels) m |= uint32_t{1} << static_cast<uint8_t>(k);
  return m;
}

uint32_t type_mask(const RelPat& r) {
  if (r.types.empty()) return ~uint32_t{0};
  uint32_t m = 0;
  for (RelType t : r.types) m |= uint32_t{1} << static_cast<uint8_t>(t);
  return m;
}

bool admits(uint32_t mask, uint8_t code) { return code < 32 && (mask >> code & 1) != 0; }

// Calls f on every property read in `e`, left to right.
template <class F>
void for_each_prop(const Expr& e, F&& f) {
  std::vector<const Expr*> todo{&e};
  while (!todo.empty()) {
    const Expr* x = todo.back();
    todo.pop_back();
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, Expr::Prop>) {
            f(v);
          } else if constexpr (std::is_same_v<T, Expr::Infix>) {
            todo.push_back(v.rhs.get());
            todo.push_back(v.lhs.get());
          } else if constexpr (std::is_same_v<T, Expr::Not>) {
            todo.push_back(v.operand.get());
          } else if constexpr (std::is_same_v<T, Expr::IsNull>) {
            todo.push_back(v.operand.get());
          } else if constexpr (!std::is_same_v<T, Expr::Lit>) {
            todo.push_back(v.lhs.get());
          }
        },
        x->v);
  }
}

// Every JSON key the query can read, in the order the engine first needs
// them: inline maps (read during matching), WHERE, then RETURN and ORDER BY.
// `matching` is set to the number of keys matching reads (maps and WHERE).
std::vector<std::string_view> keys_read_by(const Query& q, size_t& matching) {
  std::vector<std::string_view> keys;
  for (const NodePat& n : q.pattern.nodes)
    for (const auto& [key, lit] : n.props) keys.push_back(key);
  if (q.where_clause) {
    for_each_prop(*q.where_clause, [&](const Expr::Prop& p) { keys.push_back(p.key); });
  }
  matching = keys.size();
  for (const ReturnItem& r : q.returns)
    if (r.prop) keys.push_back(*r.prop);
  for (const OrderItem& o : q.order_by)
    if (o.prop) keys.push_back(*o.prop);
  return keys;
}

// Matches are filtered in node order while their texts lie scattered over
// the string pool; asking for the texts of a match a few steps ahead lets
// those memory reads overlap instead of stalling one after another.
// Only the texts the filter reads are asked for: a name scan that also
// pulled in every property text would double its memory traffic.
constexpr size_t PREFETCH_DISTANCE = 8;

struct TextsRead {
  bool name = false;
  bool props = false;
};

TextsRead texts_read_by(const Expr& where) {
  TextsRead read;
  for_each_prop(where, [&](const Expr::Prop& p) {
    if (p.key == "name") read.name = true;
    else if (p.key != "kind") read.props = true;
  });
  return read;
}

// Inlined on purpose, like prefetch_props.
[[gnu::always_inline]] inline void prefetch_texts(const GraphView& g, Binding b, TextsRead read) {
  for (uint32_t i : b) {
    if (read.name) __builtin_prefetch(g.string_pool.data() + g.nodes[i].name.off);
    if (read.props) prefetch_props(g, i);
  }
}

}  // namespace

bool inline_props_match(const GraphView& g, uint32_t i, const std::vector<std::pair<std::string, Literal>>& props) {
  for (const auto& [key, lit] : props)
    if (!literal_equals(read_prop_view(g, i, key), lit)) return false;
  return true;
}

namespace {

bool settle_binding(const GraphView& g, const Query& q, uint64_t positions, Binding b) {
  bool stands = true;
  for (uint64_t bits = positions; bits; bits &= bits - 1) {
    const size_t p = static_cast<size_t>(__builtin_ctzll(bits));
    if (p < b.size()) stands = settle_props(g, b[p]) && stands;
  }
  if (stands) return true;
  const ProvisionalReads checked(0);
  return eval_bool(g, *q.where_clause, b, q);
}

}  // namespace

bool settle_match(const GraphView& g, const Query& q, const Matches& m, size_t k) {
  return !m.waits(k) || settle_binding(g, q, m.provisional, m[k]);
}

namespace {

Matches seed(const GraphView& g, const Query& q) {
  Matches m;
  m.width = 1;
  const NodePat& first = q.pattern.nodes[0];
  const uint32_t first_kinds = kind_mask(first);
  const uint32_t n = g.node_count();
  // Most scans keep a large share of the nodes; reserving untouched memory
  // costs nothing until it is used.
  if (first.props.empty()) m.flat.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (!admits(first_kinds, static_cast<uint8_t>(g.nodes[i].kind))) continue;
    if (!first.props.empty() && !inline_props_match(g, i, first.props)) continue;
    m.flat.push_back(i);
  }
  return m;
}

// Hop k: every binding extended by each qualifying edge of its node k, in
// stored edge order. An extended binding waits to be settled when its
// source did.
Matches expand(const GraphView& g, const Query& q, size_t k, const Matches& m) {
  const RelPat& rel = q.pattern.rels[k];
  const NodePat& next = q.pattern.nodes[k + 1];
  const uint32_t types = type_mask(rel);
  const uint32_t kinds = kind_mask(next);
  Matches out;
  out.width = m.width + 1;
  out.provisional = m.provisional;
  const size_t count = m.size();
  for (size_t b = 0; b < count; ++b) {
    const Binding binding = m[b];
    const uint32_t s = binding[k];
    const std::span<const Edge> range = rel.incoming ? g.in_edges_of(s) : g.out_edges_of(s);
    for (const Edge& e : range) {
      if (!admits(types, static_cast<uint8_t>(e.rel))) continue;
      const uint32_t t = e.node;
      if (!admits(kinds, static_cast<uint8_t>(g.nodes[t].kind))) continue;
      if (!next.props.empty() && !inline_props_match(g, t, next.props)) continue;
      if (m.waits(b)) {
        out.unsettled.resize(out.size(), 0);
        out.unsettled.push_back(1);
      }
      out.flat.insert(out.flat.end(), binding.begin(), binding.end());
      out.flat.push_back(t);
    }
  }
  return out;
}

// Keeps the bindings for which WHERE holds, in order.
void filter(const GraphView& g, const Query& q, bool defer, Matches& m) {
  const Expr& where = *q.where_clause;
  // Reads through patterns where a Null would reject the match anyway are
  // provisional: most matches are rejected, and their texts then need no
  // check at all.
  uint64_t provisional = null_rejecting_positions(where, q);
  if (m.width < 64) provisional &= (uint64_t{1} << m.width) - 1;
  const ProvisionalReads reads(provisional);
  m.provisional = provisional;
  const TextsRead texts = texts_read_by(where);
  size_t kept = 0;
  const size_t count = m.size();
  for (size_t b = 0; b < count; ++b) {
    if (b + PREFETCH_DISTANCE < count) prefetch_texts(g, m[b + PREFETCH_DISTANCE], texts);
    const Binding binding = m[b];
    if (!eval_bool(g, where, binding, q)) continue;
    bool waits = false;
    for (uint64_t bits = provisional; bits && !waits; bits &= bits - 1)
      waits = props_unchecked(binding[static_cast<size_t>(__builtin_ctzll(bits))]);
    if (waits) {
      if (defer) {
        m.unsettled.resize(kept, 0);
        m.unsettled.push_back(1);
      } else if (!settle_binding(g, q, provisional, binding)) {
        continue;
      }
    }
    if (kept != b)
      std::copy_n(m.flat.begin() + static_cast<ptrdiff_t>(b * m.width), m.width,
                  m.flat.begin() + static_cast<ptrdiff_t>(kept * m.width));
    ++kept;
  }
  m.flat.resize(kept * m.width);
}

// The last node pattern WHERE reads through. Filtering right after that
// pattern is bound keeps exactly the bindings, in the same order, that
// filtering after the last hop would: later hops only extend a binding, and
// WHERE never looks at what they add.
size_t last_position_read(const Query& q) {
  size_t last = 0;
  for_each_prop(*q.where_clause, [&](const Expr::Prop& p) {
    if (const std::optional<size_t> pos = resolve_var(q, p.var)) last = std::max(last, *pos);
  });
  return last;
}

}  // namespace

Matches match_pattern(const GraphView& g, const Query& q, bool defer) {
  const size_t hops = std::min(q.pattern.rels.size(), q.pattern.nodes.size() - 1);
  const size_t filter_at = q.where_clause ? std::min(last_position_read(q), hops) : hops + 1;
  Matches m = seed(g, q);
  if (filter_at == 0) filter(g, q, defer, m);
  for (size_t k = 0; k < hops; ++k) {
    m = expand(g, q, k, m);
    if (filter_at == k + 1) filter(g, q, defer, m);
  }
  return m;
}

Result<QueryResult> execute(const GraphView& g, const Query& q) {
  size_t matching = 0;
  const std::vector<std::string_view> keys = keys_read_by(q, matching);
  reset_props_cache(g.node_count(), keys, matching);
  // Only a LIMIT over plain rows leaves matches that no row needs, so only
  // then may settling wait until the rows are ordered.
  bool aggregated = false;
  for (const ReturnItem& r : q.returns) aggregated = aggregated || r.agg.has_value();
  Matches m = match_pattern(g, q, q.limit.has_value() && !q.distinct && !aggregated);
  return finish_rows(g, q, std::move(m));
}

}  // namespace vyr::query
