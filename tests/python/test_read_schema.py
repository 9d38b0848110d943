"""brinewick.read's column types, names, nulls and dtypes, seen through pyarrow."""
from __future__ import annotations

import datetime as dt
import os
import time

import pytest

import brinewick

pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc


def column_of(write_input, values, **options):
    """One column named v holding `values` (None: an empty field)."""
    lines = ["v"] + ['""' if v == "" else ("" if v is None else v) for v in values]
    # A second, always-filled column keeps lone empty fields from being blank lines.
    data = "\n".join(f"{line},x" for line in lines) + "\n"
    table = pa.table(brinewick.read(write_input(data.encode()), **options))
    return table.schema.field("v").type, table.column("v").to_pylist()


INFERENCE = [
    # (values, arrow type, python values)
    (["0", "-17", "9223372036854775807", "-9223372036854775808"], pa.int64(),
     [0, -17, 9223372036854775807, -9223372036854775808]),
    (["1", "9223372036854775808"], pa.string(), None),             # past int64: a double would be inexact
    (["5.118216247002567165e-01", "0.10000000000000001", "123456789.123456789"], pa.float64(), "float"),
    (["1", "-0"], pa.int64(), [1, 0]),
    (["1", "007"], pa.string(), None),                              # a leading zero is an identifier
    (["1", "+1"], pa.string(), None),
    (["1", "2.5", "-1e5", ".5", "1.5E-3"], pa.float64(), [1.0, 2.5, -1e5, 0.5, 1.5e-3]),
    (["0.1", "5."], pa.string(), None),
    (["1.5", "nan"], pa.string(), None),
    (["1e400"], pa.string(), None),
    (["true", "False", "TRUE"], pa.bool_(), [True, False, True]),
    (["true", "yes"], pa.string(), None),
    (["true", "1"], pa.string(), None),
    (["2024-02-29", "0001-01-01", "9999-12-31"], pa.date32(),
     [dt.date(2024, 2, 29), dt.date(1, 1, 1), dt.date(9999, 12, 31)]),
    (["2024-02-29", "2023-02-29"], pa.string(), None),
    (["2024-01-02", "2024-01-02T03:04:05"], pa.string(), None),     # dates and date-times do not mix
    (["2024-01-02T03:04:05", "2024-01-02 23:59:59.123456"], pa.timestamp("us"),
     [dt.datetime(2024, 1, 2, 3, 4, 5), dt.datetime(2024, 1, 2, 23, 59, 59, 123456)]),
    (["2024-01-02T03:04:05Z", "2024-01-02T03:04:05.5+01:00"], pa.timestamp("us", tz="UTC"),
     [dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC), dt.datetime(2024, 1, 2, 2, 4, 5, 500000, tzinfo=UTC)]),
    (["2024-01-02T03:04:05Z", "2024-01-02T03:04:05"], pa.string(), None),  # zoned and naive
    (["2024-01-02T24:00:00"], pa.string(), None),
    (["2024-12-31 23:59", "2024-01-02T03:04:05"], pa.timestamp("us"),
     [dt.datetime(2024, 12, 31, 23, 59), dt.datetime(2024, 1, 2, 3, 4, 5)]),
    (["2024-01-02T03:04:05.1234567"], pa.string(), None),            # a seventh digit would be cut
]


@pytest.mark.parametrize("values,kind,python", INFERENCE)
def test_inference(write_input, values, kind, python):
    got_type, got = column_of(write_input, values)
    assert got_type == kind
    if python == "float":  # what Python's own correctly rounded reading gives
        python = [float(v) for v in values]
    assert got == (values if python is None else python)


@pytest.mark.parametrize("empty_as_null,kind,python", [
    (True, pa.int64(), [1, None, 3]),
    (False, pa.string(), ["1", "", "3"]),
])
def test_empty_fields(write_input, empty_as_null, kind, python):
    got_type, got = column_of(write_input, ["1", "", "3"], empty_as_null=empty_as_null)
    assert (got_type, got) == (kind, python)


def test_all_null_column_is_text(write_input):
    assert column_of(write_input, ["", ""]) == (pa.string(), [None, None])


def test_types_str_keeps_text(write_input):
    assert column_of(write_input, ["1", "2"], types="str") == (pa.string(), ["1", "2"])


