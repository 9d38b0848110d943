"""The table inside real exports: the header found below titles and parameters, files joined with
cat, comment lines; the same through salvage, read, Dask and the command line, on one thread or
two with tiny chunks, and never a preamble where the first row is the header."""
from __future__ import annotations

import csv
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")

import brinewick  # noqa: E402
from brinewick._api import _salvage  # noqa: E402
from brinewick._options import NativeSettings  # noqa: E402
from brinewick._read import _read  # noqa: E402

# A bank's statement export: account parameters, a blank line, then the table.
BANK = (
    b"Account name:,Jane Doe\r\n"
    b"Account number:,12345678\r\n"
    b"Statement period:,01/03/2024 - 31/03/2024\r\n"
    b"\r\n"
    b"Date,Description,Amount,Balance\r\n"
    b"01/03/2024,Opening balance,,1200.50\r\n"
    b"02/03/2024,\"Coffee, large\",-3.20,1197.30\r\n"
    b"05/03/2024,Salary,2500.00,3697.30\r\n"
)
# A German spreadsheet export: a title spread over the width, decimal commas.
GERMAN = (
    "Umsatzanzeige;;;\n"
    "Zeitraum: 01.03.2024 - 31.03.2024;;;\n"
    "Buchungstag;Verwendungszweck;Betrag;Saldo\n"
    "01.03.2024;Bäckerei Müller;-3,50;1.196,50\n"
    "04.03.2024;Gehalt;2.500,00;3.696,50\n"
).encode()
REPORT = b"Sales report Q3\nGenerated 2024-10-01 by system\n\nid,name,amount\n1,ann,3.5\n\n2,bob,4\n"
# More title lines than rows of data: the commonest width is 1, the table's is 3.
SHORT = (b"Monthly summary\nCompany: ACME\nPeriod: March 2024\nCurrency: EUR\nPrepared by: finance\n"
         b"Printed: 2024-04-02\n\nregion,units,revenue\nnorth,10,100.5\nsouth,12,130.25\n")
# Two exports joined with cat: the second has a BOM and CRLF line ends.
JOINED = b"id,name,amount\n1,ann,3.5\n2,bob,4\n" + b"\xef\xbb\xbfid,name,amount\r\n3,cid,5\r\n"


def salvage_run(tmp_path: Path, data: bytes, jobs: int = 1, **options):
    src, out, q = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"
    src.write_bytes(data)
    options = {"delimiter": None, **options}
    summary = _salvage(src, out, quarantine=q, changes=None, quote_char='"',
                       fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True,
                       progress=None, durable=False, read_size=5, jobs=jobs, chunk_size=32, **options)
    clean = list(csv.reader(io.StringIO(out.read_bytes().decode()), delimiter=summary.detected_delimiter))
    records = [(int(r[0]), r[2], r[-1]) for r in list(csv.reader(io.StringIO(q.read_bytes().decode())))[1:]]
    return summary, clean, records


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize(("data", "header", "aside", "counts"), [
    (BANK, ["Date", "Description", "Amount", "Balance"],
     [(1, "preamble", "Account name:,Jane Doe"), (2, "preamble", "Account number:,12345678"),
      (3, "preamble", "Statement period:,01/03/2024 - 31/03/2024")], {"preamble": 3}),
    (GERMAN, ["Buchungstag", "Verwendungszweck", "Betrag", "Saldo"],
     [(1, "preamble", "Umsatzanzeige;;;"), (2, "preamble", "Zeitraum: 01.03.2024 - 31.03.2024;;;")],
     {"preamble": 2}),
    (REPORT, ["id", "name", "amount"],
     [(1, "preamble", "Sales report Q3"), (2, "preamble", "Generated 2024-10-01 by system")], {"preamble": 2}),
    (JOINED, ["id", "name", "amount"], [(4, "repeated_header", "\ufeffid,name,amount")], {"repeated_header": 1}),
    (SHORT, ["region", "units", "revenue"],
     [(n + 1, "preamble", line.decode()) for n, line in enumerate(SHORT.split(b"\n")[:6])], {"preamble": 6}),
    (GERMAN + GERMAN.replace(b"03.2024", b"04.2024"), ["Buchungstag", "Verwendungszweck", "Betrag", "Saldo"],
     [(1, "preamble", "Umsatzanzeige;;;"), (2, "preamble", "Zeitraum: 01.03.2024 - 31.03.2024;;;"),
      (6, "preamble", "Umsatzanzeige;;;"), (7, "preamble", "Zeitraum: 01.04.2024 - 31.04.2024;;;"),
      (8, "repeated_header", "Buchungstag;Verwendungszweck;Betrag;Saldo")],
     {"preamble": 4, "repeated_header": 1}),
], ids=["bank", "german", "report", "joined", "short", "joined_exports"])
def test_salvage_finds_the_table(tmp_path: Path, jobs: int, data: bytes, header: list, aside: list,
                                 counts: dict) -> None:
    summary, clean, records = salvage_run(tmp_path, data, jobs)
    assert clean[0] == header
    assert all(len(row) == len(header) for row in clean)
    assert records == aside
    assert {k: v for k, v in summary.set_aside.items() if v} == counts
    assert summary.quarantined_rows == len(aside)
    assert summary.header_line == next(i + 1 for i, line in enumerate(data.decode("utf-8-sig").splitlines())
                                       if line.startswith(header[0]))


