#include "extract/hypernova.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/pipeline.h"
#include "graph_dump.h"

namespace vyr::extract::hypernova {
namespace {

constexpr std::string_view PAYLOAD = R"({"props":{"page":{"products":[{"id":1}],"url":"https://shop.example/l"}}})";

std::string script(std::string_view body) {
  return R"(<script type="application/json" data-hypernova-key="landingdesktopApp">)" + std::string(body) +
         "</script>";
}

std::string repeated(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// "products|url", or "-" when nothing is found.
std::string found(std::string_view html) {
  auto payload = find_hypernova(html);
  if (!payload) return "-";
  return json::to_text(json::Value(json::Array(payload->products))) + "|" + payload->page_url;
}

TEST(Hypernova, FindsThePayload) {
  const std::string ok = R"([{"id":1}]|https://shop.example/l)";
  const struct {
    std::string html;
    std::string expected;
  } cases[] = {
      {script("<!--" + std::string(PAYLOAD) + "-->"), ok},
      {script(std::string(PAYLOAD)), ok},
      {script("\n \xE3\x80\x80<!--<!-- " + std::string(PAYLOAD) + " -->-->\n"), ok},
      // A marker outside a script tag is passed over for the next one.
      {R"(<div data-hypernova-key="landingdesktopApp"></div>)" + script(std::string(PAYLOAD)), ok},
      {R"(<div data-hypernova-key="landingdesktopApp">)" + std::string(PAYLOAD) + "</script>", "-"},
      {"<div " + repeated(R"(data-hypernova-key="landingdesktopApp" )", 1000) + ">" + script(std::string(PAYLOAD)), ok},
      {R"({"props":{"page":{"products":[{"id":2}]}}})", "-"},
      {script(R"({"props":{"page":{"products":[{"id":2}],"url":5}}})"), R"([{"id":2}]|)"},
      {script(R"({"props":{"page":{"products":[]}}})"), "[]|"},
      // Other markers, shapes and broken payloads give nothing.
      {R"(<script data-hypernova-key='landingdesktopApp'>)" + std::string(PAYLOAD) + "</script>", "-"},
      {R"(<script data-hypernova-key="landingmobileApp">)" + std::string(PAYLOAD) + "</script>", "-"},
      {R"(<script data-hypernova-key="landingdesktopApp">)" + std::string(PAYLOAD), "-"},
      {R"(<script data-hypernova-key="landingdesktopApp")", "-"},
      {script("<!-" + std::string(PAYLOAD) + "-->"), "-"},
      {script("<!--" + std::string(PAYLOAD).substr(0, 40) + "-->"), "-"},
      {script(R"({"props":{"page":{"products":{"id":1}}}})"), "-"},
      {script(R"({"props":{"page":[{"products":[]}]}})"), "-"},
      {script(R"({"props":[]})"), "-"},
      {script("[1]"), "-"},
      {script(std::string(1000, '[') + std::string(1000, ']')), "-"},
      {script(""), "-"},
      {"", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(found(c.html), c.expected);
  }
}

TEST(Hypernova, IngestsProducts) {
  const struct {
    std::string_view products, page_url;
    std::vector<std::string> graph;
  } cases[] = {
      // The first description image stands in for a missing image.
      {R"([{"id":7,"title":"Shoe","imageDesc2":"/img/s.jpg","color":"red"}])", "",
       {R"(Product 7|Shoe|{"image":"https://shop.example/img/s.jpg"})"}},
      // The product's own image wins; the gallery lists description images first.
      {R"([{"id":"h1","title":"Hat","image":"//cdn.example/h.jpg","imageDesc1":"/d1.jpg","imageDesc3":"",)"
       R"("imageDesc5":"/d5.jpg","imageDesc6":"/d6.jpg"}])",
       "",
       {R"(Product h1|Hat|{"image":"https://cdn.example/h.jpg","images":["https://shop.example/d1.jpg",)"
        R"("https://shop.example/d5.jpg","https://cdn.example/h.jpg"]})"}},
      {R"([{"id":3,"title":"Bag","price":"1,299"}])", "https://shop.example/l",
       {R"(Product 3|Bag|{"price":"1299","price_cents":129900,"price_confident":true,"price_scale":2,)"
        R"("price_score":2,"url":"https://shop.example/l"})"}},
      // Ids: a non-integer id or one beyond 64 bits falls back to the title.
      {R"([{"id":1.5,"title":"","price":5}, {"id":1.5,"title":"Cap","price":5},)"
       R"({"id":9223372036854775808,"title":"Big","price":5}])",
       "",
       {R"(Product Cap|Cap|{"price":"5","price_cents":500,"price_confident":false,"price_scale":2,"price_score":0})",
        R"(Product Big|Big|{"price":"5","price_cents":500,"price_confident":false,"price_scale":2,"price_score":0})"}},
      // No product evidence, or not a product object at all.
      {R"([{"id":9,"title":"Plain"}, {}, 5, "x", null])", "https://shop.example/landing", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.products);
    GraphBuilder builder;
    const json::Value products = *json::parse(c.products);
    ingest_hypernova(builder, products.as_array(), PriceScale::from_html("<p>$1,299</p>"), c.page_url,
                     "https://shop.example");
    EXPECT_EQ(testing::dump(std::move(builder)), c.graph);
  }
}

// Broken payloads of either raw-text source leave their own page empty and
// the rest of the batch intact.
TEST(Hypernova, BrokenPayloadsDoNotStopOtherPages) {
  const std::vector<std::string> pages = {
      R"(<script data-hypernova-key="landingdesktopApp"><!-- {"props":{"page":{"products":[{"id":1,"price":5})",
      // The comment is not closed, so the payload is no JSON; its products
      // array is still found by the storefront scan.
      script(R"(<!-- {"props":{"page":{"products":[{"id":1,"price":5}]}}} --)"),
      R"(<script>var s = {"products":[[{"id":1,"sku":"a"}, "goods": [{"id":2,"sku":"b"}};</script>)",
      R"(<script>var s = {"products":)" + std::string(20000, '[') + std::string(20000, ']') + "};</script>",
      script(R"({"props":{"page":{"products":[{"id":"hn","title":"Hn","price":"5.50"}]}}})"),
      R"(<script>var s = {"products":[{"id":"pj","sku":"P-1"}]};</script>)",
  };
  GraphBuilder builder;
  ingest_pages_into(builder, pages);
  EXPECT_EQ(testing::dump(std::move(builder)),
            (std::vector<std::string>{
                R"(Product 1||{"id":1,"price":"5","price_cents":500,"price_confident":false,"price_scale":2,)"
                R"("price_score":0})",
                R"(Product hn|Hn|{"price":"5.50","price_cents":550,"price_confident":false,"price_scale":2,)"
                R"("price_score":0})",
                R"(Product pj||{"id":"pj","sku":"P-1"})"}));
}

}  // namespace
}  // namespace vyr::extract::hypernova