def test_padded_cells_follow_empty_as_null(write_input):
    path = write_input(b"a,b,c\n1,2,3\n4\n")
    assert pa.table(brinewick.read(path)).to_pylist()[1] == {"a": 4, "b": None, "c": None}
    assert pa.table(brinewick.read(path, empty_as_null=False, types="str")).to_pylist()[1] == {
        "a": "4", "b": "", "c": ""}


@pytest.mark.parametrize("header_line,names", [
    ("a,b,c", ["a", "b", "c"]),
    (",b, ", ["column_1", "b", "column_3"]),
    ("a,a,a", ["a", "a_2", "a_3"]),
    ("a,a,a_2", ["a", "a_3", "a_2"]),
    ("column_2,,x", ["column_2", "column_2_2", "x"]),
])
@pytest.mark.parametrize("types", ["infer", "str"])
def test_header_names(write_input, header_line, names, types):
    t = brinewick.read(write_input(f"{header_line}\n1,2,3\n".encode()), types=types)
    assert pa.schema(t).names == names
    assert pa.table(t).num_rows == 1


@pytest.mark.parametrize("types", ["infer", "str"])
def test_no_header(write_input, types):
    t = brinewick.read(write_input(b"a,b\n1,2\n"), header=False, types=types)
    table = pa.table(t)
    assert table.column_names == ["column_1", "column_2"]
    assert table.column("column_1").to_pylist() == ["a", "1"]


@pytest.mark.parametrize("types", ["infer", "str"])
def test_widest_row_without_width_check(write_input, types):
    path = write_input(b"a,b\n1\n1,2,3,4\n")
    table = pa.table(brinewick.read(path, expected_columns=0, types=types))
    assert table.column_names == ["a", "b", "column_3", "column_4"]
    want = [[1, None, None, None], [1, 2, 3, 4]] if types == "infer" else [
        ["1", None, None, None], ["1", "2", "3", "4"]]
    assert [list(r.values()) for r in table.to_pylist()] == want


@pytest.mark.parametrize("data,rows", [(b"", 0), (b"a,b\n", 0), (b"\n\n", 0)])  # blank lines are skipped
@pytest.mark.parametrize("types", ["infer", "str"])
def test_few_rows(write_input, data, rows, types):
    t = brinewick.read(write_input(data), types=types)
    assert pa.table(t).num_rows == rows == max(t.summary.salvaged_rows - 1, 0)


@pytest.mark.parametrize("dtypes,types,expected", [
    ({"zip": "str"}, "infer", {"id": pa.int64(), "zip": pa.string()}),
    ({"id": "float64"}, "infer", {"id": pa.float64(), "zip": pa.int64()}),
    ({"id": "int64"}, "str", {"id": pa.int64(), "zip": pa.string()}),
    ({"zip": "string"}, "str", {"id": pa.string(), "zip": pa.string()}),
])
def test_dtypes_override(write_input, dtypes, types, expected):
    path = write_input(b"id,zip\n1,2134\n2,10001\n")
    schema = pa.schema(brinewick.read(path, dtypes=dtypes, types=types))
    assert {f.name: f.type for f in schema} == expected


@pytest.mark.parametrize("dtypes,match", [
    ({"nope": "str"}, "nope"),
    ({"name": "int64"}, "name"),
    ({"id": "decimal"}, "unknown type"),
])
def test_dtypes_errors(write_input, dtypes, match):
    path = write_input(b"id,name\n1,x\n")
    with pytest.raises(ValueError, match=match):
        brinewick.read(path, dtypes=dtypes)


def _stock_export(write_input, bad, settled):
    """An inventory export of 300 rows; `bad` maps a row's index to its qty text."""
    lines = ["sku,qty,price"] + [f"SKU-{4100 + i},{bad.get(i, i % 40)},{i * 1.25:.2f}" for i in range(300)]
    path = write_input(("\n".join(lines) + "\n").encode())
    if settled:  # old enough that the first pass keeps its batches for the first stream
        os.utime(path, (time.time() - 3600,) * 2)
    return path


