"""Helpers shared by the Python benchmarks: test data, timing, fresh-process memory."""

from __future__ import annotations

import argparse
import csv
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

MB = 10**6
BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.join(BENCH_DIR, "data")


def add_module_dir(module_dir: str | None) -> None:
    """Makes a built module importable here and in the child processes."""
    if not module_dir:
        return
    module_dir = os.path.abspath(module_dir)
    sys.path.insert(0, module_dir)
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = module_dir + (os.pathsep + old if old else "")


def ensure_data(kind: str, size_mb: float, seed: int) -> str:
    """Path of a generated file under bench/data, generated when missing."""
    name = f"{kind}_{size_mb:g}mb_seed{seed}.csv"
    path = os.path.join(DATA_DIR, name)
    if not os.path.exists(path):
        os.makedirs(DATA_DIR, exist_ok=True)
        tmp = path + ".part"
        subprocess.run(
            [sys.executable, os.path.join(BENCH_DIR, "gen_data.py"), "--kind", kind,
             "--size-mb", str(size_mb), "--seed", str(seed), "--out", tmp],
            check=True,
        )
        os.replace(tmp, path)
    return path


def warm_cache(path: str) -> None:
    """Reads the file once so that every contender finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(1 << 22):
            pass


@dataclass
class Timing:
    name: str
    seconds: list[float] = field(default_factory=list)

    @property
    def best(self) -> float:
        return min(self.seconds)

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)

    def mb_s(self, size: int, seconds: float) -> float:
        return size / MB / seconds if seconds > 0 else float("inf")


def run_interleaved(contenders: list[tuple[str, Callable[[], object]]], reps: int,
                    before: Callable[[str], object] | None = None) -> list[Timing]:
    """Times each contender `reps` times, round-robin, so that a burst of load
    on the shared machine hits them all rather than one. `before(name)` runs
    ahead of each call, untimed."""
    timings = [Timing(name) for name, _ in contenders]
    for _ in range(reps):
        for timing, (_, fn) in zip(timings, contenders):
            if before is not None:
                before(timing.name)
            start = time.perf_counter()
            fn()
            timing.seconds.append(time.perf_counter() - start)
    return timings


def print_timings(timings: list[Timing], size: int, first: dict[str, list[float]] | None = None) -> None:
    """One line per contender; `first` adds the median of its first calls in fresh processes."""
    timings = [t for t in timings if t.seconds]  # a contender given no runs (--csv-reps 0)
    width = max(len(t.name) for t in timings)
    for t in timings:
        fresh = first.get(t.name) if first else None
        tail = f"   first call {statistics.median(fresh):8.3f} s" if fresh else ""
        print(f"  {t.name:<{width}}  best {t.best:8.3f} s {t.mb_s(size, t.best):8.1f} MB/s"
              f"   median {t.median:8.3f} s {t.mb_s(size, t.median):8.1f} MB/s{tail}")


def release_memory() -> None:
    """Frees the blocks brinewick keeps for reuse, so that what one contender
    left cached does not speed up the next (untimed, before every call)."""
    try:
        import brinewick
    except ImportError:
        return
    brinewick.release_unused_memory()


@dataclass
class Contender:
    """A timed call as source, so that the same code runs warm here and
    first in a fresh interpreter."""
    name: str
    call: str          # the statements timed
    imports: str = ""  # run once before them, untimed


def warm_calls(contenders: list[Contender], setup: str) -> tuple[list[tuple[str, Callable[[], object]]], dict]:
    """The contenders as callables sharing one namespace, in which `setup`
    and every contender's imports have run; returns the namespace too."""
    namespace: dict = {}
    exec(setup, namespace)
    calls = []
    for c in contenders:
        exec(c.imports, namespace)
        code = compile(c.call, c.name, "exec")
        calls.append((c.name, lambda code=code: exec(code, namespace)))
    return calls, namespace


