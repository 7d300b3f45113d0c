"""Microdata, Next.js page data and ga-product attributes through build_graph:
what each source writes, which source wins on a page carrying several, and
malformed payloads that must neither crash nor stop the other pages."""
import json

import pytest

import graphfile
import vyr


def build(tmp_path, pages):
    out = str(tmp_path / "g.bin")
    vyr.build_graph(pages, out)
    return graphfile.read_graph(out)


def products(nodes):
    return [n[1] for n in nodes if n[0] == "Product"]


def next_data(payload, attrs=' type="application/json"'):
    return '<script id="__NEXT_DATA__"%s>%s</script>' % (attrs, json.dumps(payload))


def ga(obj):
    return "<li data-ga-product='%s'></li>" % json.dumps(obj)


def ld(obj):
    return '<script type="application/ld+json">%s</script>' % json.dumps(obj)


OG = '<meta property="og:url" content="https://shop.example/c/lamps?page=2">'
MICRODATA = ('<div itemscope itemtype="https://schema.org/Product"><h1 itemprop="name">Lamp</h1>'
             '<span itemprop="price" content="1299">$1,299</span><meta itemprop="priceCurrency" content="USD">'
             '<img itemprop="image" src="/img/lamp.jpg"></div>')


def test_microdata_product_with_page_level_facts(tmp_path):
    html = ('<html><head>%s<meta name="description" content="  A bright lamp. "></head><body>'
            '<button data-addtocart=\'{"id":4417}\'>Add</button>%s</body></html>') % (OG, MICRODATA)
    nodes, edges = build(tmp_path, [html])
    assert edges == []
    assert [n[:3] for n in nodes] == [("Product", "4417", "Lamp")]
    assert json.loads(nodes[0][3]) == {
        "product_id": "4417", "url": "https://shop.example/c/lamps?page=2",
        "image": "https://shop.example/img/lamp.jpg", "description": "A bright lamp.",
        "price": "1299", "price_cents": 129900, "price_scale": 2, "currency": "USD",
        "price_confident": True, "price_score": 2,
    }


def test_next_data_products_and_variants(tmp_path):
    payload = {"props": {"pageProps": {"collection": {"items": [
        {"id": 42, "title": "Shoe", "price": 1299, "variants": [
            {"id": "a", "title": "Red", "price": 1299}, {"sku": "S-2"}, 7]},
        {"handle": "hat", "displayName": "Hat", "salePrice": "12.50"},
    ]}}}}
    html = "<html><body><p>$12.99</p>%s</body></html>" % next_data(payload)
    nodes, edges = build(tmp_path, [html])
    assert [n[:3] for n in nodes] == [("Product", "42", "Shoe"), ("Variant", "42#va", "Red"),
                                      ("Variant", "42#vS-2", ""), ("Product", "hat", "")]
    shoe = json.loads(nodes[0][3])
    assert shoe["variants"] == payload["props"]["pageProps"]["collection"]["items"][0]["variants"]
    # The page shows $12.99 (whole part 12): 1299 matches neither as major
    # units nor as whole minor units, so it stays a guess in major units.
    assert (shoe["price"], shoe["price_cents"], shoe["price_score"]) == ("1299", 129900, 0)
    assert json.loads(nodes[3][3])["price"] == "12.50"
    assert [(nodes[s][1], rel, nodes[d][1]) for s, rel, d in edges] == [
        ("42", "HasVariant", "42#va"), ("42", "HasVariant", "42#vS-2")]


def test_ga_products_fold_before_the_pages_json_ld_products(tmp_path):
    tee = {"id": "T-1", "title": "Tee", "price": "19.90",
           "variations": json.dumps([{"key": "s", "price": "19.90"}, {"key": "m", "price": "21.90"}])}
    # The JSON-LD Product has no evidence of its own, so the JSON-LD stage
    # passes the page on; folded after the analytics products, it takes the
    # canonical URL as its evidence and updates the same node.
    html = '<html><head><link rel="canonical" href="https://shop.example/products/tee"></head><body>%s%s%s</body></html>' % (
        ga(tee), ga({"id": 7, "title": "numeric id"}),
        ld({"@type": "Product", "@id": "T-1", "name": "Tee (JSON-LD)", "color": "blue"}))
    nodes, edges = build(tmp_path, [html])
    assert [n[:3] for n in nodes] == [("Product", "T-1", "Tee (JSON-LD)"), ("Variant", "T-1#vs", ""),
                                      ("Variant", "T-1#vm", "")]
    props = json.loads(nodes[0][3])
    assert props["price"] == "19.90" and props["variations"] == tee["variations"] and props["color"] == "blue"
    assert props["url"] == "https://shop.example/products/tee"
    assert json.loads(nodes[2][3])["price_cents"] == 2190
    assert [(nodes[s][1], rel, nodes[d][1]) for s, rel, d in edges] == [
        ("T-1", "HasVariant", "T-1#vs"), ("T-1", "HasVariant", "T-1#vm")]