@pytest.mark.parametrize("settled", [False, True])
@pytest.mark.parametrize("type_errors,bad,kind", [
    ("null", {10: "n/a", 200: "12 pcs", 201: "-"}, pa.int64()),  # 1%: the type holds
    ("null", {10: "n/a", 200: "12 pcs", 201: "-", 250: "?"}, pa.string()),  # past 1%
    ("null", {5: "2.5"}, pa.float64()),  # a decimal widens the column rather than go null
    ("text", {10: "n/a"}, pa.string()),
])
def test_type_errors(write_input, settled, type_errors, bad, kind):
    path = _stock_export(write_input, bad, settled)
    got = brinewick.read(path, type_errors=type_errors)
    table = pa.table(got)
    assert table.schema.field("qty").type == kind
    text = [bad.get(i, str(i % 40)) for i in range(300)]
    read_as = {pa.string(): str, pa.float64(): float, pa.int64(): lambda v: int(v) if v.isdigit() else None}[kind]
    want = [read_as(v) for v in text]
    assert table.column("qty").to_pylist() == want
    nulled = {i: v for i, v in enumerate(text) if want[i] is None}
    records = pa.table(got.changes).to_pylist()
    assert [(r["line"], r["change"]) for r in records] == [(i + 2, "type_error") for i in sorted(nulled)]
    for r, i in zip(records, sorted(nulled)):
        assert "'qty'" in r["detail"] and f"'{nulled[i]}'" in r["detail"] and r["column"] == "qty"
    assert got.summary.changes["type_error"] == len(nulled)


@pytest.mark.parametrize("value,error", [("nulls", ValueError), (None, TypeError)])
def test_type_errors_is_checked(write_input, value, error):
    with pytest.raises(error, match="type_errors"):
        brinewick.read(write_input(b"a\n1\n"), type_errors=value)


GERMAN_EXPORT = """Buchungstag;Verwendungszweck;Betrag;Saldo;Menge
02.01.2024;Miete Januar;-1.250,00;3.480,12;1
03.01.2024;Gehalt;2.904,37;6.384,49;1
05.01.2024;REWE Markt;-47,83;6.336,66;12
08.01.2024;Stadtwerke;-1.000;5.336,66;1
"""


def test_decimal_commas_per_column(write_input):
    pd = pytest.importorskip("pandas")
    path = write_input(GERMAN_EXPORT.encode())
    table = pa.table(brinewick.read(path))
    # pandas' thousands="." would read the dates as numbers (02.01.2024 as 2012024).
    want = pd.read_csv(path, sep=";", decimal=",", thousands=".", dtype={"Buchungstag": str})
    for name in ("Betrag", "Saldo"):
        assert table.schema.field(name).type == pa.float64()
        assert table.column(name).to_pylist() == want[name].astype(float).tolist()
    # Integers with no comma keep their type; dates written with dots are day-first.
    assert table.schema.field("Menge").type == pa.int64()
    assert table.column("Buchungstag").to_pylist() == \
        pd.to_datetime(want["Buchungstag"], format="%d.%m.%Y").dt.date.tolist()


@pytest.mark.parametrize("values,order", [
    (["31/01/2024", "01/02/2024", "29/02/2024"], "%d/%m/%Y"),  # a day above 12 settles it
    (["01/31/2024", "02/01/2024", "12/25/2023"], "%m/%d/%Y"),
    (["03.04.2024", "31.12.1999"], "%d.%m.%Y"),
    (["03/04/2024", "05/06/2024"], None),                      # either reading: stays text
    (["31/01/2024", "01/31/2024"], None),                      # both readings needed: text
    (["30/02/2024", "01/01/2024"], None),                      # no such day
])
def test_dates_by_column(write_input, values, order):
    got_type, got = column_of(write_input, values)
    if order is None:
        assert (got_type, got) == (pa.string(), values)
    else:
        assert got_type == pa.date32()
        assert got == [dt.datetime.strptime(v, order).date() for v in values]
    if order is None and values[0] == "03/04/2024":  # dtypes decides what the column cannot
        forced = column_of(write_input, values, dtypes={"v": "date32[%m/%d/%Y]"})
        assert forced == (pa.date32(), [dt.date(2024, 3, 4), dt.date(2024, 5, 6)])


@pytest.mark.parametrize("decimal,values,kind,python", [
    (None, ["1.000", "2.500"], pa.float64(), [1.0, 2.5]),        # as pandas and Polars read them
    (",", ["1.000", "2.500"], pa.float64(), [1000.0, 2500.0]),  # decimal="," makes the dots thousands
    (",", ["1.5", "2"], pa.string(), None),
    (".", ["3,50", "1.234,56"], pa.string(), None),
    (None, ["3,50", "1.234,56"], pa.float64(), [3.5, 1234.56]),
])
def test_decimal_option(write_input, decimal, values, kind, python):
    path = write_input(("Betrag;Notiz\n" + "".join(f"{v};x\n" for v in values)).encode())
    table = pa.table(brinewick.read(path, decimal=decimal))
    assert table.schema.field("Betrag").type == kind
    assert table.column("Betrag").to_pylist() == (values if python is None else python)


