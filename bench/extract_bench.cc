// One-thread timings of the page path over a directory of pages, as JSON
// lines for bench/extract_bench.py: the HTML parse alone, and extract_page
// with the fold into a builder (what build_graph does per page, minus the
// thread pool and the save). Medians of several passes.
//
//   extract_bench [runs=5] DIR...
#include <algorithm>
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
#include "extract/html.h"
#include "extract/pipeline.h"

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

double median_seconds(int runs, const std::function<void()>& pass) {
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    pass();
    t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
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
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.empty()) {
    std::fprintf(stderr, "usage: extract_bench [runs=5] DIR...\n");
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
    std::printf("{\"dir\":\"%s\",\"pages\":%zu,\"bytes\":%zu,\"parse_s\":%.6f,\"extract_s\":%.6f}\n", dir.c_str(),
                pages.size(), bytes, parse, extract);
    std::fflush(stdout);
  }
  return sink == 0 ? 0 : 0;
}
