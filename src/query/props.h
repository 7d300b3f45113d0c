// Property access: the one way the query engine reads data out of a node.
//
// "name" and "kind" come from the node record itself and never touch JSON.
// Every other key is a member of the node's JSON property object. PROPS_CACHE
// (one per thread) remembers, for every node read during the current query,
// whether its text is JSON and, for the keys the query announced when the
// cache was reset, where each member's value lies in the text. So the first
// read of a node validates its whole text once and locates the announced
// members in the same pass; later reads decode only the value asked for.
// Nothing of the graph is copied into the cache; only members whose text
// holds escapes are decoded into it.
//
// Typing rules (json_to_value): numeric-looking strings become numbers,
// except under the key "price", which stays text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/graph.h"
#include "core/json.h"
#include "query/value.h"

namespace vyr::query {

// A property value as read, borrowing its text from the graph or from the
// calling thread's PROPS_CACHE. Valid until the next reset_props_cache() on
// this thread and while the graph lives. Lists stay undecoded JSON text until
// to_value() materialises them.
struct PropView {
  enum class Kind : uint8_t { Null, Bool, Int, Float, Str, List, Node };
  Kind kind = Kind::Null;
  bool b = false;
  int64_t i = 0;
  double f = 0;
  std::string_view s;    // Str: the text; List: the raw JSON array text
  std::string_view key;  // List: the key that types its elements
  uint32_t node = 0;     // Node: the node index

  bool is_null() const { return kind == Kind::Null; }
  bool is_number() const { return kind == Kind::Int || kind == Kind::Float; }
  double number() const { return kind == Kind::Int ? static_cast<double>(i) : f; }
};

// Empties the calling thread's PROPS_CACHE (keeping its capacity) for a graph
// of `node_count` nodes and announces the JSON keys the coming query reads.
// Must precede the first read of every execution: the cache is keyed by node
// index alone. The key texts must stay alive and unchanged until the next
// reset (they are the executing query's own): reads that pass the same
// texts are matched by address. Keys beyond the first few, and keys never announced, are still
// answered, by a scan of the node's text that was already found valid.
// A provisional read searches a text for the first `searched` keys only (the
// filter's); the others are found when the node's text is checked.
void reset_props_cache(uint32_t node_count, std::span<const std::string_view> keys = {},
                       size_t searched = SIZE_MAX);

// The key of node i, typed by json_to_value.
//
// A provisional read may answer before the node's text has been checked to
// be JSON: it finds the member with a fast search that trusts the text (see
// locate.h). Its answer equals the checked one whenever the text is a JSON
// object; otherwise the checked answer would have been Null. Callers use it
// only where a Null would have made the outcome false anyway, and settle the
// node (settle_props) before an outcome that holds is relied on. A later
// read that is not provisional checks the text first.
PropView read_prop_view(const GraphView& g, uint32_t i, std::string_view key, bool provisional = false);

// Whether node i has been read provisionally and not checked since.
bool props_unchecked(uint32_t i);

// Checks node i's text if it is unchecked; true when every provisional read
// of it stands, false when one would now answer differently (the text is
// not a JSON object, or its members lie elsewhere than the provisional
// search found them).
bool settle_props(const GraphView& g, uint32_t i);
// The node itself (a NodeRef) without a key, else read_prop_view.
PropView project_view(const GraphView& g, uint32_t i, const std::optional<std::string>& key);

// An owned Value for a view (lists decoded, NodeRef texts copied).
Value to_value(const GraphView& g, const PropView& view);
// The debug rendering of to_value(g, view), without the copy for scalars.
void append_debug_view(const GraphView& g, const PropView& view, std::string& out);

Value read_prop(const GraphView& g, uint32_t i, std::string_view key);
Value project(const GraphView& g, uint32_t i, const std::optional<std::string>& key);

// The typing table for one JSON value found under `key` (nullptr: absent).
Value json_to_value(std::string_view key, const json::Value* v);

// Whether a JSON string has the numeric form that json_to_value turns into a
// number: -?(0|[1-9][0-9]*)(\.[0-9]+)?
bool has_numeric_form(std::string_view s);

// Asks for node i's property text ahead of its use (a read will scan all of
// it). Inlined on purpose: a function whose only effect is prefetching looks
// free of side effects to the compiler, which then drops the calls to it.
inline constexpr size_t MAX_PREFETCHED_TEXT = 4096;
[[gnu::always_inline]] inline void prefetch_props(const GraphView& g, uint32_t i) {
  const Str props = g.nodes[i].props;
  const char* p = g.string_pool.data() + props.off;
  const size_t len = props.len < MAX_PREFETCHED_TEXT ? props.len : MAX_PREFETCHED_TEXT;
  for (size_t k = 0; k < len; k += 64) __builtin_prefetch(p + k);
}

// The node's name, or the empty text when it is not valid UTF-8.
std::string_view node_name(const GraphView& g, uint32_t i);

}  // namespace vyr::query
