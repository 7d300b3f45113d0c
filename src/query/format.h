// The fixed debug renderings of numbers and texts that appear in query error
// messages and that also serve as identity keys (DISTINCT rows, aggregation
// groups): token and literal renderings in the lexer and parser, and the Value
// rendering of the executor all build on these, so equal inputs always give
// byte-identical text. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vyr::query {

// Shortest text that reads back to the same double. Decimal form with at
// least one fractional digit ("2.5", "3.0", "-0.0", "0.0001") when the
// magnitude is below 1e16 and at least 1e-4, or zero; otherwise exponent form
// with no "+" and no leading zeros ("1e16", "1.5e-5", "-2.5e300"). NaN, inf
// and -inf print as "NaN", "inf", "-inf".
std::string float_text(double d);
void append_float_text(std::string& out, double d);

// The text in double quotes with a backslash before '"' and '\\', the escapes
// \0 \t \r \n, and \u{hex} (lower-case, no leading zeros) for every other
// non-printable character: controls, format characters, surrogates, private
// use, unassigned code points, and separators other than the blank. Bytes that
// are not UTF-8 print as \u{fffd}, one per byte.
std::string quoted_text(std::string_view s);
void append_quoted_text(std::string& out, std::string_view s);

// One character in single quotes with the same escapes, except that the
// single quote is escaped ('\'') and the double quote is not ('"').
std::string quoted_char(char32_t c);

// One Unicode scalar value at byte `pos` (< s.size()): stores it in *out and
// returns its byte length, or returns 0 when the bytes there are not
// well-formed UTF-8 (overlong forms, surrogates and truncation included).
size_t decode_utf8_at(std::string_view s, size_t pos, char32_t* out);

}  // namespace vyr::query
