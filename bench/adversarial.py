"""Adversarial input shapes through salvage_file and through the package's
brinewick.salvage with jobs 1 and 2, one fresh process per run.

Shapes (sizes at --scale 1): one row of 4 million columns; one 1 GiB quoted
field; 50 million two-byte lines; a 32 MiB file without quotes but for one
that opens on line 2 and never closes (a stray quote: one row runs from there
to the end); and 50 MB and 200 MB of only quotes, only delimiters, only CRs,
only LFs (blank lines) and random bytes. Each run is timed inside its own
interpreter (import excluded) and reports that process's peak RSS (VmHWM);
"peak/input" is the peak above an import-only interpreter, divided by the
input size. For each 50/200 MB pair, "ratio" is the 200 MB time over the
50 MB time: linear work gives 4.

Goals checked and marked in the table. salvage_file: the 4x input takes at
most 4.5x the time; peak RSS at most 4x the input; no shape below 100 MB/s.
The package (jobs=1, jobs=2): at least 200 MB/s, and peak RSS at most 64 MiB
plus twice the shape's longest row (the whole input for the one-row shapes,
a line for the line shapes; random bytes are taken as short rows).

    PYTHONPATH=build/dev-python/site python bench/adversarial.py --scale 0.1
    PYTHONPATH=build/dev-python/site python bench/adversarial.py --only blank,stray --runners jobs1,jobs2
    PYTHONPATH=build/bench python bench/adversarial.py --only quotes,crs --reps 3 --runners backend
    python bench/adversarial.py --only wide --options '{"merge_overflow": false, "expected_columns": 3}'

Inputs are generated once under bench/data/adversarial/ (git ignores
bench/data) and kept for the next run unless --remove-data; outputs go to a
temporary directory there and are removed after each run.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
from dataclasses import dataclass
from typing import Callable, Iterator

from bench_common import DATA_DIR, MB, add_module_dir, load_line, run_fresh, warm_cache

CHUNK = 1 << 22
GIB = 1 << 30

# Timed inside the child so interpreter start-up and import are not counted.
SALVAGE_CHILD = """
import json, sys, time
import _brinewick_backend as backend
options = json.loads(sys.argv[4])
start = time.perf_counter()
summary = backend.salvage_file(sys.argv[1], sys.argv[2], sys.argv[3], **options)
seconds = time.perf_counter() - start
print(seconds, summary.total_rows, summary.inferred_columns, repr(summary.detected_delimiter))
"""
PACKAGE_CHILD = """
import json, sys, time
import brinewick
options = json.loads(sys.argv[4])
start = time.perf_counter()
summary = brinewick.salvage(sys.argv[1], sys.argv[2], quarantine=sys.argv[3], jobs=int(sys.argv[5]), **options)
seconds = time.perf_counter() - start
print(seconds, summary.total_rows, summary.inferred_columns, repr(summary.detected_delimiter))
"""
IMPORT_CHILD = "import _brinewick_backend\n"
RUNNERS = ("backend", "jobs1", "jobs2")


def repeated(unit: bytes, size: int) -> Iterator[bytes]:
    """`size` bytes of `unit` repeated, in chunks."""
    block = unit * max(1, CHUNK // len(unit))
    left = size
    while left > 0:
        piece = block[:left]
        left -= len(piece)
        yield piece


def random_bytes(size: int, seed: int = 7) -> Iterator[bytes]:
    rng = random.Random(seed)
    left = size
    while left > 0:
        n = min(CHUNK, left)
        left -= n
        yield rng.randbytes(n)


def wide_row(columns: int) -> Iterator[bytes]:
    yield from repeated(b"7,", 2 * columns - 1)
    yield b"\n"


def quoted_field(size: int) -> Iterator[bytes]:
    # Text with the delimiter and line breaks inside, so the field must be
    # quoted again on output; no quote byte, so it closes only at the end.
    yield b'"'
    yield from repeated(b"lorem ipsum, dolor sit\namet; ", size - 3)
    yield b'"\n'


def stray_quote(size: int) -> Iterator[bytes]:
    # Quote-free lines but for one opening quote on line 2, never closed.
    # The rows below are numbered: rows that all repeat the header would be
    # set aside as repeated headers, a shape of its own.
    head = b'alpha,beta,gamma,delta\n"x,y,z,w\n'
    yield head
    left, n = size - len(head), 0
    while left > 0:
        block = b"".join(b"%d,beta,gamma,delta\n" % i for i in range(n, n + 100_000))[:left]
        n += 100_000
        left -= len(block)
        yield block


@dataclass
class Shape:
    name: str
    size: int
    make: Callable[[], Iterator[bytes]]
    pair: str = ""  # shapes of one kind at 1x and 4x share this
    longest: int = 0  # bytes of its longest row, for the package's memory goal


def shapes(scale: float) -> list[Shape]:
    def mb(n: float) -> int:
        return int(n * scale * MB)

    columns = int(4_000_000 * scale)
    lines = int(50_000_000 * scale)
    big = int(GIB * scale)
    stray = int(32 * (1 << 20) * scale)
    out = [
        Shape("wide row", 2 * columns, lambda: wide_row(columns), longest=2 * columns),
        Shape("quoted field", big, lambda: quoted_field(big), longest=big),
        Shape("two-byte lines", 2 * lines, lambda: repeated(b"a\n", 2 * lines), longest=2),
        Shape("stray quote", stray, lambda: stray_quote(stray), longest=stray),
    ]
    # The longest row of each kind as a share of the input: one row, or a line.
    for kind, make, whole in [("quotes", lambda n: repeated(b'"', n), True),
                              ("delimiters", lambda n: repeated(b",", n), True),
                              ("crs", lambda n: repeated(b"\r", n), False),
                              ("blank lines", lambda n: repeated(b"\n", n), False),
                              ("random", random_bytes, False)]:
        for size_mb in (50, 200):
            n = mb(size_mb)
            out.append(Shape(f"{kind} {size_mb * scale:g}MB", n, lambda n=n, make=make: make(n), kind,
                             longest=n if whole else 1))
    return out


def path_of(shape: Shape, directory: str) -> str:
    return os.path.join(directory, shape.name.replace(" ", "_") + f"_{shape.size}.bin")


def ensure(shape: Shape, directory: str) -> str:
    """The shape's input file, generated when missing."""
    path = path_of(shape, directory)
    if os.path.exists(path) and os.path.getsize(path) == shape.size:
        return path
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        for piece in shape.make():
            f.write(piece)
    if os.path.getsize(tmp) != shape.size:
        raise RuntimeError(f"generated {os.path.getsize(tmp)} bytes for {shape.name}, wanted {shape.size}")
    os.replace(tmp, path)
    return path


