#include "query/props.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/utf8.h"
#include "query/format.h"
#include "query/locate.h"

namespace vyr::query {

namespace {

// The keys whose member positions are recorded when a node is first read;
// a query naming more keys than this answers the rest by a scan of the
// already validated text, so a hostile query cannot multiply the cache size.
constexpr size_t MAX_INDEXED_KEYS = 16;

// Unsearched: a member the provisional search was not asked for; it is
// found when the node's text is checked.
enum class RawType : uint8_t { Absent, Null, True, False, Number, String, Array, Object, Unsearched };

// Where one member's value lies in the node's text: a number's token, an
// array's text, a string's content between its quotes, or (decoded) the index
// of the unescaped text in the cache's decoded list.
struct Loc {
  uint32_t off = 0;
  uint32_t len = 0;
  RawType type = RawType::Absent;
  bool decoded = false;
  // A number is kept decoded (`is_int` tells an int64 from a double held in
  // `bits`): a sort key read again after the scan moved on must not go back
  // to memory the scan has long left.
  bool is_int = false;
  uint64_t bits = 0;
};

enum class Verdict : uint8_t { NotJson, NotObject, Object };

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence at p (whose first byte is >= 0x80),
// or 0.
size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  size_t need;
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
    return 0;
  }
  if (static_cast<size_t>(end - p) <= need) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t k = 2; k <= need; ++k)
    if (p[k] < 0x80 || p[k] > 0xBF) return 0;
  return need + 1;
}

// The decimal exponent of the first significant digit of a number token
// (validated, not zero): 123.4 gives 2, 0.05 gives -2, 5e-400 gives -400.
long magnitude(std::string_view tok) {
  long exp = 0;
  size_t e = tok.find_first_of("eE");
  if (e != std::string_view::npos) {
    std::string_view es = tok.substr(e + 1);
    bool neg = !es.empty() && es[0] == '-';
    if (!es.empty() && (es[0] == '-' || es[0] == '+')) es.remove_prefix(1);
    for (char c : es) {
      exp = exp * 10 + (c - '0');
      if (exp > 100000) break;  // far beyond any double either way
    }
    if (neg) exp = -exp;
    tok = tok.substr(0, e);
  }
  if (!tok.empty() && tok[0] == '-') tok.remove_prefix(1);
  const size_t point = tok.find('.');
  const long int_digits = static_cast<long>(point == std::string_view::npos ? tok.size() : point);
  long pos = 0;  // digit position, counting the point out
  for (char c : tok) {
    if (c == '.') continue;
    if (c != '0') return exp + int_digits - 1 - pos;
    ++pos;
  }
  return exp;
}

// The nearest double to a decimal token; overflow gives +-inf and underflow
// +-0.
double to_double(std::string_view tok) {
  double d = 0;
  auto r = std::from_chars(tok.data(), tok.data() + tok.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    const bool neg = !tok.empty() && tok[0] == '-';
    if (magnitude(tok) > 0) return neg ? -HUGE_VAL : HUGE_VAL;
    return neg ? -0.0 : 0.0;
  }
  return d;
}

// A validated JSON number token: Int when it is an integer within the signed
// 64-bit range, else the nearest Float.
void number_view(std::string_view tok, PropView& out) {
  bool integral = true;
  for (char c : tok) integral = integral && c != '.' && c != 'e' && c != 'E';
  if (integral) {
    int64_t i = 0;
    auto r = std::from_chars(tok.data(), tok.data() + tok.size(), i);
    if (r.ec == std::errc() && r.ptr == tok.data() + tok.size()) {
      out.kind = PropView::Kind::Int;
      out.i = i;
      return;
    }
  }
  out.kind = PropView::Kind::Float;
  out.f = to_double(tok);
}

void append_utf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

uint32_t hex4(const char* p) {
  return static_cast<uint32_t>(hex_digit(p[0]) << 12 | hex_digit(p[1]) << 8 | hex_digit(p[2]) << 4 |
                               hex_digit(p[3]));
}