JSONLD_PRODUCT = ld({"@type": "Product", "name": "LD", "sku": "LD-1"})
JSONLD_ORG = ld({"@type": "Organization", "name": "Shop"})
NEXT = next_data({"props": {"list": [{"id": "NX-1", "name": "N", "price": 5}]}})
GA = ga({"id": "GA-1", "title": "G"})
MD = '<div itemscope itemtype="http://schema.org/Product" data-product-id="MD-1"><i itemprop="name">M</i>' \
     '<b itemprop="price">5</b></div>'
STOREFRONT = '<script>var shop = {"products":[{"id":"SF-1","title":"S","price":"5.00"}]};</script>'


@pytest.mark.parametrize("parts, winner", [
    ([MD, GA, NEXT, JSONLD_PRODUCT], ["LD-1"]),
    ([MD, NEXT, STOREFRONT, GA], ["SF-1"]),
    ([MD, NEXT, GA], ["GA-1"]),
    ([MD, NEXT, JSONLD_ORG], ["NX-1"]),
    ([JSONLD_ORG, MD], ["MD-1"]),
    # A Next.js list under "products" is the storefront reader's, which
    # writes nothing for a product without evidence; the Next.js reader would.
    ([next_data({"props": {"products": [{"id": "NX-2", "name": "N", "priceRange": "x"}]}})], []),
])
def test_one_source_per_page_in_a_fixed_order(tmp_path, parts, winner):
    html = "<html><head>%s</head><body>%s</body></html>" % (OG, "".join(parts))
    nodes, _ = build(tmp_path, [html])
    assert products(nodes) == winner


DEEP = "[" * 100000 + "]" * 100000
BROKEN_PAGES = [
    '<script id="__NEXT_DATA__">{"props":{"list":[{"name":"A","price":1},{"name":"B","price":[[[</script>',
    '<script id="__NEXT_DATA__">' + DEEP + "</script>",
    '<script id="__NEXT_DATA__">{"a":' + json.dumps([{"name": "x%d" % i, "price": i} for i in range(20000)]),
    "<script id=\"__NEXT_DATA__\"><!-- {\"a\":[{\"name\":\"A\",\"price\":1}]} --></script>",
    "<li data-ga-product='{\"id\":\"G\",}'></li><li data-ga-product='{\"id\":\"H\"",
    "<li data-ga-product='{\"id\":\"G\",\"variations\":\"" + "[" * 5000 + "\"}'></li>",
    "<li data-ga-product='" + DEEP + "'></li>",
    '<div itemscope itemtype="x/Product">' * 20000 + '<i itemprop="name">deep</i>',
    '<div itemscope itemtype="x/Product"><i itemprop="name">' + "<b>" * 20000 + "unclosed",
    '<b data-addtocart=\'{"id":\'></b><b data-addtocart></b><i itemprop="name"><!-- broken',
    "<span itemprop=\"name\" content=\"\xff\x00\ud7ff\">",
]


def test_malformed_payloads_never_stop_the_other_pages(tmp_path):
    good = "<html><head>%s</head><body>%s</body></html>" % (OG, MICRODATA)
    pages = BROKEN_PAGES[:len(BROKEN_PAGES) // 2] + [good] + BROKEN_PAGES[len(BROKEN_PAGES) // 2:]
    nodes, _ = build(tmp_path, pages)
    assert "https://shop.example/c/lamps?page=2" in products(nodes)
    # The ga value whose variations do not parse still gives its product.
    assert "G" in products(nodes)
