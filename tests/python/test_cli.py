"""The `brinewick` command end to end, in a subprocess: exit status, standard
streams, JSON shape, files on disk, and a real SIGINT."""
from __future__ import annotations

import csv
import errno
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import brinewick
from brinewick import cli

DAMAGED = (
    b"id,name,qty\n"
    b"1,apple,3\n"
    b"2,pear\n"                  # short: padded
    b"3,\"plum, red\",4\n"
    b"4,fig,5,extra,more\n"      # long: merged, or set aside with --no-merge-overflow
    b"5,\"kiwi\"x,6\n"           # text after a closing quote
)
CLEAN = b"id,name,qty\n1,apple,3\n2,pear,4\n"


def run(*args: str, input: bytes | None = None, cwd: Path | None = None,
        timeout: float = 60) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "brinewick", *args], input=input, cwd=cwd,
                          capture_output=True, timeout=timeout)


@pytest.fixture
def damaged(tmp_path: Path) -> Path:
    path = tmp_path / "orders.csv"
    path.write_bytes(DAMAGED)
    return path


def expected_clean(tmp_path: Path, source: Path, **options: object) -> bytes:
    out = tmp_path / "expected" / "clean.csv"
    out.parent.mkdir(exist_ok=True)
    brinewick.salvage(source, out, **options)
    return out.read_bytes()


@pytest.mark.parametrize(
    "extra, status",
    [([], 0), (["--no-merge-overflow"], 1), (["--no-fill-ragged-rows", "--no-merge-overflow"], 1),
     (["--jobs", "3"], 0)],
)
def test_salvage_writes_clean_file_beside_input(tmp_path: Path, damaged: Path, extra: list[str],
                                                status: int) -> None:
    result = run("salvage", str(damaged), *extra)
    assert result.returncode == status, result.stderr
    options = {"merge_overflow": "--no-merge-overflow" not in extra,
               "fill_ragged_rows": "--no-fill-ragged-rows" not in extra}
    assert (tmp_path / "orders.clean.csv").read_bytes() == expected_clean(tmp_path, damaged, **options)
    assert result.stderr == b""  # no terminal: no progress bars
    header, _, row = (re.split(r"\s{2,}", line.strip()) for line in result.stdout.decode().splitlines())
    table = dict(zip(header, row))
    summary = brinewick.salvage(damaged, tmp_path / "again.csv", **options)
    with open(tmp_path / "orders.clean.csv", newline="") as f:
        assert int(table["data rows"]) == len(list(csv.reader(f))) - 1
    assert (int(table["refitted"]), int(table["set aside"])) == (summary.repaired_rows, summary.quarantined_rows)


def test_salvage_json_has_one_object_per_file_and_every_counter(tmp_path: Path) -> None:
    names = []
    for i in range(3):
        path = tmp_path / f"part{i}.csv"
        path.write_bytes(DAMAGED if i != 1 else CLEAN)
        names.append(str(path))
    missing = str(tmp_path / "missing.csv")
    # Folders that do not exist yet, nested ones too, are made.
    out_dir, q_dir, c_dir = (tmp_path / d for d in ("out", "q/deeper", "c"))
    result = run("salvage", *names, missing, "--output-dir", str(out_dir), "--quarantine-dir", str(q_dir),
                 "--changes-dir", str(c_dir), "--json", "--jobs", "2", "--no-merge-overflow")
    assert result.returncode == 3, result.stderr
    records = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert [r["file"] for r in records] == [*names, missing]
    assert records.pop() == {"file": missing, "errno": errno.ENOENT,
                             "error": f"cannot read {missing!r}: No such file or directory"}
    for record, name in zip(records, names):
        stem = Path(name).stem
        outputs = record["outputs"]
        assert outputs["clean"] == str(out_dir / f"{stem}.csv")
        assert outputs["quarantine"] == str(q_dir / f"{stem}.quarantine.csv")
        assert Path(outputs["quarantine"]).exists() and Path(outputs["changes"]).exists()
        summary = brinewick.salvage(name, tmp_path / "again.csv", merge_overflow=False)
        for key, value in summary.to_dict().items():
            if key != "elapsed":
                assert record[key] == value, key
    assert records[1]["quarantined_rows"] == 0 and records[0]["quarantined_rows"] == 1
    with open(records[1]["outputs"]["clean"], newline="") as f:
        assert records[1]["data_rows"] == len(list(csv.reader(f))) - 1


