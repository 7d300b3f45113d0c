#include "query/ordering.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "query/predicates.h"

namespace vyr::query {

namespace {

// A resolved ORDER BY item.
struct OrderKey {
  size_t position = 0;
  std::optional<std::string> prop;
  bool desc = false;
};

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

Error unknown_return_var(const std::string& var) { return Error("RETURN references unknown variable " + var); }

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

Result<std::vector<OrderKey>> resolve_order(const Query& q) {
  std::vector<OrderKey> keys;
  for (const OrderItem& item : q.order_by) {
    std::string_view var = item.var;
    const std::optional<std::string>* prop = &item.prop;
    if (!item.prop) {
      for (const ReturnItem& r : q.returns) {
        if (r.alias && *r.alias == item.var) {
          var = r.var;
          prop = &r.prop;
          break;
        }
      }
    }
    const std::optional<size_t> pos = resolve_var(q, var);
    if (!pos) return Error("ORDER BY references unknown variable " + item.var);
    keys.push_back({*pos, *prop, item.desc});
  }
  return keys;
}

void reorder(Matches& m, const std::vector<uint32_t>& order) {
  std::vector<uint32_t> flat;
  flat.reserve(order.size() * m.width);
  std::vector<uint8_t> unsettled;
  if (!m.unsettled.empty()) unsettled.reserve(order.size());
  for (uint32_t k : order) {
    const Binding b = m[k];
    flat.insert(flat.end(), b.begin(), b.end());
    if (!m.unsettled.empty()) unsettled.push_back(m.waits(k) ? 1 : 0);
  }
  m.flat = std::move(flat);
  m.unsettled = std::move(unsettled);
}

// Provisional reads for the matches that wait to be settled, and only for
// them: ordering such a match by a provisional value is safe because a
// match whose reads do not stand is dropped before any row is built.
uint64_t reads_for(const Matches& m, size_t k) { return m.waits(k) ? m.provisional : 0; }

// Settles, in order, the waiting matches among the first `needed` that
// pass, dropping those that fail the filter after all, and cuts the list
// after them (keeping at least one match).
void settle_first(const GraphView& g, const Query& q, uint64_t needed, Matches& m) {
  if (m.unsettled.empty()) return;
  const uint64_t keep = std::max<uint64_t>(needed, 1);
  std::vector<uint32_t> flat;
  uint64_t kept = 0;
  for (size_t k = 0; k < m.size() && kept < keep; ++k) {
    if (!settle_match(g, q, m, k)) continue;
    const Binding b = m[k];
    flat.insert(flat.end(), b.begin(), b.end());
    ++kept;
  }
  m.flat = std::move(flat);
  m.unsettled.clear();
}

// A sort-key value reduced to what the comparison reads.
struct SortKey {
  PropView::Kind kind = PropView::Kind::Null;
  bool b = false;
  double num = 0;
  std::string_view s;
};

SortKey sort_key(const PropView& v) {
  SortKey k;
  k.kind = v.kind == PropView::Kind::Int ? PropView::Kind::Float : v.kind;
  k.b = v.b;
  k.num = v.number();
  k.s = v.s;
  return k;
}

// ORDER BY's comparison, ascending: numbers as 64-bit floats (a NaN equal to
// everything), Null after everything else, false before true, texts byte by
// byte; every other pair (a number against a text, lists, nodes) is equal.
int compare_keys(const SortKey& a, const SortKey& b) {
  using K = PropView::Kind;
  if (a.kind == K::Float && b.kind == K::Float) return a.num < b.num ? -1 : (a.num > b.num ? 1 : 0);
  if (a.kind == K::Null || b.kind == K::Null) return a.kind == b.kind ? 0 : (a.kind == K::Null ? 1 : -1);
  if (a.kind == K::Bool && b.kind == K::Bool) return static_cast<int>(a.b) - static_cast<int>(b.b);
  if (a.kind == K::Str && b.kind == K::Str) {
    const int c = a.s.compare(b.s);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return 0;
}

// Whether the comparison orders column k strictly and weakly: it does when
// the column's non-null values are all numbers (none NaN), all texts, all
// booleans, or all of the kinds that compare equal to everything.
bool is_one_class(const std::vector<SortKey>& values, size_t w, size_t k) {
  using K = PropView::Kind;
  const auto class_of = [](const SortKey& v) {
    switch (v.kind) {
      case K::Float: return std::isnan(v.num) ? -1 : 0;
      case K::Str: return 1;
      case K::Bool: return 2;
      default: return 3;
    }
  };
  int seen = -2;
  for (size_t i = k; i < values.size(); i += w) {
    if (values[i].kind == K::Null) continue;
    const int c = class_of(values[i]);
    if (c < 0 || (seen != -2 && c != seen)) return false;
    seen = c;
  }
  return true;
}

// Sorts the matches by their keys, stably. Only the first `needed` of them
// (at least one, so that later stages still see that there were matches)
// are kept when fewer are needed than there are.
void sort_by_keys(const GraphView& g, const Query& q, const std::vector<OrderKey>& keys, uint64_t needed,
                  Matches& m) {
  const size_t n = m.size(), w = keys.size();
  if (n < 2) return;
  // Keys are computed once per match, then compared.
  std::vector<SortKey> values(n * w);
  for (size_t b = 0; b < n; ++b) {
    const ProvisionalReads reads(reads_for(m, b));
    for (size_t k = 0; k < w; ++k) values[b * w + k] = sort_key(project_at(g, m[b], keys[k].position, keys[k].prop));
  }
  std::vector<uint32_t> order(n);
  for (size_t b = 0; b < n; ++b) order[b] = static_cast<uint32_t>(b);
  const auto compare = [&](uint32_t x, uint32_t y) {
    for (size_t k = 0; k < w; ++k) {
      const int c = compare_keys(values[x * w + k], values[y * w + k]);
      if (c != 0) return keys[k].desc ? -c : c;
    }
    return 0;
  };
  bool transitive = true;
  for (size_t k = 0; k < w && transitive; ++k) transitive = is_one_class(values, w, k);
  if (transitive) {
    // A strict weak order made total by the match position: any sort then
    // gives the stable order, and a partial sort its first rows.
    const auto before = [&](uint32_t x, uint32_t y) {
      const int c = compare(x, y);
      return c != 0 ? c < 0 : x < y;
    };
    if (needed < n) {
      // The first rows in order, settling the waiting ones among them. If
      // one is dropped, every waiting match left is settled and what stands
      // is sorted once more: sorting on a few rows at a time could take a
      // round per dropped row.
      const size_t keep = std::max<size_t>(static_cast<size_t>(needed), 1);
      const auto at = [&](size_t i) { return order.begin() + static_cast<ptrdiff_t>(i); };
      std::partial_sort(at(0), at(keep), order.end(), before);
      size_t kept = 0;
      for (size_t i = 0; i < keep; ++i)
        if (settle_match(g, q, m, order[i])) order[kept++] = order[i];
      if (kept < keep) {
        // The rows kept so far precede all the others; the rest follow them.
        const auto rest = std::remove_if(at(keep), order.end(), [&](uint32_t k) { return !settle_match(g, q, m, k); });
        order.erase(std::move(at(keep), rest, at(kept)), order.end());
        std::partial_sort(at(kept), at(std::min(keep, order.size())), order.end(), before);
      }
      order.resize(std::min(keep, order.size()));
      reorder(m, order);
      m.unsettled.clear();
      return;
    }
    std::sort(order.begin(), order.end(), before);
  } else {
    // Dropping matches after a sort under this comparison could reorder the
    // rest, so the waiting ones are settled first.
    if (!m.unsettled.empty())
      std::erase_if(order, [&](uint32_t k) { return !settle_match(g, q, m, k); });
    merge_sort(order, [&](uint32_t x, uint32_t y) { return compare(x, y) < 0; });
    reorder(m, order);
    m.unsettled.clear();
    return;
  }
  reorder(m, order);
}

// overlap_score with the caller's work list, so that ranking many matches
// allocates it once.
uint32_t score_with(std::vector<const Expr*>& todo, const GraphView& g, const Expr& e, Binding b, const Query& q) {
  uint32_t score = 0;
  todo.assign(1, &e);
  while (!todo.empty()) {
    const Expr* x = todo.back();
    todo.pop_back();
    if (const auto* in = std::get_if<Expr::Infix>(&x->v); in && (in->op == BinOp::And || in->op == BinOp::Or)) {
      todo.push_back(in->rhs.get());
      todo.push_back(in->lhs.get());
      continue;
    }
    if (eval_bool(g, *x, b, q)) ++score;
  }
  return score;
}

void rank_by_overlap(const GraphView& g, const Query& q, Matches& m) {
  const size_t n = m.size();
  std::vector<uint32_t> score(n);
  std::vector<const Expr*> todo;
  for (size_t b = 0; b < n; ++b) {
    const ProvisionalReads reads(reads_for(m, b));
    score[b] = score_with(todo, g, *q.where_clause, m[b], q);
  }
  std::vector<uint32_t> order(n);
  for (size_t b = 0; b < n; ++b) order[b] = static_cast<uint32_t>(b);
  // Scores are plain integers, so the comparison is a strict weak order.
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return score[x] > score[y]; });
  reorder(m, order);
}

void append_row_debug(const GraphView& g, const std::vector<PropView>& row, std::string& out) {
  out.clear();
  out.push_back('[');
  for (size_t i = 0; i < row.size(); ++i) {
    if (i) out += ", ";
    append_debug_view(g, row[i], out);
  }
  out.push_back(']');
}

// Rows without aggregates. Only the rows that survive DISTINCT, SKIP and
// LIMIT are materialised; the rest are at most rendered for DISTINCT.
Result<std::vector<std::vector<Value>>> plain_rows(const GraphView& g, const Query& q, const Matches& m) {
  std::vector<std::vector<Value>> rows;
  const size_t n = m.size();
  if (n == 0) return rows;
  std::vector<size_t> pos;
  for (const ReturnItem& r : q.returns) {
    const std::optional<size_t> p = resolve_var(q, r.var);
    if (!p) return unknown_return_var(r.var);
    pos.push_back(*p);
  }
  const uint64_t skip = q.skip.value_or(0);
  const uint64_t end = q.limit ? saturating_add(skip, *q.limit) : std::numeric_limits<uint64_t>::max();
  std::vector<PropView> views(pos.size());
  const auto materialise = [&](size_t b) {
    std::vector<Value> row;
    row.reserve(pos.size());
    for (size_t c = 0; c < pos.size(); ++c) row.push_back(project(g, m[b][pos[c]], q.returns[c].prop));
    return row;
  };
  if (!q.distinct) {
    // The columns' property texts of a row a few rows ahead are asked for
    // while this one is built.
    std::vector<size_t> json_columns;
    for (size_t c = 0; c < pos.size(); ++c) {
      const std::optional<std::string>& prop = q.returns[c].prop;
      if (prop && *prop != "name" && *prop != "kind") json_columns.push_back(pos[c]);
    }
    constexpr uint64_t AHEAD = 8;
    const uint64_t stop = std::min<uint64_t>(n, end);
    if (stop > skip) rows.reserve(static_cast<size_t>(stop - skip));
    for (uint64_t b = skip; b < stop; ++b) {
      if (b + AHEAD < stop)
        for (size_t p : json_columns) prefetch_props(g, m[b + AHEAD][p]);
      rows.push_back(materialise(b));
    }
    return rows;
  }
  TextSet seen;
  std::string text;
  uint64_t kept = 0;
  for (size_t b = 0; b < n && kept < end; ++b) {
    for (size_t c = 0; c < pos.size(); ++c) views[c] = project_view(g, m[b][pos[c]], q.returns[c].prop);
    append_row_debug(g, views, text);
    if (!seen.insert(text).second) continue;
    if (kept++ >= skip) rows.push_back(materialise(b));
  }
  return rows;
}

struct Accumulator {
  uint64_t count = 0;
  double sum = -0.0;
  double min = HUGE_VAL;
  double max = -HUGE_VAL;