// The text of validated string content (between the quotes) with its escapes
// resolved.
std::string unescape(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    const char e = raw[++i];
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        uint32_t cp = hex4(raw.data() + i + 1);
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          const uint32_t low = hex4(raw.data() + i + 3);
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        append_utf8(cp, out);
        break;
      }
      default: out.push_back(e); break;  // " \ /
    }
  }
  return out;
}

// A strict RFC 8259 reader that checks a text and reports where values lie
// without building them. It accepts exactly what json::parse accepts: blanks
// limited to space, tab, LF and CR; UTF-8 only; no unpaired surrogate
// escapes; numbers within the double range; at most json::MAX_DEPTH nested
// containers. Containers are walked with an explicit stack, never recursion.
class Scanner {
 public:
  explicit Scanner(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  size_t pos() const { return static_cast<size_t>(p_ - begin_); }
  bool at_end() const { return p_ == end_; }
  bool next_is(char c) const { return p_ < end_ && *p_ == c; }
  bool take(char c) {
    if (!next_is(c)) return false;
    ++p_;
    return true;
  }

  // Compact JSON has no blanks, so one comparison usually settles it.
  void skip_ws() {
    while (p_ < end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
      ++p_;
  }

  // At a '"': the string, its closing quote included. `escaped` is set when
  // the content holds a backslash.
  [[gnu::always_inline]] bool string(bool& escaped) {
    ++p_;
    for (;;) {
      skip_plain_ascii();
      if (p_ >= end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        const size_t n = utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                                       reinterpret_cast<const unsigned char*>(end_));
        if (n == 0) return false;
        p_ += n;
        continue;
      }
      escaped = true;
      if (++p_ >= end_) return false;
      switch (*p_) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          ++p_;
          break;
        case 'u': {
          uint32_t cp;
          if (!hex_escape(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            ++p_;
            uint32_t low;
            if (!hex_escape(low) || low < 0xDC00 || low > 0xDFFF) return false;
          }
          break;
        }
        default: return false;
      }
    }
  }

  bool number() {
    const char* start = p_;
    take('-');
    if (p_ >= end_) return false;
    if (*p_ == '0') {
      ++p_;
    } else if (*p_ >= '1' && *p_ <= '9') {
      while (p_ < end_ && is_digit(*p_)) ++p_;
    } else {
      return false;
    }
    bool exponent = false;
    if (take('.')) {
      if (p_ >= end_ || !is_digit(*p_)) return false;
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (next_is('e') || next_is('E')) {
      exponent = true;
      ++p_;
      if (!take('+')) take('-');
      if (p_ >= end_ || !is_digit(*p_)) return false;
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    // Only exponents and very long digit runs can leave the double range.
    const std::string_view tok(start, static_cast<size_t>(p_ - start));
    if (!exponent && tok.size() < 300) return true;
    return std::isfinite(to_double(tok));
  }

  bool word(std::string_view w) {
    if (static_cast<size_t>(end_ - p_) < w.size() || std::memcmp(p_, w.data(), w.size()) != 0) return false;
    p_ += w.size();
    return true;
  }

  // One whole value whose own nesting depth is `depth` (the document root is
  // 0); `type` tells what it is.
  bool value(int depth, RawType& type) {
    char closers[json::MAX_DEPTH];
    int open = 0;
    bool first = true;
    for (;;) {
      skip_ws();
      if (p_ >= end_) return false;
      RawType t;
      bool opened = false;
      switch (*p_) {
        case '{':
        case '[': {
          if (depth + open >= json::MAX_DEPTH) return false;
          const char closer = *p_ == '{' ? '}' : ']';
          t = closer == '}' ? RawType::Object : RawType::Array;
          ++p_;
          skip_ws();
          if (take(closer)) break;
          closers[open++] = closer;
          if (closer == '}' && !member_key()) return false;
          opened = true;
          break;
        }
        case '"': {
          bool escaped = false;
          if (!string(escaped)) return false;
          t = RawType::String;
          break;
        }
        case 't': if (!word("true")) return false; t = RawType::True; break;
        case 'f': if (!word("false")) return false; t = RawType::False; break;
        case 'n': if (!word("null")) return false; t = RawType::Null; break;
        default:
          if (!number()) return false;
          t = RawType::Number;
          break;
      }
      if (first) type = t;
      first = false;
      if (opened) continue;
      // A value is complete: close every container it completes, and move
      // on to the next element or member.
      for (;;) {
        if (open == 0) return true;
        skip_ws();
        if (take(',')) {
          if (closers[open - 1] == '}' && !member_key()) return false;
          break;
        }
        if (!take(closers[open - 1])) return false;
        --open;
      }
    }
  }

  // A member value of the top-level object: strings and numbers, most of
  // them, are read here directly; containers go through value().
  bool scalar_or_value(RawType& type) {
    if (p_ < end_) {
      if (*p_ == '"') {
        bool escaped = false;
        type = RawType::String;
        return string(escaped);
      }
      if (is_digit(*p_) || *p_ == '-') {
        type = RawType::Number;
        return number();
      }
    }
    return value(1, type);
  }

  // A member's key and the colon after it, with blanks around.
  bool member_key() {
    skip_ws();
    if (!next_is('"')) return false;
    bool escaped = false;
    if (!string(escaped)) return false;
    skip_ws();
    return take(':');
  }

 private:
  // At the 'u' of a \u escape.
  bool hex_escape(uint32_t& cp) {
    if (end_ - p_ < 5) return false;
    cp = 0;
    for (int k = 1; k <= 4; ++k) {
      const int h = hex_digit(p_[k]);
      if (h < 0) return false;
      cp = cp << 4 | static_cast<uint32_t>(h);
    }
    p_ += 5;
    return true;
  }

  // Moves over string content that needs no attention (printable ASCII
  // other than '"' and '\\'), sixteen bytes at a time: most of a property
  // text is such content (names, URLs, keys).
  [[gnu::always_inline]] void skip_plain_ascii() {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    while (end_ - p_ >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                        _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
      // The high bit of each byte marks the start or middle of a multi-byte
      // character, which the caller validates.
      const int mask = _mm_movemask_epi8(stop) | _mm_movemask_epi8(x);
      if (mask != 0) {
        p_ += __builtin_ctz(static_cast<unsigned>(mask));
        return;
      }
      p_ += 16;
    }
#endif
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) return;
      ++p_;
    }
  }

  const char* begin_;
  const char* p_;
  const char* end_;
};

bool is_price(std::string_view key) { return key == "price"; }

// A JSON string found under `key`, typed: "price" stays text, numeric forms
// become numbers.
void typed_text(std::string_view key, std::string_view text, PropView& out) {
  if (!is_price(key) && has_numeric_form(text)) {
    number_view(text, out);
    return;
  }
  out.kind = PropView::Kind::Str;
  out.s = text;
}

Value owned(const PropView& v) {
  switch (v.kind) {
    case PropView::Kind::Bool: return Value(v.b);
    case PropView::Kind::Int: return Value(v.i);
    case PropView::Kind::Float: return Value(v.f);
    case PropView::Kind::Str: return Value(std::string(v.s));
    default: return Value();
  }
}

// The Value of one validated JSON value at the scanner's position, typed as
// found under `key`. Arrays nest at most json::MAX_DEPTH deep, which bounds
// the recursion.
Value decode(Scanner& s, std::string_view text, std::string_view key) {
  s.skip_ws();
  const size_t start = s.pos();
  if (s.take('[')) {
    List items;
    s.skip_ws();
    if (s.take(']')) return Value(std::move(items));
    do {
      items.push_back(decode(s, text, key));
      s.skip_ws();
    } while (s.take(','));
    s.take(']');
    return Value(std::move(items));
  }
  RawType t = RawType::Null;
  s.value(1, t);
  const std::string_view tok = text.substr(start, s.pos() - start);
  PropView v;
  switch (t) {
    case RawType::True: return Value(true);
    case RawType::False: return Value(false);
    case RawType::Number: number_view(tok, v); return owned(v);
    case RawType::String: {
      const std::string_view content = tok.substr(1, tok.size() - 2);
      if (content.find('\\') == std::string_view::npos) {
        typed_text(key, content, v);
        return owned(v);
      }
      const std::string text_owned = unescape(content);
      typed_text(key, text_owned, v);
      return owned(v);
    }
    default: return Value();
  }
}

// ---- PROPS_CACHE ------------------------------------------------------------

class PropsCache {
 public:
  void reset(uint32_t node_count, std::span<const std::string_view> keys, size_t searched) {
    slot_.assign(node_count, UNSEEN);
    keys_.clear();
    searched_ = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      const std::string_view k = keys[i];
      if (keys_.size() == MAX_INDEXED_KEYS) break;
      if (k == "name" || k == "kind") continue;
      bool seen = false;
      for (const std::string& have : keys_) seen = seen || have == k;
      if (seen) continue;
      announced_[keys_.size()] = k.data();
      keys_.emplace_back(k);
      if (i < searched) searched_ = keys_.size();
    }
    locatable_ = searched_ > 0;
    for (size_t k = 0; k < keys_.size(); ++k) {
      views_[k] = keys_[k];
      if (k < searched_) locatable_ = locatable_ && locatable_name(views_[k]);
    }
    locs_.clear();
    decoded_.clear();
    fallen_.clear();
  }