@pytest.mark.parametrize("jobs", [1, 2])
def test_read_names_and_types_the_columns_below_a_preamble(tmp_path: Path, jobs: int) -> None:
    for data, types in ((BANK, ["string", "string", "double", "double"]),
                        (GERMAN, ["date32[day]", "string", "double", "double"]),
                        (JOINED, ["int64", "string", "double"])):
        src = tmp_path / "in.csv"
        src.write_bytes(data)
        table = _read(src, NativeSettings.check(jobs=jobs, read_size=5, chunk_size=32))
        got = pa.table(table)
        assert [str(t) for t in got.schema.types] == types, data[:20]
        assert got.num_rows == 3 if data is not GERMAN else got.num_rows == 2
        assert pa.table(table.quarantine).column("reason").to_pylist()[0] in ("preamble", "repeated_header")


@pytest.mark.parametrize(("data", "options"), [
    (b"id,name\n1,ann\n2,bob\n", {}),  # the usual file
    (b"1,2,3\n4,5,6\n", {}),  # no header at all
    (b"name,city\nann,paris,x\nbob,rome,y\n", {}),  # a short header over text: not a preamble
    (REPORT, {"header_row": 0}),  # the first line taken as the header, as the backend does
    # A list of names, a few of them with commas: no table of numbers under them.
    (b"name\nann\nbob\ncid\ndan\nSmith, John\nLee, Ann\nRay, Bo\n", {}),
])
def test_no_preamble_where_the_first_row_is_the_header(tmp_path: Path, data: bytes, options: dict) -> None:
    summary, _, records = salvage_run(tmp_path, data, **options)
    assert not any(reason == "preamble" for _, reason, _ in records)
    assert summary.header_line == 1


@pytest.mark.parametrize("jobs", [1, 2])
def test_comments_skip_rows_and_header_row(tmp_path: Path, jobs: int) -> None:
    data = b"# exported 2024-10-01\nid,name\n1,ann\n# a note, mid-file\n2,bob\n"
    _, clean, records = salvage_run(tmp_path, data, jobs, comment="#")
    assert clean == [["id", "name"], ["1", "ann"], ["2", "bob"]]
    assert [r[1] for r in records] == ["comment", "comment"]
    _, clean, records = salvage_run(tmp_path, b"x\ny\nid,name\n1,ann\n", jobs, skip_rows=2)
    assert clean[0] == ["id", "name"] and [r[:2] for r in records] == [(1, "preamble"), (2, "preamble")]
    _, clean, _ = salvage_run(tmp_path, b"t,u\nid,name\n1,ann\n", jobs, header_row=1)
    assert clean == [["id", "name"], ["1", "ann"]]
    # Kept on request: the joined file's second header stays a row.
    _, clean, _ = salvage_run(tmp_path, JOINED, jobs, repeated_headers="keep")
    assert sum(row[0].lstrip("\ufeff") == "id" for row in clean) == 2


@pytest.mark.parametrize(("option", "value", "error"), [
    ("header_row", -1, ValueError), ("header_row", "1", TypeError), ("skip_rows", 1.5, TypeError),
    ("comment", "##", ValueError), ("comment", ",", ValueError), ("repeated_headers", "drop", ValueError),
])
def test_table_options_are_checked(tmp_path: Path, option: str, value: object, error: type) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(REPORT)
    with pytest.raises(error, match=option):
        brinewick.salvage(src, tmp_path / "out.csv", delimiter=",", **{option: value})
    with pytest.raises(ValueError, match="skip_rows"):
        brinewick.read(src, header_row=1, skip_rows=2)


