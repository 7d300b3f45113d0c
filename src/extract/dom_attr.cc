#include "extract/dom_attr.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "core/graph.h"
#include "extract/text.h"

namespace vyr::extract::dom_attr {

namespace {
constexpr std::string_view MARKER = "ga-product='";

}  // namespace

std::vector<json::Value> find_ga_products(std::string_view html) {
  std::vector<json::Value> out;
  size_t pos = 0;
  for (;;) {
    size_t at = find_text(html, MARKER, pos);
    if (at == std::string_view::npos) break;
    size_t start = at + MARKER.size();
    size_t end = html.find('\'', start);
    if (end == std::string_view::npos) break;
    if (std::optional<json::Value> v = json::parse(html.substr(start, end - start))) out.push_back(std::move(*v));
    pos = end + 1;
  }
  return out;
}

namespace {

// Sink: GraphBuilder, or RecordedWrites for a replay on the folding thread.
template <class Sink>
void ingest_product_into(Sink& builder, const json::Value& product, const PriceScale& scale) {
  if (!product.is_object() || product.as_object().empty()) return;
  const std::string* id = product.get_string("id");
  if (id == nullptr || id->empty()) return;
  const std::string* title = product.get_string("title");
  const uint32_t index =
      builder.upsert_node(NodeKind::Product, *id, title != nullptr ? std::string_view(*title) : std::string_view(),
                          json::to_text(product));

  // The tag carries the variations as JSON text inside a string member.
  const std::string* variations_text = product.get_string("variations");
  if (variations_text == nullptr) return;
  std::optional<json::Value> variations = json::parse(*variations_text);
  if (!variations || !variations->is_array()) return;
  const json::Value no_price;
  for (const json::Value& variation : variations->as_array()) {
    const std::string* key = variation.get_string("key");
    if (key == nullptr || key->empty()) continue;
    json::Object props = variation.as_object();
    const json::Value* price = variation.get("price");
    if (std::optional<PriceVerdict> v = scale.verdict(price != nullptr ? price : &no_price)) v->write_into(props);
    const std::string variant_id = *id + "#v" + *key;
    builder.upsert_node(NodeKind::Variant, variant_id, "", json::to_text(json::Value(std::move(props))));
    builder.add_edge(index, RelType::HasVariant, variant_id);
  }
}

}  // namespace

void ingest_ga_product(GraphBuilder& builder, const json::Value& product, const PriceScale& scale) {
  ingest_product_into(builder, product, scale);
}

void ingest_ga_product(RecordedWrites& writes, const json::Value& product, const PriceScale& scale) {
  ingest_product_into(writes, product, scale);
}

}  // namespace vyr::extract::dom_attr