  PropView read(const GraphView& g, uint32_t i, std::string_view key, bool provisional) {
    if (i >= slot_.size()) slot_.resize(g.node_count(), UNSEEN);
    const std::string_view text = g.str(g.nodes[i].props);
    uint32_t& slot = slot_[i];
    if (slot == UNSEEN) {
      slot = provisional ? index_provisionally(text) : index(text);
    } else if ((slot & UNCHECKED) && !provisional) {
      check(i, text);
    }
    PropView out;
    if (slot < FIRST_OBJECT) return out;
    if (const int k = key_index(key); k >= 0) {
      if ((slot & UNCHECKED) && static_cast<size_t>(k) >= searched_) {
        check(i, text);  // not searched for: found by the check
        if (slot < FIRST_OBJECT) return out;
      }
      const size_t row = (slot & ~UNCHECKED) - FIRST_OBJECT;
      view(locs_[row * keys_.size() + static_cast<size_t>(k)], text, key, out);
      return out;
    }
    // A key nobody announced: found by a scan of the whole text, which
    // checks it on the way.
    if (slot & UNCHECKED) {
      check(i, text);
      if (slot < FIRST_OBJECT) return out;
    }
    Loc loc;
    const std::string_view one[] = {key};
    scan(text, one, &loc);
    view(loc, text, key, out);
    return out;
  }

