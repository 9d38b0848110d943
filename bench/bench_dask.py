"""brinewick.dask.read against dask.dataframe.read_csv on a clean file, on a LocalCluster.

Each of --reps rounds reads the file into a Dask DataFrame and counts it
(``len``, which builds every partition on the workers) with brinewick, then
with read_csv, with inferred types and as strings; then the same from moto's
S3 server when --s3 is given. Before each timed read the scheduler is let go
of every task, so that no read reuses a result the last one left behind
(read_csv's keys are the same from one read to the next). The best and the
median of the rounds are shown. A clean file is where a user moving to a
cluster must not pay for salvage: the goal is brinewick at most 1.0x
read_csv in both modes.

    python bench/bench_dask.py [--size-mb 480] [--workers 2] [--reps 5] [--s3] [--module-dir DIR]
"""
from __future__ import annotations

import argparse
import os
import statistics
import time

from bench_common import MB, add_module_dir, ensure_data, start_s3_server


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=480)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--reps", type=int, default=5)
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
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            def settled() -> None:
                while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
                    time.sleep(0.02)

            def timed(run) -> float:
                settled()
                start = time.perf_counter()
                run()
                return time.perf_counter() - start

            for where, source, options in sources:
                for mode in ("infer", "str"):
                    theirs = {"dtype": str} if mode == "str" else {}
                    ours, peers = [], []
                    for rep in range(args.reps + 1):  # the first round, which imports and warms, untimed
                        mine = timed(lambda: len(bwd.read(source, types=mode, storage_options=options or None,
                                                          blocksize=64 << 20).data))
                        peer = timed(lambda: len(dd.read_csv(source, blocksize="64MB", storage_options=options or None,
                                                             **theirs)))
                        if rep > 0:
                            ours.append(mine)
                            peers.append(peer)
                    rows.append((where, mode, ours, peers))
    finally:
        if server is not None:
            server.terminate()
            server.wait()
    size = os.path.getsize(path)
    print(f"input: {size / MB:.0f} MB clean CSV; {args.workers} worker processes; load "
          f"{os.getloadavg()[0]:.1f}; {args.reps} rounds")
    print(f"{'source':<8}{'types':<7}{'brinewick best/median s':>25}{'read_csv best/median s':>24}"
          f"{'ratio of best':>15}{'ratio of medians':>18}")
    for where, mode, ours, peers in rows:
        mine, theirs = statistics.median(ours), statistics.median(peers)
        print(f"{where:<8}{mode:<7}{min(ours):>14.2f} /{mine:>6.2f}{min(peers):>14.2f} /{theirs:>6.2f}"
              f"{min(ours) / min(peers):>15.2f}{mine / theirs:>18.2f}")


if __name__ == "__main__":
    main()
