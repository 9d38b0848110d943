"""Ctrl-C during salvage_file, open and SalvageReader: a blocked open or read, a long parse.

Each call runs in a child process (so a call that ignores the signal cannot hang
the suite); the parent sends SIGINT from outside once the child is about to call.
"""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import _brinewick_backend as bw

CHILD = r"""
import json, os, signal, sys
import _brinewick_backend as bw

entry, args, kwargs, handler = json.loads(sys.argv[1])
seen = []
if handler == "count":
    signal.signal(signal.SIGINT, lambda signum, frame: seen.append(signum))
else:
    # A child started from a non-interactive shell may inherit SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
call = {"salvage_file": bw.salvage_file, "open": bw.open, "SalvageReader": bw.SalvageReader}[entry]
print("ready", flush=True)
try:
    result = call(*args, **kwargs)
except KeyboardInterrupt:
    print(json.dumps({"raised": "KeyboardInterrupt"}))
except BaseException as e:
    print(json.dumps({"raised": type(e).__name__, "args": [str(a) for a in e.args]}))
else:
    rows = [] if entry == "salvage_file" else list(result)
    summary = result.to_dict() if entry == "salvage_file" else result.summary.to_dict()
    print(json.dumps({"raised": None, "signals": len(seen), "rows": rows, "summary": summary}))
"""

ENTRIES = ["salvage_file", "open", "SalvageReader"]


def start(entry: str, args: list, kwargs: dict | None = None, handler: str = "default"):
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD, json.dumps([entry, args, kwargs or {}, handler])],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
    return proc


def finish(proc, timeout: float = 30.0) -> dict:
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("the call went on after SIGINT")
    assert proc.returncode == 0, err
    return json.loads(out.strip().splitlines()[-1])


def interrupt_after(proc, delay: float = 0.3) -> dict:
    time.sleep(delay)
    proc.send_signal(signal.SIGINT)
    return finish(proc)


def call_args(entry: str, src: Path, out: Path) -> list:
    return [str(src), str(out)] if entry == "salvage_file" else [str(src)]


def feed_fifo(path: Path, stop: threading.Event, chunk: bytes, pause: float) -> threading.Thread:
    """Writes `chunk` into the FIFO again and again until the reader goes away."""

    def run():
        deadline = time.monotonic() + 30
        fd = None
        while fd is None and not stop.is_set() and time.monotonic() < deadline:
            try:  # non-blocking, so a reader that never comes cannot hang the test
                fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.01)
        if fd is None:
            return
        os.set_blocking(fd, True)
        try:
            while not stop.is_set():
                os.write(fd, chunk)
                time.sleep(pause)
        except BrokenPipeError:
            pass
        finally:
            os.close(fd)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize("entry", ENTRIES)
def test_fifo_without_writer(tmp_path, entry):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.csv"
    result = interrupt_after(start(entry, call_args(entry, fifo, out)))
    assert result == {"raised": "KeyboardInterrupt"}
    assert sorted(os.listdir(tmp_path)) == ["in.fifo"]


@pytest.mark.parametrize("entry", ENTRIES)
def test_fifo_fed_without_end(tmp_path, entry):
    # The call can only end by the signal: the writer never closes.
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.csv"
    stop = threading.Event()
    writer = feed_fifo(fifo, stop, b'a,"b""c",d\n' * 6000, 0.001)
    try:
        result = interrupt_after(start(entry, call_args(entry, fifo, out)), delay=0.5)
    finally:
        stop.set()
        writer.join(10)
    assert result == {"raised": "KeyboardInterrupt"}
    assert sorted(os.listdir(tmp_path)) == ["in.fifo"]