  // The announced key equal to `key`, or -1. The engine reads with the very
  // texts it announced, so the address usually settles it.
  int key_index(std::string_view key) const {
    for (size_t k = 0; k < keys_.size(); ++k)
      if (key.data() == announced_[k] && key.size() == views_[k].size()) return static_cast<int>(k);
    for (size_t k = 0; k < keys_.size(); ++k)
      if (views_[k] == key) return static_cast<int>(k);
    return -1;
  }

  bool unchecked(uint32_t i) const { return i < slot_.size() && (slot_[i] & UNCHECKED) != 0; }

  // Checks node i's text if its reads so far were provisional; true when
  // they all stand (the text is a JSON object and its members lie where the
  // provisional search found them).
  bool settle(const GraphView& g, uint32_t i) {
    if (unchecked(i)) return check(i, g.str(g.nodes[i].props));
    return i >= fallen_.size() || fallen_[i] == 0;
  }

  static constexpr uint32_t UNSEEN = 0;
  static constexpr uint32_t NOT_JSON = 1;
  static constexpr uint32_t NOT_OBJECT = 2;
  static constexpr uint32_t FIRST_OBJECT = 3;  // FIRST_OBJECT + n: the n-th indexed object
  // Set on an object slot whose members were found by the provisional
  // search and whose text has not been checked yet.
  static constexpr uint32_t UNCHECKED = uint32_t{1} << 31;

