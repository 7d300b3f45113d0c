#include "extract/microdata.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "core/graph.h"
#include "core/json.h"
#include "extract/normalize.h"
#include "extract/text.h"

namespace vyr::extract::microdata {

namespace {


// Compiled on first use; C++ initialises function-local statics once, even
// when several extraction threads arrive at the same moment.
struct Selectors {
  html::Selector OG_URL_SEL{"meta[property='og:url']"};
  html::Selector OG_DESC_SEL{"meta[property='og:description'], meta[name='description']"};
  html::Selector ADDTOCART_SEL{"[data-addtocart]"};
  html::Selector PRODUCT_ID_ATTR_SEL{"[data-product-id]"};
  html::Selector PRODUCT_SCOPE_SEL{"[itemscope][itemtype*='Product']"};
  html::Selector NAME_SEL{"[itemprop='name']"};
  html::Selector PRICE_SEL{"[itemprop='price']"};
  html::Selector CURRENCY_SEL{"[itemprop='priceCurrency']"};
  html::Selector IMAGE_SEL{"[itemprop='image']"};
  html::Selector URL_SEL{"[itemprop='url']"};
};

const Selectors& selectors() {
  static const Selectors SELECTORS;
  return SELECTORS;
}

// "First value of a selector": the value of the first matching element that
// has one.
void take_first_value(std::optional<std::string>& slot, const html::Selector& sel, html::Node n) {
  if (!slot && sel.matches(n)) slot = element_value(n);
}

// The itemprop fields of one scope, or of the whole document. A value is
// shared by every scope it was handed to: nested scopes must not each copy a
// large element text.
enum Field : size_t { NAME, PRICE, CURRENCY, IMAGE, URL, FIELD_COUNT };
using SharedText = std::shared_ptr<const std::string>;
using Fields = std::array<SharedText, FIELD_COUNT>;

const html::Selector& field_selector(size_t f) {
  const Selectors& s = selectors();
  const html::Selector* sels[FIELD_COUNT] = {&s.NAME_SEL, &s.PRICE_SEL, &s.CURRENCY_SEL, &s.IMAGE_SEL, &s.URL_SEL};
  return *sels[f];
}

// The first values of every open scope, filled in one walk over the document
// however the scopes nest. Scopes are open while the walk is inside them, and
// an element belongs to every open scope. Any scope that still lacks a field
// was opened after every open scope that has it (what the inner scope saw,
// the outer one saw too), so the scopes lacking a field are a suffix of the
// open stack: a value is handed to that suffix once, and each scope's field
// is written at most once.
class ScopeFields {
 public:
  // Index 0 stands for the whole document and is never closed.
  ScopeFields() { open(); }

  size_t open() {
    fields_.emplace_back();
    stack_.push_back(fields_.size() - 1);
    return fields_.size() - 1;
  }
  void close() {
    stack_.pop_back();
    for (size_t& f : first_lacking_) f = std::min(f, stack_.size());
  }
  void visit(html::Node n) {
    // Nearly every element carries no itemprop; it can match none of these.
    if (!n.has_attr("itemprop")) return;
    for (size_t f = 0; f < FIELD_COUNT; ++f) {
      if (first_lacking_[f] == stack_.size() || !field_selector(f).matches(n)) continue;
      std::optional<std::string> value = element_value(n);
      if (!value) continue;
      const SharedText shared = std::make_shared<const std::string>(std::move(*value));
      for (size_t k = first_lacking_[f]; k < stack_.size(); ++k) fields_[stack_[k]][f] = shared;
      first_lacking_[f] = stack_.size();
    }
  }
  Fields& of(size_t scope) { return fields_[scope]; }

 private:
  std::vector<Fields> fields_;  // per scope, in the order they opened
  std::vector<size_t> stack_;   // open scopes, outermost first
  std::array<size_t, FIELD_COUNT> first_lacking_{};
};

std::optional<std::string> addtocart_id(html::Node element) {
  if (!element) return std::nullopt;
  // An attribute without a value reads as a null view, which the JSON reader
  // must not be handed; it is no JSON anyway.
  const std::string_view text = element.attr("data-addtocart").value_or(std::string_view());
  if (text.empty()) return std::nullopt;
  std::optional<json::Value> parsed = json::parse(text);
  if (!parsed || !parsed->is_object() || parsed->as_object().empty()) return std::nullopt;
  const json::Value* id = parsed->get("id");
  if (id == nullptr) return std::nullopt;
  switch (id->type()) {
    case json::Value::Type::UInt: return std::to_string(id->as_uint());
    case json::Value::Type::Int: return std::to_string(id->as_int());
    case json::Value::Type::String:
      if (!id->as_string().empty()) return id->as_string();
      return std::nullopt;
    default: return std::nullopt;
  }
}

// Everything the page's products are built from, gathered in one walk over
// the document: page-level meta values, the buy-button elements, and the
// first itemprop values of every scope and of the document.
struct PageScan {
  std::optional<std::string> page_url;
  std::optional<std::string> description;
  html::Node addtocart;
  html::Node product_id_element;
  ScopeFields fields;
  std::vector<size_t> scopes;  // into `fields`, in document order

