"""salvage_file end to end: the clean and quarantine formats, the summary, options, I/O failures."""
from __future__ import annotations

import json
import re
import os
import shutil
import subprocess
import sys
import tempfile
import weakref
from pathlib import Path

import pytest

import _brinewick_backend as bw

FEW = "Row has too few columns (expected {})"
EXTRA = "Row has extra columns (expected {})"
HEADER = b"line,reason,raw_content\n"
ENOENT = "No such file or directory (os error 2)"
EISDIR = "Is a directory (os error 21)"
ENOSPC = "No space left on device (os error 28)"
EACCES = "Permission denied (os error 13)"
NUL = "file name contained an unexpected NUL byte"
SAME_FILE = "quarantine_path and output_path name the same file"
SUMMARY_KEYS = ["total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows",
                "detected_delimiter", "inferred_columns"]
THREE_LINES = b"a,b,c\n1,2\n3,4,5\n"


def qline(line: int, reason: str, raw: str) -> bytes:
    """One quarantine record line, built by hand from the format's rules."""
    return f'{line},"{reason}","{raw}"\n'.encode()


def counts(summary) -> tuple:
    return (summary.total_rows, summary.salvaged_rows, summary.repaired_rows,
            summary.quarantined_rows, summary.detected_delimiter, summary.inferred_columns)


# ---------------------------------------------------------------- clean CSV format

CLEAN_CASES = [
    # (id, input, options, expected clean bytes)
    ("pad short row", THREE_LINES, {}, b"a,b,c\n1,2,\n3,4,5\n"),
    ("merge long row, merged field quoted",
     b"a,b,c\n1,2,3,4,5\nx,y,z\n", {}, b'a,b,c\n1,2,"3,4,5"\nx,y,z\n'),
    ("merge under semicolon", b"a;b;c\n1;2;3;4\n", {"delimiter": ";", "expected_columns": 3},
     b'a;b;c\n1;2;"3;4"\n'),
    ("comma is plain text under semicolon", b"a,b;c\n", {"delimiter": ";"}, b"a,b;c\n"),
    ("E=1 joins whole row", b"a,b,c\nd\n", {"expected_columns": 1}, b'"a,b,c"\nd\n'),
    ("quote doubled", b'"5""7",x\n', {}, b'"5""7",x\n'),
    ("delimiter in field", b'"a,b",c\n', {}, b'"a,b",c\n'),
    ("line feed in field", b'"x\ny",z\n', {}, b'"x\ny",z\n'),
    ("carriage return in field", b'"x\ry",z\n', {}, b'"x\ry",z\n'),
    ("crlf in field kept", b'"x\r\ny",z\r\n', {}, b'"x\r\ny",z\n'),
    ("stray quote inside unquoted field", b'ab"c,d\n', {}, b'"ab""c",d\n'),
    ("needless quotes dropped", b'"a","b"\n', {}, b"a,b\n"),
    ("leading space kept bare", b" a, b\n", {}, b" a, b\n"),
    ("crlf rows become lf", b"a,b\r\nc,d\r\n", {}, b"a,b\nc,d\n"),
    ("cr-only rows become lf, final lf added", b"a,b\rc,d", {}, b"a,b\nc,d\n"),
    ("lf then cr ends two rows", b"a\n\rb\n", {}, b"a\n\nb\n"),
    ("empty fields bare", b",,\n", {}, b",,\n"),
    ("single empty field is an empty line", b"a\n\nb\n", {}, b"a\n\nb\n"),
    ("blank line padded to E", b"a,b,c\n\n1,2,3\n", {}, b"a,b,c\n,,\n1,2,3\n"),
    ("blank lines only", b"\n\n  \n", {}, b"\n\n  \n"),
    ("bom dropped", b"\xef\xbb\xbfx,y\n", {}, b"x,y\n"),
    ("bom only", b"\xef\xbb\xbf", {}, b""),
    ("invalid utf-8 replaced", b"a\xff,b\xc3\n", {}, "a\ufffd,b\ufffd\n".encode()),
    ("utf-8 passes through", "\u00e9,\u4e2d\n".encode(), {}, "\u00e9,\u4e2d\n".encode()),
    ("unclosed quote swallows the rest", b'a,b\n"c,d\ne', {},
     b'a,b\n"c,d\ne",\n'),
    ("repair on: stray quote kept in field", b'"a"b",c\n', {}, b'"a""b",c\n'),
    ("repair off: quote closes early", b'"a"b",c\n', {"repair_quotes": False}, b'"ab""",c\n'),
    ("apostrophe quote: double quote bare, apostrophe doubled",
     b"'it''s',\"q\"\n", {"quote_char": "'"}, b"'it''s',\"q\"\n"),
    ("apostrophe quote: quote byte inside unquoted field",
     b"a'b,c\n", {"quote_char": "'"}, b"'a''b',c\n"),
    ("apostrophe quote: double quotes are plain",
     b'"a,b",c\n', {"quote_char": "'", "expected_columns": 3}, b'"a,b",c\n'),
    # The quote byte 0xC3 is written as the character U+00C3 (C3 83); the
    # A9 bytes cut off from their lead byte decode to U+FFFD.
    ("non-ascii quote char",
     "\u00e9a,b\u00e9,c\n".encode(), {"quote_char": "\u00e9", "expected_columns": 0},
     b"\xc3\x83\xef\xbf\xbda,b\xef\xbf\xbd\xc3\x83,c\n"),
    ("non-ascii quote char doubled", b"x\xc3\x83,y\n",
     {"quote_char": "\u00e9", "expected_columns": 0},
     b"\xc3\x83x\xc3\x83\xc3\x83\xc3\x83,y\n"),
    # Split at the lead byte C3; the orphaned A9 decodes to U+FFFD; the
    # separator is written as U+00C3 in UTF-8 (C3 83).
    ("non-ascii delimiter", "a\u00e9b\n".encode(), {"delimiter": "\u00e9"},
     b"a\xc3\x83\xef\xbf\xbdb\n"),
    ("continuation byte after a non-ascii split", b"a\xc3\x83,b\n",
     {"delimiter": "\u00e9", "expected_columns": 0}, b"a\xc3\x83\xef\xbf\xbd,b\n"),
]


