// The executor's hot paths on an in-memory product graph shaped like the
// benchmark graphs (products with ~800-byte schema.org property objects, 1-4
// offers each, brands): reading one member of every product's properties,
// next to simdjson On-Demand finding the same member (the reference point
// for ratios, since the machines are shared and absolute times drift), and
// the five benchmark queries executed without file I/O.
//
//   query_exec_bench [--products=N] [google benchmark flags]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include "core/builder.h"
#include "core/graph.h"
#include "query/executor.h"
#include "query/parser.h"
#include "query/props.h"

namespace {

using vyr::NodeKind;
using vyr::RelType;

size_t PRODUCTS = 50000;

std::string product_props(std::mt19937& rng, int i, const std::string& name, const std::string& brand) {
  const int cents = 500 + static_cast<int>(rng() % 250000);
  const double rating = 1.0 + static_cast<double>(rng() % 41) / 10.0;
  const std::string url = "https://shop" + std::to_string(i % 997) + ".example.com/products/item-" + std::to_string(i);
  char price[32];
  std::snprintf(price, sizeof price, "%.2f", cents / 100.0);
  return std::string(R"({"@context":"https://schema.org","@type":"Product","aggregateRating":{"@type":"AggregateRating","ratingValue":)") +
         std::to_string(rating) + R"(},"availability":"InStock","brand":{"@type":"Brand","name":")" + brand +
         R"("},"currency":"USD","name":")" + name +
         R"(","offers":[{"@type":"Offer","availability":"https://schema.org/InStock","price":)" + price +
         R"(,"priceCurrency":"USD","seller":{"@type":"Organization","name":")" + brand + R"("},"url":")" + url +
         R"("}],"price":")" + price + R"(","price_cents":)" + std::to_string(cents) +
         R"(,"price_confident":true,"price_scale":2,"price_score":3,"rating":)" + std::to_string(rating) +
         R"(,"rating_value":)" + std::to_string(rating) + R"(,"seller_name":")" + brand + R"(","sku":"p)" +
         std::to_string(i) + R"(","url":")" + url + R"("})";
}

const vyr::Graph& shop() {
  static const vyr::Graph graph = [] {
    std::mt19937 rng(7);
    const char* nouns[] = {"electric kettle", "desk chair", "table lamp", "headphones", "tea kettle", "bookshelf"};
    vyr::GraphBuilder b;
    const size_t brands = PRODUCTS / 50 + 100;
    for (size_t i = 0; i < PRODUCTS; ++i) {
      const std::string brand = "Brand" + std::to_string(rng() % brands);
      const std::string name = brand + " Max " + nouns[rng() % 6];
      const std::string id = "p" + std::to_string(i);
      const uint32_t p = b.upsert_node(NodeKind::Product, id, name, product_props(rng, static_cast<int>(i), name, brand));
      b.upsert_node(NodeKind::Brand, brand, brand, "{\"@type\":\"Brand\",\"name\":\"" + brand + "\"}");
      b.add_edge(p, RelType::Brand, brand);
      const int offers = 1 + static_cast<int>(rng() % 100 < 70 ? 0 : rng() % 3);
      for (int k = 0; k < offers; ++k) {
        const std::string oid = id + "#offer" + std::to_string(k);
        b.upsert_node(NodeKind::Offer, oid, "", R"({"@type":"Offer","availability":"https://schema.org/InStock","price":)" +
                                                    std::to_string(10 + rng() % 900) + R"(.5,"priceCurrency":"USD"})");
        b.add_edge(p, RelType::Offers, oid);
      }
    }
    return std::move(b).build().value();
  }();
  return graph;
}

std::vector<uint32_t> products() {
  std::vector<uint32_t> out;
  const vyr::GraphView g = shop().view();
  for (uint32_t i = 0; i < g.node_count(); ++i)
    if (g.nodes[i].kind == NodeKind::Product) out.push_back(i);
  return out;
}

void BM_ReadOneMember(benchmark::State& state) {
  const vyr::GraphView g = shop().view();
  const std::vector<uint32_t> ids = products();
  const std::string_view key = "price_cents";
  for (auto _ : state) {
    vyr::query::reset_props_cache(g.node_count(), std::span(&key, 1));
    int64_t sum = 0;
    for (uint32_t i : ids) sum += vyr::query::read_prop_view(g, i, key).i;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ids.size()));
}
BENCHMARK(BM_ReadOneMember)->Unit(benchmark::kMillisecond);

// Finds the member without checking the rest of the text, so it does less
// than the engine must; it is here as the yardstick.
void BM_OnDemandBaseline(benchmark::State& state) {
  const vyr::GraphView g = shop().view();
  const std::vector<uint32_t> ids = products();
  simdjson::ondemand::parser parser;
  std::string buf;
  for (auto _ : state) {
    int64_t sum = 0;
    for (uint32_t i : ids) {
      const std::string_view text = g.str(g.nodes[i].props);
      buf.assign(text);
      buf.append(simdjson::SIMDJSON_PADDING, ' ');
      auto doc = parser.iterate(buf.data(), text.size(), buf.size());
      int64_t v = 0;
      if (doc["price_cents"].get_int64().get(v) == simdjson::SUCCESS) sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ids.size()));
}
BENCHMARK(BM_OnDemandBaseline)->Unit(benchmark::kMillisecond);

void BM_Execute(benchmark::State& state, const char* text) {
  const vyr::GraphView g = shop().view();
  vyr::Result<vyr::query::Query> q = vyr::query::parse(text);
  if (!q.ok()) {
    state.SkipWithError(q.error().message().c_str());
    return;
  }
  for (auto _ : state) {
    vyr::Result<vyr::query::QueryResult> r = vyr::query::execute(g, *q);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK_CAPTURE(BM_Execute, Q1,
                  "MATCH (p:Product) WHERE p.price_cents > 5000 RETURN p.name, p.price_cents "
                  "ORDER BY p.price_cents DESC LIMIT 10")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Execute, Q2,
                  "MATCH (p:Product)-[:Brand]->(b:Brand) RETURN b.name, count(*) AS n ORDER BY n DESC LIMIT 10")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Execute, Q3count, "MATCH (p:Product) WHERE p.name CONTAINS 'kettle' RETURN count(*)")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Execute, Q4,
                  "MATCH (p:Product)-[:Offers]->(o:Offer) WHERE p.rating >= 4.5 RETURN p.name, o.price")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Execute, Q5, "MATCH (p:Product) RETURN count(*)")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Execute, FuzzyRanked,
                  "MATCH (p:Product) WHERE p.name CONTAINS 'kettle' OR p.name FUZZY 'electric kettle' "
                  "RETURN p.name LIMIT 20")
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--products=", 11) == 0) {
      PRODUCTS = std::strtoul(argv[i] + 11, nullptr, 10);
      for (int k = i; k + 1 < argc; ++k) argv[k] = argv[k + 1];
      --argc;
      --i;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
