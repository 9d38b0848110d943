"""brinewick.read handed to pyarrow, Polars, DuckDB and pandas: the same cells as the reader."""
from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

import _brinewick_backend as backend
import brinewick

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")
duckdb = pytest.importorskip("duckdb")

GEN_DATA = Path(__file__).resolve().parents[2] / "bench" / "gen_data.py"


@pytest.fixture(scope="module")
def messy(tmp_path_factory: pytest.TempPathFactory) -> str:
    path = tmp_path_factory.mktemp("messy") / "messy.csv"
    subprocess.run([sys.executable, str(GEN_DATA), "--kind", "messy", "--size-mb", "0.4", "--seed", "7",
                    "--out", str(path)], check=True)
    return str(path)


def reader_rows(path: str, **options) -> list[list[str]]:
    with backend.open(path, **options) as rows:
        return [list(row) for row in rows]


def as_text(rows) -> list[list[str]]:
    return [[cell for cell in row] for row in rows]


def via_pyarrow(t):
    return [list(r.values()) for r in pa.table(t).to_pylist()]


def via_polars(t):
    return [list(r) for r in pl.DataFrame(t).rows()]


def via_duckdb(t):
    con = duckdb.connect()
    try:
        rows = con.execute("select * from t").fetchall()
    finally:
        con.close()
    return [list(r) for r in rows]


def via_pandas(t):
    return [list(r) for r in t.to_pandas().itertuples(index=False)]


CONSUMERS = {"pyarrow": via_pyarrow, "polars": via_polars, "duckdb": via_duckdb, "pandas": via_pandas}


@pytest.mark.parametrize("consumer", sorted(CONSUMERS))
@pytest.mark.parametrize("header", [True, False])
@pytest.mark.parametrize("batch_rows", [97, 1 << 16])
def test_every_library_gets_the_reader_cells(messy, consumer, header, batch_rows):
    expected = reader_rows(messy)
    t = brinewick.read(messy, types="str", empty_as_null=False, header=header, batch_rows=batch_rows,
                       repair="literal", blank_lines="keep",
                       encoding="utf-8")  # the backend's reading of its invalid UTF-8
    got = CONSUMERS[consumer](t)
    want = expected[1:] if header else expected
    if consumer == "duckdb":  # DuckDB's parallel scan does not promise the order
        got, want = sorted(got), sorted(want)
    assert got == want
    names = pa.schema(t).names
    assert names == (expected[0] if header else [f"column_{i + 1}" for i in range(len(expected[0]))])


@pytest.mark.parametrize("options", [
    {"fill_ragged_rows": False, "merge_overflow": False},
    {"expected_columns": 4},
    {"repair_quotes": False, "delimiter": ","},
])
def test_salvage_options_give_the_reader_rows(messy, options):
    expected = reader_rows(messy, **options)
    t = brinewick.read(messy, types="str", empty_as_null=False, repair="literal", blank_lines="keep",
                       encoding="utf-8", **options)
    assert via_pyarrow(t) == expected[1:]


def test_inferred_columns_hold_the_same_values_as_text(messy):
    """Typed columns read back as the very text the reader gives."""
    expected = reader_rows(messy)
    table = pa.table(brinewick.read(messy, repair="literal", blank_lines="keep"))
    typed = [f for f in table.schema if not pa.types.is_string(f.type)]
    assert typed, "the generated orders table has numeric columns"
    for field in typed:
        column = expected[0].index(field.name)
        texts = [row[column] for row in expected[1:]]
        values = table.column(field.name).to_pylist()
        for text, value in zip(texts, values):
            if text == "":
                assert value is None
            elif pa.types.is_integer(field.type):
                assert int(text) == value
            elif pa.types.is_floating(field.type):
                assert float(text) == value


def test_polars_and_duckdb_take_the_inferred_schema(messy):
    t = brinewick.read(messy)
    schema = pa.schema(t)
    frame = pl.DataFrame(t)
    assert frame.columns == schema.names
    assert frame.height == brinewick.read(messy).summary.salvaged_rows - 1
    con = duckdb.connect()
    try:
        count = con.execute("select count(*) from t").fetchone()[0]
    finally:
        con.close()
    assert count == frame.height


def test_to_polars_and_record_batch_reader_agree(messy):
    t = brinewick.read(messy, types="str", empty_as_null=False, batch_rows=1000)
    reader = pa.RecordBatchReader.from_stream(t)
    batches = list(reader)
    assert len(batches) > 1 and all(b.num_rows <= 1000 for b in batches)
    assert pa.Table.from_batches(batches).equals(t.to_arrow())
    assert t.to_polars().equals(pl.from_arrow(t.to_arrow()))


@pytest.mark.parametrize("header, names", [
    (b"a\x00,a\x00b", ["a\ufffd", "a\ufffdb"]),
    (b"\x00x,\x00y", ["\ufffdx", "\ufffdy"]),
    (b"a\x00,a\xef\xbf\xbd,\x00", ["a\ufffd", "a\ufffd_2", "\ufffd"]),
])
@pytest.mark.parametrize("types", ["str", "infer"])
def test_a_nul_in_a_header_name_is_exported_whole_and_unique(tmp_path, header, names, types):
    path = tmp_path / "nul.csv"
    path.write_bytes(header + b"\n" + b",".join([b"1"] * len(names)) + b"\n")
    t = brinewick.read(str(path), types=types)
    assert pa.table(t).column_names == names
    assert pl.DataFrame(pa.table(t)).columns == names
    assert pl.DataFrame(t).columns == names
