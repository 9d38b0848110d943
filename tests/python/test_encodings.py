"""Inputs in other encodings than UTF-8, through salvage, read and the command line.

Each case is real bytes made by Python's codecs from a text, so the clean CSV
must be that text again in UTF-8 (the texts need no quoting).
"""
from __future__ import annotations

import codecs
import csv
import io
import json
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pytest

import _brinewick_backend as backend
import brinewick
from brinewick._api import _salvage

LATIN = "name;city\nJosé;München\nZoë;Köln\nFrançois;Orléans €5\n"
CJK = "名字;城市\n张三;北京\n李四;上海\n"
HEAD = "name;city\nJosé;München\n"  # the UTF-8 part of a mixed file
TAIL = "Zoë;Köln\nFrançois;Orléans\n"  # its cp1252 part
LONG = "name;city\n" + "Zoë;Köln\n" * 120000  # past the MiB the encoding is first judged on

# (id, bytes, encoding option, the text they hold, encoding reported, rows transcoded one by one)
CASES = [
    ("cp1252", LATIN.encode("cp1252"), "auto", LATIN, "cp1252", 0),
    ("mixed", HEAD.encode() + TAIL.encode("cp1252"), "auto", HEAD + TAIL, "utf-8", 2),
    # Joined from two systems, the UTF-8 rows after the first MiB: kept, not read as cp1252.
    ("mixed-late", LONG.encode("cp1252") + "José;München\n".encode(), "auto", LONG + "José;München\n", "utf-8",
     120000),
    ("cp1252-long", LONG.encode("cp1252"), "auto", LONG, "cp1252", 0),
    ("utf16le-bom", codecs.BOM_UTF16_LE + LATIN.encode("utf-16-le"), "auto", LATIN, "utf-16-le", 0),
    ("utf16be-bom", codecs.BOM_UTF16_BE + CJK.encode("utf-16-be"), "auto", CJK, "utf-16-be", 0),
    ("utf16le", LATIN.encode("utf-16-le"), "auto", LATIN, "utf-16-le", 0),
    ("utf16be", LATIN.encode("utf-16-be"), "auto", LATIN, "utf-16-be", 0),
    ("utf32le-bom", codecs.BOM_UTF32_LE + LATIN.encode("utf-32-le"), "auto", LATIN, "utf-32-le", 0),
    ("utf32be", LATIN.encode("utf-32-be"), "auto", LATIN, "utf-32-be", 0),
    ("gbk", CJK.encode("gbk"), "gbk", CJK, "gbk", 0),
    ("shift_jis", "名前;町\n山田;東京\n".encode("shift_jis"), "shift_jis", "名前;町\n山田;東京\n", "shift_jis", 0),
    ("latin-1", LATIN.replace("€", "¤").encode("latin-1"), "latin-1", LATIN.replace("€", "¤"), "latin-1", 0),
]
IDS = [c[0] for c in CASES]


def salvage(tmp_path: Path, data: bytes, **options):
    src, out, changes = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "changes.csv"
    src.write_bytes(data)
    summary = brinewick.salvage(src, out, changes=changes, durable=False, **options)
    return summary, out.read_bytes(), list(csv.reader(io.StringIO(changes.read_text("utf-8"))))[1:]


@pytest.mark.parametrize(("name", "data", "encoding", "text", "reported", "transcoded"), CASES, ids=IDS)
@pytest.mark.parametrize("jobs", [1, 2])
def test_salvage_decodes(tmp_path, name, data, encoding, text, reported, transcoded, jobs):
    summary, clean, changes = salvage(tmp_path, data, encoding=encoding, jobs=jobs)
    assert clean.decode("utf-8") == text
    assert summary.encoding == reported
    assert summary.changes["transcoded"] == transcoded
    assert [row[2] for row in changes] == ["transcoded"] * transcoded
    assert all("cp1252" in row[-1] for row in changes)  # the detail
    assert summary.undecodable == 0


@pytest.mark.parametrize(("name", "data", "encoding", "text", "reported", "transcoded"), CASES, ids=IDS)
def test_read_decodes(tmp_path, name, data, encoding, text, reported, transcoded):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    table = pa.table(brinewick.read(path, encoding=encoding, jobs=2))
    lines = [line.split(";") for line in text.splitlines()]
    assert table.column_names == lines[0]
    assert [list(r.values()) for r in table.to_pylist()] == lines[1:]


@pytest.mark.parametrize(("read_size", "times"), [(1, 30), (3, 30), (4096, 20000)])
@pytest.mark.parametrize(("encoding", "encode", "text", "transcoded"), [
    ("auto", lambda n: (HEAD.encode() + TAIL.encode("cp1252")) * n, HEAD + TAIL, 2),
    ("auto", lambda n: codecs.BOM_UTF16_LE + (LATIN * n).encode("utf-16-le"), LATIN, 0),
    ("gbk", lambda n: (CJK * n).encode("gbk"), CJK, 0),
], ids=["mixed", "utf16", "gbk"])
def test_pieces_of_any_size_agree(tmp_path, read_size, times, encoding, encode, text, transcoded):
    """Characters cut between reads, between the decoder's own pieces and
    between parallel chunks all come out whole."""
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_bytes(encode(times))
    summary = _salvage(src, out, quarantine=None, changes=None, delimiter=None, quote_char='"',
                       fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True,
                       progress=None, durable=False, read_size=read_size, jobs=2, chunk_size=64,
                       encoding=encoding, repeated_headers="keep")
    assert out.read_bytes().decode() == text * times
    assert summary.changes["transcoded"] == transcoded * times