# One quoted field of 256 MiB in which every inner quote is stray (`a"b`
# repeated): each of the four sniffing candidates and the inference parse it
# whole, and every quote costs a look-ahead, so the call lasts seconds and a
# signal after half a second lands while it reads or sniffs.
QUOTES = b'"' + b'a"b' * ((256 << 20) // 3) + b'"'


@pytest.fixture(scope="module")
def quotes_file(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("quotes") / "quotes.csv"
    path.write_bytes(QUOTES)
    return path


def test_long_in_place_salvage_interrupted_while_sniffing_leaves_the_input(tmp_path, quotes_file):
    src = tmp_path / "data.csv"
    os.link(quotes_file, src)  # the same bytes without another copy
    result = interrupt_after(start("salvage_file", [str(src), str(src)]), delay=0.5)
    assert result == {"raised": "KeyboardInterrupt"}
    assert sorted(os.listdir(tmp_path)) == ["data.csv"]  # no temporary left
    assert os.stat(src).st_ino == os.stat(quotes_file).st_ino
    assert src.read_bytes() == QUOTES


# Padding a short row to 2**40 columns: the write would never end unless stopped,
# so the signal surely lands while the clean CSV is being written.
ENDLESS_PADDING = {"delimiter": ",", "expected_columns": 1 << 40}


def test_in_place_salvage_interrupted_while_writing_leaves_the_input(tmp_path):
    src = tmp_path / "data.csv"
    src.write_bytes(b"a,b\n")
    before = os.stat(src)
    result = interrupt_after(start("salvage_file", [str(src), str(src)], ENDLESS_PADDING))
    assert result == {"raised": "KeyboardInterrupt"}
    assert sorted(os.listdir(tmp_path)) == ["data.csv"]  # the temporary is gone
    assert os.stat(src).st_ino == before.st_ino
    assert src.read_bytes() == b"a,b\n"


def test_long_salvage_interrupted_while_sniffing_creates_no_output(tmp_path, quotes_file):
    out = tmp_path / "out.csv"
    result = interrupt_after(start("salvage_file", [str(quotes_file), str(out)]), delay=0.5)
    assert result == {"raised": "KeyboardInterrupt"}
    assert not out.exists()


def test_long_salvage_interrupted_while_writing_leaves_a_short_output(tmp_path):
    # Another output is written in place: it holds what reached it, and the
    # call raised instead of presenting it as done.
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    out = tmp_path / "out.csv"
    result = interrupt_after(start("salvage_file", [str(src), str(out)], ENDLESS_PADDING))
    assert result == {"raised": "KeyboardInterrupt"}
    size = out.stat().st_size
    out.unlink()
    assert 0 < size < 1 << 40


@pytest.mark.parametrize("entry", ["open", "SalvageReader"])
def test_long_reader_construction_interrupted(tmp_path, quotes_file, entry):
    result = interrupt_after(start(entry, [str(quotes_file)]), delay=0.5)
    assert result == {"raised": "KeyboardInterrupt"}


DATA = b"a,b,c\n1,2\n3,4,5,6\n" * 2000


@pytest.mark.parametrize("entry", ENTRIES)
def test_handler_that_does_not_raise_lets_the_call_finish(tmp_path, entry):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.csv"
    proc = start(entry, call_args(entry, fifo, out), handler="count")
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)  # the child waits in open()
    time.sleep(0.2)
    with open(fifo, "wb") as w:
        w.write(DATA[: len(DATA) // 2])
        w.flush()
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)  # now it waits in read()
        time.sleep(0.2)
        w.write(DATA[len(DATA) // 2:])
    result = finish(proc)
    assert result["raised"] is None
    assert result["signals"] == 2

    # The same call on a regular file with the same bytes is the reference.
    ref_src, ref_out = tmp_path / "ref.csv", tmp_path / "ref_out.csv"
    ref_src.write_bytes(DATA)
    if entry == "salvage_file":
        expected = bw.salvage_file(str(ref_src), str(ref_out)).to_dict()
        assert out.read_bytes() == ref_out.read_bytes()
        assert result["summary"] == expected
    else:
        reader = bw.open(str(ref_src))
        assert result["summary"] == reader.summary.to_dict()
        assert result["rows"] == list(reader)
