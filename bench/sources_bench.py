#!/usr/bin/env python3
"""Extraction throughput per page source, side by side with the HTML parse alone and extruct.

Generates one directory of synthetic pages per source with the shared generator
(../shared/bench/gen_pages.py: JSON-LD, microdata, Next.js and ItemList pages), adds two
kinds of its own (category pages whose products carry data-ga-product attributes, and
Next.js pages whose product list sits under a key the storefront finder does not read,
so the Next.js reader is the one measured), then runs, on one thread each:

  sources_bench (C++)   HTML parse alone, extract_page + fold, each source's own reader
  bench_extract_py.py   extruct (json-ld, microdata, opengraph) and lxml parse alone

and prints pages per second per core for each, with vyr's ratio to extruct.

  python3 bench/sources_bench.py --bench build/bench/sources_bench [--n 300] [--runs 3]
        [--shared ../shared] [--work /tmp/vyr-sources-bench] [--corpus]

extruct needs Debian's python3-extruct (run with /usr/bin/python3 or set --py).
"""
import argparse
import json
import os
import re
import subprocess
import sys

KINDS = ["jsonld", "microdata", "nextdata", "nextdata_items", "ga", "listing"]


def ga_page(gen):
    """A category page whose product cards carry the analytics tag's JSON, variations included."""

    def page(rng, shop, target):
        category = rng.choice(list(gen.CATEGORIES))
        prods = [gen.make_product(rng, shop, category) for _ in range(rng.randint(12, 48))]
        cards = []
        for p in prods:
            variations = [{"key": c.lower(), "price": "{:.2f}".format(p["price"]), "stock": rng.randint(0, 40)}
                          for c in rng.sample(gen.COLORS, rng.randint(1, 4))]
            tag = {"id": p["id"], "title": p["name"], "brand": p["brand"], "category": category,
                   "price": "{:.2f}".format(p["price"]), "variations": json.dumps(variations)}
            # Raw JSON in a single-quoted attribute, as the tag writes it.
            attr = json.dumps(tag, ensure_ascii=False).replace("'", "\\u0027").replace("<", "\\u003c")
            card = gen.product_card(rng, shop, p)
            cards.append(card.replace('<li class="product-card grid__item">',
                                      "<li class=\"product-card grid__item\" data-ga-product='{}'>".format(attr), 1))
        grid = '<main id="MainContent"><h1>{}</h1><ul class="grid collection-grid">{}</ul></main>'.format(
            gen.esc(category), "".join(cards))
        url = shop.origin + "/collections/" + category.lower()
        return gen.assemble(rng, shop, target, "{} - {}".format(category, shop.name), gen.sentence(rng, 10, 20), url,
                            prods[0]["images"][0], [("og:type", "website")], [gen.website_jsonld(shop)], grid, category)

    return page


def nextdata_items_page(gen):
    """Next.js pages as the generator makes them, with the list under "items" instead of "products"."""

    def page(rng, shop, target):
        return gen.page_nextdata(rng, shop, target).replace('"products":', '"items":')

    return page


def generate(gen, kind, n, out):
    os.makedirs(out, exist_ok=True)
    if len([f for f in os.listdir(out) if f.endswith(".html")]) == n:
        return
    for i in range(n):
        _, text = gen.make_page("1", i, [(kind, 1.0)], 30, 120)
        with open(os.path.join(out, "page_{:06d}.html".format(i)), "w", encoding="utf-8") as f:
            f.write(text)


def run_vyr(bench, dirs, runs):
    out = subprocess.run([bench, "runs={}".format(runs)] + dirs, check=True, capture_output=True, text=True).stdout
    sys.stdout.write(out)
    results, current = {}, None
    for line in out.splitlines():
        m = re.match(r"^(\S.*): (\d+) pages", line)
        if m:
            current = m.group(1)
            results[current] = {}
            continue
        m = re.match(r"^  (.+?)\s+(\d+) pages/s\s+([\d.]+) MB/s", line)
        if m and current:
            results[current][m.group(1)] = float(m.group(2))
    return results


def run_py(py, script, d, runs):
    try:
        out = subprocess.run([py, script, "--dir", d, "--runs", str(runs), "--tools", "extruct,lxml"], check=True,
                             capture_output=True, text=True).stdout
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        print("  baseline failed: {}".format(e), file=sys.stderr)
        return {}
    best = {}
    for line in out.splitlines():
        try:
            r = json.loads(line)
        except ValueError:
            continue
        pps = r.get("pages_per_s") or (r["pages"] / r["seconds"] if r.get("seconds") else None)
        if pps:
            best.setdefault(r["tool"], []).append(pps)
    return {t: sorted(v)[len(v) // 2] for t, v in best.items()}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bench", default=os.path.join(here, "..", "build", "bench", "sources_bench"))
    ap.add_argument("--shared", default=os.path.join(here, "..", "..", "shared"))
    ap.add_argument("--work", default="/tmp/vyr-sources-bench")
    ap.add_argument("--n", type=int, default=300)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--py", default="/usr/bin/python3", help="interpreter that has extruct")
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--corpus", action="store_true", help="also measure the real pages of shared/corpus")
    a = ap.parse_args()

    sys.path.insert(0, os.path.join(a.shared, "bench"))
    import gen_pages as gen  # noqa: E402
    gen.KINDS["ga"] = ga_page(gen)
    gen.KINDS["nextdata_items"] = nextdata_items_page(gen)

    kinds = a.kinds.split(",")
    dirs = []
    for k in kinds:
        d = os.path.join(a.work, k)
        generate(gen, k, a.n, d)
        dirs.append(d)
    if a.corpus:
        dirs.append(os.path.join(a.shared, "corpus"))
    vyr = run_vyr(a.bench, dirs, a.runs)

    script = os.path.join(a.shared, "bench", "bench_extract_py.py")
    print("\n{:<16} {:>10} {:>10} {:>12} {:>10} {:>10} {:>8}".format(
        "pages", "parse/s", "page/s", "own reader/s", "extruct/s", "lxml/s", "x extruct"))
    for k, d in zip(kinds + (["corpus"] if a.corpus else []), dirs):
        # The corpus lies in subfolders; the Python baseline reads one folder.
        py = run_py(a.py, script, d, a.runs) if k != "corpus" else {}
        v = vyr.get(d, {})
        own = {"microdata": "microdata (parse+read+fold)", "nextdata_items": "next_data (find+walk+fold)",
               "ga": "ga-product (find+fold)"}.get(k)
        ex = py.get("extruct")
        page = v.get("extract_page + fold")
        print("{:<16} {:>10.0f} {:>10.0f} {:>12} {:>10} {:>10} {:>8}".format(
            k, v.get("html parse", 0), page or 0, "{:.0f}".format(v[own]) if own and own in v else "-",
            "{:.0f}".format(ex) if ex else "-", "{:.0f}".format(py["lxml"]) if "lxml" in py else "-",
            "{:.1f}".format(page / ex) if ex and page else "-"))


if __name__ == "__main__":
    sys.exit(main())
