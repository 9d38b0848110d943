"""The quarantine and changes files: strict CSV, lossless, one exact record per change."""
from __future__ import annotations

import csv
import io
from pathlib import Path

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _brinewick_backend as backend
import brinewick
from brinewick._api import _salvage

SETTINGS = settings(max_examples=150, derandomize=True, deadline=None, database=None)
BOM = b"\xef\xbb\xbf"


def read_csv(data: bytes, delimiter: str = ",", quote: str = '"') -> list:
    return list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""), strict=True,
                           delimiter=delimiter, quotechar=quote))


def run(tmp: Path, data: bytes, read_size: int = 1 << 20, **options):
    """Records of the bytes read as they stand (offsets are the file's;
    decoding other encodings is test_encodings.py's)."""
    src, out, q, ch = tmp / "in.csv", tmp / "out.csv", tmp / "q.csv", tmp / "ch.csv"
    src.write_bytes(data)
    full = dict(delimiter=None, quote_char='"', fill_ragged_rows=True, merge_overflow=True,
                expected_columns=None, repair_quotes=True, encoding="utf-8")
    full.update(options)
    summary = _salvage(src, out, quarantine=q, changes=ch, progress=None, durable=False,
                       read_size=read_size, **full)
    quarantine = read_csv(q.read_bytes())
    changes = read_csv(ch.read_bytes())
    assert quarantine[0] == list(brinewick.QUARANTINE_COLUMNS)
    assert changes[0] == list(brinewick.CHANGES_COLUMNS)
    return summary, out.read_bytes(), quarantine[1:], changes[1:]


