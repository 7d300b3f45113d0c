// The values a query computes with and returns. A Value owns its text and
// list contents; a NodeRef carries copies of the kind label and name, so a
// result stays valid after the graph is released.
//
// The debug rendering below is part of the query contract: DISTINCT and
// aggregation groups use it as the identity of a value, and groups come out
// in the byte order of their rendered keys.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vyr::query {

struct NodeRef {
  uint32_t idx = 0;
  std::string kind;
  std::string name;
  friend bool operator==(const NodeRef&, const NodeRef&) = default;
};

struct Value;
using List = std::vector<Value>;

// Alternatives in declared order: Null, Bool, Int, Float, Str, List, NodeRef.
struct Value {
  std::variant<std::monostate, bool, int64_t, double, std::string, List, NodeRef> v;

  Value() = default;
  Value(bool b) : v(b) {}
  Value(int64_t i) : v(i) {}
  Value(double d) : v(d) {}
  Value(std::string s) : v(std::move(s)) {}
  Value(List l) : v(std::move(l)) {}
  Value(NodeRef r) : v(std::move(r)) {}

  bool is_null() const { return v.index() == 0; }
  friend bool operator==(const Value&, const Value&) = default;
};

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
};

// Null, Bool(true), Int(-12), Float(19.5), Str("a \"b\""), List([Int(1), Int(2)]),
// NodeRef { idx: 7, kind: "Product", name: "Kettle" }.
std::string debug(const Value& value);
void append_debug(const Value& value, std::string& out);
// A row as the renderings of its values in square brackets, ", " between them.
std::string debug_row(const std::vector<Value>& row);

}  // namespace vyr::query