def test_dask_reads_a_preamble_file_in_parts_as_read_does(tmp_path: Path) -> None:
    bwd = pytest.importorskip("brinewick.dask")
    body = b"".join(b"2024-03-%02d,item %d,%d.5\n" % (i % 28 + 1, i, i) for i in range(400))
    src = tmp_path / "in.csv"
    # Two exports joined: the second's preamble (its run line differs) and header are set aside too.
    src.write_bytes(b"Report\nRun by: ops\n\nday,item,amount\n" + body + b"Report\nRun by: cron\nday,item,amount\n" + body)
    got = bwd.read(str(src), blocksize=2000)
    assert got.data.npartitions > 2
    whole = brinewick.read(src)
    data = got.data.compute()
    assert list(data.columns[:3]) == ["day", "item", "amount"]
    assert data["amount"].tolist() == pa.table(whole).column("amount").to_pylist()
    reasons = got.quarantine.compute()["reason"].tolist()
    assert reasons == pa.table(whole.quarantine).column("reason").to_pylist() == ["preamble"] * 4 + ["repeated_header"]


def test_inspect_says_what_was_set_aside(tmp_path: Path) -> None:
    src = tmp_path / "statement.csv"
    src.write_bytes(BANK)
    run = subprocess.run([sys.executable, "-m", "brinewick", "inspect", str(src)], capture_output=True, timeout=60)
    assert "table: header on line 5; 3 preamble lines set aside" in run.stdout.decode(), run.stderr
    run = subprocess.run([sys.executable, "-m", "brinewick", "salvage", str(src), "-o", str(tmp_path / "out.csv"),
                          "--json", "--header-row", "0"], capture_output=True, timeout=60)
    report = json.loads(run.stdout)
    assert (report["header_line"], report["set_aside"]["preamble"]) == (1, 0)


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("head", [b"sep=;\r\n", b"\xef\xbb\xbfsep=;\n"], ids=["crlf", "bom"])
def test_excel_separator_line_names_the_delimiter(tmp_path: Path, jobs: int, head: bytes) -> None:
    data = head + "name;city,region\r\nJosé;München, Bayern\r\n".encode("cp1252")
    summary, clean, records = salvage_run(tmp_path, data, jobs)
    assert (summary.detected_delimiter, summary.changes["separator_line"], records) == (";", 1, [])
    assert clean == [["name", "city,region"], ["José", "München, Bayern"]]
    table = pa.table(brinewick.read(tmp_path / "in.csv", jobs=jobs))
    assert table.column_names == ["name", "city,region"] and table.num_rows == 1
    # Given a delimiter, the line is still no row; with header_row=0 it is the header.
    assert salvage_run(tmp_path, data, jobs, delimiter=",")[1][0] == ["name;city", "region"]
    assert salvage_run(tmp_path, data, jobs, header_row=0)[1][0] == ["sep=", ""]


RGB = b"color;rgb\n" + b"".join(b"c%d;%d,0,%d\n" % (i, i, 2 * i) for i in range(40))


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize(("data", "ours", "backend"), [
    (RGB, ";", ","),  # RGB triples split evenly by the comma on every row but the header
    (b"a;b;c\n", ";", ","),  # one row
    (b"name, surname;age\nann, lee;3\nbob, ray;4\n", ";", ","),  # a tie broken by the number column
    (b"Sales report, Q3 2024\nGenerated on 2024-10-01, by system\n\nid;name;amount\n1;ann;3,5\n2;bob;4\n", ";", ";"),
], ids=["rgb", "one_row", "three_rows", "titles_with_commas"])
def test_sniffing_sees_the_table(tmp_path: Path, jobs: int, data: bytes, ours: str, backend: str) -> None:
    summary, clean, _ = salvage_run(tmp_path, data, jobs)
    assert summary.detected_delimiter == ours
    assert all(len(row) == len(clean[0]) >= 2 for row in clean)
    assert clean[0][0] in ("color", "a", "name, surname", "id")
    # header_row=0 reads the file as the backend does, delimiter included.
    assert salvage_run(tmp_path, data, jobs, header_row=0)[0].detected_delimiter == backend
    sniffed = brinewick.sniff_file(tmp_path / "in.csv")
    assert sniffed.delimiter == ours and 0.0 <= sniffed.confidence <= 1.0
    if data is RGB:
        assert sniffed.confidence < 0.2  # a close call, which the report warns of


