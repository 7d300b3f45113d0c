// Price evidence and the storefront finder run on every page the pipeline
// keeps, so their cost per megabyte of page text matters. Pages come from a
// directory of *.html files (the shop corpus, or generated pages).
//
//   price_bench PAGE_DIR [--benchmark_... flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.h"
#include "extract/platform_json.h"
#include "extract/price.h"

namespace {

std::vector<std::string>& pages() {
  static std::vector<std::string> all;
  return all;
}

int64_t total_bytes() {
  int64_t n = 0;
  for (const std::string& p : pages()) n += static_cast<int64_t>(p.size());
  return n;
}

void load_pages(const std::filesystem::path& dir) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const auto ext = entry.path().extension();
    if (!entry.is_regular_file() || (ext != ".html" && ext != ".htm")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    pages().push_back(text.str());
  }
}

void BM_PriceScaleFromHtml(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& page : pages()) benchmark::DoNotOptimize(vyr::extract::PriceScale::from_html(page));
  }
  state.SetBytesProcessed(state.iterations() * total_bytes());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pages().size()));
}
BENCHMARK(BM_PriceScaleFromHtml)->Unit(benchmark::kMillisecond);

void BM_FindProductsArray(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& page : pages())
      benchmark::DoNotOptimize(vyr::extract::platform_json::find_products_array(page));
  }
  state.SetBytesProcessed(state.iterations() * total_bytes());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pages().size()));
}
BENCHMARK(BM_FindProductsArray)->Unit(benchmark::kMillisecond);

// One verdict per structured price: a few hash lookups and exact decimal
// steps on a scale that holds amounts.
void BM_Verdict(benchmark::State& state) {
  const auto scale = vyr::extract::PriceScale::from_html("<p>$1,299.00 was $1,499.00, now 1.299 &euro;</p>");
  const vyr::json::Value prices[] = {vyr::json::Value("USD 1,299.00"), vyr::json::Value(uint64_t(129900)),
                                     vyr::json::Value(12.99), vyr::json::Value("12.345")};
  for (auto _ : state) {
    for (const auto& p : prices) benchmark::DoNotOptimize(scale.verdict(&p));
  }
  state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_Verdict);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: price_bench PAGE_DIR [--benchmark_... flags]\n");
    return 2;
  }
  load_pages(argv[1]);
  std::fprintf(stderr, "%zu pages, %.1f MB\n", pages().size(), static_cast<double>(total_bytes()) / 1e6);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
