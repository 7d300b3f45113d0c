#include "query/value.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/json.h"
#include "graph_fixture.h"
#include "query/props.h"

namespace vyr::query {
namespace {

using testing::make_graph;

TEST(Value, DebugRendering) {
  const struct {
    Value value;
    std::string_view text;
  } cases[] = {
      {Value(), "Null"},
      {Value(false), "Bool(false)"},
      {Value(int64_t{-12}), "Int(-12)"},
      {Value(19.5), "Float(19.5)"},
      {Value(3.0), "Float(3.0)"},
      {Value(1e16), "Float(1e16)"},
      {Value(1.5e-5), "Float(1.5e-5)"},
      {Value(0.0001), "Float(0.0001)"},
      {Value(-0.0), "Float(-0.0)"},
      {Value(std::numeric_limits<double>::quiet_NaN()), "Float(NaN)"},
      {Value(-HUGE_VAL), "Float(-inf)"},
      {Value(std::string("a \"b\" \\ \n\t\r")), R"(Str("a \"b\" \\ \n\t\r"))"},
      {Value(std::string("\x07 caf\xC3\xA9\xC2\xA0")), R"(Str("\u{7} café\u{a0}"))"},
      {Value(std::string("\0", 1)), R"(Str("\0"))"},
      {Value(List{Value(int64_t{1}), Value(List{Value(std::string("x"))}), Value()}),
       R"(List([Int(1), List([Str("x")]), Null]))"},
      {Value(NodeRef{7, "Product", "Kettle \"XL\""}), R"(NodeRef { idx: 7, kind: "Product", name: "Kettle \"XL\"" })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(debug(c.value), c.text);
  }
  EXPECT_EQ(debug_row({Value(int64_t{1}), Value(std::string("a"))}), R"([Int(1), Str("a")])");
  EXPECT_EQ(debug_row({}), "[]");
}

// The typing rules read through a real node, so that the scanner, the cache
// and json_to_value are checked together.
TEST(Props, TypingOfMembers) {
  const Graph g = make_graph({
      {NodeKind::Product, "p", "Kettle",
       R"({"price":"19.99","rating":"4.5","count":"12","sku":"00123","code":"1e3","size":"+5",)"
       R"("a":"-0","b":"0.50","c":"12.","d":".5","e":"99999999999999999999","f":"-7",)"
       R"("num_price":19.99,"big":18446744073709551616,"neg":-3,"t":true,"n":null,"o":{"x":1},)"
       R"("arr":["1","2",[3.5,{"y":1}]],"Name":"member","esc":"a\"b\u00e9\ud83d\ude00","-":"-",)"
       R"("\u006bey":"escaped key","dup":1,"dup":2,"half":"1.5e3","neg_frac":"-0.25"})"},
  });
  const struct {
    std::string_view key, value;
  } cases[] = {
      {"price", R"(Str("19.99"))"},
      {"rating", "Float(4.5)"},
      {"count", "Int(12)"},
      {"sku", R"(Str("00123"))"},
      {"code", R"(Str("1e3"))"},
      {"size", R"(Str("+5"))"},
      {"a", "Int(0)"},
      {"b", "Float(0.5)"},
      {"c", R"(Str("12."))"},
      {"d", R"(Str(".5"))"},
      {"e", "Float(1e20)"},
      {"f", "Int(-7)"},
      {"num_price", "Float(19.99)"},
      {"big", "Float(1.8446744073709552e19)"},
      {"neg", "Int(-3)"},
      {"t", "Bool(true)"},
      {"n", "Null"},
      {"o", "Null"},
      {"missing", "Null"},
      {"arr", R"(List([Int(1), Int(2), List([Float(3.5), Null])]))"},
      {"Name", R"(Str("member"))"},
      {"name", R"(Str("Kettle"))"},
      {"kind", R"(Str("Product"))"},
      {"esc", "Str(\"a\\\"bé😀\")"},
      {"-", R"(Str("-"))"},
      {"key", R"(Str("escaped key"))"},
      {"dup", "Int(2)"},
      {"half", R"(Str("1.5e3"))"},
      {"neg_frac", "Float(-0.25)"},
  };
  for (const bool announced : {false, true}) {
    std::vector<std::string_view> keys;
    if (announced)
      for (const auto& c : cases) keys.push_back(c.key);
    reset_props_cache(g.view().node_count(), keys);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.key) + (announced ? " (announced)" : ""));
      EXPECT_EQ(debug(read_prop(g.view(), 0, c.key)), c.value);
    }
  }
  // Under the key price, the elements of an array stay text too.
  const Graph arr = make_graph({{NodeKind::Offer, "o", "", R"({"price":["1","2"],"qty":["1","2"]})"}});
  reset_props_cache(1);
  EXPECT_EQ(debug(read_prop(arr.view(), 0, "price")), R"(List([Str("1"), Str("2")]))");
  EXPECT_EQ(debug(read_prop(arr.view(), 0, "qty")), "List([Int(1), Int(2)])");
  EXPECT_EQ(debug(project(arr.view(), 0, std::nullopt)), R"(NodeRef { idx: 0, kind: "Offer", name: "" })");
}

