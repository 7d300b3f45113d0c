#include "extract/jsonld.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_dump.h"

namespace vyr::extract {
namespace {

json::Value js(std::string_view text) {
  std::optional<json::Value> v = json::parse(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v ? *v : json::Value();
}

// "Kind id|name|props" with the props given as JSON in any member order.
std::string node(std::string_view kind, std::string_view id, std::string_view name, std::string_view props) {
  std::string line(kind);
  line.append(" ").append(id).append("|").append(name).append("|").append(json::to_text(js(props)));
  return line;
}

std::vector<std::string> ingested(std::string_view object, std::optional<std::string_view> canonical = std::nullopt,
                                  const PriceScale& scale = PriceScale::empty()) {
  GraphBuilder builder;
  ingest_object(builder, js(object), scale, canonical, std::nullopt);
  return testing::dump(std::move(builder));
}

std::vector<std::string> texts(const PageRecords& records) {
  std::vector<std::string> out;
  for (const json::Value& v : records) out.push_back(json::to_text(v));
  return out;
}

TEST(JsonLdBlocks, FlattensGraphsListsAndArrays) {
  const struct {
    std::string_view block;
    std::vector<std::string> objects;
  } cases[] = {
      {R"({"@graph":[{"@type":"WebSite"},{"@type":"Organization"},{"@type":"Product","name":"A"}]})",
       {R"({"@type":"WebSite"})", R"({"@type":"Organization"})", R"({"@type":"Product","name":"A"})"}},
      // "@graph" wins over a sibling itemListElement; the rest is dropped.
      {R"({"@type":"ItemList","@graph":{"n":1},"itemListElement":[{"n":2}]})", {R"({"n":1})"}},
      // ListItems give their "item"; those without one are kept whole.
      {R"({"@type":"ItemList","itemListElement":[{"@type":"ListItem","item":{"@type":"Product","n":1}},
                                                 {"@type":"ListItem","position":2},"text",
                                                 {"item":[{"n":3},{"@graph":[{"n":4}]}]}]})",
       {R"({"@type":"Product","n":1})", R"({"@type":"ListItem","position":2})", R"({"n":3})", R"({"n":4})"}},
      {R"({"itemListElement":{"n":5},"x":1})", {R"({"n":5})"}},
      {R"([[{"n":1}],2,null,"s",{"n":2}])", {R"({"n":1})", R"({"n":2})"}},
      {R"({})", {"{}"}},
      {R"("just text")", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    PageRecords out;
    collect_objects(js(c.block), out);
    EXPECT_EQ(texts(out), c.objects);
  }
}

TEST(JsonLdBlocks, ReadsEveryParsableScriptBlockInOrder) {
  const html::Document doc = html::Document::parse(R"(<html><head>
      <script type="application/ld+json">{"n":1}</script>
      <script type="application/ld+json">{"n":2,}</script>
      <script type="application/ld+json"><!-- {"n":3} --></script>
      <script type="application/json">{"n":4}</script>
      </head><body><script type="application/ld+json">
        [{"n":5},{"n":6}]
      </script><script type="application/ld+json">{"deep":)" +
                                                   std::string(10000, '[') + R"(</script></body></html>)");
  EXPECT_EQ(texts(jsonld_from_dom(doc)), (std::vector<std::string>{R"({"n":1})", R"({"n":5})", R"({"n":6})"}));
}

TEST(JsonLdProducts, PassTheProductTestOnlyWithEvidence) {
  const struct {
    std::string_view object;
    bool product;
  } cases[] = {
      {R"({"@type":"Product","name":"A","offers":{"price":"12.99"}})", true},
      {R"({"@type":["Thing","Product"],"sku":"S1"})", true},
      {R"({"@type":"Product","offers":[{"lowPrice":15}]})", true},  // the verdict writes price_cents
      {R"({"@type":"Product","offers":[]})", false},
      {R"({"@type":"Product","price":12})", false},  // a numeric price is no evidence by itself
      {R"({"@type":"Product","image":[{"url":"https://a/1.jpg"}]})", true},
      {R"({"@type":"Product","url":"https://s/product/1"})", true},
      {R"({"@type":"Product","url":"https://s/item/1","name":"A"})", false},
      {R"({"@type":"product","sku":"S1"})", false},
      {R"({"@type":"ProductGroup","hasVariant":[{"@type":"Product"},{"@type":"Product","gtin":"1"}]})", true},
      {R"({"@type":"ProductGroup","hasVariant":{"@type":"Product","mpn":"M"}})", true},
      {R"({"@type":"ProductGroup","sku":"S1"})", false},
      {R"(["@type","Product"])", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.object);
    EXPECT_EQ(is_product_object(js(c.object)), c.product);
  }
}

TEST(JsonLdProducts, WriteTheProductAndItsNeighbours) {
  const std::string_view product = R"({
    "@context":"https://schema.org","@type":"Product","name":"Lamp","sku":"L1",
    "brand":"Acme","manufacturer":{"@type":"Organization","name":"Acme"},
    "image":["https://s/a.jpg","https://s/logo.png","https://s/b.jpg"],
    "offers":{"@type":"Offer","price":"12.99","availability":"https://schema.org/InStock",
              "itemCondition":"NewCondition","priceValidUntil":"2025-01-01","seller":{"name":"Shop"},
              "url":"https://s/p/l1"},
    "aggregateRating":{"ratingValue":4.5,"ratingCount":10},
    "review":[{"reviewBody":"Good","author":"Ann","datePublished":"2024-01-02","reviewRating":{"ratingValue":5}},
              "bad",
              {"author":{"@type":"Person","name":"Bo"},"reviewRating":{}}]})";
  const std::vector<std::string> expected = {
      node("Product", "L1", "Lamp", R"({
        "@context":"https://schema.org","@type":"Product","name":"Lamp","sku":"L1",
        "brand":"Acme","manufacturer":{"@type":"Organization","name":"Acme"},
        "image":"https://s/a.jpg","images":["https://s/a.jpg","https://s/b.jpg"],
        "offers":{"@type":"Offer","price":"12.99","availability":"https://schema.org/InStock",
                  "itemCondition":"NewCondition","priceValidUntil":"2025-01-01","seller":{"name":"Shop"},
                  "url":"https://s/p/l1"},
        "aggregateRating":{"ratingValue":4.5,"ratingCount":10},
        "review":[{"reviewBody":"Good","author":"Ann","datePublished":"2024-01-02","reviewRating":{"ratingValue":5}},
                  "bad",{"author":{"@type":"Person","name":"Bo"},"reviewRating":{}}],
        "price":"12.99","price_cents":1299,"price_scale":2,"price_confident":false,"price_score":0,
        "availability":"InStock","item_condition":"NewCondition","price_valid_until":"2025-01-01",
        "seller_name":"Shop","rating_value":4.5,"review_count":10,"url":"https://s/p/l1"})"),
      // A brand and a manufacturer of one name are one node; the later kind wins.
      node("Organization", "Acme", "Acme", R"({"@type":"Organization","name":"Acme"})"),
      node("Offer", "L1#offer", "\"12.99\"", R"({"@type":"Offer","price":"12.99","availability":"https://schema.org/InStock",
              "itemCondition":"NewCondition","priceValidUntil":"2025-01-01","seller":{"name":"Shop"},
              "url":"https://s/p/l1"})"),
      node("AggregateRating", "L1#rating", "4.5", R"({"ratingValue":4.5,"ratingCount":10,"rating_value":4.5,"review_count":10})"),
      node("Review", "L1#review0", "Good", R"({"reviewBody":"Good","author":"Ann","datePublished":"2024-01-02",
              "reviewRating":{"ratingValue":5},"rating_value":5,"date":"2024-01-02"})"),
      node("Person", "Ann", "Ann", R"("Ann")"),
      node("Review", "L1#review1", "", "{}"),
      node("Review", "L1#review2", "", R"({"author":{"@type":"Person","name":"Bo"},"reviewRating":{}})"),
      node("Person", "Bo", "Bo", R"({"@type":"Person","name":"Bo"})"),
      "L1 -Brand-> Acme",
      "L1 -Manufacturer-> Acme",
      "L1 -Offers-> L1#offer",
      "L1 -AggregateRating-> L1#rating",
      "L1 -Review-> L1#review0",
      "L1 -Review-> L1#review1",
      "L1 -Review-> L1#review2",
      "L1#review0 -Author-> Ann",
      "L1#review2 -Author-> Bo",
  };
  EXPECT_EQ(ingested(product), expected);
}

