#!/usr/bin/env python3
"""_brinewick_backend.open against csv.reader, rows handed to Python.

Times, in one run and interleaved, over the same input:
  open + iterate  build _brinewick_backend.open(path) and take every row
  (of which)      the construction alone, timed within the same runs
  csv.reader      for row in csv.reader(open(path, newline='',
                  encoding='utf-8', errors='replace'))
and reports best and median of --reps runs as MB/s (MB = 10**6 bytes) and
the ratio. Then the peak RSS of a fresh process that builds a reader, and
its RSS right after construction, against a fresh process that only imports
the module, as multiples of the input size.

Without FILE a 24 MB messy file is generated under bench/data/ (once).
"""

from __future__ import annotations

import csv
import sys
import time

from bench_common import (
    MB, Timing, load_line, parse_arguments, prepare_input, print_timings, run_fresh, run_interleaved,
)

# The reader stays alive while the child's RSS is read.
READER_CHILD = """
import sys, _brinewick_backend as m
r = m.open(sys.argv[1])
print(len(r))
"""
IMPORT_CHILD = "import _brinewick_backend\n"


def main() -> int:
    args = parse_arguments(__doc__, 24.0)
    path, size = prepare_input(args)
    import _brinewick_backend as backend

    construct = Timing("(of which construction)")
    counts = {}

    def run_reader() -> None:
        start = time.perf_counter()
        reader = backend.open(path)
        construct.seconds.append(time.perf_counter() - start)
        n = 0
        for _ in reader:
            n += 1
        counts["reader"] = n

    def run_csv() -> None:
        n = 0
        with open(path, newline="", encoding="utf-8", errors="replace") as f:
            for _ in csv.reader(f):
                n += 1
        counts["csv"] = n

    timings = run_interleaved([("open + iterate", run_reader), ("csv.reader", run_csv)], args.reps)
    print(f"timings, {args.reps} runs each, interleaved:")
    print_timings([timings[0], construct, timings[1]], size)
    reader_t, csv_t = timings
    print(f"  speed-up of open + iterate over csv.reader: {csv_t.best / reader_t.best:.2f}x best, "
          f"{csv_t.median / reader_t.median:.2f}x median")
    print(f"  rows: reader {counts['reader']}, csv.reader {counts['csv']}")

    if not args.no_memory:
        base = run_fresh(IMPORT_CHILD)
        run = run_fresh(READER_CHILD, path)
        base_now = base.current_rss
        after_construction = run.current_rss
        print("RSS, fresh processes:")
        print(f"  import only: peak            {base.peak_rss / MB:8.1f} MB")
        print(f"  open(path):  peak            {run.peak_rss / MB:8.1f} MB"
              f" -> {(run.peak_rss - base.peak_rss) / size:.2f} x input size above import")
        print(f"  open(path):  after building  {after_construction / MB:8.1f} MB"
              f" -> {(after_construction - base_now) / size:.2f} x input size above import")
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
