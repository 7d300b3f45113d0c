// Extraction throughput per page source, on one thread (so the figures are
// per core). For each directory of pages: the HTML parse alone, the whole
// page path (extract_page, then the fold into a builder), and the source's
// own reader: microdata on a parsed document, the Next.js payload, the
// ga-product attributes. Prints the median of several runs, and which source
// each page was read from with the Product nodes it gave (untimed).
//
//   sources_bench [runs=5] DIR...
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/builder.h"
#include "core/utf8.h"
#include "extract/dom_attr.h"
#include "extract/html.h"
#include "extract/microdata.h"
#include "extract/next_data.h"
#include "extract/pipeline.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace vyr;
using namespace vyr::extract;

constexpr std::array<const char*, 7> OUTCOME_NAMES = {"Platform", "Analytics", "NextData", "Microdata",
                                                      "JsonLd",   "Hypernova", "Empty"};

std::vector<std::string> load_pages(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (e.is_regular_file() && (ext == ".html" || ext == ".htm")) names.push_back(e.path().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> pages;
  for (const std::string& n : names) {
    std::ifstream in(n, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    pages.push_back(to_valid_utf8(ss.str()));
  }
  return pages;
}

// Median seconds of `runs` passes of `pass` over all pages.
double median_seconds(int runs, const std::function<void()>& pass) {
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) {
    auto start = Clock::now();
    pass();
    t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

size_t sink = 0;  // keeps results observable so no pass is optimised away

void report(const char* what, double secs, size_t pages, size_t bytes) {
  std::printf("  %-28s %9.0f pages/s %8.1f MB/s\n", what, static_cast<double>(pages) / secs,
              static_cast<double>(bytes) / 1e6 / secs);
}

void bench_dir(const std::string& dir, int runs) {
  const std::vector<std::string> pages = load_pages(dir);
  size_t bytes = 0;
  for (const std::string& p : pages) bytes += p.size();
  std::printf("%s: %zu pages, %.1f MB\n", dir.c_str(), pages.size(), static_cast<double>(bytes) / 1e6);
  if (pages.empty()) return;

  // Which source each page was read from, and the Product nodes it gave.
  std::array<size_t, OUTCOME_NAMES.size()> page_count{}, product_count{};
  for (const std::string& p : pages) {
    PageResult r = extract_page(p);
    GraphBuilder b;
    ingest_into(b, r);
    size_t products = 0;
    for (uint32_t i = 0; i < b.node_count(); ++i) products += b.node(i).kind == NodeKind::Product;
    page_count[r.extract.index()] += 1;
    product_count[r.extract.index()] += products;
  }
  for (size_t k = 0; k < OUTCOME_NAMES.size(); ++k) {
    if (page_count[k] != 0) std::printf("  source %-10s %6zu pages %7zu products\n", OUTCOME_NAMES[k], page_count[k], product_count[k]);
  }

  report("html parse", median_seconds(runs, [&] {
           for (const std::string& p : pages) sink += html::Document::parse(p).root() ? 1 : 0;
         }),
         pages.size(), bytes);
  report("extract_page + fold", median_seconds(runs, [&] {
           GraphBuilder b;
           for (const std::string& p : pages) ingest_into(b, extract_page(p));
           sink += b.node_count();
         }),
         pages.size(), bytes);
  report("microdata (parse+read+fold)", median_seconds(runs, [&] {
           GraphBuilder b;
           for (const std::string& p : pages) {
             const html::Document doc = html::Document::parse(p);
             microdata::ingest_microdata(b, microdata::extract_from_dom(doc), PriceScale::empty());
           }
           sink += b.node_count();
         }),
         pages.size(), bytes);
  report("next_data (find+walk+fold)", median_seconds(runs, [&] {
           GraphBuilder b;
           for (const std::string& p : pages) {
             std::optional<json::Value> payload = next_data::find_next_data(p);
             if (!payload) continue;
             std::vector<json::Value> products;
             next_data::walk(*payload, products);
             for (const json::Value& v : products) next_data::ingest_next_product(b, v, PriceScale::empty());
           }
           sink += b.node_count();
         }),
         pages.size(), bytes);
  report("ga-product (find+fold)", median_seconds(runs, [&] {
           GraphBuilder b;
           for (const std::string& p : pages) {
             for (const json::Value& v : dom_attr::find_ga_products(p)) dom_attr::ingest_ga_product(b, v, PriceScale::empty());
           }
           sink += b.node_count();
         }),
         pages.size(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("runs=", 0) == 0) {
      runs = std::max(1, std::atoi(a.c_str() + 5));
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.empty()) {
    std::fprintf(stderr, "usage: sources_bench [runs=5] DIR...\n");
    return 2;
  }
  for (const std::string& d : dirs) bench_dir(d, runs);
  return sink == 0 ? 0 : 0;
}
