#!/usr/bin/env python3
"""End-to-end query timings: whole vyr.query calls, side by side with Kuzu.

Each timed vyr call is what a user pays: open and validate the graph file,
parse, execute, convert the rows to Python. One untimed call per query first
(page cache warm, row count and first row recorded), then --runs fresh calls;
medians are printed. With Kuzu available (npm kuzu@0.11.3 installed in a
scratch folder), the same queries run in the same session through
kuzu_bench.js: "warm" (database opened once, per-query time) and optionally
"cold" (a fresh node process per query: open + connect + query).

Build the inputs once:
  python3 ../shared/bench/gen_graph.py --n 100000 --out /tmp/g100k
  build/tools/graph_from_products /tmp/g100k/products.json /tmp/g100k.bin

Run:
  PYTHONPATH=build/python python3 bench/query_bench.py --graph /tmp/g100k.bin \\
      --runs 5 --kuzu-db /tmp/g100k.kuzu --kuzu-csv /tmp/g100k \\
      --node-modules /tmp/kuzu/node_modules [--kuzu-cold] [--json]

The Kuzu database is loaded from the CSVs when --kuzu-db does not exist yet.
"""
import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED_BENCH = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "bench"))


def load_queries(path):
    with open(path, encoding="utf-8") as f:
        raw = json.load(f)
    return {name: q for name, q in raw.items() if not name.startswith("_")}


def recache(path):
    """Drops the file from the page cache and reads it back whole, as a file
    that was just written is cached: in large blocks, which map cheaply.
    Pages the kernel reclaimed and a query faulted back in one by one would
    otherwise make the timings depend on the machine's history."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 16 << 20):
            pass
    finally:
        os.close(fd)


def time_vyr(vyr, graph, queries, runs):
    out = {}
    for name, q in queries.items():
        t0 = time.perf_counter()
        try:
            rows = vyr.query(graph, q["cypher"])
        except ValueError as e:
            out[name] = {"error": str(e)}
            continue
        first_ms = (time.perf_counter() - t0) * 1e3
        times = []
        for _ in range(runs):
            t0 = time.perf_counter()
            vyr.query(graph, q["cypher"])
            times.append((time.perf_counter() - t0) * 1e3)
        out[name] = {"rows": len(rows), "first_ms": first_ms, "median_ms": statistics.median(times),
                     "min_ms": min(times), "max_ms": max(times), "first_row": rows[0] if rows else None}
    return out


def node_lines(args, node_modules):
    env = dict(os.environ, NODE_PATH=node_modules)
    script = os.path.join(SHARED_BENCH, "kuzu", "kuzu_bench.js")
    proc = subprocess.run(["node", script] + args, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("kuzu_bench.js {} failed: {}".format(args[0], proc.stderr.strip()[-500:]))
    return [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]


def time_kuzu(args, queries):
    if not os.path.isdir(os.path.join(args.node_modules, "kuzu")):
        print("kuzu: not found under {}; skipped".format(args.node_modules), file=sys.stderr)
        return {}
    if not os.path.exists(args.kuzu_db):
        if not args.kuzu_csv:
            print("kuzu: {} missing and no --kuzu-csv; skipped".format(args.kuzu_db), file=sys.stderr)
            return {}
        for line in node_lines(["load", args.kuzu_db, args.kuzu_csv], args.node_modules):
            print("kuzu load: " + json.dumps(line), file=sys.stderr)
    out = {}
    warm = ["warm", args.kuzu_db, str(args.runs)] + ([str(args.kuzu_threads)] if args.kuzu_threads else [])
    for line in node_lines(warm, args.node_modules):
        out[line["query"]] = {"rows": line["rows"], "median_ms": line["median"], "min_ms": line["min"],
                              "max_ms": line["max"]}
    if args.kuzu_cold:
        for name in queries:
            cold = ["cold", args.kuzu_db, name] + ([str(args.kuzu_threads)] if args.kuzu_threads else [])
            line = node_lines(cold, args.node_modules)[0]
            if name in out:
                out[name]["cold_ms"] = line["open_to_rows_ms"]
    return out


def fmt(x):
    return "-" if x is None else ("{:.1f}".format(x) if x >= 10 else "{:.2f}".format(x))


def node_count(path):
    """The node count from the root record at the end of a graph file."""
    with open(path, "rb") as f:
        f.seek(-56, os.SEEK_END)
        root = f.read(56)
    return struct.unpack_from("<I", root, 20)[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--graph", required=True, help="graph file built by graph_from_products")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--queries", default=os.path.join(SHARED_BENCH, "queries.json"))
    ap.add_argument("--only", help="comma-separated query names")
    ap.add_argument("--kuzu-db", help="Kuzu database directory (loaded from --kuzu-csv when missing)")
    ap.add_argument("--kuzu-csv", help="gen_graph.py output directory")
    ap.add_argument("--node-modules", default=os.environ.get("NODE_PATH", "node_modules"))
    ap.add_argument("--kuzu-threads", type=int, default=1, help="0 = Kuzu's default")
    ap.add_argument("--kuzu-cold", action="store_true", help="also time a fresh process per query")
    ap.add_argument("--json", action="store_true", help="print JSON lines instead of a table")
    ap.add_argument("--keep-cache", action="store_true",
                    help="time the graph file as it is cached now (default: evict it and read it back whole first)")
    args = ap.parse_args()

    import vyr  # from PYTHONPATH=<builddir>/python

    queries = load_queries(args.queries)
    if args.only:
        wanted = args.only.split(",")
        queries = {k: v for k, v in queries.items() if k in wanted}
    if not args.keep_cache:
        recache(args.graph)
    ours = time_vyr(vyr, args.graph, queries, args.runs)
    theirs = time_kuzu(args, queries) if args.kuzu_db else {}

    if args.json:
        for name in queries:
            print(json.dumps({"query": name, "vyr": ours.get(name), "kuzu": theirs.get(name)},
                             ensure_ascii=False))
        return 0
    size_mb = os.path.getsize(args.graph) / 1e6
    nodes = node_count(args.graph)
    print("graph {} ({:.0f} MB, {} nodes), {} runs, medians in ms; vyr = one whole vyr.query call; "
          "Mnodes/s = nodes the seed scan passes over per second of the whole call".format(
              os.path.basename(args.graph), size_mb, nodes, args.runs))
    print("{:<8} {:>9} {:>9} {:>9} {:>7} {:>11} {:>9} {:>10} {:>10}  {}".format(
        "query", "vyr", "vyr 1st", "Mnodes/s", "rows", "kuzu warm", "vyr/warm", "kuzu cold", "vyr/cold",
        "kuzu rows"))
    for name in queries:
        o, k = ours.get(name, {}), theirs.get(name, {})
        if "error" in o:
            print("{:<8} error: {}".format(name, o["error"]))
            continue
        ratio = o["median_ms"] / k["median_ms"] if k.get("median_ms") else None
        cold = o["median_ms"] / k["cold_ms"] if k.get("cold_ms") else None
        print("{:<8} {:>9} {:>9} {:>9.1f} {:>7} {:>11} {:>9} {:>10} {:>10}  {}".format(
            name, fmt(o["median_ms"]), fmt(o["first_ms"]), nodes / o["median_ms"] / 1e3, o["rows"],
            fmt(k.get("median_ms")), "-" if ratio is None else "{:.2f}x".format(ratio), fmt(k.get("cold_ms")),
            "-" if cold is None else "{:.2f}x".format(cold), k.get("rows", "-")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
