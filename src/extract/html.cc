#include "extract/html.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

// The parser's internal headers (not api.h, whose declarations clash with
// them) expose the stack of open elements that the depth cap needs.
#include <myhtml/myhtml.h>
#include <myhtml/tag.h>
#include <myhtml/tree.h>

#include "core/error.h"
#include "core/utf8.h"

namespace vyr::extract::html {

namespace {

myhtml_tree_node_t* raw(void* p) { return static_cast<myhtml_tree_node_t*>(p); }

// Browsers cap the tree depth; so do we, and for the same reason: the tree
// builder's scope checks walk the stack of open elements, so unbounded
// nesting costs quadratic time. Before the builder sees a start tag that
// would open an element deeper than the cap, the current node is closed, so
// the new element is attached at the cap as its sibling. A formatting element
// closed this way also leaves the list of active formatting elements, or every
// later text token would re-open it.
//
// Table, template, select and document-structure elements are never closed
// here, as the insertion mode depends on them, nor are applet, marquee and
// object, whose markers in the formatting list must stay paired with them.
// All of them bound the builder's scope walks, so they cannot make the parse
// quadratic either.
bool may_close_at_cap(const myhtml_tree_node_t* node) {
  if (node->ns != MyHTML_NAMESPACE_HTML) return true;
  switch (node->tag_id) {
    case MyHTML_TAG_HTML:
    case MyHTML_TAG_HEAD:
    case MyHTML_TAG_BODY:
    case MyHTML_TAG_FRAMESET:
    case MyHTML_TAG_TEMPLATE:
    case MyHTML_TAG_TABLE:
    case MyHTML_TAG_TBODY:
    case MyHTML_TAG_THEAD:
    case MyHTML_TAG_TFOOT:
    case MyHTML_TAG_TR:
    case MyHTML_TAG_TD:
    case MyHTML_TAG_TH:
    case MyHTML_TAG_CAPTION:
    case MyHTML_TAG_COLGROUP:
    case MyHTML_TAG_SELECT:
    case MyHTML_TAG_APPLET:
    case MyHTML_TAG_MARQUEE:
    case MyHTML_TAG_OBJECT:
      return false;
    default:
      return true;
  }
}

bool is_formatting_element(const myhtml_tree_node_t* node) {
  if (node->ns != MyHTML_NAMESPACE_HTML) return false;
  switch (node->tag_id) {
    case MyHTML_TAG_A:
    case MyHTML_TAG_B:
    case MyHTML_TAG_BIG:
    case MyHTML_TAG_CODE:
    case MyHTML_TAG_EM:
    case MyHTML_TAG_FONT:
    case MyHTML_TAG_I:
    case MyHTML_TAG_NOBR:
    case MyHTML_TAG_S:
    case MyHTML_TAG_SMALL:
    case MyHTML_TAG_STRIKE:
    case MyHTML_TAG_STRONG:
    case MyHTML_TAG_TT:
    case MyHTML_TAG_U:
      return true;
    default:
      return false;
  }
}

void* cap_tree_depth(myhtml_tree_t* tree, myhtml_token_node_t* token, void* ctx) {
  const bool is_start_tag = token->tag_id > MyHTML_TAG__DOCTYPE && (token->type & MyHTML_TOKEN_TYPE_CLOSE) == 0;
  if (is_start_tag && tree->open_elements->length >= MAX_TREE_DEPTH) {
    myhtml_tree_node_t* current = myhtml_tree_current_node(tree);
    if (current != nullptr && may_close_at_cap(current)) {
      if (is_formatting_element(current)) myhtml_tree_active_formatting_remove(tree, current);
      myhtml_tree_open_elements_pop(tree);
    }
  }
  return ctx;
}

// One parser per thread, and the trees it has built, kept for reuse: a tree
// that is cleaned and refilled parses several times faster than a fresh one.
class ThreadParser {
 public:
  ThreadParser() {
    myhtml_ = myhtml_create();
    VYR_CHECK(myhtml_ != nullptr, "html parser allocation");
    VYR_CHECK(myhtml_init(myhtml_, MyHTML_OPTIONS_PARSE_MODE_SINGLE, 1, 0) == MyHTML_STATUS_OK, "html parser init");
  }
  ThreadParser(const ThreadParser&) = delete;
  ThreadParser& operator=(const ThreadParser&) = delete;
  ~ThreadParser() {
    for (myhtml_tree_t* t : idle_) myhtml_tree_destroy(t);
    myhtml_destroy(myhtml_);
  }

