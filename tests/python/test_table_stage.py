"""Blank lines in real exports: skipped by default and recorded, kept as rows of empty fields on
request, the same through salvage, read and the command line, on one thread or two (tiny chunks
put the blank runs across chunk boundaries)."""
from __future__ import annotations

import csv
import io
import subprocess
import sys
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")

import brinewick  # noqa: E402
from brinewick._api import _salvage  # noqa: E402
from brinewick._options import NativeSettings  # noqa: E402
from brinewick._read import _read  # noqa: E402

# A statement export with gaps between its blocks, a whitespace-only line and a CRLF run.
STATEMENT = (
    b"date,description,amount\n"
    b"2024-03-01,Opening balance,1200.50\n"
    b"\n"
    b"2024-03-02,Coffee,-3.20\n"
    b"   \n"
    b"\n"
    b"\n"
    b"2024-03-05,Salary,2500.00\r\n"
    b"\r\n"
    b"2024-03-07,Rent,-900.00\n"
    b"\n"
)
# One column: a blank line there is still a line with nothing on it.
SINGLE = b"name\nann\n\nbob\n\n\ncid\n"


def blank_lines_of(data: bytes) -> list[int]:
    """1-based lines that are blank, the header's line included in the count."""
    lines = data.replace(b"\r\n", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [i + 1 for i, line in enumerate(lines) if line.strip(b" \t") == b""]


def non_blank_rows(data: bytes) -> list[list[str]]:
    text = data.decode().replace("\r\n", "\n")
    return [row for row in csv.reader(io.StringIO(text)) if row and any(f.strip(" \t") for f in row)]


def salvage_run(tmp_path: Path, data: bytes, jobs: int, **options):
    src, out, changes = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "changes.csv"
    src.write_bytes(data)
    summary = _salvage(src, out, quarantine=None, changes=changes, delimiter=None, quote_char='"',
                       fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True,
                       progress=None, durable=False, read_size=7, jobs=jobs, chunk_size=16, **options)
    records = list(csv.reader(io.StringIO(changes.read_text())))[1:]
    return summary, out.read_bytes(), records


@pytest.mark.parametrize("data", [STATEMENT, SINGLE], ids=["statement", "one_column"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_salvage_skips_blank_lines_and_records_each(tmp_path: Path, data: bytes, jobs: int) -> None:
    summary, clean, records = salvage_run(tmp_path, data, jobs)
    assert list(csv.reader(io.StringIO(clean.decode()))) == non_blank_rows(data)
    blanks = blank_lines_of(data)
    assert [(int(r[0]), r[2], r[6]) for r in records] == [(n, "blank_line", "blank line skipped") for n in blanks]
    # Each record's offset is where its line starts in the input.
    starts = [0] + [i + 1 for i, b in enumerate(data) if b == 0x0A]
    assert [int(r[1]) for r in records] == [starts[n - 1] for n in blanks]
    assert summary.changes["blank_line"] == len(blanks)
    assert summary.total_rows == len(non_blank_rows(data)) + len(blanks)
    assert summary.salvaged_rows == len(non_blank_rows(data))


@pytest.mark.parametrize("jobs", [1, 2])
def test_keep_writes_blank_lines_as_empty_rows(tmp_path: Path, jobs: int) -> None:
    skipped = salvage_run(tmp_path, STATEMENT, jobs)
    summary, clean, records = salvage_run(tmp_path, STATEMENT, jobs, blank_lines="keep")
    rows = list(csv.reader(io.StringIO(clean.decode())))
    assert sum(not "".join(row).strip() for row in rows) == len(blank_lines_of(STATEMENT))
    assert {r[6] for r in records} == {"blank line written as 3 empty fields"}
    assert summary.total_rows == skipped[0].total_rows


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("types", ["infer", "str"])
def test_read_leaves_blank_lines_out_of_the_table(tmp_path: Path, jobs: int, types: str) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"\n\n" + STATEMENT)  # blank lines above the header too
    settings = NativeSettings.check(types=types, jobs=jobs, read_size=7, chunk_size=16)
    table = _read(src, settings)
    data = pa.table(table)
    assert data.column_names == ["date", "description", "amount"]
    assert data.column("description").to_pylist() == ["Opening balance", "Coffee", "Salary", "Rent"]
    if types == "infer":
        assert data.column("amount").type == pa.float64()
    changes = pa.table(table.changes)
    assert changes.column("line").to_pylist() == blank_lines_of(b"\n\n" + STATEMENT)
    assert set(changes.column("detail").to_pylist()) == {"blank line skipped"}


@pytest.mark.parametrize("value", ["drop", 1, None])
def test_blank_lines_option_is_checked(tmp_path: Path, value: object) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(STATEMENT)
    with pytest.raises((TypeError, ValueError), match="blank_lines"):
        brinewick.read(src, blank_lines=value)


@pytest.mark.parametrize("mode, empty_rows", [("skip", 0), ("keep", 6)])
def test_cli_blank_lines_flag(tmp_path: Path, mode: str, empty_rows: int) -> None:
    src = tmp_path / "statement.csv"
    src.write_bytes(STATEMENT)
    result = subprocess.run([sys.executable, "-m", "brinewick", "salvage", str(src), "-o", "-",
                             "--blank-lines", mode, "--quiet"], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout.decode())))
    assert sum(not "".join(row).strip() for row in rows) == empty_rows
    assert len(rows) == len(non_blank_rows(STATEMENT)) + empty_rows


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_header_in_another_order_is_set_aside_and_counted(tmp_path: Path, jobs: int) -> None:
    path = tmp_path / "joined.csv"
    path.write_bytes(b"id,name,amount\n1,ann,3.5\n2,bob,4\nname,id,amount\ncid,3,5.5\nid,amount,x\n")
    table = brinewick.read(path, jobs=jobs)
    assert table.summary.set_aside["reordered_header"] == 1
    assert pa.table(table.quarantine).to_pydict()["reason"] == ["reordered_header"]
    # Not the same names: a row.
    assert pa.table(table).column("id").to_pylist() == ["1", "2", "cid", "id"]
