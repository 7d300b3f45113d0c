#include "extract/platform_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_dump.h"

namespace vyr::extract::platform_json {
namespace {

std::optional<std::string> found(std::string_view html) {
  auto items = find_products_array(html);
  if (!items) return std::nullopt;
  return json::to_text(json::Value(json::Array(*items)));
}

TEST(PlatformJson, FindsTheFirstAcceptableArray) {
  const struct {
    std::string_view html;
    std::optional<std::string_view> items;
  } cases[] = {
      {R"(<script>var s={"products":[{"kind":"banner"},{"kind":"hero"}],"productList":[{"id":1}]}</script>)",
       R"([{"id":1}])"},
      {R"({"products":[{"kind":"banner"},{"id":1}]})", R"([{"kind":"banner"},{"id":1}])"},
      // Brackets inside strings, escaped quotes included, do not count.
      {R"({"products":[{"name":"a \"]\" b [","id":2}], "x": 1})", R"([{"id":2,"name":"a \"]\" b ["}])"},
      {R"({"goods":["]",3,[4]]})", R"(["]",3,[4]])"},
      // Braces are not counted: the first "[" after the key opens the span.
      {R"({"products": {"list":[{"id":1}]}})", R"([{"id":1}])"},
      // Unbalanced, unparsable, empty or missing: the next key is tried.
      {R"({"products":[[1,2], "goods":[5]})", "[5]"},
      {R"({"products":[1,], "goods":[6]})", "[6]"},
      {R"({"products":[], "productList":[7]})", "[7]"},
      {R"({"products":{"id":1}, "goods":{}})", std::nullopt},
      {R"({"products":[{"id":1]})", std::nullopt},
      {R"({"products":[{"id":1},{"na)", std::nullopt},
      {R"({"products":"[\"x\"]")", std::nullopt},
      // Only the first occurrence of a key is looked at.
      {R"({"products":[]} {"products":[{"id":1}]})", std::nullopt},
      {"products: [1]", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(found(c.html), c.items);
  }
}

TEST(PlatformJson, SurvivesHugeAndDeepArrays) {
  std::string huge = R"({"products":[)";
  for (int i = 0; i < 50000; ++i) huge += R"({"id":)" + std::to_string(i) + "},";
  huge += R"({"id":-1}]})";
  ASSERT_TRUE(find_products_array(huge).has_value());
  EXPECT_EQ(find_products_array(huge)->size(), 50001u);

  const std::string deep = R"({"products":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(find_products_array(deep).has_value());
  EXPECT_FALSE(find_products_array(R"({"products":)" + std::string(100000, '[')).has_value());
}

