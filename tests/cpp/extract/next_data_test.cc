#include "extract/next_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_dump.h"

namespace vyr::extract::next_data {
namespace {

json::Value parse_json(std::string_view text) {
  std::optional<json::Value> v = json::parse(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v.value_or(json::Value());
}

TEST(NextData, FindsThePayload) {
  const std::string deep = std::string(200, '[') + std::string(200, ']');
  const struct {
    std::string html;
    std::optional<std::string_view> payload;
  } cases[] = {
      {R"(<script id="__NEXT_DATA__" type="application/json">{"props":{"a":1}}</script>)", R"({"props":{"a":1}})"},
      // Unicode white space around the JSON is trimmed.
      {"<script id=\"__NEXT_DATA__\">\xC2\xA0\n [1] \xE3\x80\x80</script>", "[1]"},
      {R"(<script id='__NEXT_DATA__'>{"a":1}</script>)", std::nullopt},
      {R"(<script id="__NEXT_DATA__">{"a":1})", std::nullopt},
      {R"(<script id="__NEXT_DATA__")", std::nullopt},
      {R"(<script id="__NEXT_DATA__">{"a":[1,2}</script>)", std::nullopt},
      {R"(<script id="__NEXT_DATA__"><!-- {"a":1} --></script>)", std::nullopt},
      {R"(<script id="__NEXT_DATA__"></script>)", std::nullopt},
      // Only the first marker is read.
      {R"(<div id="__NEXT_DATA__">x</div><script id="__NEXT_DATA__">{"a":1}</script>)", std::nullopt},
      {"<script id=\"__NEXT_DATA__\">" + deep + "</script>", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    std::optional<json::Value> v = find_next_data(c.html);
    ASSERT_EQ(v.has_value(), c.payload.has_value());
    if (v) {
      EXPECT_EQ(json::to_text(*v), *c.payload);
    }
  }
}

std::vector<std::string> walked(std::string_view payload) {
  std::vector<json::Value> out;
  walk(parse_json(payload), out);
  std::vector<std::string> texts;
  for (const json::Value& v : out) texts.push_back(json::to_text(v));
  return texts;
}

TEST(NextData, WalkCollectsProductGroups) {
  const struct {
    std::string_view payload;
    std::vector<std::string> products;
  } cases[] = {
      {R"({"props":{"pageProps":{"data":[{"title":"A","price":1},{"title":"B","price":2}]}}})",
       {R"({"price":1,"title":"A"})", R"({"price":2,"title":"B"})"}},
      // Any ASCII case, any key containing a needle.
      {R"([{"displayName":"A","salePrice":1},{"SubTitle":"B","COSTPERITEM":2},{"NAME":"C","amountOff":3}])",
       {R"({"displayName":"A","salePrice":1})", R"({"COSTPERITEM":2,"SubTitle":"B"})", R"({"NAME":"C","amountOff":3})"}},
      // One element without a price-like key: the array is walked instead,
      // and the nested array is collected; a collected array is not entered.
      {R"([{"title":"A","price":1},{"title":"B","related":[{"name":"R","priceRange":[{"name":"x","price":0}]}]}])",
       {R"({"name":"R","priceRange":[{"name":"x","price":0}]})"}},
      // A map of ids to products under a collection key, in key order.
      {R"({"goods":{"b":{"name":"B","price":2},"a":{"name":"A","price":1}}})",
       {R"({"name":"A","price":1})", R"({"name":"B","price":2})"}},
      {R"({"items":{"b":{"name":"B","price":2},"a":{"name":"A","price":1}}})", {}},
      // Under "products" an array follows the array rule; a mixed map is walked.
      {R"({"products":[{"name":"A","price":1}],"productList":{"a":{"name":"A","price":1},"n":5}})",
       {R"({"name":"A","price":1})"}},
      // Products come out in key order of the objects that hold them.
      {R"({"z":[{"name":"Z","price":1}],"a":{"k":[{"name":"A","price":1}]}})",
       {R"({"name":"A","price":1})", R"({"name":"Z","price":1})"}},
      {R"({"product":{"name":"Solo","price":1}})", {}},
      {R"({"a":[],"b":{},"c":[1,"x",null],"products":{}})", {}},
      {R"([[{"title":"A","amount":1}]])", {R"({"amount":1,"title":"A"})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    EXPECT_EQ(walked(c.payload), c.products);
  }
}

TEST(NextData, WalkSurvivesNestingBeyondTheParserLimit) {
  // [{"k":[{"k":...[{"name":"Deep","price":1}]...},1]},1], built by moves.
  json::Value v(json::Array{parse_json(R"({"name":"Deep","price":1})")});
  for (int i = 0; i < 100000; ++i) {
    json::Object o;
    o.set("k", std::move(v));
    json::Array a;
    a.push_back(json::Value(std::move(o)));
    a.push_back(json::Value(1));
    v = json::Value(std::move(a));
  }
  std::vector<json::Value> out;
  walk(v, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(json::to_text(out[0]), R"({"name":"Deep","price":1})");
  // json::Value's destructor recurses; take the value apart level by level.
  while (v.is_array() && !v.as_array().empty() && v.as_array()[0].is_object()) {
    json::Value* k = v.as_array()[0].as_object().find("k");
    if (k == nullptr) break;
    json::Value next = std::move(*k);
    v = std::move(next);
  }
}

TEST(NextData, IngestsProductsAndVariants) {
  const std::string unpriced = R"("price_cents":1250,"price_confident":false,"price_scale":2,"price_score":0)";
  const struct {
    std::string_view product;
    std::vector<std::string> nodes;
  } cases[] = {
      {R"({"id":42,"title":"Shoe","price":"12.5","variants":[{"id":"a","title":"Red","price":12.5},{"sku":"S-2"},7]})",
       {R"(Product 42|Shoe|{"id":42,"price":"12.50",)" + unpriced +
            R"(,"title":"Shoe","variants":[{"id":"a","price":12.5,"title":"Red"},{"sku":"S-2"},7]})",
        R"(Variant 42#va|Red|{"id":"a","price":"12.50",)" + unpriced + R"(,"title":"Red"})",
        R"(Variant 42#vS-2||{"sku":"S-2"})", "42 -HasVariant-> 42#va", "42 -HasVariant-> 42#vS-2"}},
      // Numeric and empty variant ids give the bare suffix: both land on one
      // node (props merged, the empty id skipped), with two edges.
      {R"({"id":"p","name":"P","skus":[{"id":1,"name":"One"},{"id":"","sku":"x"}]})",
       {R"(Product p|P|{"id":"p","name":"P","skus":[{"id":1,"name":"One"},{"id":"","sku":"x"}]})",
        R"(Variant p#v|One|{"id":1,"name":"One","sku":"x"})", "p -HasVariant-> p#v", "p -HasVariant-> p#v"}},
      // Ids: a float, a huge integer and an empty string pass on.
      {R"({"productId":1.5,"id":"","sku":"X1","name":"N"})", {R"(Product X1|N|{"id":"","name":"N","productId":1.5,"sku":"X1"})"}},
      {R"({"id":18446744073709551615,"handle":"h","title":"T"})",
       {R"(Product h|T|{"handle":"h","id":18446744073709551615,"title":"T"})"}},
      {R"({"id":-3,"title":"T"})", {R"(Product -3|T|{"id":-3,"title":"T"})"}},
      // No id: the name; a non-string name key is passed over.
      {R"({"name":5,"productName":"Hat"})", {R"(Product Hat|Hat|{"name":5,"productName":"Hat"})"}},
      {R"({"id":1.5,"title":""})", {}},
      {R"({})", {}},
      {R"([{"id":"x"}])", {}},
      // The first present price key decides, whatever its type.
      {R"({"id":"p","price":{"v":1},"salePrice":"9"})", {R"(Product p||{"id":"p","price":{"v":1},"salePrice":"9"})"}},
      // A variant key holding another type is passed over; an empty array
      // is taken as found.
      {R"({"id":"p","variants":"x","options":[{"id":"o"}]})",
       {R"(Product p||{"id":"p","options":[{"id":"o"}],"variants":"x"})", R"(Variant p#vo||{"id":"o"})",
        "p -HasVariant-> p#vo"}},
      {R"({"id":"p","variations":[],"options":[{"id":"o"}]})", {R"(Product p||{"id":"p","options":[{"id":"o"}],"variations":[]})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product);
    GraphBuilder b;
    ingest_next_product(b, parse_json(c.product), PriceScale::empty());
    EXPECT_EQ(testing::dump(std::move(b)), c.nodes);
    // Recorded on an extraction thread and replayed: the same graph.
    RecordedWrites writes;
    ingest_next_product(writes, parse_json(c.product), PriceScale::empty());
    GraphBuilder replayed;
    writes.replay(replayed);
    EXPECT_EQ(testing::dump(std::move(replayed)), c.nodes);
  }
}

}  // namespace
}  // namespace vyr::extract::next_data