  void add(double x) {
    ++count;
    sum += x;
    if (x < min) min = x;
    if (x > max) max = x;
  }
};

struct Group {
  std::vector<Value> values;     // the group items', from the group's first match
  std::vector<Accumulator> aggs;  // one per aggregate item
};

Result<std::vector<std::vector<Value>>> aggregated_rows(const GraphView& g, const Query& q, const Matches& m) {
  std::vector<std::vector<Value>> rows;
  const size_t n = m.size();
  if (n == 0) return rows;
  std::vector<size_t> group_items, agg_items;
  for (size_t c = 0; c < q.returns.size(); ++c) (q.returns[c].agg ? agg_items : group_items).push_back(c);
  // Resolved in the order the first match would meet them: group items,
  // then the aggregates that read their argument (count never does).
  std::vector<size_t> pos(q.returns.size(), 0);
  for (size_t c : group_items) {
    const std::optional<size_t> p = resolve_var(q, q.returns[c].var);
    if (!p) return unknown_return_var(q.returns[c].var);
    pos[c] = *p;
  }
  for (size_t c : agg_items) {
    if (*q.returns[c].agg == AggFn::Count) continue;
    const std::optional<size_t> p = resolve_var(q, q.returns[c].var);
    if (!p) return unknown_return_var(q.returns[c].var);
    pos[c] = *p;
  }

  const auto add_to_group = [&](Group& grp, Binding binding) {
    for (size_t a = 0; a < agg_items.size(); ++a) {
      const ReturnItem& item = q.returns[agg_items[a]];
      if (*item.agg == AggFn::Count) {
        grp.aggs[a].add(1.0);
        continue;
      }
      const PropView v = project_view(g, binding[pos[agg_items[a]]], item.prop);
      if (v.is_number()) grp.aggs[a].add(v.number());
    }
  };
  std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>> index;
  std::vector<Group> groups;
  std::string key;
  std::vector<PropView> views(group_items.size());
  // When every group item reads the same node pattern, a match's group is a
  // function of that one node: remember each node's group rather than
  // render and look up its key again for every match.
  constexpr uint32_t NO_GROUP = UINT32_MAX;
  bool one_node = !group_items.empty();
  for (size_t c : group_items) one_node = one_node && pos[c] == pos[group_items[0]];
  std::vector<uint32_t> group_of_node;
  if (one_node) group_of_node.assign(g.node_count(), NO_GROUP);
  bool counts_only = group_items.empty();
  for (size_t c : agg_items) counts_only = counts_only && *q.returns[c].agg == AggFn::Count;
  if (counts_only) {
    // One group, and counting needs no reads: every match adds one.
    Group grp;
    grp.aggs.resize(agg_items.size());
    for (Accumulator& acc : grp.aggs) {
      acc.count = n;
      acc.sum = static_cast<double>(n);
      acc.min = acc.max = 1.0;
    }
    groups.push_back(std::move(grp));
    index.emplace(std::string(), 0);
  }
  for (size_t b = counts_only ? n : 0; b < n; ++b) {
    const Binding binding = m[b];
    if (group_items.empty() && !groups.empty()) {
      add_to_group(groups[0], binding);  // one group for all matches
      continue;
    }
    uint32_t* memo = one_node ? &group_of_node[binding[pos[group_items[0]]]] : nullptr;
    if (memo && *memo != NO_GROUP) {
      add_to_group(groups[*memo], binding);
      continue;
    }
    key.clear();
    for (size_t k = 0; k < group_items.size(); ++k) {
      const size_t c = group_items[k];
      views[k] = project_view(g, binding[pos[c]], q.returns[c].prop);
      append_debug_view(g, views[k], key);
      key += "\x01";
    }
    auto it = index.find(std::string_view(key));
    if (it == index.end()) {
      Group grp;
      for (const PropView& v : views) grp.values.push_back(to_value(g, v));
      grp.aggs.resize(agg_items.size());
      groups.push_back(std::move(grp));
      it = index.emplace(key, static_cast<uint32_t>(groups.size() - 1)).first;
    }
    if (memo) *memo = it->second;
    add_to_group(groups[it->second], binding);
  }

  std::vector<std::string_view> keys_of(groups.size());
  for (const auto& [k, i] : index) keys_of[i] = k;
  std::vector<uint32_t> order(groups.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return keys_of[x] < keys_of[y]; });

