#include "extract/microdata.h"

#include <array>
#include <cstdint>

#include "core/graph.h"
#include "core/json.h"
#include "extract/normalize.h"

namespace vyr::extract::microdata {

namespace {

// The Unicode White_Space characters, as UTF-8.
constexpr std::array<std::string_view, 25> UNICODE_SPACES = {
    "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

size_t leading_space(std::string_view s) {
  for (std::string_view sp : UNICODE_SPACES) {
    if (s.starts_with(sp)) return sp.size();
  }
  return 0;
}

size_t trailing_space(std::string_view s) {
  for (std::string_view sp : UNICODE_SPACES) {
    if (s.ends_with(sp)) return sp.size();
  }
  return 0;
}

std::string_view trim_space(std::string_view s) {
  while (size_t n = leading_space(s)) s.remove_prefix(n);
  while (size_t n = trailing_space(s)) s.remove_suffix(n);
  return s;
}

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
// has one. Filled during a single walk that tests every selector per element.
void take_first_value(std::optional<std::string>& slot, const html::Selector& sel, html::Node n) {
  if (!slot && sel.matches(n)) slot = element_value(n);
}

// The itemprop fields of one scope (or of the whole document).
struct Fields {
  std::optional<std::string> name, price, currency, image, url;

  void visit(html::Node n, bool with_url) {
    // Nearly every element carries no itemprop; it can match none of these.
    if (!n.has_attr("itemprop")) return;
    const Selectors& s = selectors();
    take_first_value(name, s.NAME_SEL, n);
    take_first_value(price, s.PRICE_SEL, n);
    take_first_value(currency, s.CURRENCY_SEL, n);
    take_first_value(image, s.IMAGE_SEL, n);
    if (with_url) take_first_value(url, s.URL_SEL, n);
  }
  bool complete(bool with_url) const { return name && price && currency && image && (url || !with_url); }
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

// Page-level facts, gathered in one walk over the document with the scope
// elements and the document's own first itemprop values.
struct PageScan {
  std::optional<std::string> page_url;
  std::optional<std::string> description;
  html::Node addtocart;
  html::Node product_id_element;
  std::vector<html::Node> scopes;
  Fields document_fields;

  explicit PageScan(const html::Document& doc) {
    const Selectors& s = selectors();
    doc.for_each_element([&](html::Node n) {
      take_first_value(page_url, s.OG_URL_SEL, n);
      take_first_value(description, s.OG_DESC_SEL, n);
      if (!addtocart && s.ADDTOCART_SEL.matches(n)) addtocart = n;
      if (!product_id_element && s.PRODUCT_ID_ATTR_SEL.matches(n)) product_id_element = n;
      if (s.PRODUCT_SCOPE_SEL.matches(n)) scopes.push_back(n);
      document_fields.visit(n, false);
    });
  }

  std::optional<std::string> product_id() const {
    if (std::optional<std::string> id = addtocart_id(addtocart)) return id;
    if (!product_id_element) return std::nullopt;
    std::string_view value = product_id_element.attr("data-product-id").value_or("");
    if (value.empty()) return std::nullopt;
    return std::string(value);
  }
};

std::optional<std::string> absolutized(const std::optional<std::string>& url, const std::optional<std::string>& base) {
  if (!url) return std::nullopt;
  return absolutize(*url, base ? std::optional<std::string_view>(*base) : std::nullopt);
}

}  // namespace

std::optional<std::string> element_value(html::Node element) {
  for (std::string_view attr : {"content", "src", "href"}) {
    if (std::optional<std::string_view> v = element.attr(attr)) return std::string(*v);
  }
  std::string text = element.text();
  std::string_view trimmed = trim_space(text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::vector<MicrodataProduct> extract_from_dom(const html::Document& document) {
  const PageScan page(document);
  std::vector<MicrodataProduct> products;
  for (html::Node scope : page.scopes) {
    Fields f;
    // The scope element itself counts, then its descendants in order.
    document.for_each_element(scope, [&](html::Node n) {
      f.visit(n, true);
      return !f.complete(true);
    });
    if (!f.name) continue;
    MicrodataProduct p;
    p.name = std::move(*f.name);
    p.price = std::move(f.price);
    p.currency = std::move(f.currency);
    p.image = absolutized(f.image, page.page_url);
    p.url = f.url ? absolutized(f.url, page.page_url) : page.page_url;
    products.push_back(std::move(p));
  }
  // Page-level facts describe the page's one product; on a listing page they
  // belong to none of its products in particular.
  if (products.size() == 1) {
    products[0].description = page.description;
    products[0].product_id = page.product_id();
  }
  if (!products.empty()) return products;

  const Fields& f = page.document_fields;
  if (!f.name) return products;
  MicrodataProduct p;
  p.name = *f.name;
  p.price = f.price;
  p.currency = f.currency;
  p.image = absolutized(f.image, page.page_url);
  p.url = page.page_url;
  p.description = page.description;
  p.product_id = page.product_id();
  products.push_back(std::move(p));
  return products;
}

void ingest_microdata(GraphBuilder& builder, const std::vector<MicrodataProduct>& products, const PriceScale& scale) {
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
      std::string_view d = trim_space(*p.description);
      if (!d.empty()) props.set("description", std::string(d));
    }
    if (!has_product_signal(props)) continue;
    builder.upsert_node(NodeKind::Product, id, p.name, json::to_text(json::Value(std::move(props))));
  }
}

std::string absolutize(std::string_view url, std::optional<std::string_view> base) {
  // Only the base's scheme and host are used, so a full page URL serves as
  // the origin does.
  return absolutize_url(url, base);
}

}  // namespace vyr::extract::microdata
