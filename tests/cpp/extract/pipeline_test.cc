#include "extract/pipeline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "graph_dump.h"

namespace vyr::extract {
namespace {

json::Object obj(std::string_view text) {
  std::optional<json::Value> v = json::parse(text);
  EXPECT_TRUE(v && v->is_object()) << text;
  return v && v->is_object() ? v->as_object() : json::Object();
}

std::string opt(const std::optional<std::string>& s) { return s ? *s : "<none>"; }

std::string jsonld(std::string_view block) {
  return "<script type=\"application/ld+json\">" + std::string(block) + "</script>";
}

const char* outcome(const PageExtract& e) {
  static const char* const NAMES[] = {"Platform", "Analytics", "NextData", "Microdata", "JsonLd", "Hypernova", "Empty"};
  return NAMES[e.index()];
}

TEST(Pipeline, ProductSignal) {
  const struct {
    std::string_view object;
    bool signal;
  } cases[] = {
      {R"({"price_cents":0})", true},
      {R"({"price_cents":null})", false},
      {R"({"price":"1"})", true},
      {R"({"price":""})", false},
      {R"({"price":12})", false},
      {R"({"image":"x"})", true},
      {R"({"sku":"s"})", true},
      {R"({"gtin":"1"})", true},
      {R"({"gtin13":"1"})", true},
      {R"({"mpn":"m"})", true},
      {R"({"sku":"","gtin":1,"mpn":null})", false},
      {R"({"url":"https://s/products/1"})", true},
      {R"({"url":"https://s/product/1"})", true},
      {R"({"url":"https://s/Product/1"})", false},
      {R"({"url":["https://s/product/1"]})", false},
      {R"({"name":"A","gtin14":"1"})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.object);
    EXPECT_EQ(has_product_signal(obj(c.object)), c.signal);
  }
}

TEST(Pipeline, CanonicalUrl) {
  const struct {
    std::string_view html, url;
  } cases[] = {
      {R"(<link rel="canonical" href="https://s/p/1">)", "https://s/p/1"},
      {R"(<link href=' https://s/p/1 ' rel="canonical">)", "https://s/p/1"},
      // A relative double-quoted link is skipped for a later single-quoted one.
      {R"(<link rel="canonical" href="/p/1"><p>x</p><link rel='canonical' href="https://s/p/2">)", "https://s/p/2"},
      {R"(<link rel="canonical" href="/p/1"><link rel="canonical" href="http://s/p/3">)", "http://s/p/3"},
      // Double-quoted forms are exhausted first: an earlier single-quoted one is missed.
      {R"(<link rel='canonical' href="https://s/a"><link rel="canonical" href="/b">)", "<none>"},
      {R"(<link rel="canonical" href=https://s/p/1>)", "<none>"},
      {R"(<link rel="canonical" href="http">)", "http"},
      {R"(<link rel="canonical" href="htt">)", "<none>"},
      {R"(<link rel="canonical")", "<none>"},
      {R"(rel="canonical" href="https://s/no-tag-start")", "https://s/no-tag-start"},
      {"<p>no link</p>", "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(opt(page_canonical_url(c.html)), c.url);
  }
}

TEST(Pipeline, OriginFromOgUrl) {
  const struct {
    std::string_view html, origin;
  } cases[] = {
      {R"(<meta property="og:url" content="https://shop.example/p/1?x=2">)", "https://shop.example"},
      {R"(<meta property='og:url' content=' https://shop.example/p/1 '>)", "https://shop.example"},
      {R"(<meta content="https://first.example/" property="og:url">)", "<none>"},  // content= must follow og:url
      // The search for content= runs on past the tag.
      {R"(<meta property="og:url"><meta name="x" content="http://other.example/y">)", "http://other.example"},
      {R"(<meta property="og:url" content=https://shop.example/>)", "<none>"},
      {R"(<meta property="og:url" content="/p/1">)", "<none>"},
      {R"(<meta property="og:url" content="https://shop.example)", "<none>"},
      {"<p>og:url</p>", "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(opt(page_origin(c.html)), c.origin);
    EXPECT_EQ(opt(extract_page(c.html).meta.origin), c.origin);
  }
}

TEST(Pipeline, SelectsOneSourcePerPage) {
  const std::string product = jsonld(R"({"@type":"Product","name":"A","sku":"S1"})");
  const std::string bare = jsonld(R"({"@type":"Product","name":"A"})");
  const std::string org = jsonld(R"([{"@type":"Organization","name":"O"},{"@type":"BreadcrumbList"}])");
  const std::string next = R"(<script id="__NEXT_DATA__" type="application/json">
      {"props":{"pageProps":{"items":[{"id":"n1","name":"N","price":"3.00","sku":"x"}]}}}</script>)";
  const std::string microdata = R"(<div itemscope itemtype="https://schema.org/Product">
      <span itemprop="name">M</span><span itemprop="price" content="4.00"></span></div>)";
  const std::string ga = R"(<div data-ga-product='{"id":"g1","title":"G"}'></div>)";
  const std::string canonical = R"(<link rel="canonical" href="https://s/products/a">)";
  const struct {
    std::string html;
    std::string_view outcome;
    size_t objects;  // records of the outcome
    bool canonical;
  } cases[] = {
      {canonical + product + next, "JsonLd", 1, true},
      {canonical + bare + next, "NextData", 1, false},
      {canonical + org, "JsonLd", 2, true},
      {canonical + bare, "JsonLd", 1, true},
      {canonical + bare + microdata, "Microdata", 1, false},
      {canonical + ga + bare + org, "Analytics", 1, true},
      {canonical + ga, "Analytics", 0, false},
      // Lower-case type text is matched by the selector but not by the cheap
      // gate of the first stage: the page is read by the last stage.
      {canonical + R"(<script type="Application/LD+JSON">{"@type":"Product","sku":"S"}</script>)", "JsonLd", 1, true},
      {"<p>nothing</p>", "Empty", 0, false},
      {"", "Empty", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    const PageResult r = extract_page(c.html);
    EXPECT_EQ(std::string(outcome(r.extract)), c.outcome);
    size_t objects = 0;
    if (const auto* j = std::get_if<page::JsonLd>(&r.extract)) objects = j->objects.size();
    if (const auto* a = std::get_if<page::Analytics>(&r.extract)) objects = a->jsonld.size();
    if (const auto* n = std::get_if<page::NextData>(&r.extract)) objects = n->products.size();
    if (const auto* m = std::get_if<page::Microdata>(&r.extract)) objects = m->products.size();
    EXPECT_EQ(objects, c.objects);
    EXPECT_EQ(r.meta.canonical_url.has_value(), c.canonical);
  }
}

TEST(Pipeline, EmptyPagesGetNoPriceEvidence) {
  EXPECT_FALSE(extract_page("<p>$100 and $200</p>").scale.has_amounts());
  EXPECT_TRUE(extract_page("<p>$100 and $200</p>" + jsonld(R"({"@type":"Product","sku":"S"})")).scale.has_amounts());
}

std::vector<std::string> built(const std::vector<std::string>& pages) {
  GraphBuilder builder;
  ingest_pages_into(builder, pages);
  return testing::dump(std::move(builder));
}

TEST(Pipeline, CanonicalReachesOnlyASingleProduct) {
  const std::string canonical = R"(<link rel="canonical" href="https://s/products/x">)";
  const std::vector<std::string> one =
      built({canonical + jsonld(R"([{"@type":"Product","sku":"A"},{"@type":"ProductGroup","hasVariant":[]}])")});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_NE(one[0].find(R"("url":"https://s/products/x")"), std::string::npos) << one[0];
  const std::vector<std::string> two = built({canonical + jsonld(R"({"@type":"Product","sku":"A"})") +
                                              jsonld(R"({"@type":"Product","sku":"B"})")});
  ASSERT_EQ(two.size(), 2u);
  for (const std::string& line : two) EXPECT_EQ(line.find("\"url\""), std::string::npos) << line;
}

TEST(Pipeline, BatchFoldsInPageOrder) {
  // Many pages describing one product: the last page's values win, whatever
  // the order in which the workers finished.
  std::vector<std::string> pages;
  for (int i = 0; i < 400; ++i) {
    pages.push_back(jsonld(R"({"@type":"Product","sku":"S","name":"v)" + std::to_string(i) + R"(","color":")" +
                           (i % 2 ? "red" : "") + R"("})") +
                    std::string(static_cast<size_t>(i % 7) * 3000, ' '));
  }
  const std::vector<std::string> lines = built(pages);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], R"(Product S|v399|{"@type":"Product","color":"red","name":"v399","sku":"S"})");
  EXPECT_TRUE(built({}).empty());
}

TEST(Pipeline, RecordedWritesReplayAsDirectIngestion) {
  const std::string canonical = R"(<link rel="canonical" href="https://s/products/x">)";
  const std::vector<std::string> pages = {
      canonical + jsonld(R"({"@type":"Product","name":"A","brand":"B","manufacturer":{"name":"B"},
          "offers":[{"price":"3"},{"price":"4"}],"aggregateRating":{"ratingValue":4},
          "review":[{"author":"Ann","reviewBody":"ok"},{"author":{"name":"Bo"}}]})"),
      jsonld(R"({"@type":"ProductGroup","productGroupID":"G","hasVariant":[{"@type":"Product","sku":"V"}]})"),
      canonical + R"(<div data-ga-product='{"id":"g1","title":"G","variations":"[{\"key\":\"s\",\"price\":2}]"}'></div>)" +
          jsonld(R"({"@type":"Product","name":"C"})"),
      "<p>$5</p>" + jsonld(R"([{"@type":"Organization","name":"O"},{"@type":"Product","name":"D","offers":{"url":"https://s/product/d"}}])"),
      R"(<div itemscope itemtype="https://schema.org/Product"><span itemprop="name">M</span>
         <span itemprop="price" content="4.00"></span></div>)",
      R"(<script id="__NEXT_DATA__" type="application/json">{"props":{"items":[{"id":"n1","name":"N","price":"3.00"}]}}</script>)",
  };
  GraphBuilder replayed, direct;
  for (const std::string& html : pages) {
    PageResult r = extract_page(html);
    ASSERT_TRUE(r.writes.has_value()) << html;
    ingest_into(replayed, r);
    r.writes.reset();
    ingest_into(direct, r);
  }
  const std::vector<std::string> lines = testing::dump(std::move(replayed));
  EXPECT_EQ(lines.size(), 28u) << ::testing::PrintToString(lines);  // 17 nodes, 11 edges
  EXPECT_EQ(lines, testing::dump(std::move(direct)));
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vyr-pipeline-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name, std::string_view bytes) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(Pipeline, DirectoryBuildSkipsUnreadableFilesAndRepairsText) {
  TempDir dir;
  std::vector<std::string> paths = {
      dir.file("a.html", jsonld(R"({"@type":"Product","sku":"A","name":"caf)" "\xE9" R"("})")),  // Latin-1 byte
      dir.path() + "/missing.html",
      dir.file("empty.html", ""),
      dir.file("b.htm", jsonld(R"({"@type":"Product","sku":"B"})")),
  };
  std::filesystem::create_directory(dir.path() + "/dir.html");
  paths.push_back(dir.path() + "/dir.html");
  ::testing::internal::CaptureStderr();
  const std::vector<std::string> lines = testing::dump(build_from_files(paths));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "vyr: skip \"" + dir.path() + "/missing.html\": No such file or directory (os error 2)\n" +
                     "vyr: skip \"" + dir.path() + "/dir.html\": No such device (os error 19)\n");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Product A|caf\xEF\xBF\xBD|{\"@type\":\"Product\",\"name\":\"caf\xEF\xBF\xBD\",\"sku\":\"A\"}",
                       R"(Product B||{"@type":"Product","sku":"B"})",
                   }));
  EXPECT_TRUE(testing::dump(build_from_files({})).empty());
}

TEST(Pipeline, HostilePagesFinish) {
  // 200,000 nested elements, deep JSON-LD, NUL bytes and stray bytes: each
  // page still yields what it holds.
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<div>";
  deep += jsonld(R"({"@type":"Product","sku":"D"})");
  std::string nested_json = jsonld(std::string(10000, '[') + std::string(10000, ']'));
  std::string binary("<p>\0\xFF\xFE</p>", 10);
  binary += jsonld(R"({"@type":"Product","sku":"N"})");
  const std::vector<std::string> lines = built({deep, nested_json, binary});
  EXPECT_EQ(lines, (std::vector<std::string>{R"(Product D||{"@type":"Product","sku":"D"})",
                                             R"(Product N||{"@type":"Product","sku":"N"})"}));
}

}  // namespace
}  // namespace vyr::extract
