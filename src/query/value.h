// The values a query computes with and returns. A Value owns its text and
// list contents; a NodeRef carries copies of the kind label and name, so a
// result stays valid after the graph is released.
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
};

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
};

}  // namespace vyr::query
