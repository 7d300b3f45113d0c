// Query execution over a small fixed graph: any input gives rows or one of
// the executor's messages, never a crash, and every row has one value per
// column. Inputs starting with 'J' instead hand the rest to the property
// reader as one node's JSON text and check it against the project's JSON
// reader: both must agree on whether the text is JSON and on every member.
// Provisional reads must agree too when the text is a JSON object, and
// otherwise settling the node must report every provisional value that
// differs from what the checked reader says.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/builder.h"
#include "core/error.h"
#include "core/graph.h"
#include "core/json.h"
#include "query/executor.h"
#include "query/parser.h"
#include "query/props.h"
#include "query/value.h"

namespace {

using vyr::NodeKind;
using vyr::RelType;

const vyr::Graph& shop() {
  static const vyr::Graph graph = [] {
    vyr::GraphBuilder b;
    const uint32_t p0 = b.upsert_node(NodeKind::Product, "p0", "Electric kettle",
                                      R"({"brand":"Acme","price":"19.99","price_cents":1999,"rating":"4.5",)"
                                      R"("tags":["1","x",[2.5,{"a":1}]],"ok":true,"n":null,"o":{"k":"v"}})");
    b.upsert_node(NodeKind::Offer, "p0#offer0", "", R"({"price":"19.99","qty":2,"currency":"EUR"})");
    b.upsert_node(NodeKind::Offer, "p0#offer1", "", R"({"price":21.5,"qty":"1"})");
    const uint32_t p1 = b.upsert_node(NodeKind::Product, "p1", "Table lamp \"XL\"",
                                      R"({"brand":"Zed","price_cents":"4500","rating":3,"esc":"a\u00e9\ud83d\ude00"})");
    b.upsert_node(NodeKind::Offer, "p1#offer", "", R"({"price":45,"qty":-3e2})");
    b.upsert_node(NodeKind::Brand, "Acme", "Acme", R"("Acme")");
    const uint32_t p2 = b.upsert_node(NodeKind::Product, "p2", "ΟΔΟΣ Kühlschrank", "{\"rating\":1e308,\"big\":123456789012345678901234}");
    b.upsert_node(NodeKind::Review, "p2#review0", "", "[1,2]");
    b.add_edge(p0, RelType::Offers, "p0#offer0");
    b.add_edge(p0, RelType::Offers, "p0#offer1");
    b.add_edge(p0, RelType::Brand, "Acme");
    b.add_edge(p0, RelType::Offers, "p0#offer0");
    b.add_edge(p1, RelType::Offers, "p1#offer");
    b.add_edge(p1, RelType::Brand, "Acme");
    b.add_edge(p2, RelType::Review, "p2#review0");
    b.add_edge(p2, RelType::Brand, "p2");
    return std::move(b).build().value();
  }();
  return graph;
}

void check_props_text(std::string_view text) {
  vyr::Graph g;
  g.string_pool = std::string(text);
  vyr::Node n;
  n.props = vyr::Str{0, static_cast<uint32_t>(text.size())};
  g.nodes.push_back(n);
  g.out_offsets = {0, 0};
  g.in_offsets = {0, 0};
  const std::optional<vyr::json::Value> doc = vyr::json::parse(text);
  std::string keys[8] = {"a", "price", "b", "", "x"};
  size_t key_count = 5;
  if (doc && doc->is_object())
    for (const auto& [k, v] : doc->as_object())
      if (key_count < 8 && k != "name" && k != "kind") keys[key_count++] = k;
  for (int announced = 0; announced < 2; ++announced) {
    std::string_view views[8];
    for (size_t k = 0; k < key_count; ++k) views[k] = keys[k];
    vyr::query::reset_props_cache(1, std::span(views, announced ? key_count : 0));
    for (size_t k = 0; k < key_count; ++k) {
      const vyr::query::Value got = vyr::query::read_prop(g.view(), 0, keys[k]);
      const vyr::query::Value want = vyr::query::json_to_value(keys[k], doc ? doc->get(keys[k]) : nullptr);
      VYR_CHECK(vyr::query::debug(got) == vyr::query::debug(want), "props reader agrees with json::parse");
    }
    for (const size_t searched : {SIZE_MAX, size_t{1}}) {
      vyr::query::reset_props_cache(1, std::span(views, announced ? key_count : 0), searched);
      std::string provisional[8];
      for (size_t k = 0; k < key_count; ++k)
        provisional[k] =
            vyr::query::debug(vyr::query::to_value(g.view(), vyr::query::read_prop_view(g.view(), 0, keys[k], true)));
      const bool stands = vyr::query::settle_props(g.view(), 0);
      VYR_CHECK(stands || !doc || !doc->is_object(), "a JSON object's provisional reads stand");
      for (size_t k = 0; k < key_count; ++k) {
        const std::string checked = vyr::query::debug(vyr::query::read_prop(g.view(), 0, keys[k]));
        if (doc && doc->is_object()) VYR_CHECK(provisional[k] == checked, "provisional read of a JSON object");
        if (stands) VYR_CHECK(provisional[k] == checked, "provisional reads that stand are right");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!text.empty() && text[0] == 'J') {
    check_props_text(text.substr(1));
    return 0;
  }
  vyr::Result<vyr::query::Query> q = vyr::query::parse(text);
  if (!q.ok()) return 0;
  vyr::Result<vyr::query::QueryResult> r = vyr::query::execute(shop().view(), *q);
  if (!r.ok()) {
    const std::string& m = r.error().message();
    VYR_CHECK(m.starts_with("RETURN references unknown variable ") ||
                  m.starts_with("ORDER BY references unknown variable "),
              "execution fails only on unknown variables");
    return 0;
  }
  VYR_CHECK(r->columns.size() == q->returns.size(), "one column per RETURN item");
  for (const auto& row : r->rows) {
    VYR_CHECK(row.size() == r->columns.size(), "one value per column");
    (void)vyr::query::debug_row(row);
  }
  return 0;
}
