#include "extract/next_data.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "core/graph.h"
#include "extract/text.h"

namespace vyr::extract::next_data {

namespace {

constexpr std::string_view MARKER = "id=\"__NEXT_DATA__\"";
constexpr std::string_view SCRIPT_END = "</script>";

constexpr std::array<std::string_view, 2> NAME_NEEDLES = {"name", "title"};
constexpr std::array<std::string_view, 3> PRICE_NEEDLES = {"price", "amount", "cost"};
constexpr std::array<std::string_view, 3> COLLECTION_KEYS = {"products", "productList", "goods"};
constexpr std::array<std::string_view, 3> PRODUCT_NAME_KEYS = {"name", "title", "productName"};
constexpr std::array<std::string_view, 4> PRODUCT_ID_KEYS = {"id", "productId", "sku", "handle"};
constexpr std::array<std::string_view, 4> PRICE_KEYS = {"price", "salePrice", "amount", "priceValue"};
constexpr std::array<std::string_view, 4> VARIANT_ARRAY_KEYS = {"variants", "variations", "skus", "options"};
constexpr std::array<std::string_view, 2> VARIANT_ID_KEYS = {"id", "sku"};
constexpr std::array<std::string_view, 2> VARIANT_NAME_KEYS = {"title", "name"};



char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// `needle` is lower-case; `hay` is compared as if ASCII-lower-cased.
bool contains_lowered(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && ascii_lower(hay[i + k]) == needle[k]) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

bool is_product_object(const json::Value& v) {
  return v.is_object() && is_product_like(v.as_object(), NAME_NEEDLES) &&
         is_product_like(v.as_object(), PRICE_NEEDLES);
}

bool is_product_array(const json::Array& a) {
  if (a.empty()) return false;
  for (const json::Value& e : a) {
    if (!is_product_object(e)) return false;
  }
  return true;
}

// A map from ids to products, as stores keep them under "products".
bool is_product_map(const json::Value& v) {
  if (!v.is_object() || v.as_object().empty()) return false;
  for (const json::Member& m : v.as_object()) {
    if (!is_product_object(m.second)) return false;
  }
  return true;
}

bool is_collection_key(std::string_view key) {
  for (std::string_view k : COLLECTION_KEYS) {
    if (k == key) return true;
  }
  return false;
}

}  // namespace

std::optional<json::Value> find_next_data(std::string_view html) {
  size_t at = find_text(html, MARKER);
  if (at == std::string_view::npos) return std::nullopt;
  size_t gt = html.find('>', at);
  if (gt == std::string_view::npos) return std::nullopt;
  size_t end = find_text(html, SCRIPT_END, gt + 1);
  if (end == std::string_view::npos) return std::nullopt;
  return json::parse(trim_unicode_space(html.substr(gt + 1, end - gt - 1)));
}

bool is_product_like(const json::Object& object, std::span<const std::string_view> needles) {
  for (const json::Member& m : object) {
    for (std::string_view needle : needles) {
      if (contains_lowered(m.first, needle)) return true;
    }
  }
  return false;
}

void walk(const json::Value& value, std::vector<json::Value>& out) {
  // An explicit stack in place of recursion: values built in code are not
  // bound by the parser's depth limit. Containers are visited in document
  // order, members in key order, so products come out in the order a
  // recursive descent would give.
  struct Frame {
    const json::Value* container;
    size_t next;
  };
  std::vector<Frame> stack;
  auto visit = [&](const json::Value& v) {
    if (v.is_array()) {
      const json::Array& a = v.as_array();
      if (is_product_array(a)) {
        out.insert(out.end(), a.begin(), a.end());
      } else if (!a.empty()) {
        stack.push_back({&v, 0});
      }
    } else if (v.is_object() && !v.as_object().empty()) {
      stack.push_back({&v, 0});
    }
  };
  visit(value);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.container->is_array()) {
      const json::Array& a = top.container->as_array();
      if (top.next == a.size()) {
        stack.pop_back();
        continue;
      }
      visit(a[top.next++]);  // may grow the stack: `top` is not used after this
    } else {
      const json::Object& o = top.container->as_object();
      if (top.next == o.size()) {
        stack.pop_back();
        continue;
      }
      const json::Member& m = *(o.begin() + static_cast<std::ptrdiff_t>(top.next++));
      if (is_collection_key(m.first) && is_product_map(m.second)) {
        for (const json::Member& p : m.second.as_object()) out.push_back(p.second);
      } else {
        visit(m.second);
      }
    }
  }
}

std::optional<std::string> first_str(const json::Object& object, std::span<const std::string_view> keys) {
  for (std::string_view key : keys) {
    const json::Value* v = object.find(key);
    if (v != nullptr && v->is_string()) return v->as_string();
  }
  return std::nullopt;
}

std::string props_with_price(const json::Object& object, const PriceScale& scale) {
  const json::Value* price = nullptr;
  for (std::string_view key : PRICE_KEYS) {
    if ((price = object.find(key)) != nullptr) break;
  }
  json::Object verdict;
  if (std::optional<PriceVerdict> v = scale.verdict(price)) v->write_into(verdict);
  return merged_json_text(object, verdict);
}

namespace {

// Sink: GraphBuilder, or RecordedWrites for a replay on the folding thread.
template <class Sink>
void ingest_product_into(Sink& builder, const json::Value& product, const PriceScale& scale) {
  if (!product.is_object()) return;
  const json::Object& object = product.as_object();
  const std::string name = first_str(object, PRODUCT_NAME_KEYS).value_or("");
  std::optional<std::string> id;
  for (std::string_view key : PRODUCT_ID_KEYS) {
    if (const json::Value* v = object.find(key)) id = id_text(v);
    if (id) break;
  }
  if (!id) {
    if (name.empty()) return;
    id = name;
  }
  const uint32_t index = builder.upsert_node(NodeKind::Product, *id, name, props_with_price(object, scale));

  const json::Array* variants = nullptr;
  for (std::string_view key : VARIANT_ARRAY_KEYS) {
    const json::Value* v = object.find(key);
    if (v != nullptr && v->is_array()) {
      variants = &v->as_array();
      break;
    }
  }
  if (variants == nullptr) return;
  for (const json::Value& variant : *variants) {
    if (!variant.is_object()) continue;
    const json::Object& vo = variant.as_object();
    std::string variant_id = *id + "#v" + first_str(vo, VARIANT_ID_KEYS).value_or("");
    const std::string variant_name = first_str(vo, VARIANT_NAME_KEYS).value_or("");
    builder.upsert_node(NodeKind::Variant, variant_id, variant_name, props_with_price(vo, scale));
    builder.add_edge(index, RelType::HasVariant, variant_id);
  }
}

}  // namespace

void ingest_next_product(GraphBuilder& builder, const json::Value& product, const PriceScale& scale) {
  ingest_product_into(builder, product, scale);
}

void ingest_next_product(RecordedWrites& writes, const json::Value& product, const PriceScale& scale) {
  ingest_product_into(writes, product, scale);
}

}  // namespace vyr::extract::next_data
