#include "core/json.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include <simdjson.h>

namespace vyr::json {

// ---- Object -----------------------------------------------------------------

namespace {
template <class Members>
auto lower(Members& m, std::string_view key) {
  return std::lower_bound(m.begin(), m.end(), key,
                          [](const Member& a, std::string_view k) { return std::string_view(a.first) < k; });
}
}  // namespace

const Value* Object::find(std::string_view key) const {
  auto it = lower(members_, key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(static_cast<const Object*>(this)->find(key));
}

Value& Object::set(std::string key, Value value) {
  // Members usually arrive in order (parsed text, builders writing sorted
  // keys), so appending is the common case.
  if (members_.empty() || members_.back().first < key) {
    members_.emplace_back(std::move(key), std::move(value));
    return members_.back().second;
  }
  auto it = lower(members_, key);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  return members_.emplace(it, std::move(key), std::move(value))->second;
}

bool Object::erase(std::string_view key) {
  auto it = lower(members_, key);
  if (it == members_.end() || it->first != key) return false;
  members_.erase(it);
  return true;
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

// ---- Value ------------------------------------------------------------------

Value::Value(int64_t i) {
  if (i >= 0)
    v_ = static_cast<uint64_t>(i);
  else
    v_ = i;
}

double Value::to_double() const {
  switch (type()) {
    case Type::UInt: return static_cast<double>(as_uint());
    case Type::Int: return static_cast<double>(as_int());
    case Type::Double: return as_double();
    default: return 0.0;
  }
}

const Value* Value::get(std::string_view key) const {
  return is_object() ? as_object().find(key) : nullptr;
}

const std::string* Value::get_string(std::string_view key) const {
  const Value* v = get(key);
  return v && v->is_string() ? &v->as_string() : nullptr;
}

// ---- Reader -----------------------------------------------------------------

namespace {

// Nesting: the document root counts as depth 0, each array or object one
// level; MAX_DEPTH levels are accepted.
bool convert(simdjson::dom::element el, int depth, Value& out) {
  using simdjson::dom::element_type;
  switch (el.type()) {
    case element_type::ARRAY: {
      if (depth >= MAX_DEPTH) return false;
      Array arr;
      const simdjson::dom::array items = el.get_array().value_unsafe();
      for (simdjson::dom::element child : items) {
        arr.emplace_back();
        if (!convert(child, depth + 1, arr.back())) return false;
      }
      out = Value(std::move(arr));
      return true;
    }
    case element_type::OBJECT: {
      if (depth >= MAX_DEPTH) return false;
      Object obj;
      const simdjson::dom::object members = el.get_object().value_unsafe();
      for (simdjson::dom::key_value_pair kv : members) {
        Value v;
        if (!convert(kv.value, depth + 1, v)) return false;
        obj.set(std::string(kv.key), std::move(v));
      }
      out = Value(std::move(obj));
      return true;
    }
    case element_type::INT64: out = Value(el.get_int64().value_unsafe()); return true;
    case element_type::UINT64: out = Value(el.get_uint64().value_unsafe()); return true;
    case element_type::DOUBLE: {
      double d = el.get_double().value_unsafe();
      if (!std::isfinite(d)) return false;
      out = Value(d);
      return true;
    }
    case element_type::STRING: out = Value(std::string(el.get_string().value_unsafe())); return true;
    case element_type::BOOL: out = Value(el.get_bool().value_unsafe()); return true;
    case element_type::NULL_VALUE: out = Value(); return true;
  }
  return false;
}

// simdjson accepts a lone low surrogate escape (\uDC00) and writes it out as
// WTF-8; such text is not JSON we want to carry. Its UTF-8 encoding is
// ED B0..BF xx, which valid UTF-8 never contains.
bool has_surrogate_bytes(std::string_view s) {
  for (size_t i = 0; i + 1 < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) == 0xED && (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0xA0)
      return true;
  return false;
}

bool strings_clean(const Value& v) {
  switch (v.type()) {
    case Value::Type::String: return !has_surrogate_bytes(v.as_string());
    case Value::Type::Array:
      for (const Value& e : v.as_array())
        if (!strings_clean(e)) return false;
      return true;
    case Value::Type::Object:
      for (const auto& [k, e] : v.as_object())
        if (has_surrogate_bytes(k) || !strings_clean(e)) return false;
      return true;
    default: return true;
  }
}

// simdjson refuses integers beyond 64 bits (as a number error); JSON allows them and we read
// them as the nearest double. Rewrites every such integer token (outside
// strings) with a ".0" fraction so that it parses as a double.
bool fits_64_bits(std::string_view digits) {
  const bool neg = !digits.empty() && digits[0] == '-';
  if (neg) digits.remove_prefix(1);
  const std::string_view limit = neg ? "9223372036854775808" : "18446744073709551615";
  return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
}

std::string widen_big_integers(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  bool in_string = false;
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    if (in_string) {
      out.push_back(c);
      if (c == '\\' && i + 1 < text.size()) out.push_back(text[++i]);
      else if (c == '"') in_string = false;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = true;
      out.push_back(c);
      ++i;
      continue;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      // The whole number token: sign, integer digits, then any fraction or
      // exponent, which keep the token a double and are copied as they are.
      size_t j = i + (c == '-' ? 1 : 0);
      while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
      const size_t int_end = j;
      while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '.' ||
                                 text[j] == 'e' || text[j] == 'E' || text[j] == '+' || text[j] == '-'))
        ++j;
      out.append(text.substr(i, j - i));
      if (j == int_end && !fits_64_bits(text.substr(i, j - i))) out += ".0";
      i = j;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return out;
}

}  // namespace

std::optional<Value> parse(std::string_view text) {
  if (text.data() == nullptr) text = std::string_view("", 0);  // the reader copies from it
  thread_local simdjson::dom::parser parser;
  // simdjson needs SIMDJSON_PADDING readable bytes past the end; it copies the
  // text into its own padded buffer when the input might not have them.
  auto doc = parser.parse(text.data(), text.size(), true);
  std::string widened;
  if (doc.error() == simdjson::NUMBER_ERROR) {
    widened = widen_big_integers(text);
    if (widened.size() != text.size()) doc = parser.parse(widened.data(), widened.size(), true);
  }
  if (doc.error()) return std::nullopt;
  Value out;
  if (!convert(doc.value_unsafe(), 0, out)) return std::nullopt;
  // Surrogates can only come from escapes; skip the scan when there are none.
  if (text.find("\\u") != std::string_view::npos && !strings_clean(out)) return std::nullopt;
  // Return the parser's buffers to the allocator after an unusually large
  // document, so one huge page does not pin memory in every worker.
  if (parser.capacity() > (size_t{8} << 20)) parser = simdjson::dom::parser();
  return out;
}

// ---- Writer -----------------------------------------------------------------

void write_string(std::string_view s, std::string& out) {
  static constexpr char HEX[] = "0123456789abcdef";
  out.push_back('"');
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + start, i - start);
    start = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(HEX[c >> 4]);
        out.push_back(HEX[c & 15]);
    }
  }
  out.append(s.data() + start, s.size() - start);
  out.push_back('"');
}

