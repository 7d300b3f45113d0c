#include "extract/html.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/error.h"

namespace vyr::extract::html {
namespace {

// Tag names of every element in document order.
std::string element_order(const Document& doc) {
  std::string out;
  doc.for_each_element([&](Node n) {
    if (!out.empty()) out += ' ';
    out.append(n.tag_name());
  });
  return out;
}

TEST(Html, WalksElementsInDocumentOrderWithBrowserRecovery) {
  const struct {
    std::string_view html, order;
  } cases[] = {
      {"<p>a<b>b</b></p><div><span>c</span></div>", "html head body p b div span"},
      // Unclosed and misnested tags are repaired as browsers repair them.
      {"<p>one<p>two", "html head body p p"},
      {"<b><i>x</b>y</i>", "html head body b i i"},
      {"<table><td>cell</table>", "html head body table tbody tr td"},
      {"", "html head body"},
      {"<title>t</title><script>if (a < b) {}</script>", "html head title script body"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(element_order(Document::parse(c.html)), c.order);
  }
}

TEST(Html, ReadsFirstAttributeAndDescendantText) {
  const Document doc = Document::parse(
      R"(<div id="a" ID="b" data-x="" checked class=c>one <b>two</b><!-- no --><script>three</script></div>)");
  const Node div = doc.select_first(Selector("div"));
  ASSERT_TRUE(div);
  EXPECT_EQ(div.attr("id"), "a");  // a repeated attribute: the first counts
  EXPECT_EQ(div.attr("data-x"), "");
  EXPECT_TRUE(div.has_attr("checked"));
  EXPECT_EQ(div.attr("class"), "c");
  EXPECT_FALSE(div.attr("title").has_value());
  EXPECT_FALSE(div.attr("").has_value());
  EXPECT_EQ(div.text(), "one twothree");

  // `<input checked />` makes an attribute with an empty name in the parser.
  const Document input = Document::parse(R"(<input checked />)");
  EXPECT_FALSE(input.select_first(Selector("input")).attr("").has_value());
}

TEST(Html, DecodesCharacterReferencesAndRepairsBytes) {
  // Invalid UTF-8 and NUL bytes reach the tree as U+FFFD; references decode.
  const std::string page = std::string("<p title=\"a&amp;b\">x\xC3(y\0z&euro;</p>", 36);
  const Document doc = Document::parse(page);
  const Node p = doc.select_first(Selector("p"));
  EXPECT_EQ(p.attr("title"), "a&b");
  EXPECT_EQ(p.text(), "x\xEF\xBF\xBD(y\xEF\xBF\xBDz\xE2\x82\xAC");
}

TEST(Html, MatchesCompoundAttributeSelectorsAndLists) {
  const struct {
    std::string_view selector, html;
    bool matches;
  } cases[] = {
      {R"(script[type="application/ld+json"])", R"(<script type="application/ld+json"></script>)", true},
      // type is one of the attributes HTML compares case-insensitively.
      {R"(script[type="application/ld+json"])", R"(<script type="Application/LD+JSON"></script>)", true},
      {R"(script[type="application/ld+json"])", R"(<script type="application/ld+json ">)", false},
      {R"(script[type="application/ld+json"])", R"(<div type="application/ld+json">)", false},
      {"meta[property='og:url']", R"(<meta property="og:url" content="x">)", true},
      {"meta[property='og:url']", R"(<meta property="OG:URL" content="x">)", false},  // values are case-sensitive
      {"[itemscope][itemtype*='Product']", R"(<div itemscope itemtype="https://schema.org/Product">)", true},
      {"[itemscope][itemtype*='Product']", R"(<div itemtype="https://schema.org/Product">)", false},
      {"[itemscope][itemtype*='Product']", R"(<div itemscope itemtype="https://schema.org/product">)", false},
      {"[itemprop=name]", R"(<span itemprop="name">)", true},
      {"[DATA-ADDTOCART]", R"(<button data-addtocart='{"id":1}'>)", true},
      {"meta[property='og:description'], meta[name='description']", R"(<meta name="description">)", true},
      {"meta[property='og:description'], meta[name='description']", R"(<meta name="keywords">)", false},
      {"*[a^='x'][b$='y'][c~='z']", R"(<i a="xx" b="yy" c="w z">)", true},
      {"[a*='']", R"(<i a="x">)", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.selector) + " on " + std::string(c.html));
    const Document doc = Document::parse(c.html);
    EXPECT_EQ(doc.select(Selector(c.selector)).size() == 1, c.matches);
  }
  for (std::string_view bad : {"", "div >", "[a=]", "[=x]", "a b", "[a='x'", "div,", ":hover"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(Selector::parse(bad).has_value());
  }
  EXPECT_THROW(Selector("a > b"), Fault);
}

TEST(Html, SelectsWithinAScopeIncludingItself) {
  const Document doc = Document::parse(
      R"(<i itemprop=name>out</i><div itemscope itemprop=name><i itemprop=name>in</i></div>)");
  const Node scope = doc.select_first(Selector("[itemscope]"));
  const std::vector<Node> found = doc.select(Selector("[itemprop=name]"), scope);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], scope);
  EXPECT_EQ(found[1].text(), "in");
  EXPECT_EQ(doc.select(Selector("[itemprop=name]")).size(), 3u);
}

size_t max_depth(const Document& doc) {
  size_t deepest = 0;
  doc.for_each_element([&](Node n) {
    size_t d = 0;
    for (Node p = n; p; p = p.parent()) ++d;
    deepest = std::max(deepest, d);
    return d < MAX_TREE_DEPTH + 8;  // stop early if the cap failed
  });
  return deepest;
}

TEST(Html, CapsTreeDepthAndKeepsEveryElement) {
  // Past the cap, elements become siblings at the cap: nothing is lost, and
  // the page parses in linear time instead of stalling for minutes.
  const size_t n = 200000;
  for (std::string_view open : {"<div>", "<span class=s>", "<b>", "<svg>"}) {
    SCOPED_TRACE(open);
    std::string page;
    for (size_t i = 0; i < n; ++i) page += open;
    page += "<script type=\"application/ld+json\">{}</script>deep";
    const Document doc = Document::parse(page);
    EXPECT_LE(max_depth(doc), MAX_TREE_DEPTH + 2);
    size_t elements = 0;
    doc.for_each_element([&](Node) { ++elements; });
    EXPECT_EQ(elements, n + 4);  // + html, head, body, script
    std::string text = doc.root().text();
    EXPECT_EQ(text, "{}deep");
  }
}

TEST(Html, DeepTreesUnderTheCapWalkIteratively) {
  // Table cells are never closed early, so their nesting is not capped: the
  // walks must still not recurse.
  std::string page;
  for (int i = 0; i < 50000; ++i) page += "<table><tr><td>";
  page += "x";
  const Document doc = Document::parse(page);
  EXPECT_EQ(doc.root().text(), "x");
  EXPECT_EQ(doc.select(Selector("td")).size(), 50000u);
}

TEST(Html, DocumentsAreIndependentPerThreadAndReused) {
  // Two live documents on one thread, then documents on other threads.
  const Document a = Document::parse("<p>a</p>");
  {
    const Document b = Document::parse("<p>b</p>");
    EXPECT_EQ(b.root().text(), "b");
  }
  const Document c = Document::parse("<p>c</p>");
  EXPECT_EQ(a.root().text(), "a");
  EXPECT_EQ(c.root().text(), "c");
  std::vector<std::thread> threads;
  std::vector<std::string> texts(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &texts] {
      for (int i = 0; i < 50; ++i) {
        const Document d = Document::parse("<p>" + std::to_string(t * 1000 + i) + "</p>");
        texts[t] = d.root().text();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(texts[t], std::to_string(t * 1000 + 49));
}

}  // namespace
}  // namespace vyr::extract::html
