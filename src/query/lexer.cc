#include "query/lexer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include <unicode/uchar.h>

#include "query/format.h"

namespace vyr::query {
namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_white_space(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return u_isUWhiteSpace(static_cast<UChar32>(c));
}

bool is_alphabetic(char32_t c) {
  if (c < 0x80) return is_ascii_letter(static_cast<char>(c));
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool is_numeric(char32_t c) {
  if (c < 0x80) return is_ascii_digit(static_cast<char>(c));
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_DECIMAL_DIGIT_NUMBER:
    case U_LETTER_NUMBER:
    case U_OTHER_NUMBER:
      return true;
    default:
      return false;
  }
}

Token simple(TokenKind kind) {
  Token t;
  t.kind = kind;
  return t;
}

Token with_text(TokenKind kind, std::string_view text) {
  Token t;
  t.kind = kind;
  t.text = std::string(text);
  return t;
}

std::string at(std::string_view what, size_t pos) {
  std::string m(what);
  m += " at ";
  m += std::to_string(pos);
  return m;
}

// The digits-and-one-point run starting at `pos`, as an Int or Float token.
Result<Token> number(std::string_view text, size_t* pos) {
  const size_t start = *pos;
  bool has_point = false;
  size_t p = start;
  while (p < text.size()) {
    if (is_ascii_digit(text[p])) {
      ++p;
    } else if (text[p] == '.' && !has_point) {
      has_point = true;
      ++p;
    } else {
      break;
    }
  }
  *pos = p;
  const char* first = text.data() + start;
  const char* last = text.data() + p;
  Token t;
  if (!has_point) {
    t.kind = TokenKind::Int;
    auto r = std::from_chars(first, last, t.int_value);
    if (r.ec != std::errc() || r.ptr != last) return Error("bad int");
    return t;
  }
  t.kind = TokenKind::Float;
  auto r = std::from_chars(first, last, t.float_value, std::chars_format::fixed);
  if (r.ec == std::errc::result_out_of_range) {
    // The nearest double to a run too long for the range: infinity when the
    // integer part is non-zero, else zero.
    bool big = false;
    for (const char* c = first; c != last && *c != '.'; ++c) big = big || *c != '0';
    t.float_value = big ? std::numeric_limits<double>::infinity() : 0.0;
    return t;
  }
  if (r.ec != std::errc() || r.ptr != last) return Error("bad float");
  return t;
}

}  // namespace

std::string_view kind_name(TokenKind kind) {
  static constexpr std::string_view NAMES[] = {
      "LParen", "RParen", "LBracket", "RBracket", "LBrace",     "RBrace", "Colon",
      "Comma",  "Dot",    "Pipe",     "Star",     "ArrowRight", "ArrowLeft", "Dash",
      "Eq",     "Ne",     "Lt",       "Le",       "Gt",         "Ge",     "RegexMatch",
      "Ident",  "Int",    "Float",    "Str",
  };
  return NAMES[static_cast<size_t>(kind)];
}

std::string debug_text(const Token& token) {
  std::string out(kind_name(token.kind));
  switch (token.kind) {
    case TokenKind::Ident:
    case TokenKind::Str:
      out += '(';
      append_quoted_text(out, token.text);
      out += ')';
      break;
    case TokenKind::Int:
      out += '(';
      out += std::to_string(token.int_value);
      out += ')';
      break;
    case TokenKind::Float:
      out += '(';
      append_float_text(out, token.float_value);
      out += ')';
      break;
    default:
      break;
  }
  return out;
}

std::string debug_text(const std::optional<Token>& token) {
  if (!token) return "None";
  return "Some(" + debug_text(*token) + ")";
}

