#include "core/store.h"

#include <cstring>
#include <functional>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "core/builder.h"

namespace vyr {
namespace {

namespace fs = std::filesystem;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vyr_store_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const char* name) const { return (dir_ / name).string(); }

  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void write(const std::string& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  fs::path dir_;
};

// Three nodes, a pool of 5+ bytes, edges both ways.
Graph three_nodes() {
  GraphBuilder b;
  uint32_t p = b.upsert_node(NodeKind::Product, "p", "Phone", R"({"url":"https://s/p"})");
  b.upsert_node(NodeKind::Offer, "p#offer", "", R"({"price":"9"})");
  b.upsert_node(NodeKind::Brand, "Acme", "Acme", "\"Acme\"");
  b.add_edge(p, RelType::Offers, "p#offer");
  b.add_edge(p, RelType::Brand, "Acme");
  return std::move(b).build().value();
}

uint32_t u32_at(const std::string& bytes, size_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}
void set_u32(std::string& bytes, size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }

TEST_F(StoreTest, EmptyGraphIs64Bytes) {
  const std::string p = path("graph.bin");
  Result<uint64_t> n = save(Graph{}, p);
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(*n, 64u);
  const std::string bytes = read(p);
  ASSERT_EQ(bytes.size(), 64u);
  EXPECT_EQ(u32_at(bytes, 0), 0u);
  EXPECT_EQ(u32_at(bytes, 4), 0u);
  EXPECT_EQ(bytes.substr(8, 4), "VYR1");
  EXPECT_EQ(static_cast<int32_t>(u32_at(bytes, 16)), -16);  // pool at 0, field at 16
  EXPECT_TRUE(LoadedGraph::open(p).ok());
  EXPECT_FALSE(fs::exists(path("graph.bin.tmp")));
}

TEST_F(StoreTest, LayoutPadsPoolAndRoundTripsByteForByte) {
  Graph g;
  g.string_pool = "abcde";
  g.nodes.push_back(Node{NodeKind::Variant, {}, Str{0, 2}, Str{2, 0}, Str{2, 3}});
  g.out_offsets = {0, 0};
  g.in_offsets = {0, 0};
  const std::string p = path("g.bin");
  ASSERT_TRUE(save(g, p).ok());
  const std::string bytes = read(p);
  EXPECT_EQ(bytes.size(), 8u + 28 + 8 + 8 + 56);
  EXPECT_EQ(bytes.substr(5, 3), std::string(3, '\0'));
  EXPECT_EQ(static_cast<uint8_t>(bytes[8]), 8);

  Graph full = three_nodes();
  ASSERT_TRUE(save(full, p).ok());
  const std::string first = read(p);
  Result<Graph> loaded = load_owned(p);
  ASSERT_TRUE(loaded.ok());
  ASSERT_TRUE(save(*loaded, p).ok());
  EXPECT_EQ(read(p), first);
  EXPECT_EQ(first.size(), (full.string_pool.size() + 3) / 4 * 4 + 28 * 3 + 16 * 2 + 8 * 4 + 56);
}

TEST_F(StoreTest, LayoutRefusesGraphsBeyondTheFormat) {
  ASSERT_TRUE(plan_layout({0, 0, 0, 1, 0, 1}).has_value());
  EXPECT_EQ(plan_layout({0, 0, 0, 1, 0, 1})->size, 64u);
  EXPECT_EQ(plan_layout({5, 1, 0, 2, 0, 2})->starts[1], 8u);
  // Relative positions are signed 32-bit: the whole file stays under 2 GiB.
  // With no nodes the root starts at pool + 8; its pool field is 8 further.
  const uint64_t two_gib = uint64_t{1} << 31;
  EXPECT_TRUE(plan_layout({two_gib - 16, 0, 0, 1, 0, 1}).has_value());
  EXPECT_FALSE(plan_layout({two_gib - 12, 0, 0, 1, 0, 1}).has_value());
  EXPECT_FALSE(plan_layout({0, uint64_t{1} << 32, 0, 1, 0, 1}).has_value());
  EXPECT_FALSE(plan_layout({0, 80'000'000, 0, 80'000'001, 0, 80'000'001}).has_value());
}

TEST_F(StoreTest, TempNameReplacesTheExtension) {
  EXPECT_EQ(temp_path_for("graph.bin"), "graph.bin.tmp");
  EXPECT_EQ(temp_path_for("/d/data.db"), "/d/data.bin.tmp");
  EXPECT_EQ(temp_path_for("/d/graph"), "/d/graph.bin.tmp");
  EXPECT_EQ(temp_path_for("/d.x/.hidden"), "/d.x/.hidden.bin.tmp");
  EXPECT_EQ(temp_path_for("a.b.c"), "a.b.bin.tmp");
}

TEST_F(StoreTest, FailedRenameLeavesTargetAlone) {
  fs::create_directories(path("target.bin"));  // a directory cannot be replaced by a file
  Result<uint64_t> n = save(three_nodes(), path("target.bin"));
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().message(), "atomic rename graph.bin");
  ASSERT_NE(n.error().cause(), nullptr);
  EXPECT_TRUE(fs::is_directory(path("target.bin")));

  Result<uint64_t> w = save(three_nodes(), path("missing/dir/g.bin"));
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().message(), "write tmp graph.bin");
}

