"""Every entry point against a real S3-compatible server (moto's, on loopback):
the same bytes, rows and records as reading the same file locally, and
nothing left behind when a run fails half-way."""
from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

s3fs = pytest.importorskip("s3fs")
pytest.importorskip("moto")
pa = pytest.importorskip("pyarrow")

import brinewick  # noqa: E402

MESSY = (b"id,name,amount\n1,ann,3.5\n2,\"bob, jr\",4\n3,cy\n4,dee,5,extra\n6,caf\xc3\xa9,8\n"
         + b"".join(b"%d,row %d,%d.25\n" % (i, i, i) for i in range(7, 3000)) + b"5,\"open,7\n")
# Short rows are set aside, so that every output has records.
SET_ASIDE = {"fill_ragged_rows": False}


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def server():
    port = _free_port()
    proc = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    endpoint = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 60
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                pytest.fail("the S3 test server did not start")
            time.sleep(0.1)
    try:
        yield endpoint
    finally:
        proc.terminate()
        proc.wait(timeout=30)


@pytest.fixture
def s3(server, request):
    """A fresh bucket and the options that reach it."""
    options = {"endpoint_url": server, "key": "testing", "secret": "testing", "use_listings_cache": False}
    fs = s3fs.S3FileSystem(**options)
    bucket = f"b{abs(hash(request.node.name)) % 10**12}"
    fs.mkdir(bucket)
    fs.pipe(f"{bucket}/in/messy.csv", MESSY)
    return fs, bucket, options


