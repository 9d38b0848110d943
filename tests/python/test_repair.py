"""repair="columns": a row that does not fit is read again the other ways its bytes allow, and the
reading of the expected width is kept; rows that fit, and every row under repair="literal", are
the fixed rules' rows. The same outputs for every jobs count and chunk size, and in read()."""
from __future__ import annotations

import csv
import io
from dataclasses import replace
from pathlib import Path

import pyarrow as pa
import pytest

import brinewick
from brinewick._api import _salvage
from brinewick._read import _check_read_options, _read

OPTIONS = dict(delimiter=None, quote_char='"', fill_ragged_rows=True, merge_overflow=True,
               expected_columns=None, repair_quotes=True)


def csv_fields(line: str) -> list:
    return next(csv.reader(io.StringIO(line)))


def fitted(line: str, width: int) -> list:
    """The csv module's reading with empty surplus fields at the end dropped."""
    fields = csv_fields(line)
    assert all(f == "" for f in fields[width:])
    return fields[:width]


# header, damaged line, its expected fields (None: the csv module's reading), change kinds
CASES = [
    ("id,name,city,item,qty", '1,"Ann" Jr.,Paris,"Cable, 2m",4', None, {"requoted", "text_after_quote"}),
    ("id,name,qty", '1,"Dubois, Claire" Jr.,3', None, {"text_after_quote"}),
    ("a,b,c,d,e,f", '2,3,"bad,beta,"v, w",2024-01-02', ["2", "3", '"bad', "beta", "v, w", "2024-01-02"],
     {"requoted"}),
    ("id,a,b,c,price", "1004,x,y,z,775.83,,", None, {"trailing_empty"}),
    ("id,a,b", '6,"abc,x', ["6", '"abc', "x"], {"requoted", "quote_contained"}),
]


def table(header: str, damaged: str) -> tuple:
    """A file of good rows with the damaged line in the middle, and the good rows."""
    width = header.count(",") + 1
    good = [",".join(f"v{r}_{c}" for c in range(width)) for r in range(40)]
    return header + "\n" + "\n".join(good[:20] + [damaged] + good[20:]) + "\n", good


def run(work: Path, text: str, **options) -> tuple:
    src, out, q, c = work / "in.csv", work / "out.csv", work / "q.csv", work / "c.csv"
    src.write_text(text)
    _salvage(src, out, quarantine=q, changes=c, progress=None, durable=False, read_size=1 << 16,
             **{**OPTIONS, **options})
    return out.read_bytes(), q.read_bytes(), c.read_bytes()


@pytest.mark.parametrize("jobs,chunk_size", [(1, 1 << 20), (2, 16), (2, 1)])
@pytest.mark.parametrize("header,damaged,expected,kinds", CASES, ids=["after_quote", "blank_after_quote", "quote_mid_row", "trailing_delimiters", "unclosed_quote"])
def test_damaged_row_gets_its_width(tmp_path, header, damaged, expected, kinds, jobs, chunk_size):
    text, good = table(header, damaged)
    width = len(good[0].split(","))
    clean, quarantine, changes = run(tmp_path, text, jobs=jobs, chunk_size=chunk_size)
    rows = list(csv.reader(io.StringIO(clean.decode())))
    assert rows[1:21] + rows[22:] == [g.split(",") for g in good]  # nothing around it swallowed
    assert rows[21] == (expected if expected is not None else fitted(damaged, width))
    records = list(csv.DictReader(io.StringIO(changes.decode())))
    assert {r["change"] for r in records} == kinds and {r["line"] for r in records} == {"22"}
    assert quarantine.count(b"\n") == 1


def test_same_outputs_for_every_jobs_and_chunk_size(tmp_path):
    # Every damaged line of the cases in one file, with quoted fields that
    # legitimately span lines between them.
    lines = ["id,a,b,c,d"]
    for n, (_, damaged, _, _) in enumerate(CASES * 3):
        lines += [f'{n},"multi\nline, ""quoted""",x,y,z', damaged, f"{n},1,2,3,4"]
    text = "\n".join(lines) + "\n"
    one = run(tmp_path, text, jobs=1)
    for jobs, chunk_size in [(2, 1), (2, 7), (3, 64), (2, 1 << 20)]:
        assert run(tmp_path, text, jobs=jobs, chunk_size=chunk_size) == one, (jobs, chunk_size)
    # The Arrow reader keeps the rows the salvage keeps.
    settings = _check_read_options(types="str", header=False, empty_as_null=False)
    for jobs, chunk_size in [(1, 1 << 20), (2, 5)]:
        got = pa.table(_read(tmp_path / "in.csv", replace(settings, jobs=jobs, chunk_size=chunk_size)))
        assert [list(r.values()) for r in got.to_pylist()] == list(csv.reader(io.StringIO(one[0].decode())))


@pytest.mark.parametrize("text", [
    'a,b,c\n1,"x\ny, ""z""",3\n4,5,6\n',
    'a,b,c\n"q",2,3\n"p, q","r ""s""",t\n',
    "a;b\n1;2\n3;4\n",
])
def test_clean_files_are_untouched(tmp_path, text):
    assert run(tmp_path, text, repair="columns") == run(tmp_path, text, repair="literal")


@pytest.mark.parametrize("value,error", [("column", ValueError), ("", ValueError), (True, TypeError), (None, TypeError)])
def test_repair_option_is_checked(tmp_path, value, error):
    with pytest.raises(error, match="repair"):
        brinewick.salvage(tmp_path / "missing.csv", tmp_path / "out.csv", repair=value)


@pytest.mark.parametrize("mode", ["columns", "literal"])
def test_command_line_and_dask_take_the_option(tmp_path, mode):
    import subprocess
    import sys

    import brinewick.dask as bd

    text, _ = table(*CASES[4][:2])
    expected = run(tmp_path, text, repair=mode)[0]
    src = tmp_path / "in.csv"
    done = subprocess.run([sys.executable, "-m", "brinewick", "salvage", str(src), "-o", "-", "--repair", mode],
                          capture_output=True)
    assert done.stdout == expected
    frames = bd.read(str(src), types="str", header=False, empty_as_null=False, repair=mode)
    assert frames.data.compute().values.tolist() == list(csv.reader(io.StringIO(expected.decode())))


@pytest.mark.parametrize("jobs,chunk_size", [(1, 1 << 20), (2, 16)])
def test_a_stray_quote_never_takes_a_row_with_trailing_delimiters(tmp_path, jobs, chunk_size):
    # The row after the stray quote is wider only by empty fields: it is a row of the width, so
    # the quote is ended at its line rather than closed by the quote on the next one.
    good = "\n".join(f"{i},v{i},w{i}" for i in range(10))
    clean, _, _ = run(tmp_path, f"id,a,b\n{good}\n7,\"x,y\n8,\"a, b\",c,,\n{good}\n", jobs=jobs, chunk_size=chunk_size)
    rows = list(csv.reader(io.StringIO(clean.decode())))
    assert rows[11:13] == [["7", '"x', "y"], ["8", "a, b", "c"]]
    assert len(rows) == 23
