// Timings of the page path over a directory of pages, as JSON lines for
// bench/extract_bench.py: the HTML parse alone, and extract_page with the
// fold into a builder (what build_graph does per page, minus the thread pool
// and the save), on one thread; then where that time goes (the per-page work
// that runs on the workers, the serial fold, build and save, and the raw-text
// scans inside extract_page), and the whole batch on one and on two threads.
// Medians of several passes.
//
//   extract_bench [runs=5] [clock=cpu] [stat=min] DIR...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "core/builder.h"
#include "core/store.h"
#include "core/utf8.h"
#include "extract/dom_attr.h"
#include "extract/html.h"
#include "extract/next_data.h"
#include "extract/pipeline.h"
#include "extract/platform_json.h"
#include "extract/price.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The files the directory build would select, decoded as it decodes them.
std::vector<std::string> load_pages(const std::string& dir) {
  std::vector<std::string> pages;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".html" && ext != ".htm") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    pages.push_back(vyr::to_valid_utf8(ss.str()));
  }
  return pages;
}

// With clock=cpu the one-thread passes are timed by the process's CPU time,
// which other tenants of a shared machine disturb less than wall time.
bool cpu_clock = false;
// With stat=min the fastest pass is reported instead of the median: the one
// least disturbed by other work on the machine.
bool fastest = false;

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median_seconds(int runs, const std::function<void()>& pass, bool wall = false) {
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) {
    if (cpu_clock && !wall) {
      const double start = cpu_seconds();
      pass();
      t.push_back(cpu_seconds() - start);
      continue;
    }
    const auto start = Clock::now();
    pass();
    t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return fastest ? t.front() : t[t.size() / 2];
}

size_t sink = 0;  // keeps every pass observable

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("runs=", 0) == 0) {
      runs = std::max(1, std::atoi(a.c_str() + 5));
    } else if (a == "clock=cpu") {
      cpu_clock = true;
    } else if (a == "stat=min") {
      fastest = true;
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.empty()) {
    std::fprintf(stderr, "usage: extract_bench [runs=5] [clock=cpu] [stat=min] DIR...\n");
    return 2;
  }
  for (const std::string& dir : dirs) {
    const std::vector<std::string> pages = load_pages(dir);
    size_t bytes = 0;
    for (const std::string& p : pages) bytes += p.size();
    const double parse = median_seconds(runs, [&] {
      for (const std::string& p : pages) sink += vyr::extract::html::Document::parse(p).root() ? 1 : 0;
    });
    const double extract = median_seconds(runs, [&] {
      vyr::GraphBuilder builder;
      for (const std::string& p : pages) vyr::extract::ingest_into(builder, vyr::extract::extract_page(p));
      sink += builder.node_count();
    });
    // The batch path split into its phases, on one thread.
    std::vector<vyr::extract::PageResult> results;
    const double pages_s = median_seconds(runs, [&] {
      results.clear();
      results.reserve(pages.size());
      for (const std::string& p : pages) results.push_back(vyr::extract::extract_page(p));
    });
    std::optional<vyr::GraphBuilder> folded;
    const double fold_s = median_seconds(runs, [&] {
      folded.emplace();
      for (const auto& r : results) vyr::extract::ingest_into(*folded, r);
    });
    results.clear();
    std::optional<vyr::Graph> graph;
    const double build_s = median_seconds(1, [&] {
      auto g = std::move(*folded).build();
      if (g.ok()) graph = std::move(*g);
    });
    const std::string out = (fs::temp_directory_path() / "extract_bench.bin").string();
    const double save_s = median_seconds(runs, [&] { sink += graph ? vyr::save(*graph, out).ok() : 0; });
    fs::remove(out);
    const double scale_s = median_seconds(runs, [&] {
      for (const std::string& p : pages) sink += vyr::extract::PriceScale::from_html(p).amount_count();
    });
    const double scans_s = median_seconds(runs, [&] {
      for (const std::string& p : pages) {
        sink += vyr::extract::page_origin(p).has_value();
        sink += vyr::extract::platform_json::find_products_array(p).has_value();
        sink += vyr::extract::dom_attr::find_ga_products(p).size();
        sink += vyr::extract::next_data::find_next_data(p).has_value();
      }
    });
    auto batch = [&](int threads) {
      tbb::task_arena arena(threads);
      return median_seconds(
          runs,
          [&] {
            arena.execute([&] {
              vyr::GraphBuilder builder;
              vyr::extract::ingest_pages_into(builder, pages);
              sink += std::move(builder).build().ok();
            });
          },
          true);
    };
    const double batch1_s = batch(1);
    const double batch2_s = batch(2);
    std::printf(
        "{\"dir\":\"%s\",\"pages\":%zu,\"bytes\":%zu,\"parse_s\":%.6f,\"extract_s\":%.6f,\"pages_s\":%.6f,"
        "\"fold_s\":%.6f,\"build_s\":%.6f,\"save_s\":%.6f,\"scale_s\":%.6f,\"scans_s\":%.6f,\"batch1_s\":%.6f,"
        "\"batch2_s\":%.6f}\n",
        dir.c_str(), pages.size(), bytes, parse, extract, pages_s, fold_s, build_s, save_s, scale_s, scans_s, batch1_s,
        batch2_s);
    std::fflush(stdout);
  }
  return sink == 0 ? 0 : 0;
}