@pytest.mark.parametrize("data, options, expected", [c[1:] for c in CLEAN_CASES],
                         ids=[c[0] for c in CLEAN_CASES])
def test_clean_output_bytes(salvage, data, options, expected):
    assert salvage(data, **options).clean == expected


def test_non_ascii_delimiter_is_reported_by_its_lead_byte(salvage):
    run = salvage("a\u00e9b\u00e9c\n".encode(), delimiter="\u00e9b")
    assert run.summary.detected_delimiter == "\u00c3"
    assert run.summary.to_dict()["detected_delimiter"] == "\u00c3"
    # U+00A6 encodes as C2 A6: the delimiter byte is C2, written back as C3 82.
    run = salvage("x\u00a6y\n".encode(), delimiter="\u00a6")
    assert run.summary.detected_delimiter == "\u00c2"
    assert run.clean == b"x\xc3\x82\xef\xbf\xbdy\n"


def test_clean_output_larger_than_the_write_buffer(salvage):
    # Rows that need quoting, well past several 8 KiB buffers, plus one field
    # longer than a buffer on its own.
    rows = [[f"r{i}", f'say "{i}"', f"x,{i}", f"l\n{i}"] for i in range(3000)]
    rows.append(["big", "y" * 20000, "", "z"])
    data = "".join(",".join('"' + f.replace('"', '""') + '"' for f in r) + "\r\n" for r in rows)

    def quote(field: str) -> str:
        if any(c in field for c in '",\n\r'):
            return '"' + field.replace('"', '""') + '"'
        return field

    expected = "".join(",".join(quote(f) for f in r) + "\n" for r in rows).encode()
    run = salvage(data.encode(), delimiter=",", expected_columns=4)
    assert run.clean == expected
    assert counts(run.summary) == (3001, 3001, 0, 0, ",", 4)


# Tab- and space-separated exports that quote fields: each closing quote is
# followed straight by the delimiter, which must end the field even though it
# is also a blank. (id, input, delimiter option, rows the file holds)
QUOTED_BLANK_SEPARATED = [
    ("every field quoted", b'"id"\t"name"\t"note"\r\n"1"\t"Ann"\t""\r\n"2"\t"Bo b"\t"x y"\r\n',
     "\t", [["id", "name", "note"], ["1", "Ann", ""], ["2", "Bo b", "x y"]]),
    ("quoted tab, quote and line break", b'a\tb\n"x\ty"\t"say ""hi"""\n"l\nm"\t" "\n',
     "\t", [["a", "b"], ["x\ty", 'say "hi"'], ["l\nm", " "]]),
    ("sniffed", b'"a"\t"b"\t"c"\n"1"\t"2,5"\t"3"\n"4"\t"5"\t"6"\n',
     None, [["a", "b", "c"], ["1", "2,5", "3"], ["4", "5", "6"]]),
    ("space delimiter", b'"a" "b c" "d\te"\n"1" "" "2"\n',
     " ", [["a", "b c", "d\te"], ["1", "", "2"]]),
]