TEST(PlatformJson, ReferenceAmounts) {
  const struct {
    std::string_view product;
    std::optional<std::string_view> reference;
  } cases[] = {
      {R"({"price_min":"12.99"})", "12.99"},
      {R"({"price_min":"12.99","price_range":{"min":{"price":5}}})", "12.99"},
      {R"({"price_min":12.99,"price_range":{"min":{"price":5}}})", "5"},
      {R"({"price_min":"$12.99","price_range":{"min":{"price":"7.50"}}})", "7.50"},
      {R"({"price_range":{"min":{"price":12.5}}})", "12.5"},
      {R"({"price_range":{"min":{"price":1e20}}})", std::nullopt},
      {R"({"price_range":{"min":12}})", std::nullopt},
      {R"({"price_range":[{"min":{"price":12}}]})", std::nullopt},
      {R"({"price":12})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product);
    auto reference = reference_amount(*json::parse(c.product));
    ASSERT_EQ(reference.has_value(), c.reference.has_value());
    if (reference) {
      EXPECT_EQ(reference->to_string(), *c.reference);
    }
  }
}

TEST(PlatformJson, IngestsProductsVariantsAndRangeNodes) {
  constexpr std::string_view ORIGIN = "https://shop.example";
  const struct {
    std::string_view product;
    std::vector<std::string> graph;
  } cases[] = {
      // The reference amount tells a minor-unit price without page evidence.
      {R"({"id":101,"price":1299,"price_min":"12.99"})",
       {R"(Product 101||{"id":101,"price":"12.99","price_cents":1299,"price_confident":true,"price_min":"12.99",)"
        R"("price_scale":2,"price_score":3})"}},
      {R"({"handle":"kettle","name":"Kettle","url":"/products/kettle","image":["","//cdn.example/k.jpg"],)"
       R"("images":["/a.jpg","/logo.png","/b.jpg"]})",
       {R"(Product kettle|Kettle|{"handle":"kettle","image":"https://cdn.example/k.jpg","images":)"
        R"(["https://shop.example/a.jpg","https://shop.example/b.jpg","https://cdn.example/k.jpg"],)"
        R"("name":"Kettle","url":"https://shop.example/products/kettle"})"}},
      // Variant ids are the JSON text of the variant's "id".
      {R"({"id":101,"title":"Tee","variants":[{"id":5,"title":"S","price":"10"},{"id":"a7"},{"id":null},)"
       R"({"title":"no id"},7,{}]})",
       {R"(Product 101|Tee|{"id":101,"title":"Tee","variants":[{"id":5,"price":"10","title":"S"},{"id":"a7"},)"
        R"({"id":null},{"title":"no id"},7,{}]})",
        R"(Variant 101#v5|S|{"id":5,"price":"10","price_cents":1000,"price_confident":false,"price_scale":2,)"
        R"("price_score":0,"title":"S"})",
        R"(Variant 101#v"a7"||{"id":"a7"})", R"(Variant 101#vnull||{"id":null})",
        R"(Variant 101#v|no id|{"title":"no id"})", "101 -HasVariant-> 101#v5", "101 -HasVariant-> 101#v\"a7\"",
        "101 -HasVariant-> 101#vnull", "101 -HasVariant-> 101#v", "101 -HasVariant-> 101#v",
        "101 -HasVariant-> 101#v"}},
      // "variations" stand in only when "variants" is absent.
      {R"({"id":"p","variations":[{"id":1}]})",
       {R"(Product p||{"id":"p","variations":[{"id":1}]})", R"(Variant p#v1||{"id":1})", "p -HasVariant-> p#v1"}},
      {R"({"id":"p","variants":[],"variations":[{"id":1}]})", {}},
      {R"({"id":101,"price_range":{"min":{"price":10},"max":{"price":20}}})",
       {R"(Product 101||{"id":101,"price_range":{"max":{"price":20},"min":{"price":10}}})",
        R"(Variant 101#range|price_range|{"max":{"price":20},"min":{"price":10},"price":"10","price_cents":1000,)"
        R"("price_confident":true,"price_scale":2,"price_score":3})",
        "101 -HasVariant-> 101#range"}},
      // Identity: an empty handle writes nothing; a non-string "name" hides
      // the title; an id that is no 64-bit integer falls back to the name.
      {R"({"handle":"","name":"Kettle","sku":"K1"})", {}},
      {R"({"name":7,"title":"Tee","sku":"T1"})", {}},
      {R"({"id":1.5,"name":"Mug","sku":"M1"})", {R"(Product Mug|Mug|{"id":1.5,"name":"Mug","sku":"M1"})"}},
      {R"({"id":9223372036854775808,"title":"Cup","sku":"C1"})",
       {R"(Product Cup|Cup|{"id":9223372036854775808,"sku":"C1","title":"Cup"})"}},
      // No product evidence.
      {R"({"id":5,"name":"Plain"})", {}},
      {R"({})", {}},
      {R"([{"id":5,"sku":"x"}])", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product);
    GraphBuilder builder;
    ingest_product(builder, *json::parse(c.product), PriceScale::empty(), ORIGIN);
    EXPECT_EQ(testing::dump(std::move(builder)), c.graph);
  }
}

TEST(PlatformJson, PageEvidenceDecidesWithoutReference) {
  GraphBuilder builder;
  const PriceScale scale = PriceScale::from_html(R"(<p>&euro; ok: 1.299,00 €</p> "currency":"EUR")");
  ingest_product(builder, *json::parse(R"({"id":3,"price":129900})"), scale, std::nullopt);
  EXPECT_EQ(testing::dump(std::move(builder)),
            std::vector<std::string>{R"(Product 3||{"currency":"EUR","id":3,"price":"1299","price_cents":129900,)"
                                     R"("price_confident":true,"price_scale":2,"price_score":2})"});
}

}  // namespace
}  // namespace vyr::extract::platform_json