def test_decimal_is_checked(write_input):
    with pytest.raises(ValueError, match="decimal"):
        brinewick.read(write_input(b"a\n1\n"), decimal=";")


def typed_column(write_input, values, settled, **options):
    """column_of, the file old enough (`settled`) for the first pass's own
    batches to be converted and handed out, else made again by the stream."""
    lines = ["v"] + ["" if v is None else v for v in values]
    path = write_input(("\n".join(f"{line},x" for line in lines) + "\n").encode())
    if settled:
        os.utime(path, (time.time() - 3600,) * 2)
    table = pa.table(brinewick.read(path, **options))
    return table.schema.field("v").type, table.column("v").to_pylist()


@pytest.mark.parametrize("settled", [False, True])
@pytest.mark.parametrize("thousands,decimal,values,kind,python", [
    (",", None, ['"1,234,567"', "12", '"-1,000"'], pa.int64(), [1234567, 12, -1000]),
    (",", None, ['"1,234.5"', "2"], pa.float64(), [1234.5, 2.0]),
    (",", None, ['"1,23"', "5"], pa.string(), ["1,23", "5"]),          # mis-grouped: not a number
    (",", None, ['"12,3456"', "5"], pa.string(), ["12,3456", "5"]),
    (" ", None, ["1 234 567", "89"], pa.int64(), [1234567, 89]),
    (" ", ",", ['"1 234,56"', '"0,5"'], pa.float64(), [1234.56, 0.5]),
    ("'", None, ["1'234'567.25", "3"], pa.float64(), [1234567.25, 3.0]),
    (".", ",", ['"1.234,56"', "7"], pa.float64(), [1234.56, 7.0]),
    (".", None, ["1.234.567", "1.000"], pa.int64(), [1234567, 1000]),  # the dot groups: no decimal point
    (None, None, ['"1,234"', "12"], pa.float64(), [1.234, 12.0]),       # without it: a decimal comma
    (None, None, ['"1.234,56"', '"3,50"'], pa.float64(), [1234.56, 3.5]),
    # Commas the column shows to group thousands, with none given.
    (None, None, ['"1,234,567"', "12", '"-1,000"'], pa.int64(), [1234567, 12, -1000]),
    (None, None, ['"1,234.56"', "-1241.45", "7"], pa.float64(), [1234.56, -1241.45, 7.0]),
    (None, ".", ['"1,234"', "12"], pa.int64(), [1234, 12]),
    (None, None, ['"1,234.56"', '"1,23"'], pa.string(), ["1,234.56", "1,23"]),
    (None, None, ['"01,234"', "5"], pa.string(), ["01,234", "5"]),
])
def test_thousands(write_input, settled, thousands, decimal, values, kind, python):
    got = typed_column(write_input, values, settled, thousands=thousands, decimal=decimal)
    assert got == (kind, python)


def test_thousands_as_pandas_reads_them(write_input):
    pd = pytest.importorskip("pandas")
    rows = [(f"{n:,}", f"{n * 1.5:,.2f}") for n in (7, 1234, 98765, 1234567, -20000)]
    path = write_input(("n,x\n" + "".join(f'"{a}","{b}"\n' for a, b in rows)).encode())
    table = pa.table(brinewick.read(path, thousands=","))
    want = pd.read_csv(path, thousands=",")
    assert table.schema.types == [pa.int64(), pa.float64()]
    assert table.column("n").to_pylist() == want["n"].tolist()
    assert table.column("x").to_pylist() == want["x"].tolist()


@pytest.mark.parametrize("options,error", [
    ({"thousands": ";"}, ValueError),
    ({"thousands": ",,"}, ValueError),
    ({"thousands": 1}, TypeError),
    ({"thousands": ",", "decimal": ","}, ValueError),
    ({"thousands": ".", "decimal": "."}, ValueError),
    ({"null_values": "NA"}, TypeError),      # a str is not a list of texts
    ({"null_values": ["NA", 1]}, TypeError),
    ({"null_values": 5}, TypeError),
    ({"null_values": [""]}, ValueError),     # empty_as_null decides the empty cell
])
def test_new_options_are_checked(write_input, options, error):
    name = "thousands" if "thousands" in options else "null_values"
    with pytest.raises(error, match=name):
        brinewick.read(write_input(b"a\n1\n"), **options)


