"""brinewick.read's streams: lifetimes, rereads, pipes, records, summaries and bad options."""
from __future__ import annotations

import csv
import gc
import io
import os
import signal
import subprocess
import sys
import tempfile
import threading

import pytest

import brinewick
from brinewick import _native

pa = pytest.importorskip("pyarrow")

ROWS = b"".join(b"%d,name %d,%d.5\n" % (i, i, i) for i in range(5000))
DATA = b"id,name,price\n" + ROWS


@pytest.fixture
def data_file(write_input):
    return write_input(DATA)


def consume(t, batches):
    """Takes `batches` batches (None: all) and drops the stream."""
    reader = pa.RecordBatchReader.from_stream(t)
    if batches is None:
        reader.read_all()
    else:
        for _ in range(batches):
            reader.read_next_batch()
    del reader


@pytest.mark.parametrize("types", ["infer", "str"])
@pytest.mark.parametrize("batches", [0, 1, None])
def test_streams_free_every_buffer(data_file, types, batches):
    gc.collect()
    before = _native.live_arrow_buffers()
    for _ in range(5):
        t = brinewick.read(data_file, types=types, batch_rows=300)
        consume(t, batches)
        capsule = t.__arrow_c_stream__()  # never handed to anyone
        del capsule, t
    gc.collect()
    assert _native.live_arrow_buffers() == before


def test_kept_table_holds_its_buffers_until_dropped(data_file):
    gc.collect()
    before = _native.live_arrow_buffers()
    table = pa.table(brinewick.read(data_file, batch_rows=300))
    assert _native.live_arrow_buffers() > before
    del table
    gc.collect()
    assert _native.live_arrow_buffers() == before


@pytest.mark.parametrize("types", ["infer", "str"])
def test_read_twice(data_file, types):
    t = brinewick.read(data_file, types=types)
    assert pa.table(t).equals(pa.table(t))


def test_changed_file_fails_the_stream(write_input):
    path = write_input(DATA)
    t = brinewick.read(path)
    with open(path, "ab") as f:
        f.write(b"9,late,x\n")
    with pytest.raises(Exception, match="changed"):
        pa.table(t)


def test_changed_type_fails_the_stream(write_input):
    path = write_input(b"id,v\n1,2\n")
    t = brinewick.read(path)
    with open(path, "wb") as f:
        f.write(b"id,v\n1,x\n")
    with pytest.raises(Exception, match="changed"):
        pa.table(t)


def feed_fifo(fifo, data, endless=False):
    """A thread writing `data` into the FIFO (again and again when `endless`) until its reader goes away."""
    def feed():
        try:
            with open(fifo, "wb") as f:
                f.write(data)
                while endless:
                    f.write(data)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    return writer


@pytest.fixture
def spool_dir(tmp_path, monkeypatch):
    folder = tmp_path / "spool"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


@pytest.mark.parametrize("types", ["infer", "str"])
def test_pipe_is_read_and_leaves_no_named_copy(tmp_path, spool_dir, types):
    """A typed read copies the pipe aside (unnamed) and can read it again; a
    types="str" read takes it in its one pass and refuses a second one."""
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    writer = feed_fifo(fifo, DATA)
    t = brinewick.read(str(fifo), types=types)
    first = pa.table(t)
    writer.join()
    assert first.num_rows == 5000 and not list(spool_dir.iterdir())
    if types == "str":
        assert t._cleanup is None  # never copied
        with pytest.raises(ValueError, match="one pass"):
            pa.table(t)
    else:
        assert first.equals(pa.table(t))


@pytest.mark.parametrize("types", ["infer", "str"])
@pytest.mark.parametrize("source", ["/dev/zero", "endless fifo"])
def test_stream_copy_is_bounded_and_removed(tmp_path, spool_dir, source, types):
    if source == "endless fifo":
        source = str(tmp_path / "in.fifo")
        os.mkfifo(source)
        feed_fifo(source, b"y\n" * 4096, endless=True)
    with pytest.raises(OSError, match=r"spool_limit \(1048576 bytes\)") as info:
        # A types="str" read takes a stream as it comes, and copies it only
        # for a consumer that asks for the schema before the rows.
        pa.schema(brinewick.read(source, types=types, spool_limit=1 << 20))
    assert info.value.filename == source
    assert not list(spool_dir.iterdir())


def test_a_killed_reader_leaves_no_copy(tmp_path):
    spool = tmp_path / "spool"
    spool.mkdir()
    script = ("import brinewick, os, signal; t = brinewick.read('/dev/stdin'); "
              "assert t.summary.total_rows == 5001; os.kill(os.getpid(), signal.SIGKILL)")
    proc = subprocess.run([sys.executable, "-c", script], input=DATA, capture_output=True, timeout=60,
                          env={**os.environ, "TMPDIR": str(spool)})
    assert proc.returncode == -signal.SIGKILL, proc.stderr
    assert not list(spool.iterdir())


def salvage_records(tmp_path, path, **options):
    q, c = tmp_path / "q.csv", tmp_path / "c.csv"
    summary = brinewick.salvage(path, tmp_path / "out.csv", quarantine=q, changes=c, **options)
    return summary, read_records(q), read_records(c)