@pytest.mark.parametrize("data, delimiter, rows", [c[1:] for c in QUOTED_BLANK_SEPARATED],
                         ids=[c[0] for c in QUOTED_BLANK_SEPARATED])
@pytest.mark.parametrize("repair", [True, False])
def test_quoted_blank_separated_files_salvage_again_unchanged(salvage, tmp_path, data, delimiter,
                                                              rows, repair):
    options = {"delimiter": delimiter, "repair_quotes": repair}
    first = salvage(data, **options)
    width = len(rows[0])
    assert counts(first.summary) == (len(rows), len(rows), 0, 0, delimiter or "\t", width)
    assert list(bw.open(str(tmp_path / "in.csv"), **options)) == rows
    second = salvage(first.clean, **options)
    assert second.clean == first.clean
    assert counts(second.summary) == counts(first.summary)


# ---------------------------------------------------------------- quarantine CSV format

QUARANTINE_CASES = [
    # (id, input, options, expected records after the header)
    ("short row on line 2", THREE_LINES, {"fill_ragged_rows": False},
     qline(2, FEW.format(3), "1,2")),
    ("last row without line feed", b"a,b,c\n1,2", {"fill_ragged_rows": False},
     qline(2, FEW.format(3), "1,2")),
    ("cr-only lines are counted", b"a,b,c\r1,2\r3,4,5\r", {"fill_ragged_rows": False},
     qline(2, FEW.format(3), "1,2")),
    ("crlf lines are counted once", b"a,b,c\r\n1,2\r\n3,4,5\r\n", {"fill_ragged_rows": False},
     qline(2, FEW.format(3), "1,2")),
    ("first row can be quarantined", b"a,b\n1,2,3\n4,5,6\n", {"fill_ragged_rows": False},
     qline(1, FEW.format(3), "a,b")),
    ("extra columns", b"a,b\n1,2,3\n4,5\n", {"merge_overflow": False},
     qline(2, EXTRA.format(2), "1,2,3")),
    ("multi-line row recorded with its first line",
     b'a,b,c\n"x\ny",z\nq,r\n', {"fill_ragged_rows": False, "expected_columns": 3},
     qline(2, FEW.format(3), "x\ny,z") + qline(4, FEW.format(3), "q,r")),
    ("cr inside quotes is not a line", b'a,b,c\n"x\ry",z\nq,r\n',
     {"fill_ragged_rows": False, "expected_columns": 3},
     qline(2, FEW.format(3), "x\ry,z") + qline(3, FEW.format(3), "q,r")),
    ("bom does not shift line numbers", b"\xef\xbb\xbfa,b,c\n1,2\n",
     {"fill_ragged_rows": False}, qline(2, FEW.format(3), "1,2")),
    ("blank line quarantined with one empty field", b"a,b,c\n\n1,2,3\n",
     {"fill_ragged_rows": False}, qline(2, FEW.format(3), "")),
    ("raw content doubles double quotes", b'a,b,c\n"x""y",z\n', {"fill_ragged_rows": False},
     qline(2, FEW.format(3), 'x""y,z')),
    ("raw content does not quote single fields", b'a,b,c\n"p,q",r\n',
     {"fill_ragged_rows": False}, qline(2, FEW.format(3), "p,q,r")),
    ("raw content is the unmerged row", b"a,b\n1,2,3,4\n5,6\n", {"merge_overflow": False},
     qline(2, EXTRA.format(2), "1,2,3,4")),
    ("semicolon joins raw content", b"a;b;c\n1;2\n3;4;5\n",
     {"fill_ragged_rows": False, "delimiter": ";"}, qline(2, FEW.format(3), "1;2")),
    ("apostrophe quote: double quote still encloses and doubles",
     b"a,b,c\n'x\"y,z'\n", {"fill_ragged_rows": False, "quote_char": "'", "expected_columns": 3},
     qline(2, FEW.format(3), 'x""y,z')),
    ("non-ascii delimiter joins with its two-byte form", "a\u00e9b\u00e9c\nx\u00e9y\n".encode(),
     {"fill_ragged_rows": False, "delimiter": "\u00e9"},
     qline(2, FEW.format(3), "x\u00c3\ufffdy")),
    ("reason carries a large E", b"a\n", {"expected_columns": 12345, "fill_ragged_rows": False},
     qline(1, FEW.format(12345), "a")),
    ("both reasons in input order", b"a,b\n1\n1,2,3\n2,3\n",
     {"fill_ragged_rows": False, "merge_overflow": False},
     qline(2, FEW.format(2), "1") + qline(3, EXTRA.format(2), "1,2,3")),
]


