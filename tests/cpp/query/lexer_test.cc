#include "query/lexer.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "query/format.h"

namespace vyr::query {
namespace {

std::string rendered(std::string_view text) {
  auto r = tokenize(text);
  if (!r.ok()) return "error: " + r.error().message();
  std::string out;
  for (const Token& t : *r) {
    if (!out.empty()) out += ' ';
    out += debug_text(t);
  }
  return out;
}

TEST(Lexer, TokenizesValidText) {
  const struct { std::string_view text, tokens; } cases[] = {
      {"", ""},
      {" \t\r\n\v\f", ""},
      {"MATCH (n) RETURN n", R"(Ident("MATCH") LParen Ident("n") RParen Ident("RETURN") Ident("n"))"},
      {"()[]{}:,.|*", "LParen RParen LBracket RBracket LBrace RBrace Colon Comma Dot Pipe Star"},
      {"-> <- - = <> != < <= > >= =~", "ArrowRight ArrowLeft Dash Eq Ne Ne Lt Le Gt Ge RegexMatch"},
      {"-->", "Dash ArrowRight"},
      {"<--", "ArrowLeft Dash"},
      {"n.price<>5", R"(Ident("n") Dot Ident("price") Ne Int(5))"},
      {"n.price!=5", R"(Ident("n") Dot Ident("price") Ne Int(5))"},
      // "<-" is taken before "<" with a negative number.
      {"n.price<-5", R"(Ident("n") Dot Ident("price") ArrowLeft Int(5))"},
      {"==", "Eq Eq"},
      {"'it''s'", R"(Str("it") Str("s"))"},
      {R"("it's")", R"(Str("it's"))"},
      {R"('a\b "q"')", R"(Str("a\\b \"q\""))"},
      {"'two\nlines'", R"(Str("two\nlines"))"},
      {"''", R"(Str(""))"},
      {"9223372036854775807", "Int(9223372036854775807)"},
      {"007", "Int(7)"},
      {"1.5.2", "Float(1.5) Dot Int(2)"},
      {"3.", "Float(3.0)"},
      {"0.1", "Float(0.1)"},
      {".5", "Dot Int(5)"},
      {"12ab", R"(Int(12) Ident("ab"))"},
      {"1e5", R"(Int(1) Ident("e5"))"},
      {"-5", "Dash Int(5)"},
      {"`my var`", R"(Ident("my var"))"},
      {"`a)b`.`c`", R"(Ident("a)b") Dot Ident("c"))"},
      {"_a1 größe2 x²", R"(Ident("_a1") Ident("größe2") Ident("x²"))"},
      {"a\u00a0b\u3000c\u2028d", R"(Ident("a") Ident("b") Ident("c") Ident("d"))"},
      {"日本語", R"(Ident("日本語"))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(rendered(c.text), c.tokens);
  }
}

TEST(Lexer, RejectsMalformedInput) {
  const struct { std::string_view text, message; } cases[] = {
      {"MATCH (n) RETURN n;", "unexpected char ';' at 18"},
      {"MATCH (n) WHERE n.name = 'abc", "unterminated string at 25"},
      {"x = \"abc'", "unterminated string at 4"},
      {"``", "empty backtick identifier at 0"},
      {"x `abc", "unterminated backtick identifier at 2"},
      {"9223372036854775808", "bad int"},
      {"prix_€", "unexpected char '€' at 5"},
      {"a ! b", "unexpected char '!' at 2"},
      {"a\\b", "unexpected char '\\\\' at 1"},
      {"$x", "unexpected char '$' at 0"},
      {std::string_view("a\x01", 2), "unexpected char '\\u{1}' at 1"},
      {"a\u200b", "unexpected char '\\u{200b}' at 1"},  // zero-width space is not White_Space
      {"\u0663", "unexpected char '\u0663' at 0"},       // a digit, but not an ASCII one
      {"MATCH \xff", "invalid UTF-8 at 6"},
      {"'\xc0\x80'", "invalid UTF-8 at 1"},  // overlong NUL
      {"\xed\xa0\x80", "invalid UTF-8 at 0"},  // surrogate
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = tokenize(c.text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(Lexer, FloatRunsBeyondTheRangeReadAsTheNearestDouble) {
  auto big = tokenize(std::string(400, '9') + ".5");
  ASSERT_TRUE(big.ok());
  EXPECT_EQ(big->at(0).float_value, std::numeric_limits<double>::infinity());
  auto tiny = tokenize("0." + std::string(400, '0') + "1");
  ASSERT_TRUE(tiny.ok());
  EXPECT_EQ(tiny->at(0).float_value, 0.0);
}

TEST(Format, OptionalTokens) {
  Token x;
  x.kind = TokenKind::Ident;
  x.text = "x";
  EXPECT_EQ(debug_text(std::optional<Token>(x)), R"(Some(Ident("x")))");
  EXPECT_EQ(debug_text(std::optional<Token>()), "None");
}

TEST(Format, FloatText) {
  const struct { double value; std::string_view text; } cases[] = {
      {2.5, "2.5"},
      {3.0, "3.0"},
      {100.0, "100.0"},
      {-7.25, "-7.25"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {1.5e17, "1.5e17"},
      {1e-5, "1e-5"},
      {-1.5e-5, "-1.5e-5"},
      {1e300, "1e300"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(float_text(c.value), c.text);
  }
}

TEST(Format, QuotedText) {
  const struct { std::string_view in, out; } cases[] = {
      {"a b", R"("a b")"},
      {R"(say "hi" \ now)", R"("say \"hi\" \\ now")"},
      {std::string_view("\0\t\r\n", 4), R"("\0\t\r\n")"},
      {"\x7f\x1b", R"("\u{7f}\u{1b}")"},
      {"é ü 日本 €", R"("é ü 日本 €")"},
      {"'", R"("'")"},
      {"\u00a0\u2028\u200b\ue000", R"("\u{a0}\u{2028}\u{200b}\u{e000}")"},
      {"a\xff" "b", R"("a\u{fffd}b")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(quoted_text(c.in), c.out);
  }
  EXPECT_EQ(quoted_char('\''), R"('\'')");
  EXPECT_EQ(quoted_char('"'), R"('"')");
  EXPECT_EQ(quoted_char('\n'), R"('\n')");
}

}  // namespace
}  // namespace vyr::query