def test_ctrl_c_says_which_files_were_done(tmp_path: Path, damaged: Path) -> None:
    fifo = tmp_path / "never.csv"
    os.mkfifo(fifo)
    proc = subprocess.Popen([sys.executable, "-m", "brinewick", "salvage", str(damaged), str(fifo),
                             "--jobs", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    done = tmp_path / "orders.clean.csv"
    for _ in range(600):  # the first file is put in place while the FIFO waits for a writer
        if done.exists() or proc.poll() is not None:
            break
        time.sleep(0.1)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=20)
    assert (proc.returncode, err.decode()) == (
        130, f"brinewick: interrupted; 1 file done ({damaged}), 1 stopped, nothing of it written\n")
    assert done.read_bytes() == expected_clean(tmp_path, damaged)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["expected", "never.csv", "orders.clean.csv", "orders.csv"]


def test_stdin_to_stdout(tmp_path: Path, damaged: Path) -> None:
    result = run("salvage", "-", "--json", input=DAMAGED)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected_clean(tmp_path, damaged)
    record = json.loads(result.stderr.decode().splitlines()[-1])  # reports leave stdout to the data
    assert record["file"] == "<stdin>" and record["total_rows"] == 6


def test_output_dash_writes_standard_output(tmp_path: Path, damaged: Path) -> None:
    result = run("salvage", str(damaged), "-o", "-", "--quiet")
    assert result.returncode == 0
    assert result.stdout == expected_clean(tmp_path, damaged)
    assert not (tmp_path / "orders.clean.csv").exists()


@pytest.mark.parametrize(
    "args",
    [
        ["salvage"],
        ["salvage", "a.csv", "b.csv", "-o", "x.csv"],
        ["salvage", "a.csv", "-o", "x.csv", "--output-dir", "."],
        ["salvage", "a.csv", "--expected-columns", "-1"],
        ["salvage", "a.csv", "--bogus"],
        ["salvage", "-", "-"],
        ["salvage", "a.csv", "--delimiter", '"'],
        ["frobnicate"],
    ],
)
def test_usage_errors_exit_2_without_traceback(tmp_path: Path, args: list[str]) -> None:
    (tmp_path / "a.csv").write_bytes(CLEAN)
    (tmp_path / "b.csv").write_bytes(CLEAN)
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert b"Traceback" not in result.stderr
    assert not (tmp_path / "x.csv").exists()


def test_a_quote_equal_to_the_sniffed_delimiter_names_the_flags(tmp_path: Path) -> None:
    (tmp_path / "a.csv").write_bytes(CLEAN)
    result = run("salvage", "a.csv", "--quote-char", ",", "-o", "x.csv", cwd=tmp_path)
    assert result.returncode == 2
    assert b"--quote-char ',' is the sniffed delimiter; pass --delimiter or another --quote-char" in result.stderr
    assert not (tmp_path / "x.csv").exists()


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: ("missing.csv", []), "brinewick: cannot read 'missing.csv': No such file or directory"),
        (lambda d: (str(d), []), f"brinewick: cannot read '{{d}}': Is a directory"),
        (lambda d: ("a.csv", ["-o", "nowhere/out.csv"]),
         "brinewick: cannot write 'nowhere/out.csv': No such file or directory"),
    ],
)
def test_io_errors_are_one_line_and_exit_3(tmp_path: Path, make, message: str) -> None:
    (tmp_path / "a.csv").write_bytes(CLEAN)
    source, extra = make(tmp_path)
    result = run("salvage", source, *extra, cwd=tmp_path)
    assert result.returncode == 3
    assert result.stderr.decode().splitlines() == [message.format(d=tmp_path)]
    assert result.stdout == b""


# About 400 KB of rows that need no mending: larger than a pipe's buffer.
BULK = b"id,name,qty\n" + b"".join(b"%d,name%d,%d\n" % (i, i, 3 * i) for i in range(20000))


def _limit_file_size(limit: int):
    import resource

    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