  // Records the announced members of a text trusted to be JSON (see
  // locate.h). Each member's own value is checked, so that it decodes
  // safely; the rest of the text waits for check(). Falls back to index()
  // when the search gives up or a value is broken.
  uint32_t index_provisionally(std::string_view text) {
    if (!locatable_ || locs_.size() / keys_.size() >= UNCHECKED - FIRST_OBJECT) return index(text);
    MemberSpan spans[MAX_INDEXED_KEYS];
    if (!locate_members(text, std::span(views_, searched_), spans)) return index(text);
    const size_t base = locs_.size();
    locs_.resize(base + keys_.size());
    for (size_t k = searched_; k < keys_.size(); ++k) locs_[base + k].type = RawType::Unsearched;
    for (size_t k = 0; k < searched_; ++k) {
      if (!spans[k].found) continue;
      const std::string_view token = text.substr(spans[k].off, spans[k].len);
      RawType t = RawType::Object;
      if (token[0] != '{') {
        Scanner s(token);
        if (!s.value(1, t) || !s.at_end()) {
          locs_.resize(base);
          return index(text);
        }
      }
      locs_[base + k] = locate(text, spans[k].off, spans[k].off + spans[k].len, t);
    }
    return (FIRST_OBJECT + static_cast<uint32_t>(base / keys_.size())) | UNCHECKED;
  }

  // Checks the text of provisionally indexed node i and records its members
  // again, strictly; true when nothing read before changes. Otherwise the
  // node is remembered as fallen, whichever read found out: every match
  // that read it provisionally must be judged again when it is settled.
  bool check(uint32_t i, std::string_view text) {
    if (checked(i, text)) return true;
    if (fallen_.size() < slot_.size()) fallen_.resize(slot_.size(), 0);
    fallen_[i] = 1;
    return false;
  }

  bool checked(uint32_t i, std::string_view text) {
    uint32_t& slot = slot_[i];
    const size_t row = (slot & ~UNCHECKED) - FIRST_OBJECT;
    Loc* locs = locs_.data() + row * keys_.size();
    Loc before[MAX_INDEXED_KEYS];
    std::copy(locs, locs + keys_.size(), before);
    std::fill(locs, locs + keys_.size(), Loc{});
    const Verdict v = scan(text, std::span(views_, keys_.size()), locs);
    if (v != Verdict::Object) {
      slot = v == Verdict::NotJson ? NOT_JSON : NOT_OBJECT;
      return false;
    }
    slot &= ~UNCHECKED;
    bool same = true;
    for (size_t k = 0; k < keys_.size(); ++k) same = same && same_loc(before[k], locs[k]);
    return same;
  }

  bool same_loc(const Loc& a, const Loc& b) const {
    if (a.type == RawType::Unsearched) return true;  // never read provisionally
    if (a.type != b.type || a.decoded != b.decoded || a.is_int != b.is_int || a.bits != b.bits) return false;
    if (a.decoded) return decoded_[a.off] == decoded_[b.off];
    return a.off == b.off && a.len == b.len;
  }

  uint32_t index(std::string_view text) {
    const size_t base = locs_.size();
    locs_.resize(base + keys_.size());
    const Verdict v = scan(text, std::span(views_, keys_.size()), locs_.data() + base);
    if (v != Verdict::Object) {
      locs_.resize(base);
      return v == Verdict::NotJson ? NOT_JSON : NOT_OBJECT;
    }
    return FIRST_OBJECT + static_cast<uint32_t>(keys_.size() == 0 ? 0 : base / keys_.size());
  }

