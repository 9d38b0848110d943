"""Reference and memory safety of readers and summaries.

Each check warms up first (caches, interned names, allocator pools), then runs
many rounds and compares against a tolerance far below one leak per round, so
a leak of a single reference or object per call shows while noise does not.
"""

from __future__ import annotations

import gc
import os
import pathlib
import sys
import tracemalloc

import pytest

import _brinewick_backend as bw
from _brinewick_backend import SalvageReader, SalvageSummary

ROUNDS = 400


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    root = tmp_path_factory.mktemp("refsafety")
    small = root / "small.csv"
    small.write_bytes(b"a,b,c\n1,2\n3,4,5,6\n\xff\xfe,x\n\xc3\xa9,\"q\"\"r\",s\n")
    return {"small": str(small), "dir": str(root), "missing": str(root / "absent.csv")}


def failing_calls(files: dict[str, str], args: dict[str, object]) -> list:
    """Calls that must raise, each with the exception type expected."""
    return [
        (FileNotFoundError, lambda: SalvageReader(files["missing"])),
        (IsADirectoryError, lambda: bw.open(files["dir"])),
        (OSError, lambda: bw.open(files["small"] + "\0")),
        (TypeError, lambda: SalvageReader()),
        (TypeError, lambda: bw.open(files["small"], bogus=1)),
        (TypeError, lambda: bw.open(files["small"], delimiter=args["delimiter"], quote_char=None)),
        (TypeError, lambda: SalvageReader(files["small"], fill_ragged_rows=args["flag"])),
        (OverflowError, lambda: bw.open(files["small"], expected_columns=args["negative"])),
        (UnicodeEncodeError, lambda: bw.open(args["surrogate"])),
        (TypeError, lambda: SalvageSummary()),
        (TypeError, lambda: bw.open(files["small"]).__exit__(1, 2, 3, 4)),
    ]


def exercise(files: dict[str, str], args: dict[str, object]) -> None:
    """One round over everything a reader offers, including failures."""
    for make in (SalvageReader, bw.open):
        reader = make(
            args["path"],
            delimiter=args["delimiter"],
            quote_char=args["quote"],
            fill_ragged_rows=True,
            merge_overflow=True,
            expected_columns=args["columns"],
            repair_quotes=False,
        )
        with reader as bound:
            assert len(bound) == 5
            summary = bound.summary
            summary.to_dict()
            repr(summary)
            summary.detected_delimiter
            for row in bound:
                row.append(None)
        assert reader.__exit__(None, None, None) is False
        for _ in range(2):
            try:
                next(reader)
            except StopIteration:
                pass
    try:
        with bw.open(args["path"], expected_columns=args["columns"]):
            raise KeyError("inside")
    except KeyError:
        pass
    for expected, call in failing_calls(files, args):
        try:
            call()
        except expected:
            pass
        else:  # pragma: no cover - the reader tests cover the messages
            raise AssertionError(f"{call} did not raise {expected}")


def make_args(files: dict[str, str]) -> dict[str, object]:
    # Mostly fresh objects built at run time, so each count is ours alone
    # (one-character strings are shared singletons; only growth matters).
    return {
        "path": files["small"][:-4] + ".csv",
        "delimiter": ",",
        "quote": '"',
        "columns": Index(int("3")),
        "negative": int("-123456789"),
        "flag": int("1000001"),
        "surrogate": "x\ud800" + str(os.getpid()),
    }


def test_exercise_is_sound(files):
    args = make_args(files)
    rows = list(bw.open(args["path"], expected_columns=args["columns"]))
    assert rows[2] == ["3", "4", "5,6"] and len(rows) == 5
    exercise(files, args)


def test_no_reference_leaks(files):
    args = make_args(files)
    shared = [SalvageReader, SalvageSummary, None, True, False, list, str, *args.values()]
    shared += [bw.open, KeyError, FileNotFoundError, "file_path", "summary"]
    for _ in range(20):
        exercise(files, args)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in shared]
    for _ in range(ROUNDS):
        exercise(files, args)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in shared]
    grown = {repr(obj): a - b for obj, a, b in zip(shared, after, before) if a - b > 5}
    assert grown == {}


def test_no_python_memory_growth(files):
    args = make_args(files)
    for _ in range(20):
        exercise(files, args)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(20):
            exercise(files, args)
        gc.collect()
        # A leak grows in every window; the interpreter's own caches (large
        # on some versions, 3.12 for one) fill once and then stay.
        growths = []
        for _ in range(4):
            start, _ = tracemalloc.get_traced_memory()
            for _ in range(ROUNDS):
                exercise(files, args)
            gc.collect()
            end, _ = tracemalloc.get_traced_memory()
            growths.append(end - start)
            if growths[-1] < 10 * ROUNDS:
                break
    finally:
        tracemalloc.stop()
    # One leaked list, str, summary or exception per round is >= 40 bytes.
    assert min(growths) < 10 * ROUNDS, growths


def test_returned_objects_are_owned_by_the_caller(files):
    reader = bw.open(files["small"])
    summary = reader.summary
    assert sys.getrefcount(summary) == 2  # the name and the call's argument
    row = next(reader)
    assert sys.getrefcount(row) == 2
    assert all(sys.getrefcount(field) <= 3 for field in row if len(field) > 1)
    # Both classes join the collector but refer to nothing but their type.
    assert gc.is_tracked(reader) and gc.is_tracked(summary)
    assert gc.get_referents(reader) == [SalvageReader]
    assert gc.get_referents(summary) == [SalvageSummary]


def rss_bytes() -> int:
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
@pytest.mark.skipif(os.environ.get("BRINEWICK_UNDER_ASAN") == "1",
                    reason="AddressSanitizer holds freed memory in its quarantine, so RSS keeps growing")
def test_native_memory_is_released(tmp_path: pathlib.Path):
    # About 1 MiB of rows per reader: a reader whose native rows outlive it
    # would add that much per round, far above allocator noise.
    line = b"alpha,\xc3\xa9t\xc3\xa9,\"quoted, field\",1234567890\n"
    path = tmp_path / "big.csv"
    path.write_bytes(line * (2**20 // len(line)))
    rounds = 60

    def one_round() -> None:
        reader = bw.open(str(path))
        for row in reader:
            pass
        reader.summary
        SalvageReader(str(path), expected_columns=2)
        try:
            bw.open(str(path), expected_columns=-1)
        except OverflowError:
            pass

    for _ in range(5):
        one_round()
    gc.collect()
    start = rss_bytes()
    for _ in range(rounds):
        one_round()
    gc.collect()
    grown = rss_bytes() - start
    assert grown < 16 * 2**20, f"RSS grew by {grown} bytes over {rounds} rounds"


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs Linux /proc")
def test_no_descriptor_leaks(files):
    def open_descriptors() -> int:
        return len(os.listdir("/proc/self/fd"))

    for _ in range(5):
        exercise(files, make_args(files))
    before = open_descriptors()
    args = make_args(files)
    for _ in range(200):
        bw.open(files["small"])
        try:
            bw.open(files["dir"])  # opened, then the read fails
        except IsADirectoryError:
            pass
        exercise(files, args)
    assert open_descriptors() - before <= 2
