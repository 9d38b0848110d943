#!/usr/bin/env python3
"""brinewick.salvage with several threads, against one thread and against its peers.

Times, in one run and interleaved, over the same input (durable=False, quarantine written):
  jobs=1, jobs=2, jobs=4, jobs=8   brinewick.salvage(..., jobs=N)
  file copy                         shutil.copyfile (the floor: read and write every byte once)
  csv round trip                    csv.reader -> csv.writer (--csv-reps runs; slow)
and reports best and median wall time as MB/s (MB = 10**6 bytes), the process CPU time of
each run (all threads), and the ratios: jobs=2 against jobs=1 (goal: at least 1.7x),
salvage against the csv round trip (goal: at least 20x) and against the copy (goal: within
3x). On a loaded machine the wall ratio understates what free cores give, so the CPU time
per run says how much work each count costs: the extra work threads add is
cpu(jobs=N) / cpu(jobs=1), and the best speed-up N free cores could give is
N * cpu(jobs=1) / cpu(jobs=N).

The costs of the defaults, at jobs=2 (--no-durability skips them):
  durable                           durable=True, clean and quarantine written (goal: at most
                                    1.15x the same run with durable=False)
  durable, all outputs              durable=True with the changes file too, against
  durable, clean only               durable=True with no quarantine and no changes file
                                    (goal: all outputs at most 1.1x clean only)

Then the quote storm: a file of '"' LF lines, on which the reading from a row start and the
reading from inside a quote never meet, so every chunk is parsed twice; at 1x and 4x size,
time per byte should stay the same (linear).

Without FILE the 48 MB messy file is generated under bench/data/ (once). --repeat N makes
the input N copies of it (a ~1 GB file with --repeat 21), deleted afterwards.
"""

from __future__ import annotations

import argparse
import csv
import filecmp
import os
import shutil
import sys
import tempfile
import time

from bench_common import (
    DATA_DIR, MB, Timing, load_line, parse_arguments, prepare_input, print_timings, remove_files, run_fresh,
)


def timed(contenders, reps, outputs=None):
    """run_interleaved, with the process CPU time (every thread) of each run
    too; outputs[name], the files that contender writes, are removed ahead of
    each of its runs, untimed."""
    timings = {name: (Timing(name), []) for name, _ in contenders}
    for rep in range(reps):
        for name, fn in contenders:
            if rep >= getattr(fn, "reps", reps):
                continue
            if outputs is not None:
                remove_files(*outputs.get(name, ()))
            cpu = time.process_time()
            start = time.perf_counter()
            fn()
            timings[name][0].seconds.append(time.perf_counter() - start)
            timings[name][1].append(time.process_time() - cpu)
    return timings


def csv_round_trip(src: str, dst: str) -> None:
    with open(src, newline="", encoding="utf-8", errors="replace") as fin, \
            open(dst, "w", newline="", encoding="utf-8") as fout:
        csv.writer(fout).writerows(csv.reader(fin))


