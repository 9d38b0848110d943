#!/usr/bin/env python3
"""salvage_file against a csv.reader -> csv.writer round trip and a plain copy.

Times, in one run and interleaved, over the same input:
  salvage_file   _brinewick_backend.salvage_file(input, output, quarantine)
  csv round trip csv.reader over open(newline='', encoding='utf-8',
                 errors='replace') into csv.writer
  file copy      shutil.copyfile
and reports best and median of --reps runs as MB/s (MB = 10**6 bytes),
salvage's speed-up over csv and its slow-down against the copy. Then the
peak RSS of a fresh process running salvage_file, against a fresh process
that only imports the module, as multiples of the input size.

Without FILE a 48 MB messy file is generated under bench/data/ (once).
"""

from __future__ import annotations

import argparse
import csv
import os
import shutil
import sys
import tempfile

from bench_common import (
    DATA_DIR, MB, load_line, parse_arguments, prepare_input, print_timings, remove_files, run_fresh,
    run_interleaved,
)

SALVAGE_CHILD = """
import sys, _brinewick_backend as m
s = m.salvage_file(sys.argv[1], sys.argv[2], sys.argv[3])
print(s.total_rows)
"""
IMPORT_CHILD = "import _brinewick_backend\n"


def csv_round_trip(src: str, dst: str) -> None:
    with open(src, newline="", encoding="utf-8", errors="replace") as fin, \
            open(dst, "w", newline="", encoding="utf-8") as fout:
        csv.writer(fout, lineterminator="\n").writerows(csv.reader(fin))


def main() -> int:
    def workdir_option(ap: argparse.ArgumentParser) -> None:
        ap.add_argument("--workdir", default=None, help="where outputs go (default: bench/data)")

    args = parse_arguments(__doc__, 48.0, workdir_option)
    path, size = prepare_input(args)
    import _brinewick_backend as backend

    workdir = args.workdir or DATA_DIR
    os.makedirs(workdir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench_salvage_", dir=workdir) as tmp:
        out_salvage = os.path.join(tmp, "salvaged.csv")
        out_quarantine = os.path.join(tmp, "quarantine.csv")
        out_csv = os.path.join(tmp, "csv_round_trip.csv")
        out_copy = os.path.join(tmp, "copy.csv")
        summary = []

        def run_salvage() -> None:
            summary[:] = [backend.salvage_file(path, out_salvage, out_quarantine)]

        outputs = {"salvage_file": (out_salvage, out_quarantine), "csv round trip": (out_csv,),
                   "file copy": (out_copy,)}

        timings = run_interleaved([
            ("salvage_file", run_salvage),
            ("csv round trip", lambda: csv_round_trip(path, out_csv)),
            ("file copy", lambda: shutil.copyfile(path, out_copy)),
        ], args.reps, lambda name: remove_files(*outputs[name]))
        sizes = {name: os.path.getsize(p) for name, p in
                 [("clean", out_salvage), ("quarantine", out_quarantine), ("csv", out_csv)]}

        print(f"timings, {args.reps} runs each, interleaved:")
        print_timings(timings, size)
        salvage, csv_t, copy_t = timings
        print(f"  speed-up of salvage_file over csv round trip: {csv_t.best / salvage.best:6.2f}x best, "
              f"{csv_t.median / salvage.median:6.2f}x median")
        print(f"  slow-down of salvage_file against file copy:  {salvage.best / copy_t.best:6.2f}x best, "
              f"{salvage.median / copy_t.median:6.2f}x median")
        print(f"  summary: {summary[0]!r}")
        print(f"  outputs: clean {sizes['clean']} bytes, quarantine {sizes['quarantine']} bytes, "
              f"csv round trip {sizes['csv']} bytes")

        if not args.no_memory:
            base = run_fresh(IMPORT_CHILD)
            run = run_fresh(SALVAGE_CHILD, path, out_salvage, out_quarantine)
            extra = run.peak_rss - base.peak_rss
            print("peak RSS, fresh processes:")
            print(f"  import only            {base.peak_rss / MB:8.1f} MB")
            print(f"  salvage_file           {run.peak_rss / MB:8.1f} MB")
            print(f"  salvage_file - import  {extra / MB:8.1f} MB = {extra / size:.2f} x input size")
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
