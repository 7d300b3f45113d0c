// graph_from_products PRODUCTS_JSON OUT_GRAPH
//
// Turns the products.json of the benchmark generator (a list of
// {"id","name","price_cents","currency","rating","url","brand","offers":[...]})
// into a graph file shaped as the JSON-LD extractor would have built it from
// the same shop pages: a Product node per product whose props are the
// schema.org product object plus the keys the price verdict and the offer
// and rating readers write, an Offer node per offer (props: the offer object
// as found, name: its price text), and a Brand node per brand name, joined by
// Brand and Offers edges in the extractor's order. The query benchmark then
// runs against graphs of realistic shape and size without going through
// HTML.
//
// Prints one JSON line: node, edge and byte counts and the time taken.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "core/builder.h"
#include "core/graph.h"
#include "core/json.h"
#include "core/store.h"

namespace {

namespace od = simdjson::ondemand;
using vyr::json::Array;
using vyr::json::Object;
using vyr::json::Value;

struct OfferIn {
  std::string id;
  double price = 0;
  std::string currency;
  std::string availability;
  std::string seller;
};

struct ProductIn {
  std::string id;
  std::string name;
  int64_t price_cents = 0;
  std::string currency;
  std::optional<double> rating;
  std::string url;
  std::string brand;
  std::vector<OfferIn> offers;
};

std::string text_of(od::value v) { return std::string(std::string_view(v.get_string())); }

OfferIn read_offer(od::object o) {
  OfferIn out;
  for (auto field : o) {
    const std::string_view key = field.unescaped_key();
    od::value v = field.value();
    if (key == "id") out.id = text_of(v);
    else if (key == "price") out.price = v.get_double();
    else if (key == "currency") out.currency = text_of(v);
    else if (key == "availability") out.availability = text_of(v);
    else if (key == "seller") out.seller = text_of(v);
  }
  return out;
}

ProductIn read_product(od::object o) {
  ProductIn out;
  for (auto field : o) {
    const std::string_view key = field.unescaped_key();
    od::value v = field.value();
    if (key == "id") out.id = text_of(v);
    else if (key == "name") out.name = text_of(v);
    else if (key == "price_cents") out.price_cents = v.get_int64();
    else if (key == "currency") out.currency = text_of(v);
    else if (key == "rating") {
      if (!v.is_null()) out.rating = v.get_double();
    } else if (key == "url") out.url = text_of(v);
    else if (key == "brand") out.brand = text_of(v);
    else if (key == "offers") {
      for (auto offer : v.get_array()) out.offers.push_back(read_offer(offer.get_object()));
    }
  }
  return out;
}

Value typed(std::string_view type) { return Value(std::string(type)); }

// The offer as a shop page would carry it in JSON-LD.
Value offer_object(const OfferIn& o, const std::string& url) {
  Object seller;
  seller.set("@type", typed("Organization"));
  seller.set("name", Value(o.seller));
  Object offer;
  offer.set("@type", typed("Offer"));
  offer.set("availability", Value("https://schema.org/" + o.availability));
  offer.set("price", Value(o.price));
  offer.set("priceCurrency", Value(o.currency));
  offer.set("seller", Value(std::move(seller)));
  offer.set("url", Value(url));
  return Value(std::move(offer));
}

std::string major_units(int64_t cents) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%02lld", static_cast<long long>(cents / 100),
                static_cast<long long>(cents % 100));
  return buf;
}

void add_product(vyr::GraphBuilder& b, const ProductIn& p) {
  Object brand;
  brand.set("@type", typed("Brand"));
  brand.set("name", Value(p.brand));
  Array offers;
  for (const OfferIn& o : p.offers) offers.push_back(offer_object(o, p.url));

  // Source members first, then the keys the extractor writes over them.
  Object props;
  props.set("@context", Value("https://schema.org"));
  props.set("@type", typed("Product"));
  props.set("name", Value(p.name));
  props.set("sku", Value(p.id));
  props.set("url", Value(p.url));
  props.set("brand", Value(brand));
  props.set("offers", Value(offers));
  if (p.rating) {
    Object rating;
    rating.set("@type", typed("AggregateRating"));
    rating.set("ratingValue", Value(*p.rating));
    props.set("aggregateRating", Value(std::move(rating)));
    props.set("rating", Value(*p.rating));
    props.set("rating_value", Value(*p.rating));
  }
  props.set("price", Value(major_units(p.price_cents)));
  props.set("price_cents", Value(p.price_cents));
  props.set("price_scale", Value(2));
  props.set("currency", Value(p.currency));
  props.set("price_confident", Value(true));
  props.set("price_score", Value(3));
  if (!p.offers.empty()) {
    props.set("availability", Value(p.offers[0].availability));
    props.set("seller_name", Value(p.offers[0].seller));
  }

  const uint32_t pi =
      b.upsert_node(vyr::NodeKind::Product, p.id, p.name, vyr::json::to_text(Value(std::move(props))));
  b.upsert_node(vyr::NodeKind::Brand, p.brand, p.brand, vyr::json::to_text(Value(std::move(brand))));
  b.add_edge(pi, vyr::RelType::Brand, p.brand);
  for (size_t i = 0; i < p.offers.size(); ++i) {
    std::string price_text;
    vyr::json::write_double(p.offers[i].price, price_text);
    b.upsert_node(vyr::NodeKind::Offer, p.offers[i].id, price_text, vyr::json::to_text(offers[i]));
    b.add_edge(pi, vyr::RelType::Offers, p.offers[i].id);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PRODUCTS_JSON OUT_GRAPH\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  vyr::GraphBuilder builder;
  size_t products = 0;
  try {
    simdjson::padded_string json = simdjson::padded_string::load(argv[1]);
    od::parser parser;
    od::document doc = parser.iterate(json);
    for (auto item : doc.get_array()) {
      add_product(builder, read_product(item.get_object()));
      ++products;
    }
  } catch (const simdjson::simdjson_error& e) {
    std::fprintf(stderr, "graph_from_products: %s: %s\n", argv[1], e.what());
    return 1;
  }
  vyr::Result<vyr::Graph> graph = std::move(builder).build();
  if (!graph.ok()) {
    std::fprintf(stderr, "graph_from_products: %s\n", graph.error().message().c_str());
    return 1;
  }
  vyr::Result<uint64_t> bytes = vyr::save(*graph, argv[2]);
  if (!bytes.ok()) {
    std::fprintf(stderr, "graph_from_products: %s\n", bytes.error().message().c_str());
    return 1;
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("{\"products\":%zu,\"nodes\":%zu,\"edges\":%zu,\"bytes\":%llu,\"seconds\":%.2f}\n",
              products, graph->nodes.size(), graph->edges.size(),
              static_cast<unsigned long long>(*bytes), secs);
  return 0;
}