def first_calls(contenders: list[Contender], setup: str, runs: int,
                before: Callable[[str], object] | None = None) -> dict[str, list[float]]:
    """Wall seconds of each contender's first call, each time in a new
    interpreter that runs `setup` and the contender's imports (untimed) and
    then the call once; `runs` rounds, interleaved. `before(name)` runs here
    ahead of each child."""
    seconds: dict[str, list[float]] = {c.name: [] for c in contenders}
    for _ in range(runs):
        for c in contenders:
            if before is not None:
                before(c.name)
            code = "\n".join([setup, c.imports, "import time as _time", "_start = _time.perf_counter()", c.call,
                              "print('FIRST CALL', _time.perf_counter() - _start)"])
            out = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, check=True).stdout
            seconds[c.name].append(float(out.splitlines()[-1].split()[-1]))
    return seconds


def remove_files(*paths: str) -> None:
    """Removes what exists of `paths`: a contender then writes new files, and
    the time to free a replaced large file (which depends on how it is
    replaced, not on the contender) stays out of its timing."""
    for path in paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def load_line() -> str:
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} CPUs"


@dataclass
class ChildResult:
    peak_rss: int     # bytes: high-water mark of the child's own address space
    current_rss: int  # bytes: resident set when the child's code finished
    stdout: str       # what the code printed


# Appended to every child: its own VmHWM and VmRSS. The high-water mark of
# the child's address space starts afresh at exec, unlike getrusage /
# wait4's ru_maxrss, which on Linux carries over the parent's peak when the
# child was forked from a large benchmark process.
_RSS_TRAILER = """
def _rss_fields():
    found = {}
    with open('/proc/self/status') as f:
        for line in f:
            key, _, value = line.partition(':')
            if key in ('VmHWM', 'VmRSS'):
                found[key] = int(value.split()[0]) * 1024
    return found
_f = _rss_fields()
print('RSS', _f['VmHWM'], _f['VmRSS'])
"""


def run_fresh(code: str, *args: str) -> ChildResult:
    """Runs `code` in a fresh interpreter; returns its peak and final RSS and its output."""
    proc = subprocess.run([sys.executable, "-c", code + _RSS_TRAILER, *args],
                          stdout=subprocess.PIPE, text=True, check=True)
    lines = proc.stdout.splitlines()
    _, peak, current = lines[-1].split()
    return ChildResult(peak_rss=int(peak), current_rss=int(current), stdout="\n".join(lines[:-1]))


def parse_arguments(doc: str, default_size_mb: float, extra=None) -> argparse.Namespace:
    """The options every Python bench shares; `extra` adds its own."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("file", nargs="?", help="input CSV (default: generated messy file)")
    ap.add_argument("--size-mb", type=float, default=default_size_mb, help="size of the generated file")
    ap.add_argument("--kind", default="messy", choices=["clean", "messy", "quotestorm"])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--reps", type=int, default=5)
    if extra is not None:
        extra(ap)
    ap.add_argument("--module-dir", default=None, help="directory holding the built module")
    ap.add_argument("--no-memory", action="store_true", help="skip the fresh-process memory check")
    return ap.parse_args()


def prepare_input(args: argparse.Namespace) -> tuple[str, int]:
    """Finds or generates the input, reports it and warms the page cache."""
    add_module_dir(args.module_dir)
    csv.field_size_limit(sys.maxsize)  # the salvage engine has no field limit either
    path = args.file or ensure_data(args.kind, args.size_mb, args.seed)
    size = os.path.getsize(path)
    print(f"input {path}: {size} bytes ({size / MB:.1f} MB)")
    print(f"before: {load_line()}")
    warm_cache(path)
    return path, size


def best_of(reps: int, run: Callable[[], object]) -> float:
    """The shortest of `reps` wall times of `run()`."""
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def start_s3_server() -> tuple[subprocess.Popen, dict]:
    """moto's S3 server on a free loopback port, and the storage options
    that reach it; terminate the process when done."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)
    return server, {"endpoint_url": f"http://127.0.0.1:{port}", "key": "k", "secret": "s"}