def _local_outputs(tmp_path: Path, **options) -> dict[str, bytes]:
    src = tmp_path / "local.csv"
    src.write_bytes(MESSY)
    outs = {k: tmp_path / f"local.{k}.csv" for k in ("clean", "quarantine", "changes")}
    brinewick.salvage(src, outs["clean"], quarantine=outs["quarantine"], changes=outs["changes"], **SET_ASIDE,
                      **options)
    return {k: p.read_bytes() for k, p in outs.items()}


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("local_side", [False, True])
def test_salvage_to_and_from_the_server_matches_a_local_salvage(s3, tmp_path: Path, jobs: int,
                                                                local_side: bool) -> None:
    fs, bucket, options = s3
    want = _local_outputs(tmp_path, jobs=jobs)
    side = {"quarantine": str(tmp_path / "q.csv") if local_side else f"s3://{bucket}/out/q.csv",
            "changes": f"s3://{bucket}/out/c.csv"}
    summary = brinewick.salvage(f"s3://{bucket}/in/messy.csv", f"s3://{bucket}/out/clean.csv", jobs=jobs,
                                storage_options=options, **SET_ASIDE, **side)
    assert summary.quarantined_rows >= 1
    assert fs.cat(f"{bucket}/out/clean.csv") == want["clean"]
    assert fs.cat(f"{bucket}/out/c.csv") == want["changes"]
    got_q = Path(side["quarantine"]).read_bytes() if local_side else fs.cat(f"{bucket}/out/q.csv")
    assert got_q == want["quarantine"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_an_object_read_in_many_growing_ranges_gives_its_bytes(s3, tmp_path: Path, monkeypatch, jobs: int) -> None:
    from brinewick import _remote

    for name, size in (("PROBE_RANGE", 10), ("FIRST_RANGE", 100), ("LARGEST_RANGE", 2000), ("TAIL_RANGE", 1000)):
        monkeypatch.setattr(_remote, name, size)
    fs, bucket, options = s3
    # Unbounded, and bounded as a Dask part's reader is (read past its end
    # too), with the first range fetched or handed on by its plan.
    for until, head in ((None, None), (3000, None), (3000, MESSY[:10])) if jobs == 1 else ():
        source = _remote.RemoteInput(f"s3://{bucket}/in/messy.csv", options)
        source.until, source.head = until, head
        reader = source.open()
        buffer = bytearray(777)
        offsets = (len(MESSY) - 1, 0, 5, 99, 100, 299, 301, 2999, 5000, len(MESSY)) if until is None else (0, 5, 2999)
        for offset in offsets:
            reader.seek(offset)
            got = bytearray()
            while n := reader.readinto(buffer):
                got += buffer[:n]
            assert got == MESSY[offset:], (until, head, offset)
        assert source.head == MESSY[:10]
    want = _local_outputs(tmp_path, jobs=jobs)
    brinewick.salvage(f"s3://{bucket}/in/messy.csv", tmp_path / "c.csv", quarantine=tmp_path / "q.csv",
                      jobs=jobs, storage_options=options, **SET_ASIDE)
    assert (tmp_path / "c.csv").read_bytes() == want["clean"]
    assert (tmp_path / "q.csv").read_bytes() == want["quarantine"]


def test_read_sniff_and_inspect_match_local_files(s3, tmp_path: Path) -> None:
    fs, bucket, options = s3
    local = tmp_path / "local.csv"
    local.write_bytes(MESSY)
    url = f"s3://{bucket}/in/messy.csv"
    for types in ("infer", "str"):
        remote = brinewick.read(url, types=types, storage_options=options, **SET_ASIDE)
        here = brinewick.read(local, types=types, **SET_ASIDE)
        assert pa.table(remote).equals(pa.table(here))
        assert pa.table(remote.quarantine).equals(pa.table(here.quarantine))
    sniffed = [{**r.to_dict(), "file": None}
               for r in (brinewick.sniff_file(url, storage_options=options), brinewick.sniff_file(local))]
    assert sniffed[0] == sniffed[1]
    reasons = [brinewick.inspect(p, **SET_ASIDE, **extra).reasons for p, extra in
               ((url, {"storage_options": options}), (local, {}))]
    assert reasons[0] == reasons[1] and reasons[0]


def test_a_compressed_object_is_read_as_a_compressed_file_is(s3, tmp_path: Path) -> None:
    import gzip

    fs, bucket, options = s3
    fs.pipe(f"{bucket}/in/messy.csv.gz", gzip.compress(MESSY))
    url = f"s3://{bucket}/in/messy.csv.gz"
    summary = brinewick.salvage(url, tmp_path / "out.csv", storage_options=options, **SET_ASIDE)
    assert summary.compression == "gzip"
    assert (tmp_path / "out.csv").read_bytes() == _local_outputs(tmp_path)["clean"]
    local = tmp_path / "local.csv"
    for types in ("infer", "str"):
        want = pa.table(brinewick.read(local, types=types))
        # Text of unknown size comes as large strings: the values are what count.
        assert pa.table(brinewick.read(url, types=types, storage_options=options)).cast(want.schema).equals(want)
    assert brinewick.sniff_file(url, storage_options=options).columns == 3


def test_a_salvage_that_fails_half_way_leaves_no_object_and_no_upload(s3) -> None:
    fs, bucket, options = s3
    rows = b"".join(b"%d,some text here,%d\n" % (i, i * 7) for i in range(500_000))
    fs.pipe(f"{bucket}/in/big.csv", b"a,b,c\n" + rows)
    small_parts = dict(options, default_block_size=5 * 2**20)  # multipart from 5 MiB on

    def stop_half_way(done: int, total) -> None:
        if done > total // 2:
            raise RuntimeError("stopped")

    with pytest.raises(RuntimeError, match="stopped"):
        brinewick.salvage(f"s3://{bucket}/in/big.csv", f"s3://{bucket}/out/big.csv", jobs=1,
                          quarantine=f"s3://{bucket}/out/big.q.csv", storage_options=small_parts,
                          progress=stop_half_way)
    assert not fs.exists(f"{bucket}/out/big.csv") and not fs.exists(f"{bucket}/out/big.q.csv")
    assert fs.list_multipart_uploads(bucket) == []


def test_an_upload_that_fails_half_way_stops_the_run_and_leaves_nothing(s3, monkeypatch) -> None:
    fs, bucket, options = s3
    rows = b"".join(b"%d,some text here,%d\n" % (i, i * 7) for i in range(500_000))
    fs.pipe(f"{bucket}/in/big.csv", b"a,b,c\n" + rows)
    uploaded = []
    real = s3fs.core.S3File._upload_chunk

    def failing(self, final=False):  # the second part fails, as a dropped connection would
        uploaded.append(self.path)
        if len(uploaded) == 2:
            raise ConnectionResetError(104, "Connection reset by peer")
        return real(self, final)

    monkeypatch.setattr(s3fs.core.S3File, "_upload_chunk", failing)
    with pytest.raises(ConnectionResetError) as raised:
        brinewick.salvage(f"s3://{bucket}/in/big.csv", f"s3://{bucket}/out/big.csv", jobs=2,
                          storage_options=dict(options, default_block_size=5 * 2**20))
    assert raised.value.filename == f"s3://{bucket}/out/big.csv"
    monkeypatch.undo()
    assert not fs.exists(f"{bucket}/out/big.csv")
    assert fs.list_multipart_uploads(bucket) == []


@pytest.mark.parametrize("case, error", [
    ("missing object", FileNotFoundError),
    ("missing bucket for the output", FileNotFoundError),
    ("no fsspec protocol", ValueError),
])
def test_failures_name_the_url(s3, tmp_path: Path, case: str, error: type) -> None:
    fs, bucket, options = s3
    source, target = {
        "missing object": (f"s3://{bucket}/in/nope.csv", str(tmp_path / "o.csv")),
        "missing bucket for the output": (f"s3://{bucket}/in/messy.csv", "s3://no-such-bucket-here/o.csv"),
        "no fsspec protocol": ("nosuchproto://x/y.csv", str(tmp_path / "o.csv")),
    }[case]
    with pytest.raises(error) as raised:
        brinewick.salvage(source, target, storage_options=options)
    if isinstance(raised.value, OSError):
        assert raised.value.filename in (source, target)
    assert not (tmp_path / "o.csv").exists()


def test_the_command_line_reads_and_writes_urls(s3, tmp_path: Path) -> None:
    fs, bucket, options = s3
    env = dict(os.environ, FSSPEC_S3_ENDPOINT_URL=options["endpoint_url"], FSSPEC_S3_KEY="testing",
               FSSPEC_S3_SECRET="testing")
    run = subprocess.run([sys.executable, "-m", "brinewick", "salvage", f"s3://{bucket}/in/messy.csv",
                          "--output-dir", f"s3://{bucket}/cli", "--quarantine-dir", f"s3://{bucket}/cli",
                          "--json", "--quiet", "--no-fill-ragged-rows"], env=env, capture_output=True, cwd=tmp_path, timeout=120)
    assert run.returncode == 1, run.stderr  # rows were set aside
    assert json.loads(run.stdout)["quarantined_rows"] >= 1
    assert fs.cat(f"{bucket}/cli/messy.csv") == _local_outputs(tmp_path)["clean"]
    missing = subprocess.run([sys.executable, "-m", "brinewick", "salvage", f"s3://{bucket}/nope.csv",
                              "-o", str(tmp_path / "x.csv")], env=env, capture_output=True, timeout=120)
    assert missing.returncode == 3 and f"s3://{bucket}/nope.csv" in missing.stderr.decode()


def test_dask_reads_and_salvages_with_no_shared_folder(s3, tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    import brinewick.dask as bwd

    fs, bucket, options = s3
    fs.pipe(f"{bucket}/in/other.csv", b"id,name,amount\n9,zed,1\n")
    local = tmp_path / "local.csv"
    local.write_bytes(MESSY)

    def own_folder(dask_worker) -> str:
        import tempfile

        folder = tempfile.mkdtemp(prefix="worker-")
        os.chdir(folder)
        return folder

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        folders = client.run(own_folder)
        assert len(set(folders.values())) == 2
        frames = bwd.read(f"s3://{bucket}/in/messy.csv", blocksize=24 << 10, storage_options=options)
        assert frames.data.npartitions > 1  # the object was split into byte ranges
        # In Dask's string dtype, as Dask gives strings.
        whole = pa.table(brinewick.read(local)).to_pandas().astype(frames.data.dtypes.to_dict())
        assert frames.data.compute().reset_index(drop=True).equals(whole)
        summaries = bwd.salvage(f"s3://{bucket}/in/*.csv", f"s3://{bucket}/dask", storage_options=options)
    assert [s.total_rows for s in summaries] == [brinewick.salvage(local, tmp_path / "c.csv").total_rows, 2]
    assert fs.cat(f"{bucket}/dask/messy.csv") == (tmp_path / "c.csv").read_bytes()


def test_an_object_rewritten_between_passes_fails_the_next(s3) -> None:
    from brinewick._read import _plan_parts, _read_part

    fs, bucket, options = s3
    url = f"s3://{bucket}/in/messy.csv"
    table = brinewick.read(url, storage_options=options)  # types are inferred: a first pass now
    plan = _plan_parts(url, 4096, options)
    fs.pipe(f"{bucket}/in/messy.csv", MESSY.replace(b"1", b"2"))  # the same size, other bytes
    with pytest.raises(ValueError, match="changed"):
        pa.table(table)
    with pytest.raises(ValueError, match="changed"):
        _read_part(url, plan, len(plan.starts) - 1, options)
