#!/usr/bin/env python3
"""build_graph throughput per core, side by side with the HTML parse alone and extruct.

For the real corpus (../shared/corpus, flattened) and synthetic pages from
../shared/bench/gen_pages.py (2,000 by default), in one run:

  extract_bench (C++, one thread)  the HTML parse alone; extract_page + fold alone; the batch's
                                   phases
  vyr.build_graph                  whole call (threads, fold, save), pinned to one core and to two
  bench_extract_py.py              extruct (json-ld, microdata, opengraph), one thread

Each round runs one pass of each (extruct in the first three rounds only). Prints the
medians over --runs rounds, pages/s and MB/s, vyr's ratio to extruct, the pipeline's
cost on top of the parse, and the two-core speed-up. With --memory it also measures the peak resident memory of
build_graph_from_dir over 1,000 and 10,000 synthetic pages, each in a fresh process.

  python3 bench/extract_bench.py --bench build/bench/extract_bench --module build/python
        [--runs 5] [--n 2000] [--memory] [--shared ../shared] [--work /tmp/vyr-extract-bench]

extruct needs Debian's python3-extruct (run with /usr/bin/python3, or pass --py).
"""
import argparse
import glob
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

BUILD_GRAPH = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
import vyr
d, runs, out = sys.argv[2], int(sys.argv[3]), sys.argv[4]
names = [n for n in os.listdir(d) if n.rsplit(".", 1)[-1] in ("html", "htm")]
pages = []
for n in names:
    with open(os.path.join(d, n), "rb") as f:
        pages.append(f.read().decode("utf-8", "replace"))
times = []
for _ in range(runs):
    t = time.perf_counter()
    vyr.build_graph(pages, out)
    times.append(time.perf_counter() - t)
