// Hypernova payloads: server-rendered landing pages leave their component
// data as JSON (often wrapped in an HTML comment) inside a script element
// marked data-hypernova-key="landingdesktopApp". The payload's page lists
// products and the page URL; each product becomes a Product node.
//
// Pure functions of their arguments; find_hypernova is safe on any thread,
// ingest_hypernova mutates only the builder it is given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/builder.h"
#include "core/json.h"
#include "extract/pipeline.h"
#include "extract/price.h"

namespace vyr::extract::hypernova {

struct Payload {
  std::vector<json::Value> products;  // props.page.products, in order
  std::string page_url;               // props.page.url, or empty
};

// The payload of the first marker that sits in a script tag, or nothing
// when there is none, it is not closed, or its JSON is malformed or has
// another shape.
std::optional<Payload> find_hypernova(std::string_view html);

// Upserts one Product node per usable product (an id or a title, and
// product evidence): the price verdict, the image (the product's own, else
// the first description image) and images made absolute against `origin`,
// and `page_url` as every product's "url". No edges.
void ingest_hypernova(GraphBuilder& builder, const std::vector<json::Value>& products, const PriceScale& scale,
                      std::string_view page_url, std::optional<std::string_view> origin);
// The same calls, recorded on an extraction thread for a later replay.
void ingest_hypernova(RecordedWrites& writes, const std::vector<json::Value>& products, const PriceScale& scale,
                      std::string_view page_url, std::optional<std::string_view> origin);

}  // namespace vyr::extract::hypernova
