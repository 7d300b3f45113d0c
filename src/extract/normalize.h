// URL and image helpers shared by the extractors: the origin of a page URL,
// relative URLs made absolute against an origin, and product image URLs picked
// out of JSON records.
//
// Pure byte-level text operations: no URL validation, no percent-decoding, no
// host lowercasing, no dot-segment resolution. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace vyr::extract {

// "https://shop.example/p/1?x" -> "https://shop.example". The scheme is what
// precedes the first "://"; the host runs to the next "/" (a port or a query
// with no "/" before it stays in the host). Nothing without "://" or with an
// empty host.
std::optional<std::string> url_origin(std::string_view url);

// `url` made absolute against `origin` ("scheme://host"): protocol-relative
// ("//cdn/x") and root-relative ("/x") URLs are completed; anything of 4+
// bytes starting with "http", page-relative paths, fragments, other schemes
// and the empty text come back unchanged, as does everything without origin.
std::string absolutize_url(std::string_view url, std::optional<std::string_view> origin);

// An image URL from one JSON image value: a non-empty string; the first usable
// element of an array; for an object, the first of "img_url", "src", "url"
// that exists decides alone.
std::optional<std::string> from_image_node(const json::Value& value);

// The first usable image of a record, unfiltered: "featured_image", then
// "image", then the elements of an "images" array.
std::optional<std::string> extract_image(const json::Value& record);

// Every usable image of a record ("featured_image", "images", "image"), in
// that order, de-duplicated, with SVGs, logos, banners, icons, sprites and
// placeholders left out.
std::vector<std::string> extract_images(const json::Value& record);

}  // namespace vyr::extract