Result<std::vector<Token>> tokenize(std::string_view text) {
  // Checked once up front so that the scan below, and every text it copies
  // into a token, only ever sees well-formed UTF-8.
  for (size_t p = 0; p < text.size();) {
    if (static_cast<unsigned char>(text[p]) < 0x80) {
      ++p;
      continue;
    }
    char32_t c;
    const size_t len = decode_utf8_at(text, p, &c);
    if (len == 0) return Error(at("invalid UTF-8", p));
    p += len;
  }

  std::vector<Token> tokens;
  // About one token per four bytes of a typical query; capped, since one long
  // string literal is a single token.
  tokens.reserve(std::min<size_t>(text.size() / 4 + 4, 1024));
  size_t pos = 0;
  const size_t n = text.size();
  auto next_is = [&](char c) { return pos + 1 < n && text[pos + 1] == c; };
  while (pos < n) {
    const char b = text[pos];
    char32_t c = static_cast<unsigned char>(b);
    size_t len = 1;
    if (c >= 0x80) len = decode_utf8_at(text, pos, &c);
    if (is_white_space(c)) {
      pos += len;
      continue;
    }
    switch (b) {
      case '(': tokens.push_back(simple(TokenKind::LParen)); ++pos; continue;
      case ')': tokens.push_back(simple(TokenKind::RParen)); ++pos; continue;
      case '[': tokens.push_back(simple(TokenKind::LBracket)); ++pos; continue;
      case ']': tokens.push_back(simple(TokenKind::RBracket)); ++pos; continue;
      case '{': tokens.push_back(simple(TokenKind::LBrace)); ++pos; continue;
      case '}': tokens.push_back(simple(TokenKind::RBrace)); ++pos; continue;
      case ':': tokens.push_back(simple(TokenKind::Colon)); ++pos; continue;
      case ',': tokens.push_back(simple(TokenKind::Comma)); ++pos; continue;
      case '.': tokens.push_back(simple(TokenKind::Dot)); ++pos; continue;
      case '|': tokens.push_back(simple(TokenKind::Pipe)); ++pos; continue;
      case '*': tokens.push_back(simple(TokenKind::Star)); ++pos; continue;
      case '-':
        if (next_is('>')) {
          tokens.push_back(simple(TokenKind::ArrowRight));
          pos += 2;
        } else {
          tokens.push_back(simple(TokenKind::Dash));
          ++pos;
        }
        continue;
      case '<':
        // "<-" wins over "<" followed by a negative number: a<-1 is an arrow.
        if (next_is('-')) {
          tokens.push_back(simple(TokenKind::ArrowLeft));
          pos += 2;
        } else if (next_is('=')) {
          tokens.push_back(simple(TokenKind::Le));
          pos += 2;
        } else if (next_is('>')) {
          tokens.push_back(simple(TokenKind::Ne));
          pos += 2;
        } else {
          tokens.push_back(simple(TokenKind::Lt));
          ++pos;
        }
        continue;
      case '=':
        if (next_is('~')) {
          tokens.push_back(simple(TokenKind::RegexMatch));
          pos += 2;
        } else {
          tokens.push_back(simple(TokenKind::Eq));
          ++pos;
        }
        continue;
      case '>':
        if (next_is('=')) {
          tokens.push_back(simple(TokenKind::Ge));
          pos += 2;
        } else {
          tokens.push_back(simple(TokenKind::Gt));
          ++pos;
        }
        continue;
      case '!':
        if (!next_is('=')) return Error(at("unexpected char " + quoted_char(c), pos));
        tokens.push_back(simple(TokenKind::Ne));
        pos += 2;
        continue;
      case '\'':
      case '"': {
        // No escapes: the literal is every byte up to the same quote.
        const size_t close = text.find(b, pos + 1);
        if (close == std::string_view::npos) return Error(at("unterminated string", pos));
        tokens.push_back(with_text(TokenKind::Str, text.substr(pos + 1, close - pos - 1)));
        pos = close + 1;
        continue;
      }
      case '`': {
        const size_t close = text.find('`', pos + 1);
        if (close == std::string_view::npos) {
          return Error(at("unterminated backtick identifier", pos));
        }
        if (close == pos + 1) return Error(at("empty backtick identifier", pos));
        tokens.push_back(with_text(TokenKind::Ident, text.substr(pos + 1, close - pos - 1)));
        pos = close + 1;
        continue;
      }
      default:
        break;
    }
    if (is_ascii_digit(b)) {
      Result<Token> t = number(text, &pos);
      if (!t.ok()) return t.error();
      tokens.push_back(std::move(t).value());
      continue;
    }
    if (b == '_' || is_alphabetic(c)) {
      const size_t start = pos;
      pos += len;
      while (pos < n) {
        const char nb = text[pos];
        if (is_ascii_letter(nb) || is_ascii_digit(nb) || nb == '_') {
          ++pos;
          continue;
        }
        char32_t nc = static_cast<unsigned char>(nb);
        if (nc < 0x80) break;
        const size_t nlen = decode_utf8_at(text, pos, &nc);
        if (!is_alphabetic(nc) && !is_numeric(nc)) break;
        pos += nlen;
      }
      tokens.push_back(with_text(TokenKind::Ident, text.substr(start, pos - start)));
      continue;
    }
    return Error(at("unexpected char " + quoted_char(c), pos));
  }
  return tokens;
}

}  // namespace vyr::query