  explicit PageScan(const html::Document& doc) {
    const Selectors& s = selectors();
    // Iterative pre-order walk that also sees each element's end, so a scope
    // is closed exactly when the walk leaves its subtree.
    std::vector<html::Node> open_scopes;
    const html::Node root = doc.root();
    html::Node n = root;
    while (n) {
      if (n.is_element()) {
        if (n.tag_name() == "meta") {
          take_first_value(page_url, s.OG_URL_SEL, n);
          take_first_value(description, s.OG_DESC_SEL, n);
        }
        if (!addtocart && s.ADDTOCART_SEL.matches(n)) addtocart = n;
        if (!product_id_element && s.PRODUCT_ID_ATTR_SEL.matches(n)) product_id_element = n;
        // A scope's own itemprop counts for it: open it first.
        if (s.PRODUCT_SCOPE_SEL.matches(n)) {
          scopes.push_back(fields.open());
          open_scopes.push_back(n);
        }
        fields.visit(n);
      }
      if (html::Node child = n.first_child()) {
        n = child;
        continue;
      }
      for (;;) {
        if (!open_scopes.empty() && open_scopes.back() == n) {
          open_scopes.pop_back();
          fields.close();
        }
        if (n == root) return;
        if (html::Node next = n.next_sibling()) {
          n = next;
          break;
        }
        n = n.parent();
      }
    }
  }

  std::optional<std::string> product_id() const {
    if (std::optional<std::string> id = addtocart_id(addtocart)) return id;
    if (!product_id_element) return std::nullopt;
    std::string_view value = product_id_element.attr("data-product-id").value_or("");
    if (value.empty()) return std::nullopt;
    return std::string(value);
  }
};

std::optional<std::string> text_of(const SharedText& value) {
  if (!value) return std::nullopt;
  return *value;
}

std::optional<std::string> absolutized(const SharedText& url, const std::optional<std::string>& base) {
  if (!url) return std::nullopt;
  return absolutize(*url, base ? std::optional<std::string_view>(*base) : std::nullopt);
}

MicrodataProduct product_of(const Fields& f) {
  MicrodataProduct p;
  p.name = *f[NAME];
  p.price = text_of(f[PRICE]);
  p.currency = text_of(f[CURRENCY]);
  return p;
}

}  // namespace

std::optional<std::string> element_value(html::Node element) {
  for (std::string_view attr : {"content", "src", "href"}) {
    if (std::optional<std::string_view> v = element.attr(attr)) return std::string(*v);
  }
  std::string text = element.text();
  std::string_view trimmed = trim_unicode_space(text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::vector<MicrodataProduct> extract_from_dom(const html::Document& document) {
  PageScan page(document);
  std::vector<MicrodataProduct> products;
  size_t named_scopes = 0;
  const Fields* previous = nullptr;
  for (size_t scope : page.scopes) {
    const Fields& f = page.fields.of(scope);
    if (!f[NAME]) continue;
    ++named_scopes;
    // A scope nested in the previous one that found exactly the same values
    // (the same elements) makes the same product, whose second upsert would
    // change nothing: it is left out, so nesting cannot multiply the list.
    if (previous != nullptr && *previous == f) continue;
    previous = &f;
    MicrodataProduct p = product_of(f);
    p.image = absolutized(f[IMAGE], page.page_url);
    p.url = f[URL] ? absolutized(f[URL], page.page_url) : page.page_url;
    products.push_back(std::move(p));
  }
  // Page-level facts describe the page's one product; on a listing page they
  // belong to none of its products in particular.
  if (named_scopes == 1) {
    products[0].description = page.description;
    products[0].product_id = page.product_id();
  }
  if (!products.empty()) return products;

  // No scope gave a product: the document's own first values, and the page
  // URL rather than any itemprop url.
  const Fields& f = page.fields.of(0);
  if (!f[NAME]) return products;
  MicrodataProduct p = product_of(f);
  p.image = absolutized(f[IMAGE], page.page_url);
  p.url = page.page_url;
  p.description = page.description;
  p.product_id = page.product_id();
  products.push_back(std::move(p));
  return products;
}

namespace {

// Sink: GraphBuilder, or RecordedWrites for a replay on the folding thread.
template <class Sink>
void ingest_into_sink(Sink& builder, const std::vector<MicrodataProduct>& products, const PriceScale& scale) {
  for (const MicrodataProduct& p : products) {
    const std::string& id = p.product_id ? *p.product_id : p.url ? *p.url : p.name;
    json::Object props;
    if (p.product_id) props.set("product_id", *p.product_id);
    if (p.url) props.set("url", *p.url);
    if (p.price) {
      const json::Value price(*p.price);
      if (std::optional<PriceVerdict> v = scale.verdict(&price)) v->write_into(props);
    }
    // The scope's own currency, as found, outranks the page currency the
    // verdict wrote.
    if (p.currency) props.set("currency", *p.currency);
    if (p.image) props.set("image", *p.image);
    if (p.description) {
      std::string_view d = trim_unicode_space(*p.description);
      if (!d.empty()) props.set("description", std::string(d));
    }
    if (!has_product_signal(props)) continue;
    builder.upsert_node(NodeKind::Product, id, p.name, json::to_text(json::Value(std::move(props))));
  }
}

}  // namespace

void ingest_microdata(GraphBuilder& builder, const std::vector<MicrodataProduct>& products, const PriceScale& scale) {
  ingest_into_sink(builder, products, scale);
}

void ingest_microdata(RecordedWrites& writes, const std::vector<MicrodataProduct>& products, const PriceScale& scale) {
  ingest_into_sink(writes, products, scale);
}

std::string absolutize(std::string_view url, std::optional<std::string_view> base) {
  // Only the base's scheme and host are used, so a full page URL serves as
  // the origin does.
  return absolutize_url(url, base);
}

}  // namespace vyr::extract::microdata