TEST_F(StoreTest, OpenErrors) {
  Result<LoadedGraph> missing = LoadedGraph::open(path("nope.bin"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "open \"" + path("nope.bin") + "\"");
  EXPECT_EQ(missing.error().cause()->message(), "No such file or directory (os error 2)");
}

TEST_F(StoreTest, RejectsCorruptFiles) {
  const std::string p = path("g.bin");
  ASSERT_TRUE(save(three_nodes(), p).ok());
  const std::string good = read(p);
  const size_t root = good.size() - 56;
  const size_t nodes_at = root + 16 + static_cast<int32_t>(u32_at(good, root + 16));
  const size_t edges_at = root + 24 + static_cast<int32_t>(u32_at(good, root + 24));
  const size_t out_off_at = root + 32 + static_cast<int32_t>(u32_at(good, root + 32));

  const std::string corrupt = "archive access (corrupt graph.bin?)";
  struct Case {
    const char* what;
    std::function<std::string(std::string)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"empty", [](std::string) { return std::string(); }, corrupt},
      {"55 bytes", [](std::string b) { return b.substr(b.size() - 55); }, corrupt},
      {"length not a multiple of 4", [](std::string b) { return b + "x"; }, corrupt},
      {"truncated", [](std::string b) { return b.substr(8); }, corrupt},
      {"node kind 9", [&](std::string b) { b[nodes_at] = 9; return b; }, corrupt},
      {"edge rel 10", [&](std::string b) { b[edges_at] = 10; return b; }, corrupt},
      {"nodes count huge", [&](std::string b) { set_u32(b, root + 20, 0xFFFFFFFF); return b; }, corrupt},
      {"nodes misaligned", [&](std::string b) { set_u32(b, root + 16, u32_at(b, root + 16) + 1); return b; }, corrupt},
      {"pool before start", [&](std::string b) { set_u32(b, root + 8, u32_at(b, root + 8) - 4); return b; }, corrupt},
      {"zero magic", [&](std::string b) { set_u32(b, root, 0); return b; },
       "graph.bin magic mismatch: got [0, 0, 0, 0], expected [86, 89, 82, 49]"},
      {"version 5", [&](std::string b) { set_u32(b, root + 4, 5); return b; },
       "graph.bin version mismatch: got 5, expected 6 (rebuild the graph)"},
      {"edge dst", [&](std::string b) { set_u32(b, edges_at + 4, 7); return b; }, "edge dst 7 out of range (nodes 3)"},
      {"out_offsets not monotonic", [&](std::string b) { set_u32(b, out_off_at + 4, 3); return b; },
       "out_offsets not monotonic at 2: 2 < 3"},
      {"out_offsets last", [&](std::string b) { for (int i = 1; i <= 3; ++i) set_u32(b, out_off_at + 4 * i, 1); return b; },
       "out_offsets last entry 1 != edge count 2"},
      {"props overrun", [&](std::string b) { set_u32(b, nodes_at + 28 + 24, 999); return b; },
       "node 1 props Str overruns string_pool (" + std::to_string(u32_at(good, nodes_at + 28 + 20) + 999) + " > " +
           std::to_string(u32_at(good, root + 12)) + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write(p, c.damage(good));
    Result<LoadedGraph> g = LoadedGraph::open(p);
    ASSERT_FALSE(g.ok());
    EXPECT_EQ(g.error().message(), c.message);
    EXPECT_FALSE(load_owned(p).ok());
  }
}

TEST_F(StoreTest, OffsetMessagesForTwoNodes) {
  Graph g;
  g.nodes.resize(2);
  g.edges = {Edge{RelType::Brand, {}, 1}, Edge{RelType::Brand, {}, 0}, Edge{RelType::Brand, {}, 0}};
  g.out_offsets = {0, 2, 1, 3};
  g.in_offsets = {0, 0, 0};
  const std::string p = path("g.bin");
  ASSERT_TRUE(save(g, p).ok());
  EXPECT_EQ(LoadedGraph::open(p).error().message(), "out_offsets length 4 != nodes+1 (3)");
  g.out_offsets = {0, 2, 1};
  ASSERT_TRUE(save(g, p).ok());
  EXPECT_EQ(LoadedGraph::open(p).error().message(), "out_offsets not monotonic at 2: 1 < 2");
}

TEST_F(StoreTest, ViewReadsInPlace) {
  const std::string p = path("g.bin");
  ASSERT_TRUE(save(three_nodes(), p).ok());
  Result<LoadedGraph> g = LoadedGraph::open(p);
  ASSERT_TRUE(g.ok());
  const GraphView& v = g->view();
  ASSERT_EQ(v.node_count(), 3u);
  EXPECT_EQ(v.str(v.nodes[0].name), "Phone");
  ASSERT_EQ(v.out_edges_of(0).size(), 2u);
  EXPECT_EQ(v.out_edges_of(0)[1].rel, RelType::Brand);
  EXPECT_EQ(v.in_edges_of(2)[0].node, 0u);
}

}  // namespace
}  // namespace vyr
