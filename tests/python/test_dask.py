"""brinewick.dask on a real distributed cluster: two worker processes."""
from __future__ import annotations

import gzip
import pickle
from pathlib import Path

import pytest

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import brinewick  # noqa: E402
import brinewick.dask as bwd  # noqa: E402

FILES = {
    "a.csv": b"id,name\n1,x\n2\n3,\"y\"z\n",
    "b.csv": b"k;v\n1;2;3\n\n4;5\n",
    "c.tsv": b"p\tq\n\xff\t1\n",
}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def inputs(tmp_path: Path) -> Path:
    folder = tmp_path / "in"
    folder.mkdir()
    for name, data in FILES.items():
        (folder / name).write_bytes(data)
    return folder


def test_salvage_on_workers_matches_local_salvage(client, inputs: Path, tmp_path: Path) -> None:
    out = tmp_path / "out"
    summaries = bwd.salvage(str(inputs / "*"), out, merge_overflow=False)
    assert len(client.scheduler_info()["workers"]) == 2
    names = sorted(FILES)
    assert [s.bytes_read for s in summaries] == [len(FILES[n]) for n in names]
    for name, summary in zip(names, summaries):
        stem = Path(name).stem
        local = tmp_path / "local"
        local.mkdir(exist_ok=True)
        expected = brinewick.salvage(inputs / name, local / "clean.csv", quarantine=local / "q.csv",
                                     changes=local / "c.csv", merge_overflow=False)
        assert (out / f"{stem}.csv").read_bytes() == (local / "clean.csv").read_bytes()
        assert (out / f"{stem}.quarantine.csv").read_bytes() == (local / "q.csv").read_bytes()
        assert (out / f"{stem}.changes.csv").read_bytes() == (local / "c.csv").read_bytes()
        assert {k: v for k, v in summary.to_dict().items() if k != "elapsed"} == \
               {k: v for k, v in expected.to_dict().items() if k != "elapsed"}


