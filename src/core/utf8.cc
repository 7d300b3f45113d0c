#include "core/utf8.h"

#include <simdjson.h>

namespace vyr {

bool is_valid_utf8(std::string_view bytes) { return simdjson::validate_utf8(bytes.data(), bytes.size()); }

std::string to_valid_utf8(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  static constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size() + 16);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out += REPLACEMENT;
      ++i;
      continue;
    }
    size_t j = i + 1;
    size_t got = 0;
    while (got < need && j < n) {
      unsigned char b = p[j];
      if (got == 0 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
      ++j;
      ++got;
    }
    if (got == need)
      out.append(s.data() + i, j - i);
    else
      out += REPLACEMENT;
    i = j;
  }
  return out;
}

}  // namespace vyr
