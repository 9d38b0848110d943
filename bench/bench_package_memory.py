#!/usr/bin/env python3
"""Peak RSS of brinewick.salvage stays flat from a 48 MB file to a file of several GiB.

Each salvage runs in a fresh interpreter whose address space is capped at
--cap-mib (default 512 MiB, RLIMIT_AS), with quarantine and changes files:
  import only         the interpreter and the package, nothing salvaged
  salvage 48 MB       the messy file
  salvage N GiB       the messy file's rows repeated to at least --big-gib (default 4)
  salvage_file N GiB  the in-memory backend on the same big file, same cap (it cannot fit)
Reported: each child's peak RSS (VmHWM), the big run's peak over the small
run's, and the big run's MB/s. The big file is built next to the data
(--workdir), after checking the free space, and removed at the end.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from bench_common import DATA_DIR, MB, ensure_data, load_line, run_fresh

GIB = 1 << 30

CHILD = r"""
import json, resource, sys, time
cap = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
import brinewick, _brinewick_backend
which, src, out, q, ch = sys.argv[2:7]
start = time.perf_counter()
try:
    if which == "salvage":
        s = brinewick.salvage(src, out, quarantine=q, changes=ch, durable=False)
        result = {"total_rows": s.total_rows, "quarantined": s.quarantined_rows,
                  "changed_rows": s.changed_rows, "bytes_read": s.bytes_read}
    elif which == "salvage_file":
        s = _brinewick_backend.salvage_file(src, out, q)
        result = {"total_rows": s.total_rows}
    else:
        result = {}
except BaseException as e:
    result = {"error": f"{type(e).__name__}: {e}"}
result["seconds"] = time.perf_counter() - start
print(json.dumps(result))
"""


def build_big(small: str, big: str, target: int) -> int:
    """The small file's rows repeated (its header and byte-order mark once) up to `target` bytes."""
    with open(small, "rb") as f:
        first = f.readline()
        body = f.read()
    if not body.endswith(b"\n"):
        body += b"\n"
    written = 0
    with open(big, "wb") as f:
        f.write(first)
        written += len(first)
        while written < target:
            f.write(body)
            written += len(body)
    return written


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=48.0, help="the small messy file")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--big-gib", type=float, default=4.0)
    ap.add_argument("--cap-mib", type=int, default=512)
    ap.add_argument("--workdir", default=None, help="where the big file and outputs go (default bench/data)")
    args = ap.parse_args()

    small = ensure_data("messy", args.size_mb, args.seed)
    workdir = args.workdir or DATA_DIR
    os.makedirs(workdir, exist_ok=True)
    target = int(args.big_gib * GIB)
    free = shutil.disk_usage(workdir).free
    need = 3 * target  # input, clean output, and room to spare for the side files
    if free < need:
        print(f"not enough free space in {workdir}: {free / GIB:.1f} GiB free, {need / GIB:.1f} GiB needed")
        return 1
    cap = args.cap_mib << 20
    print(f"before: {load_line()}; {free / GIB:.1f} GiB free in {workdir}; cap {args.cap_mib} MiB")

    with tempfile.TemporaryDirectory(prefix="bench_package_memory_", dir=workdir) as tmp:
        big = os.path.join(tmp, "big.csv")
        start = time.perf_counter()
        big_size = build_big(small, big, target)
        print(f"built {big}: {big_size} bytes ({big_size / GIB:.2f} GiB) in {time.perf_counter() - start:.1f} s")
        small_size = os.path.getsize(small)
        out, q, ch = (os.path.join(tmp, n) for n in ("clean.csv", "q.csv", "ch.csv"))

        rows = []
        for label, which, src, size in [
            ("import only", "import", small, 0),
            (f"salvage {small_size / MB:.0f} MB", "salvage", small, small_size),
            (f"salvage {big_size / GIB:.2f} GiB", "salvage", big, big_size),
            (f"salvage_file {big_size / GIB:.2f} GiB", "salvage_file", big, big_size),
        ]:
            child = run_fresh(CHILD, str(cap), which, src, out, q, ch)
            result = json.loads(child.stdout.splitlines()[-1])
            rows.append((label, child.peak_rss, result, size))
            for p in (out, q, ch):
                if os.path.exists(p):
                    os.remove(p)

        print(f"peak RSS of fresh processes capped at {args.cap_mib} MiB of address space:")
        for label, peak, result, size in rows:
            speed = f"{size / MB / result['seconds']:7.1f} MB/s" if size and "error" not in result else ""
            print(f"  {label:<24} {peak / MB:8.1f} MB  {result['seconds']:7.2f} s {speed}  {result}")
        base, small_run, big_run = rows[0][1], rows[1][1], rows[2][1]
        print(f"  big run peak / small run peak: {big_run / small_run:.3f}  "
              f"(above import: {(small_run - base) / MB:.1f} MB -> {(big_run - base) / MB:.1f} MB)")
        print(f"  input grew {big_size / small_size:.1f}x")
    print(f"after: {load_line()}; temporary files removed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
