"""Pages in, graph files out: JSON-LD pages through build_graph,
build_graph_from_dir and merge_graph, checked by reading the file back."""
import json
import os

import pytest

import graphfile
import vyr


def ld(obj):
    return '<script type="application/ld+json">%s</script>' % json.dumps(obj)


def page(*blocks, head=""):
    return "<html><head>%s%s</head><body><p>shop</p></body></html>" % (head, "".join(blocks))


def build(tmp_path, pages):
    out = str(tmp_path / "g.bin")
    vyr.build_graph(pages, out)
    return graphfile.read_graph(out)


def by_id(nodes):
    return {n[1]: n for n in nodes}


def edge_ids(nodes, edges):
    return [(nodes[s][1], rel, nodes[d][1]) for s, rel, d in edges]


LAMP = {
    "@context": "https://schema.org",
    "@type": "Product",
    "name": "Desk Lamp",
    "sku": "LAMP-1",
    "brand": {"@type": "Brand", "name": "Acme"},
    "image": ["https://shop.example/img/lamp.jpg", "https://shop.example/img/logo.png",
              "https://shop.example/img/lamp-2.jpg"],
    "offers": [{"@type": "Offer", "price": "1,299.00", "priceCurrency": "USD",
                "availability": "https://schema.org/InStock", "url": "https://shop.example/p/lamp"}],
    "aggregateRating": {"@type": "AggregateRating", "ratingValue": "4.6", "reviewCount": 12},
    "review": [{"@type": "Review", "reviewBody": "Bright.", "author": {"@type": "Person", "name": "Ann"},
                "reviewRating": {"ratingValue": 5}, "datePublished": "2024-03-01"}],
}


