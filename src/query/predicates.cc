#include "query/predicates.h"

#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <re2/re2.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>

namespace vyr::query {

namespace {

thread_local uint64_t PROVISIONAL_POSITIONS = 0;

bool provisional_at(size_t pos) { return pos < 64 && (PROVISIONAL_POSITIONS >> pos & 1) != 0; }

// The pattern a JSON member read names, as a bit; 0 for anything else
// ("name" and "kind" come from the node record and are never Null).
uint64_t json_read_position(const Expr& e, const Query& q) {
  const auto* p = std::get_if<Expr::Prop>(&e.v);
  if (!p || p->key == "name" || p->key == "kind") return 0;
  const std::optional<size_t> pos = resolve_var(q, p->var);
  return pos && *pos < 64 ? uint64_t{1} << *pos : 0;
}

// Nesting beyond this is answered conservatively (no position), which only
// costs speed, so the walk may recurse.
constexpr int MAX_ANALYSED_DEPTH = 64;

uint64_t null_rejecting(const Expr& e, const Query& q, int depth) {
  if (depth > MAX_ANALYSED_DEPTH) return 0;
  switch (e.v.index()) {
    case 0: {
      const auto& in = std::get<Expr::Infix>(e.v);
      if (in.op == BinOp::And) return null_rejecting(*in.lhs, q, depth + 1) | null_rejecting(*in.rhs, q, depth + 1);
      if (in.op == BinOp::Or) return null_rejecting(*in.lhs, q, depth + 1) & null_rejecting(*in.rhs, q, depth + 1);
      // A comparison with a Null side is false, <> included.
      return json_read_position(*in.lhs, q) | json_read_position(*in.rhs, q);
    }
    case 2: return json_read_position(e, q);  // a Null condition is false
    case 4: return json_read_position(*std::get<Expr::StrPred>(e.v).lhs, q);
    case 5: {
      const auto& p = std::get<Expr::IsNull>(e.v);
      return p.want_null ? 0 : json_read_position(*p.operand, q);
    }
    case 6: return json_read_position(*std::get<Expr::In>(e.v).lhs, q);
    case 7: return json_read_position(*std::get<Expr::Regex>(e.v).lhs, q);
    default: return 0;  // NOT, literals
  }
}

// A Prop or Lit used as a condition: true unless Null or Bool false.
bool truthy(const PropView& v) {
  if (v.kind == PropView::Kind::Null) return false;
  if (v.kind == PropView::Kind::Bool) return v.b;
  return true;
}

bool holds(BinOp op, std::optional<int> order) {
  if (!order) return op == BinOp::Ne;
  const int c = *order;
  switch (op) {
    case BinOp::Eq: return c == 0;
    case BinOp::Ne: return c != 0;
    case BinOp::Lt: return c < 0;
    case BinOp::Le: return c <= 0;
    case BinOp::Gt: return c > 0;
    case BinOp::Ge: return c >= 0;
    default: return false;
  }
}

bool str_pred(const GraphView& g, const Expr::StrPred& p, Binding b, const Query& q) {
  const PropView v = eval_scalar_view(g, *p.lhs, b, q);
  if (v.kind != PropView::Kind::Str) return false;
  thread_local std::string text, pattern;
  to_lower(v.s, text);
  to_lower(p.pattern_text, pattern);
  const std::string_view t = text, n = pattern;
  switch (p.op) {
    case StrOp::StartsWith: return t.starts_with(n);
    case StrOp::Contains: return t.find(n) != std::string_view::npos;
    case StrOp::EndsWith: return t.ends_with(n);
    case StrOp::Fuzzy: return fuzzy_contains(t, n);
  }
  return false;
}

// Every expression that is not AND, OR or NOT: none of them contains a
// condition that is evaluated as one (their operands are only read as values).
bool eval_leaf(const GraphView& g, const Expr& e, Binding b, const Query& q) {
  switch (e.v.index()) {
    case 0: {  // comparison; AND and OR never get here
      const auto& in = std::get<Expr::Infix>(e.v);
      const PropView lhs = eval_scalar_view(g, *in.lhs, b, q);
      if (lhs.is_null()) return false;
      const PropView rhs = eval_scalar_view(g, *in.rhs, b, q);
      if (rhs.is_null()) return false;
      return holds(in.op, compare_values(lhs, rhs));
    }
    case 2:
    case 3: return truthy(eval_scalar_view(g, e, b, q));
    case 4: return str_pred(g, std::get<Expr::StrPred>(e.v), b, q);
    case 5: {
      const auto& p = std::get<Expr::IsNull>(e.v);
      return eval_scalar_view(g, *p.operand, b, q).is_null() == p.want_null;
    }
    case 6: {
      const auto& p = std::get<Expr::In>(e.v);
      const PropView v = eval_scalar_view(g, *p.lhs, b, q);
      if (v.is_null()) return false;
      for (const Literal& lit : p.items)
        if (literal_equals(v, lit)) return true;
      return false;
    }
    case 7: {
      const auto& p = std::get<Expr::Regex>(e.v);
      const PropView v = eval_scalar_view(g, *p.lhs, b, q);
      if (v.kind != PropView::Kind::Str || !p.matcher) return false;
      return RE2::PartialMatch(re2::StringPiece(v.s.data(), v.s.size()), *p.matcher);
    }
    default: return false;
  }
}

}  // namespace

uint64_t null_rejecting_positions(const Expr& e, const Query& q) { return null_rejecting(e, q, 0); }

ProvisionalReads::ProvisionalReads(uint64_t positions) : saved_(PROVISIONAL_POSITIONS) {
  PROVISIONAL_POSITIONS = positions;
}

ProvisionalReads::~ProvisionalReads() { PROVISIONAL_POSITIONS = saved_; }

PropView project_at(const GraphView& g, Binding b, size_t pos, const std::optional<std::string>& key) {
  if (key) return read_prop_view(g, b[pos], *key, provisional_at(pos));
  return project_view(g, b[pos], key);
}

std::optional<size_t> resolve_var(const Query& q, std::string_view var) {
  const auto& nodes = q.pattern.nodes;
  for (size_t p = 0; p < nodes.size(); ++p)
    if (nodes[p].var && *nodes[p].var == var) return p;
  return std::nullopt;
}

PropView literal_view(const Literal& lit) {
  PropView v;
  switch (lit.v.index()) {
    case 0: v.kind = PropView::Kind::Int; v.i = std::get<int64_t>(lit.v); break;
    case 1: v.kind = PropView::Kind::Float; v.f = std::get<double>(lit.v); break;
    case 2: v.kind = PropView::Kind::Str; v.s = std::get<std::string>(lit.v); break;
    default: v.kind = PropView::Kind::Bool; v.b = std::get<bool>(lit.v); break;
  }
  return v;
}

PropView eval_scalar_view(const GraphView& g, const Expr& e, Binding b, const Query& q) {
  if (const auto* p = std::get_if<Expr::Prop>(&e.v)) {
    std::optional<size_t> pos;
    if (p->position >= 0) pos = static_cast<size_t>(p->position);
    else if (p->position == Expr::Prop::NOT_RESOLVED) pos = resolve_var(q, p->var);
    if (!pos || *pos >= b.size()) return PropView();
    return read_prop_view(g, b[*pos], p->key, provisional_at(*pos));
  }
  if (const auto* lit = std::get_if<Expr::Lit>(&e.v)) return literal_view(lit->value);
  return PropView();
}

Value eval_scalar(const GraphView& g, const Expr& e, Binding b, const Query& q) {
  return to_value(g, eval_scalar_view(g, e, b, q));
}

std::optional<int> compare_values(const PropView& a, const PropView& b) {
  using K = PropView::Kind;
  if (a.is_number() && b.is_number()) {
    const double x = a.number(), y = b.number();
    if (x < y) return -1;
    if (x > y) return 1;
    if (x == y) return 0;
    return std::nullopt;  // NaN
  }
  if (a.kind == K::Str && b.kind == K::Str) {
    const int c = a.s.compare(b.s);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (a.kind == K::Bool && b.kind == K::Bool) return static_cast<int>(a.b) - static_cast<int>(b.b);
  return std::nullopt;
}

bool literal_equals(const PropView& v, const Literal& lit) {
  switch (lit.v.index()) {
    case 0: return v.is_number() && v.number() == static_cast<double>(std::get<int64_t>(lit.v));
    case 1: return v.is_number() && v.number() == std::get<double>(lit.v);
    case 2: return v.kind == PropView::Kind::Str && v.s == std::get<std::string>(lit.v);
    default: return v.kind == PropView::Kind::Bool && v.b == std::get<bool>(lit.v);
  }
}

bool eval_bool(const GraphView& g, const Expr& e, Binding b, const Query& q) {
  const auto* top = std::get_if<Expr::Infix>(&e.v);
  const bool combinator = (top && (top->op == BinOp::And || top->op == BinOp::Or)) || std::holds_alternative<Expr::Not>(e.v);
  if (!combinator) return eval_leaf(g, e, b, q);
  // stage 0: not yet started; 1: the first operand is done (its result in r)
  struct Frame {
    const Expr* e;
    uint8_t stage;
  };
  thread_local std::vector<Frame> stack;
  const size_t base = stack.size();
  stack.push_back({&e, 0});
  bool r = false;
  while (stack.size() > base) {
    Frame& f = stack.back();
    if (const auto* in = std::get_if<Expr::Infix>(&f.e->v); in && (in->op == BinOp::And || in->op == BinOp::Or)) {
      if (f.stage == 0) {
        f.stage = 1;
        stack.push_back({in->lhs.get(), 0});
      } else if (f.stage == 1 && r == (in->op == BinOp::And)) {
        f.stage = 2;  // the right side decides
        stack.push_back({in->rhs.get(), 0});
      } else {
        stack.pop_back();
      }
      continue;
    }
    if (const auto* n = std::get_if<Expr::Not>(&f.e->v)) {
      if (f.stage == 0) {
        f.stage = 1;
        stack.push_back({n->operand.get(), 0});
      } else {
        r = !r;
        stack.pop_back();
      }
      continue;
    }
    r = eval_leaf(g, *f.e, b, q);
    stack.pop_back();
  }
  return r;
}

bool fuzzy_contains(std::string_view haystack, std::string_view needle) {
  // Byte offsets where each character of the needle starts; a byte that is
  // not UTF-8 counts as one character.
  size_t starts[3];
  size_t count = 0;
  size_t pos = 0;
  const auto char_len = [&](size_t at) -> size_t {
    const auto c = static_cast<unsigned char>(needle[at]);
    size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (at + n > needle.size()) n = 1;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(needle[at + k]) & 0xC0) != 0x80) return 1;
    return n;
  };
  // Slide a window of two characters over the needle.
  while (pos < needle.size() && count < 2) {
    starts[count++] = pos;
    pos += char_len(pos);
  }
  if (count < 2) return haystack.find(needle) != std::string_view::npos;
  for (;;) {
    if (haystack.find(needle.substr(starts[0], pos - starts[0])) != std::string_view::npos) return true;
    if (pos >= needle.size()) return false;
    starts[0] = starts[1];
    starts[1] = pos;
    pos += char_len(pos);
  }
}

void to_lower(std::string_view text, std::string& out) {
  // ASCII text lowers byte by byte (full case mapping changes nothing else
  // there); the loop has no branches so that it vectorises.
  out.resize(text.size());
  char* dst = out.data();
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char high = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: adding 0x80 - 'A' moves 'A'..'Z' to the 26
  // smallest signed byte values, which one comparison then picks out.
  const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'A'));
  const __m128i bound = _mm_set1_epi8(static_cast<char>(-128 + 26));
  const __m128i case_bit = _mm_set1_epi8(0x20);
  __m128i seen = _mm_setzero_si128();
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    seen = _mm_or_si128(seen, x);
    const __m128i upper = _mm_cmplt_epi8(_mm_add_epi8(x, shift), bound);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_or_si128(x, _mm_and_si128(upper, case_bit)));
  }
  if (_mm_movemask_epi8(seen) != 0) high = 0x80;
#endif
  for (; i < text.size(); ++i) {
    const unsigned char c = src[i];
    high |= c;
    dst[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
  }
  if ((high & 0x80) == 0) return;
  out.clear();
  icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(text.size()));
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                            nullptr, status);
  if (U_FAILURE(status)) out.assign(text);
}

}  // namespace vyr::query
