"""brinewick.dask on a real distributed cluster: two worker processes."""
from __future__ import annotations

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


def test_a_failing_file_raises_its_oserror(client, tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError) as info:
        bwd.salvage([tmp_path / "missing.csv"], tmp_path / "out")
    assert info.value.filename == str(tmp_path / "missing.csv")


def test_read_gives_the_same_rows_and_records_as_brinewick_read(client, inputs: Path) -> None:
    pytest.importorskip("pyarrow")
    sources = [inputs / "a.csv", inputs / "b2.csv"]
    sources[1].write_bytes(b"id,name\n7,q\n8\n9,r,extra\n")
    got = bwd.read([str(s) for s in sources], types="str", merge_overflow=False)
    assert got.data.npartitions == 2
    data = got.data.compute()
    expected = [brinewick.read(s, types="str", merge_overflow=False) for s in sources]
    want = [row for t in expected for row in t.to_pandas().itertuples(index=False)]
    assert [tuple(r) for r in data.itertuples(index=False)] == [tuple(r) for r in want]
    for which in ("quarantine", "changes"):
        frame = getattr(got, which).compute()
        rows = []
        for source, table in zip(sources, expected):
            records = getattr(table, which).to_pandas()
            rows += [(str(source), *r) for r in records.itertuples(index=False)]
        assert [tuple(r) for r in frame.itertuples(index=False)] == rows, which
    assert len(got.quarantine.compute()) == 1  # b2.csv's long row


def test_read_refuses_jobs(inputs: Path) -> None:
    with pytest.raises(TypeError, match="jobs"):
        bwd.read(str(inputs / "a.csv"), jobs=2)