// Whatever the text of a node holds, a read agrees with the project's JSON
// reader: members of valid objects are found (the later of two duplicates),
// and anything json::parse refuses reads as Null for every key.
TEST(Props, AgreesWithJsonReader) {
  std::string deep_ok = std::string(127, '[') + std::string(127, ']');
  std::string deep_bad = std::string(128, '[') + std::string(128, ']');
  const std::string texts[] = {
      R"({"a":1})", R"( {"a" : 1 } )", R"({"a":1,})", R"({"a":1}x)", R"({"a":01})", R"({"a":1.})",
      R"({"a":-})", R"({"a":1e400})", R"({"a":1e-400})", R"({"a":1E+2})", R"({"a":"\ud800"})",
      R"({"a":"\udc00"})", R"({"a":"\ud800\udc00"})", R"({"a":"\x"})", "{\"a\":\"\x01\"}",
      "{\"a\":\"\xC3\"}", "{\"a\":\"\xED\xA0\x80\"}", R"({"a":tru})", R"({"a":nul})", R"({"a":[1,2})",
      R"({"a":{"b":[}})", R"({"b":1,"a":[1,{"c":"]"}]})", R"([1,2])", R"("text")", "", "not json",
      R"({"a":1}{"a":2})", "{\"a\":1}\v", R"({"a":"x","a":null})", R"({a:1})", R"({"a":1 "b":2})",
      "{\"a\":" + deep_ok + "}", "{\"a\":" + deep_bad + "}", R"({"a":123456789012345678901234567890})",
      R"({"a":-9223372036854775808})", R"({"a":9223372036854775808})", R"({"a":true,"a":false})",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    Graph g;
    g.string_pool = text;
    Node n;
    n.props = Str{0, static_cast<uint32_t>(text.size())};
    g.nodes.push_back(n);
    g.out_offsets = {0, 0};
    g.in_offsets = {0, 0};
    const std::optional<json::Value> doc = json::parse(text);
    const Value want = json_to_value("a", doc ? doc->get("a") : nullptr);
    for (const bool announced : {false, true}) {
      const std::string_view key = "a";
      reset_props_cache(1, announced ? std::span(&key, 1) : std::span<const std::string_view>());
      EXPECT_EQ(debug(read_prop(g.view(), 0, "a")), debug(want));
    }
  }
}

TEST(Props, NameThatIsNotUtf8ReadsAsEmpty) {
  Graph g = make_graph({{NodeKind::Brand, "b", "ok"}});
  const auto off = static_cast<uint32_t>(g.string_pool.size());
  g.string_pool += "bad\xFF";
  g.nodes[0].name = Str{off, 4};
  reset_props_cache(1);
  EXPECT_EQ(debug(read_prop(g.view(), 0, "name")), R"(Str(""))");
  EXPECT_EQ(debug(project(g.view(), 0, std::nullopt)), R"(NodeRef { idx: 0, kind: "Brand", name: "" })");
}

TEST(Props, KeysBeyondTheIndexedOnesAreStillAnswered) {
  std::string props = "{";
  std::vector<std::string> names;
  for (int k = 0; k < 40; ++k) {
    names.push_back("k" + std::to_string(k));
    props += (k ? "," : "") + std::string("\"k") + std::to_string(k) + "\":" + std::to_string(k);
  }
  props += "}";
  const Graph g = make_graph({{NodeKind::Product, "p", "n", props}});
  std::vector<std::string_view> keys(names.begin(), names.end());
  reset_props_cache(1, keys);
  for (int k = 39; k >= 0; --k) EXPECT_EQ(debug(read_prop(g.view(), 0, names[k])), "Int(" + std::to_string(k) + ")");
}

// A provisional read answers before the text is checked. Whichever later
// read finds the text broken, settling the node must then report that the
// provisional answer does not stand.
TEST(Props, ProvisionalReadsOfABrokenTextDoNotStand) {
  const Graph g = make_graph({{NodeKind::Product, "p", "", R"({"a":1,"b":[1,,2],"c":2})"},
                              {NodeKind::Product, "q", "", R"({"a":1,"b":[1,2],"c":2})"}});
  const std::string_view keys[] = {"a", "c"};
  for (const size_t searched : {size_t{2}, size_t{1}}) {
    for (const bool strict_read_first : {false, true}) {
      SCOPED_TRACE(std::to_string(searched) + (strict_read_first ? " strict read first" : ""));
      reset_props_cache(2, keys, searched);
      for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(read_prop_view(g.view(), i, "a", true).i, 1);  // found without a check
        EXPECT_TRUE(props_unchecked(i));
        if (strict_read_first) (void)read_prop_view(g.view(), i, "c", searched < 2);
      }
      EXPECT_FALSE(settle_props(g.view(), 0));
      EXPECT_FALSE(settle_props(g.view(), 0));  // and stays so
      EXPECT_EQ(debug(read_prop(g.view(), 0, "a")), "Null");
      EXPECT_TRUE(settle_props(g.view(), 1));
      EXPECT_EQ(debug(read_prop(g.view(), 1, "c")), "Int(2)");
    }
  }
}

}  // namespace
}  // namespace vyr::query