void write_double(double d, std::string& out) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-1.2345e+07", then
  // laid out: plain decimal for 1e-5 <= |d| < 1e16, exponent form otherwise.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  (void)ec;
  std::string_view sci(buf, static_cast<size_t>(end - buf));
  bool neg = sci.front() == '-';
  if (neg) sci.remove_prefix(1);
  size_t epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits.push_back(c);
  int exp = 0;
  std::string_view es = sci.substr(epos + 1);
  if (es.front() == '+') es.remove_prefix(1);
  std::from_chars(es.data(), es.data() + es.size(), exp);

  if (neg) out.push_back('-');
  const int len = static_cast<int>(digits.size());
  const int point = exp + 1;  // position of the decimal point within digits
  if (point > 0 && point <= 16) {
    if (len <= point) {
      out += digits;
      out.append(static_cast<size_t>(point - len), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<size_t>(point));
      out.push_back('.');
      out.append(digits, static_cast<size_t>(point), std::string::npos);
    }
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (len > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out += std::to_string(exp);
  }
}

void write(const Value& v, std::string& out) {
  switch (v.type()) {
    case Value::Type::Null: out += "null"; break;
    case Value::Type::Bool: out += v.as_bool() ? "true" : "false"; break;
    case Value::Type::UInt: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v.as_uint());
      out.append(buf, r.ptr);
      break;
    }
    case Value::Type::Int: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v.as_int());
      out.append(buf, r.ptr);
      break;
    }
    case Value::Type::Double: write_double(v.as_double(), out); break;
    case Value::Type::String: write_string(v.as_string(), out); break;
    case Value::Type::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& e : v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write(e, out);
      }
      out.push_back(']');
      break;
    }
    case Value::Type::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : v.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(k, out);
        out.push_back(':');
        write(e, out);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string to_text(const Value& v) {
  std::string out;
  write(v, out);
  return out;
}

}  // namespace vyr::json
