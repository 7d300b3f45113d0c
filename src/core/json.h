// The project's JSON value: what extractors build, the builder merges and the
// compact writer prints. Objects keep their members sorted by key bytes, so
// the writer's output is canonical: no whitespace, keys ascending at every
// level, shortest round-trip floats.
//
// Integers keep their integer form: non-negative ones are held as unsigned,
// negative ones as signed 64-bit, so equal numbers compare equal whatever
// constructor made them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vyr::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;

// Members in ascending byte order of their keys, each key once.
class Object {
 public:
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Inserts or replaces, keeping the order.
  Value& set(std::string key, Value value);
  bool erase(std::string_view key);

  using const_iterator = std::vector<Member>::const_iterator;
  // Defined below, once Value is complete.
  size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  friend bool operator==(const Object&, const Object&);

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  enum class Type : uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : Value(static_cast<int64_t>(i)) {}
  Value(int64_t i);
  Value(uint64_t u) : v_(u) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return type() == Type::Null; }
  bool is_bool() const { return type() == Type::Bool; }
  bool is_number() const { return type() == Type::UInt || type() == Type::Int || type() == Type::Double; }
  bool is_integer() const { return type() == Type::UInt || type() == Type::Int; }
  bool is_string() const { return type() == Type::String; }
  bool is_array() const { return type() == Type::Array; }
  bool is_object() const { return type() == Type::Object; }

  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_uint() const { return std::get<uint64_t>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  // Any number as a double (integers rounded to the nearest).
  double to_double() const;
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<json::Array>(v_); }
  Array& as_array() { return std::get<json::Array>(v_); }
  const Object& as_object() const { return std::get<json::Object>(v_); }
  Object& as_object() { return std::get<json::Object>(v_); }

  // Member of an object, or nullptr (also when this is not an object).
  const Value* get(std::string_view key) const;
  // Text of a string member, or nullptr.
  const std::string* get_string(std::string_view key) const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, json::Array, json::Object> v_;
};

inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline Object::const_iterator Object::begin() const { return members_.begin(); }
inline Object::const_iterator Object::end() const { return members_.end(); }

inline constexpr int MAX_DEPTH = 128;

// Parses exactly one JSON document (RFC 8259). Whitespace around it is limited
// to space, tab, line feed and carriage return. Fails (nullopt) on any syntax
// error, invalid UTF-8, an unpaired surrogate escape, a number out of the
// double range, or nesting deeper than MAX_DEPTH. Integers beyond 64 bits
// become the nearest double; a later duplicate key replaces an earlier one.
// Thread-safe: each thread parses with its own reusable parser.
std::optional<Value> parse(std::string_view text);

// Compact canonical text: no whitespace, keys in byte order, strings with only
// '"', '\\' and control characters escaped, integers in decimal, doubles in the
// shortest round-trip form with a fraction or exponent ("12.5", "3.0", "1e16",
// "1.5e-7"). Non-finite doubles, which parse never produces, print as null.
std::string to_text(const Value& v);
void write(const Value& v, std::string& out);
void write_string(std::string_view s, std::string& out);
void write_double(double d, std::string& out);

}  // namespace vyr::json
