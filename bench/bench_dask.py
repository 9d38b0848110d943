"""brinewick.dask.read against dask.dataframe.read_csv on a clean file, on a LocalCluster.

One run, best of --reps: the file read into a Dask DataFrame and counted
(``len``, which builds every partition on the workers), with inferred types
and as strings, by both; then the same from moto's S3 server when --s3 is
given. A clean file is where a user moving to a cluster must not pay for
salvage: the goal is brinewick at most 1.0x read_csv in both modes.

    python bench/bench_dask.py [--size-mb 480] [--workers 2] [--reps 2] [--s3] [--module-dir DIR]
"""
from __future__ import annotations

import argparse
import os

from bench_common import MB, add_module_dir, best_of, ensure_data, start_s3_server


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=480)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--s3", action="store_true", help="also read the file from moto's S3 server")
    parser.add_argument("--module-dir")
    args = parser.parse_args()
    add_module_dir(args.module_dir)
    import dask.dataframe as dd
    import distributed

    import brinewick.dask as bwd

    path = ensure_data("clean", args.size_mb, 1)
    sources = [("local", path, {})]
    server = None
    if args.s3:
        import s3fs

        server, options = start_s3_server()
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        fs.put_file(path, "bench/clean.csv")
        sources.append(("s3", "s3://bench/clean.csv", options))
    rows = []
    try:
        with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster):
            for where, source, options in sources:
                for mode in ("infer", "str"):
                    theirs = {"dtype": str} if mode == "str" else {}
                    ours = best_of(args.reps, lambda: len(bwd.read(source, types=mode, storage_options=options or None,
                                                                blocksize=64 << 20).data))
                    peer = best_of(args.reps, lambda: len(dd.read_csv(source, blocksize="64MB", storage_options=options
                                                                   or None, **theirs)))
                    rows.append((where, mode, ours, peer))
    finally:
        if server is not None:
            server.terminate()
            server.wait()
    size = os.path.getsize(path)
    print(f"input: {size / MB:.0f} MB clean CSV; {args.workers} worker processes; load "
          f"{os.getloadavg()[0]:.1f}; best of {args.reps}")
    print(f"{'source':<8}{'types':<7}{'brinewick s':>13}{'read_csv s':>12}{'ratio':>8}")
    for where, mode, ours, peer in rows:
        print(f"{where:<8}{mode:<7}{ours:13.2f}{peer:12.2f}{ours / peer:8.2f}")


if __name__ == "__main__":
    main()
