"""brinewick.read on several threads gives the table, records and summary of one thread, for
any input and options; and its cells are the clean CSV's that brinewick.salvage writes. Tiny
chunks put quoted fields, CR LF pairs, headers and rows across chunk boundaries, tiny batches
put them across batch cuts, and wide padding makes chunks leave their rows to the consumer.

Hypothesis runs derandomized (a failure prints its example); the seeded test prints its seed.
"""
from __future__ import annotations

import csv
import io
import os
import random
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

import brinewick  # noqa: E402
from brinewick import _native  # noqa: E402
from brinewick._options import NativeSettings  # noqa: E402
from brinewick._read import _read  # noqa: E402
from salvage_strategies import salvage_options  # noqa: E402

SETTINGS = settings(max_examples=150, derandomize=True, deadline=None, database=None)
BOM = b"\xef\xbb\xbf"
TOKENS = [b'"', b'"', b",", b",", b"\r", b"\n", b"\n", b"\r\n", b" ", b"a", b"7", b"1.5", b"true",
          b"2024-01-02", "\u00e9".encode(), b"\xff", BOM, b'""', b'"a"', b'",', b'"\n', b"x,y\n"]


def table(path: Path, options: dict, *, infer: bool, header: bool, jobs: int, chunk_size: int,
          batch_rows: int = 65536, empty_as_null: bool = True):
    settings = NativeSettings.check(**options, header=header, types="infer" if infer else "str",
                                    empty_as_null=empty_as_null, jobs=jobs, batch_rows=batch_rows, read_size=5,
                                    chunk_size=chunk_size)
    t = _read(path, settings)
    data = pa.table(t)
    summary = t.summary.to_dict()
    summary.pop("elapsed", None)
    return data, pa.table(t.quarantine), pa.table(t.changes), summary


def same(one, many, context: str) -> None:
    assert many[0].schema == one[0].schema, context
    assert many[0].equals(one[0]), context
    assert many[1].equals(one[1]) and many[2].equals(one[2]), context
    assert many[3] == one[3], context


options_st = salvage_options()


@SETTINGS
@given(data=st.lists(st.sampled_from(TOKENS), max_size=80).map(b"".join), options=options_st,
       infer=st.booleans(), header=st.booleans(), jobs=st.sampled_from([2, 3, 8]),
       chunk_size=st.sampled_from([1, 2, 3, 7, 64]), batch_rows=st.sampled_from([1, 2, 5, 65536]))
def test_threads_give_what_one_thread_gives(tmp_path_factory, data, options, infer, header, jobs, chunk_size,
                                            batch_rows):
    src = tmp_path_factory.mktemp("rp") / "in.csv"
    src.write_bytes(data)
    one = table(src, options, infer=infer, header=header, jobs=1, chunk_size=1 << 20)
    many = table(src, options, infer=infer, header=header, jobs=jobs, chunk_size=chunk_size,
                 batch_rows=batch_rows)
    same(one, many, f"input={data!r} options={options} infer={infer} header={header}")


def salvage_reference(tmp: Path, src: Path, options: dict):
    """The clean rows, quarantine and changes that brinewick.salvage writes."""
    out, q, c = tmp / "ref.csv", tmp / "ref_q.csv", tmp / "ref_c.csv"
    # header=False reads look for no header below a preamble, nor repeats of one.
    brinewick.salvage(src, out, quarantine=q, changes=c, durable=False, jobs=1, header_row=0,
                      repeated_headers="keep", **options)
    text = out.read_bytes().decode("utf-8")
    # A one-column row with an empty cell is written as an empty line, which csv reads as [].
    rows = [row or [""] for row in csv.reader(io.StringIO(text, newline=""))]
    records = [list(csv.reader(io.StringIO(p.read_bytes().decode("utf-8"), newline="")))[1:] for p in (q, c)]
    return rows, records


@pytest.mark.parametrize("seed_offset", range(3))
def test_cells_and_records_are_the_salvaged_files(tmp_path, seed_offset):
    seed = int.from_bytes(os.urandom(4), "little") + seed_offset
    print(f"seed {seed}")
    rng = random.Random(seed)
    rows = []
    for _ in range(rng.randrange(50, 300)):
        fields = [rng.choice([b"v", b'"q,""x"', b'"multi\nline"', b'"open', b"\xff", b'"a"b', b""])
                  for _ in range(rng.randrange(1, 5))]
        rows.append(b",".join(fields) + rng.choice([b"\n", b"\r\n", b"\r"]))
    src = tmp_path / "in.csv"
    src.write_bytes(b"".join(rows))
    options = {"expected_columns": rng.choice([None, 2, 3])}
    clean, (quarantine, changes) = salvage_reference(tmp_path, src, options)
    data, q, c, _ = table(src, options, infer=False, header=False, jobs=rng.choice([2, 3]),
                          chunk_size=rng.randrange(1, 200), batch_rows=rng.choice([3, 65536]),
                          empty_as_null=False)
    assert [list(r.values()) for r in data.to_pylist()] == clean, f"seed {seed}"
    # A null cell (no count, no column) is an empty one in the files.
    as_text = lambda r: ["" if v is None else str(v) for v in r.values()]  # noqa: E731
    assert [as_text(r) for r in q.to_pylist()] == quarantine, f"seed {seed}"
    assert [as_text(r) for r in c.to_pylist()] == changes, f"seed {seed}"


