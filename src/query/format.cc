#include "query/format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

#include <unicode/uchar.h>

namespace vyr::query {
namespace {

bool is_printable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c < 0x7F;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_UNASSIGNED:  // Cn
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_escaped(std::string& out, char32_t c, char quote) {
  switch (c) {
    case 0: out += "\\0"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\\': out += "\\\\"; return;
    default: break;
  }
  if (c == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
  } else if (is_printable(c)) {
    append_utf8(out, c);
  } else {
    char hex[16];
    auto r = std::to_chars(hex, hex + sizeof hex, static_cast<uint32_t>(c), 16);
    out += "\\u{";
    out.append(hex, r.ptr);
    out += '}';
  }
}

}  // namespace

size_t decode_utf8_at(std::string_view s, size_t pos, char32_t* out) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  size_t len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (pos + len > s.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *out = cp;
  return len;
}

void append_float_text(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::signbit(d)) out += '-';
  const double a = std::fabs(d);
  if (std::isinf(a)) {
    out += "inf";
    return;
  }
  if (a == 0.0) {
    out += "0.0";
    return;
  }
  // The shortest round-trip digits come from the scientific form
  // "d.ddde-XX"; the layout is then ours.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  const size_t e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at))
    if (c != '.') digits += c;
  const int exp = std::atoi(std::string(sci.substr(e_at + 1)).c_str());
  if (a >= 1e16 || a < 1e-4) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(exp);
    return;
  }
  if (exp >= 0) {
    const auto int_len = static_cast<size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, int_len);
      out += '.';
      out.append(digits, int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
}

std::string float_text(double d) {
  std::string out;
  append_float_text(out, d);
  return out;
}

void append_quoted_text(std::string& out, std::string_view s) {
  out += '"';
  size_t pos = 0;
  while (pos < s.size()) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += static_cast<char>(b);
      ++pos;
      continue;
    }
    char32_t c;
    const size_t len = decode_utf8_at(s, pos, &c);
    if (len == 0) {
      out += "\\u{fffd}";
      ++pos;
      continue;
    }
    append_escaped(out, c, '"');
    pos += len;
  }
  out += '"';
}

std::string quoted_text(std::string_view s) {
  std::string out;
  append_quoted_text(out, s);
  return out;
}

std::string quoted_char(char32_t c) {
  std::string out = "'";
  append_escaped(out, c, '\'');
  out += '\'';
  return out;
}

}  // namespace vyr::query
