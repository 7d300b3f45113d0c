#include "query/value.h"

#include <charconv>

#include "query/format.h"

namespace vyr::query {

void append_debug(const Value& value, std::string& out) {
  switch (value.v.index()) {
    case 0: out += "Null"; return;
    case 1: out += std::get<bool>(value.v) ? "Bool(true)" : "Bool(false)"; return;
    case 2: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, std::get<int64_t>(value.v));
      out += "Int(";
      out.append(buf, r.ptr);
      out.push_back(')');
      return;
    }
    case 3:
      out += "Float(";
      append_float_text(out, std::get<double>(value.v));
      out.push_back(')');
      return;
    case 4:
      out += "Str(";
      append_quoted_text(out, std::get<std::string>(value.v));
      out.push_back(')');
      return;
    case 5: {
      // Lists come from JSON arrays, whose nesting the JSON reader bounds.
      out += "List([";
      bool first = true;
      for (const Value& e : std::get<List>(value.v)) {
        if (!first) out += ", ";
        first = false;
        append_debug(e, out);
      }
      out += "])";
      return;
    }
    default: {
      const NodeRef& r = std::get<NodeRef>(value.v);
      out += "NodeRef { idx: ";
      out += std::to_string(r.idx);
      out += ", kind: ";
      append_quoted_text(out, r.kind);
      out += ", name: ";
      append_quoted_text(out, r.name);
      out += " }";
      return;
    }
  }
}

std::string debug(const Value& value) {
  std::string out;
  append_debug(value, out);
  return out;
}

std::string debug_row(const std::vector<Value>& row) {
  std::string out = "[";
  bool first = true;
  for (const Value& v : row) {
    if (!first) out += ", ";
    first = false;
    append_debug(v, out);
  }
  out.push_back(']');
  return out;
}

}  // namespace vyr::query