@pytest.mark.parametrize("unbuffered", ["", "1"])
@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("sink", ["/dev/full", "short writes", "in place"])
def test_a_failed_write_exits_3_naming_the_output(tmp_path: Path, sink: str, jobs: str, unbuffered: str) -> None:
    """Every write is checked to its last byte, and the error names the side
    that failed. A file size limit makes the writes past it short, then
    refused (EFBIG), as a nearly full disk does."""
    (tmp_path / "in.csv").write_bytes(BULK)
    env = {**os.environ, "PYTHONUNBUFFERED": unbuffered}
    args = [sys.executable, "-m", "brinewick", "salvage", "--jobs", jobs, "--quiet"]
    if sink == "in place":
        proc = subprocess.run([*args, "in.csv", "-o", "in.csv"], cwd=tmp_path, env=env, capture_output=True,
                              preexec_fn=_limit_file_size(len(BULK) // 2), timeout=60)
        expected = "brinewick: cannot write 'in.csv': File too large"
    else:
        out = tmp_path / "out.csv"
        padding = 2 * len(BULK)  # the scratch copy of the clean CSV stays under the limit
        out.write_bytes(b"\0" * padding)
        with open(sink if sink == "/dev/full" else out, "ab") as stdout:
            proc = subprocess.run([*args, "-"], input=BULK, stdout=stdout, stderr=subprocess.PIPE, env=env,
                                  preexec_fn=_limit_file_size(padding + len(BULK) // 2), timeout=60)
        expected = "brinewick: cannot write '<stdout>': " + (
            "No space left on device" if sink == "/dev/full" else "File too large")
    assert (proc.returncode, proc.stderr.decode().splitlines()) == (3, [expected])
    assert (tmp_path / "in.csv").read_bytes() == BULK
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def _close_stdout() -> None:
    os.close(1)


@pytest.mark.parametrize("args", [["salvage", "in.csv", "-o", "out.csv"], ["salvage", "-"], ["sniff", "in.csv"]])
def test_closed_stdout_is_one_line_and_exit_3(tmp_path: Path, args: list[str]) -> None:
    (tmp_path / "in.csv").write_bytes(CLEAN)
    proc = subprocess.run([sys.executable, "-m", "brinewick", *args], input=CLEAN, cwd=tmp_path,
                          stderr=subprocess.PIPE, preexec_fn=_close_stdout, timeout=60)
    assert proc.returncode == 3
    assert proc.stderr.decode().splitlines() == ["brinewick: cannot write '<stdout>': Bad file descriptor"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("output", ["fifo", "stdout"])
def test_a_reader_that_quits_is_exit_3(tmp_path: Path, output: str) -> None:
    (tmp_path / "in.csv").write_bytes(BULK)
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    target = str(fifo) if output == "fifo" else "-"
    proc = subprocess.Popen([sys.executable, "-m", "brinewick", "salvage", str(tmp_path / "in.csv"), "-o", target,
                             "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(fifo if output == "fifo" else proc.stdout.fileno(), "rb", closefd=output == "fifo") as reader:
        assert reader.read(10) == BULK[:10]
    proc.stdout.close()
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err.decode().splitlines()) == (3, [f"brinewick: cannot write {target if output == 'fifo' else '<stdout>'!r}: Broken pipe"])


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_stop_signal_exits_and_leaves_nothing(tmp_path: Path, signum: int, status: int) -> None:
    fifo = tmp_path / "never.csv"
    os.mkfifo(fifo)
    proc = subprocess.Popen([sys.executable, "-m", "brinewick", "salvage", str(fifo), "-o",
                             str(tmp_path / "out.csv"), "--quarantine", str(tmp_path / "q.csv")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.0)  # the interpreter starts and blocks opening the FIFO
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=20)
    assert (proc.returncode, err) == (status, b"brinewick: interrupted; nothing was written\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["never.csv"]


@pytest.mark.parametrize("command", [
    ["-m", "brinewick", "salvage", "{src}", "-o", "{out}", "--quiet"],
    ["-c", "import brinewick, sys; brinewick.salvage(sys.argv[1], sys.argv[2])", "{src}", "{out}"],
], ids=["cli", "api"])
@pytest.mark.parametrize("out", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
def test_an_output_naming_redirected_stdout_appends_to_its_file(tmp_path: Path, damaged: Path,
                                                                command: list[str], out: str) -> None:
    log = tmp_path / "app.log"
    log.write_bytes(b"precious\n")
    with open(log, "ab") as stdout:  # `>> app.log`
        proc = subprocess.run([sys.executable, *(a.format(src=damaged, out=out) for a in command)],
                              stdout=stdout, stderr=subprocess.PIPE, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert log.read_bytes() == b"precious\n" + expected_clean(tmp_path, damaged)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["app.log", "expected", "orders.csv"]


def test_an_output_through_stdout_into_the_input_is_refused(tmp_path: Path, damaged: Path) -> None:
    with open(damaged, "ab") as stdout:
        proc = subprocess.run([sys.executable, "-m", "brinewick", "salvage", str(damaged), "-o", "/dev/stdout"],
                              stdout=stdout, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 2 and b"name the same file" in proc.stderr
    assert damaged.read_bytes() == DAMAGED


@pytest.mark.parametrize("output_side", [False, True], ids=["input", "output"])
def test_an_in_place_failure_names_the_side_it_met(tmp_path: Path, damaged: Path, output_side: bool) -> None:
    # The failure as the engine raises it: an output's marked, the input's not.
    target = tmp_path / ("missing/out.csv" if output_side else "out.csv")
    source = damaged if output_side else tmp_path / "missing.csv"
    with pytest.raises(OSError) as raised:
        brinewick.salvage(source, target)
    assert getattr(raised.value, "_brinewick_output", False) is output_side
    # In place both sides carry one name, and EACCES could be either.
    error = PermissionError(errno.EACCES, "Permission denied", "in.csv")
    if output_side:
        error._brinewick_output = True  # type: ignore[attr-defined]
    verb = "write" if output_side else "read"
    assert cli._io_message(error, "in.csv") == f"cannot {verb} 'in.csv': Permission denied"


def test_sniff_reports_the_dialect(tmp_path: Path) -> None:
    path = tmp_path / "semi.csv"
    path.write_bytes(b"\xef\xbb\xbfname;qty;price\r\nfig;3;1.5\r\npear;\xff4;2\r\nplum;7;0.25\n")
    result = run("sniff", str(path), "--json")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "file": str(path), "sample_bytes": path.stat().st_size, "delimiter": ";", "columns": 3,
        "has_header": True, "line_endings": "mixed (LF 1, CRLF 3)", "bom": True,
        "invalid_utf8_bytes": 1, "invalid_utf8_share": round(1 / path.stat().st_size, 6),
        "encoding": "utf-8", "legacy_encoding": True, "header_line": 1, "confidence": 1.0,
    }
    text = run("sniff", str(path)).stdout.decode()
    assert "delimiter       ';'" in text and "header          yes" in text


@pytest.mark.parametrize("data, endings", [
    (b'a,b\n1,"x\ry"\n2,"p\r\nq"\n', "LF"),              # breaks inside quoted fields are text
    (b'a;b\r\n1;"say ""hi\n"""\r\n2;x"y\r\n', "CRLF"),     # doubled and stray quotes
    (b'a,b\r\n1,"open\n2,3\r\n', "CRLF"),                  # an unclosed quote runs to the end
    (b'a,b\n1,2\r\n3,4\r', "mixed (LF 1, CRLF 1, CR 1)"),
])
def test_sniff_counts_only_row_ends(tmp_path: Path, data: bytes, endings: str) -> None:
    path = tmp_path / "e.csv"
    path.write_bytes(data)
    assert brinewick.sniff_file(path).line_endings == endings


@pytest.mark.parametrize(
    "data, header",
    [
        (b"a,b\n1,2\n3,4\n", True),
        (b"1,2\n3,4\n5,6\n", False),
        (b"city,country\nOslo,Norway\nLima,Peru\n", True),
        (b"Oslo,Norway\nLima,Peru\nOslo,Peru\n", False),
    ],
)
def test_sniff_header_guess(tmp_path: Path, data: bytes, header: bool) -> None:
    path = tmp_path / "h.csv"
    path.write_bytes(data)
    assert brinewick.sniff_file(path).has_header is header


def test_inspect_reports_damage_without_writing(tmp_path: Path, damaged: Path) -> None:
    result = run("inspect", str(damaged), "--json", "--no-merge-overflow")
    assert result.returncode == 1, result.stderr
    report = json.loads(result.stdout)
    assert report["summary"]["quarantined_rows"] == 1
    assert report["reasons"] == {"Row has extra columns (expected 3)": 1}
    assert report["first_set_aside"] == [
        {"line": 5, "byte_offset": DAMAGED.index(b"4,fig"), "reason": "Row has extra columns (expected 3)",
         "expected": 3, "found": 5, "raw": "4,fig,5,extra,more"}]
    changes = report["summary"]["changes"]
    assert changes["padded"] == 1 and changes["text_after_quote"] == 1
    along = report["changes_along"]
    assert sum(sum(b.values()) for b in along) == sum(changes.values())
    assert sum(report["set_aside_along"]) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["orders.csv"]
    text = run("inspect", str(damaged), "--no-merge-overflow").stdout.decode()
    assert "line 5" in text and "damage along the file" in text


def test_inspect_takes_long_rows_and_writes_no_clean_copy(tmp_path: Path, monkeypatch) -> None:
    import csv
    import tempfile

    # A set-aside row well over the csv module's 128 KiB field limit, with
    # every character its quoting has to carry.
    long_field = b'"' + b'x,"",\r\n' * 30_000 + b'"'
    data = b"a,b\n1,2\n3," + long_field + b",extra\n4,\"5\"x\n6,7,8\n"
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    written: set[str] = set()
    report = brinewick.inspect(src, merge_overflow=False, bins=7,
                               progress=lambda *_: written.update(p.name for p in scratch.rglob("*")))
    assert written and not [n for n in written if "clean" in n]

    q = tmp_path / "q.csv"
    c = tmp_path / "c.csv"
    brinewick.salvage(src, tmp_path / "out.csv", quarantine=q, changes=c, merge_overflow=False)
    limit = csv.field_size_limit(1 << 30)
    try:
        with open(q, newline="", encoding="utf-8") as f:
            set_aside = [(int(r["line"]), int(r["byte_offset"]), r["reason"], r["raw"]) for r in csv.DictReader(f)]
        with open(c, newline="", encoding="utf-8") as f:
            changes = [(int(r["byte_offset"]), r["change"]) for r in csv.DictReader(f)]
    finally:
        csv.field_size_limit(limit)
    assert len(set_aside) == 2 and len(set_aside[0][3]) > 1 << 17
    assert [(r.line, r.byte_offset, r.reason, r.raw) for r in report.first_set_aside] == set_aside
    assert sum(report.set_aside_along) == 2 and len(report.changes_along) == 7
    assert sorted((o, k) for i, b in enumerate(report.changes_along) for k, n in b.items() for o in [i] * n) == \
        sorted((report.bin_of(o), k) for o, k in changes)


@pytest.mark.parametrize("call", [
    lambda p: brinewick.inspect(p, bins=2**63),
    lambda p: brinewick.inspect(p, bins=0),
    lambda p: brinewick.sniff_file(p, sample_bytes=2**64),
    lambda p: brinewick.sniff_file(p, sample_bytes=0),
], ids=["bins 2**63", "bins 0", "sample 2**64", "sample 0"])
def test_sizes_out_of_range_are_value_errors(tmp_path: Path, call) -> None:
    (tmp_path / "a.csv").write_bytes(CLEAN)
    with pytest.raises(ValueError, match="must be from 1 to"):
        call(tmp_path / "a.csv")


def chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(chromium() is None, reason="needs Chromium (Debian package chromium)")
def test_html_report_renders_in_headless_chromium(tmp_path: Path, damaged: Path) -> None:
    page = tmp_path / "report.html"
    result = run("inspect", str(damaged), "--html", str(page), "--no-merge-overflow")
    assert result.returncode == 1, result.stderr
    html = page.read_text(encoding="utf-8")
    assert "<script" not in html and "http://" not in html.replace("http://www.w3.org/2000/svg", "")
    browser = [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               f"--user-data-dir={tmp_path / 'profile'}"]
    # The browser is no part of what is tested: it runs without a sanitizer
    # runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    dom = subprocess.run([*browser, "--dump-dom", page.as_uri()], capture_output=True, timeout=120,
                         env=env)
    assert b"Damage report for" in dom.stdout
    assert dom.stdout.count(b"<rect") >= 3  # padded, text after quote, set aside
    shot = tmp_path / "report.png"
    subprocess.run([*browser, f"--screenshot={shot}", "--window-size=1000,900", page.as_uri()],
                   capture_output=True, timeout=120, env=env)
    data = shot.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000


def test_a_json_file_is_salvaged_with_a_warning_that_names_it(tmp_path: Path) -> None:
    (tmp_path / "data.json").write_bytes(b'[\n  {"id": 1, "name": "ann, jr"},\n  {"id": 2, "name": "bob"}\n]\n')
    (tmp_path / "ok.csv").write_bytes(b"[id],[name]\n1,ann\n")
    proc = run("salvage", "data.json", "ok.csv", cwd=tmp_path)
    warned = [line for line in proc.stderr.decode().splitlines() if "looks like JSON" in line]
    assert len(warned) == 1 and "data.json" in warned[0], proc.stderr