@pytest.mark.parametrize("data, options, records", [c[1:] for c in QUARANTINE_CASES],
                         ids=[c[0] for c in QUARANTINE_CASES])
def test_quarantine_output_bytes(salvage, data, options, records):
    run = salvage(data, **options)
    assert run.quarantine == HEADER + records
    assert run.summary.quarantined_rows == len(re.findall(rb'(?:^|\n)\d+,"Row has', records))


def test_quarantined_row_is_left_out_of_the_clean_file(salvage):
    run = salvage(THREE_LINES, fill_ragged_rows=False)
    assert run.clean == b"a,b,c\n3,4,5\n"
    assert counts(run.summary) == (3, 2, 0, 1, ",", 3)


def test_quarantine_larger_than_the_write_buffer(salvage):
    data = b"a,b,c\n" + b"".join(b'"q""%d",x\n' % i for i in range(2000))
    run = salvage(data, fill_ragged_rows=False, expected_columns=3)
    expected = HEADER + b"".join(qline(i + 2, FEW.format(3), f'q""{i},x') for i in range(2000))
    assert run.quarantine == expected
    assert run.clean == b"a,b,c\n"


@pytest.mark.parametrize("data, options", [
    (b"", {}),
    (b"", {"delimiter": ";", "expected_columns": 5}),
    (b"a,b\n1,2\n", {}),
])
def test_quarantine_file_without_records_is_the_header(salvage, data, options):
    assert salvage(data, **options).quarantine == HEADER


def test_no_quarantine_file_without_a_path(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    summary = bw.salvage_file(str(src), str(tmp_path / "out.csv"), fill_ragged_rows=False)
    assert summary.quarantined_rows == 1
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]
    summary = bw.salvage_file(str(src), str(tmp_path / "out.csv"), None, fill_ragged_rows=False)
    assert summary.quarantined_rows == 1
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]


# ---------------------------------------------------------------- summary

