"""Nothing is lost when a salvage fails or is stopped: a full disk, Ctrl-C, a progress callback
that raises. The targets stay as they were and no temporary file is left behind. Meanwhile other
threads keep running.
"""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import _brinewick_backend as backend
import brinewick
from brinewick._api import _salvage

OLD = b"previous contents\n"


def rows(n: int, width: int = 6) -> bytes:
    """n damaged-ish rows: some short, some long, some with stray quotes."""
    out = [b"id,name,city,qty,price,note"]
    for i in range(n):
        kind = i % 7
        if kind == 0:
            out.append(b"%d,short" % i)
        elif kind == 1:
            out.append(b'%d,"Smith, J",Paris,3,4.5,"a "quoted" word",extra' % i)
        else:
            out.append(b"%d,name%d,city%d,%d,%d.25,note" % (i, i, i, i % 13, i))
    return b"\n".join(out) + b"\n"


def files_under(path: Path) -> dict:
    return {str(p.relative_to(path)): p.read_bytes() for p in path.rglob("*") if p.is_file()}


# ---------------------------------------------------------------- a full disk


@pytest.fixture
def small_disk(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(disk)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {done.stderr.strip() or done.returncode}")
    try:
        yield disk
    finally:
        subprocess.run(["umount", str(disk)], check=True)


FULL_DISK_LAYOUTS = ["output", "quarantine", "changes", "in place"]


@pytest.mark.parametrize("durable", [True, False], ids=["durable", "not-durable"])
@pytest.mark.parametrize("layout", FULL_DISK_LAYOUTS)
def test_full_disk_leaves_targets_untouched(tmp_path, small_disk, layout, durable):
    data = rows(30000)  # about 1 MB: its outputs are more than the disk holds
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    targets = {"output": tmp_path / "out.csv", "quarantine": tmp_path / "q.csv",
               "changes": tmp_path / "ch.csv"}
    if layout == "in place":
        src = small_disk / "in.csv"
        src.write_bytes(data[:150_000])  # fits once, not twice
        targets["output"] = src
    else:
        targets[layout] = small_disk / f"{layout}.csv"
    for p in targets.values():
        if p != src:
            p.write_bytes(OLD)
    before_disk, before_tmp = files_under(small_disk), files_under(tmp_path)
    # Rows set aside fill the quarantine; rows padded and merged fill the changes file.
    keep_all = layout == "changes"
    with pytest.raises(OSError) as info:
        brinewick.salvage(src, targets.pop("output"), durable=durable,
                          fill_ragged_rows=keep_all, merge_overflow=keep_all, **targets)
    assert info.value.errno == 28, info.value  # ENOSPC
    assert info.value.filename is not None
    assert files_under(small_disk) == before_disk
    assert files_under(tmp_path) == before_tmp


def test_full_disk_then_room_again(tmp_path, small_disk):
    # The same run succeeds once the data fits: the failure was the disk, not the state.
    src = tmp_path / "in.csv"
    src.write_bytes(rows(12000))
    with pytest.raises(OSError):
        brinewick.salvage(src, small_disk / "out.csv")
    src.write_bytes(rows(1000))
    brinewick.salvage(src, small_disk / "out.csv")
    backend.salvage_file(str(src), str(tmp_path / "ref.csv"))
    assert (small_disk / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()
    assert os.listdir(small_disk) == ["out.csv"]


# ---------------------------------------------------------------- Ctrl-C

SIGINT_CHILD = textwrap.dedent(r"""
    import json, os, sys, threading, time
    import brinewick
    from brinewick._api import _salvage
    mode, src, out, q, ch = sys.argv[1:6]
    if mode == "fed fifo":
        def feed():
            line = b'1,"a "b" c",x\n2,y\n' * 512
            with open(src, "wb") as f:
                while True:
                    f.write(line)
        threading.Thread(target=feed, daemon=True).start()
    print("ready", flush=True)
    try:
        # A short row padded to 2**40 columns writes without end: the run is
        # surely still going when the signal comes, however fast it is.
        _salvage(src, out, quarantine=q, changes=ch, delimiter=None, quote_char='"',
                 fill_ragged_rows=True, merge_overflow=False,
                 expected_columns=(1 << 40) if mode == "endless row" else None,
                 repair_quotes=True, progress=None, durable=True, read_size=1 << 16)
        print(json.dumps(["finished"]), flush=True)
    except KeyboardInterrupt:
        print(json.dumps(["interrupted", time.monotonic()]), flush=True)
""")


@pytest.mark.parametrize("mode", ["idle fifo", "fed fifo", "endless row"])
def test_sigint_stops_within_a_moment_and_leaves_nothing(tmp_path, mode):
    src = tmp_path / "in.csv"
    if mode == "endless row":
        src.write_bytes(b"a,b\n")
    else:
        os.mkfifo(src)
    out, q, ch = tmp_path / "out.csv", tmp_path / "q.csv", tmp_path / "ch.csv"
    for p in (out, q, ch):
        p.write_bytes(OLD)
    before = files_under(tmp_path) if mode == "endless row" else None
    child = subprocess.Popen([sys.executable, "-c", SIGINT_CHILD, mode, str(src), str(out),
                              str(q), str(ch)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)  # well into the run
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        result = json.loads(child.stdout.readline())
        child.wait(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert result[0] == "interrupted"
    latency = result[1] - sent
    print(f"{mode}: SIGINT to KeyboardInterrupt in {latency * 1000:.1f} ms")
    # 100 ms is the goal; the bound is loose because this machine is shared.
    assert latency < 0.5
    names = sorted(os.listdir(tmp_path))
    assert names == sorted(["in.csv", "out.csv", "q.csv", "ch.csv"])
    for p in (out, q, ch):
        assert p.read_bytes() == OLD
    if before is not None:
        assert files_under(tmp_path) == before


# ---------------------------------------------------------------- progress


def test_progress_reports_and_ends_at_the_total(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(rows(60_000))
    size = src.stat().st_size
    calls = []
    _salvage(src, tmp_path / "out.csv", quarantine=None, changes=None, delimiter=None,
             quote_char='"', fill_ragged_rows=True, merge_overflow=True, expected_columns=None,
             repair_quotes=True, progress=lambda done, total: calls.append((done, total)),
             durable=False, read_size=64)
    assert calls[-1] == (size, size)
    assert all(total == size for _, total in calls)
    done = [d for d, _ in calls]
    assert done == sorted(done) and all(0 <= d <= size for d in done)


class Stop(Exception):
    pass


@pytest.mark.parametrize("error", [Stop, KeyboardInterrupt, SystemExit])
def test_an_exception_from_progress_stops_the_run(tmp_path, error):
    src = tmp_path / "in.csv"
    # Long enough that the first call comes well before the end (8 MB took
    # 0.19 s here, with the first call at 0.1 s): that call is the one tested.
    src.write_bytes(rows(600_000))
    out, ch = tmp_path / "out.csv", tmp_path / "ch.csv"
    out.write_bytes(OLD)
    before = files_under(tmp_path)
    calls = []

    def progress(done, total):
        calls.append(done)
        raise error("enough")

    with pytest.raises(error, match="enough"):
        _salvage(src, out, quarantine=None, changes=ch, delimiter=None, quote_char='"',
                 fill_ragged_rows=True, merge_overflow=True, expected_columns=None,
                 repair_quotes=True, progress=progress, durable=True, read_size=16)
    assert len(calls) == 1 and calls[0] < src.stat().st_size
    assert files_under(tmp_path) == before


@pytest.mark.parametrize("in_place", [False, True])
def test_an_exception_from_the_last_progress_call_commits_nothing(tmp_path, in_place):
    src = tmp_path / "in.csv"
    src.write_bytes(rows(20_000))
    out = src if in_place else tmp_path / "out.csv"
    before = files_under(tmp_path)
    size = src.stat().st_size
    calls = []

    def progress(done, total):
        calls.append(done)
        if done == total == size:
            raise Stop("at the end")

    with pytest.raises(Stop, match="at the end"):
        _salvage(src, out, quarantine=None, changes=tmp_path / "ch.csv", delimiter=None,
                 quote_char='"', fill_ragged_rows=True, merge_overflow=True,
                 expected_columns=None, repair_quotes=True, progress=progress, durable=False,
                 read_size=1 << 16)
    assert calls[-1] == size
    assert files_under(tmp_path) == before


# ---------------------------------------------------------------- other threads run meanwhile


def test_a_ticker_thread_keeps_ticking(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(rows(300_000))
    ticks = []
    running = threading.Event()
    running.set()

    def tick():
        while running.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.perf_counter()
        # Repeated until the ticker had time to show a stall, however fast the machine.
        while time.perf_counter() - start < 0.3:
            _salvage(src, tmp_path / "out.csv", quarantine=tmp_path / "q.csv",
                     changes=tmp_path / "ch.csv", delimiter=None, quote_char='"',
                     fill_ragged_rows=True, merge_overflow=True, expected_columns=None,
                     repair_quotes=True, progress=None, durable=False, read_size=32)
        end = time.perf_counter()
    finally:
        running.clear()
        ticker.join()
    during = [t for t in ticks if start <= t <= end]
    gaps = [b - a for a, b in zip(during, during[1:])]
    print(f"salvage {end - start:.3f} s, {len(during)} ticks, longest gap {max(gaps) * 1000:.1f} ms")
    assert len(during) > (end - start) / 0.02
    assert max(gaps) < min(0.1, (end - start) / 4)


def test_salvages_in_threads_give_the_single_thread_answers(tmp_path):
    inputs = []
    for i in range(4):
        src = tmp_path / f"in{i}.csv"
        src.write_bytes(rows(5000 + 3000 * i).replace(b",", b";" if i % 2 else b","))
        inputs.append(src)
    results = {}

    def run(i):
        results[i] = brinewick.salvage(inputs[i], tmp_path / f"out{i}.csv",
                                       changes=tmp_path / f"ch{i}.csv")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, src in enumerate(inputs):
        ref = backend.salvage_file(str(src), str(tmp_path / f"ref{i}.csv"))
        assert (tmp_path / f"out{i}.csv").read_bytes() == (tmp_path / f"ref{i}.csv").read_bytes()
        assert results[i].total_rows == ref.total_rows
        assert results[i].detected_delimiter == (";" if i % 2 else ",")


# ---------------------------------------------------------------- a file that changes


@pytest.mark.parametrize("change", ["grows", "shrinks"])
def test_a_file_changing_while_read_is_read_to_where_it_ends(tmp_path, change):
    # One-byte reads keep the salvage reading for a good second while the
    # progress callback (on the calling thread) changes the file. However far the engine got, its output
    # must be the salvage of exactly the bytes it says it read.
    src = tmp_path / "in.csv"
    body = rows(40_000)
    src.write_bytes(body)
    changed = []

    def progress(done, total):
        if changed or done == 0 or done >= len(body):
            return
        with open(src, "r+b") as f:
            if change == "grows":
                f.seek(0, os.SEEK_END)
                f.write(rows(20_000))
            else:
                f.truncate(len(body) // 2)
        changed.append(done)

    summary = _salvage(src, tmp_path / "out.csv", quarantine=None, changes=None, delimiter=None,
                       quote_char='"', fill_ragged_rows=True, merge_overflow=True,
                       expected_columns=None, repair_quotes=True, progress=progress, durable=False,
                       read_size=1, header_row=0, repeated_headers="keep")
    assert changed, "the file was never changed while it was read"
    # What was read came from the file as it stood at each read.
    seen = src.read_bytes() if change == "grows" else body
    read = summary.bytes_read
    assert changed[0] <= read <= len(seen)
    (tmp_path / "prefix.csv").write_bytes(seen[:read])
    backend.salvage_file(str(tmp_path / "prefix.csv"), str(tmp_path / "ref.csv"))
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()


# ---------------------------------------------------------------- a killed process

KILLED_CHILD = r"""
import sys, brinewick
source, target, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
def progress(done, total):
    if done > 0:
        print("writing", flush=True)
        sys.stdin.read()  # held mid-run until the parent kills the process
brinewick.salvage(source, target, quarantine=target + ".q", progress=progress, jobs=jobs)
"""


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM])
def test_a_killed_salvage_leaves_no_temporary(tmp_path, jobs, signum):
    # A FIFO that never ends keeps the salvage running, its outputs open,
    # until the kill: no timing involved.
    source = tmp_path / "in.fifo"
    os.mkfifo(source)
    (tmp_path / "out.csv").write_bytes(OLD)
    proc = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(source), str(tmp_path / "out.csv"), str(jobs)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        with open(source, "wb") as feed:
            feed.write(rows(1000))  # less than a pipe holds: the write does not wait
            feed.flush()
            assert proc.stdout.readline() == b"writing\n"
            proc.send_signal(signum)
            proc.wait(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.fifo", "out.csv"]
    assert (tmp_path / "out.csv").read_bytes() == OLD


@pytest.mark.parametrize("length", [200, 255])
def test_any_valid_output_name_length(tmp_path, length):
    source = tmp_path / "in.csv"
    source.write_bytes(rows(50))
    expected = tmp_path / "expected.csv"
    brinewick.salvage(source, expected)
    target = tmp_path / ("o" * (length - 4) + ".csv")
    brinewick.salvage(source, target, quarantine=tmp_path / ("q" * (length - 4) + ".csv"))
    assert target.read_bytes() == expected.read_bytes()
