"""The main job on the bundled example pages: build a graph file from a
directory of shop pages, fold in a re-crawled page and a removal, then query.

    PYTHONPATH=build/python python3 examples/run_example.py [pages_dir] [out_dir]
"""
import os
import sys
import time

import vyr

HERE = os.path.dirname(os.path.abspath(__file__))


def show(rows):
    if not rows:
        print("  (no rows)")
        return
    cols = list(rows[0].keys())
    cells = [[repr(r.get(c)) if not isinstance(r.get(c), str) else r.get(c) for c in cols] for r in rows]
    widths = [max(len(c), *(len(row[i]) for row in cells)) for i, c in enumerate(cols)]
    widths = [min(w, 48) for w in widths]
    print("  " + " | ".join(c.ljust(w) for c, w in zip(cols, widths)))
    print("  " + "-+-".join("-" * w for w in widths))
    for row in cells:
        print("  " + " | ".join(v[:w].ljust(w) for v, w in zip(row, widths)))


def main():
    pages_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "pages")
    out_dir = sys.argv[2] if len(sys.argv) > 2 else os.path.normpath(os.path.join(HERE, "..", "build", "example"))
    graph = os.path.join(out_dir, "graph.bin")

    t0 = time.perf_counter()
    pages, size = vyr.build_graph_from_dir(pages_dir, graph)
    print("vyr %s: built %s from %d pages (%d bytes) in %.1f ms\n"
          % (vyr.__version__, graph, pages, size, (time.perf_counter() - t0) * 1e3))

    with open(os.path.join(HERE, "queries.txt"), encoding="utf-8") as f:
        queries = [q.strip() for q in f if q.strip()]
    for q in queries:
        print(q)
        try:
            show(vyr.query(graph, q))
        except ValueError as e:
            print("  error:", e)
        print()

    # Incremental upkeep: a price change on one page, one product off sale.
    recrawled = open(os.path.join(pages_dir, "harbor-audio-headphones.html"), encoding="utf-8").read()
    recrawled = recrawled.replace("279.00", "249.00")
    size = vyr.merge_graph(graph, [recrawled], ["https://kaffeehaus.example/de/products/reinigungstabletten"], graph)
    print("merge_graph: repriced one product, removed one (%d bytes)" % size)
    show(vyr.query(graph, "MATCH (p:Product) WHERE p.name STARTS WITH 'NC-700' OR p.sku = 'KH-RT-10' "
                          "RETURN p.name, p.price"))


if __name__ == "__main__":
    main()
