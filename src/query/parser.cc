#include "query/parser.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pthread.h>

#include <re2/re2.h>

#include "query/format.h"
#include "query/lexer.h"
#include "query/predicates.h"

namespace vyr::query {
namespace {

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::optional<bool> boolean_text(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

std::string render(const Token* t) {
  if (t == nullptr) return "None";
  return "Some(" + debug_text(*t) + ")";
}

std::string render(const Literal& lit) {
  switch (lit.v.index()) {
    case 0: return "Int(" + std::to_string(std::get<0>(lit.v)) + ")";
    case 1: return "Float(" + float_text(std::get<1>(lit.v)) + ")";
    case 2: return "Str(" + quoted_text(std::get<2>(lit.v)) + ")";
    default: return std::get<3>(lit.v) ? "Bool(true)" : "Bool(false)";
  }
}

Error too_deep() {
  return Error("expression nested too deeply (more than " + std::to_string(MAX_EXPR_DEPTH) +
               " levels of parentheses, NOT or AND/OR operands)");
}

// The parser recurses once per parenthesis and NOT. MAX_EXPR_DEPTH bounds
// that on ordinary stacks; a thread started with a small stack (Python's
// threading.stack_size) runs out sooner, so the recursion also stops while
// this much of the calling thread's stack is still free (half of a smaller
// stack), enough for unwinding with an error and for compiling a regex at the
// deepest level.
constexpr uintptr_t STACK_RESERVE = 64 * 1024;

// The lowest address the parser lets its frames reach on this thread, or 0
// when the thread's stack bounds are unknown (the depth bound alone applies).
uintptr_t stack_floor() {
  thread_local const uintptr_t floor = [] {
    uintptr_t f = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return f;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
      f = reinterpret_cast<uintptr_t>(low) + std::min<uintptr_t>(STACK_RESERVE, size / 2);
    }
    pthread_attr_destroy(&attr);
    return f;
  }();
  return floor;
}

// Fails when the next level of recursion could exhaust the stack.
Status check_nesting(int nesting) {
  if (nesting >= MAX_EXPR_DEPTH) return too_deep();
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor()) {
    return Error("expression nested too deeply for the calling thread's stack");
  }
  return {};
}

// An expression with the depth of its tree (a leaf is 1), kept while parsing
// so that an AND/OR chain, which the loop builds without recursing, is still
// bounded.
struct Sub {
  Expr expr;
  int depth = 1;
};

std::unique_ptr<Expr> boxed(Expr e) { return std::make_unique<Expr>(std::move(e)); }

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Result<Query> query();

 private:
  const Token* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool peek_is(TokenKind k) const { return pos_ < tokens_.size() && tokens_[pos_].kind == k; }
  bool peek_keyword(std::string_view word) const {
    const Token* t = peek();
    return t != nullptr && t->kind == TokenKind::Ident && equals_ignoring_ascii_case(t->text, word);
  }
  // Past the end this yields nothing and still advances.
  const Token* next() {
    const Token* t = peek();
    ++pos_;
    return t;
  }

  [[gnu::noinline]] Status expect(TokenKind k);
  Result<std::string> ident();
  Result<uint64_t> uint(std::string_view clause);
  Result<Literal> literal();
  Result<std::string> str_operand();
  Status primary(Sub* out);
  [[gnu::noinline]] Status atom(Sub* out);
  Status cmp_expr(Sub* out);
  [[gnu::noinline]] Status suffix(Sub* out);
  Status not_expr(Sub* out);
  [[gnu::noinline]] Status wrap_not(Sub* out);
  Status and_expr(Sub* out);
  Status expr(Sub* out);
  Status chain(BinOp op, std::string_view keyword, Status (Parser::*operand)(Sub*), Sub* out);
  [[gnu::noinline]] static Status combine(Sub* acc, BinOp op, Sub* rhs);
  Result<NodePat> node_pat();
  Result<RelPat> rel_pat();
  Result<ReturnItem> return_item();
  Result<ReturnItem> plain_return(std::string var);
  Result<OrderItem> order_item();
  Result<std::vector<OrderItem>> order_items();

  std::vector<Token> tokens_;
  size_t pos_ = 0;
  int nesting_ = 0;  // open parentheses and NOTs on the parser's own stack
};

Status Parser::expect(TokenKind k) {
  const Token* t = next();
  if (t != nullptr && t->kind == k) return {};
  return Error("expected " + std::string(kind_name(k)) + ", got " + render(t));
}

