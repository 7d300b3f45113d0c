// The query lexer: query text to a flat token list. It knows no keywords:
// MATCH, WHERE and every other word reach the parser as Ident tokens. There
// are no comments, parameters or escape sequences.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vyr::query {

// Declared order; the names appear in parser messages.
enum class TokenKind : uint8_t {
  LParen,
  RParen,
  LBracket,
  RBracket,
  LBrace,
  RBrace,
  Colon,
  Comma,
  Dot,
  Pipe,
  Star,
  ArrowRight,
  ArrowLeft,
  Dash,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  RegexMatch,
  Ident,  // payload: text (an identifier, or a back-quoted name without its quotes)
  Int,    // payload: int_value (never negative: a sign is a separate Dash)
  Float,  // payload: float_value
  Str,    // payload: text (raw bytes between the quotes)
};

struct Token {
  TokenKind kind = TokenKind::LParen;
  std::string text;
  int64_t int_value = 0;
  double float_value = 0.0;

  bool is(TokenKind k) const { return kind == k; }
};

// "LParen", "Ident", ...
std::string_view kind_name(TokenKind kind);

// The fixed debug rendering used in messages: LParen, Ident("n"), Str("a b"),
// Int(42), Float(2.5), Float(1e16).
std::string debug_text(const Token& token);
// An optional token: None, or Some(...) around the token's rendering.
std::string debug_text(const std::optional<Token>& token);

// Tokens in source order, or the first error: "unterminated string at {}",
// "empty backtick identifier at {}", "unterminated backtick identifier at {}",
// "bad int", "bad float", "unexpected char {} at {}" (positions are 0-based
// byte offsets). Text that is not UTF-8 fails with "invalid UTF-8 at {}".
// The tokens own their texts. Thread-safe.
Result<std::vector<Token>> tokenize(std::string_view text);

}  // namespace vyr::query
