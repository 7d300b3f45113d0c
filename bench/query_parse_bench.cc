// Tokenize + parse of the benchmark queries and of a few heavier shapes (a
// long OR chain, a wide IN list, a regex). Prints the median time per parse
// over several runs, so the front end's share of one vyr.query call is known.
//
//   query_parse_bench [iterations=20000] [runs=5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "query/parser.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
  const char* name;
  std::string text;
};

std::vector<Case> cases() {
  std::string chain = "MATCH (p:Product) WHERE p.sku = 'sku-0'";
  for (int i = 1; i < 500; ++i) chain += " OR p.sku = 'sku-" + std::to_string(i) + "'";
  chain += " RETURN p.name";
  std::string in = "MATCH (p:Product) WHERE p.sku IN ['sku-0'";
  for (int i = 1; i < 2000; ++i) in += ", 'sku-" + std::to_string(i) + "'";
  in += "] RETURN p.name";
  return {
      {"Q1", "MATCH (p:Product) WHERE p.price_cents > 5000 RETURN p.name, p.price_cents ORDER BY "
             "p.price_cents DESC LIMIT 10"},
      {"Q2", "MATCH (p:Product)-[:Brand]->(b:Brand) RETURN b.name, count(*) AS n ORDER BY n DESC "
             "LIMIT 10"},
      {"Q3", "MATCH (p:Product) WHERE p.name CONTAINS 'kettle' RETURN p.name LIMIT 20"},
      {"Q4", "MATCH (p:Product)-[:Offers]->(o:Offer) WHERE p.rating >= 4.5 RETURN p.name, o.price"},
      {"Q5", "MATCH (p:Product) RETURN count(*)"},
      {"regex", "MATCH (p:Product) WHERE p.name =~ '(?i)^(electric|glass) .*kettle[s]?$' RETURN p"},
      {"or500", chain},
      {"in2000", in},
  };
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  for (const Case& c : cases()) {
    const int n = c.text.size() > 1000 ? std::max(1, iterations / 100) : iterations;
    std::vector<double> per_parse_us;
    for (int r = 0; r < runs; ++r) {
      const auto start = Clock::now();
      for (int i = 0; i < n; ++i) {
        auto q = vyr::query::parse(c.text);
        if (!q.ok()) {
          std::fprintf(stderr, "%s: %s\n", c.name, q.error().message().c_str());
          return 1;
        }
      }
      per_parse_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / n);
    }
    std::sort(per_parse_us.begin(), per_parse_us.end());
    std::printf("%-7s %6zu bytes  %9.2f us/parse (median of %d x %d)\n", c.name, c.text.size(),
                per_parse_us[per_parse_us.size() / 2], runs, n);
  }
  return 0;
}
