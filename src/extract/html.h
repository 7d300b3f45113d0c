// The HTML document layer: a parsed page as a tree of nodes, walked in
// document order, with first-occurrence attribute reads, descendant text and
// a matcher for the compound attribute selectors the extractors use. This and
// html.cc are the only files that know the C parser underneath.
//
// Parsing follows the HTML standard's tree construction (browser-grade error
// recovery), on input made safe first: invalid UTF-8 becomes U+FFFD and so do
// NUL bytes, as the standard's tokenizer would have it. Like browsers, the
// tree depth is capped (MAX_TREE_DEPTH): elements opened deeper are attached
// at the cap as siblings, so hostile nesting parses in linear time. Every walk
// is iterative, whatever the depth.
//
// Threads: each thread parses with its own parser and reuses its trees from
// page to page. A Document and its Nodes belong to the thread that parsed it:
// use and destroy them there. Selectors are immutable after construction and
// may be shared by all threads.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vyr::extract::html {

// Deeper elements are attached at this depth (counted in open elements).
inline constexpr size_t MAX_TREE_DEPTH = 512;

// A handle to one node of a Document; valid while the Document lives. The
// default handle is null and answers every question with "nothing".
class Node {
 public:
  Node() = default;

  explicit operator bool() const { return raw_ != nullptr; }
  friend bool operator==(Node a, Node b) { return a.raw_ == b.raw_; }

  bool is_element() const;
  bool is_text() const;

  // Lower-case local name of an element ("script"); empty for other nodes.
  std::string_view tag_name() const;

  // The value of the first attribute with this (lower-case) name: when a tag
  // repeats an attribute, the first one counts, as the HTML standard says.
  // Attributes with an empty name are never found.
  std::optional<std::string_view> attr(std::string_view name) const;
  bool has_attr(std::string_view name) const { return attr(name).has_value(); }

  // A text node's own text; empty for other nodes.
  std::string_view own_text() const;

  // Every descendant text node's text, in document order, concatenated.
  std::string text() const;
  void append_text(std::string& out) const;

  Node parent() const;
  Node first_child() const;
  Node next_sibling() const;

  // The node after this one in document order among `scope`'s descendants
  // (scope itself excluded), or null when the walk leaves `scope`.
  Node next_in(Node scope) const;

 private:
  friend class Document;
  friend class Selector;
  explicit Node(void* raw) : raw_(raw) {}
  void* raw_ = nullptr;
};

// A selector list of compound selectors, each an optional type selector (or
// "*") followed by attribute selectors: [a], [a=v], [a="v"], [a='v'],
// [a*=v], [a^=v], [a$=v], [a~=v]; e.g. `script[type="application/ld+json"]`
// or `meta[property='og:description'], meta[name='description']`. Names are
// matched case-insensitively, values exactly, except the attributes the HTML
// standard lists as case-insensitive (type, rel, charset, ...).
class Selector {
 public:
  // A text outside the supported grammar is a programming error: Fault.
  explicit Selector(std::string_view text);
  // Nothing for a text outside the supported grammar.
  static std::optional<Selector> parse(std::string_view text);

  bool matches(Node node) const;

 private:
  enum class Op : unsigned char { Exists, Equals, Contains, Prefix, Suffix, Word };
  struct AttrTest {
    std::string name;
    Op op = Op::Exists;
    std::string value;
    bool ignore_case = false;
  };
  struct Compound {
    std::string tag;  // empty: any element
    unsigned tag_id = 0;  // the parser's id for a standard tag name: compared instead of the name
    std::vector<AttrTest> attrs;
  };
  Selector() = default;
  static bool compound_matches(const Compound& c, Node node);
  std::vector<Compound> alternatives_;
};

class Document {
 public:
  // Never fails: any byte sequence is a page.
  static Document parse(std::string_view html);

  Document(Document&& other) noexcept;
  Document& operator=(Document&& other) noexcept;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  ~Document();

  // The document node, parent of the <html> element.
  Node root() const;

  // Calls `f(Node)` for each element of `scope`'s subtree, `scope` included,
  // in document order. `f` returns void, or bool where false stops the walk.
  template <class F>
  void for_each_element(Node scope, F&& f) const {
    for (Node n = scope; n; n = n.next_in(scope)) {
      if (!n.is_element()) continue;
      if constexpr (std::is_same_v<decltype(f(n)), bool>) {
        if (!f(n)) return;
      } else {
        f(n);
      }
    }
  }
  template <class F>
  void for_each_element(F&& f) const {
    for_each_element(root(), std::forward<F>(f));
  }

  // The elements matching `sel` in `scope`'s subtree (scope included), in
  // document order; the whole document without a scope.
  std::vector<Node> select(const Selector& sel, Node scope = {}) const;
  Node select_first(const Selector& sel, Node scope = {}) const;

 private:
  explicit Document(void* tree) : tree_(tree) {}
  void* tree_ = nullptr;  // borrowed from this thread's pool, returned on destruction
};

}  // namespace vyr::extract::html