  // Validates `text` and, when it is an object, records in locs[k] where the
  // last member named keys[k] lies.
  Verdict scan(std::string_view text, std::span<const std::string_view> keys, Loc* locs) {
    Scanner s(text);
    s.skip_ws();
    if (!s.take('{')) {
      RawType t;
      if (!s.value(0, t)) return Verdict::NotJson;
      s.skip_ws();
      return s.at_end() ? Verdict::NotObject : Verdict::NotJson;
    }
    s.skip_ws();
    std::string key_text;
    if (!s.take('}')) {
      for (;;) {
        s.skip_ws();
        if (!s.next_is('"')) return Verdict::NotJson;
        const size_t key_start = s.pos() + 1;
        bool key_escaped = false;
        if (!s.string(key_escaped)) return Verdict::NotJson;
        std::string_view key = text.substr(key_start, s.pos() - 1 - key_start);
        if (key_escaped) key = key_text = unescape(key);
        s.skip_ws();
        if (!s.take(':')) return Verdict::NotJson;
        s.skip_ws();
        const size_t val_start = s.pos();
        RawType t = RawType::Null;
        if (!s.scalar_or_value(t)) return Verdict::NotJson;
        for (size_t k = 0; k < keys.size(); ++k)
          if (keys[k] == key) locs[k] = locate(text, val_start, s.pos(), t);
        s.skip_ws();
        if (s.take(',')) continue;
        if (s.take('}')) break;
        return Verdict::NotJson;
      }
    }
    s.skip_ws();
    return s.at_end() ? Verdict::Object : Verdict::NotJson;
  }

  Loc locate(std::string_view text, size_t start, size_t end, RawType t) {
    Loc loc;
    loc.type = t;
    if (t == RawType::String) {
      ++start;
      --end;
      const std::string_view content = text.substr(start, end - start);
      if (content.find('\\') != std::string_view::npos) {
        decoded_.push_back(unescape(content));
        loc.decoded = true;
        loc.off = static_cast<uint32_t>(decoded_.size() - 1);
        return loc;
      }
    }
    loc.off = static_cast<uint32_t>(start);
    loc.len = static_cast<uint32_t>(end - start);
    if (t == RawType::Number) {
      PropView v;
      number_view(text.substr(start, end - start), v);
      loc.is_int = v.kind == PropView::Kind::Int;
      if (loc.is_int)
        std::memcpy(&loc.bits, &v.i, sizeof loc.bits);
      else
        std::memcpy(&loc.bits, &v.f, sizeof loc.bits);
    }
    return loc;
  }

  void view(const Loc& loc, std::string_view text, std::string_view key, PropView& out) const {
    switch (loc.type) {
      case RawType::True:
      case RawType::False:
        out.kind = PropView::Kind::Bool;
        out.b = loc.type == RawType::True;
        return;
      case RawType::Number:
        out.kind = loc.is_int ? PropView::Kind::Int : PropView::Kind::Float;
        if (loc.is_int)
          std::memcpy(&out.i, &loc.bits, sizeof out.i);
        else
          std::memcpy(&out.f, &loc.bits, sizeof out.f);
        return;
      case RawType::String:
        typed_text(key, loc.decoded ? std::string_view(decoded_[loc.off]) : text.substr(loc.off, loc.len), out);
        return;
      case RawType::Array:
        out.kind = PropView::Kind::List;
        out.s = text.substr(loc.off, loc.len);
        out.key = key;
        return;
      default: return;  // absent, null, object
    }
  }

  std::vector<uint32_t> slot_;
  std::vector<std::string> keys_;
  std::string_view views_[MAX_INDEXED_KEYS];  // keys_, viewed
  const char* announced_[MAX_INDEXED_KEYS] = {};  // where each key's text lay in the caller's query
  size_t searched_ = 0;     // the leading keys a provisional read searches for
  bool locatable_ = false;  // each of them can be
  std::vector<Loc> locs_;
  // Decoded texts of escaped members; a deque so that views into earlier
  // entries survive later additions.
  std::deque<std::string> decoded_;
  // Per node, whether its provisional reads did not stand; allocated on the
  // first such node, since they are rare (texts that are not JSON objects).
  std::vector<uint8_t> fallen_;
};

thread_local PropsCache PROPS_CACHE;

}  // namespace

bool has_numeric_form(std::string_view s) {
  if (!s.empty() && s[0] == '-') s.remove_prefix(1);
  size_t i = 0;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i == 0 || (s[0] == '0' && i > 1)) return false;
  if (i == s.size()) return true;
  if (s[i] != '.') return false;
  const size_t frac = ++i;
  while (i < s.size() && is_digit(s[i])) ++i;
  return i > frac && i == s.size();
}

