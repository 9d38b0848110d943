"""A typed read of a file that stood still is read once: the first stream takes
the batches the first pass built. They must be the batches a second pass
builds, chunking included, whatever the later rows do to the guessed types."""
from __future__ import annotations

import gc
import os
import shutil

import pytest

import brinewick
from brinewick import _native

pa = pytest.importorskip("pyarrow")

PROBE = 1024  # rows the guess is made from
LONG_AGO = 1_000_000_000  # seconds since the epoch: a file nobody is writing to


def settled(path: str) -> str:
    os.utime(path, (LONG_AGO, LONG_AGO))
    return path


def settled_file(tmp_path, data: bytes, name: str = "in.csv") -> str:
    path = str(tmp_path / name)
    with open(path, "wb") as f:
        f.write(data)
    return settled(path)


def rows(n: int, line) -> bytes:
    return b"".join(line(i) for i in range(n))


TYPED = b"id,price,day,flag,name\n" + rows(
    3000, lambda i: b"%d,%d.25,2024-01-%02d,%s,n%d\n" % (i, i, i % 28 + 1, b"true" if i % 2 else b"false", i))

CASES = {
    # every guess holds to the end
    "types hold": (TYPED, {}),
    # the guess from the probe rows fails later: read twice, same result
    "int becomes str": (b"a,b\n" + rows(2000, lambda i: b"%d,x\n" % i) + b"oops,x\n", {}),
    "int becomes float": (b"a,b\n" + rows(2000, lambda i: b"%d,x\n" % i) + b"2.5,x\n", {}),
    "null probe then ints": (b"a,b\n" + rows(PROBE + 10, lambda i: b",x\n") + rows(50, lambda i: b"%d,x\n" % i), {}),
    "date becomes str": (b"d\n" + rows(1500, lambda i: b"2024-02-%02d\n" % (i % 28 + 1)) +
                                        b"2024-02-01T10:00:00\n", {}),
    "fewer rows than the probe": (b"a,b\n1,2\n3,4.5\n", {}),
    "header only": (b"a,b\n", {}),
    "no header": (TYPED, {"header": False}),
    "empty kept as text": (b"a,b\n" + rows(1500, lambda i: b"%d,%s\n" % (i, b"" if i % 7 == 0 else b"3")), {"empty_as_null": False}),
    "ragged rows": (b"a,b,c\n" + rows(1500, lambda i: b"%d,%d\n" % (i, i) if i % 5 else b"%d,%d,%d\n" % (i, i, i)), {}),
}


def chunk_lengths(table):
    return [[len(chunk) for chunk in column.chunks] for column in table.columns]


@pytest.mark.parametrize("batch_rows", [300, 65536])
@pytest.mark.parametrize("case", sorted(CASES))
def test_one_pass_gives_the_two_pass_table(tmp_path, case, batch_rows):
    data, options = CASES[case]
    once = settled_file(tmp_path, data, "once.csv")
    twice = str(tmp_path / "twice.csv")
    shutil.copyfile(once, twice)  # just written: read in two passes
    t_once = brinewick.read(once, batch_rows=batch_rows, **options)
    expected = pa.table(brinewick.read(twice, batch_rows=batch_rows, **options))
    first = pa.table(t_once)
    assert first.equals(expected)
    assert chunk_lengths(first) == chunk_lengths(expected)
    assert pa.table(t_once).equals(expected)  # the second stream reads the file again


@pytest.mark.parametrize("schema_first", [False, True])
def test_a_rewrite_behind_a_restored_stamp_fails_the_stream(tmp_path, schema_first):
    # What cp -p, rsync -t and tar do: same size, same modification time,
    # other rows. Neither pass 1's batches nor a second pass may hand them out.
    path = settled_file(tmp_path, TYPED)
    t = brinewick.read(path)
    if schema_first:
        pa.schema(t)
    with open(path, "r+b") as f:
        f.seek(len(b"id,price,day,flag,name\n"))
        f.write(b"7")
    settled(path)
    for _ in range(2):
        with pytest.raises(ValueError, match="changed"):
            pa.table(t)


def test_changed_file_is_read_again_and_fails(tmp_path):
    path = settled_file(tmp_path, TYPED)
    t = brinewick.read(path)
    with open(path, "ab") as f:
        f.write(b"9,late,x,y,z\n")
    with pytest.raises(Exception, match="changed"):
        pa.table(t)


def test_unconsumed_kept_batches_are_freed_with_the_table(tmp_path):
    path = settled_file(tmp_path, TYPED)
    gc.collect()
    before = _native.live_arrow_buffers()
    t = brinewick.read(path, batch_rows=300)
    assert _native.live_arrow_buffers() > before  # held for the first stream
    del t
    gc.collect()
    assert _native.live_arrow_buffers() == before
    t = brinewick.read(path, batch_rows=300)
    reader = pa.RecordBatchReader.from_stream(t)
    reader.read_next_batch()  # half consumed
    del reader, t
    gc.collect()
    assert _native.live_arrow_buffers() == before


@pytest.mark.parametrize("types", ["str", "infer"])
def test_a_rewrite_in_place_while_the_stream_reads_fails_it(tmp_path, types):
    # Same size and the same rows counted: only the file's change time tells
    # old rows from new, and a table of both must never come out.
    path = tmp_path / "in.csv"
    old = b"id,name\n" + rows(300_000, lambda i: b"%07d,aaaa\n" % i)
    path.write_bytes(old)
    t = brinewick.read(str(path), types=types, batch_rows=1000)
    reader = pa.RecordBatchReader.from_stream(t)
    assert reader.read_next_batch().column(1)[0].as_py() == "aaaa"
    with open(path, "r+b") as f:
        f.write(old.replace(b"aaaa", b"bbbb"))
    with pytest.raises(Exception, match="changed"):
        reader.read_all()
