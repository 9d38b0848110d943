#!/usr/bin/env python3
"""The cost of decoding: a legacy export against the same text in UTF-8, and
the encoding sample on a clean file.

Times, in one run and interleaved (brinewick.salvage, jobs=1, durable=False):
  utf-8 text      the messy file's text as UTF-8, encoding="auto"
  cp1252 text     the same text as windows-1252 (the whole file is decoded
                  from it), encoding="auto"; goal: at most 1.3x utf-8 text
  clean, utf-8    a clean file read as it stands, encoding="utf-8"
  clean, auto     the same file, encoding="auto" (reads and judges the first
                  MiB before anything else); goal: no difference the machine
                  resolves

The text of both legacy inputs is the generated messy file's, decoded as
UTF-8 (ill-formed bytes as U+FFFD) and written as cp1252 (characters it lacks
as '?') and as UTF-8, so both hold the same characters.
"""

from __future__ import annotations

import os
import tempfile

from bench_common import (
    DATA_DIR, ensure_data, load_line, parse_arguments, prepare_input, print_timings, release_memory,
    run_interleaved, warm_cache,
)


def main() -> int:
    args = parse_arguments(__doc__, 48.0)
    path, size = prepare_input(args)
    import brinewick

    clean = ensure_data("clean", args.size_mb, args.seed)
    warm_cache(clean)
    os.makedirs(DATA_DIR, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench_encodings_", dir=DATA_DIR) as tmp:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        legacy = os.path.join(tmp, "cp1252.csv")
        utf8 = os.path.join(tmp, "utf8.csv")
        with open(legacy, "wb") as f:
            f.write(text.encode("cp1252", "replace"))
        with open(utf8, "wb") as f:
            f.write(text.encode("cp1252", "replace").decode("cp1252").encode("utf-8"))
        del text
        out = os.path.join(tmp, "out.csv")

        def salvage(source: str, encoding: str):
            return lambda: brinewick.salvage(source, out, encoding=encoding, jobs=1, durable=False)

        first = brinewick.salvage(legacy, out, jobs=1, durable=False)
        print(f"cp1252 input read as {first.encoding!r}: {first.total_rows} rows")
        timings = run_interleaved([
            ("utf-8 text", salvage(utf8, "auto")),
            ("cp1252 text", salvage(legacy, "auto")),
            ("clean, utf-8", salvage(clean, "utf-8")),
            ("clean, auto", salvage(clean, "auto")),
        ], args.reps, before=lambda _: release_memory())
        print(f"legacy pair: utf-8 {os.path.getsize(utf8)} bytes, cp1252 {os.path.getsize(legacy)} bytes")
        print_timings(timings[:2], os.path.getsize(legacy))
        print(f"clean file {clean}: {os.path.getsize(clean)} bytes")
        print_timings(timings[2:], os.path.getsize(clean))
        by = {t.name: t for t in timings}
        ratio = by["cp1252 text"].best / by["utf-8 text"].best
        print(f"cp1252 / utf-8 time (best): {ratio:.3f}x (goal <= 1.3x)"
              f"; median {by['cp1252 text'].median / by['utf-8 text'].median:.3f}x")
        sample = by["clean, auto"].best - by["clean, utf-8"].best
        print(f"encoding sample on the clean file: {sample * 1000:+.1f} ms best, "
              f"{(by['clean, auto'].median - by['clean, utf-8'].median) * 1000:+.1f} ms median "
              f"(spread of clean, utf-8: {(max(by['clean, utf-8'].seconds) - by['clean, utf-8'].best) * 1000:.1f} ms)")
    print(f"after: {load_line()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
