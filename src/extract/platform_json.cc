#include "extract/platform_json.h"

#include <cstdint>
#include <string>

#include "extract/normalize.h"
#include "extract/pipeline.h"
#include "extract/text.h"

namespace vyr::extract::platform_json {

namespace {

constexpr std::string_view ARRAY_KEYS[] = {"\"products\"", "\"productList\"", "\"goods\""};

// The end (just past the matching "]") of the array that opens at
// text[open], counting square brackets outside JSON strings only; nothing
// when the page ends first. Braces are not counted: the span is handed to the
// JSON reader, which rejects anything unbalanced.
std::optional<size_t> array_span_end(std::string_view text, size_t open) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (--depth == 0) return i + 1;
    }
  }
  return std::nullopt;
}

// Arrays of typed content blocks ({"kind": "banner", ...}) share key names
// with product lists.
bool is_content_block_list(const json::Array& items) {
  for (const json::Value& item : items) {
    const json::Value* kind = item.get("kind");
    if (kind == nullptr || !kind->is_string()) return false;
  }
  return true;
}


std::string text_or_empty(const json::Value* v) { return v != nullptr && v->is_string() ? v->as_string() : ""; }

bool is_non_empty_array(const json::Value* v) { return v != nullptr && v->is_array() && !v->as_array().empty(); }

const json::Value* range_min_price(const json::Value& product) {
  const json::Value* range = product.get("price_range");
  const json::Value* min = range != nullptr ? range->get("min") : nullptr;
  return min != nullptr ? min->get("price") : nullptr;
}

}  // namespace

std::optional<std::vector<json::Value>> find_products_array(std::string_view html) {
  for (std::string_view key : ARRAY_KEYS) {
    const size_t at = find_text(html, key);
    if (at == std::string_view::npos) continue;
    const size_t open = html.find('[', at);
    if (open == std::string_view::npos) continue;
    const std::optional<size_t> end = array_span_end(html, open);
    if (!end) continue;
    std::optional<json::Value> parsed = json::parse(html.substr(open, *end - open));
    if (!parsed || !parsed->is_array()) continue;
    json::Array& items = parsed->as_array();
    if (items.empty() || is_content_block_list(items)) continue;
    return std::move(items);
  }
  return std::nullopt;
}

std::optional<Decimal> reference_amount(const json::Value& product) {
  if (const std::string* min = product.get_string("price_min")) {
    if (auto d = Decimal::parse(*min)) return d;
  }
  const json::Value* price = range_min_price(product);
  if (price == nullptr) return std::nullopt;
  if (price->is_string()) return Decimal::parse(price->as_string());
  if (price->is_number()) return Decimal::parse(json::to_text(*price));
  return std::nullopt;
}

namespace {

// Sink: GraphBuilder, or RecordedWrites for a replay on the folding thread.
template <class Sink>
void ingest_product_into(Sink& builder, const json::Value& product, const PriceScale& scale,
                         std::optional<std::string_view> origin) {
  if (!product.is_object() || product.as_object().empty()) return;

  std::string name;
  if (const json::Value* v = product.get("name")) {
    name = text_or_empty(v);
  } else {
    name = text_or_empty(product.get("title"));
  }

  std::optional<std::string> id = id_text(product.get("id"));
  if (!id) {
    if (const std::string* handle = product.get_string("handle")) {
      // An empty handle marks a placeholder entry, not a product.
      if (handle->empty()) return;
      id = *handle;
    } else if (!name.empty()) {
      id = name;
    } else {
      return;
    }
  }

  const std::optional<Decimal> reference = reference_amount(product);
  // Written over the product's own members when the node's props are made.
  json::Object props;
  if (auto verdict = scale.verdict(product.get("price"), reference)) verdict->write_into(props);
  if (const std::string* url = product.get_string("url")) props.set("url", json::Value(absolutize_url(*url, origin)));
  if (std::optional<std::string> image = extract_image(product))
    props.set("image", json::Value(absolutize_url(*image, origin)));
  if (std::vector<std::string> images = extract_images(product); images.size() >= 2) {
    json::Array list;
    list.reserve(images.size());
    for (const std::string& image : images) list.emplace_back(absolutize_url(image, origin));
    props.set("images", json::Value(std::move(list)));
  }

  const json::Value* variants = product.get("variants");
  const json::Value* variant_list = variants != nullptr ? variants : product.get("variations");
  const json::Value* price_range = product.get("price_range");
  const bool has_variants = is_non_empty_array(variant_list);
  if (!has_variants && price_range == nullptr && !has_product_signal(product.as_object(), props)) return;

  const uint32_t index = builder.upsert_node(NodeKind::Product, *id, name, merged_json_text(product.as_object(), props));

  if (has_variants) {
    for (const json::Value& variant : variant_list->as_array()) {
      std::string variant_id = *id + "#v";
      if (variant.is_object() && !variant.as_object().empty()) {
        if (const json::Value* vid = variant.get("id")) variant_id += json::to_text(*vid);
      }
      builder.upsert_node(NodeKind::Variant, variant_id, text_or_empty(variant.get("title")),
                          with_normalized_price(variant, variant.get("price"), scale, reference));
      builder.add_edge(index, RelType::HasVariant, variant_id);
    }
  } else if (price_range != nullptr) {
    const std::string range_id = *id + "#range";
    builder.upsert_node(NodeKind::Variant, range_id, "price_range",
                        with_normalized_price(*price_range, range_min_price(product), scale, reference));
    builder.add_edge(index, RelType::HasVariant, range_id);
  }
}

}  // namespace

void ingest_product(GraphBuilder& builder, const json::Value& product, const PriceScale& scale,
                    std::optional<std::string_view> origin) {
  ingest_product_into(builder, product, scale, origin);
}

void ingest_product(RecordedWrites& writes, const json::Value& product, const PriceScale& scale,
                    std::optional<std::string_view> origin) {
  ingest_product_into(writes, product, scale, origin);
}

}  // namespace vyr::extract::platform_json
