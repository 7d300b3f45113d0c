// Build, save, open+validate and load_owned of a synthetic graph of about 1M
// nodes and 3M edges. Prints the median of several runs per step, per million
// nodes, and the peak resident memory after the build.
//
//   graph_store_bench [products=200000] [runs=5] [dir=/tmp]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/builder.h"
#include "core/store.h"

namespace {

using Clock = std::chrono::steady_clock;

vyr::GraphBuilder make_builder(int products) {
  vyr::GraphBuilder b;
  char id[64], buf[512];
  for (int p = 0; p < products; ++p) {
    std::snprintf(id, sizeof id, "sku-%d", p);
    std::snprintf(buf, sizeof buf,
                  R"({"currency":"USD","description":"A sturdy thing number %d for every day use","image":"https://cdn.example.com/img/%d.jpg","price":"%d.99","price_cents":%d99,"price_confident":true,"price_scale":"major","price_score":0.9,"sku":"sku-%d","url":"https://shop.example.com/products/%d"})",
                  p, p, p % 500, p % 500, p, p);
    std::string name = "Product " + std::to_string(p);
    uint32_t pi = b.upsert_node(vyr::NodeKind::Product, id, name, buf);
    for (int o = 0; o < 3; ++o) {
      std::string oid = std::string(id) + "#offer" + std::to_string(o);
      std::snprintf(buf, sizeof buf, R"({"availability":"InStock","price":"%d.99","priceCurrency":"USD"})", p % 500);
      uint32_t oi = b.upsert_node(vyr::NodeKind::Offer, oid, "", buf);
      b.add_edge(pi, vyr::RelType::Offers, oid);
      b.add_edge(oi, vyr::RelType::Brand, "Seller " + std::to_string(p % 300));
    }
    std::string rid = std::string(id) + "#review0";
    uint32_t ri = b.upsert_node(vyr::NodeKind::Review, rid, "", R"({"reviewBody":"Fine.","reviewRating":4})");
    b.add_edge(pi, vyr::RelType::Review, rid);
    b.add_edge(ri, vyr::RelType::Author, "Person " + std::to_string(p % 5000));
    b.add_edge(pi, vyr::RelType::Brand, "Brand " + std::to_string(p % 1000));
    b.add_edge(pi, vyr::RelType::Manufacturer, "Brand " + std::to_string((p + 7) % 1000));
    for (int c = 0; c < 5; ++c) b.add_edge(pi, vyr::RelType::Category, "Brand " + std::to_string((p * 31 + c) % 1000));
  }
  for (int i = 0; i < 1000; ++i) {
    std::string n = "Brand " + std::to_string(i);
    b.upsert_node(vyr::NodeKind::Brand, n, n, "\"" + n + "\"");
  }
  for (int i = 0; i < 300; ++i) {
    std::string n = "Seller " + std::to_string(i);
    b.upsert_node(vyr::NodeKind::Organization, n, n, "\"" + n + "\"");
  }
  for (int i = 0; i < 5000; ++i) {
    std::string n = "Person " + std::to_string(i);
    b.upsert_node(vyr::NodeKind::Person, n, n, "\"" + n + "\"");
  }
  return b;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double seconds(const std::function<void()>& f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

long peak_rss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  const int products = argc > 1 ? std::atoi(argv[1]) : 200000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string path = std::string(argc > 3 ? argv[3] : "/tmp") + "/vyr_bench_graph.bin";

  std::vector<double> feed, build, save, open, load;
  vyr::Graph graph;
  long rss_after_build = 0;
  for (int r = 0; r < runs; ++r) {
    vyr::GraphBuilder b;
    feed.push_back(seconds([&] { b = make_builder(products); }));
    build.push_back(seconds([&] { graph = std::move(b).build().value(); }));
    if (r == 0) rss_after_build = peak_rss_mb();
    save.push_back(seconds([&] {
      if (!vyr::save(graph, path).ok()) std::abort();
    }));
    open.push_back(seconds([&] {
      auto g = vyr::LoadedGraph::open(path);
      if (!g.ok()) std::abort();
    }));
    load.push_back(seconds([&] {
      auto g = vyr::load_owned(path);
      if (!g.ok()) std::abort();
    }));
  }
  const double mn = graph.nodes.size() / 1e6;
  std::printf("nodes %zu, edges %zu, pool %.1f MB, file %.1f MB, runs %d\n", graph.nodes.size(), graph.edges.size(),
              graph.string_pool.size() / 1e6, vyr::encode(graph).value().size() / 1e6, runs);
  std::printf("per million nodes (median): feed %.0f ms, build %.0f ms, save %.0f ms, open+validate %.1f ms, "
              "load_owned %.0f ms\n",
              median(feed) * 1e3 / mn, median(build) * 1e3 / mn, median(save) * 1e3 / mn, median(open) * 1e3 / mn,
              median(load) * 1e3 / mn);
  std::printf("peak RSS after the first feed+build: %ld MB\n", rss_after_build);
  std::remove(path.c_str());
  return 0;
}
