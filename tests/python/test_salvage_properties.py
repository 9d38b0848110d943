"""Randomised checks of salvage_file: Python's csv module reads the clean file back exactly as
the reader yields it, the summary and quarantine invariants hold, and a plain Python model of
the rules agrees byte for byte on quote-free input.

Example generation is derandomized, so every run sees the same cases; a failure prints the
falsifying example and replays identically.
"""
from __future__ import annotations

import csv
import io
import math
import re
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _brinewick_backend as bw

SETTINGS = settings(max_examples=200, derandomize=True, deadline=None, database=None)
BOM = b"\xef\xbb\xbf"
FEW = "Row has too few columns (expected {})"
EXTRA = "Row has extra columns (expected {})"
# Unicode White_Space (unlike str.isspace, U+001C..U+001F are not in it).
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
               "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


@pytest.fixture(scope="module")
def work(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("props")


def quote_byte(options: dict) -> int:
    q = options.get("quote_char", '"')
    return q.encode()[0] if q else 0x22


def salvage_both(work: Path, data: bytes, options: dict):
    """Runs salvage_file with a quarantine path and the reader over the same input."""
    src, out, qpath = work / "in.csv", work / "out.csv", work / "q.csv"
    src.write_bytes(data)
    summary = bw.salvage_file(str(src), str(out), str(qpath), **options)
    reader = bw.open(str(src), **options)
    return summary, out.read_bytes(), qpath.read_bytes(), reader


# ---------------------------------------------------------------- damaged input, any options

TOKENS = [b'"', b'"', b"'", b",", b",", b";", b"\t", b"|", b"\r", b"\n", b"\n", b"\r\n", b" ",
          b"a", b"b", b"xy", "\u00e9".encode(), "\u4e2d".encode(), b"\xff", b"\xc3", BOM,
          b"\xa0", "\u3000".encode()]
damaged = st.lists(st.sampled_from(TOKENS), max_size=80).map(b"".join)
options_st = st.fixed_dictionaries({}, optional={
    "delimiter": st.sampled_from([None, "", ",", ";", "\t", "|", ";;", "\u00e9"]),
    "quote_char": st.sampled_from(['"', "'", "", "'x", "\u00e9"]),
    "fill_ragged_rows": st.booleans(),
    "merge_overflow": st.booleans(),
    "repair_quotes": st.booleans(),
    "expected_columns": st.sampled_from([None, 0, 1, 2, 3, 5]),
})


def delimiter_byte(options: dict):
    d = options.get("delimiter")
    return d.encode()[0] if d else None


@SETTINGS
@given(data=damaged, options=options_st)
def test_clean_file_reads_back_as_the_reader_rows(work, data, options):
    assume(delimiter_byte(options) != quote_byte(options))
    summary, clean, _, reader = salvage_both(work, data, options)
    rows = list(reader)
    parsed = list(csv.reader(io.StringIO(clean.decode("utf-8"), newline=""), strict=True,
                             delimiter=summary.detected_delimiter,
                             quotechar=chr(quote_byte(options))))
    # A row of one empty field is written as an empty line, which csv reads as [].
    assert parsed == [[] if r == [""] else r for r in rows]
    assert reader.summary.to_dict() == summary.to_dict()
    assert len(reader) == summary.salvaged_rows == len(rows)


@SETTINGS
@given(data=damaged, options=options_st)
def test_summary_and_quarantine_invariants(work, data, options):
    assume(delimiter_byte(options) != quote_byte(options))
    summary, clean, quarantine, reader = salvage_both(work, data, options)
    rows = list(reader)
    s = summary
    assert s.total_rows == s.salvaged_rows + s.quarantined_rows
    assert s.repaired_rows <= s.salvaged_rows
    E = s.inferred_columns
    if E:
        assert all(len(r) == E for r in rows)
    if E == 0:
        assert s.repaired_rows == s.quarantined_rows == 0
    if options.get("fill_ragged_rows", True) and options.get("merge_overflow", True):
        assert s.quarantined_rows == 0
    if not options.get("fill_ragged_rows", True) and not options.get("merge_overflow", True):
        assert s.repaired_rows == 0
    if data == b"":
        assert (s.total_rows, s.detected_delimiter, E) == (0, ",", 0)
        assert clean == b""
    else:
        if delimiter_byte(options) is not None:
            assert s.detected_delimiter == chr(delimiter_byte(options))
        if options.get("expected_columns") is not None:
            assert E == options["expected_columns"]
    assert len(s.detected_delimiter) == 1

    records = list(csv.reader(io.StringIO(quarantine.decode("utf-8"), newline=""), strict=True))
    assert records[0] == ["line", "reason", "raw_content"]
    records = records[1:]
    assert len(records) == s.quarantined_rows
    lines = [int(r[0]) for r in records]
    assert all(str(n) == r[0] for n, r in zip(lines, records))  # decimal, no leading zeros
    assert lines == sorted(set(lines))  # strictly increasing: one row per starting line
    breaks = data.count(b"\n") + data.count(b"\r")
    assert all(1 <= n <= breaks + 1 for n in lines)
    allowed = set()
    if not options.get("fill_ragged_rows", True):
        allowed.add(FEW.format(E))
    if not options.get("merge_overflow", True):
        allowed.add(EXTRA.format(E))
    assert all(len(r) == 3 and r[1] in allowed for r in records)


@SETTINGS
@given(data=damaged, options=options_st)
def test_salvaging_the_clean_file_again_changes_nothing(work, data, options):
    assume(delimiter_byte(options) != quote_byte(options))
    summary, clean, _, _ = salvage_both(work, data, options)
    delimiter = summary.detected_delimiter
    q = quote_byte(options)
    # A non-ASCII separator is written as two bytes and cannot be re-read as
    # one; a leading U+FEFF in the first field would be taken for a BOM.
    assume(ord(delimiter) < 0x80 and q < 0x80 and not clean.startswith(BOM))
    again = {
        "delimiter": delimiter,
        "quote_char": chr(q),
        "expected_columns": summary.inferred_columns,
    }
    summary2, clean2, quarantine2, _ = salvage_both(work, clean, again)
    assert clean2 == clean
    assert (summary2.total_rows, summary2.salvaged_rows, summary2.repaired_rows,
            summary2.quarantined_rows) == (summary.salvaged_rows,) * 2 + (0, 0)
    assert quarantine2 == b"line,reason,raw_content\n"


# ---------------------------------------------------------------- valid RFC 4180 round trip

cell = st.text(alphabet=list("ab ,;|\t\"'\n\r\u00e9\u4e2d"), max_size=6)


@st.composite
def tables(draw):
    width = draw(st.integers(1, 5))
    rows = draw(st.lists(st.lists(cell, min_size=width, max_size=width), min_size=1, max_size=12))
    delimiter = draw(st.sampled_from([",", ";", "|", "\t"]))
    quote = draw(st.sampled_from(['"', "'"]))
    return rows, delimiter, quote


def csv_line(row, delimiter, quote, terminator) -> str:
    buf = io.StringIO()
    csv.writer(buf, delimiter=delimiter, quotechar=quote, lineterminator=terminator).writerow(row)
    return buf.getvalue()


@SETTINGS
@given(table=tables(), repair=st.booleans())
def test_valid_csv_round_trips(work, table, repair):
    rows, delimiter, quote = table
    # CR LF as terminator makes csv quote fields holding CR or LF, as ours does.
    data = "".join(csv_line(r, delimiter, quote, "\r\n") for r in rows).encode()
    expected = "".join("\n" if r == [""] else csv_line(r, delimiter, quote, "\r\n")[:-2] + "\n"
                       for r in rows).encode()
    options = {"delimiter": delimiter, "quote_char": quote, "expected_columns": len(rows[0]),
               "repair_quotes": repair, "fill_ragged_rows": False, "merge_overflow": False}
    summary, clean, quarantine, reader = salvage_both(work, data, options)
    assert clean == expected
    assert list(reader) == rows
    assert (summary.total_rows, summary.salvaged_rows, summary.repaired_rows,
            summary.quarantined_rows) == (len(rows), len(rows), 0, 0)


# ---------------------------------------------------------------- model of quote-free input


def model_rows(data: bytes) -> list:
    if data.startswith(BOM):
        data = data[3:]
    if not data:
        return []
    pieces = re.split(rb"\r\n|\r|\n", data)
    if data.endswith((b"\r", b"\n")):
        pieces.pop()
    return pieces


def model_fields(line: bytes, d: int) -> list:
    return [f.decode("utf-8", "replace") for f in line.split(bytes([d]))]


def is_blank(fields: list) -> bool:
    return len(fields) == 1 and fields[0].strip(WHITE_SPACE) == ""


def model_sniff(lines: list) -> int:
    best, best_d = -1.0, ord(",")
    for d in b",;\t|":
        counts = []
        for line in lines:
            f = model_fields(line, d)
            if is_blank(f):
                continue
            counts.append(len(f))
            if len(counts) == 50:
                break
        score = 0.0
        if len(counts) >= 2:
            wide = [(m, c) for c, m in Counter(counts).items() if c >= 2]
            if wide:
                m, mode = max(wide)  # most frequent, then the wider
                score = (m / len(counts)) * max(math.log(mode), 1.0)
        if score > best:
            best, best_d = score, d
    return best_d


def model_infer(lines: list, d: int) -> int:
    hist: Counter = Counter()
    for line in lines:
        f = model_fields(line, d)
        if is_blank(f):
            continue
        hist[len(f)] += 1
        if sum(hist.values()) == 100:
            break
    return max(hist.items(), key=lambda kv: (kv[1], kv[0]))[0] if hist else 0


def model_salvage(data: bytes, options: dict):
    lines = model_rows(data)
    d = delimiter_byte(options)
    if not data:
        return b"", b"line,reason,raw_content\n", (0, 0, 0, 0, ",", 0)
    if d is None:
        d = model_sniff(lines)
    E = options.get("expected_columns")
    if E is None:
        E = model_infer(lines, d)
    dchar, qchar = chr(d), chr(quote_byte(options))
    clean, records, repaired = [], [], 0
    for number, line in enumerate(lines, start=1):  # no quotes: one row per line
        f = model_fields(line, d)
        if E == 0 or len(f) == E:
            clean.append(f)
        elif len(f) < E and options.get("fill_ragged_rows", True):
            clean.append(f + [""] * (E - len(f)))
            repaired += 1
        elif len(f) > E and options.get("merge_overflow", True):
            clean.append(f[:E - 1] + [dchar.join(f[E - 1:])])
            repaired += 1
        else:
            records.append((number, (FEW if len(f) < E else EXTRA).format(E), dchar.join(f)))

    def quote(field: str) -> str:
        if any(c in field for c in (qchar, dchar, "\n", "\r")):
            return qchar + field.replace(qchar, qchar * 2) + qchar
        return field

    clean_text = "".join(dchar.join(quote(x) for x in row) + "\n" for row in clean)
    quarantine_text = "line,reason,raw_content\n" + "".join(
        f'{n},"{reason}","{raw.replace(chr(34), chr(34) * 2)}"\n' for n, reason, raw in records)
    counts = (len(lines), len(clean), repaired, len(records), dchar, E)
    return clean_text.encode(), quarantine_text.encode(), counts


PLAIN_TOKENS = [b",", b",", b";", b"\t", b"|", b"\r", b"\n", b"\n", b"\r\n", b" ", b"a", b"b",
                "\u00e9".encode(), b"\xff", BOM, "\u3000".encode(), b"\x1f", "\u00a0".encode()]
plain = st.lists(st.sampled_from(PLAIN_TOKENS), max_size=120).map(b"".join)
plain_options = st.fixed_dictionaries({}, optional={
    "delimiter": st.sampled_from([None, ",", ";", "\t", "|", "\u00e9"]),
    "quote_char": st.sampled_from(['"', "'"]),
    "fill_ragged_rows": st.booleans(),
    "merge_overflow": st.booleans(),
    "repair_quotes": st.booleans(),
    "expected_columns": st.sampled_from([None, 0, 1, 2, 3, 4]),
})


@SETTINGS
@given(data=plain, options=plain_options)
def test_quote_free_input_matches_the_model(work, data, options):
    summary, clean, quarantine, reader = salvage_both(work, data, options)
    exp_clean, exp_quarantine, exp_counts = model_salvage(data, options)
    got = (summary.total_rows, summary.salvaged_rows, summary.repaired_rows,
           summary.quarantined_rows, summary.detected_delimiter, summary.inferred_columns)
    assert got == exp_counts
    assert clean == exp_clean
    assert quarantine == exp_quarantine