Result<std::string> Parser::ident() {
  const Token* t = next();
  if (t != nullptr && t->kind == TokenKind::Ident) return t->text;
  return Error("expected identifier, got " + render(t));
}

Result<uint64_t> Parser::uint(std::string_view clause) {
  const Token* t = next();
  if (t != nullptr && t->kind == TokenKind::Int && t->int_value >= 0) {
    return static_cast<uint64_t>(t->int_value);
  }
  return Error(std::string(clause) + " expects a non-negative integer, got " + render(t));
}

Result<Literal> Parser::literal() {
  const Token* t = next();
  if (t == nullptr) return Error("expected a literal value, got None");
  switch (t->kind) {
    case TokenKind::Dash: {
      const Token* n = next();
      if (n != nullptr && n->kind == TokenKind::Int) return Literal{-n->int_value};
      if (n != nullptr && n->kind == TokenKind::Float) return Literal{-n->float_value};
      return Error("expected number after '-', got " + render(n));
    }
    case TokenKind::Ident:
      if (auto b = boolean_text(t->text)) return Literal{*b};
      return Error("expected a literal value, got identifier " + quoted_text(t->text));
    case TokenKind::Int: return Literal{t->int_value};
    case TokenKind::Float: return Literal{t->float_value};
    case TokenKind::Str: return Literal{t->text};
    default: return Error("expected a literal value, got " + render(t));
  }
}

Result<std::string> Parser::str_operand() {
  Result<Literal> lit = literal();
  if (!lit.ok()) return lit.error();
  if (!lit->is_str()) return Error("expected a string operand, got " + render(*lit));
  return std::get<std::string>(std::move(lit).value().v);
}

// The expression functions fill *out and return a Status rather than a
// Result<Sub>: a deep query stacks about six of their frames per level, so
// they hold as little as possible, and the work off the recursive path
// (atoms, keyword suffixes, node building) sits in functions that are not
// inlined into them.

Status Parser::primary(Sub* out) {
  if (!peek_is(TokenKind::LParen)) return atom(out);
  next();
  if (Status s = check_nesting(nesting_); !s.ok()) return s;
  ++nesting_;
  Status s = expr(out);
  --nesting_;
  if (!s.ok()) return s;
  return expect(TokenKind::RParen);
}

Status Parser::atom(Sub* out) {
  const Token* t = next();
  if (t == nullptr) return Error("unexpected token in expression: None");
  out->depth = 1;
  switch (t->kind) {
    case TokenKind::Ident: {
      if (auto b = boolean_text(t->text)) {
        out->expr = Expr{Expr::Lit{Literal{*b}}};
        return {};
      }
      if (Status s = expect(TokenKind::Dot); !s.ok()) return s;
      Result<std::string> key = ident();
      if (!key.ok()) return key.error();
      out->expr = Expr{Expr::Prop{t->text, std::move(key).value()}};
      return {};
    }
    case TokenKind::Int: out->expr = Expr{Expr::Lit{Literal{t->int_value}}}; return {};
    case TokenKind::Float: out->expr = Expr{Expr::Lit{Literal{t->float_value}}}; return {};
    case TokenKind::Str: out->expr = Expr{Expr::Lit{Literal{t->text}}}; return {};
    default: return Error("unexpected token in expression: " + render(t));
  }
}

// The depth check comes after building: a tree one level too deep is still
// safe to drop.
Status Parser::combine(Sub* acc, BinOp op, Sub* rhs) {
  acc->depth = std::max(acc->depth, rhs->depth) + 1;
  acc->expr = Expr{Expr::Infix{boxed(std::move(acc->expr)), op, boxed(std::move(rhs->expr))}};
  if (acc->depth > MAX_EXPR_DEPTH) return too_deep();
  return {};
}

std::optional<BinOp> comparison(const Token* t) {
  if (t == nullptr) return std::nullopt;
  switch (t->kind) {
    case TokenKind::Eq: return BinOp::Eq;
    case TokenKind::Ne: return BinOp::Ne;
    case TokenKind::Lt: return BinOp::Lt;
    case TokenKind::Le: return BinOp::Le;
    case TokenKind::Gt: return BinOp::Gt;
    case TokenKind::Ge: return BinOp::Ge;
    default: return std::nullopt;
  }
}

