#include "extract/hypernova.h"

#include <cstdint>
#include <string>

#include "extract/normalize.h"
#include "extract/pipeline.h"
#include "extract/text.h"

namespace vyr::extract::hypernova {

namespace {

// The one payload kind read; other keys hold navigation, footers and the like.
constexpr std::string_view MARKER = "data-hypernova-key=\"landingdesktopApp\"";

constexpr std::string_view DESCRIPTION_IMAGE_KEYS[] = {"imageDesc1", "imageDesc2", "imageDesc3", "imageDesc4",
                                                       "imageDesc5"};


// The JSON inside the script element: the comment wrapper that keeps the
// browser from reading it as script is removed, however often it repeats.
std::string_view unwrap_payload(std::string_view body) {
  body = trim_unicode_space(body);
  while (body.starts_with("<!--")) body.remove_prefix(4);
  while (body.ends_with("-->")) body.remove_suffix(3);
  return trim_unicode_space(body);
}

// Position of the first marker that stands in a script tag. The search for
// each marker's "<" resumes where the previous one stopped, so a page full
// of markers outside script tags costs one pass, not one pass per marker.
size_t find_marker_in_script(std::string_view html) {
  size_t from = 0;
  size_t scanned = 0;                       // bytes before this were searched for "<"
  size_t last_lt = std::string_view::npos;  // the last "<" among them
  while (true) {
    const size_t at = find_text(html, MARKER, from);
    if (at == std::string_view::npos) return at;
    const size_t lt = html.substr(scanned, at - scanned).rfind('<');
    if (lt != std::string_view::npos) last_lt = scanned + lt;
    scanned = at;
    const size_t tag = last_lt == std::string_view::npos ? 0 : last_lt;
    if (html.substr(tag).starts_with("<script")) return at;
    from = at + MARKER.size();
  }
}


}  // namespace

std::optional<Payload> find_hypernova(std::string_view html) {
  const size_t marker = find_marker_in_script(html);
  if (marker == std::string_view::npos) return std::nullopt;
  const size_t gt = html.find('>', marker);
  if (gt == std::string_view::npos) return std::nullopt;
  const size_t close = find_text(html, "</script>", gt + 1);
  if (close == std::string_view::npos) return std::nullopt;

  std::optional<json::Value> root = json::parse(unwrap_payload(html.substr(gt + 1, close - gt - 1)));
  if (!root) return std::nullopt;
  const json::Value* props = root->get("props");
  const json::Value* page = props != nullptr && props->is_object() ? props->get("page") : nullptr;
  if (page == nullptr || !page->is_object()) return std::nullopt;
  const json::Value* products = page->get("products");
  if (products == nullptr || !products->is_array()) return std::nullopt;

  Payload payload;
  payload.products = products->as_array();
  if (const std::string* url = page->get_string("url")) payload.page_url = *url;
  return payload;
}

namespace {

// Sink: GraphBuilder, or RecordedWrites for a replay on the folding thread.
template <class Sink>
void ingest_into_sink(Sink& builder, const std::vector<json::Value>& products, const PriceScale& scale,
                      std::string_view page_url, std::optional<std::string_view> origin) {
  for (const json::Value& product : products) {
    if (!product.is_object() || product.as_object().empty()) continue;
    const std::string* title = product.get_string("title");
    const std::string name = title != nullptr ? *title : "";
    std::optional<std::string> id = id_text(product.get("id"));
    if (!id && !name.empty()) id = name;
    if (!id) continue;

    // Only the keys below are kept: the payload's other members are
    // rendering state, not product data.
    json::Object props;
    if (auto verdict = scale.verdict(product.get("price"))) verdict->write_into(props);

    // The product's own image wins; description images stand in for it and
    // fill the gallery.
    json::Array description_images;
    for (std::string_view key : DESCRIPTION_IMAGE_KEYS) {
      if (const std::string* image = product.get_string(key); image != nullptr && !image->empty())
        description_images.emplace_back(*image);
    }
    json::Object gallery;
    const json::Value* own_image = product.get("image");
    gallery.set("image", own_image != nullptr ? *own_image : json::Value());
    gallery.set("images", json::Value(std::move(description_images)));
    const json::Value gallery_value(std::move(gallery));
    if (std::optional<std::string> image = extract_image(gallery_value))
      props.set("image", json::Value(absolutize_url(*image, origin)));
    if (std::vector<std::string> images = extract_images(gallery_value); images.size() >= 2) {
      json::Array list;
      list.reserve(images.size());
      for (const std::string& image : images) list.emplace_back(absolutize_url(image, origin));
      props.set("images", json::Value(std::move(list)));
    }

    if (!page_url.empty()) props.set("url", json::Value(page_url));
    if (!has_product_signal(props)) continue;
    builder.upsert_node(NodeKind::Product, *id, name, json::to_text(json::Value(std::move(props))));
  }
}

}  // namespace

void ingest_hypernova(GraphBuilder& builder, const std::vector<json::Value>& products, const PriceScale& scale,
                      std::string_view page_url, std::optional<std::string_view> origin) {
  ingest_into_sink(builder, products, scale, page_url, origin);
}

void ingest_hypernova(RecordedWrites& writes, const std::vector<json::Value>& products, const PriceScale& scale,
                      std::string_view page_url, std::optional<std::string_view> origin) {
  ingest_into_sink(writes, products, scale, page_url, origin);
}

}  // namespace vyr::extract::hypernova