TEST(JsonLdProducts, ChooseTheProductId) {
  const struct {
    std::string_view object, id;
  } cases[] = {
      {R"({"productId":12345,"@id":"x","name":"N","sku":"S"})", "12345"},
      {R"({"productId":-7,"name":"N","sku":"S"})", "-7"},
      {R"({"productId":"","sku":"S","name":"N"})", "S"},
      {R"({"productId":1.5,"sku":"S","name":"N"})", "S"},
      {R"({"productId":18446744073709551615,"sku":"S","name":"N"})", "S"},  // beyond 64-bit signed
      {R"({"@id":5,"sku":"S","name":"N"})", "N"},                         // a present non-string @id means the name
      {R"({"@id":"","sku":"S","name":"N"})", ""},
      {R"({"sku":["S"],"url":"https://s/product/1","name":"N","gtin":"1"})", "N"},
      {R"({"url":"https://s/product/1","name":"N"})", "https://s/product/1"},
      {R"({"name":"N","gtin":"1"})", "N"},
      {R"({"gtin":"1"})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.object);
    json::Value v = js(c.object);
    v.as_object().set("@type", "Product");
    if (v.get("sku") == nullptr) v.as_object().set("mpn", "evidence");
    GraphBuilder builder;
    ingest_object(builder, v, PriceScale::empty(), std::nullopt, std::nullopt);
    ASSERT_EQ(builder.node_count(), 1u);
    EXPECT_EQ(builder.text(builder.node(0).id), c.id);
  }
}

TEST(JsonLdProducts, PriceOffersAndUrls) {
  // An AggregateOffer priced from lowPrice: one offer node with an empty name.
  EXPECT_EQ(ingested(R"({"@type":"Product","name":"A","offers":{"@type":"AggregateOffer","lowPrice":"10.5","highPrice":"20"}})"),
            (std::vector<std::string>{
                node("Product", "A", "A", R"({"@type":"Product","name":"A","offers":{"@type":"AggregateOffer",
                     "lowPrice":"10.5","highPrice":"20"},"price":"10.50","price_cents":1050,"price_scale":2,
                     "price_confident":false,"price_score":0})"),
                node("Offer", "A#offer", "", R"({"@type":"AggregateOffer","lowPrice":"10.5","highPrice":"20"})"),
                "A -Offers-> A#offer",
            }));
  // Offers in an array are numbered; a non-object offer is kept as found.
  EXPECT_EQ(ingested(R"({"@type":"Product","sku":"S","offers":[{"price":5},"x"]})"),
            (std::vector<std::string>{
                node("Product", "S", "", R"({"@type":"Product","sku":"S","offers":[{"price":5},"x"],"price":"5",
                     "price_cents":500,"price_scale":2,"price_confident":false,"price_score":0})"),
                node("Offer", "S#offer0", "5", R"({"price":5})"),
                node("Offer", "S#offer1", "", R"("x")"),
                "S -Offers-> S#offer0",
                "S -Offers-> S#offer1",
            }));
  // The URL: the product's own (even null), else the first offer's, else the canonical.
  const struct {
    std::string_view object;
    std::optional<std::string_view> canonical;
    std::string_view url;
  } urls[] = {
      {R"({"url":"https://s/own","offers":{"url":"https://s/offer"}})", "https://s/canon", R"("https://s/own")"},
      {R"({"offers":[{"url":"https://s/offer"}]})", "https://s/canon", R"("https://s/offer")"},
      {R"({"offers":[{"url":""}]})", "https://s/canon", R"("https://s/canon")"},
      {R"({"url":null})", "https://s/canon", "null"},
      {R"({})", std::nullopt, "none"},
  };
  for (const auto& c : urls) {
    SCOPED_TRACE(c.object);
    json::Value v = js(c.object);
    v.as_object().set("@type", "Product");
    v.as_object().set("sku", "S");
    GraphBuilder builder;
    ingest_object(builder, v, PriceScale::empty(), c.canonical, std::nullopt);
    const json::Value props = js(builder.text(builder.node(0).props));
    const json::Value* url = props.get("url");
    EXPECT_EQ(url ? json::to_text(*url) : "none", c.url);
  }
}

TEST(JsonLdProducts, PageEvidenceDecidesThePriceUnit) {
  const PriceScale scale = PriceScale::from_html("<p>Now $1,299.00</p>");
  const std::vector<std::string> lines =
      ingested(R"({"@type":"Product","name":"TV","offers":{"price":129900}})", std::nullopt, scale);
  ASSERT_FALSE(lines.empty());
  const json::Value props = js(lines[0].substr(lines[0].find('|', lines[0].find('|') + 1) + 1));
  EXPECT_EQ(json::to_text(*props.get("price")), R"("1299")");
  EXPECT_EQ(json::to_text(*props.get("price_cents")), "129900");
  EXPECT_EQ(json::to_text(*props.get("price_score")), "2");
}

TEST(JsonLdProducts, CanonicalUrlStandsInForEvidence) {
  // Without evidence of its own, a product is accepted through a product-like
  // canonical URL, and dropped with everything it names otherwise.
  const std::string_view bare = R"({"@type":"Product","name":"A","brand":"B","aggregateRating":{"ratingValue":1}})";
  EXPECT_EQ(ingested(bare, "https://s/products/a").size(), 5u);  // product, brand, rating, two edges
  EXPECT_TRUE(ingested(bare, "https://s/a").empty());
  EXPECT_TRUE(ingested(bare).empty());
}

TEST(JsonLdProducts, GroupsWriteTheirVariants) {
  EXPECT_EQ(ingested(R"({"@type":"ProductGroup","productGroupID":"G1","@id":"g","hasVariant":[
                         {"@type":"Product","sku":"V1","product_group_id":"old"},
                         {"sku":"V2"},
                         {"@type":"Product","sku":"V3","offers":{"price":"2"}},
                         {"@type":"ProductGroup","url":"","hasVariant":{"@type":"Product","sku":"V4"}}]})"),
            (std::vector<std::string>{
                node("Product", "V1", "", R"({"@type":"Product","sku":"V1","product_group_id":"G1"})"),
                node("Product", "V3", "", R"({"@type":"Product","sku":"V3","offers":{"price":"2"},"price":"2",
                     "price_cents":200,"price_scale":2,"price_confident":false,"price_score":0,
                     "product_group_id":"G1"})"),
                node("Offer", "V3#offer", "\"2\"", R"({"price":"2"})"),
                // A nested group with an empty id gives its variants none, never its parent's.
                node("Product", "V4", "", R"({"@type":"Product","sku":"V4"})"),
                "V3 -Offers-> V3#offer",
            }));
}

TEST(JsonLdProducts, RatingsAndEntitiesOfUnexpectedShapes) {
  EXPECT_EQ(ingested(R"({"@type":"Product","sku":"S","brand":{"@type":"Brand"},"manufacturer":["M"],
                         "aggregateRating":"4","review":{"reviewBody":"Solo","author":{"name":""}}})"),
            (std::vector<std::string>{
                node("Product", "S", "", R"({"@type":"Product","sku":"S","brand":{"@type":"Brand"},"manufacturer":["M"],
                     "aggregateRating":"4","review":{"reviewBody":"Solo","author":{"name":""}}})"),
                node("AggregateRating", "S#rating", "", "{}"),
                node("Review", "S#review0", "Solo", R"({"reviewBody":"Solo","author":{"name":""}})"),
                "S -AggregateRating-> S#rating",
                "S -Review-> S#review0",
            }));
  EXPECT_TRUE(ingested(R"({"@type":"Organization","name":"Shop","sku":"x"})").empty());
  EXPECT_TRUE(ingested(R"({})").empty());
}

}  // namespace
}  // namespace vyr::extract