def main() -> int:
    def extra(ap: argparse.ArgumentParser) -> None:
        ap.add_argument("--workdir", default=None, help="where outputs go (default: bench/data)")
        ap.add_argument("--repeat", type=int, default=1, help="input made of N copies of FILE")
        ap.add_argument("--csv-reps", type=int, default=2, help="runs of the csv round trip")
        ap.add_argument("--storm-mb", type=float, default=16.0, help="quote storm size at 1x")
        ap.add_argument("--jobs", default="1,2,4,8", help="thread counts to time")
        ap.add_argument("--no-storm", dest="storm", action="store_false", help="skip the quote storm")
        ap.add_argument("--no-durability", dest="durability", action="store_false",
                        help="skip the durable runs at jobs=2")

    args = parse_arguments(__doc__, 48.0, extra)
    workdir = args.workdir or DATA_DIR
    os.makedirs(workdir, exist_ok=True)
    import brinewick

    with tempfile.TemporaryDirectory(prefix="bench_parallel_", dir=workdir) as tmp:
        if args.repeat > 1:
            base = args.file or os.path.join(DATA_DIR, f"{args.kind}_{args.size_mb:g}mb_seed{args.seed}.csv")
            if not os.path.exists(base):
                args.file = None
                base, _ = prepare_input(args)
            big = os.path.join(tmp, "repeated.csv")
            with open(big, "wb") as out:
                for _ in range(args.repeat):
                    with open(base, "rb") as piece:
                        shutil.copyfileobj(piece, out, 1 << 22)
            args.file = big
        path, size = prepare_input(args)
        out = os.path.join(tmp, "out_clean.csv")
        quarantine = os.path.join(tmp, "out_quarantine.csv")
        copy = os.path.join(tmp, "out_copy.csv")
        job_counts = [int(j) for j in args.jobs.split(",")]

        def salvage(jobs: int):
            return lambda: brinewick.salvage(path, f"{out}.{jobs}", quarantine=f"{quarantine}.{jobs}",
                                             durable=False, jobs=jobs)

        def round_trip() -> None:
            csv_round_trip(path, copy)

        changes = os.path.join(tmp, "out_changes.csv")

        def durable(side_files: str):
            def run():
                return brinewick.salvage(
                    path, f"{out}.{side_files}",
                    quarantine=None if side_files == "clean only" else f"{quarantine}.{side_files}",
                    changes=f"{changes}.{side_files}" if side_files == "all outputs" else None,
                    durable=True, jobs=2)
            return run

        round_trip.reps = args.csv_reps  # type: ignore[attr-defined]
        contenders = [(f"jobs={j}", salvage(j)) for j in job_counts]
        durable_runs = ("durable", "durable, all outputs", "durable, clean only") if args.durability else ()
        contenders += [(name, durable(name)) for name in durable_runs]
        contenders += [("file copy", lambda: shutil.copyfile(path, copy)), ("csv round trip", round_trip)]
        outputs = {f"jobs={j}": (f"{out}.{j}", f"{quarantine}.{j}") for j in job_counts}
        outputs["file copy"] = outputs["csv round trip"] = (copy,)
        for name in durable_runs:
            outputs[name] = (f"{out}.{name}", f"{quarantine}.{name}", f"{changes}.{name}")
        results = timed(contenders, args.reps, outputs)
        print(f"timings, {args.reps} runs each ({args.csv_reps} of the csv round trip), interleaved, "
              f"{os.cpu_count()} CPUs, {len(os.sched_getaffinity(0))} usable:")
        print_timings([t for t, _ in results.values()], size)
        for name, (t, cpu) in results.items():
            if not cpu:
                continue
            print(f"  {name:<16} CPU per run: best {min(cpu):7.3f} s, median {sorted(cpu)[len(cpu) // 2]:7.3f} s")

        def wall(name: str) -> float:
            return results[name][0].best

        def cpu(name: str) -> float:
            return min(results[name][1])

        same = all(filecmp.cmp(f"{out}.{job_counts[0]}", f"{out}.{j}", shallow=False) and
                   filecmp.cmp(f"{quarantine}.{job_counts[0]}", f"{quarantine}.{j}", shallow=False)
                   for j in job_counts)
        print(f"clean and quarantine files identical for every jobs count: {same}")
        for j in job_counts:
            os.remove(f"{out}.{j}")
            os.remove(f"{quarantine}.{j}")
        for name in durable_runs:
            remove_files(*outputs[name])
        print("ratios (best wall times):")
        print(f"  jobs=1 / jobs=2 wall                 {wall('jobs=1') / wall('jobs=2'):6.2f}x  (goal >= 1.7)")
        if results["csv round trip"][1]:
            print(f"  csv round trip / jobs=2              {wall('csv round trip') / wall('jobs=2'):6.1f}x  (goal >= 20)")
        print(f"  jobs=2 / file copy                   {wall('jobs=2') / wall('file copy'):6.2f}x  (goal <= 3)")
        for j in job_counts[1:]:
            print(f"  jobs={j}: wall speed-up {wall('jobs=1') / wall(f'jobs={j}'):5.2f}x, extra work "
                  f"cpu(jobs={j})/cpu(jobs=1) {cpu(f'jobs={j}') / cpu('jobs=1'):5.2f}, "
                  f"speed-up on {j} free cores at most {j * cpu('jobs=1') / cpu(f'jobs={j}'):5.2f}x")
        if durable_runs:
            print(f"  durable / not durable, jobs=2         {wall('durable') / wall('jobs=2'):6.2f}x  (goal <= 1.15)")
            print(f"  all outputs / clean only, durable     "
                  f"{wall('durable, all outputs') / wall('durable, clean only'):6.2f}x  (goal <= 1.1)")
        print(f"  CPU use (cpu/wall) at jobs=2: {cpu('jobs=2') / wall('jobs=2'):.2f} of 2")
        print("peak RSS of a fresh interpreter running one salvage (memory: about two chunks per thread):")
        code = ("import sys, brinewick; brinewick.salvage(sys.argv[1], sys.argv[2], quarantine=sys.argv[3], "
                "durable=False, jobs=int(sys.argv[4]))")
        for j in job_counts:
            child = run_fresh(code, path, out, quarantine, str(j))
            print(f"  jobs={j}: {child.peak_rss / 2**20:7.1f} MiB")
        if args.repeat > 1:
            os.remove(path)

        # The quote storm, where the two readings of a chunk never meet.
        if not args.storm:
            print(f"after: {load_line()}")
            return 0
        print("\nquote storm ('\"' LF lines; every chunk parsed from both start states to its end):")
        per_byte = {}
        for scale in (1, 4):
            storm = os.path.join(tmp, f"storm{scale}.csv")
            lines = int(args.storm_mb * MB * scale) // 2
            with open(storm, "wb") as f:
                f.write(b'"\n' * lines)
            storm_contenders = [(f"{scale}x jobs={j}",
                                 (lambda s=storm, j=j: brinewick.salvage(s, out, durable=False, jobs=j)))
                                for j in (1, 2)]
            res = timed(storm_contenders, max(2, args.reps // 2))
            print_timings([t for t, _ in res.values()], 2 * lines)
            for name, (t, c) in res.items():
                per_byte[name] = (t.best / (2 * lines), min(c) / (2 * lines))
            os.remove(storm)
        for j in (1, 2):
            w1, c1 = per_byte[f"1x jobs={j}"]
            w4, c4 = per_byte[f"4x jobs={j}"]
            print(f"  jobs={j}: time per byte 4x / 1x: wall {w4 / w1:5.2f}, CPU {c4 / c1:5.2f}  (linear: ~1)")
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
