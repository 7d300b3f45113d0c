#include "extract/pipeline.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "core/error.h"
#include "core/mapped_file.h"
#include "core/utf8.h"
#include "extract/dom_attr.h"
#include "extract/html.h"
#include "extract/hypernova.h"
#include "extract/jsonld.h"
#include "extract/microdata.h"
#include "extract/next_data.h"
#include "extract/normalize.h"
#include "extract/platform_json.h"
#include "extract/text.h"

namespace vyr::extract {

namespace {

bool contains(std::string_view haystack, std::string_view needle) {
  return find_text(haystack, needle) != std::string_view::npos;
}


// The text between the quote at s[pos] (double or single) and the next same
// quote, or nothing.
std::optional<std::string_view> quoted_at(std::string_view s, size_t pos) {
  if (pos >= s.size() || (s[pos] != '"' && s[pos] != '\'')) return std::nullopt;
  size_t close = s.find(s[pos], pos + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return s.substr(pos + 1, close - pos - 1);
}

bool is_non_empty_string(const json::Value* v) { return v != nullptr && v->is_string() && !v->as_string().empty(); }

size_t count_products(const PageRecords& objects) {
  size_t n = 0;
  for (const json::Value& o : objects) n += has_type(o, "Product") ? 1 : 0;
  return n;
}

// Runs the source stages in their fixed order; the first that yields
// something decides the page. The document is parsed on first need and
// shared by the stages after it, as are its JSON-LD records: both are pure
// functions of the page text, so sharing gives the per-stage results.
PageExtract select_source(std::string_view html, std::optional<std::string>& canonical) {
  std::optional<html::Document> doc;
  auto document = [&]() -> const html::Document& {
    if (!doc) doc.emplace(html::Document::parse(html));
    return *doc;
  };
  std::optional<PageRecords> records;
  auto all_records = [&]() -> PageRecords& {
    if (!records) records = jsonld_from_dom(document());
    return *records;
  };

  if (contains(html, "application/ld+json")) {
    PageRecords& all = all_records();
    std::vector<size_t> kept;
    for (size_t i = 0; i < all.size(); ++i) {
      if (is_product_object(all[i])) kept.push_back(i);
    }
    if (!kept.empty()) {
      PageRecords products;
      products.reserve(kept.size());
      for (size_t i : kept) products.push_back(std::move(all[i]));
      canonical = page_canonical_url(html);
      return page::JsonLd{std::move(products)};
    }
  }

  if (contains(html, "data-hypernova-key")) {
    if (std::optional<hypernova::Payload> p = hypernova::find_hypernova(html); p && !p->products.empty()) {
      return page::Hypernova{std::move(p->products), std::move(p->page_url)};
    }
  }

  if (auto products = platform_json::find_products_array(html); products && !products->empty()) {
    return page::Platform{std::move(*products)};
  }

  if (std::vector<json::Value> ga = dom_attr::find_ga_products(html); !ga.empty()) {
    std::vector<json::Value> jsonld;
    for (json::Value& o : all_records()) {
      if (has_type(o, "Product")) jsonld.push_back(std::move(o));
    }
    if (!jsonld.empty()) canonical = page_canonical_url(html);
    return page::Analytics{std::move(ga), std::move(jsonld)};
  }

  if (std::optional<json::Value> next = next_data::find_next_data(html)) {
    std::vector<json::Value> products;
    next_data::walk(*next, products);
    if (!products.empty()) return page::NextData{std::move(products)};
  }

  if (std::vector<MicrodataProduct> products = microdata::extract_from_dom(document()); !products.empty()) {
    return page::Microdata{std::move(products)};
  }

  if (PageRecords& all = all_records(); !all.empty()) {
    canonical = page_canonical_url(html);
    return page::JsonLd{std::move(all)};
  }
  return page::Empty{};
}

// Folds one page through its source's ingesters. Sink: GraphBuilder, or
// RecordedWrites for a replay on the folding thread.
template <class Sink>
void fold_page(Sink& sink, const PageResult& page) {
  const PriceScale& scale = page.scale;
  std::optional<std::string_view> canonical;
  if (page.meta.canonical_url) canonical = *page.meta.canonical_url;
  std::optional<std::string_view> origin;
  if (page.meta.origin) origin = *page.meta.origin;
  if (const auto* p = std::get_if<page::Platform>(&page.extract)) {
    for (const json::Value& product : p->products) platform_json::ingest_product(sink, product, scale, origin);
  } else if (const auto* a = std::get_if<page::Analytics>(&page.extract)) {
    for (const json::Value& product : a->ga_products) dom_attr::ingest_ga_product(sink, product, scale);
    // The canonical URL can only stand for a product's own URL when the page
    // describes a single product.
    const std::optional<std::string_view> single = a->jsonld.size() == 1 ? canonical : std::nullopt;
    for (const json::Value& object : a->jsonld) ingest_object(sink, object, scale, single, std::nullopt);
  } else if (const auto* n = std::get_if<page::NextData>(&page.extract)) {
    for (const json::Value& product : n->products) next_data::ingest_next_product(sink, product, scale);
  } else if (const auto* m = std::get_if<page::Microdata>(&page.extract)) {
    microdata::ingest_microdata(sink, m->products, scale);
  } else if (const auto* j = std::get_if<page::JsonLd>(&page.extract)) {
    const std::optional<std::string_view> single = count_products(j->objects) == 1 ? canonical : std::nullopt;
    for (const json::Value& object : j->objects) ingest_object(sink, object, scale, single, std::nullopt);
  } else if (const auto* h = std::get_if<page::Hypernova>(&page.extract)) {
    hypernova::ingest_hypernova(sink, h->products, scale, h->page_url, origin);
  }
}

void report_skip(const std::string& path, const Error& error) {
  const Error& shown = error.cause() ? *error.cause() : error;
  std::fprintf(stderr, "vyr: skip %s: %s\n", quoted_path(path).c_str(), shown.message().c_str());
}

}  // namespace

uint32_t RecordedWrites::upsert_node(NodeKind kind, std::string_view id, std::string_view name, std::string_view props) {
  ops_.push_back(Op{kind, RelType::Offers, NEW_NODE, text_.size(), id.size(), name.size(), props.size()});
  text_.append(id).append(name).append(props);
  return upserts_++;
}

void RecordedWrites::add_edge(uint32_t src, RelType rel, std::string_view dst_id) {
  ops_.push_back(Op{NodeKind::Product, rel, src, text_.size(), dst_id.size(), 0, 0});
  text_.append(dst_id);
}

void RecordedWrites::replay(GraphBuilder& builder) const {
  std::vector<uint32_t> index;
  index.reserve(upserts_);
  const std::string_view text = text_;
  for (const Op& op : ops_) {
    const std::string_view a = text.substr(op.at, op.len_a);
    if (op.src == NEW_NODE) {
      const std::string_view name = text.substr(op.at + op.len_a, op.len_b);
      const std::string_view props = text.substr(op.at + op.len_a + op.len_b, op.len_c);
      index.push_back(builder.upsert_node(op.kind, a, name, props));
    } else {
      builder.add_edge(index[op.src], op.rel, a);
    }
  }
}

namespace {

template <class Find>
bool has_product_signal_in(Find find) {
  if (const json::Value* cents = find("price_cents"); cents != nullptr && !cents->is_null()) return true;
  for (std::string_view key : {"price", "image", "sku", "gtin", "gtin13", "mpn"}) {
    if (is_non_empty_string(find(key))) return true;
  }
  const json::Value* url = find("url");
  if (url == nullptr || !url->is_string()) return false;
  const std::string& u = url->as_string();
  return u.find("/products/") != std::string::npos || u.find("/product/") != std::string::npos;
}

}  // namespace

bool has_product_signal(const json::Object& object) {
  return has_product_signal_in([&](std::string_view key) { return object.find(key); });
}

bool has_product_signal(const json::Object& base, const json::Object& overrides) {
  return has_product_signal_in([&](std::string_view key) {
    const json::Value* v = overrides.find(key);
    return v != nullptr ? v : base.find(key);
  });
}

std::optional<std::string> page_canonical_url(std::string_view html) {
  std::string_view rest = html;
  for (;;) {
    size_t at = find_text(rest, R"(rel="canonical")");
    if (at == std::string_view::npos) at = find_text(rest, "rel='canonical'");
    if (at == std::string_view::npos) return std::nullopt;
    size_t open = rest.rfind('<', at);
    size_t begin = open == std::string_view::npos ? 0 : open;
    size_t close = rest.find('>', at);
    std::string_view tag = rest.substr(begin, close == std::string_view::npos ? std::string_view::npos : close - begin);
    if (size_t href = tag.find("href="); href != std::string_view::npos) {
      if (std::optional<std::string_view> value = quoted_at(tag, href + 5)) {
        std::string_view url = trim_unicode_space(*value);
        if (url.size() > 3 && url.starts_with("http")) return std::string(url);
      }
    }
    if (close == std::string_view::npos) return std::nullopt;
    rest = rest.substr(close);
  }
}

std::optional<std::string> page_origin(std::string_view html) {
  size_t og = find_text(html, "og:url");
  if (og == std::string_view::npos) return std::nullopt;
  size_t content = find_text(html, "content=", og);
  if (content == std::string_view::npos) return std::nullopt;
  std::optional<std::string_view> value = quoted_at(html, content + 8);
  if (!value) return std::nullopt;
  return url_origin(trim_unicode_space(*value));
}

PageResult extract_page(std::string_view html) {
  PageResult result;
  result.meta.origin = page_origin(html);
  result.extract = select_source(html, result.meta.canonical_url);
  if (!std::holds_alternative<page::Empty>(result.extract)) result.scale = PriceScale::from_html(html);
  // Ingestion depends only on this page, so it runs here, on the extraction
  // thread, and the fold replays it.
  RecordedWrites writes;
  fold_page(writes, result);
  result.writes = std::move(writes);
  return result;
}

void ingest_into(GraphBuilder& builder, const PageResult& page) {
  if (page.writes) {
    page.writes->replay(builder);
    return;
  }
  fold_page(builder, page);
}

void ingest_pages_into(GraphBuilder& builder, const std::vector<std::string>& pages) {
  const size_t n = pages.size();
  // Only each page's recorded fold is kept: the extracted values it was made
  // from are freed on the worker that made them, not on the folding thread.
  std::vector<RecordedWrites> results(n);
  std::vector<std::atomic<bool>> ready(n);
  // Pages are taken in page order, so that the fold below can follow close
  // behind the extraction; only pages over twice the average size go first
  // (largest first), since one of them picked up last would leave the other
  // workers idle at the end.
  size_t total = 0;
  for (const std::string& p : pages) total += p.size();
  const size_t big = n == 0 ? 0 : 2 * (total / n) + 1;
  std::vector<size_t> order;
  order.reserve(n);
  for (size_t i = 0; i < n; ++i)
    if (pages[i].size() >= big) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return pages[a].size() > pages[b].size(); });
  for (size_t i = 0; i < n; ++i)
    if (pages[i].size() < big) order.push_back(i);