SUMMARY_CASES = [
    # (id, input, options, (total, salvaged, repaired, quarantined, delimiter, columns))
    ("three lines", THREE_LINES, {}, (3, 3, 1, 0, ",", 3)),
    ("three lines, no padding", THREE_LINES, {"fill_ragged_rows": False}, (3, 2, 0, 1, ",", 3)),
    ("merge", b"a,b,c\n1,2,3,4,5\nx,y,z\n", {}, (3, 3, 1, 0, ",", 3)),
    ("no merge", b"a,b,c\n1,2,3,4,5\nx,y,z\n", {"merge_overflow": False}, (3, 2, 0, 1, ",", 3)),
    ("empty", b"", {}, (0, 0, 0, 0, ",", 0)),
    ("empty ignores given options", b"", {"delimiter": ";", "expected_columns": 5},
     (0, 0, 0, 0, ",", 0)),
    ("bom only", b"\xef\xbb\xbf", {}, (0, 0, 0, 0, ",", 0)),
    ("blank lines only: nothing to infer", b"\n\n  \n", {}, (3, 3, 0, 0, ",", 0)),
    ("blank line padded counts as repaired", b"a,b,c\n\n1,2,3\n", {}, (3, 3, 1, 0, ",", 3)),
    ("sniffed semicolon", b"a;b\n1;2\n", {}, (2, 2, 0, 0, ";", 2)),
    ("given delimiter wins over the content", b"a;b\n1;2\n", {"delimiter": ","},
     (2, 2, 0, 0, ",", 1)),
    ("given semicolon on a comma file", b"a,b\n1,2\n", {"delimiter": ";"}, (2, 2, 0, 0, ";", 1)),
    ("empty delimiter sniffs", b"a;b\n1;2\n", {"delimiter": ""}, (2, 2, 0, 0, ";", 2)),
    ("first byte of the delimiter", b"a;b;c\n", {"delimiter": ";;"}, (1, 1, 0, 0, ";", 3)),
    ("first byte of a mixed delimiter", b"a;b,c\n", {"delimiter": ";,"}, (1, 1, 0, 0, ";", 2)),
    ("tab", b"a\tb\n1\t2\t3\n4\t5\n", {}, (3, 3, 1, 0, "\t", 2)),
    ("given width reported", b"a,b\n", {"expected_columns": 4}, (1, 1, 1, 0, ",", 4)),
    ("width check off", b"a,b,c\n1,2\n3,4,5,6\n", {"expected_columns": 0}, (3, 3, 0, 0, ",", 0)),
    ("width check off beats flags", b"a\n1,2\n", {"expected_columns": 0, "fill_ragged_rows": False,
                                                 "merge_overflow": False}, (2, 2, 0, 0, ",", 0)),
    ("True reads as 1", b"a,b\nc\n", {"expected_columns": True}, (2, 2, 1, 0, ",", 1)),
    # Among equally frequent widths the wider one is taken.
    ("inference tie goes wide", b"a,b\n1,2,3\n", {}, (2, 2, 1, 0, ",", 3)),
    ("inference reads only 100 rows", b"1,2\n" * 100 + b"1,2,3\n" * 200, {},
     (300, 300, 200, 0, ",", 2)),
    ("blank lines do not count towards 100", b"1,2\n" * 99 + b"\n\n \n" + b"1,2,3\n" * 200, {},
     (302, 302, 203, 0, ",", 2)),
    # Inference always reads with the double quote, whatever quote_char says.
    ("inference ignores quote_char", b'"a,b",c\n"d,e",f\n"g,h",i\n', {"quote_char": "'"},
     (3, 3, 3, 0, ",", 2)),
    ("quote repairs are not counted", b'"a"b",c\n"d"e",f\n', {}, (2, 2, 0, 0, ",", 2)),
]


@pytest.mark.parametrize("data, options, expected", [c[1:] for c in SUMMARY_CASES],
                         ids=[c[0] for c in SUMMARY_CASES])
def test_summary_counts(salvage, data, options, expected):
    summary = salvage(data, **options).summary
    assert counts(summary) == expected
    assert list(summary.to_dict().values()) == list(expected)


def test_inference_ignoring_quote_char_merges_by_the_real_quote(salvage):
    run = salvage(b'"a,b",c\n', quote_char="'", expected_columns=2)
    assert run.clean == b"\"a,'b\",c'\n"


@pytest.mark.parametrize("same, other", [
    ({"delimiter": ""}, {"delimiter": None}),
    ({"delimiter": ";;"}, {"delimiter": ";"}),
    ({"quote_char": ""}, {"quote_char": '"'}),
    ({"quote_char": "'x"}, {"quote_char": "'"}),
    ({"expected_columns": None}, {}),
])
def test_equivalent_options(salvage, same, other):
    data = b"a;b;'c;d'\n\"1;2\";3\n'x''y';\"z\"\"w\";5;6\n"
    first = salvage(data, **same)
    second = salvage(data, **other)
    assert (first.clean, first.quarantine, counts(first.summary)) == \
        (second.clean, second.quarantine, counts(second.summary))


class Index:
    def __index__(self):
        return 2


def test_expected_columns_accepts_index_objects(salvage):
    assert counts(salvage(b"a,b,c\n", expected_columns=Index()).summary) == (1, 1, 1, 0, ",", 2)


def test_numpy_bools_are_read_by_truth_value(salvage, write_input):
    np = pytest.importorskip("numpy")
    assert salvage(THREE_LINES, fill_ragged_rows=np.bool_(False)).summary.quarantined_rows == 1
    assert salvage(THREE_LINES, fill_ragged_rows=np.bool_(True)).summary.repaired_rows == 1
    run = salvage(b"a,b\n1,2,3\n4,5\n", merge_overflow=np.False_, repair_quotes=np.True_)
    assert run.summary.quarantined_rows == 1
    reader = bw.open(write_input(THREE_LINES), fill_ragged_rows=np.False_)
    assert len(reader) == 2


