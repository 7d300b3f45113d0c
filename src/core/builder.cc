#include "core/builder.h"

#include <cstring>
#include <limits>

#include <xxhash.h>

#include "core/json.h"
#include "core/utf8.h"

namespace vyr {

uint64_t hash_text(std::string_view text) { return XXH3_64bits(text.data(), text.size()); }

namespace detail {

void TextIndex::reserve(size_t n) {
  size_t want = 16;
  while (want < n * 2) want <<= 1;
  if (want <= slots_.size()) return;
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(want, Slot{0, EMPTY});
  mask_ = want - 1;
  for (const Slot& s : old) {
    if (s.value == EMPTY) continue;
    size_t i = s.hash & mask_;
    while (slots_[i].value != EMPTY) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

void TextIndex::grow() { reserve(slots_.empty() ? 8 : slots_.size()); }

void TextIndex::insert(uint64_t hash, uint32_t value) {
  if ((size_ + 1) * 2 > slots_.size()) grow();
  size_t i = hash & mask_;
  while (slots_[i].value != EMPTY) i = (i + 1) & mask_;
  slots_[i] = Slot{hash, value};
  ++size_;
}

}  // namespace detail

namespace {

constexpr uint64_t MAX_POOL = std::numeric_limits<uint32_t>::max();
constexpr uint64_t MAX_NODES = std::numeric_limits<uint32_t>::max();  // 2^32 - 1; indices stay below it
constexpr uint32_t NO_NODE = std::numeric_limits<uint32_t>::max();

// Merges `update` into `base`: entries whose value is null or "" are skipped.
std::string merge_props(std::string_view old_text, std::string_view new_text) {
  std::optional<json::Value> old_v = json::parse(is_valid_utf8(old_text) ? old_text : std::string_view("{}"));
  if (!old_v || !old_v->is_object()) return std::string(new_text);
  std::optional<json::Value> new_v = json::parse(new_text);
  if (!new_v || !new_v->is_object()) return std::string(new_text);
  json::Object& dst = old_v->as_object();
  for (const auto& [key, value] : new_v->as_object()) {
    if (value.is_null() || (value.is_string() && value.as_string().empty())) continue;
    dst.set(key, value);
  }
  return json::to_text(*old_v);
}

}  // namespace

void GraphBuilder::fail(const char* why) {
  if (!error_) error_ = Error(why);
}

const uint32_t* GraphBuilder::find_interned(std::string_view text, uint64_t h) const {
  return interned_.find(text, h, [this](uint32_t i) { return this->text(interned_strs_[i]); });
}

Str GraphBuilder::intern(std::string_view text) {
  const uint64_t h = hash_text(text);
  if (const uint32_t* i = find_interned(text, h)) return interned_strs_[*i];
  if (pool_.size() + text.size() > MAX_POOL || interned_strs_.size() >= MAX_NODES) {
    fail("graph too large: the string pool would exceed 4 GiB");
    return Str{};
  }
  Str s{static_cast<uint32_t>(pool_.size()), static_cast<uint32_t>(text.size())};
  pool_.append(text);
  interned_.insert(h, static_cast<uint32_t>(interned_strs_.size()));
  interned_strs_.push_back(s);
  return s;
}

std::optional<uint32_t> GraphBuilder::find(std::string_view id) const {
  const uint32_t* i = index_.find(id, hash_text(id), [this](uint32_t n) { return text(nodes_[n].id); });
  if (!i) return std::nullopt;
  return *i;
}

uint32_t GraphBuilder::upsert_node(NodeKind kind, std::string_view id, std::string_view name,
                                   std::string_view props) {
  if (error_) return NO_NODE;
  url_index_.reset();
  const uint64_t h = hash_text(id);
  const uint32_t* found = index_.find(id, h, [this](uint32_t n) { return text(nodes_[n].id); });
  if (!found) {
    if (nodes_.size() >= MAX_NODES) {
      fail("graph too large: more than 2^32 - 1 nodes");
      return NO_NODE;
    }
    Node n;
    n.kind = kind;
    n.name = intern(name);
    n.props = intern(props);
    n.id = intern(id);
    if (error_) return NO_NODE;
    const auto i = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(n);
    index_.insert(h, i);
    return i;
  }
  const uint32_t i = *found;
  // merge_props may not hold views into the pool across intern(): copy first.
  std::string merged = merge_props(text(nodes_[i].props), props);
  Str p = intern(merged);
  Str nm = name.empty() ? nodes_[i].name : intern(name);
  if (error_) return NO_NODE;
  Node& n = nodes_[i];
  n.props = p;
  n.name = nm;
  n.kind = kind;
  if (!removed_.empty()) {
    if (auto it = removed_.find(id); it != removed_.end()) removed_.erase(it);
  }
  return i;
}

void GraphBuilder::add_edge(uint32_t src, RelType rel, std::string_view dst_id) {
  pending_edges_.push_back(PendingEdge{edge_ids_.size(), static_cast<uint32_t>(dst_id.size()), src, rel});
  edge_ids_.append(dst_id);
}

bool GraphBuilder::remove_node_by_url(std::string_view url) {
  if (!url_index_) {
    url_index_.emplace();
    for (uint32_t i = 0; i < nodes_.size(); ++i) {
      std::string_view props = text(nodes_[i].props);
      // Only a text that names the key (possibly through an escape) can hold it.
      if (props.find("url") == std::string_view::npos && props.find("\\u") == std::string_view::npos) continue;
      VYR_CHECK(is_valid_utf8(props), "string_pool utf8");
      std::optional<json::Value> v = json::parse(props);
      if (!v) continue;
      const std::string* u = v->get_string("url");
      if (u) url_index_->try_emplace(*u, i);
    }
  }
  auto it = url_index_->find(url);
  if (it == url_index_->end()) return false;
  removed_.emplace(text(nodes_[it->second].id));
  return true;
}

GraphBuilder GraphBuilder::from_graph(const Graph& graph) {
  GraphBuilder b;
  const GraphView g = graph.view();
  b.pool_.reserve(g.string_pool.size());
  b.nodes_.reserve(g.nodes.size());
  b.index_.reserve(g.nodes.size());
  b.interned_.reserve(g.nodes.size() * 2);
  for (const Node& n : g.nodes) {
    std::string_view id = g.str(n.id), name = g.str(n.name), props = g.str(n.props);
    VYR_CHECK(is_valid_utf8(id) && is_valid_utf8(name) && is_valid_utf8(props), "string_pool utf8");
    b.upsert_node(n.kind, id, name, props);
  }
  for (uint32_t i = 0; i < g.node_count(); ++i)
    for (const Edge& e : g.out_edges_of(i)) b.add_edge(i, e.rel, g.str(g.nodes[e.node].id));
  return b;
}

Result<Graph> GraphBuilder::build() && {
  if (error_) return *error_;
  const uint32_t n_old = static_cast<uint32_t>(nodes_.size());

  // Survivors keep their relative order.
  std::vector<uint32_t> new_index(n_old, NO_NODE);
  uint32_t n_new = 0;
  for (uint32_t i = 0; i < n_old; ++i)
    if (removed_.empty() || !removed_.count(text(nodes_[i].id))) new_index[i] = n_new++;

  Graph g;
  g.string_pool.reserve(pool_.size());
  g.nodes.reserve(n_new);
  {
    std::vector<Str> strs;
    detail::TextIndex dedup;
    dedup.reserve(interned_strs_.size());
    auto reintern = [&](Str old) {
      std::string_view t = text(old);
      const uint64_t h = hash_text(t);
      const uint32_t* i = dedup.find(t, h, [&](uint32_t k) {
        return std::string_view(g.string_pool).substr(strs[k].off, strs[k].len);
      });
      if (i) return strs[*i];
      Str s{static_cast<uint32_t>(g.string_pool.size()), old.len};
      g.string_pool.append(t);
      dedup.insert(h, static_cast<uint32_t>(strs.size()));
      strs.push_back(s);
      return s;
    };
    for (uint32_t i = 0; i < n_old; ++i) {
      if (new_index[i] == NO_NODE) continue;
      const Node& o = nodes_[i];
      Node n;
      n.kind = o.kind;
      n.id = reintern(o.id);
      n.name = reintern(o.name);
      n.props = reintern(o.props);
      g.nodes.push_back(n);
    }
  }

  // Resolve destinations, then lay out both directions by counting: each
  // group keeps the recording order without a per-node list.
  struct Resolved {
    uint32_t src, dst;
    RelType rel;
  };
  std::vector<Resolved> resolved;
  resolved.reserve(pending_edges_.size());
  for (const PendingEdge& e : pending_edges_) {
    if (e.src >= n_old || new_index[e.src] == NO_NODE) continue;
    std::optional<uint32_t> dst = find(std::string_view(edge_ids_).substr(e.dst_off, e.dst_len));
    if (!dst || new_index[*dst] == NO_NODE) continue;
    resolved.push_back(Resolved{new_index[e.src], new_index[*dst], e.rel});
  }
  if (resolved.size() > std::numeric_limits<uint32_t>::max())
    return Error("graph too large: 2^32 or more edges");
  pending_edges_ = {};
  edge_ids_ = {};

  auto lay_out = [&](bool by_src, std::vector<Edge>& edges, std::vector<uint32_t>& offsets) {
    offsets.assign(size_t{n_new} + 1, 0);
    for (const Resolved& r : resolved) ++offsets[(by_src ? r.src : r.dst) + 1];
    for (uint32_t i = 0; i < n_new; ++i) offsets[i + 1] += offsets[i];
    edges.resize(resolved.size());
    std::vector<uint32_t> next(offsets.begin(), offsets.end() - 1);
    for (const Resolved& r : resolved) {
      Edge& e = edges[next[by_src ? r.src : r.dst]++];
      e.rel = r.rel;
      e.node = by_src ? r.dst : r.src;
    }
  };
  lay_out(true, g.edges, g.out_offsets);
  lay_out(false, g.in_edges, g.in_offsets);
  return g;
}

}  // namespace vyr
