#include "extract/microdata.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_dump.h"

namespace vyr::extract::microdata {
namespace {

std::string opt(const std::optional<std::string>& s) { return s ? "'" + *s + "'" : "-"; }

// "name|price|currency|image|url|description|product_id", "-" for none.
std::vector<std::string> extracted(std::string_view html) {
  const html::Document doc = html::Document::parse(html);
  std::vector<std::string> out;
  for (const MicrodataProduct& p : extract_from_dom(doc)) {
    out.push_back(p.name + "|" + opt(p.price) + "|" + opt(p.currency) + "|" + opt(p.image) + "|" + opt(p.url) + "|" +
                  opt(p.description) + "|" + opt(p.product_id));
  }
  return out;
}

constexpr std::string_view OG = R"(<meta property="og:url" content="https://shop.example/p/1?ref=x">)";

TEST(Microdata, ReadsScopedProducts) {
  const struct {
    std::string html;
    std::vector<std::string> products;
  } cases[] = {
      // content, then src, then href, then trimmed text; the name element with
      // no value is passed over for the next one.
      {R"(<div itemscope itemtype="https://schema.org/Product">
            <span itemprop="name"> </span><h1 itemprop="name">  Lamp
            </h1><span itemprop="price" content="12.50">$12.50</span>
            <meta itemprop="priceCurrency" content="EUR"><img itemprop="image" src="https://cdn/a.jpg">
            <a itemprop="url" href="https://shop.example/product/lamp">x</a></div>)",
       {"Lamp|'12.50'|'EUR'|'https://cdn/a.jpg'|'https://shop.example/product/lamp'|-|-"}},
      // Two scopes, no itemprop url: both take the page URL; page-level facts
      // belong to neither.
      {std::string(OG) + R"(<meta name="description" content="d"><b data-product-id="77"></b>
            <div itemscope itemtype="http://schema.org/Product"><i itemprop="name">A</i></div>
            <div itemscope itemtype="http://schema.org/Product"><i itemprop="name">B</i></div>)",
       {"A|-|-|-|'https://shop.example/p/1?ref=x'|-|-", "B|-|-|-|'https://shop.example/p/1?ref=x'|-|-"}},
      // One scope gets the description (first of the two meta tags) and id.
      {std::string(OG) + R"(<meta property="og:description" content=" first "><meta name="description" content="second">
            <b data-product-id="77"></b><div itemscope itemtype="x/Product"><i itemprop="name">A</i></div>)",
       {"A|-|-|-|'https://shop.example/p/1?ref=x'|' first '|'77'"}},
      // Root-relative, protocol-relative and relative URLs against the og:url.
      {std::string(OG) + R"(<div itemscope itemtype="x/Product"><i itemprop="name">A</i>
            <img itemprop="image" src="/img/a.jpg"><link itemprop="url" href="//m.shop.example/p">
            </div><div itemscope itemtype="x/Product"><i itemprop="name">B</i><img itemprop="image" src="img/b.jpg">
            <a itemprop="url" href="/product/b">b</a></div>)",
       {"A|-|-|'https://shop.example/img/a.jpg'|'https://m.shop.example/p'|-|-",
        "B|-|-|'img/b.jpg'|'https://shop.example/product/b'|-|-"}},
      // Without og:url everything stays as found.
      {R"(<div itemscope itemtype="x/Product"><i itemprop="name">A</i><img itemprop="image" src="/a.jpg">
            <a itemprop="url" href="/p/a">a</a></div>)",
       {"A|-|-|'/a.jpg'|'/p/a'|-|-"}},
      // An empty content attribute is a value: the empty price.
      {R"(<div itemscope itemtype="x/Product"><i itemprop="name">A</i><b itemprop="price" content="">9</b></div>)",
       {"A|''|-|-|-|-|-"}},
      // A nested scope's fields are visible from the outer scope. Both make
      // the same product, listed once (a second upsert would change nothing);
      // they are still two products, so the page-level facts stay out.
      {R"(<meta name="description" content="d"><b data-product-id="77"></b>
            <div itemscope itemtype="x/ProductGroup"><div itemscope itemtype="x/Product"><i itemprop="name">In</i>
            <b itemprop="price">5</b></div><i itemprop="name">Out</i></div>)",
       {"In|'5'|-|-|-|-|-"}},
      // Each scope takes its own first values in document order: the outer
      // one keeps its earlier name and takes the inner price; a later sibling
      // scope sees none of the first one's values.
      {R"(<div itemscope itemtype="x/Product"><i itemprop="name">Outer</i>
            <div itemscope itemtype="x/Product"><i itemprop="name">Inner</i><b itemprop="price">1</b></div>
            <b itemprop="price">2</b><div itemscope itemtype="x/Product"><i itemprop="name">Sib</i></div></div>
            <div itemscope itemtype="x/Product"><b itemprop="price">3</b></div><i itemprop="name">After</i>)",
       {"Outer|'1'|-|-|-|-|-", "Inner|'1'|-|-|-|-|-", "Sib|-|-|-|-|-|-"}},
      // The selector value test is exact: "product" is no Product scope, so
      // the page-level product is built instead.
      {R"(<div itemscope itemtype="x/product"><i itemprop="name">A</i></div>)", {"A|-|-|-|-|-|-"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(extracted(c.html), c.products);
  }
}