@pytest.fixture(scope="module")
def work(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("records")


# ---------------------------------------------------------------- the lossless quarantine

TOKENS = [b'"', b'"', b",", b",", b",", b";", b"\r", b"\n", b"\n", b"\r\n", b" ", b"a", b"bc",
          "\u00e9".encode(), "\u4e2d".encode(), b"\xff", b"\xc3", BOM, b'"x"']
damaged = st.lists(st.sampled_from(TOKENS), max_size=70).map(b"".join)


@SETTINGS
@given(data=damaged, repair=st.booleans(), read_size=st.sampled_from([1, 3, 1 << 20]),
       expected=st.sampled_from([None, 1, 2, 3]))
def test_quarantine_raw_is_the_input_text(work, data, repair, read_size, expected):
    summary, _, records, _ = run(work, data, read_size, fill_ragged_rows=False,
                                 merge_overflow=False, repair_quotes=repair,
                                 expected_columns=expected)
    assert len(records) == summary.quarantined_rows
    text = data.decode("utf-8", "replace")
    for line, offset, reason, want, found, raw in records:
        # Every raw is the input's own text, found where the record says it starts.
        assert raw in text
        assert data[int(offset):].decode("utf-8", "replace").startswith(raw), (offset, raw)
        assert reason.startswith("Row has") or reason in ("preamble", "repeated_header")
        # The counts say in numbers what the reason says in words.
        assert int(want) == summary.inferred_columns
        if reason.startswith("Row has too few"):
            assert int(found) < int(want)
        elif reason.startswith("Row has extra"):
            assert int(found) > int(want)
    # Line numbers are checked against the backend's in the differential test.
    offsets = [int(r[1]) for r in records]
    assert offsets == sorted(set(offsets))


@SETTINGS
@given(data=damaged, repair=st.booleans())
def test_quarantine_raw_reparses_to_the_backend_fields(work, data, repair):
    # The backend records the parsed fields joined by the delimiter (lossy);
    # ours keeps the text those fields came from: parsing it alone gives them back.
    src = work / "in.csv"
    src.write_bytes(data)
    options = dict(fill_ragged_rows=False, merge_overflow=False, repair_quotes=repair)
    ref = backend.salvage_file(str(src), str(work / "ref.csv"), str(work / "ref_q.csv"), **options)
    theirs = read_csv((work / "ref_q.csv").read_bytes())[1:]
    summary, _, ours, _ = run(work, data, repair="literal", blank_lines="keep", header_row=0,
                              repeated_headers="keep", **options)
    assert len(ours) == len(theirs) == ref.quarantined_rows
    delimiter = summary.detected_delimiter
    for (*_, found, raw), (_, _, raw_content) in zip(ours, theirs):
        if raw.startswith("\ufeff"):
            continue  # alone in a file, a leading U+FEFF would be read as a byte-order mark
        alone = work / "alone.csv"
        alone.write_bytes(raw.encode())
        backend.salvage_file(str(alone), str(work / "alone_out.csv"), delimiter=delimiter,
                             expected_columns=0, repair_quotes=repair)
        rows = read_csv((work / "alone_out.csv").read_bytes(), delimiter)
        fields = rows[0] if rows else [""]
        assert delimiter.join(fields) == raw_content, (raw, raw_content)
        assert int(found) == len(fields), raw


# ---------------------------------------------------------------- one exact record per change

P, M, SQ, TAQ, UQ, U8, BL = ("padded", "merged", "stray_quote", "text_after_quote",
                             "unclosed_quote", "invalid_utf8", "blank_line")
CHANGE_CASES = [
    # input, options, change records, changed rows
    (b"a,b,c\n1,2\n", {}, [["2", "6", P, "", "3", "2", "2 of 3 fields; 1 empty field added"]], 1),
    (b"a,b,c\n1,2,3,4,5\n", {"expected_columns": 3},
     [["2", "6", M, "", "3", "5", "5 fields; fields 3-5 joined into field 3"]], 1),
    (b'a,b\n"x"y",z\n', {}, [["2", "4", SQ, "", "", "", "1 quote kept as text"]], 1),
    (b'a,b\n"x"y","q"r" s"\n', {}, [["2", "4", SQ, "", "", "", "3 quotes kept as text"]], 1),
    (b'a,b\n"x"y,z\n', {}, [["2", "4", TAQ, "", "", "", "text after a closing quote kept in 1 field"]], 1),
    (b'a,b\n1,"x\ny\nz\n', {"repair": "literal"},
     [["2", "4", UQ, "", "", "", "quoted field ran to the end of the input over 3 lines"]], 1),
    (b'a,b\n1,"x\ny,1\n', {},
     [["2", "4", "requoted", "", "2", "2", "1 quote read otherwise to fit 2 fields"],
      ["2", "4", "quote_contained", "", "", "", "quote opened on this line ran on over 2 lines; row ended at its line break"]], 1),
    (b"a,b\n1,2\n3,4,,\n", {}, [["3", "8", "trailing_empty", "", "2", "4", "2 empty fields dropped at the end of the row"]], 1),
    (b"a,b\n\xff\xfe,\xc3z\n", {}, [["2", "4", U8, "", "", "", "3 invalid byte sequences replaced"]], 1),
    (b"a,b\n\n1,2\n", {"blank_lines": "keep"}, [["2", "4", BL, "", "2", "1", "blank line written as 2 empty fields"]], 1),
    (b"a,b\n\n1,2\n", {}, [["2", "4", BL, "", "", "", "blank line skipped"]], 0),
    # Offsets count every byte of the file, the byte-order mark and CR included.
    (b"\xef\xbb\xbfa,b\r\n1\r\n", {}, [["2", "8", P, "", "2", "1", "1 of 2 fields; 1 empty field added"]], 1),
    # Several changes to one row: one record each, one changed row.
    (b"a;b\r\n\r\n1;\xff2;3\r\n", {"expected_columns": 2, "blank_lines": "keep"},
     [["2", "5", BL, "", "2", "1", "blank line written as 2 empty fields"],
      ["3", "7", M, "", "2", "3", "3 fields; fields 2-3 joined into field 2"],
      ["3", "7", U8, "", "", "", "1 invalid byte sequence replaced"]], 2),
    # No change, no record: doubled quotes and quoted delimiters are plain CSV.
    (b'a,b\n"x""y","p,q"\n', {}, [], 0),
    # With repair off, a quote that would be stray closes the field instead.
    (b'a,b\n"x"y",z\n', {"repair_quotes": False},
     [["2", "4", TAQ, "", "", "", "text after a closing quote kept in 1 field"]], 1),
]


@pytest.mark.parametrize("read_size", [1, 1 << 20])
@pytest.mark.parametrize("data, options, expected, changed", CHANGE_CASES,
                         ids=[repr(c[0]) for c in CHANGE_CASES])
def test_each_change_has_its_exact_record(work, data, options, expected, changed, read_size):
    summary, _, _, records = run(work, data, read_size, **options)
    assert records == expected
    assert summary.changed_rows == changed
    counts = {kind: n for kind, n in summary.changes.items() if n}
    expected_counts: dict = {}
    for record in expected:
        expected_counts[record[2]] = expected_counts.get(record[2], 0) + 1
    assert counts == expected_counts


@SETTINGS
@given(data=damaged, read_size=st.sampled_from([1, 4, 1 << 20]), blank_lines=st.sampled_from(["skip", "keep"]))
def test_changes_agree_with_the_counters(work, data, read_size, blank_lines):
    summary, clean, _, records = run(work, data, read_size, blank_lines=blank_lines)
    kinds = [r[2] for r in records]
    assert {k: kinds.count(k) for k in brinewick.CHANGE_KINDS} == dict(summary.changes)
    # Every padded or merged row has its record, and only those rows do; a
    # skipped blank line is no row of the output.
    kept_blanks = summary.changes["blank_line"] if blank_lines == "keep" else 0
    assert summary.changes["padded"] + summary.changes["merged"] + kept_blanks == summary.repaired_rows
    skipped = [r for r in records if r[6] == "blank line skipped"]
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows + len(skipped)
    rows_changed = {(r[0], r[1]) for r in records if r[6] != "blank line skipped"}
    assert len(rows_changed) == summary.changed_rows <= summary.salvaged_rows
    offsets = [int(r[1]) for r in records]
    assert offsets == sorted(offsets) and all(0 <= o < max(len(data), 1) for o in offsets)
    # A padded row is short of the width, a merged one past it; only the
    # changes that fit a row to the width carry counts, and no change names a column.
    fitting = {"padded", "merged", "requoted", "trailing_empty"}
    for _, _, kind, column, want, found, detail in records:
        assert column == ""
        has_counts = kind in fitting or (kind == "blank_line" and detail != "blank line skipped")
        assert bool(want) == bool(found) == has_counts, (kind, want, found)
        if has_counts:
            assert int(want) == summary.inferred_columns
        if kind in ("padded", "merged"):
            assert (int(found) < int(want)) == (kind == "padded")


# ---------------------------------------------------------------- counts and columns a program reads

WIDE = b"a,b,c,d,e\n1,2,3,4,5\n6,7,8\n9,10,11,12,13,14,15\n16,17,18,19,20\n"


def records_of(tmp: Path, data: bytes, where: str, jobs: int, **options) -> tuple[list, list]:
    """The quarantine and change records as dicts, from the files salvage
    writes (empty cells as None) or from read's tables; small chunks, so
    two jobs share the rows."""
    from brinewick._options import NativeSettings
    from brinewick._read import _read

    if where == "read":
        src = tmp / "in.csv"
        src.write_bytes(data)
        table = _read(src, NativeSettings.check(jobs=jobs, read_size=7, chunk_size=16, **options))
        pa = pytest.importorskip("pyarrow")
        pa.table(table)
        return pa.table(table.quarantine).to_pylist(), pa.table(table.changes).to_pylist()
    _, _, quarantine, changes = run(tmp, data, 7, jobs=jobs, chunk_size=16, **options)

    def cell(name: str, text: str) -> object:
        if not text:
            return None
        return int(text) if name in ("line", "byte_offset", "expected", "found") else text
    return ([{k: cell(k, v) for k, v in zip(brinewick.QUARANTINE_COLUMNS, r)} for r in quarantine],
            [{k: cell(k, v) for k, v in zip(brinewick.CHANGES_COLUMNS, r)} for r in changes])


COUNTS_CASES = [
    # input, options, the change or quarantine records' (kind or reason, [column,] expected, found)
    (WIDE, {}, "changes", [("padded", None, 5, 3), ("merged", None, 5, 7)]),
    (WIDE, {"fill_ragged_rows": False, "merge_overflow": False}, "quarantine",
     [("Row has too few columns (expected 5)", 5, 3), ("Row has extra columns (expected 5)", 5, 7)]),
    # Rows the table stage sets aside are counted too; with no width, nothing is.
    (b"# x,y\n" + WIDE, {"comment": "#"}, "quarantine", [("comment", 5, 2)]),
    (b"# x,y\n" + WIDE, {"comment": "#", "expected_columns": 0}, "quarantine", [("comment", None, None)]),
]


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("where", ["salvage", "read"])
@pytest.mark.parametrize("data, options, which, want", COUNTS_CASES,
                         ids=["fitted", "set_aside", "table_stage", "no_width"])
def test_records_carry_counts_a_program_reads(tmp_path, where, jobs, data, options, which, want):
    quarantine, changes = records_of(tmp_path, data, where, jobs, **options)
    if which == "quarantine":
        assert [(r["reason"], r["expected"], r["found"]) for r in quarantine] == want
    else:
        assert [(r["change"], r["column"], r["expected"], r["found"]) for r in changes] == want


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_type_error_names_its_column(tmp_path, jobs):
    data = b"id,qty\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(200)) + b"200,n/a\n"
    _, changes = records_of(tmp_path, data, "read", jobs, type_errors="null")
    assert [(r["line"], r["change"], r["column"], r["expected"], r["found"]) for r in changes] == \
        [(202, "type_error", "qty", None, None)]
