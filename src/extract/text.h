// Text helpers shared by the extractors.
//
// Substring search over page text tests two of the needle's bytes, chosen
// for being rare in HTML, at 16 or 32 positions at a time: the first byte of
// most markers ('"', 'i', 'g', '<') is common in pages, so searches that key
// on it (string_view::find, and to a lesser degree memmem) stop far more
// often.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

namespace vyr::extract {

// The position of the first `needle` in `hay` at or after `from`, or npos.
// Safe on a null view (an empty page).
size_t find_text(std::string_view hay, std::string_view needle, size_t from = 0);
namespace detail {
// find_text without AVX2, which find_text uses wherever the processor has it.
size_t find_text_sse2(std::string_view hay, std::string_view needle, size_t from = 0);
}  // namespace detail

// `s` without Unicode White_Space characters at either end. Stray bytes that
// are not UTF-8 count as text, not space.
std::string_view trim_unicode_space(std::string_view s);

// The compact JSON text of `base` with `overrides` written over it: what
// json::to_text prints for the merged object, without copying `base` (a
// product object with its offers, images and variants) to merge into it.
std::string merged_json_text(const json::Object& base, const json::Object& overrides);

// An identity taken from a record member: a non-empty string as is, or an
// integer that fits a signed 64-bit value as its decimal text; nothing for
// any other value (floats, larger integers, "", absent).
std::optional<std::string> id_text(const json::Value* v);

}  // namespace vyr::extract
