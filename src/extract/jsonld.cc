#include "extract/jsonld.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "extract/normalize.h"
#include "extract/text.h"

namespace vyr::extract {

namespace {

const html::Selector& jsonld_sel() {
  static const html::Selector JSONLD_SEL(R"(script[type="application/ld+json"])");
  return JSONLD_SEL;
}

bool is_non_empty_object(const json::Value& v) { return v.is_object() && !v.as_object().empty(); }

// The part after the last "/" ("https://schema.org/InStock" -> "InStock").
std::string last_segment(const std::string& s) {
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

// The offer that prices the product: the first of an "offers" array, or the
// "offers" value itself.
const json::Value* first_offer(const json::Value& product) {
  const json::Value* offers = product.get("offers");
  if (offers == nullptr) return nullptr;
  if (offers->is_array()) return offers->as_array().empty() ? nullptr : &offers->as_array().front();
  return offers;
}

const json::Value* price_candidate(const json::Value* offer) {
  if (offer == nullptr) return nullptr;
  if (const json::Value* price = offer->get("price")) return price;
  return offer->get("lowPrice");
}

// A text id from the rule's member: a string as is (even empty), else the name.
std::string string_or(const json::Value& v, const std::string& fallback) {
  return v.is_string() ? v.as_string() : fallback;
}

std::string product_id_of(const json::Value& product, const std::string& name) {
  if (std::optional<std::string> id = id_text(product.get("productId"))) return *id;
  for (std::string_view key : {"@id", "sku", "url"}) {
    if (const json::Value* v = product.get(key)) return string_or(*v, name);
  }
  return name;
}

std::string numbered(std::string_view product_id, std::string_view suffix, size_t position) {
  std::string id(product_id);
  id.append(suffix).append(std::to_string(position));
  return id;
}

std::string suffixed(std::string_view product_id, std::string_view suffix) {
  std::string id(product_id);
  id.append(suffix);
  return id;
}

template <class Sink>
void object_into(Sink& builder, const json::Value& value, const PriceScale& scale, std::optional<std::string_view> canonical,
                 std::optional<std::string_view> parent_group_id);
template <class Sink>
void offers_into(Sink& builder, uint32_t product, std::string_view product_id, const json::Value& offers);
template <class Sink>
void named_entity_into(Sink& builder, const json::Value& product, std::string_view key, NodeKind kind, RelType rel,
                       uint32_t product_index);

template <class Sink>
void ingest_rating(Sink& builder, uint32_t product, const std::string& product_id, const json::Value& rating) {
  const std::string id = suffixed(product_id, "#rating");
  json::Object props;
  std::string name;
  if (rating.is_object()) {
    props = rating.as_object();
    const json::Value* count = rating.get("reviewCount");
    if (count == nullptr) count = rating.get("ratingCount");
    if (count != nullptr) props.set("review_count", *count);
    if (const json::Value* value = rating.get("ratingValue")) {
      name = json::to_text(*value);
      props.set("rating_value", *value);
    }
  }
  builder.upsert_node(NodeKind::AggregateRating, id, name, json::to_text(json::Value(std::move(props))));
  builder.add_edge(product, RelType::AggregateRating, id);
}

template <class Sink>
void ingest_review(Sink& builder, uint32_t product, const std::string& product_id, const json::Value& review,
                   size_t position) {
  const std::string id = numbered(product_id, "#review", position);
  json::Object props;
  std::string name;
  if (review.is_object()) {
    if (const std::string* body = review.get_string("reviewBody")) name = *body;
    props = review.as_object();
    if (const json::Value* rating = review.get("reviewRating"); rating != nullptr && is_non_empty_object(*rating)) {
      if (const json::Value* value = rating->get("ratingValue")) props.set("rating_value", *value);
    }
    if (const json::Value* date = review.get("datePublished")) props.set("date", *date);
  }
  const uint32_t index = builder.upsert_node(NodeKind::Review, id, name, json::to_text(json::Value(std::move(props))));
  builder.add_edge(product, RelType::Review, id);

  if (!review.is_object()) return;
  const json::Value* author = review.get("author");
  if (author == nullptr) return;
  std::string author_name;
  if (author->is_object()) {
    if (const std::string* n = author->get_string("name")) author_name = *n;
  } else if (author->is_string()) {
    author_name = author->as_string();
  }
  if (author_name.empty()) return;
  builder.upsert_node(NodeKind::Person, author_name, author_name, json::to_text(*author));
  builder.add_edge(index, RelType::Author, author_name);
}

template <class Sink>
void ingest_group(Sink& builder, const json::Value& group, const PriceScale& scale,
                  std::optional<std::string_view> canonical) {
  std::optional<std::string_view> group_id;
  for (std::string_view key : {"productGroupID", "@id", "url"}) {
    if (const std::string* s = group.get_string(key)) {
      if (!s->empty()) group_id = *s;
      break;
    }
  }
  const json::Value* variants = group.get("hasVariant");
  if (variants == nullptr) return;
  if (variants->is_array()) {
    for (const json::Value& v : variants->as_array()) object_into(builder, v, scale, canonical, group_id);
  } else {
    object_into(builder, *variants, scale, canonical, group_id);
  }
}

template <class Sink>
void ingest_product(Sink& builder, const json::Value& product, const PriceScale& scale,
                    std::optional<std::string_view> canonical, std::optional<std::string_view> parent_group_id) {
  std::string name;
  if (const std::string* n = product.get_string("name")) name = *n;
  const std::string id = product_id_of(product, name);

  const json::Value* offer = first_offer(product);
  // Written over the product's own members when the node's props are made.
  static const json::Object NO_MEMBERS;
  const json::Object& own = product.is_object() ? product.as_object() : NO_MEMBERS;
  json::Object props;
  if (auto verdict = scale.verdict(price_candidate(offer))) verdict->write_into(props);
  auto has_url = [&] { return props.find("url") != nullptr || own.find("url") != nullptr; };

  if (offer != nullptr) {
    const struct {
      std::string_view from, to;
    } segments[] = {{"availability", "availability"},
                    {"itemCondition", "item_condition"},
                    {"priceValidUntil", "price_valid_until"}};
    for (const auto& s : segments) {
      if (const std::string* v = offer->get_string(s.from)) props.set(std::string(s.to), last_segment(*v));
    }
    if (const json::Value* seller = offer->get("seller")) {
      if (const std::string* seller_name = seller->get_string("name")) props.set("seller_name", *seller_name);
    }
  }

  if (const json::Value* rating = product.get("aggregateRating"); rating != nullptr && rating->is_object()) {
    if (const json::Value* value = rating->get("ratingValue")) props.set("rating_value", *value);
    const json::Value* count = rating->get("reviewCount");
    if (count == nullptr) count = rating->get("ratingCount");
    if (count != nullptr) props.set("review_count", *count);
  }

  if (std::optional<std::string> image = extract_image(product)) {
    props.set("image", absolutize_url(*image, std::nullopt));
  }
  if (std::vector<std::string> images = extract_images(product); images.size() >= 2) {
    json::Array list;
    list.reserve(images.size());
    for (std::string& s : images) list.emplace_back(std::move(s));
    props.set("images", std::move(list));
  }

  if (offer != nullptr && !has_url()) {
    if (const std::string* url = offer->get_string("url"); url != nullptr && !url->empty()) props.set("url", *url);
  }
  if (canonical && !has_url()) props.set("url", std::string(*canonical));

  if (!has_product_signal(own, props)) return;
  if (parent_group_id) props.set("product_group_id", std::string(*parent_group_id));

  const uint32_t index = builder.upsert_node(NodeKind::Product, id, name, merged_json_text(own, props));

  named_entity_into(builder, product, "brand", NodeKind::Brand, RelType::Brand, index);
  named_entity_into(builder, product, "manufacturer", NodeKind::Organization, RelType::Manufacturer, index);
  if (const json::Value* offers = product.get("offers")) offers_into(builder, index, id, *offers);
  if (const json::Value* rating = product.get("aggregateRating")) ingest_rating(builder, index, id, *rating);
  if (const json::Value* reviews = product.get("review")) {
    if (reviews->is_array()) {
      const json::Array& list = reviews->as_array();
      for (size_t i = 0; i < list.size(); ++i) ingest_review(builder, index, id, list[i], i);
    } else {
      ingest_review(builder, index, id, *reviews, 0);
    }
  }
}

}  // namespace

bool has_type(const json::Value& value, std::string_view type) {
  const json::Value* t = value.get("@type");
  if (t == nullptr) return false;
  if (t->is_string()) return t->as_string() == type;
  if (!t->is_array()) return false;
  for (const json::Value& e : t->as_array()) {
    if (e.is_string() && e.as_string() == type) return true;
  }
  return false;
}

PageRecords jsonld_from_dom(const html::Document& document) {
  PageRecords out;
  std::string text;
  document.for_each_element([&](html::Node n) {
    if (!jsonld_sel().matches(n)) return;
    text.clear();
    n.append_text(text);
    if (std::optional<json::Value> value = json::parse(text)) collect_objects(std::move(*value), out);
  });
  return out;
}

void collect_objects(json::Value value, PageRecords& out) {
  if (value.is_array()) {
    for (json::Value& e : value.as_array()) collect_objects(std::move(e), out);
    return;
  }
  if (!value.is_object()) return;
  json::Object& object = value.as_object();
  if (json::Value* graph = object.find("@graph")) {
    collect_objects(std::move(*graph), out);
    return;
  }
  if (json::Value* items = object.find("itemListElement")) {
    if (!items->is_array()) {
      collect_objects(std::move(*items), out);
      return;
    }
    for (json::Value& element : items->as_array()) {
      if (element.is_object()) {
        if (json::Value* item = element.as_object().find("item")) {
          collect_objects(std::move(*item), out);
          continue;
        }
      }
      collect_objects(std::move(element), out);
    }
    return;
  }
  out.push_back(std::move(value));
}

bool is_product_object(const json::Value& value) {
  if (!value.is_object()) return false;
  if (has_type(value, "ProductGroup")) {
    const json::Value* variants = value.get("hasVariant");
    if (variants == nullptr) return false;
    if (!variants->is_array()) return is_product_object(*variants);
    for (const json::Value& v : variants->as_array()) {
      if (is_product_object(v)) return true;
    }
    return false;
  }
  if (!has_type(value, "Product")) return false;
  // The evidence test of the object with its verdict (on no page evidence)
  // and main image written in, without copying it: a verdict always writes
  // a price_cents, and a found image is a non-empty string; otherwise the
  // members are the object's own.
  if (PriceScale::empty().verdict(price_candidate(first_offer(value)))) return true;
  if (extract_image(value)) return true;
  return has_product_signal(value.as_object());
}

namespace {

template <class Sink>
void object_into(Sink& builder, const json::Value& value, const PriceScale& scale, std::optional<std::string_view> canonical,
                 std::optional<std::string_view> parent_group_id) {
  if (!is_non_empty_object(value)) return;
  if (has_type(value, "ProductGroup")) {
    ingest_group(builder, value, scale, canonical);
  } else if (has_type(value, "Product")) {
    ingest_product(builder, value, scale, canonical, parent_group_id);
  }
}

template <class Sink>
void offers_into(Sink& builder, uint32_t product, std::string_view product_id, const json::Value& offers) {
  auto one = [&](const json::Value& offer, const std::string& id) {
    std::string name;
    if (const json::Value* price = offer.get("price")) name = json::to_text(*price);
    builder.upsert_node(NodeKind::Offer, id, name, json::to_text(offer));
    builder.add_edge(product, RelType::Offers, id);
  };
  if (offers.is_array()) {
    const json::Array& list = offers.as_array();
    for (size_t i = 0; i < list.size(); ++i) one(list[i], numbered(product_id, "#offer", i));
  } else {
    one(offers, suffixed(product_id, "#offer"));
  }
}

template <class Sink>
void named_entity_into(Sink& builder, const json::Value& product, std::string_view key, NodeKind kind, RelType rel,
                       uint32_t product_index) {
  const json::Value* value = product.get(key);
  if (value == nullptr) return;
  std::string name;
  if (value->is_object()) {
    const std::string* n = value->get_string("name");
    if (n == nullptr) return;
    name = *n;
  } else if (value->is_string()) {
    name = value->as_string();
  } else {
    return;
  }
  if (name.empty()) return;
  builder.upsert_node(kind, name, name, json::to_text(*value));
  builder.add_edge(product_index, rel, name);
}

}  // namespace

void ingest_object(GraphBuilder& builder, const json::Value& value, const PriceScale& scale,
                   std::optional<std::string_view> canonical, std::optional<std::string_view> parent_group_id) {
  object_into(builder, value, scale, canonical, parent_group_id);
}

void ingest_object(RecordedWrites& writes, const json::Value& value, const PriceScale& scale,
                   std::optional<std::string_view> canonical, std::optional<std::string_view> parent_group_id) {
  object_into(writes, value, scale, canonical, parent_group_id);
}

void ingest_offers(GraphBuilder& builder, uint32_t product, std::string_view product_id, const json::Value& offers) {
  offers_into(builder, product, product_id, offers);
}

void ingest_named_entity(GraphBuilder& builder, const json::Value& product, std::string_view key, NodeKind kind,
                         RelType rel, uint32_t product_index) {
  named_entity_into(builder, product, key, kind, rel, product_index);
}

}  // namespace vyr::extract
