// Any byte string handed to the graph file checks is either refused with an
// error or yields a view whose every record can be walked in range.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/builder.h"
#include "core/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copy into 4-aligned storage, as a mapping would be.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  vyr::Result<vyr::GraphView> view = vyr::LoadedGraph::check(bytes);
  if (!view.ok()) return 0;
  const vyr::GraphView& g = *view;
  // The one-pass acceptance must agree with the step-by-step checks.
  const size_t root = bytes.size() - vyr::ROOT_RECORD_SIZE;
  uint32_t version;
  std::memcpy(&version, bytes.data() + root + 4, 4);
  if (!vyr::validate_invariants(bytes.data() + root, version, g).ok()) __builtin_trap();
  for (const vyr::Node& n : g.nodes)
    if (static_cast<uint8_t>(n.kind) >= vyr::NODE_KIND_COUNT) __builtin_trap();
  for (const vyr::Edge& e : g.edges)
    if (static_cast<uint8_t>(e.rel) >= vyr::REL_TYPE_COUNT) __builtin_trap();
  for (const vyr::Edge& e : g.in_edges)
    if (static_cast<uint8_t>(e.rel) >= vyr::REL_TYPE_COUNT) __builtin_trap();
  size_t touched = 0;
  for (uint32_t i = 0; i < g.node_count(); ++i) {
    const vyr::Node& n = g.nodes[i];
    touched += g.str(n.id).size() + g.str(n.name).size() + g.str(n.props).size();
    for (const vyr::Edge& e : g.out_edges_of(i)) touched += g.nodes[e.node].id.len;
    for (const vyr::Edge& e : g.in_edges_of(i)) touched += g.nodes[e.node].id.len;
  }
  // An accepted file must also survive the merge path: copy, rebuild, save.
  vyr::Graph owned;
  owned.string_pool.assign(g.string_pool);
  owned.nodes.assign(g.nodes.begin(), g.nodes.end());
  owned.edges.assign(g.edges.begin(), g.edges.end());
  owned.out_offsets.assign(g.out_offsets.begin(), g.out_offsets.end());
  owned.in_edges.assign(g.in_edges.begin(), g.in_edges.end());
  owned.in_offsets.assign(g.in_offsets.begin(), g.in_offsets.end());
  try {
    vyr::Result<vyr::Graph> rebuilt = vyr::GraphBuilder::from_graph(owned).build();
    if (rebuilt.ok()) {
      vyr::Result<std::string> enc = vyr::encode(*rebuilt);
      if (enc.ok() && !vyr::LoadedGraph::check(*enc).ok()) __builtin_trap();
    }
  } catch (const vyr::Fault&) {
    // A pool that is not UTF-8: reported as a fault, by design.
  }
  return touched == SIZE_MAX;
}