// At most one suffix: a < b < c leaves "< c" to the caller.
Status Parser::cmp_expr(Sub* out) {
  if (Status s = primary(out); !s.ok()) return s;
  std::optional<BinOp> op = comparison(peek());
  if (!op) return suffix(out);
  next();
  Sub rhs;
  if (Status s = primary(&rhs); !s.ok()) return s;
  return combine(out, *op, &rhs);
}

// The keyword suffixes and =~, which never recurse into expressions.
Status Parser::suffix(Sub* out) {
  const Token* t = peek();
  if (t == nullptr) return {};
  auto lhs = [&] { return boxed(std::move(out->expr)); };
  auto string_predicate = [&](StrOp op) -> Status {
    Result<std::string> pattern = str_operand();
    if (!pattern.ok()) return pattern.error();
    out->expr = Expr{Expr::StrPred{lhs(), op, std::move(pattern).value()}};
    return {};
  };

  Status s;
  if (t->kind == TokenKind::RegexMatch) {
    next();
    Result<std::string> pattern = str_operand();
    if (!pattern.ok()) return pattern.error();
    re2::RE2::Options options;
    options.set_encoding(re2::RE2::Options::EncodingUTF8);
    options.set_case_sensitive(true);
    options.set_log_errors(false);  // the error travels in the message instead
    auto matcher = std::make_shared<const re2::RE2>(*pattern, options);
    if (!matcher->ok()) return Error("invalid regex in =~ : " + matcher->error());
    out->expr = Expr{Expr::Regex{lhs(), std::move(matcher), std::move(pattern).value()}};
  } else if (t->kind != TokenKind::Ident) {
    return {};
  } else if (peek_keyword("IS")) {
    next();
    bool want_null = true;
    if (peek_keyword("NOT")) {
      next();
      want_null = false;
    }
    if (!peek_keyword("NULL")) return Error("expected NULL after IS [NOT]");
    next();
    out->expr = Expr{Expr::IsNull{lhs(), want_null}};
  } else if (peek_keyword("ENDS")) {
    next();
    if (!peek_keyword("WITH")) return Error("expected WITH after ENDS");
    next();
    s = string_predicate(StrOp::EndsWith);
  } else if (peek_keyword("FUZZY")) {
    next();
    s = string_predicate(StrOp::Fuzzy);
  } else if (peek_keyword("STARTS")) {
    next();
    if (!peek_keyword("WITH")) return Error("expected WITH after STARTS");
    next();
    s = string_predicate(StrOp::StartsWith);
  } else if (peek_keyword("CONTAINS")) {
    next();
    s = string_predicate(StrOp::Contains);
  } else if (peek_keyword("IN")) {
    next();
    if (Status e = expect(TokenKind::LBracket); !e.ok()) return e;
    std::vector<Literal> items;
    if (peek_is(TokenKind::RBracket)) {
      next();
    } else {
      for (;;) {
        Result<Literal> lit = literal();
        if (!lit.ok()) return lit.error();
        items.push_back(std::move(lit).value());
        if (!peek_is(TokenKind::Comma)) break;
        next();
      }
      if (Status e = expect(TokenKind::RBracket); !e.ok()) return e;
    }
    out->expr = Expr{Expr::In{lhs(), std::move(items)}};
  } else {
    return {};  // an identifier that is no suffix keyword ends the comparison
  }
  if (!s.ok()) return s;
  if (++out->depth > MAX_EXPR_DEPTH) return too_deep();
  return {};
}

Status Parser::not_expr(Sub* out) {
  if (!peek_keyword("NOT")) return cmp_expr(out);
  next();
  if (Status s = check_nesting(nesting_); !s.ok()) return s;
  ++nesting_;
  Status s = not_expr(out);
  --nesting_;
  if (!s.ok()) return s;
  return wrap_not(out);
}

Status Parser::wrap_not(Sub* out) {
  out->expr = Expr{Expr::Not{boxed(std::move(out->expr))}};
  if (++out->depth > MAX_EXPR_DEPTH) return too_deep();
  return {};
}

// Left-associative: a OR b OR c is (a OR b) OR c.
Status Parser::chain(BinOp op, std::string_view keyword, Status (Parser::*operand)(Sub*),
                     Sub* out) {
  if (Status s = (this->*operand)(out); !s.ok()) return s;
  while (peek_keyword(keyword)) {
    next();
    Sub rhs;
    if (Status s = (this->*operand)(&rhs); !s.ok()) return s;
    if (Status s = combine(out, op, &rhs); !s.ok()) return s;
  }
  return {};
}

