#!/usr/bin/env python3
"""Peak memory of salvage_file and open() on shapes that cost memory per field.

Each case runs in a fresh interpreter; its peak RSS (VmHWM) minus that of a
fresh interpreter that only imports the module is the cost of the call. It is
reported against the input size and, for the delimiter shapes, per field.

Shapes (built under --workdir, removed afterwards):
  delims        --size-mb MB of commas: one row of size+1 empty fields
                 (default options: the row is clean as it is)
  delims merge  the same with expected_columns=2: the surplus is merged
  delims quar.  expected_columns=2, merge_overflow=False: the row is
                 quarantined (salvage_file with a quarantine file)
  padding       "a,b\\nc,d\\n" with expected_columns=--pad-columns: every row
                 padded (the clean CSV is about 2 * pad-columns bytes)
  quoted field  one quoted field of --size-mb MB that needs its quotes
                 ("a," repeated)
"""

from __future__ import annotations

import argparse
import os
import tempfile

from bench_common import DATA_DIR, MB, add_module_dir, load_line, run_fresh

SALVAGE = """
import sys, ast, _brinewick_backend as m
opts = ast.literal_eval(sys.argv[3])
q = sys.argv[4] if len(sys.argv) > 4 else None
s = m.salvage_file(sys.argv[1], sys.argv[2], q, **opts)
print(s.total_rows, s.salvaged_rows, s.quarantined_rows)
"""
OPEN = """
import sys, ast, _brinewick_backend as m
opts = ast.literal_eval(sys.argv[3])
r = m.open(sys.argv[1], **opts)
s = r.summary
print(s.total_rows, s.salvaged_rows, s.quarantined_rows)
"""
IMPORT = "import _brinewick_backend\n"


def write_delimiters(path: str, size: int) -> None:
    chunk = b"," * (1 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(chunk[: min(left, len(chunk))])
            left -= len(chunk)


def write_quoted_field(path: str, size: int) -> None:
    with open(path, "wb") as f:
        f.write(b'"' + b"a," * ((size - 3) // 2) + b'"\n')


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=100.0, help="size of the delimiter and quoted shapes")
    ap.add_argument("--pad-columns", type=int, default=10**7, help="expected_columns of the padding shape")
    ap.add_argument("--module-dir", default=None, help="directory holding the built module")
    ap.add_argument("--workdir", default=None, help="where inputs and outputs go (default: bench/data)")
    ap.add_argument("--only", default=None, help="run only the cases whose name holds this text")
    args = ap.parse_args()
    add_module_dir(args.module_dir)

    size = int(args.size_mb * MB)
    workdir = args.workdir or DATA_DIR
    os.makedirs(workdir, exist_ok=True)
    print(f"shapes of {size} bytes ({size / MB:.1f} MB), padding to {args.pad_columns} columns")
    print(f"before: {load_line()}")
    base = run_fresh(IMPORT).peak_rss
    print(f"fresh interpreter with the module: {base / MB:.1f} MB peak RSS")

    with tempfile.TemporaryDirectory(prefix="bench_memory_", dir=workdir) as tmp:
        delims = os.path.join(tmp, "delims.csv")
        quoted = os.path.join(tmp, "quoted.csv")
        small = os.path.join(tmp, "small.csv")
        out = os.path.join(tmp, "out.csv")
        quar = os.path.join(tmp, "quarantine.csv")
        write_delimiters(delims, size)
        write_quoted_field(quoted, size)
        with open(small, "wb") as f:
            f.write(b"a,b\nc,d\n")

        merge = {"expected_columns": 2}
        no_merge = {"expected_columns": 2, "merge_overflow": False}
        padding = {"expected_columns": args.pad_columns}
        cases = [
            ("salvage_file delims", SALVAGE, delims, {}, False, size + 1),
            ("salvage_file delims merge", SALVAGE, delims, merge, False, size + 1),
            ("salvage_file delims quarantine", SALVAGE, delims, no_merge, True, size + 1),
            ("open delims", OPEN, delims, {}, False, size + 1),
            ("open delims merge", OPEN, delims, merge, False, size + 1),
            ("open delims quarantine", OPEN, delims, no_merge, False, size + 1),
            ("salvage_file padding", SALVAGE, small, padding, False, 2 * args.pad_columns),
            ("open padding", OPEN, small, padding, False, 2 * args.pad_columns),
            ("salvage_file quoted field", SALVAGE, quoted, {"delimiter": ","}, False, 0),
        ]
        print(f"  {'case':<32} {'peak MB':>9} {'x input':>8} {'B/field':>8}  output")
        for name, code, path, opts, with_quarantine, fields in cases:
            if args.only and args.only not in name:
                continue
            extra = [quar] if with_quarantine else []
            try:
                child = run_fresh(code, path, out, repr(opts), *extra)
            except Exception as e:  # a case that dies is a figure too
                print(f"  {name:<32} failed: {e}")
                continue
            cost = max(child.peak_rss - base, 0)
            in_size = os.path.getsize(path)
            per_field = f"{cost / fields:8.2f}" if fields else f"{'':>8}"
            out_size = os.path.getsize(out) if code is SALVAGE and os.path.exists(out) else 0
            print(f"  {name:<32} {cost / MB:9.1f} {cost / in_size:8.2f} {per_field}  "
                  f"{out_size / MB:.1f} MB  rows {child.stdout.strip()}")
            if os.path.exists(out):
                os.remove(out)
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
