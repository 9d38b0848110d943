"""brinewick.read against the ways users get a DataFrame today, in one run.

  python bench/bench_read.py [--size-mb 48] [--reps 3] [--fresh-runs 3]

1. messy file -> pyarrow.Table, vs iterating _brinewick_backend.open() and
   building a pandas DataFrame from the rows (goal: >= 10x);
2. clean file, every column a string: vs pyarrow.csv.read_csv, polars.read_csv
   (infer_schema off), each with its default threads (goal: at least as
   fast), and pandas.read_csv(engine="c", dtype=str) (goal: >= 3x);
3. types="infer" vs all strings on the clean file, to_arrow() (goal: <= 1.3x);
   alone with --sections 3, in one short run;
4. peak RSS of a fresh process building the pyarrow.Table (goal: <= 2.5x
   the file size).

Wall time and the process's CPU time (all threads) are both shown: the
machine is shared, and every contender uses several threads (brinewick's
`jobs` threads parse, one of them the consumer that places the chunks).
Every contender runs --reps times, round-robin, with brinewick's cache of
blocks freed before each call (untimed), so no contender reuses what
another left cached. "first call" is the median, over --fresh-runs fresh
interpreters, of the contender's first call there, its imports done first
and untimed: what a script that reads one file pays. pa.table() imports
pandas on its first call (about half a second here), so brinewick's
pa.table rows carry that; the to_arrow() row, which gives the same table
without that import, shows brinewick's own first call.
"""
from __future__ import annotations

import os
import statistics
import sys
import time

from bench_common import (
    MB, Contender, add_module_dir, ensure_data, first_calls, load_line, release_memory, run_fresh, warm_cache,
    warm_calls,
)


def timed(fn):
    release_memory()  # untimed: no contender reuses blocks that another one left cached
    c0, w0 = time.process_time(), time.perf_counter()
    fn()
    return time.perf_counter() - w0, time.process_time() - c0


def compare(title, contenders, setup, args, size):
    """Best warm wall and CPU time of each contender over args.reps interleaved
    rounds, and the median of its first call in args.fresh_runs fresh
    interpreters. Returns {name: (wall, cpu, first)}."""
    print(f"\n{title}")
    calls, _ = warm_calls(contenders, setup)
    results = {name: [] for name, _ in calls}
    for _ in range(args.reps):  # interleaved, so a burst of load hits everyone
        for name, fn in calls:
            results[name].append(timed(fn))
    first = first_calls(contenders, setup, args.fresh_runs, lambda name: release_memory())
    best = {n: (min(w for w, _ in r), min(c for _, c in r), statistics.median(first[n])) for n, r in results.items()}
    width = max(len(n) for n in best)
    for name, (wall, cpu, fresh) in best.items():
        print(f"  {name:<{width}}  wall {wall:7.3f} s ({size / MB / wall:6.1f} MB/s)   cpu {cpu:7.3f} s"
              f"   first call {fresh:7.3f} s")
    return best


def ratios(best, ours, others):
    w0, c0, f0 = best[ours]
    for other in others:
        w, c, f = best[other]
        print(f"  {other} / {ours}: wall {w / w0:5.2f}x   cpu {c / c0:5.2f}x   first call {f / f0:5.2f}x")


def main() -> int:
    import argparse
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=48)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--reps", type=int, default=3, help="warm runs of every contender")
    ap.add_argument("--fresh-runs", type=int, default=3,
                    help="fresh interpreters that time each contender's first call")
    ap.add_argument("--module-dir", default=None)
    ap.add_argument("--sections", default="1234",
                    help="which parts to run, e.g. 4 for peak RSS alone on a large --size-mb")
    args = ap.parse_args()
    add_module_dir(args.module_dir)

    messy = ensure_data("messy", args.size_mb, args.seed)
    clean = ensure_data("clean", args.size_mb, args.seed)
    for path in (messy, clean):
        warm_cache(path)
    # A typed read keeps its first pass's batches only for a file that has
    # stood still for 3 s; data generated just now would be read twice.
    young = max(os.path.getmtime(p) for p in (messy, clean)) + 3.5 - time.time()
    if young > 0:
        time.sleep(young)
    msize, csize = os.path.getsize(messy), os.path.getsize(clean)
    print(f"messy {messy}: {msize / MB:.1f} MB; clean {clean}: {csize / MB:.1f} MB")
    print(f"before: {load_line()}")

    if "1" in args.sections:
        messy_section(args, messy, msize)
    if "2" in args.sections:
        clean_section(args, clean, csize)
    elif "3" in args.sections:
        infer_section(args, clean, csize)
    if "4" in args.sections:
        rss_section(messy, msize, clean, csize)
    print(f"\nafter: {load_line()}")
    return 0


ARROW = "import brinewick, pyarrow as pa"