# Named boundary cases, each read with every chunk size from 1 to past its length.
BOUNDARY = {
    "quote spans chunks": b'id,text\n1,"a\nb\nc"\n2,"x,y"\n3,z\n',
    "unclosed quote swallows the rest": b'id,text\n1,ok\n2,"never closed\n3,more\n4,rows\n',
    "cr lf across a cut": b"a,b\r\n1,2\r\n3,4\r\n\r\n5,6\r\n",
    "bom then header": BOM + b"a,b\n1,2\n3,4\n",
    "row longer than a chunk": b"a,b\n" + b"1," + b"x" * 300 + b"\n2,y\n",
    "header only": b"a,b\n",
    "no clean row before the header": b"a,b,c,d\n1\n2\nx,y,z,w\n5,6,7,8\n",
    "typed columns": b"n,f,d\n1,1.5,2024-01-01\n2,,2024-01-02\n3,2.5,\n",
}


@pytest.mark.parametrize("name", sorted(BOUNDARY))
@pytest.mark.parametrize("infer", [False, True])
def test_boundary_cases(tmp_path, name, infer):
    src = tmp_path / "in.csv"
    src.write_bytes(BOUNDARY[name])
    options = {"fill_ragged_rows": False} if name == "no clean row before the header" else {}
    one = table(src, options, infer=infer, header=True, jobs=1, chunk_size=1 << 20)
    for chunk_size in range(1, len(BOUNDARY[name]) + 2):
        many = table(src, options, infer=infer, header=True, jobs=3, chunk_size=chunk_size, batch_rows=2)
        same(one, many, f"{name} chunk_size={chunk_size}")


@pytest.mark.parametrize("jobs,chunk_size", [(1, 64), (2, 16), (3, 1)])
def test_wide_padding_is_built_in_bounded_batches(tmp_path, jobs, chunk_size):
    # Each short row padded to 3000 columns holds far more cells than its
    # chunk's bytes: chunks leave such rows to the consumer.
    src = tmp_path / "in.csv"
    src.write_bytes(b"".join(b"%d\n" % i for i in range(60)))
    one = table(src, {"expected_columns": 3000}, infer=False, header=False, jobs=1, chunk_size=1 << 20,
                batch_rows=7)
    many = table(src, {"expected_columns": 3000}, infer=False, header=False, jobs=jobs, chunk_size=chunk_size,
                 batch_rows=7)
    same(one, many, f"jobs={jobs} chunk_size={chunk_size}")
    assert one[0].num_rows == 60 and one[0].num_columns == 3000
    assert max(len(ch) for ch in many[0].column(0).chunks) <= 7


def test_default_jobs_is_every_usable_core(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n" + b"".join(b"%d,x\n" % i for i in range(5000)))
    assert pa.table(brinewick.read(src)).equals(pa.table(brinewick.read(src, jobs=1)))
    assert _native.DEFAULT_CHUNK_SIZE >= 1 << 16


@settings(max_examples=100, derandomize=True, deadline=None, database=None)
@given(data=st.lists(st.sampled_from(TOKENS + [b"1,2\n", b'"q\nq",3\n']), max_size=120).map(b"".join),
       options=options_st, infer=st.booleans(), header=st.booleans(), block=st.sampled_from([1, 3, 8, 40]))
def test_parts_put_together_are_the_whole_file(tmp_path_factory, data, options, infer, header, block):
    from brinewick._read import _plan_parts, _read_part

    src = tmp_path_factory.mktemp("parts") / "in.csv"
    src.write_bytes(data)
    read_options = dict(options, types="infer" if infer else "str", header=header)
    whole = brinewick.read(src, **read_options)
    want = (pa.table(whole), pa.table(whole.quarantine), pa.table(whole.changes))
    plan = _plan_parts(str(src), block, **read_options)
    parts = [_read_part(str(src), plan, i, **read_options) for i in range(len(plan.starts))]
    context = f"input={data!r} options={read_options} block={block} starts={plan.starts}"
    for k in range(3):
        got = pa.concat_tables([p[k] for p in parts]) if parts else None
        assert got.schema == want[k].schema, context
        assert got.equals(want[k]), context
    counts = whole.summary.to_dict()
    for key in ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "changed_rows"):
        assert sum(p[3].to_dict()[key] for p in parts) == counts[key], context


@pytest.mark.parametrize("block", [97, 300])
def test_parts_agree_with_the_whole_file_where_repairs_end_quotes_at_their_line(tmp_path, block):
    # A quote that never closes is ended at its line by the repair, which
    # reads the rows after it again: a part must not start inside it.
    from brinewick._read import _plan_parts, _read_part

    rng = random.Random(block)
    lines = [b"id,name,amount"]
    for i in range(400):
        roll = rng.random()
        lines.append(b'%d,"open %d,%d' % (i, i, i) if roll < 0.03 else
                     b'%d,"multi\nline",%d' % (i, i) if roll < 0.06 else b"%d,name %d,%d" % (i, i, i))
    src = tmp_path / "in.csv"
    src.write_bytes(b"\n".join(lines) + b"\n")
    plan = _plan_parts(str(src), block, types="str")
    got = pa.concat_tables([_read_part(str(src), plan, i, types="str")[0] for i in range(len(plan.starts))])
    assert len(plan.starts) > 1
    assert got.equals(pa.table(brinewick.read(src, types="str")))