def test_product_with_neighbours_exact(tmp_path):
    html = page(ld({"@graph": [{"@type": "WebSite", "name": "Shop"}, LAMP]}),
                head='<meta property="og:url" content="https://shop.example/p/lamp">') + \
        "<span>$1,299.00</span><span>$1,299.00</span>"
    nodes, edges = build(tmp_path, [html])
    assert [n[0] for n in nodes] == ["Product", "Brand", "Offer", "AggregateRating", "Review", "Person"]
    product = nodes[0]
    assert product[1:3] == ("LAMP-1", "Desk Lamp")
    expected = dict(LAMP)
    expected.update({
        "price": "1299", "price_cents": 129900, "price_scale": 2, "currency": "USD",
        "price_confident": True, "price_score": 3, "availability": "InStock",
        "rating_value": "4.6", "review_count": 12,
        "image": "https://shop.example/img/lamp.jpg",
        "images": ["https://shop.example/img/lamp.jpg", "https://shop.example/img/lamp-2.jpg"],
        "url": "https://shop.example/p/lamp",
    })
    assert product[3] == json.dumps(expected, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    nodes_by_id = by_id(nodes)
    assert nodes_by_id["LAMP-1#offer0"][2:] == ('"1,299.00"', json.dumps(
        LAMP["offers"][0], sort_keys=True, separators=(",", ":")))
    assert nodes_by_id["LAMP-1#rating"][2:] == (
        '"4.6"', '{"@type":"AggregateRating","ratingValue":"4.6","rating_value":"4.6","reviewCount":12,"review_count":12}')
    assert nodes_by_id["LAMP-1#review0"][2] == "Bright."
    assert json.loads(nodes_by_id["LAMP-1#review0"][3])["date"] == "2024-03-01"
    assert nodes_by_id["Ann"][3] == '{"@type":"Person","name":"Ann"}'
    assert edge_ids(nodes, edges) == [
        ("LAMP-1", "Brand", "Acme"),
        ("LAMP-1", "Offers", "LAMP-1#offer0"),
        ("LAMP-1", "AggregateRating", "LAMP-1#rating"),
        ("LAMP-1", "Review", "LAMP-1#review0"),
        ("LAMP-1#review0", "Author", "Ann"),
    ]


@pytest.mark.parametrize("blocks, expected_ids", [
    # An ItemList of ListItems yields the listed products.
    ([ld({"@type": "ItemList", "itemListElement": [
        {"@type": "ListItem", "position": 1, "item": {"@type": "Product", "name": "A", "sku": "a"}},
        {"@type": "ListItem", "position": 2, "item": {"@type": "Product", "name": "B", "sku": "b"}}]})],
     ["a", "b"]),
    # A ProductGroup writes its variants only, each tied by product_group_id.
    ([ld({"@type": "ProductGroup", "productGroupID": "G", "hasVariant": [
        {"@type": "Product", "sku": "g-s"}, {"@type": "Product", "sku": "g-m"}, {"sku": "g-x"}]})],
     ["g-s", "g-m"]),
    # A broken block costs only itself.
    (['<script type="application/ld+json">{"@type":"Product",</script>',
      ld({"@type": "Product", "sku": "ok"})], ["ok"]),
    # Only an Organization and breadcrumbs: the page is read, nothing is written.
    ([ld([{"@type": "Organization", "name": "Shop"}, {"@type": "BreadcrumbList"}])], []),
    # No evidence: a product passes only with a product-like canonical URL.
    ([ld({"@type": "Product", "name": "Bare"})], []),
])
def test_block_shapes(tmp_path, blocks, expected_ids):
    nodes, _ = build(tmp_path, [page(*blocks)])
    assert [n[1] for n in nodes if n[0] == "Product"] == expected_ids


def test_group_variants_carry_the_group_id(tmp_path):
    nodes, _ = build(tmp_path, [page(ld({"@type": "ProductGroup", "productGroupID": "G", "hasVariant": [
        {"@type": "Product", "sku": "g-s", "offers": {"price": 10}}]}))])
    assert json.loads(nodes[0][3])["product_group_id"] == "G"


def test_canonical_url_only_for_a_single_product(tmp_path):
    canonical = '<link rel="canonical" href="https://shop.example/products/bare">'
    one = build(tmp_path, [page(ld({"@type": "Product", "name": "Bare"}), head=canonical)])[0]
    assert [json.loads(n[3])["url"] for n in one] == ["https://shop.example/products/bare"]
    two = build(tmp_path, [page(ld({"@type": "Product", "sku": "x"}), ld({"@type": "Product", "sku": "y"}),
                                head=canonical)])[0]
    assert [("url" in json.loads(n[3])) for n in two] == [False, False]


def test_later_pages_win_and_merge_updates_in_place(tmp_path):
    first = page(ld({"@type": "Product", "sku": "S", "name": "Old", "color": "red", "offers": {"price": "5"}}))
    second = page(ld({"@type": "Product", "sku": "S", "name": "New", "color": "", "offers": {"price": "6"}}))
    nodes, _ = build(tmp_path, [first, second] * 50)
    product = by_id(nodes)["S"]
    assert product[2] == "New"
    props = json.loads(product[3])
    assert (props["color"], props["price"]) == ("red", "6")  # empty values do not erase

    out = str(tmp_path / "m.bin")
    vyr.build_graph([first], out)
    vyr.merge_graph(out, [second], [], out)
    merged, _ = graphfile.read_graph(out)
    assert [n[1] for n in merged] == ["S", "S#offer"]
    assert merged[0][2] == "New"


def test_directory_build_matches_the_batch(tmp_path, capfd):
    pages = {"a.html": page(ld({"@type": "Product", "sku": "a"})),
             "b.htm": page(ld({"@type": "Product", "sku": "b"})),
             "c.HTML": page(ld({"@type": "Product", "sku": "c"})),
             ".html": page(ld({"@type": "Product", "sku": "d"})),
             "e.html.bak": page(ld({"@type": "Product", "sku": "e"})),
             "empty.html": ""}
    d = tmp_path / "pages"
    d.mkdir()
    for name, text in pages.items():
        (d / name).write_text(text, encoding="utf-8")
    (d / "latin1.html").write_bytes(page(ld({"@type": "Product", "sku": "l", "name": "caf"})).encode()
                                    .replace(b'"caf"', b'"caf\xe9"'))
    os.symlink(str(d / "nowhere"), str(d / "dangling.html"))
    out = str(tmp_path / "dir.bin")
    count, size = vyr.build_graph_from_dir(str(d), out)
    assert count == 5  # a, b, empty, latin1 and the dangling link
    assert size == os.path.getsize(out)
    err = capfd.readouterr().err
    assert err == 'vyr: skip "%s": No such file or directory (os error 2)\n' % (d / "dangling.html")
    nodes, _ = graphfile.read_graph(out)
    assert sorted(n[1] for n in nodes) == ["a", "b", "l"]
    assert by_id(nodes)["l"][2] == "caf\ufffd"


def test_hostile_pages_cost_only_themselves(tmp_path, capfd):
    good = page(ld({"@type": "Product", "sku": "good"}))
    hostile = [
        "<div>" * 200000 + ld({"@type": "Product", "sku": "deep"}),             # nesting capped, not lost
        ld(json.loads("[" * 100 + "]" * 100)) + '<script type="application/ld+json">' + "[" * 10000 + "]" * 10000
        + "</script>",                                                            # over-deep JSON: skipped
        "<p>\x00\ufffd<b><i></b></i><table><td>" + ld({"@type": "Product", "sku": "messy"}),
        "x" * (20 * 1024 * 1024) + ld({"@type": "Product", "sku": "big"}),      # a 20 MB page
    ]
    nodes, _ = build(tmp_path, [good] + hostile + [good.replace("good", "last")])
    assert [n[1] for n in nodes] == ["good", "deep", "messy", "big", "last"]

    d = tmp_path / "hostile"
    d.mkdir()
    for i, text in enumerate(hostile):
        (d / ("%d.html" % i)).write_text(text, encoding="utf-8")
    (d / "bad-bytes.html").write_bytes(b"\xff\xfe\x00<html>" + good.encode())
    count, _ = vyr.build_graph_from_dir(str(d), str(tmp_path / "h.bin"))
    assert count == 5
    assert capfd.readouterr().err == ""
    assert sorted(n[1] for n in graphfile.read_graph(str(tmp_path / "h.bin"))[0]) == ["big", "deep", "good", "messy"]


@pytest.mark.parametrize("name", [
    "Plain lamp",                     # ASCII
    "L\u00e2mpe \u00e9t\u00e9",       # Latin-1
    "Lampe \u20ac \u2019 \u4e2d",     # the Basic Multilingual Plane
    "Lamp \U0001f4a1 \u00e9",         # beyond it
    "\u20ac" * 3000 + "\U0001f4a1" * 3000 + " lamp",  # UTF-8 several times longer than the text
])
def test_page_text_reaches_the_graph_as_utf8(tmp_path, name):
    # Long enough that whole runs of ASCII and the characters around them
    # are converted together.
    block = '<script type="application/ld+json">%s</script>' % json.dumps(
        {"@type": "Product", "name": name, "sku": "S-1"}, ensure_ascii=False)
    nodes, _ = build(tmp_path, [page(block, head="<!-- %s -->" % name)])
    assert nodes[0][1:3] == ("S-1", name)


def test_lone_surrogates_in_a_page_read_as_question_marks(tmp_path):
    nodes, _ = build(tmp_path, ['<script type="application/ld+json">{"@type": "Product", "name": "A\ud800B\udfffC",'
                                ' "sku": "S-2"}</script>'])
    assert nodes[0][1:3] == ("S-2", "A?B?C")


def test_a_bad_item_after_pages_already_in_conversion_raises_type_error(tmp_path):
    # Enough text that earlier pages are being written while later ones are read.
    pages = [page(ld(LAMP)) + "\u20ac" * 100000] * 8 + [b"<p>bytes</p>"]
    with pytest.raises(TypeError, match="item 8 is bytes"):
        vyr.build_graph(pages, str(tmp_path / "g.bin"))
    assert not (tmp_path / "g.bin").exists()
