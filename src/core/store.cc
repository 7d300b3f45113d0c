// File layout (little-endian; no header; the root record is last because the
// writer emits each vector in turn and only then knows where they went):
//
//   0            string_pool bytes, zero-padded to a multiple of 4
//   aligned      nodes        28 bytes each  (kind u8, 3 pad, id/name/props Str)
//                edges         8 bytes each  (rel u8, 3 pad, node u32)
//                out_offsets   4 bytes each  (node count + 1)
//                in_edges      8 bytes each
//                in_offsets    4 bytes each  (node count + 1)
//   size - 56    root record: magic "VYR1", version u32, then for each of the
//                six vectors an i32 position relative to that field and a u32
//                element count.
//
// Readers start from size - 56 and address every record in place.
#include "core/store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fs.h"

namespace vyr {
namespace {

constexpr size_t VECTOR_COUNT = 6;
constexpr size_t ELEMENT_SIZE[VECTOR_COUNT] = {1, sizeof(Node), sizeof(Edge), 4, sizeof(Edge), 4};

uint64_t align4(uint64_t n) { return (n + 3) & ~uint64_t{3}; }

void put_u32(std::string& buf, size_t at, uint32_t v) { std::memcpy(buf.data() + at, &v, 4); }

uint32_t get_u32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

template <class T>
void put_vector(std::string& buf, size_t at, const std::vector<T>& v) {
  if (!v.empty()) std::memcpy(buf.data() + at, v.data(), v.size() * sizeof(T));
}

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Status write_durably(const std::string& path, std::string_view data) {
  if (has_nul(path)) return nul_in_path();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error::os(errno);
  Status s = write_all(fd, data);
  // Flush before the rename: otherwise a crash right after it can leave an
  // empty or partial file under the target name.
  if (s.ok() && ::fsync(fd) != 0) s = Error::os(errno);
  if (::close(fd) != 0 && s.ok()) s = Error::os(errno);
  return s;
}

std::string parent_dir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void sync_dir(const std::string& dir) {
  // Makes the rename itself durable. Best effort: some file systems refuse
  // fsync on directories, and the data is already safe under one name.
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

Error corrupt() { return Error("archive access (corrupt graph.bin?)"); }

}  // namespace

std::string temp_path_for(const std::string& path) {
  // Like a path library's with_extension("bin.tmp"): the last component's
  // extension (after its last '.', unless that '.' is its first character)
  // is replaced.
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t start = path.find_last_of('/', end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  std::string_view name(path.data() + start, end - start);
  if (name.empty() || name == "." || name == "..") return path + ".bin.tmp";
  size_t dot = name.find_last_of('.');
  size_t stem_end = (dot == std::string::npos || dot == 0) ? end : start + dot;
  return path.substr(0, stem_end) + ".bin.tmp";
}

std::optional<FileLayout> plan_layout(const std::array<uint64_t, 6>& counts) {
  FileLayout l;
  uint64_t pos = 0;
  for (size_t k = 0; k < VECTOR_COUNT; ++k) {
    if (counts[k] > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    l.starts[k] = k == 0 ? 0 : align4(pos);
    pos = l.starts[k] + counts[k] * ELEMENT_SIZE[k];
  }
  l.root = align4(pos);
  // Every relative position must fit a signed 32-bit field; the pool, first
  // in the file and referenced from the root's first vector field, is the
  // furthest back.
  if (l.root + 8 > uint64_t{1} << 31) return std::nullopt;
  l.size = l.root + ROOT_RECORD_SIZE;
  return l;
}

Result<std::string> encode(const Graph& g) {
  const std::array<uint64_t, 6> counts = {g.string_pool.size(), g.nodes.size(), g.edges.size(),
                                          g.out_offsets.size(), g.in_edges.size(), g.in_offsets.size()};
  const std::optional<FileLayout> layout = plan_layout(counts);
  if (!layout) return Error("archive serialize graph");
  const auto& starts = layout->starts;
  const size_t root = layout->root;

  std::string buf(root + ROOT_RECORD_SIZE, '\0');
  buf.replace(0, g.string_pool.size(), g.string_pool);
  put_vector(buf, starts[1], g.nodes);
  put_vector(buf, starts[2], g.edges);
  put_vector(buf, starts[3], g.out_offsets);
  put_vector(buf, starts[4], g.in_edges);
  put_vector(buf, starts[5], g.in_offsets);

  std::memcpy(buf.data() + root, g.magic, 4);
  put_u32(buf, root + 4, g.version);
  for (size_t k = 0; k < VECTOR_COUNT; ++k) {
    const size_t field = root + 8 + 8 * k;
    const auto rel = static_cast<int32_t>(static_cast<int64_t>(starts[k]) - static_cast<int64_t>(field));
    put_u32(buf, field, static_cast<uint32_t>(rel));
    put_u32(buf, field + 4, static_cast<uint32_t>(counts[k]));
  }
  return buf;
}

Result<uint64_t> save(const Graph& graph, const std::string& path) {
  Result<std::string> bytes = encode(graph);
  if (!bytes.ok()) return bytes.error();
  const std::string tmp = temp_path_for(path);
  if (Status s = write_durably(tmp, *bytes); !s.ok()) return s.error().context("write tmp graph.bin");
  if (has_nul(path)) return nul_in_path().context("atomic rename graph.bin");
  if (::rename(tmp.c_str(), path.c_str()) != 0) return Error::os(errno).context("atomic rename graph.bin");
  sync_dir(parent_dir(path));
  return static_cast<uint64_t>(bytes->size());
}

namespace {

bool offsets_sound(std::span<const uint32_t> offsets, size_t nodes, size_t count) {
  if (offsets.size() != nodes + 1 || offsets.back() != count) return false;
  uint32_t descents = 0;
  for (size_t i = 1; i < offsets.size(); ++i) descents |= offsets[i] < offsets[i - 1];
  return descents == 0;
}

bool edges_sound(std::span<const Edge> edges, size_t nodes) {
  uint32_t max_rel = 0, max_node = 0;
  for (const Edge& e : edges) {
    max_rel = std::max<uint32_t>(max_rel, static_cast<uint8_t>(e.rel));
    max_node = std::max(max_node, e.node);
  }
  return edges.empty() || (max_rel < REL_TYPE_COUNT && max_node < nodes);
}

// Everything check() and validate_invariants() test, as one yes or no.
bool records_sound(const char magic[4], uint32_t version, const GraphView& g) {
  if (std::memcmp(magic, MAGIC, 4) != 0 || version != VERSION) return false;
  const size_t n = g.nodes.size();
  if (!offsets_sound(g.out_offsets, n, g.edges.size()) || !offsets_sound(g.in_offsets, n, g.in_edges.size()))
    return false;
  if (!edges_sound(g.edges, n) || !edges_sound(g.in_edges, n)) return false;
  uint32_t max_kind = 0;
  uint64_t max_end = 0;
  for (const Node& node : g.nodes) {
    max_kind = std::max<uint32_t>(max_kind, static_cast<uint8_t>(node.kind));
    max_end = std::max(max_end, uint64_t{node.id.off} + node.id.len);
    max_end = std::max(max_end, uint64_t{node.name.off} + node.name.len);
    max_end = std::max(max_end, uint64_t{node.props.off} + node.props.len);
  }
  return max_kind < NODE_KIND_COUNT && max_end <= g.string_pool.size();
}

}  // namespace

Result<GraphView> LoadedGraph::check(std::string_view bytes) {
  const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  if (size < ROOT_RECORD_SIZE || size % 4 != 0) return corrupt();
  const size_t root = size - ROOT_RECORD_SIZE;

  int64_t starts[VECTOR_COUNT];
  uint32_t counts[VECTOR_COUNT];
  int64_t prev_end = 0;
  for (size_t k = 0; k < VECTOR_COUNT; ++k) {
    const size_t field = root + 8 + 8 * k;
    const auto rel = static_cast<int32_t>(get_u32(base + field));
    counts[k] = get_u32(base + field + 4);
    const int64_t start = static_cast<int64_t>(field) + rel;  // both far below 2^62: no wrap
    const int64_t end = start + static_cast<int64_t>(counts[k]) * static_cast<int64_t>(ELEMENT_SIZE[k]);
    if (start < prev_end || end > static_cast<int64_t>(root)) return corrupt();
    if (k > 0 && start % 4 != 0) return corrupt();
    starts[k] = start;
    prev_end = end;
  }

  GraphView v;
  v.string_pool = bytes.substr(static_cast<size_t>(starts[0]), counts[0]);
  v.nodes = {reinterpret_cast<const Node*>(base + starts[1]), counts[1]};
  v.edges = {reinterpret_cast<const Edge*>(base + starts[2]), counts[2]};
  v.out_offsets = {reinterpret_cast<const uint32_t*>(base + starts[3]), counts[3]};
  v.in_edges = {reinterpret_cast<const Edge*>(base + starts[4]), counts[4]};
  v.in_offsets = {reinterpret_cast<const uint32_t*>(base + starts[5]), counts[5]};

  char magic[4];
  std::memcpy(magic, base + root, 4);
  const uint32_t version = get_u32(base + root + 4);
  // The common case, a sound file, is settled with one branch-free pass over
  // each record vector. Only a file that fails it is checked again step by
  // step, so that the first violation in check order is the one reported.
  if (records_sound(magic, version, v)) return v;

  for (const Node& n : v.nodes)
    if (static_cast<uint8_t>(n.kind) >= NODE_KIND_COUNT) return corrupt();
  for (const Edge& e : v.edges)
    if (static_cast<uint8_t>(e.rel) >= REL_TYPE_COUNT) return corrupt();
  for (const Edge& e : v.in_edges)
    if (static_cast<uint8_t>(e.rel) >= REL_TYPE_COUNT) return corrupt();
  if (Status s = validate_invariants(magic, version, v); !s.ok()) return s.error();
  return v;
}

namespace {

std::string byte_list(const unsigned char* b) {
  return "[" + std::to_string(b[0]) + ", " + std::to_string(b[1]) + ", " + std::to_string(b[2]) + ", " +
         std::to_string(b[3]) + "]";
}

Status check_offsets(const char* name, std::span<const uint32_t> offsets, size_t nodes, size_t count) {
  const std::string n(name);
  if (offsets.size() != nodes + 1)
    return Error(n + " length " + std::to_string(offsets.size()) + " != nodes+1 (" + std::to_string(nodes + 1) + ")");
  uint32_t prev = 0;
  for (size_t i = 0; i < offsets.size(); ++i) {
    if (offsets[i] < prev)
      return Error(n + " not monotonic at " + std::to_string(i) + ": " + std::to_string(offsets[i]) + " < " +
                   std::to_string(prev));
    prev = offsets[i];
  }
  if (offsets.back() != count)
    return Error(n + " last entry " + std::to_string(offsets.back()) + " != edge count " + std::to_string(count));
  return {};
}

}  // namespace

Status validate_invariants(const char magic[4], uint32_t version, const GraphView& g) {
  if (std::memcmp(magic, MAGIC, 4) != 0)
    return Error("graph.bin magic mismatch: got " + byte_list(reinterpret_cast<const unsigned char*>(magic)) +
                 ", expected " + byte_list(reinterpret_cast<const unsigned char*>(MAGIC)));
  if (version != VERSION)
    return Error("graph.bin version mismatch: got " + std::to_string(version) + ", expected " +
                 std::to_string(VERSION) + " (rebuild the graph)");
  const size_t n = g.nodes.size();
  if (Status s = check_offsets("out_offsets", g.out_offsets, n, g.edges.size()); !s.ok()) return s;
  if (Status s = check_offsets("in_offsets", g.in_offsets, n, g.in_edges.size()); !s.ok()) return s;
  for (const Edge& e : g.edges)
    if (e.node >= n)
      return Error("edge dst " + std::to_string(e.node) + " out of range (nodes " + std::to_string(n) + ")");
  for (const Edge& e : g.in_edges)
    if (e.node >= n)
      return Error("in_edge src " + std::to_string(e.node) + " out of range (nodes " + std::to_string(n) + ")");
  const uint64_t pool = g.string_pool.size();
  for (size_t i = 0; i < n; ++i) {
    const Node& node = g.nodes[i];
    const std::pair<const char*, Str> fields[] = {{"id", node.id}, {"name", node.name}, {"props", node.props}};
    for (const auto& [field, s] : fields) {
      const uint64_t end = uint64_t{s.off} + s.len;
      if (end > pool)
        return Error("node " + std::to_string(i) + " " + field + " Str overruns string_pool (" +
                     std::to_string(end) + " > " + std::to_string(pool) + ")");
    }
  }
  return {};
}

Result<LoadedGraph> LoadedGraph::open(const std::string& path) {
  Result<MappedFile> file = MappedFile::open_readonly(path);
  if (!file.ok()) return file.error();
  Result<GraphView> view = check(file->bytes());
  if (!view.ok()) return view.error();
  return LoadedGraph(std::move(file).value(), *view);
}

Result<Graph> load_owned(const std::string& path) {
  Result<LoadedGraph> loaded = LoadedGraph::open(path);
  if (!loaded.ok()) return loaded.error();
  const GraphView& v = loaded->view();
  // Magic and version were validated equal to the constants a new Graph
  // holds. Records are copied field by field so padding comes out zero.
  Graph g;
  g.string_pool.assign(v.string_pool);
  g.nodes.reserve(v.nodes.size());
  for (const Node& n : v.nodes) g.nodes.push_back(Node{n.kind, {0, 0, 0}, n.id, n.name, n.props});
  auto copy_edges = [](std::span<const Edge> from, std::vector<Edge>& to) {
    to.reserve(from.size());
    for (const Edge& e : from) to.push_back(Edge{e.rel, {0, 0, 0}, e.node});
  };
  copy_edges(v.edges, g.edges);
  copy_edges(v.in_edges, g.in_edges);
  g.out_offsets.assign(v.out_offsets.begin(), v.out_offsets.end());
  g.in_offsets.assign(v.in_offsets.begin(), v.in_offsets.end());
  return g;
}

}  // namespace vyr
