// Text helpers shared by the extractors.
//
// Substring search over page text uses glibc's memmem: several times faster
// than string_view::find there, because the first byte of most markers ('"',
// 'i', 'g', '<') is common in HTML and find stops at each occurrence.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

namespace vyr::extract {

// The position of the first `needle` in `hay` at or after `from`, or npos.
inline size_t find_text(std::string_view hay, std::string_view needle, size_t from = 0) {
  // Also keeps a null view (an empty page) away from memmem.
  if (from > hay.size() || hay.size() - from < needle.size()) return std::string_view::npos;
  const void* at = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
  return at == nullptr ? std::string_view::npos : static_cast<size_t>(static_cast<const char*>(at) - hay.data());
}

// `s` without Unicode White_Space characters at either end. Stray bytes that
// are not UTF-8 count as text, not space.
std::string_view trim_unicode_space(std::string_view s);

// An identity taken from a record member: a non-empty string as is, or an
// integer that fits a signed 64-bit value as its decimal text; nothing for
// any other value (floats, larger integers, "", absent).
std::optional<std::string> id_text(const json::Value* v);

}  // namespace vyr::extract