def read_records(path):
    """A records file as the Arrow tables give it: numbers as int, an
    empty count or column as None."""
    def cell(name, text):
        if name in ("line", "byte_offset", "expected", "found"):
            return int(text) if text else None
        return None if name == "column" and not text else text
    with io.open(path, newline="", encoding="utf-8") as f:
        return [[cell(k, v) for k, v in r.items()] for r in csv.DictReader(f)]


DAMAGED = (b"\xef\xbb\xbfa,b,c\n1,2\n1,2,3,4\n\"x\"y,2,3\n\r\n5,\"six \"7\" ,8\n9,\xff,10\n"
           b"1,2,3\n\"open,2,3\nmore\n")


@pytest.mark.parametrize("types", ["infer", "str"])
@pytest.mark.parametrize("options", [{}, {"fill_ragged_rows": False, "merge_overflow": False}])
def test_records_and_summary_match_salvage(tmp_path, write_input, types, options):
    path = write_input(DAMAGED)
    summary, quarantine, changes = salvage_records(tmp_path, path, **options)
    t = brinewick.read(path, types=types, **options)
    pa.table(t)
    got = t.summary
    for field in ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows",
                  "detected_delimiter", "inferred_columns", "changed_rows", "bytes_read"):
        assert getattr(got, field) == getattr(summary, field), field
    assert dict(got.changes) == dict(summary.changes)
    assert [list(r.values()) for r in pa.table(t.quarantine).to_pylist()] == quarantine
    assert [list(r.values()) for r in pa.table(t.changes).to_pylist()] == changes
    assert len(t.quarantine) == len(quarantine) and len(t.changes) == len(changes)
    assert pa.table(t.quarantine).column_names == list(brinewick.QUARANTINE_COLUMNS)
    assert pa.table(t.changes).column_names == list(brinewick.CHANGES_COLUMNS)


def test_summary_before_consumption_of_a_single_pass(data_file):
    t = brinewick.read(data_file, types="str")
    assert _native.read_summary(t._reader) is None  # nothing read yet
    assert t.summary.salvaged_rows == 5001
    assert pa.table(t).num_rows == 5000


@pytest.mark.parametrize("kwargs,error,match", [
    ({"types": "int"}, ValueError, "types"),
    ({"types": None}, TypeError, "types"),
    ({"header": 1}, TypeError, "header"),
    ({"empty_as_null": "yes"}, TypeError, "empty_as_null"),
    ({"dtypes": ["a"]}, TypeError, "dtypes"),
    ({"dtypes": {"a": int}}, TypeError, "dtypes"),
    ({"jobs": 0}, ValueError, "jobs"),
    ({"jobs": 1.5}, TypeError, "jobs"),
    ({"batch_rows": 0}, ValueError, "batch_rows"),
    ({"batch_rows": True}, TypeError, "batch_rows"),
    ({"delimiter": ",,"}, ValueError, "delimiter"),
    ({"quote_char": ","}, ValueError, "differ"),
    ({"expected_columns": -1}, ValueError, "expected_columns"),
])
def test_bad_options(data_file, kwargs, error, match):
    if kwargs.get("quote_char") == ",":
        kwargs = {**kwargs, "delimiter": ","}
    with pytest.raises(error, match=match):
        brinewick.read(data_file, **kwargs)


@pytest.mark.parametrize("make,error", [
    (lambda tmp: tmp / "missing.csv", FileNotFoundError),
    (lambda tmp: tmp, IsADirectoryError),
    (lambda tmp: 3.5, TypeError),
    (lambda tmp: "a\0b", ValueError),
])
def test_bad_paths(tmp_path, make, error):
    with pytest.raises(error):
        brinewick.read(make(tmp_path))


def test_unreadable_file_is_an_os_error(write_input):
    path = write_input(DATA)
    os.chmod(path, 0)
    try:
        if os.access(path, os.R_OK):
            pytest.skip("running as a user that reads anything")
        with pytest.raises(PermissionError):
            brinewick.read(path)
    finally:
        os.chmod(path, 0o600)


def test_no_data_library_imported_by_the_package():
    import subprocess
    import sys
    code = ("import sys, brinewick; bad = {'pyarrow', 'polars', 'pandas', 'duckdb'} & set(sys.modules); "
            "assert not bad, bad")
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("types", ["infer", "str"])
def test_released_blocks_are_reused_and_freed_on_request(data_file, write_input, types):
    brinewick.release_unused_memory()
    first = pa.table(brinewick.read(data_file, types=types, batch_rows=4000))
    expected = first.to_pylist()
    del first
    gc.collect()
    # Another file with nulls where the first had values: blocks taken from
    # the cache must not show what they held before.
    other = write_input(b"id,name,price\n" + b"".join(b"%d,,\n" % i for i in range(5000)), name="other.csv")
    holes = pa.table(brinewick.read(other, types=types, batch_rows=4000))
    assert holes.column("name").null_count == 5000
    assert holes.column("price").null_count == 5000
    del holes
    gc.collect()
    again = pa.table(brinewick.read(data_file, types=types, batch_rows=4000))
    assert again.to_pylist() == expected
    del again
    gc.collect()
    freed = brinewick.release_unused_memory()
    if os.environ.get("BRINEWICK_UNDER_ASAN") == "1":
        assert freed == 0  # nothing is cached, so that misuse stays visible
    else:
        assert freed > 0
    assert brinewick.release_unused_memory() == 0