  // The builder is touched only on the calling thread. It folds, in page
  // order, every page whose extraction has finished, each time it has
  // finished one of its own, and the rest once all are done; so the fold
  // mostly overlaps the other workers' extraction instead of following it.
  const std::thread::id caller = std::this_thread::get_id();
  size_t folded = 0;
  auto fold_ready = [&] {
    for (; folded < n && ready[folded].load(std::memory_order_acquire); ++folded) {
      results[folded].replay(builder);
      results[folded] = RecordedWrites{};  // drop each page's data once it is folded
    }
  };
  std::atomic<size_t> next{0};
  std::atomic<size_t> writes{0};
  const size_t workers = std::max<size_t>(1, std::min<size_t>(n, tbb::this_task_arena::max_concurrency()));
  // Each page is written at its own index, so folding follows page order
  // whatever the order in which workers finished. An exception in a worker
  // (a Fault) ends the others' loops and is rethrown here.
  tbb::parallel_for(
      tbb::blocked_range<size_t>(0, workers, 1),
      [&](const tbb::blocked_range<size_t>&) {
        const bool folds = std::this_thread::get_id() == caller;
        for (size_t k = next.fetch_add(1); k < n && !tbb::is_current_task_group_canceling(); k = next.fetch_add(1)) {
          const size_t i = order[k];
          PageResult page = extract_page(pages[i]);
          if (page.writes) results[i] = std::move(*page.writes);
          ready[i].store(true, std::memory_order_release);
          writes.fetch_add(1, std::memory_order_relaxed);
          if (folds) fold_ready();
        }
      },
      tbb::simple_partitioner());
  if (const size_t done = writes.load(); done != n) {
    const std::string message = "expected " + std::to_string(n) + " total writes, but got " + std::to_string(done);
    raise_fault(message.c_str());
  }
  fold_ready();
}

GraphBuilder build_from_files(const std::vector<std::string>& paths) {
  GraphBuilder builder;
  for (const std::string& path : paths) {
    Result<MappedFile> file = MappedFile::open_readonly(path);
    if (!file.ok()) {
      report_skip(path, file.error());
      continue;
    }
    const std::string_view bytes = file->bytes();
    std::string repaired;
    std::string_view text = bytes;
    if (!is_valid_utf8(bytes)) {
      repaired = to_valid_utf8(bytes);
      text = repaired;
    }
    PageResult page;
    try {
      page = extract_page(text);
    } catch (...) {
      // One page that trips an internal check must not cost the others. The
      // page's ingesters ran inside extract_page, into its recording, so a
      // check tripped there leaves nothing of the page in the builder.
      std::fprintf(stderr, "vyr: extract panicked on %s; skipping\n", quoted_path(path).c_str());
      page = PageResult{};
    }
    ingest_into(builder, page);
  }
  return builder;
}

}  // namespace vyr::extract
