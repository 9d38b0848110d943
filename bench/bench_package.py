#!/usr/bin/env python3
"""brinewick.salvage against _brinewick_backend.salvage_file, and what its options cost.

Times, in one run and interleaved, over the same input:
  salvage_file        _brinewick_backend.salvage_file(input, output, quarantine)
  salvage             brinewick.salvage(input, output, quarantine=..., durable=False, jobs=1)
  salvage durable     the same with durable=True (outputs and directory fsynced)
  salvage +changes    durable=False, with the changes file written too
  salvage +progress   durable=False, with a progress callback that does nothing
and reports best and median of --reps runs as MB/s (MB = 10**6 bytes) and the
ratios: salvage against salvage_file (goal: at least as fast on one thread),
durable against not, and the progress callback's overhead (goal: under 1%).
Every contender runs --reps times, round-robin, and brinewick's cache of
blocks is freed (brinewick.release_unused_memory) before each call, untimed,
so what one call leaves cached does not speed up the next contender. The
"first call" column is each contender's first call in a fresh interpreter
(imports done first, untimed), the median of --fresh-runs such processes:
what a script that salvages one file pays.

Then several salvages at once: --threads salvages of the same input in as many
Python threads, against the same salvages one after another (wall-clock
speed-up; on N free cores up to N).

Each call writes fresh outputs: the last call's are removed first, untimed.
Replacing an existing 48 MB output costs either side the file system's
freeing of the old file (10-34 ms measured here), which depends on how it
is replaced (truncated in place, or renamed over) rather than on the
salvage; --replace keeps them to time that too.

Without FILE the 48 MB messy file is generated under bench/data/ (once).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

from bench_common import (
    DATA_DIR, MB, Contender, first_calls, load_line, parse_arguments, prepare_input, print_timings,
    release_memory, remove_files, run_interleaved, warm_calls,
)


def main() -> int:
    def extra(ap: argparse.ArgumentParser) -> None:
        ap.add_argument("--replace", action="store_true",
                        help="let each call replace the previous call's outputs (timed)")
        ap.add_argument("--workdir", default=None, help="where outputs go (default: bench/data)")
        ap.add_argument("--threads", type=int, default=2, help="salvages run at once (default 2)")
        ap.add_argument("--fresh-runs", type=int, default=3,
                        help="fresh interpreters that time each contender's first call (default 3)")

    args = parse_arguments(__doc__, 48.0, extra)
    path, size = prepare_input(args)
    import brinewick

    workdir = args.workdir or DATA_DIR
    os.makedirs(workdir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench_package_", dir=workdir) as tmp:
        out = os.path.join(tmp, "clean.csv")
        quarantine = os.path.join(tmp, "quarantine.csv")
        changes = os.path.join(tmp, "changes.csv")
        # Shared by the calls here and by each fresh interpreter.
        setup = "\n".join([
            f"path, out, quarantine, changes = {path!r}, {out!r}, {quarantine!r}, {changes!r}",
            "calls, summaries = [0], {}",
            "def progress(done, total):",
            "    calls[0] += 1",
        ])
        package = "import brinewick"
        contenders = [
            Contender("salvage_file", "backend.salvage_file(path, out, quarantine)",
                      "import _brinewick_backend as backend"),
            Contender("salvage", "summaries['salvage'] = brinewick.salvage(path, out, quarantine=quarantine, "
                                 "durable=False, jobs=1)", package),
            Contender("salvage durable", "brinewick.salvage(path, out, quarantine=quarantine, jobs=1)", package),
            Contender("salvage +changes", "summaries['changes'] = brinewick.salvage(path, out, "
                                          "quarantine=quarantine, changes=changes, durable=False, jobs=1)", package),
            Contender("salvage +progress", "brinewick.salvage(path, out, quarantine=quarantine, durable=False, "
                                           "progress=progress, jobs=1)", package),
        ]
        warm, namespace = warm_calls(contenders, setup)

        def before_call(name: str) -> None:
            if not args.replace:
                remove_files(out, quarantine, *((changes,) if name == "salvage +changes" else ()))
            release_memory()

        timings = run_interleaved(warm, args.reps, before_call)
        first = first_calls(contenders, setup, args.fresh_runs, before_call)
        print(f"timings, {args.reps} runs each, interleaved, one salvage at a time; first call: median of "
              f"{args.fresh_runs} fresh interpreters (imports untimed):")
        print_timings(timings, size, first)
        t = {x.name: x for x in timings}

        def ratio(a: str, b: str, label: str) -> None:
            print(f"  {label:<44} {t[a].best / t[b].best:6.3f} best, "
                  f"{t[a].median / t[b].median:6.3f} median, "
                  f"{statistics.median(first[a]) / statistics.median(first[b]):6.3f} first call")

        print("time ratios (below 1: the first is faster):")
        ratio("salvage", "salvage_file", "salvage / salvage_file")
        ratio("salvage durable", "salvage_file", "salvage durable / salvage_file")
        ratio("salvage durable", "salvage", "durable / not durable")
        ratio("salvage +changes", "salvage", "with changes file / without")
        ratio("salvage +progress", "salvage", "with progress callback / without")
        print(f"  progress calls per run: {namespace['calls'][0] / args.reps:.0f}")
        print(f"  summary: {namespace['summaries']['changes']!r}")
        print(f"  changes file: {os.path.getsize(changes)} bytes")

        n = args.threads
        outs = [os.path.join(tmp, f"clean{i}.csv") for i in range(n)]

        def one(i: int) -> None:
            brinewick.salvage(path, outs[i], durable=False, jobs=1)

        def sequential() -> None:
            for i in range(n):
                one(i)

        def threaded() -> None:
            threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()

        cpu_before = time.process_time()
        par = run_interleaved([(f"{n} salvages in sequence", sequential),
                               (f"{n} salvages in {n} threads", threaded)], args.reps,
                              lambda name: release_memory())
        cpu = time.process_time() - cpu_before
        print(f"\nseveral salvages at once ({n} x {size / MB:.1f} MB, {os.cpu_count()} CPUs):")
        print_timings(par, size * n)
        print(f"  speed-up of threads over sequence: {par[0].best / par[1].best:5.2f}x best, "
              f"{par[0].median / par[1].median:5.2f}x median")
        wall = sum(par[0].seconds) + sum(par[1].seconds)
        print(f"  process CPU time / wall time over both: {cpu / wall:.2f}")
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