Status Parser::and_expr(Sub* out) { return chain(BinOp::And, "AND", &Parser::not_expr, out); }
Status Parser::expr(Sub* out) { return chain(BinOp::Or, "OR", &Parser::and_expr, out); }

Result<NodePat> Parser::node_pat() {
  if (Status s = expect(TokenKind::LParen); !s.ok()) return s.error();
  NodePat node;
  if (peek_is(TokenKind::Ident)) node.var = next()->text;
  if (peek_is(TokenKind::Colon)) {
    next();
    Result<std::string> label = ident();
    if (!label.ok()) return label.error();
    std::optional<NodeKind> kind = node_kind_from_label(*label);
    if (!kind) return Error("unknown node label :" + *label);
    node.labels.push_back(*kind);
  }
  if (peek_is(TokenKind::LBrace)) {
    next();
    for (;;) {
      Result<std::string> key = ident();
      if (!key.ok()) return key.error();
      if (Status s = expect(TokenKind::Colon); !s.ok()) return s.error();
      Result<Literal> value = literal();
      if (!value.ok()) return value.error();
      node.props.emplace_back(std::move(key).value(), std::move(value).value());
      if (!peek_is(TokenKind::Comma)) break;
      next();
    }
    if (Status s = expect(TokenKind::RBrace); !s.ok()) return s.error();
  }
  if (Status s = expect(TokenKind::RParen); !s.ok()) return s.error();
  return node;
}

Result<RelPat> Parser::rel_pat() {
  RelPat rel;
  rel.incoming = next()->kind == TokenKind::ArrowLeft;  // the caller saw Dash or ArrowLeft
  if (peek_is(TokenKind::LBracket)) {
    next();
    if (peek_is(TokenKind::Colon)) {
      next();
      for (;;) {
        Result<std::string> name = ident();
        if (!name.ok()) return name.error();
        std::optional<RelType> type = rel_type_from_label(*name);
        if (!type) return Error("unknown rel type :" + *name);
        rel.types.push_back(*type);
        if (!peek_is(TokenKind::Pipe)) break;
        next();
      }
    }
    if (Status s = expect(TokenKind::RBracket); !s.ok()) return s.error();
  }
  const Token* close = next();
  const TokenKind want = rel.incoming ? TokenKind::Dash : TokenKind::ArrowRight;
  if (close == nullptr || close->kind != want) {
    return Error("malformed relationship terminator: " + render(close));
  }
  return rel;
}

Result<ReturnItem> Parser::return_item() {
  Result<std::string> name = ident();
  if (!name.ok()) return name.error();
  std::optional<AggFn> agg;
  for (AggFn f : {AggFn::Count, AggFn::Min, AggFn::Max, AggFn::Sum, AggFn::Avg}) {
    if (equals_ignoring_ascii_case(*name, agg_name(f))) agg = f;
  }
  if (!agg || !peek_is(TokenKind::LParen)) return plain_return(std::move(name).value());
  next();
  ReturnItem item;
  item.agg = agg;
  if (*agg == AggFn::Count && peek_is(TokenKind::Star)) {
    next();
    if (Status s = expect(TokenKind::RParen); !s.ok()) return s.error();
    item.count_star = true;
  } else {
    Result<std::string> var = ident();
    if (!var.ok()) return var.error();
    item.var = std::move(var).value();
    if (peek_is(TokenKind::Dot)) {
      next();
      Result<std::string> prop = ident();
      if (!prop.ok()) return prop.error();
      item.prop = std::move(prop).value();
    }
    if (Status s = expect(TokenKind::RParen); !s.ok()) return s.error();
  }
  if (peek_keyword("AS")) {
    next();
    Result<std::string> alias = ident();
    if (!alias.ok()) return alias.error();
    item.alias = std::move(alias).value();
  }
  return item;
}

Result<ReturnItem> Parser::plain_return(std::string var) {
  ReturnItem item;
  item.var = std::move(var);
  if (peek_is(TokenKind::Dot)) {
    next();
    Result<std::string> prop = ident();
    if (!prop.ok()) return prop.error();
    item.prop = std::move(prop).value();
  }
  if (peek_keyword("AS")) {
    next();
    Result<std::string> alias = ident();
    if (!alias.ok()) return alias.error();
    item.alias = std::move(alias).value();
  }
  return item;
}

