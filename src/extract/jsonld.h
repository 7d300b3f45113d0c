// schema.org JSON-LD: the page's blocks read from the parsed document and
// flattened into objects, and each Product (or ProductGroup variant) written
// into the builder as a Product node with its Offer, Brand, Organization,
// AggregateRating, Review and Person neighbours.
//
// Node ids: the product id (productId, @id, sku, url or name), then
// "{id}#offer{i}" / "{id}#offer", "{id}#rating", "{id}#review{i}"; brands,
// manufacturers and authors are identified by their name. A product's
// out-edges are added as Brand, Manufacturer, Offers, AggregateRating, Review.
//
// Reading the document runs on extraction threads; ingestion runs on the
// thread that owns the builder.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/builder.h"
#include "core/graph.h"
#include "core/json.h"
#include "extract/html.h"
#include "extract/pipeline.h"
#include "extract/price.h"

namespace vyr::extract {

// Whether the object's "@type" is `type`, or an array holding it (exact).
bool has_type(const json::Value& value, std::string_view type);

// Every script[type="application/ld+json"] block that parses as JSON,
// flattened by collect_objects, in document order. Broken blocks are skipped.
PageRecords jsonld_from_dom(const html::Document& document);

// Flattens one parsed block: arrays element by element, "@graph" members,
// "itemListElement" entries (their "item" when they have one); every other
// object is appended; scalars are dropped.
void collect_objects(json::Value value, PageRecords& out);

// A Product with product evidence once its price verdict (on an empty scale)
// and main image are written in, or a ProductGroup with such a variant.
bool is_product_object(const json::Value& value);

// Writes one JSON-LD object: a Product, or each variant of a ProductGroup;
// anything else adds nothing. `canonical` stands in for a missing product
// URL; `parent_group_id` is written as "product_group_id" on variants.
void ingest_object(GraphBuilder& builder, const json::Value& value, const PriceScale& scale,
                   std::optional<std::string_view> canonical, std::optional<std::string_view> parent_group_id);

void ingest_object(RecordedWrites& writes, const json::Value& value, const PriceScale& scale,
                   std::optional<std::string_view> canonical, std::optional<std::string_view> parent_group_id);

// Offer nodes for the product's "offers" value, each with an Offers edge.
void ingest_offers(GraphBuilder& builder, uint32_t product, std::string_view product_id, const json::Value& offers);

// A Brand, Organization or Person-like node named by `product[key]` (a string,
// or an object's string "name"), with an edge `rel` from the product.
void ingest_named_entity(GraphBuilder& builder, const json::Value& product, std::string_view key, NodeKind kind,
                         RelType rel, uint32_t product_index);

}  // namespace vyr::extract
