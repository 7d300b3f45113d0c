// The immutable product graph: nodes addressed by dense 32-bit index, every
// text a slice of one byte pool, edges stored twice in compressed-row form
// (by source and by destination). `Node` and `Edge` are laid out exactly as
// their records in graph.bin, so a mapped file is read in place through the
// same types as an owned graph.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vyr {

static_assert(std::endian::native == std::endian::little,
              "graph.bin is little-endian and read in place");

enum class NodeKind : uint8_t {
  Product = 0,
  Offer = 1,
  Brand = 2,
  Organization = 3,
  Review = 4,
  AggregateRating = 5,
  Category = 6,
  Person = 7,
  Variant = 8,
};
inline constexpr uint8_t NODE_KIND_COUNT = 9;

enum class RelType : uint8_t {
  Offers = 0,
  Brand = 1,
  Manufacturer = 2,
  Review = 3,
  AggregateRating = 4,
  IsVariantOf = 5,
  Category = 6,
  Author = 7,
  HasVariant = 8,
  BroaderCategory = 9,
};
inline constexpr uint8_t REL_TYPE_COUNT = 10;

// Exact, case-sensitive label match; nothing for any other text.
std::optional<NodeKind> node_kind_from_label(std::string_view label);
std::optional<RelType> rel_type_from_label(std::string_view label);
std::string_view label(NodeKind kind);
std::string_view label(RelType rel);

struct Str {
  uint32_t off = 0;
  uint32_t len = 0;
  friend bool operator==(const Str&, const Str&) = default;
};

struct Node {
  NodeKind kind = NodeKind::Product;
  uint8_t pad[3] = {0, 0, 0};
  Str id;
  Str name;
  Str props;
};
static_assert(sizeof(Node) == 28 && alignof(Node) == 4);

struct Edge {
  RelType rel = RelType::Offers;
  uint8_t pad[3] = {0, 0, 0};
  uint32_t node = 0;  // destination in out-edges, source in in-edges
  friend bool operator==(const Edge& a, const Edge& b) { return a.rel == b.rel && a.node == b.node; }
};
static_assert(sizeof(Edge) == 8 && alignof(Edge) == 4);

inline constexpr char MAGIC[4] = {'V', 'Y', 'R', '1'};
inline constexpr uint32_t VERSION = 6;

// Read-only view of a graph's six vectors, owned elsewhere (a Graph or a
// LoadedGraph mapping). Valid only while its owner lives.
struct GraphView {
  std::string_view string_pool;
  std::span<const Node> nodes;
  std::span<const Edge> edges;
  std::span<const uint32_t> out_offsets;
  std::span<const Edge> in_edges;
  std::span<const uint32_t> in_offsets;

  uint32_t node_count() const { return static_cast<uint32_t>(nodes.size()); }
  // Bytes of a Str; the caller (or the store's checks) guarantees it is in range.
  std::string_view str(Str s) const { return string_pool.substr(s.off, s.len); }
  std::span<const Edge> out_edges_of(uint32_t i) const {
    return edges.subspan(out_offsets[i], out_offsets[i + 1] - out_offsets[i]);
  }
  std::span<const Edge> in_edges_of(uint32_t i) const {
    return in_edges.subspan(in_offsets[i], in_offsets[i + 1] - in_offsets[i]);
  }
};

struct Graph {
  char magic[4] = {MAGIC[0], MAGIC[1], MAGIC[2], MAGIC[3]};
  uint32_t version = VERSION;
  std::string string_pool;
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::vector<uint32_t> out_offsets{0};
  std::vector<Edge> in_edges;
  std::vector<uint32_t> in_offsets{0};

  GraphView view() const {
    return {string_pool, nodes, edges, out_offsets, in_edges, in_offsets};
  }
};

}  // namespace vyr
