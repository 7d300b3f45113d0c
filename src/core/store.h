// graph.bin: writing it atomically, mapping it read-only, checking it.
//
// A LoadedGraph owns its mapping: every view it hands out (view(), strings,
// spans) stays valid exactly as long as the LoadedGraph does. Nothing is
// copied on open; the records are read in place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/graph.h"
#include "core/mapped_file.h"

namespace vyr {

inline constexpr size_t ROOT_RECORD_SIZE = 56;

// Writes `graph` to `path` through `path` with its extension replaced by
// "bin.tmp": the temporary file is written, flushed to stable storage, renamed
// over `path`, and the directory is flushed. Returns the file length.
// Errors (top-level messages): "archive serialize graph" when the graph
// exceeds the format's limits (nothing is written), "write tmp graph.bin",
// "atomic rename graph.bin". On failure `path` keeps its previous content.
Result<uint64_t> save(const Graph& graph, const std::string& path);

// Where each vector and the root record go in a file with these element
// counts (pool bytes, nodes, edges, out_offsets, in_edges, in_offsets);
// nothing when the file would exceed the format's 32-bit fields.
struct FileLayout {
  uint64_t starts[6];
  uint64_t root;
  uint64_t size;
};
std::optional<FileLayout> plan_layout(const std::array<uint64_t, 6>& counts);

// The bytes save() writes; fails with "archive serialize graph".
Result<std::string> encode(const Graph& graph);

// The temporary name used by save().
std::string temp_path_for(const std::string& path);

class LoadedGraph {
 public:
  // Maps and validates. Errors: "open {path:?}", OS errors, "archive access
  // (corrupt graph.bin?)" for a bad layout, or the first invariant violation.
  static Result<LoadedGraph> open(const std::string& path);

  // Validates bytes already in memory (not copied: they must outlive the
  // result of view()). Used by open() and by the fuzz target.
  static Result<GraphView> check(std::string_view bytes);

  const GraphView& view() const { return view_; }

 private:
  LoadedGraph(MappedFile file, GraphView view) : file_(std::move(file)), view_(view) {}
  MappedFile file_;
  GraphView view_;
};

// Semantic checks of a structurally sound file, first violation reported.
Status validate_invariants(const char magic[4], uint32_t version, const GraphView& g);

// open(), then a copy of every field into an owned Graph; the mapping is
// released before returning, so `path` may be rewritten afterwards.
Result<Graph> load_owned(const std::string& path);

}  // namespace vyr
