"""vyr.query end to end, on small graph files written by graphfile."""
import re
import threading

import pytest
from hypothesis import given, settings, strategies as st

import graphfile
import vyr

NODES = [
    ("Product", "p1", "Electric kettle",
     '{"brand":"Acme","price":"19.99","price_cents":1999,"rating":"4.5","tags":["1","x"],"ok":true}'),
    ("Offer", "p1#offer0", "", '{"price":"19.99","qty":2}'),
    ("Offer", "p1#offer1", "", '{"price":21.5,"qty":1}'),
    ("Product", "p2", "Table lamp", '{"brand":"Zed","price_cents":4500,"rating":3}'),
    ("Offer", "p2#offer", "", '{"price":45,"qty":"3"}'),
    ("Brand", "Acme", "Acme", '"Acme"'),
    ("Product", "p3", "Kettle \u00c4 \"XL\"", "not json"),
]
EDGES = [(0, "Offers", 1), (0, "Offers", 2), (0, "Brand", 5), (3, "Offers", 4), (0, "Offers", 1)]


@pytest.fixture
def shop(tmp_path):
    return graphfile.write_graph(str(tmp_path / "graph.bin"), NODES, EDGES)


@pytest.mark.parametrize("query, rows", [
    ("MATCH (p:Product) RETURN p.name, p.rating, p.price, p.tags, p.ok, p.zz LIMIT 1",
     [{"p.name": "Electric kettle", "p.rating": 4.5, "p.price": "19.99", "p.tags": [1, "x"], "p.ok": True,
       "p.zz": None}]),
    ("MATCH (b:Brand) RETURN b", [{"b": {"idx": 5, "kind": "Brand", "name": "Acme"}}]),
    ("MATCH (p:Product)-[:Offers]->(o:Offer) RETURN p.name AS name, o.price",
     [{"name": "Electric kettle", "o.price": "19.99"}, {"name": "Electric kettle", "o.price": 21.5},
      {"name": "Electric kettle", "o.price": "19.99"}, {"name": "Table lamp", "o.price": 45}]),
    ("MATCH (p:Product)-[:Offers]->(o:Offer) RETURN DISTINCT p.name",
     [{"p.name": "Electric kettle"}, {"p.name": "Table lamp"}]),
    ("MATCH (o:Offer)<-[:Offers]-(p {price_cents: 1999}) RETURN sum(o.qty), avg(o.price), count(*)",
     [{"sum(o.qty)": 5.0, "avg(o.price)": 21.5, "count(*)": 3}]),
    ("MATCH (p:Product) RETURN p.brand, count(*) AS n ORDER BY n",
     [{"p.brand": None, "n": 1}, {"p.brand": "Acme", "n": 1}, {"p.brand": "Zed", "n": 1}]),
    ("MATCH (p:Product) WHERE p.name CONTAINS 'KETTLE' OR p.name FUZZY 'table kettle' RETURN p.name",
     [{"p.name": "Electric kettle"}, {"p.name": 'Kettle \u00c4 "XL"'}, {"p.name": "Table lamp"}]),
    ("MATCH (p:Product) RETURN p.name ORDER BY p.rating DESC SKIP 1 LIMIT 1", [{"p.name": "Electric kettle"}]),
    ("MATCH (p:Product) WHERE p.price_cents > 5000 RETURN p", []),
    ("MATCH (p:Product) WHERE p.price_cents > 5000 RETURN count(*)", []),
    ("match (n:Brand) return n.kind", [{"n.kind": "Brand"}]),
])
def test_query_rows(shop, query, rows):
    assert vyr.query(shop, query) == rows