TEST(Microdata, FallsBackToThePageLevelProduct) {
  const struct {
    std::string html;
    std::vector<std::string> products;
  } cases[] = {
      {std::string(OG) + R"(<h1 itemprop="name">Chair</h1><b itemprop="price">19</b><img itemprop="image" src="/c.jpg">
            <a itemprop="url" href="/ignored">u</a><meta name="description" content="A chair">)",
       {"Chair|'19'|-|'https://shop.example/c.jpg'|'https://shop.example/p/1?ref=x'|'A chair'|-"}},
      // A scope without a name yields nothing; the document's first name is
      // then read, wherever it is.
      {R"(<div itemscope itemtype="x/Product"><b itemprop="price">1</b></div><i itemprop="name">Late</i>)",
       {"Late|'1'|-|-|-|-|-"}},
      {R"(<div itemscope itemtype="x/Product"><i itemprop="name">  </i></div>)", {}},
      {"<p>no microdata</p>", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(extracted(c.html), c.products);
  }
}

TEST(Microdata, PageProductIdFromBuyButtons) {
  const struct {
    std::string_view attrs, id;
  } cases[] = {
      {R"(data-addtocart='{"id":123}')", "'123'"},
      {R"(data-addtocart='{"id":-7}')", "'-7'"},
      {R"(data-addtocart="{&quot;id&quot;:&quot;SKU-1&quot;}")", "'SKU-1'"},
      {R"(data-addtocart='{"id":""}')", "'fallback'"},
      {R"(data-addtocart='{"id":1.5}')", "'fallback'"},
      {R"(data-addtocart='{"id":[1]}')", "'fallback'"},
      {R"(data-addtocart='{"id":1')", "'fallback'"},
      {R"(data-addtocart='[{"id":1}]')", "'fallback'"},
      {R"(data-addtocart)", "'fallback'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attrs);
    // Only the first data-addtocart element is read.
    const std::string html = "<button " + std::string(c.attrs) + R"(></button><button data-addtocart='{"id":9}'>)" +
                             R"(<i data-product-id="fallback"></i><b itemprop="name">N</b>)";
    EXPECT_EQ(extracted(html), std::vector<std::string>{"N|-|-|-|-|-|" + std::string(c.id)});
  }
  EXPECT_EQ(extracted(R"(<i data-product-id=""></i><b itemprop="name">N</b>)"), std::vector<std::string>{"N|-|-|-|-|-|-"});
}

MicrodataProduct product(std::string name, std::optional<std::string> price, std::optional<std::string> url,
                         std::optional<std::string> product_id = std::nullopt) {
  MicrodataProduct p;
  p.name = std::move(name);
  p.price = std::move(price);
  p.url = std::move(url);
  p.product_id = std::move(product_id);
  return p;
}

TEST(Microdata, IngestsProductsWithEvidence) {
  const std::string unpriced = R"(,"price_cents":1250,"price_confident":false,"price_scale":2,"price_score":0)";
  MicrodataProduct full = product("Lamp", "12.5", "https://s/x", "P1");
  full.currency = "GBP";
  full.image = "https://s/a.jpg";
  full.description = "\xC2\xA0 Bright lamp \n";
  MicrodataProduct blank_description = product("Mug", "3", std::nullopt);
  blank_description.description = " \t";
  const struct {
    std::string_view what;
    std::vector<MicrodataProduct> products;
    std::vector<std::string> nodes;
  } cases[] = {
      {"id from product id; description trimmed; own currency over the page's",
       {full},
       {R"(Product P1|Lamp|{"currency":"GBP","description":"Bright lamp","image":"https://s/a.jpg","price":"12.50")" +
        unpriced + R"(,"product_id":"P1","url":"https://s/x"})"}},
      {"id from url, else name; a blank description is left out",
       {product("Chair", "19", "https://s/product/c"), blank_description},
       {R"(Product https://s/product/c|Chair|{"currency":"EUR","price":"19","price_cents":1900,"price_confident":false,"price_scale":2,"price_score":0,"url":"https://s/product/c"})",
        R"(Product Mug|Mug|{"currency":"EUR","price":"3","price_cents":300,"price_confident":false,"price_scale":2,"price_score":0})"}},
      {"no evidence: an empty price gives no verdict, and a plain url is none",
       {product("A", "", "https://s/a"), product("B", std::nullopt, "https://s/about"), product("C", "n/a", std::nullopt)},
       {}},
      {"a product url is evidence; two products with one url are one node",
       {product("First", std::nullopt, "https://s/products/x"), product("", std::nullopt, "https://s/products/x")},
       {R"(Product https://s/products/x|First|{"url":"https://s/products/x"})"}},
  };
  // The page shows a euro sign and no amount that matches: currency EUR,
  // score 0.
  const PriceScale scale = PriceScale::from_html("<p>\xE2\x82\xAC</p>");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    GraphBuilder b;
    ingest_microdata(b, c.products, scale);
    EXPECT_EQ(testing::dump(std::move(b)), c.nodes);
    // Recorded on an extraction thread and replayed: the same graph.
    RecordedWrites writes;
    ingest_microdata(writes, c.products, scale);
    GraphBuilder replayed;
    writes.replay(replayed);
    EXPECT_EQ(testing::dump(std::move(replayed)), c.nodes);
  }
}

TEST(Microdata, Absolutize) {
  const struct {
    std::string_view url;
    std::optional<std::string_view> base;
    std::string_view out;
  } cases[] = {
      {"/a.jpg", "https://s.example/p/1", "https://s.example/a.jpg"},
      {"//cdn.example/a.jpg", "https://s.example/p/1", "https://cdn.example/a.jpg"},
      {"//cdn.example/a.jpg", "s.example", "s.example://cdn.example/a.jpg"},
      {"/a.jpg", "s.example/p", "/a.jpg"},
      {"/a.jpg", "https:///p", "/a.jpg"},
      {"http://x/a.jpg", "https://s.example", "http://x/a.jpg"},
      {"httpx", "https://s.example", "httpx"},
      {"a.jpg", "https://s.example/p/", "a.jpg"},
      {"data:image/png;base64,AA", "https://s.example", "data:image/png;base64,AA"},
      {"#top", "https://s.example", "#top"},
      {"", "https://s.example", ""},
      {"/a.jpg", std::nullopt, "/a.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(absolutize(c.url, c.base), c.out);
  }
}

}  // namespace
}  // namespace vyr::extract::microdata