print(json.dumps({"times": times, "pages": len(pages), "bytes": sum(len(p.encode()) for p in pages)}))
"""

FROM_DIR = r"""
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
import vyr
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
count, size = vyr.build_graph_from_dir(sys.argv[2], sys.argv[3])
print(json.dumps({"pages": count, "bytes": size, "seconds": time.perf_counter() - t,
                  "rss_before_kb": base, "peak_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def run_json(cmd, **kw):
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def link_flat(files, d):
    """A flat directory of symlinks, as build_graph_from_dir reads one."""
    os.makedirs(d, exist_ok=True)
    if len(os.listdir(d)) == len(files):
        return d
    for i, f in enumerate(files):
        link = os.path.join(d, "%05d-%s" % (i, os.path.basename(f)))
        if not os.path.lexists(link):
            os.symlink(os.path.abspath(f), link)
    return d


def synthetic(a, n):
    d = os.path.join(a.work, "synth%d" % n)
    if not (os.path.isdir(d) and len(os.listdir(d)) >= n):
        subprocess.run([sys.executable, os.path.join(a.shared, "bench", "gen_pages.py"), "--n", str(n), "--out", d],
                       check=True, stdout=subprocess.DEVNULL)
    return d


def rate(pages, size, secs):
    return "%8.0f pages/s %7.1f MB/s" % (pages / secs, size / 1e6 / secs)


def bench_corpus(a, label, d):
    print("%s: %s" % (label, d), flush=True)
    # Every one-core figure is taken on the same pinned core. The machines are
    # shared and their load comes and goes, so the measurements take turns, a
    # pass of each per round, and a busy spell weighs on all of them alike.
    out = os.path.join(a.work, "bench.bin")
    natives, graphs, ext_times = [], {"0": [], "0,1": []}, []
    for r in range(a.runs):
        natives.append(run_json(["taskset", "-c", "0", a.bench, "runs=1", d])[0])
        for cores in graphs:
            # The first call in a process also starts the worker threads and
            # their parsers; a crawler pays that once, so it is not counted.
            rec = run_json(["taskset", "-c", cores, sys.executable, "-c", BUILD_GRAPH, a.module, d, "2", out])[0]
            graphs[cores] += rec["times"][1:]
        if r < 3:
            ext = run_json(["taskset", "-c", "0", a.py, os.path.join(a.shared, "bench", "bench_extract_py.py"), "--dir",
                            d, "--runs", "1", "--tools", "extruct"])
            ext_times += [e["wall_s"] for e in ext]
    native = {k: statistics.median(n[k] for n in natives) if k.endswith("_s") else v for k, v in natives[0].items()}
    pages, size = native["pages"], native["bytes"]
    graphs = {cores: statistics.median(t) for cores, t in graphs.items()}
    ext_s = statistics.median(ext_times)

    one, two = graphs["0"], graphs["0,1"]
    print("  %-34s %s" % ("html parse alone (1 thread)", rate(pages, size, native["parse_s"])))
    print("  %-34s %s" % ("extract_page + fold (1 thread)", rate(pages, size, native["extract_s"])))
    print("  %-34s %s" % ("build_graph, 1 core", rate(pages, size, one)))
    print("  %-34s %s" % ("build_graph, 2 cores", rate(pages, size, two)))
    print("  %-34s %s" % ("extruct (1 thread)", rate(pages, size, ext_s)))
    print("  build_graph 1 core vs extruct:      %.1fx pages/s" % (ext_s / one))
    print("  build_graph 1 core on top of parse: +%.0f%%" % (100 * (one / native["parse_s"] - 1)))
    print("  build_graph 2 cores vs 1 core:      %.2fx" % (one / two))
    # Where the native batch spends its time, as shares of the parse alone:
    # the per-page work runs on the workers, the rest on the calling thread.
    p = native["parse_s"]
    print("  native, 1 thread, vs parse alone:   extract_page +%.0f%%, then fold %.0f%%, build %.0f%%, save %.0f%%"
          % (100 * (native["pages_s"] / p - 1), 100 * native["fold_s"] / p, 100 * native["build_s"] / p,
             100 * native["save_s"] / p))
    print("  native, inside extract_page:        price scale %.0f%%, raw-text finders %.0f%% (each on every page)"
          % (100 * native["scale_s"] / p, 100 * native["scans_s"] / p), flush=True)


def memory(a):
    big = synthetic(a, 10000)
    files = sorted(glob.glob(os.path.join(big, "*.htm*")))
    print("build_graph_from_dir peak memory (fresh process each):")
    for n in (1000, 10000):
        d = link_flat(files[:n], os.path.join(a.work, "mem%d" % n))
        rec = run_json([sys.executable, "-c", FROM_DIR, a.module, d, os.path.join(a.work, "mem.bin")])[0]
        print("  %6d pages: peak RSS %7.1f MB (interpreter + module at start %5.1f MB), graph file %6.1f MB, %.1f s"
              % (rec["pages"], rec["peak_rss_kb"] / 1024, rec["rss_before_kb"] / 1024, rec["bytes"] / 1e6,
                 rec["seconds"]), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bench", required=True, help="the extract_bench binary")
    ap.add_argument("--module", required=True, help="directory holding vyr.abi3.so")
    ap.add_argument("--shared", default=os.path.join(HERE, "..", "..", "shared"))
    ap.add_argument("--work", default="/tmp/vyr-extract-bench")
    ap.add_argument("--py", default="/usr/bin/python3", help="a python with extruct")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--memory", action="store_true")
    a = ap.parse_args()
    a.bench, a.module, a.shared = (os.path.abspath(p) for p in (a.bench, a.module, a.shared))
    os.makedirs(a.work, exist_ok=True)

    real = sorted(glob.glob(os.path.join(a.shared, "corpus", "**", "*.htm*"), recursive=True))
    bench_corpus(a, "real corpus", link_flat(real, os.path.join(a.work, "corpus")))
    if a.memory:
        # Page i is the same whatever the count, so the first n of 10,000 are the n-page set.
        files = sorted(glob.glob(os.path.join(synthetic(a, 10000), "*.htm*")))[:a.n]
        bench_corpus(a, "synthetic", link_flat(files, os.path.join(a.work, "synth-first%d" % a.n)))
    else:
        bench_corpus(a, "synthetic", synthetic(a, a.n))
    if a.memory:
        memory(a)


if __name__ == "__main__":
    sys.exit(main())