  rows.reserve(groups.size());
  for (uint32_t gi : order) {
    Group& grp = groups[gi];
    std::vector<Value> row;
    row.reserve(q.returns.size());
    size_t next_group = 0, next_agg = 0;
    for (const ReturnItem& item : q.returns) {
      if (!item.agg) {
        row.push_back(std::move(grp.values[next_group++]));
        continue;
      }
      const Accumulator& acc = grp.aggs[next_agg++];
      switch (*item.agg) {
        case AggFn::Count: row.emplace_back(static_cast<int64_t>(acc.count)); break;
        case AggFn::Sum: row.push_back(acc.count ? Value(acc.sum) : Value()); break;
        case AggFn::Avg: row.push_back(acc.count ? Value(acc.sum / static_cast<double>(acc.count)) : Value()); break;
        case AggFn::Min: row.push_back(acc.count ? Value(acc.min) : Value()); break;
        case AggFn::Max: row.push_back(acc.count ? Value(acc.max) : Value()); break;
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

uint32_t overlap_score(const GraphView& g, const Expr& e, Binding b, const Query& q) {
  std::vector<const Expr*> todo;
  return score_with(todo, g, e, b, q);
}

std::vector<std::string> column_names(const Query& q) {
  std::vector<std::string> names;
  for (const ReturnItem& r : q.returns) {
    if (r.alias) {
      names.push_back(*r.alias);
    } else if (r.count_star) {
      names.emplace_back("count(*)");
    } else {
      std::string base = r.prop ? r.var + "." + *r.prop : r.var;
      names.push_back(r.agg ? std::string(agg_name(*r.agg)) + "(" + base + ")" : std::move(base));
    }
  }
  return names;
}

Result<QueryResult> finish_rows(const GraphView& g, const Query& q, Matches m) {
  bool aggregated = false;
  for (const ReturnItem& r : q.returns) aggregated = aggregated || r.agg.has_value();

  if (!aggregated) {
    const uint64_t needed = q.limit && !q.distinct ? saturating_add(q.skip.value_or(0), *q.limit)
                                                  : std::numeric_limits<uint64_t>::max();
    if (!q.order_by.empty()) {
      Result<std::vector<OrderKey>> keys = resolve_order(q);
      if (!keys.ok()) return keys.error();
      sort_by_keys(g, q, *keys, needed, m);
    } else if (q.where_clause && m.size() >= 2) {
      rank_by_overlap(g, q, m);
    }
    settle_first(g, q, needed, m);
  }

  QueryResult out;
  out.columns = column_names(q);
  if (!aggregated) {
    Result<std::vector<std::vector<Value>>> rows = plain_rows(g, q, m);
    if (!rows.ok()) return rows.error();
    out.rows = std::move(*rows);
    return out;  // plain_rows applied DISTINCT, SKIP and LIMIT
  }

  Result<std::vector<std::vector<Value>>> rows = aggregated_rows(g, q, m);
  if (!rows.ok()) return rows.error();
  std::vector<std::vector<Value>>& all = *rows;
  if (q.distinct) {
    TextSet seen;
    size_t kept = 0;
    for (size_t r = 0; r < all.size(); ++r) {
      if (!seen.insert(debug_row(all[r])).second) continue;
      if (kept != r) all[kept] = std::move(all[r]);
      ++kept;
    }
    all.resize(kept);
  }
  const uint64_t skip = std::min<uint64_t>(q.skip.value_or(0), all.size());
  all.erase(all.begin(), all.begin() + static_cast<ptrdiff_t>(skip));
  if (q.limit && *q.limit < all.size()) all.resize(static_cast<size_t>(*q.limit));
  out.rows = std::move(all);
  return out;
}

}  // namespace vyr::query