  myhtml_tree_t* take_tree() {
    if (!idle_.empty()) {
      myhtml_tree_t* t = idle_.back();
      idle_.pop_back();
      return t;
    }
    myhtml_tree_t* t = myhtml_tree_create();
    VYR_CHECK(t != nullptr, "html tree allocation");
    VYR_CHECK(myhtml_tree_init(t, myhtml_) == MyHTML_STATUS_OK, "html tree init");
    myhtml_callback_after_token_done_set(t, cap_tree_depth, nullptr);
    return t;
  }

  void give_back(myhtml_tree_t* t) { idle_.push_back(t); }

 private:
  myhtml_t* myhtml_ = nullptr;
  std::vector<myhtml_tree_t*> idle_;
};

ThreadParser& thread_parser() {
  thread_local ThreadParser parser;
  return parser;
}

// The parser passes invalid UTF-8 through and garbles text next to NUL bytes,
// so it gets valid UTF-8 with each NUL replaced by U+FFFD, as the HTML
// tokenizer would replace it. Clean input (nearly every page) is not copied.
std::string_view safe_input(std::string_view html, std::string& storage) {
  const bool has_nul = std::memchr(html.data(), '\0', html.size()) != nullptr;
  if (!has_nul && is_valid_utf8(html)) return html;
  storage = is_valid_utf8(html) ? std::string(html) : to_valid_utf8(html);
  if (has_nul) {
    std::string replaced;
    replaced.reserve(storage.size() + 16);
    for (char c : storage) {
      if (c == '\0') {
        replaced += "\xEF\xBF\xBD";
      } else {
        replaced.push_back(c);
      }
    }
    storage = std::move(replaced);
  }
  return storage;
}

bool is_element_tag(myhtml_tag_id_t id) { return id > MyHTML_TAG__DOCTYPE && id != MyHTML_TAG__END_OF_FILE; }

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

// ---- Node ----

bool Node::is_element() const { return raw_ != nullptr && is_element_tag(raw(raw_)->tag_id); }

bool Node::is_text() const { return raw_ != nullptr && raw(raw_)->tag_id == MyHTML_TAG__TEXT; }

std::string_view Node::tag_name() const {
  if (!is_element()) return {};
  myhtml_tree_node_t* n = raw(raw_);
  size_t len = 0;
  const char* name = myhtml_tag_name_by_id(n->tree, n->tag_id, &len);
  return name == nullptr ? std::string_view() : std::string_view(name, len);
}

std::optional<std::string_view> Node::attr(std::string_view name) const {
  if (!is_element() || name.empty()) return std::nullopt;
  for (myhtml_tree_attr_t* a = myhtml_node_attribute_first(raw(raw_)); a != nullptr; a = myhtml_attribute_next(a)) {
    size_t key_len = 0;
    const char* key = myhtml_attribute_key(a, &key_len);
    if (key == nullptr || std::string_view(key, key_len) != name) continue;
    size_t value_len = 0;
    const char* value = myhtml_attribute_value(a, &value_len);
    return value == nullptr ? std::string_view() : std::string_view(value, value_len);
  }
  return std::nullopt;
}

std::string_view Node::own_text() const {
  if (!is_text()) return {};
  size_t len = 0;
  const char* text = myhtml_node_text(raw(raw_), &len);
  return text == nullptr ? std::string_view() : std::string_view(text, len);
}

std::string Node::text() const {
  std::string out;
  append_text(out);
  return out;
}

void Node::append_text(std::string& out) const {
  for (Node n = first_child(); n; n = n.next_in(*this)) {
    if (n.is_text()) out.append(n.own_text());
  }
}

Node Node::parent() const { return Node(raw_ == nullptr ? nullptr : raw(raw_)->parent); }
Node Node::first_child() const { return Node(raw_ == nullptr ? nullptr : raw(raw_)->child); }
Node Node::next_sibling() const { return Node(raw_ == nullptr ? nullptr : raw(raw_)->next); }

Node Node::next_in(Node scope) const {
  if (raw_ == nullptr) return {};
  myhtml_tree_node_t* n = raw(raw_);
  if (n->child != nullptr) return Node(n->child);
  const myhtml_tree_node_t* stop = raw(scope.raw_);
  while (n != nullptr && n != stop) {
    if (n->next != nullptr) return Node(n->next);
    n = n->parent;
  }
  return {};
}

// ---- Selector ----

namespace {

// Attribute values the HTML standard has selectors compare ASCII
// case-insensitively in HTML documents.
constexpr std::string_view CASE_INSENSITIVE_ATTRS[] = {
    "accept",   "accept-charset", "align",    "alink",     "axis",     "bgcolor",   "charset", "checked",
    "clear",    "codetype",       "color",    "compact",   "declare",  "defer",     "dir",     "direction",
    "disabled", "enctype",        "face",     "frame",     "hreflang", "http-equiv", "lang",   "language",
    "link",     "media",          "method",   "multiple",  "nohref",   "noresize",  "noshade", "nowrap",
    "readonly", "rel",            "rev",      "rules",     "scope",    "scrolling", "selected", "shape",
    "target",   "text",           "type",     "valign",    "valuetype", "vlink",
};

class SelectorReader {
 public:
  explicit SelectorReader(std::string_view text) : s_(text) {}
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return at_end() ? '\0' : s_[i_]; }
  bool eat(char c) {
    if (peek() != c || at_end()) return false;
    ++i_;
    return true;
  }
  void skip_space() {
    while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\f')) ++i_;
  }
  // A CSS identifier without escapes.
  std::string_view ident() {
    size_t start = i_;
    while (!at_end()) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (std::isalnum(c) || c == '-' || c == '_' || c >= 0x80) {
        ++i_;
      } else {
        break;
      }
    }
    return s_.substr(start, i_ - start);
  }
  std::optional<std::string> quoted() {
    char q = peek();
    if (q != '"' && q != '\'') return std::nullopt;
    ++i_;
    size_t end = s_.find(q, i_);
    if (end == std::string_view::npos) return std::nullopt;
    std::string v(s_.substr(i_, end - i_));
    if (v.find('\\') != std::string::npos) return std::nullopt;  // escapes are not needed by any selector here
    i_ = end + 1;
    return v;
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::optional<Selector> Selector::parse(std::string_view text) {
  Selector sel;
  SelectorReader r(text);
  for (;;) {
    r.skip_space();
    Compound c;
    const bool universal = r.eat('*');
    if (!universal) c.tag = ascii_lower(r.ident());
    while (r.eat('[')) {
      r.skip_space();
      AttrTest t;
      t.name = ascii_lower(r.ident());
      if (t.name.empty()) return std::nullopt;
      r.skip_space();
      if (!r.eat(']')) {
        switch (r.peek()) {
          case '=': t.op = Op::Equals; break;
          case '*': t.op = Op::Contains; break;
          case '^': t.op = Op::Prefix; break;
          case '$': t.op = Op::Suffix; break;
          case '~': t.op = Op::Word; break;
          default: return std::nullopt;
        }
        if (t.op != Op::Equals) r.eat(r.peek());
        if (!r.eat('=')) return std::nullopt;
        r.skip_space();
        if (auto q = r.quoted()) {
          t.value = std::move(*q);
        } else {
          std::string_view v = r.ident();
          if (v.empty()) return std::nullopt;
          t.value = std::string(v);
        }
        r.skip_space();
        if (!r.eat(']')) return std::nullopt;
        t.ignore_case = std::find(std::begin(CASE_INSENSITIVE_ATTRS), std::end(CASE_INSENSITIVE_ATTRS), t.name) !=
                        std::end(CASE_INSENSITIVE_ATTRS);
      }
      c.attrs.push_back(std::move(t));
    }
    if (!universal && c.tag.empty() && c.attrs.empty()) return std::nullopt;
    if (!c.tag.empty()) {
      if (const myhtml_tag_context_t* known = myhtml_tag_static_search(c.tag.data(), c.tag.size())) c.tag_id = known->id;
    }
    sel.alternatives_.push_back(std::move(c));
    r.skip_space();
    if (r.at_end()) break;
    if (!r.eat(',')) return std::nullopt;
  }
  return sel;
}

Selector::Selector(std::string_view text) {
  std::optional<Selector> s = parse(text);
  VYR_CHECK(s.has_value(), "unsupported selector text");
  alternatives_ = std::move(s->alternatives_);
}

bool Selector::compound_matches(const Compound& c, Node node) {
  if (c.tag_id != 0) {
    if (raw(node.raw_)->tag_id != c.tag_id) return false;
  } else if (!c.tag.empty() && node.tag_name() != c.tag) {
    return false;
  }
  for (const AttrTest& t : c.attrs) {
    std::optional<std::string_view> v = node.attr(t.name);
    if (!v) return false;
    std::string_view value = *v;
    std::string lowered;
    std::string_view want = t.value;
    std::string want_lowered;
    if (t.ignore_case) {
      lowered = ascii_lower(value);
      want_lowered = ascii_lower(want);
      value = lowered;
      want = want_lowered;
    }
    switch (t.op) {
      case Op::Exists: break;
      case Op::Equals:
        if (value != want) return false;
        break;
      // Per CSS, an empty operand matches nothing for these three.
      case Op::Contains:
        if (want.empty() || value.find(want) == std::string_view::npos) return false;
        break;
      case Op::Prefix:
        if (want.empty() || !value.starts_with(want)) return false;
        break;
      case Op::Suffix:
        if (want.empty() || !value.ends_with(want)) return false;
        break;
      case Op::Word: {
        bool found = false;
        size_t i = 0;
        while (!found && i < value.size()) {
          while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == '\n' || value[i] == '\r' || value[i] == '\f')) ++i;
          size_t start = i;
          while (i < value.size() && !(value[i] == ' ' || value[i] == '\t' || value[i] == '\n' || value[i] == '\r' || value[i] == '\f')) ++i;
          found = i > start && value.substr(start, i - start) == want;
        }
        if (!found) return false;
        break;
      }
    }
  }
  return true;
}

bool Selector::matches(Node node) const {
  if (!node.is_element()) return false;
  return std::any_of(alternatives_.begin(), alternatives_.end(), [&](const Compound& c) { return compound_matches(c, node); });
}

// ---- Document ----

Document Document::parse(std::string_view html) {
  std::string storage;
  std::string_view input = safe_input(html, storage);
  ThreadParser& parser = thread_parser();
  myhtml_tree_t* tree = parser.take_tree();
  // The parser reads a null data pointer as "no input" only with length 0.
  static const char EMPTY[1] = {0};
  mystatus_t status = myhtml_parse(tree, MyENCODING_UTF_8, input.empty() ? EMPTY : input.data(), input.size());
  if (status != MyHTML_STATUS_OK) {
    // Only allocation failures get here; an empty tree stands for the page.
    myhtml_tree_clean(tree);
  }
  return Document(tree);
}

Document::Document(Document&& other) noexcept : tree_(other.tree_) { other.tree_ = nullptr; }

Document& Document::operator=(Document&& other) noexcept {
  if (this != &other) {
    if (tree_ != nullptr) thread_parser().give_back(static_cast<myhtml_tree_t*>(tree_));
    tree_ = other.tree_;
    other.tree_ = nullptr;
  }
  return *this;
}

Document::~Document() {
  if (tree_ != nullptr) thread_parser().give_back(static_cast<myhtml_tree_t*>(tree_));
}

Node Document::root() const {
  if (tree_ == nullptr) return {};
  return Node(myhtml_tree_get_document(static_cast<myhtml_tree_t*>(tree_)));
}

std::vector<Node> Document::select(const Selector& sel, Node scope) const {
  std::vector<Node> out;
  for_each_element(scope ? scope : root(), [&](Node n) {
    if (sel.matches(n)) out.push_back(n);
  });
  return out;
}

Node Document::select_first(const Selector& sel, Node scope) const {
  Node found;
  for_each_element(scope ? scope : root(), [&](Node n) {
    if (!sel.matches(n)) return true;
    found = n;
    return false;
  });
  return found;
}

}  // namespace vyr::extract::html