def test_str_subclass_paths_are_accepted(tmp_path):
    class P(str):
        pass

    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    summary = bw.salvage_file(P(src), P(tmp_path / "out.csv"), P(tmp_path / "q.csv"))
    assert summary.salvaged_rows == 3
    assert (tmp_path / "q.csv").read_bytes() == HEADER


def test_summary_repr_and_str(salvage):
    summary = salvage(THREE_LINES).summary
    text = ("<SalvageSummary total_rows=3 salvaged_rows=3 repaired_rows=1 quarantined_rows=0 "
            "delimiter=',' inferred_columns=3>")
    assert repr(summary) == text
    assert str(summary) == text


@pytest.mark.parametrize("data, options, delimiter_shown", [
    (b"a\tb\n1\t2\n", {}, "\t"),  # raw tab, not \t escaped
    (b"a\n", {"delimiter": "\u00e9"}, "\u00c3"),
    (b"a\n", {"delimiter": "'"}, "'"),  # not escaped either
])
def test_summary_repr_inserts_the_delimiter_unchanged(salvage, data, options, delimiter_shown):
    summary = salvage(data, **options).summary
    assert f" delimiter='{delimiter_shown}' " in repr(summary)


def test_summary_repr_of_large_counts(salvage):
    summary = salvage(b"x\n" * 12345, expected_columns=1).summary
    assert repr(summary) == ("<SalvageSummary total_rows=12345 salvaged_rows=12345 repaired_rows=0 "
                             "quarantined_rows=0 delimiter=',' inferred_columns=1>")


def test_to_dict_order_types_and_freshness(salvage):
    summary = salvage(THREE_LINES).summary
    first = summary.to_dict()
    second = summary.to_dict()
    assert list(first) == SUMMARY_KEYS
    assert first == {"total_rows": 3, "salvaged_rows": 3, "repaired_rows": 1,
                     "quarantined_rows": 0, "detected_delimiter": ",", "inferred_columns": 3}
    assert first is not second
    assert [type(v) for v in first.values()] == [int, int, int, int, str, int]
    first["total_rows"] = 99
    first.clear()
    assert summary.total_rows == 3
    assert second["total_rows"] == 3
    assert summary.to_dict()["total_rows"] == 3


def test_summary_compares_and_hashes_by_identity(salvage):
    first = salvage(THREE_LINES).summary
    second = salvage(THREE_LINES).summary
    assert counts(first) == counts(second)
    assert first == first
    assert first != second
    assert hash(first) == object.__hash__(first)
    assert len({first, second}) == 2


@pytest.mark.parametrize("attr", SUMMARY_KEYS)
def test_summary_attributes_are_read_only(salvage, attr):
    summary = salvage(THREE_LINES).summary
    before = getattr(summary, attr)
    with pytest.raises(AttributeError):
        setattr(summary, attr, before)
    with pytest.raises(AttributeError):
        delattr(summary, attr)
    assert getattr(summary, attr) == before


def test_summary_has_no_instance_dict_or_weakrefs(salvage):
    summary = salvage(THREE_LINES).summary
    with pytest.raises(AttributeError):
        summary.extra = 1
    assert not hasattr(summary, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(summary)
    assert type(summary) is bw.SalvageSummary


# ---------------------------------------------------------------- I/O failures


def assert_plain_oserror(excinfo, message: str) -> None:
    err = excinfo.value
    assert type(err) is OSError
    assert err.args == (message,)
    assert (err.errno, err.strerror, err.filename) == (None, None, None)
    assert str(err) == message


def test_missing_input(tmp_path):
    out, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    try:
        bw.salvage_file(str(tmp_path / "nope.csv"), str(out), str(quarantine))
    except FileNotFoundError:  # must not be the errno-specific subclass
        pytest.fail("raised FileNotFoundError")
    except OSError as err:
        assert type(err) is OSError and err.args == (ENOENT,) and err.errno is None
    else:
        pytest.fail("no error")
    assert os.listdir(tmp_path) == []


def test_directory_as_input(tmp_path):
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(tmp_path / "dir"), str(tmp_path / "out.csv"), str(tmp_path / "q.csv"))
    assert_plain_oserror(info, EISDIR)
    assert os.listdir(tmp_path) == ["dir"]