def _at(*parts):
    return dt.datetime(*parts)


@pytest.mark.parametrize("settled", [False, True])
@pytest.mark.parametrize("values,kind,python", [
    (["2024-01-02 3:04 PM", "2024-01-02 12:00 am", "2024-01-02 11:59:59.5 pm"], pa.timestamp("us"),
     [_at(2024, 1, 2, 15, 4), _at(2024, 1, 2, 0, 0), _at(2024, 1, 2, 23, 59, 59, 500000)]),
    (["2024-01-02 3:04PM", "2024-01-02T23:04:05"], pa.timestamp("us"),
     [_at(2024, 1, 2, 15, 4), _at(2024, 1, 2, 23, 4, 5)]),
    (["01/02/2024 03:04:05 pm", "13/02/2024 11:00 AM"], pa.timestamp("us"),
     [_at(2024, 2, 1, 15, 4, 5), _at(2024, 2, 13, 11, 0)]),
    (["01/13/2024 3:04 PM", "02/01/2024 10:00"], pa.timestamp("us"),
     [_at(2024, 1, 13, 15, 4), _at(2024, 2, 1, 10, 0)]),
    (["31.01.2024 14:30", "01.02.2024 9:00 am"], pa.timestamp("us"),
     [_at(2024, 1, 31, 14, 30), _at(2024, 2, 1, 9, 0)]),
    (["01/02/2024 03:04 PM", "03/04/2024 05:06 AM"], pa.string(), None),  # day or month: unsettled
    (["2024-01-02 3:04", "2024-01-02 10:00"], pa.string(), None),          # 12-hour without AM/PM
    (["2024-01-02 13:04 PM"], pa.string(), None),
    (["2024-01-02 3:04 PM", "2024-01-02 3:04 PM+01:00"], pa.string(), None),
])
def test_twelve_hour_times(write_input, settled, values, kind, python):
    got = typed_column(write_input, values, settled)
    assert got == (kind, values if python is None else python)


def test_written_date_times_can_be_forced(write_input):
    values = ["01/02/2024 03:04 PM", "03/04/2024 05:06 AM"]
    got = typed_column(write_input, values, False, dtypes={"v": "timestamp[%m/%d/%Y]"})
    assert got == (pa.timestamp("us"), [_at(2024, 1, 2, 15, 4), _at(2024, 3, 4, 5, 6)])


NULL_TEXTS = ["NA", "N/A", "null"]


@pytest.mark.parametrize("settled", [False, True])
@pytest.mark.parametrize("values,options,kind,python", [
    (["1", "NA", "3"], {}, pa.string(), ["1", "NA", "3"]),            # by default NA is a value
    (["1", "NA", "3"], {"null_values": NULL_TEXTS}, pa.int64(), [1, None, 3]),
    (["1.5", "null", "N/A", None], {"null_values": NULL_TEXTS}, pa.float64(), [1.5, None, None, None]),
    (["US", "NA", "FR"], {}, pa.string(), ["US", "NA", "FR"]),
    (["US", "NA", "FR"], {"null_values": ("NA",)}, pa.string(), ["US", None, "FR"]),
    (["1", "NA", "n/a"], {"null_values": ["NA"]}, pa.string(), ["1", None, "n/a"]),
    (["1", '""', "NA"], {"null_values": ["NA"], "empty_as_null": False}, pa.string(), ["1", "", None]),
    (["1", "NA", "3"], {"null_values": ["NA"], "types": "str"}, pa.string(), ["1", None, "3"]),
    (["1", "NA", "-"], {"null_values": ["NA"], "type_errors": "null"}, pa.string(), ["1", None, "-"]),
])
def test_null_values(write_input, settled, values, options, kind, python):
    assert typed_column(write_input, values, settled, **options) == (kind, python)


def test_null_values_are_no_type_errors(write_input):
    lines = ["qty"] + [str(i) for i in range(150)] + ["NA", "n/a"]
    got = brinewick.read(write_input(("\n".join(lines) + "\n").encode()), null_values=["NA"], type_errors="null")
    table = pa.table(got)
    assert table.schema.field("qty").type == pa.int64()
    assert table.column("qty").to_pylist()[-2:] == [None, None]
    assert [r["detail"] for r in pa.table(got.changes).to_pylist()] == ["column 'qty' is int64: 'n/a' read as null"]
