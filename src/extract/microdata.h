// Products read from schema.org microdata (itemscope/itemtype/itemprop),
// completed by page-level meta tags (og:url, the description) and the
// buy-button attributes data-addtocart and data-product-id. The page
// pipeline falls back to this source when no earlier one yielded products.
//
// Everything is read from the parsed document through selectors; the
// selectors are compiled once, on first use by any thread, then only read.
// extract_from_dom runs on the extraction threads; ingest_microdata on the
// thread that owns the builder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/builder.h"
#include "extract/html.h"
#include "extract/pipeline.h"
#include "extract/price.h"

namespace vyr::extract::microdata {

// The value one element gives a field: its "content", else "src", else "href"
// attribute (a present but empty attribute is the empty text, which counts),
// else its descendant text trimmed of Unicode whitespace when not empty.
std::optional<std::string> element_value(html::Node element);

// The page's products in document order: one per [itemscope][itemtype*=Product]
// element with a name, or, when no scope yields one, a single page-level
// product built from the document's first itemprop values. The list owns its
// texts; it outlives the document.
std::vector<MicrodataProduct> extract_from_dom(const html::Document& document);

// One Product node per product with product evidence, id taken from its
// product id, else url, else name. No edges.
void ingest_microdata(GraphBuilder& builder, const std::vector<MicrodataProduct>& products, const PriceScale& scale);
// The same calls, recorded on an extraction thread for a later replay.
void ingest_microdata(RecordedWrites& writes, const std::vector<MicrodataProduct>& products, const PriceScale& scale);

// `url` made absolute against the page URL `base`: "http..." URLs and
// everything without a base come back unchanged; "//host/x" takes the base's
// scheme; "/x" takes the base's scheme and host. Relative paths, other
// schemes and fragments are left as found.
std::string absolutize(std::string_view url, std::optional<std::string_view> base);

}  // namespace vyr::extract::microdata