def messy_section(args, messy, msize):
    best = compare("1. messy -> table", [
        Contender("brinewick.read -> pa.table", "pa.table(brinewick.read(messy))", ARROW),
        Contender("brinewick.read(str) -> pa.table", "pa.table(brinewick.read(messy, types='str'))", ARROW),
        Contender("iterate open() -> pandas", "\n".join([
            "with backend.open(messy) as rows:",
            "    it = iter(rows)",
            "    header = next(it)",
            "    pd.DataFrame(list(it), columns=header)",
        ]), "import _brinewick_backend as backend, pandas as pd"),
    ], f"messy = {messy!r}", args, msize)
    ratios(best, "brinewick.read -> pa.table", ["iterate open() -> pandas"])


def clean_section(args, clean, csize):
    with open(clean, encoding="utf-8") as f:
        names = f.readline().rstrip("\n").split(",")
    strings = ("import pyarrow as pa, pyarrow.csv as pacsv\n"
               "strings = pacsv.ConvertOptions(column_types={n: pa.string() for n in names})")
    best = compare("2./3. clean -> table", [
        Contender("brinewick.read(str)", "pa.table(brinewick.read(clean, types='str'))", ARROW),
        Contender("brinewick.read(str, jobs=1)", "pa.table(brinewick.read(clean, types='str', jobs=1))", ARROW),
        Contender("brinewick.read(str).to_arrow()", "brinewick.read(clean, types='str').to_arrow()", ARROW),
        Contender("brinewick.read(infer)", "pa.table(brinewick.read(clean))", ARROW),
        Contender("pyarrow.csv.read_csv(str)", "pacsv.read_csv(clean, convert_options=strings)", strings),
        Contender("polars.read_csv(no infer)", "pl.read_csv(clean, infer_schema=False)", "import polars as pl"),
        Contender("pandas.read_csv(c, str)", "pd.read_csv(clean, engine='c', dtype=str)", "import pandas as pd"),
    ], f"clean, names = {clean!r}, {names!r}", args, csize)
    ratios(best, "brinewick.read(str)", ["pyarrow.csv.read_csv(str)", "polars.read_csv(no infer)",
                                         "pandas.read_csv(c, str)", "brinewick.read(infer)",
                                         "brinewick.read(str, jobs=1)"])
    # pa.table() imports pandas on its first call in a process; to_arrow() does not.
    ratios(best, "brinewick.read(str).to_arrow()", ["pyarrow.csv.read_csv(str)", "polars.read_csv(no infer)"])


def infer_section(args, clean, csize):
    best = compare("3. clean -> table, types inferred against all strings", [
        Contender("brinewick.read(str)", "brinewick.read(clean, types='str').to_arrow()", ARROW),
        Contender("brinewick.read(infer)", "brinewick.read(clean, types='infer').to_arrow()", ARROW),
    ], f"clean = {clean!r}", args, csize)
    ratios(best, "brinewick.read(str)", ["brinewick.read(infer)"])
    print("  goal: infer / str <= 1.3x")


def rss_section(messy, msize, clean, csize):
    import pyarrow as pa

    import brinewick

    with open(clean, encoding="utf-8") as f:
        names = f.readline().rstrip("\n").split(",")
    print("\n4. peak RSS, fresh process")
    # What the process holds before reading a byte, and what pyarrow itself
    # adds: pa.table() asks whether its argument is a pandas DataFrame, which
    # imports pandas (when installed) whatever the argument is; to_arrow()
    # reads the same stream without that import.
    base = run_fresh("import brinewick, pyarrow").peak_rss
    with_pandas = run_fresh("import brinewick, pyarrow, pandas").peak_rss
    print(f"  import brinewick, pyarrow: peak {base / MB:6.1f} MB = {base / csize:4.2f}x the clean file; "
          f"+ pandas: {with_pandas / MB:6.1f} MB")
    routes = (
        ("pa.table", "import sys, brinewick, pyarrow as pa; "
                     "t = pa.table(brinewick.read(sys.argv[1], types=sys.argv[2]))"),
        ("to_arrow", "import sys, brinewick, pyarrow as pa; "
                     "t = brinewick.read(sys.argv[1], types=sys.argv[2]).to_arrow()"),
    )
    for path, size in ((messy, msize), (clean, csize)):
        for types in ("infer", "str"):
            # Sized here: Table.nbytes itself raises the resident set by a few MB.
            table = pa.table(brinewick.read(path, types=types)).nbytes
            for route, code in routes:
                child = run_fresh(code, path, types)
                above = child.peak_rss - base - table
                print(f"  {os.path.basename(path)} types={types:<5} {route}: peak {child.peak_rss / MB:6.1f} MB "
                      f"= {child.peak_rss / size:4.2f}x the file, {(child.peak_rss - base) / size:4.2f}x beyond "
                      f"the imports (table {table / MB:5.1f} MB, beyond imports and table {above / MB:5.1f} MB)")
    code = ("import sys, pyarrow as pa, pyarrow.csv as c; "
            "t = c.read_csv(sys.argv[1], convert_options=c.ConvertOptions("
            "column_types={n: pa.string() for n in sys.argv[2].split(',')}))")
    child = run_fresh(code, clean, ",".join(names))
    print(f"  pyarrow.csv.read_csv(str) on the clean file: peak {child.peak_rss / MB:6.1f} MB "
          f"= {child.peak_rss / csize:4.2f}x the file")


if __name__ == "__main__":
    sys.exit(main())
