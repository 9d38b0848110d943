"""brinewick.salvage with several threads gives byte for byte what one thread gives: clean,
quarantine and changes files and the summary, for any input and options. Tiny chunk sizes put
every quoted field, CR LF pair and row across chunk boundaries.

Hypothesis runs derandomized (a failure prints its example); the seeded test prints its seed.
"""
from __future__ import annotations

import csv
import io
import os
import random
import threading
from pathlib import Path

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import brinewick
from brinewick._api import _salvage
from salvage_strategies import salvage_options

SETTINGS = settings(max_examples=120, derandomize=True, deadline=None, database=None)
BOM = b"\xef\xbb\xbf"
OPTION_DEFAULTS = dict(delimiter=None, quote_char='"', fill_ragged_rows=True, merge_overflow=True,
                       expected_columns=None, repair_quotes=True)
TOKENS = [b'"', b'"', b'"', b",", b",", b";", b"\r", b"\n", b"\n", b"\r\n", b" ", b"a", b"xy",
          "\u00e9".encode(), b"\xff", b"\xc3", BOM, b'""', b'"a"', b"\r\r\n", b'",', b'"\n']


@pytest.fixture(scope="module")
def work(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("parallel")


def run(work: Path, src: Path, tag: str, options: dict, jobs: int, chunk_size: int) -> tuple:
    out, q, c = work / f"{tag}.csv", work / f"{tag}_q.csv", work / f"{tag}_c.csv"
    summary = _salvage(src, out, quarantine=q, changes=c, progress=None, durable=False,
                       read_size=7, jobs=jobs, chunk_size=chunk_size,
                       **{**OPTION_DEFAULTS, **options}).to_dict()
    summary.pop("elapsed", None)
    return summary, out.read_bytes(), q.read_bytes(), c.read_bytes()


def compare(work: Path, data: bytes, options: dict, jobs: int, chunk_size: int) -> None:
    src = work / "in.csv"
    src.write_bytes(data)
    one = run(work, src, "one", options, 1, 1 << 20)
    many = run(work, src, "many", options, jobs, chunk_size)
    assert many == one, f"input={data!r} options={options} jobs={jobs} chunk_size={chunk_size}"


options_st = salvage_options(['"', "'"])


@SETTINGS
@given(data=st.lists(st.sampled_from(TOKENS), max_size=80).map(b"".join), options=options_st,
       jobs=st.sampled_from([2, 3, 4, 8]), chunk_size=st.sampled_from([1, 2, 3, 5, 16, 4096]))
def test_threads_give_what_one_thread_gives(work, data, options, jobs, chunk_size):
    assume(options.get("quote_char", '"') != ",")
    compare(work, data, options, jobs, chunk_size)


def test_seeded_longer_inputs(work):
    seed = int.from_bytes(os.urandom(4), "little")
    print(f"seed {seed}")
    rng = random.Random(seed)
    for _ in range(10):
        rows = []
        for _ in range(rng.randrange(50, 400)):
            fields = [rng.choice([b"v", b'"q,""x"', b'"multi\nline"', b'"open', b"\xff", b'"a"b'])
                      for _ in range(rng.randrange(1, 5))]
            rows.append(b",".join(fields) + rng.choice([b"\n", b"\r\n", b"\r"]))
        compare(work, b"".join(rows), {}, rng.choice([2, 3, 4, 8]), rng.randrange(1, 300))


def test_fifo_matches_a_regular_file(work, tmp_path):
    rng = random.Random(3)
    data = b"".join(rng.choice(TOKENS) for _ in range(60000))
    src = work / "in.csv"
    src.write_bytes(data)
    one = run(work, src, "one", {}, 1, 1 << 20)
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)

    def feed() -> None:
        with open(fifo, "wb") as pipe:
            for at in range(0, len(data), 4099):
                pipe.write(data[at:at + 4099])
                pipe.flush()

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        many = run(work, fifo, "many", {}, 3, 1000)
    finally:
        feeder.join()
    assert many == one


@pytest.mark.parametrize("jobs, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError),
                                         (True, TypeError), ("2", TypeError)])
def test_bad_jobs_are_refused_before_anything_is_written(tmp_path, jobs, error):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n1,2\n")
    with pytest.raises(error, match="jobs"):
        brinewick.salvage(src, tmp_path / "out.csv", jobs=jobs)
    assert not (tmp_path / "out.csv").exists()


# A run of rows with the same bytes is read at once; each still gets its own
# record, on its own line and at its own offset, whatever the threads.
@pytest.mark.parametrize("jobs, chunk_size", [(1, 1 << 20), (2, 5), (3, 64)])
@pytest.mark.parametrize("unit, options, kind", [
    (b"\n", {}, "blank_line"),
    (b"\r\n", {}, "blank_line"),
    (b"\r", {}, "blank_line"),
    (b"x\n", {}, "padded"),
    (b"1,2,3,4\n", {}, "merged"),
    (b"1,2,3,4\n", {"merge_overflow": False}, None),
], ids=["lf", "crlf", "cr", "padded", "merged", "quarantined"])
def test_repeated_rows_keep_their_own_lines_and_offsets(work, unit, options, kind, jobs, chunk_size):
    head, copies = b"a,b,c\n", 500
    src = work / "repeated.csv"
    src.write_bytes(head + unit * copies + b"d,e,f\n")
    summary, _, quarantine, changes = run(work, src, "repeated", {"expected_columns": 3, **options}, jobs,
                                          chunk_size)
    records = list(csv.reader(io.StringIO((changes if kind else quarantine).decode(), newline="")))[1:]
    assert [(int(r[0]), int(r[1])) for r in records] == \
        [(2 + i, len(head) + i * len(unit)) for i in range(copies)]
    if kind:
        assert {r[2] for r in records} == {kind}
    assert summary["total_rows"] == copies + 2
