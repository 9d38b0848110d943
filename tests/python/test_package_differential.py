"""brinewick.salvage streams its input in chunks; _brinewick_backend.salvage_file reads it whole.
Both must give the same clean bytes, the same six counters and the same set-aside rows, however
the input is cut into reads. Tiny read sizes put every quote, CR LF pair, multi-byte character
and byte-order mark across a read boundary somewhere.

Hypothesis runs derandomized (a failure prints its example and replays identically); the
seeded random test prints its seed.
"""
from __future__ import annotations

import csv
import io
import os
import random
from pathlib import Path

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _brinewick_backend as backend
import brinewick
from brinewick._api import _salvage

SETTINGS = settings(max_examples=150, derandomize=True, deadline=None, database=None)
BOM = b"\xef\xbb\xbf"
COUNTERS = ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows",
            "detected_delimiter", "inferred_columns")
OPTION_DEFAULTS = dict(delimiter=None, quote_char='"', fill_ragged_rows=True, merge_overflow=True,
                       expected_columns=None, repair_quotes=True)


@pytest.fixture(scope="module")
def work(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("differential")


def quarantine_records(data: bytes, header: list) -> list:
    rows = list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""), strict=True))
    assert rows[0] == header
    return rows[1:]


def valid_utf8(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def compare(work: Path, data: bytes, options: dict, read_size: int, jobs=None) -> None:
    """Runs both salvages over `data` and asserts they agree: the package
    reading the bytes as they stand (encoding="utf-8") always, and deciding
    the encoding itself too when `data` is valid UTF-8 (without NUL bytes,
    whose pattern may name UTF-16), which must change nothing."""
    encodings = ["utf-8", "auto"] if valid_utf8(data) and b"\0" not in data else ["utf-8"]
    for encoding in encodings:
        compare_once(work, data, options, read_size, jobs, encoding)


def compare_once(work: Path, data: bytes, options: dict, read_size: int, jobs, encoding: str) -> None:
    src = work / "in.csv"
    src.write_bytes(data)
    ref_out, ref_q = work / "ref.csv", work / "ref_q.csv"
    out, q = work / "out.csv", work / "q.csv"
    expected = backend.salvage_file(str(src), str(ref_out), str(ref_q), **options)
    got = _salvage(src, out, quarantine=q, changes=None, progress=None, durable=False, repair="literal",
                   blank_lines="keep", header_row=0, repeated_headers="keep", read_size=read_size, jobs=jobs, encoding=encoding, **{**OPTION_DEFAULTS, **options})
    context = f"input={data[:200]!r} options={options} read_size={read_size} jobs={jobs} encoding={encoding}"
    assert out.read_bytes() == ref_out.read_bytes(), context
    assert {k: getattr(got, k) for k in COUNTERS} == \
        {k: getattr(expected, k) for k in COUNTERS}, context
    assert got.bytes_read == len(data), context
    # The same rows set aside, on the same lines, for the same reasons.
    ours = [(r[0], r[2]) for r in quarantine_records(q.read_bytes(), list(brinewick.QUARANTINE_COLUMNS))]
    theirs = [(r[0], r[1]) for r in quarantine_records(ref_q.read_bytes(),
                                                       ["line", "reason", "raw_content"])]
    assert ours == theirs, context


# ---------------------------------------------------------------- random damage, random options

TOKENS = [b'"', b'"', b"'", b",", b",", b";", b"\t", b"|", b"\r", b"\n", b"\n", b"\r\n", b" ",
          b"a", b"b", b"xy", "\u00e9".encode(), "\u4e2d".encode(), "\U0001f600".encode(), b"\xff",
          b"\xc3", b"\xe4\xb8", BOM, b'""', b'"a"', b"\r\r\n"]
damaged = st.lists(st.sampled_from(TOKENS), max_size=60).map(b"".join)
options_st = st.fixed_dictionaries({}, optional={
    "delimiter": st.sampled_from([None, ",", ";", "\t", "|", " "]),
    "quote_char": st.sampled_from(['"', "'"]),
    "fill_ragged_rows": st.booleans(),
    "merge_overflow": st.booleans(),
    "repair_quotes": st.booleans(),
    "expected_columns": st.sampled_from([None, 0, 1, 2, 3, 5]),
})


@SETTINGS
@given(data=damaged, options=options_st, read_size=st.sampled_from([1, 2, 3, 4, 7, 64, 1 << 20]))
def test_same_answers_as_the_backend(work, data, options, read_size):
    assume(options.get("delimiter") != options.get("quote_char", '"'))
    compare(work, data, options, read_size)


def test_seeded_long_inputs(work):
    """Longer inputs than hypothesis builds, so rows span many reads of every size."""
    seed = int.from_bytes(os.urandom(4), "little")
    print(f"seed {seed}")
    rng = random.Random(seed)
    for _ in range(12):
        data = b"".join(rng.choice(TOKENS) for _ in range(rng.randrange(200, 2000)))
        options = {"repair_quotes": rng.random() < 0.7,
                   "fill_ragged_rows": rng.random() < 0.7,
                   "merge_overflow": rng.random() < 0.7}
        for read_size in (1, 5, 13, 256):
            compare(work, data, options, read_size)


# ---------------------------------------------------------------- every boundary, on purpose

# Each piece is placed after every prefix length up to the read size, so that
# for each read size the piece straddles the boundary at each of its inner
# positions (and starts and ends exactly on it).
PIECES = {
    "doubled quote": b'x,"a""b",c\n',
    "stray quote": b'x,"a"b",c\n',
    "text after quote": b'x,"a"b,c\n',
    "quoted line break": b'x,"a\r\nb",c\n',
    "CR LF": b"x,y,z\r\n",
    "lone CR then LF row": b"x,y,z\r\n\r\nq,r,s\n",
    "two-byte char": "x,\u00e9,z\n".encode(),
    "three-byte char": "x,\u4e2d,z\n".encode(),
    "four-byte char": "x,\U0001f600,z\n".encode(),
    "truncated char": b"x,\xe4\xb8,z\n",
    "BOM mid-file": b"x," + BOM + b",z\n",
    "unclosed quote at end": b'x,"never closed\nmore,rows,here\n',
}
READ_SIZES = [1, 2, 3, 4, 5, 8]


@pytest.mark.parametrize("read_size", READ_SIZES)
@pytest.mark.parametrize("piece", list(PIECES), ids=list(PIECES))
@pytest.mark.parametrize("repair", [True, False], ids=["repair", "no-repair"])
def test_piece_across_every_boundary(work, piece, read_size, repair):
    head = b"a,b,c\n"
    for pad in range(read_size + 1):
        data = head + b"p" * pad + b",q,r\n" + PIECES[piece] + b"1,2,3\n"
        compare(work, data, {"repair_quotes": repair}, read_size)


@pytest.mark.parametrize("read_size", [1, 2, 3, 4])
@pytest.mark.parametrize("body", [b"a,b\n1,2\n", b'"a",b\r\n1,2\r\n', b"", b"\n", b'"'],
                         ids=["plain", "quoted-crlf", "empty", "blank", "quote"])
def test_leading_bom_split_across_reads(work, read_size, body):
    compare(work, BOM + body, {}, read_size)
    # A partial mark is not a mark: its bytes are invalid UTF-8 in the first field.
    compare(work, BOM[:2] + body, {}, read_size)


@pytest.mark.parametrize("read_size", [1, 3, 4096])
def test_sniffing_and_inference_prefix_is_longer_than_a_read(work, read_size):
    # Sniffing and inference look at their first rows only; those rows span many reads here.
    rows = [b";".join(b"f%d" % (i * 7 + j) for j in range(7)) for i in range(150)]
    rows[120] = b"short;row"
    compare(work, b"\n".join(rows) + b"\n", {}, read_size)
    compare(work, b"\n".join(rows) + b"\n", {"fill_ragged_rows": False}, read_size)


@pytest.mark.parametrize("read_size", [1, 7, 1 << 16])
def test_row_longer_than_many_reads(work, read_size):
    long_field = ("\u00e9" * 5000 + '"' + "z" * 3000).encode()
    data = b'id,text\n1,"' + long_field + b'"\n2,"a\nb"\n3,x,y\n'
    compare(work, data, {}, read_size)
    compare(work, data, {"merge_overflow": False}, read_size)


# Kept rows are copied through as they stand; one longer than the writer's
# 256 KiB buffer goes around it, in one thread and in the pipeline alike.
@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("end", [b"\n", b"\r\n", b"\r"], ids=["lf", "crlf", "cr"])
@pytest.mark.parametrize("field", [b"p" * 300_000, b'"' + b"q," * 150_000 + b'"', b'"' + b'q""' * 100_000 + b'"',
                                   b"\xc3\xa9" * 150_000], ids=["plain", "delimiters", "doubled", "utf8"])
def test_kept_line_longer_than_the_output_buffer(work, jobs, end, field):
    data = end.join([b"a,b,c", b"1," + field + b",3", b"4,5,6", b"7," + field + b",9", b""])
    compare(work, data, {}, 1 << 16, jobs=jobs)
