#include "query/parser.h"

#include <pthread.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "query/format.h"

namespace vyr::query {
namespace {

// A compact dump of the tree: operators and suffixes in parentheses so that
// grouping and precedence are visible, literals in their debug rendering.
std::string lit(const Literal& l) {
  switch (l.v.index()) {
    case 0: return "Int(" + std::to_string(std::get<0>(l.v)) + ")";
    case 1: return "Float(" + float_text(std::get<1>(l.v)) + ")";
    case 2: return "Str(" + quoted_text(std::get<2>(l.v)) + ")";
    default: return std::get<3>(l.v) ? "Bool(true)" : "Bool(false)";
  }
}

std::string dump(const Expr& e) {
  static constexpr std::string_view BIN[] = {"=", "<>", "<", "<=", ">", ">=", "AND", "OR"};
  static constexpr std::string_view STR[] = {"StartsWith", "Contains", "EndsWith", "Fuzzy"};
  if (auto* x = std::get_if<Expr::Infix>(&e.v))
    return "(" + dump(*x->lhs) + " " + std::string(BIN[static_cast<int>(x->op)]) + " " +
           dump(*x->rhs) + ")";
  if (auto* x = std::get_if<Expr::Not>(&e.v)) return "NOT(" + dump(*x->operand) + ")";
  if (auto* x = std::get_if<Expr::Prop>(&e.v)) return x->var + "." + x->key;
  if (auto* x = std::get_if<Expr::Lit>(&e.v)) return lit(x->value);
  if (auto* x = std::get_if<Expr::StrPred>(&e.v))
    return std::string(STR[static_cast<int>(x->op)]) + "(" + dump(*x->lhs) + ", " +
           quoted_text(x->pattern_text) + ")";
  if (auto* x = std::get_if<Expr::IsNull>(&e.v))
    return (x->want_null ? "IsNull(" : "IsNotNull(") + dump(*x->operand) + ")";
  if (auto* x = std::get_if<Expr::In>(&e.v)) {
    std::string out = "In(" + dump(*x->lhs) + ", [";
    for (size_t i = 0; i < x->items.size(); ++i) out += (i ? ", " : "") + lit(x->items[i]);
    return out + "])";
  }
  const auto& r = std::get<Expr::Regex>(e.v);
  return "Regex(" + dump(*r.lhs) + ", " + quoted_text(r.pattern_text) + ")";
}

std::string dump(const Query& q) {
  std::string out = "match(";
  for (size_t i = 0; i < q.pattern.nodes.size(); ++i) {
    if (i > 0) {
      const RelPat& rel = q.pattern.rels[i - 1];
      out += rel.incoming ? " <-[" : " -[";
      for (size_t t = 0; t < rel.types.size(); ++t) out += (t ? "|" : "") + std::string(label(rel.types[t]));
      out += rel.incoming ? "]- " : "]-> ";
    }
    const NodePat& n = q.pattern.nodes[i];
    out += "node(" + n.var.value_or("_");
    for (NodeKind k : n.labels) out += " " + std::string(label(k));
    for (const auto& [key, value] : n.props) out += " " + key + "=" + lit(value);
    out += ")";
  }
  out += ")";
  if (q.where_clause) out += " where " + dump(*q.where_clause);
  out += q.distinct ? " return distinct(" : " return(";
  for (size_t i = 0; i < q.returns.size(); ++i) {
    const ReturnItem& r = q.returns[i];
    if (i > 0) out += ", ";
    std::string base = r.count_star ? "*" : r.var + (r.prop ? "." + *r.prop : "");
    out += r.agg ? std::string(agg_name(*r.agg)) + "(" + base + ")" : base;
    if (r.alias) out += " as " + *r.alias;
  }
  out += ")";
  if (!q.order_by.empty()) {
    out += " order(";
    for (size_t i = 0; i < q.order_by.size(); ++i) {
      const OrderItem& o = q.order_by[i];
      out += (i ? ", " : "") + o.var + (o.prop ? "." + *o.prop : "") + (o.desc ? " desc" : " asc");
    }
    out += ")";
  }
  if (q.skip) out += " skip(" + std::to_string(*q.skip) + ")";
  if (q.limit) out += " limit(" + std::to_string(*q.limit) + ")";
  return out;
}

TEST(Parser, BuildsTheTree) {
  const struct { std::string_view text, tree; } cases[] = {
      {"MATCH (p:Product) RETURN p", "match(node(p Product)) return(p)"},
      {"match (p:Product) return p", "match(node(p Product)) return(p)"},
      {"MATCH () RETURN n", "match(node(_)) return(n)"},
      {"MATCH (a:Product)-[:Offers|Brand]->(b) RETURN b",
       "match(node(a Product) -[Offers|Brand]-> node(b)) return(b)"},
      {"MATCH (a)<-[:Offers]-(b) RETURN a", "match(node(a) <-[Offers]- node(b)) return(a)"},
      {"MATCH (a)-->(b)<--(c)-[]->(d) RETURN a",
       "match(node(a) -[]-> node(b) <-[]- node(c) -[]-> node(d)) return(a)"},
      {"MATCH (p {name: 'Kettle', n: -5, f: -2.5, b: TRUE, n: 1}) RETURN p",
       "match(node(p name=Str(\"Kettle\") n=Int(-5) f=Float(-2.5) b=Bool(true) n=Int(1))) return(p)"},
      {"MATCH (:Offer {sku: 'x'}) RETURN count(*)",
       "match(node(_ Offer sku=Str(\"x\"))) return(count(*))"},
      // Keywords are not reserved where a name is expected.
      {"MATCH (match:Brand) RETURN match.where AS return",
       "match(node(match Brand)) return(match.where as return)"},
      {"MATCH (`my var`) RETURN `my var`.`a b`", "match(node(my var)) return(my var.a b)"},
      // Precedence: OR < AND < NOT < suffixes; chains associate to the left.
      {"MATCH (n) WHERE NOT n.a = 1 AND n.b = 2 RETURN n",
       "match(node(n)) where (NOT((n.a = Int(1))) AND (n.b = Int(2))) return(n)"},
      {"MATCH (n) WHERE n.a = 1 OR n.b = 2 OR n.c = 3 RETURN n",
       "match(node(n)) where (((n.a = Int(1)) OR (n.b = Int(2))) OR (n.c = Int(3))) return(n)"},
      {"MATCH (n) WHERE n.a = 1 OR n.b = 2 AND n.c = 3 RETURN n",
       "match(node(n)) where ((n.a = Int(1)) OR ((n.b = Int(2)) AND (n.c = Int(3)))) return(n)"},
      {"MATCH (n) WHERE (n.a = 1 OR n.b = 2) and n.c <> 'x' RETURN n",
       "match(node(n)) where (((n.a = Int(1)) OR (n.b = Int(2))) AND (n.c <> Str(\"x\"))) return(n)"},
      {"MATCH (n) WHERE NOT NOT n.a RETURN n", "match(node(n)) where NOT(NOT(n.a)) return(n)"},
      {"MATCH (n) WHERE n.a < n.b AND n.c <= 2.5 AND n.d > 0 AND n.e >= 1 RETURN n",
       "match(node(n)) where ((((n.a < n.b) AND (n.c <= Float(2.5))) AND (n.d > Int(0))) AND "
       "(n.e >= Int(1))) return(n)"},
      {"MATCH (n) WHERE n.a = (n.b) RETURN n", "match(node(n)) where (n.a = n.b) return(n)"},
      {"MATCH (n) WHERE true RETURN n", "match(node(n)) where Bool(true) return(n)"},
      {"MATCH (n) WHERE tRuE.x RETURN n", "match(node(n)) where tRuE.x return(n)"},
      {"MATCH (n) WHERE 'x' RETURN n", "match(node(n)) where Str(\"x\") return(n)"},
      // Suffixes.
      {"MATCH (n) WHERE n.name IS NULL RETURN n", "match(node(n)) where IsNull(n.name) return(n)"},
      {"MATCH (n) WHERE n.name is not null RETURN n",
       "match(node(n)) where IsNotNull(n.name) return(n)"},
      {"MATCH (n) WHERE n.name STARTS WITH 'a' OR n.name ENDS WITH 'b' RETURN n",
       "match(node(n)) where (StartsWith(n.name, \"a\") OR EndsWith(n.name, \"b\")) return(n)"},
      {"MATCH (n) WHERE n.name CONTAINS 'KETTLE' AND n.name FUZZY 'ketle' RETURN n",
       "match(node(n)) where (Contains(n.name, \"KETTLE\") AND Fuzzy(n.name, \"ketle\")) return(n)"},
      {"MATCH (n) WHERE n.price IN [-5, 2.5, 'a', false] RETURN n",
       "match(node(n)) where In(n.price, [Int(-5), Float(2.5), Str(\"a\"), Bool(false)]) return(n)"},
      {"MATCH (n) WHERE n.x IN [] RETURN n", "match(node(n)) where In(n.x, []) return(n)"},
      {"MATCH (n) WHERE n.name =~ '(?i)TABLE' RETURN n",
       "match(node(n)) where Regex(n.name, \"(?i)TABLE\") return(n)"},
      {"MATCH (n) WHERE NOT n.name IS NULL RETURN n",
       "match(node(n)) where NOT(IsNull(n.name)) return(n)"},
      // Return items.
      {"MATCH (n) RETURN count(*)", "match(node(n)) return(count(*))"},
      {"MATCH (n) RETURN COUNT(n.x) AS c", "match(node(n)) return(count(n.x) as c)"},
      {"MATCH (n) RETURN Min(n.x), max(n), SUM(n.y), avg(n.z)",
       "match(node(n)) return(min(n.x), max(n), sum(n.y), avg(n.z))"},
      {"MATCH (n) RETURN sum", "match(node(n)) return(sum)"},
      {"MATCH (n) RETURN sum.x AS total", "match(node(n)) return(sum.x as total)"},
      {"MATCH (n) RETURN DISTINCT n.brand, n", "match(node(n)) return distinct(n.brand, n)"},
      // Tail clauses.
      {"MATCH (n) RETURN n.name AS nm ORDER BY nm", "match(node(n)) return(n.name as nm) order(nm asc)"},
      {"MATCH (n) RETURN n ORDER BY n.price DESC, n.name, n ASC",
       "match(node(n)) return(n) order(n.price desc, n.name asc, n asc)"},
      {"MATCH (n) RETURN n SKIP 1 LIMIT 2", "match(node(n)) return(n) skip(1) limit(2)"},
      {"MATCH (n) RETURN n LIMIT 5 SKIP 2", "match(node(n)) return(n) limit(5)"},
      {"MATCH (n) RETURN n LIMIT 3 garbage (", "match(node(n)) return(n) limit(3)"},
      {"MATCH (n) RETURN n SKIP 9223372036854775807",
       "match(node(n)) return(n) skip(9223372036854775807)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto q = parse(c.text);
    ASSERT_TRUE(q.ok()) << q.error().message();
    EXPECT_EQ(dump(*q), c.tree);
  }
}

TEST(Parser, RejectsWithExactMessages) {
  const struct { std::string_view text, message; } cases[] = {
      {"", "query must start with MATCH"},
      {"  ", "query must start with MATCH"},
      {"RETURN n", "query must start with MATCH"},
      {"(n) RETURN n", "query must start with MATCH"},
      {"MATCH", "expected LParen, got None"},
      {"MATCH (n) RETURN n;", "unexpected char ';' at 18"},
      {"MATCH (p:product) RETURN p", "unknown node label :product"},
      {"MATCH (p:) RETURN p", "expected identifier, got Some(RParen)"},
      {"MATCH (a:Product:Offer) RETURN a", "expected RParen, got Some(Colon)"},
      {"MATCH (a {}) RETURN a", "expected identifier, got Some(RBrace)"},
      {"MATCH (a {x 1}) RETURN a", "expected Colon, got Some(Int(1))"},
      {"MATCH (a {x: 1) RETURN a", "expected RBrace, got Some(RParen)"},
      {"MATCH (a)-[:Offers]-(b) RETURN a", "malformed relationship terminator: Some(Dash)"},
      {"MATCH (a)<-[:Offers]->(b) RETURN a", "malformed relationship terminator: Some(ArrowRight)"},
      {"MATCH (a)-", "malformed relationship terminator: None"},
      {"MATCH (a)-[:Offer]->(b) RETURN a", "unknown rel type :Offer"},
      {"MATCH (a)-[:Offers|:Brand]->(b) RETURN a", "expected identifier, got Some(Colon)"},
      {"MATCH (a)-[r:Offers]->(b) RETURN b", R"(expected RBracket, got Some(Ident("r")))"},
      {"MATCH (a)-[*]->(b) RETURN b", "expected RBracket, got Some(Star)"},
      {"MATCH (a), (b) RETURN a", "expected RETURN"},
      {"MATCH (a)", "expected RETURN"},
      {"MATCH (n) WHERE n.a < n.b < n.c RETURN n", "expected RETURN"},
      {"MATCH (n) WHERE n.price > -5 RETURN n", "unexpected token in expression: Some(Dash)"},
      {"MATCH (n) WHERE", "unexpected token in expression: None"},
      {"MATCH (n) WHERE n.name = null RETURN n", R"(expected Dot, got Some(Ident("RETURN")))"},
      {"MATCH (n) WHERE n RETURN n", R"(expected Dot, got Some(Ident("RETURN")))"},
      {"MATCH (n) WHERE f(n.name) = 'x' RETURN n", "expected Dot, got Some(LParen)"},
      {"MATCH (n) WHERE (n.a = 1 RETURN n", R"(expected RParen, got Some(Ident("RETURN")))"},
      {"MATCH (n) WHERE n.name STARTS WITH 5 RETURN n", "expected a string operand, got Int(5)"},
      {"MATCH (n) WHERE n.name CONTAINS true RETURN n", "expected a string operand, got Bool(true)"},
      {"MATCH (n) WHERE n.name FUZZY -2.5 RETURN n", "expected a string operand, got Float(-2.5)"},
      {"MATCH (n) WHERE n.name STARTS 'x' RETURN n", "expected WITH after STARTS"},
      {"MATCH (n) WHERE n.name ENDS 'x' RETURN n", "expected WITH after ENDS"},
      {"MATCH (n) WHERE n.name IS 'x' RETURN n", "expected NULL after IS [NOT]"},
      {"MATCH (n) WHERE n.name IS NOT RETURN n", "expected NULL after IS [NOT]"},
      {"MATCH (n) WHERE n.name =~ '(' RETURN n", "invalid regex in =~ : missing ): ("},
      {"MATCH (n) WHERE n.name =~ 'a(?=b)' RETURN n",
       "invalid regex in =~ : invalid perl operator: (?="},
      {"MATCH (n) WHERE n.x IN [a] RETURN n", R"(expected a literal value, got identifier "a")"},
      {"MATCH (n) WHERE n.x IN [(] RETURN n", "expected a literal value, got Some(LParen)"},
      {"MATCH (n) WHERE n.x IN [-'a'] RETURN n", R"(expected number after '-', got Some(Str("a")))"},
      {"MATCH (n) WHERE n.x IN [1 RETURN n", R"(expected RBracket, got Some(Ident("RETURN")))"},
      {"MATCH (n) WHERE n.x IN 1 RETURN n", "expected LBracket, got Some(Int(1))"},
      {"MATCH (n {a: b}) RETURN n", R"(expected a literal value, got identifier "b")"},
      {"MATCH (n {a:", "expected a literal value, got None"},
      {"MATCH (n) RETURN", "expected identifier, got None"},
      {"MATCH (n) RETURN n,", "expected identifier, got None"},
      {"MATCH (n) RETURN DISTINCT", "expected identifier, got None"},
      {"MATCH (n) RETURN n AS", "expected identifier, got None"},
      {"MATCH (n) RETURN n.", "expected identifier, got None"},
      {"MATCH (n) RETURN min(*)", "expected identifier, got Some(Star)"},
      {"MATCH (n) RETURN count(n.x", "expected RParen, got None"},
      {"MATCH (n) RETURN count(*", "expected RParen, got None"},
      {"MATCH (n) RETURN n ORDER n.price", "expected BY after ORDER"},
      {"MATCH (n) RETURN n ORDER BY", "expected identifier, got None"},
      {"MATCH (n) RETURN n LIMIT -1", "LIMIT expects a non-negative integer, got Some(Dash)"},
      {"MATCH (n) RETURN n LIMIT 2.5", "LIMIT expects a non-negative integer, got Some(Float(2.5))"},
      {"MATCH (n) RETURN n SKIP", "SKIP expects a non-negative integer, got None"},
      {"MATCH (n) RETURN n SKIP 1 LIMIT x", R"(LIMIT expects a non-negative integer, got Some(Ident("x")))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto q = parse(c.text);
    ASSERT_FALSE(q.ok()) << dump(*q);
    EXPECT_EQ(q.error().message(), c.message);
  }
}

TEST(Parser, CompilesRegexOnceForUnanchoredUtf8Search) {
  auto q = parse("MATCH (n) WHERE n.a =~ 'lamp' AND n.b =~ '^lamp$' AND n.c =~ '(?i)TABLE' "
                 "AND n.d =~ '^ö.$' RETURN n");
  ASSERT_TRUE(q.ok()) << q.error().message();
  std::vector<const re2::RE2*> re;
  const Expr* e = &*q->where_clause;
  while (auto* infix = std::get_if<Expr::Infix>(&e->v)) {
    re.insert(re.begin(), std::get<Expr::Regex>(infix->rhs->v).matcher.get());
    e = infix->lhs.get();
  }
  re.insert(re.begin(), std::get<Expr::Regex>(e->v).matcher.get());
  ASSERT_EQ(re.size(), 4u);
  EXPECT_TRUE(re2::RE2::PartialMatch("Table lamp", *re[0]));
  EXPECT_FALSE(re2::RE2::PartialMatch("Table lamp", *re[1]));
  EXPECT_TRUE(re2::RE2::PartialMatch("Table lamp", *re[2]));
  EXPECT_FALSE(re2::RE2::PartialMatch("table", *re[0]));
  EXPECT_TRUE(re2::RE2::PartialMatch("öé", *re[3]));  // "." is one character, not one byte
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(Parser, BoundsNestingWithoutExhaustingTheStack) {
  const std::string deep = "expression nested too deeply (more than 1000 levels of parentheses, "
                           "NOT or AND/OR operands)";
  // "n.a = 1" is two levels; each NOT, parenthesis or chained operand adds one.
  const struct { std::string text; bool ok; } cases[] = {
      {"MATCH (n) WHERE " + repeat("(", 100000), false},
      {"MATCH (n) WHERE " + repeat("NOT ", 100000), false},
      {"MATCH (n) WHERE n.a = 1" + repeat(" AND n.a = 1", 100000) + " RETURN n", false},
      {"MATCH (n) WHERE n.a = 1" + repeat(" OR n.a = 1", 100000) + " RETURN n", false},
      {"MATCH (n) WHERE " + repeat("NOT (", 60000) + "n.a" + repeat(")", 60000) + " RETURN n", false},
      {"MATCH (n) WHERE n.a = " + repeat("(", 100000), false},
      {"MATCH (n) WHERE " + repeat("NOT ", 998) + "n.a = 1 RETURN n", true},
      {"MATCH (n) WHERE " + repeat("NOT ", 999) + "n.a = 1 RETURN n", false},
      {"MATCH (n) WHERE n.a = 1" + repeat(" OR n.a = 1", 998) + " RETURN n", true},
      {"MATCH (n) WHERE n.a = 1" + repeat(" OR n.a = 1", 999) + " RETURN n", false},
      {"MATCH (n) WHERE " + repeat("(", 1000) + "n.a = 1" + repeat(")", 1000) + " RETURN n", true},
      {"MATCH (n) WHERE " + repeat("(", 1001) + "n.a = 1" + repeat(")", 1001) + " RETURN n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    auto q = parse(c.text);
    if (c.ok) {
      EXPECT_TRUE(q.ok()) << q.error().message();
    } else {
      ASSERT_FALSE(q.ok());
      EXPECT_EQ(q.error().message(), deep);
    }
  }
}

// A thread with a small stack (Python's threading.stack_size) reaches its
// stack's end long before the depth bound: parsing must stop with an error.
TEST(Parser, StopsNestingBeforeASmallThreadStackRunsOut) {
  struct Job {
    std::string text;
    std::string outcome;
  };
  Job jobs[] = {
      {"MATCH (n) WHERE " + repeat("(", 900) + "n.a = 1" + repeat(")", 900) + " RETURN n", ""},
      {"MATCH (n) WHERE " + repeat("NOT ", 990) + "n.a = 1 RETURN n", ""},
      {"MATCH (n) WHERE ((n.a = 1)) RETURN n", ""},
  };
  for (Job& job : jobs) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
      auto* j = static_cast<Job*>(arg);
      auto q = parse(j->text);
      j->outcome = q.ok() ? "ok" : q.error().message();
      return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
  }
  EXPECT_EQ(jobs[0].outcome, "expression nested too deeply for the calling thread's stack");
  EXPECT_EQ(jobs[1].outcome, "expression nested too deeply for the calling thread's stack");
  EXPECT_EQ(jobs[2].outcome, "ok");
}

}  // namespace
}  // namespace vyr::query
