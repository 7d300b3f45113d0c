// Pages in, builder calls out. Each page is classified by the one structured
// source it is read from (tried in a fixed order), extracted into a result
// that owns all its data, and folded into a GraphBuilder; batches extract in
// parallel and fold in page order, directory builds go one file at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/builder.h"
#include "core/json.h"
#include "extract/price.h"

namespace vyr::extract {

// One product read from schema.org microdata and the page's meta tags; texts
// as found on the page.
struct MicrodataProduct {
  std::string name;
  std::optional<std::string> price;
  std::optional<std::string> currency;
  std::optional<std::string> image;
  std::optional<std::string> url;
  std::optional<std::string> description;
  std::optional<std::string> product_id;
};

// The JSON-LD objects of one page, flattened, in document order.
using PageRecords = std::vector<json::Value>;

// The builder calls of a page's ingestion, recorded on an extraction thread
// and replayed on the folding thread in the same order: ingesters only write
// to the builder and never read it, so the replay gives exactly the direct
// calls' result, and the serial fold is left with the upserts alone.
class RecordedWrites {
 public:
  // Returns the upsert's position in the recording; edges name their source
  // by that position.
  uint32_t upsert_node(NodeKind kind, std::string_view id, std::string_view name, std::string_view props);
  void add_edge(uint32_t src, RelType rel, std::string_view dst_id);
  void replay(GraphBuilder& builder) const;
  bool empty() const { return ops_.empty(); }

 private:
  static constexpr uint32_t NEW_NODE = UINT32_MAX;
  struct Op {
    NodeKind kind;
    RelType rel;
    uint32_t src;  // NEW_NODE for an upsert
    size_t at;     // into text_: id (or destination), name, props
    size_t len_a, len_b, len_c;
  };
  std::vector<Op> ops_;
  std::string text_;
  uint32_t upserts_ = 0;
};

// What one page yielded: exactly one source per page. The alternatives are
// declared in the order of the source-selection stages' outcomes.
namespace page {
struct Platform {
  std::vector<json::Value> products;
};
struct Analytics {
  std::vector<json::Value> ga_products;
  std::vector<json::Value> jsonld;  // the page's JSON-LD Product objects, folded after
};
struct NextData {
  std::vector<json::Value> products;
};
struct Microdata {
  std::vector<MicrodataProduct> products;
};
struct JsonLd {
  PageRecords objects;
};
struct Hypernova {
  std::vector<json::Value> products;
  std::string page_url;
};
struct Empty {};
}  // namespace page

using PageExtract =
    std::variant<page::Platform, page::Analytics, page::NextData, page::Microdata, page::JsonLd, page::Hypernova, page::Empty>;

struct PageMeta {
  // Scheme and host of the page's og:url, the base for relative URLs.
  std::optional<std::string> origin;
  // The page's absolute canonical link; only kept for JSON-LD outcomes.
  std::optional<std::string> canonical_url;
};

// One page's result. Owns everything: it borrows nothing from the page text
// or the parsed document, so it outlives both.
struct PageResult {
  PageExtract extract = page::Empty{};
  PriceScale scale = PriceScale::empty();
  PageMeta meta;
  // The fold of this page, recorded by extract_page on its thread;
  // ingest_into replays it instead of running the ingesters again.
  std::optional<RecordedWrites> writes = std::nullopt;
};

// Whether a candidate record carries enough product evidence to become a
// node: a price_cents, a non-empty string price, image, sku, gtin, gtin13 or
// mpn, or a url containing "/products/" or "/product/".
bool has_product_signal(const json::Object& object);
// The same test of `base` with `overrides` written over it (merged_json_text).
bool has_product_signal(const json::Object& base, const json::Object& overrides);

// The first absolute (http...) href among the page's rel="canonical" tags,
// double-quoted forms first, then single-quoted ones.
std::optional<std::string> page_canonical_url(std::string_view html);

// The origin of the page's og:url meta value (raw text scan, no parse).
std::optional<std::string> page_origin(std::string_view html);

// Classifies and extracts one page. A pure function of the text: safe on any
// number of threads at once. The page is parsed into a document at most once.
PageResult extract_page(std::string_view html);

// Folds one page's result into `builder` through its source's ingester.
void ingest_into(GraphBuilder& builder, const PageResult& page);

// Extracts every page in parallel and folds the results into `builder` on
// the calling thread in page order, so results never depend on thread timing.
// The fold keeps pace with the extraction (the calling thread folds every
// finished page between pages of its own) and ends after it. A Fault raised
// while extracting any page propagates to the caller.
void ingest_pages_into(GraphBuilder& builder, const std::vector<std::string>& pages);

// Reads, extracts and folds one file at a time on the calling thread. A file
// that cannot be read, or whose extraction faults, is skipped with one
// "vyr: ..." line on standard error.
GraphBuilder build_from_files(const std::vector<std::string>& paths);

}  // namespace vyr::extract
