// The mutable graph under construction. Nodes are found again by their id
// alone, so a product seen twice is updated in place; edges name their
// destination by id and are resolved only in build(); every text is stored
// once in the pool.
//
// Not thread-safe: one owner, fed on one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/error.h"
#include "core/graph.h"

namespace vyr {

namespace detail {
// Open-addressing table of 32-bit payloads whose keys are texts the owner can
// reproduce from the payload (a pool slice, a node's id), so no key is stored
// twice.
class TextIndex {
 public:
  template <class KeyOf>
  const uint32_t* find(std::string_view key, uint64_t hash, KeyOf key_of) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.value == EMPTY) return nullptr;
      if (s.hash == hash && key_of(s.value) == key) return &s.value;
    }
  }
  void insert(uint64_t hash, uint32_t value);  // the key must be absent
  void reserve(size_t n);
  size_t size() const { return size_; }

 private:
  static constexpr uint32_t EMPTY = UINT32_MAX;
  struct Slot {
    uint64_t hash;
    uint32_t value;
  };
  void grow();
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};
}  // namespace detail

uint64_t hash_text(std::string_view text);

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return hash_text(s); }
};

class GraphBuilder {
 public:
  GraphBuilder() = default;
  GraphBuilder(GraphBuilder&&) = default;
  GraphBuilder& operator=(GraphBuilder&&) = default;

  // A builder holding an owned graph's nodes (same indices, props unchanged)
  // and out-edges. Throws Fault("string_pool utf8") when a pool text is not
  // UTF-8 (possible only with a file that passed the store's layout checks).
  static GraphBuilder from_graph(const Graph& graph);

  // Adds the node, or updates the node with the same id: props objects are
  // merged (null and "" entries of the update skipped), a non-empty name
  // replaces the old one, the kind is overwritten, a removal mark is cleared.
  // Texts must be valid UTF-8. Returns the builder index.
  uint32_t upsert_node(NodeKind kind, std::string_view id, std::string_view name, std::string_view props);

  // Records an edge to the node whose id is `dst_id`, resolved in build().
  // Unknown sources or destinations are dropped then, duplicates kept.
  void add_edge(uint32_t src, RelType rel, std::string_view dst_id);

  Str intern(std::string_view text);

  // Marks the first node (builder order) whose props hold "url": `url` for
  // removal in build(). Returns whether one was found.
  bool remove_node_by_url(std::string_view url);

  size_t node_count() const { return nodes_.size(); }
  std::string_view text(Str s) const { return std::string_view(pool_).substr(s.off, s.len); }
  const Node& node(uint32_t i) const { return nodes_[i]; }
  // The index of the node with this id, if any.
  std::optional<uint32_t> find(std::string_view id) const;

  // Drops removed nodes and their edges, compacts the pool and lays the edges
  // out in compressed rows. Fails only when the graph outgrew the 32-bit
  // limits (a pool of 4 GiB, 2^32 - 1 nodes) while it was being fed; the
  // builder then stopped accepting data rather than wrap around.
  Result<Graph> build() &&;

 private:
  struct PendingEdge {
    uint64_t dst_off;  // into edge_ids_
    uint32_t dst_len;
    uint32_t src;
    RelType rel;
  };

  const uint32_t* find_interned(std::string_view text, uint64_t h) const;
  void fail(const char* why);

  std::string pool_;
  std::vector<Node> nodes_;
  std::vector<PendingEdge> pending_edges_;
  std::string edge_ids_;
  std::vector<Str> interned_strs_;    // payloads of interned_
  detail::TextIndex interned_;        // text -> position in interned_strs_
  detail::TextIndex index_;           // node id -> builder index
  std::unordered_set<std::string, TextHash, std::equal_to<>> removed_;
  // url -> first node index, built on the first removal and dropped by any
  // upsert, so a batch of removals parses every node's props once.
  std::optional<std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>>> url_index_;
  std::optional<Error> error_;
};

}  // namespace vyr