@dataclass
class Result:
    shape: Shape
    seconds: float
    peak_rss: int
    summary: str
    runner: str = "backend"


def run_one(shape: Shape, path: str, workdir: str, reps: int, options: str = "{}",
            runner: str = "backend") -> Result:
    best = None
    for _ in range(reps):
        out = os.path.join(workdir, "clean.csv")
        quarantine = os.path.join(workdir, "quarantine.csv")
        if runner == "backend":
            child = run_fresh(SALVAGE_CHILD, path, out, quarantine, options)
        else:
            child = run_fresh(PACKAGE_CHILD, path, out, quarantine, options, runner[len("jobs"):])
        seconds, *summary = child.stdout.split()
        for p in (out, quarantine):
            if os.path.exists(p):
                os.remove(p)
        result = Result(shape, float(seconds), child.peak_rss, " ".join(summary), runner)
        if best is None or result.seconds < best.seconds:
            best = Result(shape, result.seconds, max(result.peak_rss, best.peak_rss if best else 0),
                          result.summary, runner)
        else:
            best.peak_rss = max(best.peak_rss, result.peak_rss)
    assert best is not None
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scale", type=float, default=1.0, help="size factor for every shape (e.g. 0.1)")
    ap.add_argument("--reps", type=int, default=1, help="runs per shape; the fastest is shown")
    ap.add_argument("--only", default="", help="comma-separated words; run shapes whose name holds one")
    ap.add_argument("--module-dir", default=None, help="directory holding the built module")
    ap.add_argument("--options", default="{}",
                    help="salvage_file keyword arguments as a JSON object, e.g. '{\"merge_overflow\": false}'")
    ap.add_argument("--runners", default=",".join(RUNNERS),
                    help="comma-separated: backend (salvage_file), jobs1, jobs2 (brinewick.salvage)")
    ap.add_argument("--out-dir", default=None,
                    help="where the outputs are written (default: beside the inputs); a RAM disk such as "
                         "/dev/shm takes the disk's write speed out of the figures")
    ap.add_argument("--remove-data", action="store_true",
                    help="delete each generated input after its run (default: keep for the next run)")
    args = ap.parse_args()
    add_module_dir(args.module_dir)

    directory = os.path.join(DATA_DIR, "adversarial")
    os.makedirs(directory, exist_ok=True)
    chosen = shapes(args.scale)
    if args.only:
        words = [w.strip() for w in args.only.split(",") if w.strip()]
        chosen = [s for s in chosen if any(w in s.name for w in words)]

    runners = [r.strip() for r in args.runners.split(",") if r.strip()]
    if not runners or any(r not in RUNNERS for r in runners):
        ap.error(f"--runners takes some of {', '.join(RUNNERS)}")
    json.loads(args.options)  # a bad object fails here, not in every child
    print(f"options {args.options}")
    print(f"scale {args.scale:g}, best of {args.reps} run(s) per shape, one fresh process per run")
    print(f"before: {load_line()}")
    base = min(run_fresh(IMPORT_CHILD).peak_rss for _ in range(3))
    print(f"import-only interpreter peak RSS: {base / MB:.1f} MB")
    header = (f"{'shape':<22} {'runner':<8} {'size MB':>9} {'seconds':>9} {'MB/s':>9} {'peak MB':>9} "
              f"{'peak/input':>10}  summary")
    print(header)
    print("-" * len(header))

    results: list[Result] = []
    failures: list[str] = []
    print(f"outputs under {args.out_dir or directory}")
    with tempfile.TemporaryDirectory(prefix="run_", dir=args.out_dir or directory) as workdir:
        for shape in chosen:
            path = ensure(shape, directory)
            warm_cache(path)
            for runner in runners:
                r = run_one(shape, path, workdir, args.reps, args.options, runner)
                results.append(r)
                rate = shape.size / MB / r.seconds if r.seconds > 0 else float("inf")
                per_input = (r.peak_rss - base) / shape.size
                marks = []
                if runner == "backend":
                    if rate < 100:
                        marks.append("<100MB/s")
                        failures.append(f"{shape.name}: {rate:.1f} MB/s")
                    if per_input > 4:
                        marks.append(">4x RSS")
                        failures.append(f"{shape.name}: peak RSS {per_input:.2f}x input")
                else:
                    if rate < 200:
                        marks.append("<200MB/s")
                        failures.append(f"{shape.name} {runner}: {rate:.1f} MB/s")
                    limit = 64 * (1 << 20) + 2 * shape.longest
                    if r.peak_rss > limit:
                        marks.append(f">{limit / MB:.0f}MB")
                        failures.append(f"{shape.name} {runner}: peak RSS {r.peak_rss / MB:.1f} MB")
                print(f"{shape.name:<22} {runner:<8} {shape.size / MB:9.1f} {r.seconds:9.3f} {rate:9.1f} "
                      f"{r.peak_rss / MB:9.1f} {per_input:10.2f}  {r.summary} {' '.join(marks)}", flush=True)
            if args.remove_data:
                os.remove(path)

    pairs: dict[str, list[Result]] = {}
    for r in results:
        if r.shape.pair and r.runner == "backend":
            pairs.setdefault(r.shape.pair, []).append(r)
    if pairs:
        print("salvage_file time ratio of the 4x input to the 1x input (goal <= 4.5):")
    for kind, rs in pairs.items():
        if len(rs) != 2:
            continue
        small, large = sorted(rs, key=lambda r: r.shape.size)
        ratio = large.seconds / small.seconds
        mark = "" if ratio <= 4.5 else "  > 4.5"
        if ratio > 4.5:
            failures.append(f"{kind}: time ratio {ratio:.2f}")
        print(f"  {kind:<12} {ratio:6.2f}{mark}")
    print(f"after: {load_line()}")
    print("goals: all met" if not failures else "goals missed: " + "; ".join(failures))
    return 0


if __name__ == "__main__":
    sys.exit(main())