def test_utf8_setting_is_the_backend(tmp_path):
    """encoding="utf-8" reads the bytes as they stand: U+FFFD, as the backend does."""
    data = HEAD.encode() + TAIL.encode("cp1252")
    summary, clean, changes = salvage(tmp_path, data, encoding="utf-8")
    backend.salvage_file(str(tmp_path / "in.csv"), str(tmp_path / "ref.csv"))
    assert clean == (tmp_path / "ref.csv").read_bytes()
    assert summary.changes["invalid_utf8"] == 2 and summary.changes["transcoded"] == 0


def test_no_fallback_puts_replacement_characters(tmp_path):
    data = HEAD.encode() + TAIL.encode("cp1252")
    summary, clean, _ = salvage(tmp_path, data, fallback_encoding=None)
    assert clean.decode() == data.decode("utf-8", "replace")
    assert summary.encoding == "utf-8" and summary.changes["invalid_utf8"] == 2


@pytest.mark.parametrize("jobs", [1, 2])
def test_undecodable_sequences_are_counted_and_recorded_on_their_row(tmp_path, jobs):
    data = CJK.encode("gbk")
    broken = data.replace("北".encode("gbk"), b"\x81\x20", 1)  # a lead byte without its trail
    summary, clean, changes = salvage(tmp_path, broken, encoding="gbk", jobs=jobs)
    assert summary.undecodable == 1
    assert clean.decode() == broken.decode("gbk", "replace")
    line = broken[: broken.index(b"\x81\x20")].count(b"\n") + 1
    assert [(int(r[0]), r[2]) for r in changes] == [(line, "invalid_utf8")]


@pytest.mark.parametrize("jobs", [1, 2])
def test_quarantine_raw_is_decoded_like_the_rows(tmp_path, jobs):
    data = HEAD.encode() + "Zoë;Köln;extra;more\n".encode("cp1252")
    src, out, quarantine = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"
    src.write_bytes(data)
    brinewick.salvage(src, out, quarantine=quarantine, merge_overflow=False, jobs=jobs, durable=False)
    records = list(csv.reader(io.StringIO(quarantine.read_text("utf-8"))))[1:]
    assert [r[-1] for r in records] == ["Zoë;Köln;extra;more"]  # the raw text


@pytest.mark.parametrize("call", [
    lambda p: brinewick.salvage(p, p + ".out", encoding="no-such-encoding"),
    lambda p: brinewick.read(p, encoding="no-such-encoding"),
    lambda p: brinewick.sniff_file(p, encoding="no-such-encoding"),
    lambda p: brinewick.salvage(p, p + ".out", fallback_encoding="gbk"),
])
def test_unknown_names_refused_before_opening(tmp_path, call):
    missing = str(tmp_path / "missing.csv")  # a FileNotFoundError would mean it was opened
    with pytest.raises(ValueError, match="encoding"):
        call(missing)


@pytest.mark.parametrize(("data", "encoding", "legacy"), [
    (LATIN.encode("cp1252"), "cp1252", True),
    (HEAD.encode() + TAIL.encode("cp1252"), "utf-8", True),
    (LATIN.encode(), "utf-8", False),
    (codecs.BOM_UTF16_LE + LATIN.encode("utf-16-le"), "utf-16-le", False),
])
def test_sniff_names_the_encoding(tmp_path, data, encoding, legacy):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    result = brinewick.sniff_file(path)
    assert (result.encoding, result.legacy_encoding) == (encoding, legacy)
    assert (result.delimiter, result.columns) == (";", 2)


def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "brinewick", *args], capture_output=True)


@pytest.mark.parametrize(("name", "data", "encoding", "text", "reported", "transcoded"),
                         [c for c in CASES if c[0] in ("cp1252", "mixed", "utf16le", "gbk")],
                         ids=["cp1252", "mixed", "utf16le", "gbk"])
def test_command_line(tmp_path, name, data, encoding, text, reported, transcoded):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    run = cli("salvage", str(path), "-o", "-", "--encoding", encoding, "--json")
    assert run.returncode == 0, run.stderr
    assert run.stdout.decode() == text
    report = json.loads(run.stderr)
    assert (report["encoding"], report["changes"]["transcoded"]) == (reported, transcoded)


def test_command_line_sniff_says_legacy(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(LATIN.encode("cp1252"))
    run = cli("sniff", str(path))
    assert run.returncode == 0, run.stderr
    assert "legacy encoding" in run.stdout.decode()


def test_dask_reads_a_decoded_file_as_one_part(tmp_path):
    bwd = pytest.importorskip("brinewick.dask")
    path = tmp_path / "in.csv"
    path.write_bytes((LATIN * 40).encode("cp1252"))
    frames = bwd.read(str(path), blocksize=64)  # many blocks, were the text the file's own bytes
    lines = [line.split(";") for line in (LATIN * 40).splitlines()]
    assert frames.data.npartitions == 1
    # The file is one text joined end to end: its repeated headers are set aside.
    assert frames.data.compute().values.tolist() == [line for line in lines[1:] if line != lines[0]]
