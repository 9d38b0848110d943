"""Reading and writing through an object store: brinewick against the store's own speed.

Starts moto's S3 server on loopback, uploads the messy file, and times, best
of --reps, in one run:
  fetch, put the object downloaded and uploaded whole with s3fs (what the store can do)
  salvage    s3 -> local file, s3 -> s3, and local -> local for reference
  read       brinewick.read(s3, types="str") consumed by pyarrow
  download   fsspec's get of the object to a local file (what `aws s3 cp` does), the goal's yardstick
  memory     peak RSS of a fresh process that salvages s3 -> local, against one that only imports
The ratios to `fetch` say whether parsing hides behind the network: a
salvage from the store near 1.0x its fetch costs almost nothing beyond it;
a salvage to the store is bounded below by `put`.
moto is slow and single-threaded, so these are ratios, not a cloud's figures; and it
serves a range in time that grows with the object's size (an 8 MiB range of a 512 MB
object takes 5x one of a 64 MB object), so ranged reads of a large object lose to a
whole download there as they would not against a real store.

    python bench/bench_remote.py [--size-mb 48] [--reps 3] [--module-dir DIR]
"""
from __future__ import annotations

import argparse
import os
import tempfile

from bench_common import MB, add_module_dir, best_of, ensure_data, start_s3_server


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=48)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--module-dir")
    args = parser.parse_args()
    add_module_dir(args.module_dir)
    import pyarrow as pa
    import s3fs

    import brinewick

    path = ensure_data("messy", args.size_mb, 1)
    size = os.path.getsize(path)
    server, options = start_s3_server()
    try:
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        fs.put_file(path, "bench/messy.csv")
        url = "s3://bench/messy.csv"
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out.csv")
            with open(path, "rb") as f:
                data = f.read()
            rows = [
                ("fetch whole object (s3fs)", best_of(args.reps, lambda: fs.cat_file("bench/messy.csv"))),
                ("download to a file (fsspec get)", best_of(args.reps, lambda: fs.get_file(
                    "bench/messy.csv", os.path.join(tmp, "got.csv")))),
                ("put whole object (s3fs)", best_of(args.reps, lambda: fs.pipe_file("bench/put.csv", data))),
                ("salvage s3 -> local", best_of(args.reps, lambda: brinewick.salvage(
                    url, out, storage_options=options, durable=False))),
                ("salvage s3 -> s3", best_of(args.reps, lambda: brinewick.salvage(
                    url, "s3://bench/out.csv", storage_options=options))),
                ("read(str) from s3 -> pyarrow", best_of(args.reps, lambda: pa.table(brinewick.read(
                    url, types="str", storage_options=options)))),
                ("salvage local -> local", best_of(args.reps, lambda: brinewick.salvage(path, out, durable=False))),
            ]
            peaks = {what: peak_rss(what, url, out, options, args.module_dir) for what in ("import", "salvage")}
    finally:
        server.terminate()
        server.wait()
    fetch = rows[0][1]
    print(f"input: {size / MB:.1f} MB messy CSV; load {os.getloadavg()[0]:.1f}; best of {args.reps}")
    print(f"{'run':<32}{'s':>8}{'MB/s':>9}{'x fetch':>9}")
    for name, seconds in rows:
        print(f"{name:<32}{seconds:8.3f}{size / MB / seconds:9.1f}{seconds / fetch:9.2f}")
    took = dict(rows)
    print(f"salvage s3 -> local / download: "
          f"{took['salvage s3 -> local'] / took['download to a file (fsspec get)']:.2f}x (goal <= 1.2x)")
    print(f"peak RSS: importing {peaks['import'] / MB:.0f} MB, salvaging s3 -> local {peaks['salvage'] / MB:.0f} MB "
          f"(goal: the salvage's own <= 256 MiB)")


def peak_rss(what: str, url: str, out: str, options: dict, module_dir: str | None) -> int:
    """Peak resident bytes of a fresh process that imports brinewick (and
    s3fs) and, for "salvage", salvages `url` to `out`."""
    import json
    import subprocess
    import sys

    # VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the forked
    # parent (which holds the whole file here) across exec.
    code = ("import sys, json; sys.path[:0] = json.loads(sys.argv[1]); import brinewick, s3fs\n"
            "if sys.argv[2] == 'salvage':\n"
            "    brinewick.salvage(sys.argv[3], sys.argv[4], storage_options=json.loads(sys.argv[5]), durable=False)\n"
            "print(next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmHWM')))")
    paths = [module_dir] if module_dir else []
    done = subprocess.run([sys.executable, "-c", code, json.dumps(paths), what, url, out, json.dumps(options)],
                          capture_output=True, text=True, check=True)
    return int(done.stdout.strip()) * 1024


if __name__ == "__main__":
    main()