@pytest.mark.parametrize("data", [THREE_LINES, b""])
def test_output_in_missing_directory(tmp_path, data):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(src), str(tmp_path / "gone" / "out.csv"), str(tmp_path / "q.csv"))
    assert_plain_oserror(info, ENOENT)
    assert os.listdir(tmp_path) == ["in.csv"]
    assert src.read_bytes() == data


def test_input_is_read_before_the_output_is_created(tmp_path):
    # Both fail; the input's error is the one raised.
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(tmp_path / "dir"), str(tmp_path / "gone" / "out.csv"))
    assert_plain_oserror(info, EISDIR)


def test_quarantine_in_missing_directory_leaves_a_complete_clean_file(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(src), str(tmp_path / "out.csv"), str(tmp_path / "gone" / "q.csv"),
                        fill_ragged_rows=False)
    assert_plain_oserror(info, ENOENT)
    assert (tmp_path / "out.csv").read_bytes() == b"a,b,c\n3,4,5\n"
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]


dev_full = pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")


@dev_full
@pytest.mark.parametrize("data", [THREE_LINES, b"x,y\n" * 200000], ids=["flush", "write"])
def test_dev_full_as_output(tmp_path, data):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(src), "/dev/full", str(tmp_path / "q.csv"))
    assert_plain_oserror(info, ENOSPC)
    assert os.listdir(tmp_path) == ["in.csv"]


@dev_full
@pytest.mark.parametrize("rows", [1, 100000], ids=["flush", "write"])
def test_dev_full_as_quarantine_leaves_a_complete_clean_file(tmp_path, rows):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b,c\n" + b"1,2\n" * rows)
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(src), str(tmp_path / "out.csv"), "/dev/full", fill_ragged_rows=False,
                        expected_columns=3)
    assert_plain_oserror(info, ENOSPC)
    assert (tmp_path / "out.csv").read_bytes() == b"a,b,c\n"


@pytest.mark.parametrize("which", ["input", "output", "quarantine"])
def test_nul_in_a_path(tmp_path, which):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    paths = {"input": str(src), "output": str(tmp_path / "out.csv"),
             "quarantine": str(tmp_path / "q.csv")}
    paths[which] = str(tmp_path / "bad\0name.csv")
    with pytest.raises(OSError) as info:
        bw.salvage_file(paths["input"], paths["output"], paths["quarantine"])
    assert_plain_oserror(info, NUL)
    left = sorted(os.listdir(tmp_path))
    if which == "quarantine":
        assert left == ["in.csv", "out.csv"]
        assert (tmp_path / "out.csv").read_bytes() == b"a,b,c\n1,2,\n3,4,5\n"
    else:
        assert left == ["in.csv"]


# Root ignores permission bits, so these run the call in a child process
# that drops to an unprivileged user after importing the module.
CHILD = r"""
import json, os, sys
sys.path.insert(0, sys.argv[1])
import _brinewick_backend as bw
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
try:
    bw.salvage_file(*json.loads(sys.argv[2]))
except OSError as err:
    print(json.dumps([type(err).__name__, list(err.args), err.errno]))
else:
    print(json.dumps(None))
"""


@pytest.fixture
def shared_dir():
    path = Path(tempfile.mkdtemp(prefix="brinewick-perm-"))
    path.chmod(0o777)
    yield path
    for p in [path, *path.rglob("*")]:
        if p.is_dir():
            p.chmod(0o777)
    shutil.rmtree(path)