Result<OrderItem> Parser::order_item() {
  OrderItem item;
  Result<std::string> var = ident();
  if (!var.ok()) return var.error();
  item.var = std::move(var).value();
  if (peek_is(TokenKind::Dot)) {
    next();
    Result<std::string> prop = ident();
    if (!prop.ok()) return prop.error();
    item.prop = std::move(prop).value();
  }
  if (peek_keyword("ASC")) {
    next();
  } else if (peek_keyword("DESC")) {
    next();
    item.desc = true;
  }
  return item;
}

Result<std::vector<OrderItem>> Parser::order_items() {
  std::vector<OrderItem> items;
  for (;;) {
    Result<OrderItem> item = order_item();
    if (!item.ok()) return item.error();
    items.push_back(std::move(item).value());
    if (!peek_is(TokenKind::Comma)) return items;
    next();
  }
}

Result<Query> Parser::query() {
  if (!peek_keyword("MATCH")) return Error("query must start with MATCH");
  next();
  Query q;
  Result<NodePat> first = node_pat();
  if (!first.ok()) return first.error();
  q.pattern.nodes.push_back(std::move(first).value());
  while (peek_is(TokenKind::Dash) || peek_is(TokenKind::ArrowLeft)) {
    Result<RelPat> rel = rel_pat();
    if (!rel.ok()) return rel.error();
    Result<NodePat> node = node_pat();
    if (!node.ok()) return node.error();
    q.pattern.rels.push_back(std::move(rel).value());
    q.pattern.nodes.push_back(std::move(node).value());
  }
  if (peek_keyword("WHERE")) {
    next();
    Sub where;
    if (Status s = expr(&where); !s.ok()) return s.error();
    q.where_clause = std::move(where.expr);
  }
  if (!peek_keyword("RETURN")) return Error("expected RETURN");
  next();
  if (peek_keyword("DISTINCT")) {
    next();
    q.distinct = true;
  }
  for (;;) {
    Result<ReturnItem> item = return_item();
    if (!item.ok()) return item.error();
    q.returns.push_back(std::move(item).value());
    if (!peek_is(TokenKind::Comma)) break;
    next();
  }
  if (peek_keyword("ORDER")) {
    next();
    if (!peek_keyword("BY")) return Error("expected BY after ORDER");
    next();
    Result<std::vector<OrderItem>> items = order_items();
    if (!items.ok()) return items.error();
    q.order_by = std::move(items).value();
  }
  if (peek_keyword("SKIP")) {
    next();
    Result<uint64_t> n = uint("SKIP");
    if (!n.ok()) return n.error();
    q.skip = *n;
  }
  if (peek_keyword("LIMIT")) {
    next();
    Result<uint64_t> n = uint("LIMIT");
    if (!n.ok()) return n.error();
    q.limit = *n;
  }
  // Whatever follows is not examined.
  return q;
}

}  // namespace

namespace {

// Notes in every property read of WHERE which node pattern its variable
// names, so that evaluation does not look it up again for every match.
void resolve_positions(Query& q) {
  if (!q.where_clause) return;
  std::vector<Expr*> todo{&*q.where_clause};
  while (!todo.empty()) {
    Expr* e = todo.back();
    todo.pop_back();
    std::visit(
        [&](auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, Expr::Prop>) {
            const std::optional<size_t> pos = resolve_var(q, x.var);
            x.position = pos && *pos <= static_cast<size_t>(INT32_MAX) ? static_cast<int32_t>(*pos) : Expr::Prop::NO_PATTERN;
          } else if constexpr (std::is_same_v<T, Expr::Infix>) {
            todo.push_back(x.rhs.get());
            todo.push_back(x.lhs.get());
          } else if constexpr (std::is_same_v<T, Expr::Not> || std::is_same_v<T, Expr::IsNull>) {
            todo.push_back(x.operand.get());
          } else if constexpr (!std::is_same_v<T, Expr::Lit>) {
            todo.push_back(x.lhs.get());
          }
        },
        e->v);
  }
}

}  // namespace

Result<Query> parse(std::string_view text) {
  Result<std::vector<Token>> tokens = tokenize(text);
  if (!tokens.ok()) return tokens.error();
  Result<Query> q = Parser(std::move(tokens).value()).query();
  if (q.ok()) resolve_positions(*q);
  return q;
}

}  // namespace vyr::query
