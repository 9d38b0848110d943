#!/usr/bin/env python3
"""Salvaging a compressed input against decompressing it alone.

Times, in one run and interleaved, over the same text:
  gzip -dc              `gzip -dc FILE.gz > /dev/null`
  salvage .gz           brinewick.salvage(FILE.gz, output, durable=False)
  zstd -dc              `zstd -dc FILE.zst > /dev/null`
  salvage .zst          brinewick.salvage(FILE.zst, output, durable=False)
  salvage plain         brinewick.salvage(FILE, output, durable=False)
and reports best and median of --reps runs as MB/s of the text (MB = 10**6
bytes), and the ratio of each salvage's speed to its decompressor's (goal:
at least 0.8: decompression overlaps parsing on another core). The
compressed files are made once beside the text (gzip -6, zstd -3).

Without FILE the 48 MB messy file is generated under bench/data/ (once).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile

from bench_common import load_line, parse_arguments, prepare_input, print_timings, release_memory, run_interleaved


def packed(path: str, tool: list[str], suffix: str) -> str:
    target = path + suffix
    if not os.path.exists(target):
        with open(path, "rb") as source, open(target + ".part", "wb") as out:
            subprocess.run(tool, stdin=source, stdout=out, check=True)
        os.replace(target + ".part", target)
    return target


def main() -> int:
    args = parse_arguments(__doc__, 48.0)
    path, size = prepare_input(args)
    import brinewick

    tools = [name for name in ("gzip", "zstd") if shutil.which(name)]
    files = {"gzip": packed(path, ["gzip", "-6", "-c"], ".gz")} if "gzip" in tools else {}
    if "zstd" in tools:
        files["zstd"] = packed(path, ["zstd", "-3", "-q", "-c"], ".zst")
    for name, file in files.items():
        print(f"{name}: {file}: {os.path.getsize(file)} bytes")
    out = tempfile.mkdtemp(prefix="brinewick-bench-")
    output = os.path.join(out, "clean.csv")

    def decompress(tool: str, file: str):
        def run() -> None:
            with open(os.devnull, "wb") as null:
                subprocess.run([tool, "-dc", file], stdout=null, check=True)
        return run

    def salvage(file: str):
        return lambda: brinewick.salvage(file, output, durable=False)

    contenders = []
    for name, file in files.items():
        contenders += [(f"{name} -dc", decompress(name, file)), (f"salvage .{'gz' if name == 'gzip' else 'zst'}",
                                                                 salvage(file))]
    contenders.append(("salvage plain", salvage(path)))
    try:
        timings = run_interleaved(contenders, args.reps, before=lambda _: release_memory())
    finally:
        shutil.rmtree(out, ignore_errors=True)
    print_timings(timings, size)
    by_name = {t.name: t for t in timings}
    for name in files:
        tool, ours = by_name[f"{name} -dc"], by_name[f"salvage .{'gz' if name == 'gzip' else 'zst'}"]
        print(f"  {name}: salvage speed / {name} -dc speed: best {tool.best / ours.best:.2f}, "
              f"median {tool.median / ours.median:.2f} (goal >= 0.8)")
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