# Runs of blank lines are passed over in one step wherever they stand (above
# the header, between rows, the whole file): each line keeps its own record,
# as it would one at a time. One column repeats no header: there a value may
# equal it.
@pytest.mark.parametrize("blank_lines", ["skip", "keep"])
@pytest.mark.parametrize(("data", "clean", "aside"), [
    (b"title\n" + b"\n" * 40 + b"a,b\n1,2\n" + b"\r\n" * 30 + b"3,4\n", [["a", "b"], ["1", "2"], ["3", "4"]],
     [1]),
    (b"\n" * 50, [], []),
    (b"word\n" * 60, [["word"]] * 60, []),
], ids=["around-the-header", "all-blank", "one-column"])
def test_runs_of_blank_lines_and_one_column_repeats(tmp_path: Path, data: bytes, clean, aside, blank_lines) -> None:
    lines = data.replace(b"\r\n", b"\n").split(b"\n")[:-1]
    blank = [i + 1 for i, line in enumerate(lines) if not line]
    src, changes = tmp_path / "in.csv", tmp_path / "c.csv"
    src.write_bytes(data)
    runs = []
    for jobs in (1, 2):
        summary = _salvage(src, tmp_path / "o.csv", quarantine=tmp_path / "q.csv", changes=changes, delimiter=None,
                           quote_char='"', fill_ragged_rows=True, merge_overflow=True, expected_columns=None,
                           repair_quotes=True, progress=None, durable=False, read_size=5, jobs=jobs, chunk_size=32,
                           blank_lines=blank_lines)
        runs.append([(tmp_path / n).read_bytes() for n in ("o.csv", "q.csv", "c.csv")] + [summary.total_rows])
    assert runs[0] == runs[1]
    clean_rows = list(csv.reader(io.StringIO(runs[0][0].decode())))
    set_aside = [int(r[0]) for r in list(csv.reader(io.StringIO(runs[0][1].decode())))[1:]]
    changed = [(int(r[0]), r[2]) for r in list(csv.reader(io.StringIO(runs[0][2].decode())))[1:]]
    assert runs[0][3] == len(lines)
    if blank_lines == "skip":
        assert clean_rows == clean and set_aside == aside and changed == [(n, "blank_line") for n in blank]
    else:  # padded rows below the header; above it they are set aside
        assert [r for r in clean_rows if any(r)] == clean and len(clean_rows) + len(set_aside) == len(lines)


# Bank exports that end each data row with a comma: the table keeps the
# header's width and each row's empty last field is dropped with a record;
# where some last fields hold text, the header is the one padded.
@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize(("last", "width", "changes"), [("", 3, {"trailing_empty": 3}), ("x", 4, {"padded": 1})])
def test_rows_that_end_in_a_delimiter_take_the_headers_width(tmp_path: Path, jobs: int, last: str, width: int,
                                                             changes) -> None:
    data = f"Date,Description,Amount\n03/15/2024,\"AMAZON, WA\",-23.99,\n03/14/2024,PAYROLL,2500.00,{last}\n" \
           f"03/13/2024,CHECK 1234,-100.00,\n".encode()
    summary, clean, _ = salvage_run(tmp_path, data, jobs)
    assert {len(row) for row in clean} == {width} and clean[1][:3] == ["03/15/2024", "AMAZON, WA", "-23.99"]
    assert {k: v for k, v in summary.changes.items() if v} == changes


# A file padded or cut short on disk: its rows of NUL bytes are set aside
# wherever they stand, on every path; "keep" keeps them as the backend does.
@pytest.mark.parametrize("jobs", [1, 2])
def test_rows_of_nul_bytes_are_set_aside(tmp_path: Path, jobs: int) -> None:
    data = b"a,b\n1,2\n" + b"\x00" * 700 + b"\n3,4\n" + b"\x00" * 5000
    summary, clean, records = salvage_run(tmp_path, data, jobs)
    assert clean == [["a", "b"], ["1", "2"], ["3", "4"]]
    assert [(line, reason) for line, reason, _ in records] == [(3, "nul_padding"), (5, "nul_padding")]
    assert summary.set_aside["nul_padding"] == 2 and summary.quarantined_rows == 2
    table = _read(tmp_path / "in.csv", NativeSettings.check(jobs=jobs, read_size=5, chunk_size=32))
    assert pa.table(table).to_pylist() == [{"a": 1, "b": 2}, {"a": 3, "b": 4}]
    assert pa.table(table.quarantine).column("reason").to_pylist() == ["nul_padding"] * 2
    kept = salvage_run(tmp_path, data, jobs, blank_lines="keep")[1]
    assert len(kept) == 5 and kept[2][0] == "\x00" * 700