def run_unprivileged(args: list) -> list:
    module_dir = os.path.dirname(bw.__file__)
    proc = subprocess.run([sys.executable, "-c", CHILD, module_dir, json.dumps(args)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot run the call as an unprivileged user: {proc.stderr.strip()[-200:]}")
    return json.loads(proc.stdout)


def test_output_in_a_read_only_directory(shared_dir):
    src = shared_dir / "in.csv"
    src.write_bytes(THREE_LINES)
    src.chmod(0o644)
    locked = shared_dir / "locked"
    locked.mkdir(mode=0o555)
    locked.chmod(0o555)
    result = run_unprivileged([str(src), str(locked / "out.csv"), str(shared_dir / "q.csv")])
    assert result == ["OSError", [EACCES], None]
    assert os.listdir(locked) == []
    assert sorted(os.listdir(shared_dir)) == ["in.csv", "locked"]


def test_unreadable_input(shared_dir):
    src = shared_dir / "in.csv"
    src.write_bytes(THREE_LINES)
    src.chmod(0o000)
    result = run_unprivileged([str(src), str(shared_dir / "out.csv")])
    assert result == ["OSError", [EACCES], None]
    assert os.listdir(shared_dir) == ["in.csv"]


# ---------------------------------------------------------------- same file


def test_in_place_salvage(tmp_path):
    path = tmp_path / "data.csv"
    path.write_bytes(b"\xef\xbb\xbfa,b,c\r\n1,2\r\n3,4,5,6\r\nx,y,z\r\n")
    summary = bw.salvage_file(str(path), str(path), str(tmp_path / "q.csv"))
    assert path.read_bytes() == b'a,b,c\n1,2,\n3,4,"5,6"\nx,y,z\n'
    assert counts(summary) == (4, 4, 2, 0, ",", 3)


def same_file_layouts(tmp_path: Path):
    out = tmp_path / "out.csv"
    (tmp_path / "sub").mkdir()
    (tmp_path / "link.csv").symlink_to(out)
    os.link(out, tmp_path / "hard.csv")
    return {
        "same string": str(out),
        "symlink": str(tmp_path / "link.csv"),
        "hard link": str(tmp_path / "hard.csv"),
        "dot-dot": str(tmp_path / "sub" / ".." / "out.csv"),
        "dot slash": "./out.csv",
    }


@pytest.mark.parametrize("layout", ["same string", "symlink", "hard link", "dot-dot", "dot slash"])
@pytest.mark.parametrize("input_exists", [True, False])
def test_quarantine_naming_the_output_is_refused(tmp_path, monkeypatch, layout, input_exists):
    monkeypatch.chdir(tmp_path)
    out = tmp_path / "out.csv"
    out.write_bytes(b"keep me\n")
    quarantine = same_file_layouts(tmp_path)[layout]
    src = tmp_path / "in.csv"
    if input_exists:
        src.write_bytes(THREE_LINES)
    before = sorted(os.listdir(tmp_path))
    output_arg = "out.csv" if layout == "dot slash" else str(out)
    with pytest.raises(ValueError) as info:
        bw.salvage_file(str(src), output_arg, quarantine, fill_ragged_rows=False)
    # Raised before reading: a missing input would otherwise give OSError.
    assert type(info.value) is ValueError
    assert info.value.args == (SAME_FILE,)
    assert out.read_bytes() == b"keep me\n"
    assert sorted(os.listdir(tmp_path)) == before


def test_same_string_refused_when_nothing_exists_yet(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    out = str(tmp_path / "out.csv")
    with pytest.raises(ValueError, match=f"^{SAME_FILE}$"):
        bw.salvage_file(str(src), out, out)
    assert os.listdir(tmp_path) == ["in.csv"]


def test_all_three_paths_the_same_is_refused(tmp_path):
    path = tmp_path / "data.csv"
    path.write_bytes(THREE_LINES)
    with pytest.raises(ValueError, match=f"^{SAME_FILE}$"):
        bw.salvage_file(str(path), str(path), str(path))
    assert path.read_bytes() == THREE_LINES


# A child process with its address space capped: a (sparse) input far larger
# than the cap cannot be given a buffer, and each entry point says so.
OUT_OF_MEMORY_CHILD = r"""
import json, os, resource, sys
import _brinewick_backend as bw

src, out = sys.argv[1], sys.argv[2]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), hard))
found = {}
for name, call in [("salvage_file", lambda: bw.salvage_file(src, out)), ("open", lambda: bw.open(src))]:
    try:
        call()
        found[name] = None
    except BaseException as e:
        found[name] = [type(e).__name__, list(e.args)]
found["output_created"] = os.path.exists(out)
print(json.dumps(found))
"""


@pytest.mark.skipif(os.environ.get("BRINEWICK_UNDER_ASAN") == "1",
                    reason="an address-space cap leaves AddressSanitizer no room for its shadow memory")
def test_input_too_large_for_memory_is_reported_not_crashed(tmp_path):
    src = tmp_path / "huge.csv"
    with open(src, "wb") as f:
        f.truncate(8 << 30)  # sparse: no disk is used
    out = tmp_path / "out.csv"
    done = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY_CHILD, str(src), str(out)],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    found = json.loads(done.stdout)
    assert found["salvage_file"] == ["OSError", ["out of memory"]]
    assert found["open"] == ["MemoryError", ["out of memory"]]
    assert found["output_created"] is False
