// Products read from analytics data attributes: a Google Analytics
// e-commerce tag's product JSON written into a single-quoted attribute named
// ga-product or ending in it (data-ga-product='{"id":"..."}'). Found by
// substring search over the raw page; the page is not parsed for this source.
//
// find_ga_products runs on the extraction threads and shares nothing;
// ingest_ga_product runs on the thread that owns the builder.
#pragma once

#include <string_view>
#include <vector>

#include "core/builder.h"
#include "core/json.h"
#include "extract/pipeline.h"
#include "extract/price.h"

namespace vyr::extract::dom_attr {

// Every attribute value after "ga-product='" up to the next single quote
// that parses as JSON (any JSON type), in page order. Values are parsed as
// found: character references are not decoded, so an entity-escaped value
// is skipped. A marker without a closing quote ends the search.
std::vector<json::Value> find_ga_products(std::string_view html);

// One Product node for an object with a non-empty string "id" (name from
// "title"; props: the object exactly as collected, no price verdict), and a
// Variant node with a HasVariant edge per object with a non-empty string
// "key" in the JSON array that the "variations" string holds.
void ingest_ga_product(GraphBuilder& builder, const json::Value& product, const PriceScale& scale);
// The same calls, recorded on an extraction thread for a later replay.
void ingest_ga_product(RecordedWrites& writes, const json::Value& product, const PriceScale& scale);

}  // namespace vyr::extract::dom_attr
