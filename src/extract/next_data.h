// Products read from the page data Next.js embeds as one JSON document in
// <script id="__NEXT_DATA__">. No fixed path is followed: the whole tree is
// walked and every group of objects that look like products (a name-like
// and a price-like key) is collected; each becomes a Product node, and the
// objects of its variant array become Variant nodes linked to it.
//
// find_next_data and walk run on the extraction threads and share nothing;
// ingest_next_product runs on the thread that owns the builder.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/builder.h"
#include "core/json.h"
#include "extract/pipeline.h"
#include "extract/price.h"

namespace vyr::extract::next_data {

// The parsed payload of the first id="__NEXT_DATA__" script (double quotes
// only), or nothing when the marker, its closing "</script>" or valid JSON
// is missing. Nesting beyond json::MAX_DEPTH is invalid JSON here.
std::optional<json::Value> find_next_data(std::string_view html);

// Whether any key of `object`, lower-cased in ASCII, contains any needle.
bool is_product_like(const json::Object& object, std::span<const std::string_view> needles);

// Appends to `out` copies of the product groups found anywhere in `value`:
// a non-empty array whose elements are all product-like objects, or, under a
// "products", "productList" or "goods" key, a non-empty object whose member
// values all are. A lone product-like object is not collected. Iterative:
// any nesting depth is safe.
void walk(const json::Value& value, std::vector<json::Value>& out);

// The first of `keys` present in `object` with a string value (the empty
// string included); keys holding other types are passed over.
std::optional<std::string> first_str(const json::Object& object, std::span<const std::string_view> keys);

// Compact JSON text of `object`'s members with the verdict on its first
// present price key ("price", "salePrice", "amount", "priceValue") written in.
std::string props_with_price(const json::Object& object, const PriceScale& scale);

// Writes the Product node for one collected object (id from "id",
// "productId", "sku", "handle", else its name; nothing without either) and a
// Variant node with a HasVariant edge per object of its first variant array.
void ingest_next_product(GraphBuilder& builder, const json::Value& product, const PriceScale& scale);
// The same calls, recorded on an extraction thread for a later replay.
void ingest_next_product(RecordedWrites& writes, const json::Value& product, const PriceScale& scale);

}  // namespace vyr::extract::next_data
