#include "extract/normalize.h"

#include <algorithm>
#include <array>

namespace vyr::extract {

namespace {

bool starts_with_http(std::string_view url) { return url.size() > 3 && url.starts_with("http"); }

// Paths that name site furniture rather than the product.
constexpr std::array<std::string_view, 10> NON_PRODUCT_IMAGE_MARKS = {
    "/logo", "/banner", "/icon", "favicon", "/sprite", "placeholder", "/theme_src/", "/default_img/", "no-image", "noimage",
};

bool is_product_image(std::string_view url) {
  std::string lowered(url.substr(0, url.find('?')));
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered.ends_with(".svg")) return false;
  return std::none_of(NON_PRODUCT_IMAGE_MARKS.begin(), NON_PRODUCT_IMAGE_MARKS.end(),
                      [&](std::string_view mark) { return lowered.find(mark) != std::string::npos; });
}

void admit_image(std::optional<std::string> candidate, std::vector<std::string>& out) {
  if (!candidate) return;
  if (std::find(out.begin(), out.end(), *candidate) != out.end()) return;
  if (!is_product_image(*candidate)) return;
  out.push_back(std::move(*candidate));
}

void admit_each(const json::Value* value, std::vector<std::string>& out) {
  if (value == nullptr) return;
  if (value->is_array()) {
    for (const json::Value& v : value->as_array()) admit_image(from_image_node(v), out);
  } else {
    admit_image(from_image_node(*value), out);
  }
}

bool is_non_empty_object(const json::Value& v) { return v.is_object() && !v.as_object().empty(); }

}  // namespace

std::optional<std::string> url_origin(std::string_view url) {
  size_t sep = url.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  std::string_view scheme = url.substr(0, sep);
  std::string_view rest = url.substr(sep + 3);
  std::string_view host = rest.substr(0, rest.find('/'));
  if (host.empty()) return std::nullopt;
  std::string out;
  out.reserve(scheme.size() + 3 + host.size());
  out.append(scheme).append("://").append(host);
  return out;
}

std::string absolutize_url(std::string_view url, std::optional<std::string_view> origin) {
  if (starts_with_http(url) || !origin) return std::string(url);
  if (url.starts_with("//")) {
    size_t sep = origin->find("://");
    std::string_view scheme = sep == std::string_view::npos ? *origin : origin->substr(0, sep);
    std::string out(scheme);
    out.append("://").append(url.substr(2));
    return out;
  }
  if (url.starts_with("/")) {
    size_t sep = origin->find("://");
    if (sep == std::string_view::npos) return std::string(url);
    std::string_view rest = origin->substr(sep + 3);
    std::string_view host = rest.substr(0, rest.find('/'));
    if (host.empty()) return std::string(url);
    std::string out(origin->substr(0, sep));
    out.append("://").append(host).append(url);
    return out;
  }
  return std::string(url);
}

std::optional<std::string> from_image_node(const json::Value& value) {
  // Image values nest (arrays of objects of arrays...); walk them with an
  // explicit stack so that no page can make this recurse without bound.
  std::vector<std::pair<const json::Value*, size_t>> arrays;
  const json::Value* v = &value;
  for (;;) {
    if (v != nullptr) {
      if (v->is_string()) {
        if (!v->as_string().empty()) return v->as_string();
      } else if (v->is_array()) {
        arrays.emplace_back(v, 0);
      } else if (v->is_object()) {
        for (std::string_view key : {"img_url", "src", "url"}) {
          if (const json::Value* m = v->get(key)) {
            if (m->is_string() && !m->as_string().empty()) return m->as_string();
            break;
          }
        }
      }
      v = nullptr;
    }
    if (arrays.empty()) return std::nullopt;
    auto& [array, next] = arrays.back();
    if (next == array->as_array().size()) {
      arrays.pop_back();
      continue;
    }
    v = &array->as_array()[next++];
  }
}

std::optional<std::string> extract_image(const json::Value& record) {
  if (!is_non_empty_object(record)) return std::nullopt;
  for (std::string_view key : {"featured_image", "image"}) {
    if (const json::Value* v = record.get(key)) {
      if (auto image = from_image_node(*v)) return image;
    }
  }
  if (const json::Value* images = record.get("images"); images != nullptr && images->is_array()) {
    for (const json::Value& v : images->as_array()) {
      if (auto image = from_image_node(v)) return image;
    }
  }
  return std::nullopt;
}

std::vector<std::string> extract_images(const json::Value& record) {
  std::vector<std::string> out;
  if (!is_non_empty_object(record)) return out;
  if (const json::Value* featured = record.get("featured_image")) admit_image(from_image_node(*featured), out);
  admit_each(record.get("images"), out);
  admit_each(record.get("image"), out);
  return out;
}

}  // namespace vyr::extract
