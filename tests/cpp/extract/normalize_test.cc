#include "extract/normalize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vyr::extract {
namespace {

json::Value js(std::string_view text) {
  std::optional<json::Value> v = json::parse(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v ? *v : json::Value();
}

std::string opt(const std::optional<std::string>& s) { return s ? *s : "<none>"; }

TEST(UrlOrigin, KeepsSchemeAndHostOnly) {
  const struct {
    std::string_view url, origin;
  } cases[] = {
      {"https://shop.example/products/lamp?x=1#top", "https://shop.example"},
      {"https://shop.example", "https://shop.example"},
      {"http://shop.example:8080/a", "http://shop.example:8080"},
      {"https://shop.example?q=/x", "https://shop.example?q="},  // a query before any "/" stays in the host
      {"android-app://com.shop/x", "android-app://com.shop"},
      {"shop.example/products/lamp", "<none>"},
      {"https:///products/lamp", "<none>"},
      {"", "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(opt(url_origin(c.url)), c.origin);
  }
}

TEST(AbsolutizeUrl, CompletesRootAndProtocolRelativeUrlsOnly) {
  const std::optional<std::string_view> https = "https://shop.example";
  const struct {
    std::string_view url;
    std::optional<std::string_view> origin;
    std::string_view expected;
  } cases[] = {
      {"//cdn.example/a.jpg", https, "https://cdn.example/a.jpg"},
      {"//cdn.example/a.jpg", std::nullopt, "//cdn.example/a.jpg"},
      {"/img/a.jpg", https, "https://shop.example/img/a.jpg"},
      {"/img/a.jpg", "https://shop.example/some/page", "https://shop.example/img/a.jpg"},
      {"/img/a.jpg", "shop.example", "/img/a.jpg"},      // no scheme to join
      {"/img/a.jpg", "https:///x", "/img/a.jpg"},        // no host to join
      {"//cdn/a.jpg", "shop.example", "shop.example://cdn/a.jpg"},
      {"img/a.jpg", https, "img/a.jpg"},
      {"#top", https, "#top"},
      {"", https, ""},
      {"data:image/png;base64,xx", https, "data:image/png;base64,xx"},
      {"http://other.example/a.jpg", https, "http://other.example/a.jpg"},
      {"https://other.example/a.jpg", https, "https://other.example/a.jpg"},
      {"httpx", https, "httpx"},                         // 4+ bytes starting with "http": unchanged
      {"http", https, "http"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(absolutize_url(c.url, c.origin), c.expected);
  }
}

TEST(Images, PickTheFirstUsableImage) {
  const struct {
    std::string_view record;
    std::string_view node_of_image;  // from_image_node of the record's "image"
    std::string_view first;          // extract_image of the record
  } cases[] = {
      {R"({"image":"https://a/1.jpg"})", "https://a/1.jpg", "https://a/1.jpg"},
      {R"({"image":["","https://a/2.jpg"]})", "https://a/2.jpg", "https://a/2.jpg"},
      {R"({"image":[[{"url":""}],[{"src":"https://a/3.jpg"}]]})", "https://a/3.jpg", "https://a/3.jpg"},
      // The first of img_url, src, url that exists decides alone.
      {R"({"image":{"img_url":"","src":"https://a/4.jpg"}})", "<none>", "<none>"},
      {R"({"image":{"src":5,"url":"https://a/5.jpg"}})", "<none>", "<none>"},
      {R"({"image":{"url":"https://a/6.jpg"}})", "https://a/6.jpg", "https://a/6.jpg"},
      {R"({"image":{},"images":[null,"https://a/7.jpg"]})", "<none>", "https://a/7.jpg"},
      {R"({"image":3,"images":"https://a/8.jpg"})", "<none>", "<none>"},  // a non-array "images" is not read here
      {R"({"featured_image":"https://a/f.jpg","image":"https://a/9.jpg"})", "https://a/9.jpg", "https://a/f.jpg"},
      {R"({"featured_image":"","image":"https://a/logo.svg"})", "https://a/logo.svg", "https://a/logo.svg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    const json::Value record = js(c.record);
    const json::Value* image = record.get("image");
    EXPECT_EQ(opt(image ? from_image_node(*image) : std::nullopt), c.node_of_image);
    EXPECT_EQ(opt(extract_image(record)), c.first);
  }
  EXPECT_EQ(opt(extract_image(js("{}"))), "<none>");
  EXPECT_EQ(opt(extract_image(js(R"(["https://a/1.jpg"])"))), "<none>");
}

TEST(Images, ListFiltersFurnitureAndDuplicates) {
  const struct {
    std::string_view record;
    std::vector<std::string> images;
  } cases[] = {
      {R"({"featured_image":"https://a/f.jpg","image":["https://a/1.jpg","https://a/2.jpg"]})",
       {"https://a/f.jpg", "https://a/1.jpg", "https://a/2.jpg"}},
      {R"({"image":["https://a/1.jpg","https://a/site/Logo.SVG","https://a/favicon.ico","https://a/1.jpg",
                    "https://a/img/PlaceHolder.png","https://a/x.svg?v=2","https://a/2.jpg"]})",
       {"https://a/1.jpg", "https://a/2.jpg"}},
      // Only the path counts: "/logo" after "?" passes; a capital L still matches.
      {R"({"images":["https://a/p.jpg?from=/logo","https://a/LOGO/p.jpg","https://a/b/Banner.jpg"]})",
       {"https://a/p.jpg?from=/logo"}},
      // Order: featured_image, images (an array or one value), image.
      {R"({"image":"https://a/3.jpg","images":{"src":"https://a/2.jpg"},"featured_image":{"url":"https://a/1.jpg"}})",
       {"https://a/1.jpg", "https://a/2.jpg", "https://a/3.jpg"}},
      {R"({"image":["https://a/icon/x.png","https://a/sprite.png","https://a/x/no-image.gif","https://a/noimage.gif",
                    "https://a/theme_src/x.png","https://a/default_img/x.png","https://a/sprites/x.png","https://a/p-icon.png"]})",
       {"https://a/p-icon.png"}},
      {R"({"image":[]})", {}},
      {R"("https://a/1.jpg")", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(extract_images(js(c.record)), c.images);
  }
}

}  // namespace
}  // namespace vyr::extract