std::string_view node_name(const GraphView& g, uint32_t i) {
  const std::string_view name = g.str(g.nodes[i].name);
  // Most names are short and ASCII; the general check has a fixed cost
  // that would dominate a scan over every node's name.
  size_t k = 0;
  uint64_t high = 0;
  for (; k + 8 <= name.size(); k += 8) {
    uint64_t w;
    std::memcpy(&w, name.data() + k, 8);
    high |= w;
  }
  for (; k < name.size(); ++k) high |= static_cast<unsigned char>(name[k]);
  if ((high & 0x8080808080808080ULL) == 0) return name;
  return is_valid_utf8(name) ? name : std::string_view();
}

void reset_props_cache(uint32_t node_count, std::span<const std::string_view> keys, size_t searched) {
  PROPS_CACHE.reset(node_count, keys, searched);
}

PropView read_prop_view(const GraphView& g, uint32_t i, std::string_view key, bool provisional) {
  PropView out;
  if (key == "name") {
    out.kind = PropView::Kind::Str;
    out.s = node_name(g, i);
    return out;
  }
  if (key == "kind") {
    out.kind = PropView::Kind::Str;
    out.s = label(g.nodes[i].kind);
    return out;
  }
  return PROPS_CACHE.read(g, i, key, provisional);
}

bool props_unchecked(uint32_t i) { return PROPS_CACHE.unchecked(i); }

bool settle_props(const GraphView& g, uint32_t i) { return PROPS_CACHE.settle(g, i); }

PropView project_view(const GraphView& g, uint32_t i, const std::optional<std::string>& key) {
  if (key) return read_prop_view(g, i, *key);
  PropView out;
  out.kind = PropView::Kind::Node;
  out.node = i;
  return out;
}

Value to_value(const GraphView& g, const PropView& view) {
  switch (view.kind) {
    case PropView::Kind::List: {
      Scanner s(view.s);
      return decode(s, view.s, view.key);
    }
    case PropView::Kind::Node:
      return Value(NodeRef{view.node, std::string(label(g.nodes[view.node].kind)), std::string(node_name(g, view.node))});
    default: return owned(view);
  }
}

void append_debug_view(const GraphView& g, const PropView& view, std::string& out) {
  switch (view.kind) {
    case PropView::Kind::Null: out += "Null"; return;
    case PropView::Kind::Bool: out += view.b ? "Bool(true)" : "Bool(false)"; return;
    case PropView::Kind::Int: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, view.i);
      out += "Int(";
      out.append(buf, r.ptr);
      out.push_back(')');
      return;
    }
    case PropView::Kind::Float:
      out += "Float(";
      append_float_text(out, view.f);
      out.push_back(')');
      return;
    case PropView::Kind::Str:
      out += "Str(";
      append_quoted_text(out, view.s);
      out.push_back(')');
      return;
    default: append_debug(to_value(g, view), out); return;
  }
}

Value read_prop(const GraphView& g, uint32_t i, std::string_view key) {
  return to_value(g, read_prop_view(g, i, key));
}

Value project(const GraphView& g, uint32_t i, const std::optional<std::string>& key) {
  return to_value(g, project_view(g, i, key));
}

Value json_to_value(std::string_view key, const json::Value* v) {
  if (!v) return Value();
  switch (v->type()) {
    case json::Value::Type::Bool: return Value(v->as_bool());
    case json::Value::Type::Int: return Value(v->as_int());
    case json::Value::Type::UInt:
      if (v->as_uint() <= static_cast<uint64_t>(INT64_MAX)) return Value(static_cast<int64_t>(v->as_uint()));
      return Value(static_cast<double>(v->as_uint()));
    case json::Value::Type::Double: return Value(v->as_double());
    case json::Value::Type::String: {
      PropView p;
      typed_text(key, v->as_string(), p);
      return owned(p);
    }
    case json::Value::Type::Array: {
      List items;
      items.reserve(v->as_array().size());
      for (const json::Value& e : v->as_array()) items.push_back(json_to_value(key, &e));
      return Value(std::move(items));
    }
    default: return Value();  // null, object
  }
}

}  // namespace vyr::query