@pytest.mark.parametrize("query, message", [
    ("MATCH (n) RETURN n;", "unexpected char ';' at 18"),
    ("MATCH (n)", "expected RETURN"),
    ("", "query must start with MATCH"),
    ("MATCH (p:product) RETURN p", "unknown node label :product"),
    ("MATCH (n) RETURN n ORDER BY zz", "ORDER BY references unknown variable zz"),
    ("MATCH (n) RETURN zz.name", "RETURN references unknown variable zz"),
    ("MATCH (n) RETURN sum(zz.x)", "RETURN references unknown variable zz"),
])
def test_bad_query_raises_value_error(shop, query, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        vyr.query(shop, query)


def test_unknown_variable_without_matches_is_no_error(shop):
    assert vyr.query(shop, "MATCH (n:Review) RETURN zz.name") == []
    with pytest.raises(ValueError, match="ORDER BY references unknown variable zz"):
        vyr.query(shop, "MATCH (n:Review) RETURN n ORDER BY zz")


def test_the_graph_is_checked_before_the_query_text(tmp_path):
    with pytest.raises(ValueError) as e:
        vyr.query(str(tmp_path / "missing.bin"), "not a query ;")
    assert "query" not in str(e.value) and "unexpected" not in str(e.value)
    bad = tmp_path / "bad.bin"
    bad.write_bytes(b"x" * 100)
    with pytest.raises(ValueError, match=re.escape("archive access (corrupt graph.bin?)")):
        vyr.query(str(bad), "MATCH (n) RETURN n ;")


def test_empty_graph(tmp_path):
    path = graphfile.write_graph(str(tmp_path / "empty.bin"), [])
    assert vyr.query(path, "MATCH (n) RETURN n") == []
    assert vyr.query(path, "MATCH (n) RETURN count(*)") == []


@pytest.mark.parametrize("text", [
    "MATCH (n) WHERE " + "(" * 100000 + "n.a = 1" + ")" * 100000 + " RETURN n",
    "MATCH (n) WHERE " + "NOT " * 100000 + "n.a = 1 RETURN n",
    "MATCH (n) WHERE " + " OR ".join(["n.a = 1"] * 50000) + " RETURN n",
    "MATCH (n) WHERE n.a IN [" + ",".join(["1"] * 100000) + "] RETURN n",
    "MATCH " + "-->".join(["(n)"] * 2000) + " RETURN n",
])
def test_hostile_nesting_gives_a_result_or_value_error(shop, text):
    try:
        assert isinstance(vyr.query(shop, text), list)
    except ValueError:
        pass


WORDS = ["MATCH", "WHERE", "RETURN", "ORDER", "BY", "SKIP", "LIMIT", "AND", "OR", "NOT", "IS", "NULL", "IN",
         "CONTAINS", "FUZZY", "STARTS", "WITH", "DISTINCT", "count", "sum", "avg", "(", ")", "[", "]", "{", "}",
         ":", ",", ".", "-", "->", "<-", "=", "<>", "<", ">=", "=~", "*", "p", "o", "name", "price", "rating",
         "Product", "Offer", "Offers", "'kettle'", "'(?i)k'", "1", "2.5", "true", "AS", "DESC"]


@settings(max_examples=300, deadline=None, database=None)
@given(st.one_of(st.text(max_size=80),
                 st.lists(st.sampled_from(WORDS), max_size=30).map(" ".join),
                 st.lists(st.sampled_from(WORDS), max_size=30).map(lambda w: "MATCH (p)-->(o) " + " ".join(w))))
def test_any_text_gives_a_result_or_value_error(tmp_path_factory, text):
    path = str(tmp_path_factory.getbasetemp() / "fuzz_graph.bin")
    graphfile.write_graph(path, NODES, EDGES)
    try:
        rows = vyr.query(path, text)
    except ValueError:
        return
    assert isinstance(rows, list) and all(isinstance(r, dict) for r in rows)


def test_threads_query_while_the_file_is_rewritten(shop):
    queries = {
        "MATCH (p:Product)-[:Offers]->(o:Offer) RETURN p.name, o.price ORDER BY o.price": None,
        "MATCH (p:Product) WHERE p.name FUZZY 'kettle' RETURN p.name, p.rating": None,
        "MATCH (p:Product) RETURN p.brand, count(*) AS n": None,
    }
    for q in queries:
        queries[q] = vyr.query(shop, q)
    errors = []
    stop = threading.Event()

    def reader():
        try:
            for i in range(300):
                q = list(queries)[i % len(queries)]
                assert vyr.query(shop, q) == queries[q]
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def writer():
        try:
            while not stop.is_set():
                vyr.merge_graph(shop, [], [], shop)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    readers = [threading.Thread(target=reader) for _ in range(4)]
    w = threading.Thread(target=writer)
    w.start()
    for t in readers:
        t.start()
    for t in readers:
        t.join()
    stop.set()
    w.join()
    assert errors == []
