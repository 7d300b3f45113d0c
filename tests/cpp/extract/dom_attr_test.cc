#include "extract/dom_attr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_dump.h"

namespace vyr::extract::dom_attr {
namespace {

std::vector<std::string> found(std::string_view html) {
  std::vector<std::string> texts;
  for (const json::Value& v : find_ga_products(html)) texts.push_back(json::to_text(v));
  return texts;
}

TEST(DomAttr, FindsGaProductAttributes) {
  const struct {
    std::string_view html;
    std::vector<std::string> values;
  } cases[] = {
      {R"(<li data-ga-product='{"id":"a"}'></li><li data-ga-product='{"id":"b",}'></li><li ga-product='{"id":"c"}'></li>)",
       {R"({"id":"a"})", R"({"id":"c"})"}},
      {R"(<li data-ga-product='[1,2]'></li><li data-ga-product=' 7 '></li>)", {"[1,2]", "7"}},
      // Not decoded, not double-quoted, not another case.
      {R"(<li data-ga-product='{&quot;id&quot;:&quot;a&quot;}'></li>)", {}},
      {R"(<li data-ga-product="{&quot;id&quot;:&quot;a&quot;}"></li><li data-GA-product='{"id":"a"}'></li>)", {}},
      // A value holding a single quote ends early and fails; the rest of the
      // page is still searched, from just after the closing quote.
      {R"(<li data-ga-product='{"title":"it's"}'></li><li data-ga-product='"x"'></li>)", {R"("x")"}},
      // A marker without a closing quote ends the search.
      {R"(<li data-ga-product='{"id":"a"}'></li><li data-ga-product='{"id":"b"})", {R"({"id":"a"})"}},
      {"ga-product='", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(found(c.html), c.values);
  }
}

TEST(DomAttr, IngestsProductsAndVariations) {
  const std::string unpriced = R"("price_cents":1250,"price_confident":false,"price_scale":2,"price_score":0)";
  const struct {
    std::string_view product;
    std::vector<std::string> nodes;
  } cases[] = {
      // The product's props are the object as found, its price untouched;
      // variations are priced.
      {R"({"id":"12","title":"Tee","price":"12.5","variations":"[{\"key\":\"s\",\"price\":\"12.5\"},{\"key\":\"m\",\"price\":12.5},{\"key\":\"\"},{\"price\":1},[],\"l\"]"})",
       {R"(Product 12|Tee|{"id":"12","price":"12.5","title":"Tee","variations":"[{\"key\":\"s\",\"price\":\"12.5\"},{\"key\":\"m\",\"price\":12.5},{\"key\":\"\"},{\"price\":1},[],\"l\"]"})",
        R"(Variant 12#vs||{"key":"s","price":"12.50",)" + unpriced + "}",
        R"(Variant 12#vm||{"key":"m","price":"12.50",)" + unpriced + "}", "12 -HasVariant-> 12#vs",
        "12 -HasVariant-> 12#vm"}},
      // A variation without a price gets no price keys.
      {R"({"id":"p","variations":"[{\"key\":\"k\",\"price_cents\":5}]"})",
       {R"(Product p||{"id":"p","variations":"[{\"key\":\"k\",\"price_cents\":5}]"})",
        R"(Variant p#vk||{"key":"k","price_cents":5})", "p -HasVariant-> p#vk"}},
      // Variations already decoded, or not a JSON array: none.
      {R"({"id":"p","variations":[{"key":"k"}]})", {R"(Product p||{"id":"p","variations":[{"key":"k"}]})"}},
      {R"({"id":"p","variations":"{\"key\":\"k\"}"})", {R"(Product p||{"id":"p","variations":"{\"key\":\"k\"}"})"}},
      {R"({"id":"p","title":7,"variations":"[{"})", {R"(Product p||{"id":"p","title":7,"variations":"[{"})"}},
      // Only a non-empty string id is used.
      {R"({"id":12,"title":"Tee"})", {}},
      {R"({"id":"","title":"Tee"})", {}},
      {R"({})", {}},
      {R"([{"id":"a"}])", {}},
      {"7", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product);
    GraphBuilder b;
    ingest_ga_product(b, json::parse(c.product).value(), PriceScale::empty());
    EXPECT_EQ(testing::dump(std::move(b)), c.nodes);
    // Recorded on an extraction thread and replayed: the same graph.
    RecordedWrites writes;
    ingest_ga_product(writes, json::parse(c.product).value(), PriceScale::empty());
    GraphBuilder replayed;
    writes.replay(replayed);
    EXPECT_EQ(testing::dump(std::move(replayed)), c.nodes);
  }
}

}  // namespace
}  // namespace vyr::extract::dom_attr
