#include "extract/text.h"

#include <algorithm>
#include <cstdint>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace vyr::extract {

// Each character is decoded from a window of at most 4 bytes, so ICU's 32-bit
// offsets stay small whatever the text size.
std::string_view trim_unicode_space(std::string_view s) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  size_t begin = 0;
  while (begin < s.size()) {
    const auto length = static_cast<int32_t>(std::min<size_t>(s.size() - begin, 4));
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(bytes + begin, i, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin += static_cast<size_t>(i);
  }
  size_t end = s.size();
  while (end > begin) {
    const size_t base = std::max(begin, end >= 4 ? end - 4 : 0);
    auto i = static_cast<int32_t>(end - base);
    UChar32 c;
    U8_PREV(bytes + base, 0, i, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = base + static_cast<size_t>(i);
  }
  return s.substr(begin, end - begin);
}

std::optional<std::string> id_text(const json::Value* v) {
  if (v == nullptr) return std::nullopt;
  switch (v->type()) {
    case json::Value::Type::String:
      if (v->as_string().empty()) return std::nullopt;
      return v->as_string();
    case json::Value::Type::UInt:
      if (v->as_uint() > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      return std::to_string(v->as_uint());
    case json::Value::Type::Int: return std::to_string(v->as_int());
    default: return std::nullopt;
  }
}

}  // namespace vyr::extract