def test_numpy_jobs_reach_the_workers(client, inputs: Path, tmp_path: Path) -> None:
    np = pytest.importorskip("numpy")
    bwd.salvage(str(inputs / "a.csv"), tmp_path / "out", jobs=np.int64(2))
    brinewick.salvage(inputs / "a.csv", tmp_path / "local.csv", jobs=2)
    assert (tmp_path / "out" / "a.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()


def test_summaries_survive_pickling(inputs: Path, tmp_path: Path) -> None:
    summary = brinewick.salvage(inputs / "a.csv", tmp_path / "x.csv")
    again = pickle.loads(pickle.dumps(summary))
    assert again == summary and dict(again.changes) == dict(summary.changes)
    with pytest.raises(TypeError):
        again.changes["padded"] = 5  # type: ignore[index]


@pytest.mark.parametrize(
    "paths, error",
    [
        ("nothing-here/*.csv", FileNotFoundError),
        ([], ValueError),
        ([b"a.csv"], TypeError),
    ],
)
def test_salvage_refuses_bad_path_lists(tmp_path: Path, paths, error) -> None:
    with pytest.raises(error):
        bwd.salvage(paths, tmp_path / "out")


def test_same_named_inputs_are_refused_before_any_work(tmp_path: Path) -> None:
    for sub in ("x", "y"):
        (tmp_path / sub).mkdir()
        (tmp_path / sub / "same.csv").write_bytes(b"a,b\n")
    with pytest.raises(ValueError, match="same name"):
        bwd.salvage([tmp_path / "x" / "same.csv", tmp_path / "y" / "same.csv"], tmp_path / "out")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("names, out, message", [
    (["a.csv", "a.quarantine.csv", "a.changes.csv"], "out", r"two outputs would be written to .*/out/a\.\w+\.csv"),
    (["a.csv", "b.csv"], "in", "would overwrite the input .*a.csv"),
])
def test_outputs_that_collide_are_refused_before_any_work(tmp_path: Path, names: list[str], out: str,
                                                           message: str) -> None:
    (tmp_path / "in").mkdir()
    for name in names:
        (tmp_path / "in" / name).write_bytes(b"a,b\n1\n")
    with pytest.raises(ValueError, match=message):
        bwd.salvage(str(tmp_path / "in" / "*.csv"), tmp_path / out)
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == \
        ["in", *(f"in/{n}" for n in sorted(names))]
    assert all((tmp_path / "in" / n).read_bytes() == b"a,b\n1\n" for n in names)


def test_a_failing_file_raises_its_oserror(client, tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError) as info:
        bwd.salvage([tmp_path / "missing.csv"], tmp_path / "out")
    assert info.value.filename == str(tmp_path / "missing.csv")


def test_read_gives_the_same_rows_and_records_as_brinewick_read(client, inputs: Path) -> None:
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    sources = [inputs / "a.csv", inputs / "b2.csv"]
    sources[1].write_bytes(b"id,name\n7,q\n8\n9,r,extra\n")
    got = bwd.read([str(s) for s in sources], types="str", merge_overflow=False)
    assert got.data.npartitions == 2
    data = got.data.compute()
    expected = [brinewick.read(s, types="str", merge_overflow=False) for s in sources]
    want = [row for t in expected for row in t.to_pandas().itertuples(index=False)]
    # Dask's strings mark a missing value <NA>, pandas' own NaN.
    assert [tuple(None if pd.isna(v) else v for v in r) for r in data.itertuples(index=False)] == [
        tuple(None if pd.isna(v) else v for v in r) for r in want]
    for which in ("quarantine", "changes"):
        frame = getattr(got, which).compute()
        # The counts stay integers, missing ones <NA>.
        assert str(frame["expected"].dtype) == str(frame["found"].dtype) == "Int64"
        rows = []
        for source, table in zip(sources, expected):
            rows += [(str(source), *r.values()) for r in pa.table(getattr(table, which)).to_pylist()]
        assert [tuple(None if pd.isna(v) else v for v in r) for r in frame.itertuples(index=False)] == rows, which
    assert len(got.quarantine.compute()) == 1  # b2.csv's long row


def test_read_refuses_jobs(inputs: Path) -> None:
    with pytest.raises(TypeError, match="jobs"):
        bwd.read(str(inputs / "a.csv"), jobs=2)


def big_damaged_file(path: Path, rows: int, seed: int) -> Path:
    """Typed columns, quoted line breaks that fall across part boundaries,
    rows to set aside and to pad, a BOM and CR LF line ends."""
    import random

    rng = random.Random(seed)
    lines = [b"\xef\xbb\xbfid,price,note,day\r\n"]
    for i in range(rows):
        note = rng.choice([b"plain", b'"two\r\nlines"', b'"a, b"', b'"x\ny\nz"', b""])
        row = [b"%d" % i, rng.choice([b"1.5", b"2", b""]), note, b"2024-01-%02d" % (i % 28 + 1)]
        if i % 37 == 0:
            row = row[:2]  # padded
        elif i % 53 == 0:
            row += [b"extra", b"more"]  # set aside without merging
        lines.append(b",".join(row) + rng.choice([b"\n", b"\r\n"]))
    path.write_bytes(b"".join(lines))
    return path


@pytest.mark.parametrize("blocksize, records_in_graph", [(97, True), (500, True), (4096, True), (500, False)])
def test_a_large_file_is_read_in_parts_with_the_rows_of_reading_it_whole(client, tmp_path: Path, monkeypatch,
                                                                        blocksize: int, records_in_graph: bool) -> None:
    pa = pytest.importorskip("pyarrow")
    if not records_in_graph:  # too many to hand over: each part reads its own
        monkeypatch.setattr(bwd, "_records_limit", lambda files: 0)
    source = big_damaged_file(tmp_path / "big.csv", 600, blocksize)
    other = tmp_path / "small.csv"
    other.write_bytes(b"id,price,note,day\n9,1.5,x,2024-02-02\n")
    got = bwd.read([str(source), str(other)], blocksize=blocksize, merge_overflow=False)
    assert got.data.npartitions > 2
    whole = [brinewick.read(s, merge_overflow=False) for s in (source, other)]
    want = pa.concat_tables([pa.table(t) for t in whole]).to_pandas(date_as_object=False)
    data = got.data.compute().reset_index(drop=True)
    assert [str(d).startswith(("int", "float")) for d in data.dtypes] == [
        str(d).startswith(("int", "float")) for d in want.dtypes]
    assert cells(data) == cells(want)
    for which in ("quarantine", "changes"):
        frame = got_rows(getattr(got, which).compute())
        expected = []
        for s, t in zip((source, other), whole):
            expected += [(str(s), *r) for r in getattr(t, which).to_pandas().itertuples(index=False)]
        assert frame == expected, which
    assert len(got.quarantine.compute()) > 0 and len(got.changes.compute()) > 0


def test_a_file_just_past_two_blocks_is_read_in_three_even_parts(client, tmp_path: Path) -> None:
    source = tmp_path / "even.csv"
    source.write_bytes(b"id,name\n" + b"".join(b"%08d,name-%05d\n" % (i, i) for i in range(3000)))
    got = bwd.read(str(source), blocksize=int(source.stat().st_size / 2.05))
    sizes = got.data.map_partitions(len).compute().tolist()
    # Not two full parts and a remnant, which would take a round of its own.
    assert len(sizes) == 3 and sum(sizes) == 3000 and max(sizes) <= 1.3 * min(sizes), sizes


def got_rows(frame) -> list:
    return [tuple(r) for r in frame.itertuples(index=False)]


def cells(frame) -> list:
    """Rows with every missing value as None (Dask and pandas spell NA differently)."""
    import pandas as pd

    return [tuple(None if v is None or (not isinstance(v, str) and pd.isna(v)) else v for v in row)
            for row in frame.astype(object).itertuples(index=False)]


def test_blocksize_none_reads_files_whole(client, tmp_path: Path) -> None:
    source = big_damaged_file(tmp_path / "big.csv", 200, 1)
    assert bwd.read(str(source), blocksize=None).data.npartitions == 1
    with pytest.raises(ValueError, match="blocksize"):
        bwd.read(str(source), blocksize=0)


def test_files_whose_columns_differ_are_matched_by_name(client, tmp_path: Path) -> None:
    folder = tmp_path / "drift"
    folder.mkdir()
    (folder / "a.csv").write_bytes(b"id,name,amount\n1,ann,3\n2,bob,4\n")
    (folder / "b.csv").write_bytes(b"name,id,amount,extra\ncy,3,4.5,x\n")
    (folder / "c.csv").write_bytes(b"")
    (folder / "d.csv").write_bytes(b"id,amount\n4,5\n")
    # Read in large strings (its size unknown), the same columns as a.csv's.
    (folder / "e.csv.gz").write_bytes(gzip.compress(b"id,name,amount\n5,eve,6\n"))
    got = bwd.read([str(folder / "*.csv"), str(folder / "e.csv.gz")])
    frame = got.data.compute().reset_index(drop=True)
    assert list(frame.columns) == ["id", "name", "amount", "extra"]
    assert frame["amount"].dtype == "float64" and frame["amount"].tolist() == [3.0, 4.0, 4.5, 5.0, 6.0]
    assert frame["name"].isna().tolist() == [False, False, False, True, False]
    by_file = {Path(d["file"]).name: d for d in got.drift}
    assert by_file["a.csv"]["missing"] == ["extra"] and by_file["d.csv"]["missing"] == ["name", "extra"]
    assert by_file["b.csv"]["extra"] == ["extra"] and "c.csv" not in by_file
    assert {k: v for k, v in by_file["e.csv.gz"].items() if k != "file"} == {
        k: v for k, v in by_file["a.csv"].items() if k != "file"}


def test_read_in_parts_takes_the_typed_reading_options(client, tmp_path: Path) -> None:
    """thousands, null_values and 12-hour date-times reach every part."""
    pa = pytest.importorskip("pyarrow")
    lines = ["id,amount,when,country"]
    for i in range(300):
        amount = "NA" if i % 17 == 0 else f'"{i * 1234:,}"'
        lines.append(f"{i},{amount},{i % 28 + 1:02d}/01/2024 {i % 12 + 1}:05 PM,{'NA' if i % 5 else 'FR'}")
    source = tmp_path / "typed.csv"
    source.write_text("\n".join(lines) + "\n")
    options = {"thousands": ",", "null_values": ["NA"]}
    got = bwd.read(str(source), blocksize=500, **options)
    assert got.data.npartitions > 2
    want = pa.table(brinewick.read(str(source), **options))
    assert [str(t) for t in want.schema.types] == ["int64", "int64", "timestamp[us]", "string"]
    assert cells(got.data.compute().reset_index(drop=True)) == cells(want.to_pandas(date_as_object=False))
