// Storefront product JSON: a catalogue array under "products", "productList"
// or "goods" somewhere in the raw page (a script, an inline object), located
// by substring search and one bracket scan, so the page is never parsed into
// a document for this source. Each element becomes a Product node with its
// variants, or with one price-range node, as Variant nodes. Storefronts put
// a minimum price beside the price, which gives the price verdict a
// reference amount: the one source that can tell cents from major units
// without page evidence.
//
// Pure functions of their arguments; find_products_array is safe on any
// thread, ingest_product mutates only the builder it is given.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/builder.h"
#include "core/json.h"
#include "extract/decimal.h"
#include "extract/pipeline.h"
#include "extract/price.h"

namespace vyr::extract::platform_json {

// The elements of the first acceptable array, or nothing. For each key in
// order only its first occurrence is looked at: an unbalanced, unparsable,
// empty or rejected array (every element an object with a string "kind",
// as in a list of content blocks) moves on to the next key.
std::optional<std::vector<json::Value>> find_products_array(std::string_view html);

// The product's reference amount in major units: "price_min" as exact
// decimal text, else "price_range" -> "min" -> "price".
std::optional<Decimal> reference_amount(const json::Value& product);

// Writes one element of the array: the Product node (with its price verdict,
// absolute url and images), then a Variant node per element of its
// "variants" (or "variations") list, or else a "{id}#range" Variant for its
// "price_range", each tied to the product by a HasVariant edge. Elements
// without an id or without product evidence write nothing.
void ingest_product(GraphBuilder& builder, const json::Value& product, const PriceScale& scale,
                    std::optional<std::string_view> origin);
// The same calls, recorded on an extraction thread for a later replay.
void ingest_product(RecordedWrites& writes, const json::Value& product, const PriceScale& scale,
                    std::optional<std::string_view> origin);

}  // namespace vyr::extract::platform_json
