"""Compressed inputs (read through, or salvaged up to a break) and files that
are no text (refused before anything is written), on real bytes."""
from __future__ import annotations

import bz2
import gzip
import io
import lzma
import re
import shutil
import sqlite3
import subprocess
import sys
import zipfile
from pathlib import Path
from typing import Callable, Dict

import pyarrow as pa
import pytest

import brinewick

PLAIN = b"id,name,qty\n" + b"".join(b"%d,item %d,%d\n" % (i, i, i * 7 % 50) for i in range(3000))


def _zip(members: Dict[str, bytes], method: int = zipfile.ZIP_DEFLATED) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=method) as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return buffer.getvalue()


def _zstd(data: bytes) -> bytes:
    if shutil.which("zstd") is None:
        pytest.skip("the zstd command is not installed")
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


COMPRESSORS: Dict[str, Callable[[bytes], bytes]] = {
    "gzip": gzip.compress,
    # Two members, as `cat a.gz b.gz` makes.
    "gzip-members": lambda d: gzip.compress(d[: len(d) // 3]) + gzip.compress(d[len(d) // 3:]),
    "zstd": _zstd,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zip": lambda d: _zip({"export.csv": d}),
    "zip-stored": lambda d: _zip({"export.csv": d}, zipfile.ZIP_STORED),
}


def _name(fmt: str) -> str:
    return fmt.split("-")[0]


def run_cli(*args: str, input: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "brinewick", *args], input=input, capture_output=True,
                          timeout=120)


@pytest.fixture
def expected(tmp_path: Path) -> bytes:
    source = tmp_path / "plain.csv"
    source.write_bytes(PLAIN)
    brinewick.salvage(source, tmp_path / "plain.clean.csv")
    return (tmp_path / "plain.clean.csv").read_bytes()


@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_whole_compressed_input_reads_as_the_text(tmp_path: Path, fmt: str, expected: bytes) -> None:
    source = tmp_path / "data.bin"  # the magic bytes decide, not the name
    source.write_bytes(COMPRESSORS[fmt](PLAIN))
    calls: list[tuple[int, int]] = []
    summary = brinewick.salvage(source, tmp_path / "clean.csv", jobs=2, progress=lambda d, t: calls.append((d, t)))
    assert (tmp_path / "clean.csv").read_bytes() == expected
    assert (summary.compression, summary.input_break, summary.bytes_read) == (_name(fmt), None, len(PLAIN))
    # Progress counts the compressed bytes taken, against the file's size.
    size = source.stat().st_size
    assert calls[-1] == (size, size) and all(done <= total == size for done, total in calls)

    table = brinewick.read(source)
    # Of unknown size, like a stream: its strings may be large ones.
    assert pa.table(table).to_pydict() == pa.table(brinewick.read(io_path(tmp_path, PLAIN))).to_pydict()
    assert table.summary.compression == _name(fmt)

    sniffed = brinewick.sniff_file(source)
    assert (sniffed.delimiter, sniffed.columns) == (",", 3)

    piped = run_cli("salvage", "-", "-o", "-", input=source.read_bytes())
    assert (piped.returncode, piped.stdout) == (0, expected), piped.stderr


def io_path(tmp_path: Path, data: bytes) -> Path:
    path = tmp_path / "plain-copy.csv"
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("fmt", COMPRESSORS)
def test_truncated_input_keeps_the_complete_lines_and_says_where_it_broke(tmp_path: Path, fmt: str,
                                                                           expected: bytes) -> None:
    packed = COMPRESSORS[fmt](PLAIN)
    source = tmp_path / "cut.csv.x"
    source.write_bytes(packed[: len(packed) * 3 // 5])
    summary = brinewick.salvage(source, tmp_path / "clean.csv")
    clean = (tmp_path / "clean.csv").read_bytes()
    assert summary.input_break is not None and "truncated" in summary.input_break
    lines = clean.count(b"\n")
    assert f"after line {lines} " in summary.input_break
    # Only complete lines, each as the whole file has it.
    assert expected.startswith(clean) and lines < PLAIN.count(b"\n")

    table = brinewick.read(source)
    assert pa.table(table).num_rows == max(lines - 1, 0)
    assert table.summary.input_break == summary.input_break

    for args, stdin in ((["salvage", str(source), "-o", str(tmp_path / "cli.csv")], None),
                        (["salvage", "-", "-o", str(tmp_path / "stdin.csv")], source.read_bytes())):
        result = run_cli(*args, input=stdin)
        assert result.returncode == 1, result.stderr
        assert b"broke off after line %d " % lines in result.stderr
        assert Path(args[-1]).read_bytes() == clean
    inspected = run_cli("inspect", str(source))
    assert inspected.returncode == 1 and b"broke off after line %d " % lines in inspected.stderr


def test_corrupt_gzip_check_is_damage(tmp_path: Path, expected: bytes) -> None:
    packed = bytearray(gzip.compress(PLAIN))
    packed[-8] ^= 0xFF  # the CRC of the text: every row decodes, the check fails at the end
    source = tmp_path / "bad.csv.gz"
    source.write_bytes(bytes(packed))
    summary = brinewick.salvage(source, tmp_path / "clean.csv")
    assert summary.input_break is not None and "corrupt" in summary.input_break
    assert (tmp_path / "clean.csv").read_bytes() == expected
    assert run_cli("salvage", str(source), "-o", str(tmp_path / "cli.csv")).returncode == 1


def test_dask_reads_a_compressed_file_as_one_partition(tmp_path: Path) -> None:
    pytest.importorskip("dask")
    import brinewick.dask as bd

    source = tmp_path / "data.csv.gz"
    source.write_bytes(gzip.compress(PLAIN))
    frames = bd.read(str(source), blocksize=4096)
    assert frames.data.npartitions == 1
    assert len(frames.data.compute()) == PLAIN.count(b"\n") - 1


def _parquet(path: Path) -> None:
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"a": [1, 2]}), path)


def _feather(path: Path) -> None:
    import pyarrow.feather as feather

    feather.write_feather(pa.table({"a": [1, 2]}), path)


def _orc(path: Path) -> None:
    orc = pytest.importorskip("pyarrow.orc")
    orc.write_table(pa.table({"a": [1, 2]}), path)


def _sqlite(path: Path) -> None:
    with sqlite3.connect(path) as db:
        db.execute("create table t (a)")
    db.close()


def _write(data: bytes) -> Callable[[Path], None]:
    return lambda path: path.write_bytes(data)


NOT_TEXT = {
    "sales.xlsx": (_write(_zip({"[Content_Types].xml": b"<Types/>", "xl/workbook.xml": b"<workbook/>"})),
                   "an Excel workbook"),
    "sales.ods": (_write(_zip({"mimetype": b"application/vnd.oasis.opendocument.spreadsheet",
                               "content.xml": b"<office/>"}, zipfile.ZIP_STORED)),
                  "an OpenDocument spreadsheet"),
    "sales.xls": (_write(b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504)),
                  "an Excel workbook (or another Office document)"),
    "data.parquet": (_parquet, "a Parquet file"),
    "data.arrow": (_feather, "an Arrow file"),
    "data.orc": (_orc, "an ORC file"),
    "data.avro": (_write(b"Obj\x01\x04\x14avro.codec\x08null\x00" + bytes(16)), "an Avro file"),
    "data.sqlite": (_sqlite, "an SQLite database"),
    "report.pdf": (_write(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n"), "a PDF document"),
    "chart.png": (_write(b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(13)), "a PNG image"),
    "photo.jpg": (_write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(32)), "a JPEG image"),
    "python-binary": (_write(Path(sys.executable).resolve().read_bytes()[:4096]), "an executable"),
}


@pytest.mark.parametrize("name", NOT_TEXT)
def test_file_that_is_no_text_is_refused_before_anything_is_written(tmp_path: Path, name: str) -> None:
    make, what = NOT_TEXT[name]
    source = tmp_path / name
    make(source)
    out = tmp_path / "out" / "clean.csv"
    out.parent.mkdir()
    with pytest.raises(ValueError, match=re.escape(f"'{source}' is {what}, not a text file")):
        brinewick.salvage(source, out)
    with pytest.raises(ValueError, match=re.escape(f"is {what}")):
        brinewick.read(source)
    result = run_cli("salvage", str(source), "-o", str(out))
    assert result.returncode == 2
    assert result.stderr.decode().startswith(f"brinewick: '{source}' is {what}, not a text file")
    assert list(out.parent.iterdir()) == []


@pytest.mark.parametrize("head", [b"PAR1,PAR2\n", b"MZ;BM\n", b"ORC,FEA1\n", b"BZh9,x\n", b"PK,x\n"])
def test_text_that_opens_like_a_signature_is_read(tmp_path: Path, head: bytes) -> None:
    source = tmp_path / "odd.csv"
    source.write_bytes(head + b"1,2\n")
    summary = brinewick.salvage(source, tmp_path / "clean.csv")
    assert (summary.compression, summary.total_rows) == (None, 2)


def test_zip_of_several_members_names_them(tmp_path: Path) -> None:
    source = tmp_path / "exports.zip"
    source.write_bytes(_zip({"a.csv": b"x\n1\n", "b.csv": b"y\n2\n"}))
    with pytest.raises(ValueError, match="2 members \\('a.csv', 'b.csv'\\)"):
        brinewick.salvage(source, tmp_path / "clean.csv")
    result = run_cli("salvage", "-", "-o", str(tmp_path / "clean.csv"), input=source.read_bytes())
    assert result.returncode == 2 and b"several members" in result.stderr
    assert not (tmp_path / "clean.csv").exists()


def _unzstd(data: bytes) -> bytes:
    return subprocess.run(["zstd", "-q", "-d", "-c"], input=data, capture_output=True, check=True).stdout


@pytest.mark.parametrize("suffix, unpack", [(".gz", gzip.decompress), (".zst", _unzstd)])
def test_outputs_named_gz_or_zst_are_written_compressed(tmp_path: Path, suffix: str,
                                                         unpack: Callable[[bytes], bytes]) -> None:
    if suffix == ".zst" and shutil.which("zstd") is None:
        pytest.skip("the zstd command is not installed")
    source = tmp_path / "damaged.csv"
    source.write_bytes(PLAIN + b"1,2,3,4,5\n\"open\n")
    brinewick.salvage(source, tmp_path / f"clean.csv{suffix}", quarantine=tmp_path / f"q.csv{suffix}",
                      merge_overflow=False)
    brinewick.salvage(source, tmp_path / "plain.csv", quarantine=tmp_path / "plain.q.csv", merge_overflow=False)
    assert unpack((tmp_path / f"clean.csv{suffix}").read_bytes()) == (tmp_path / "plain.csv").read_bytes()
    assert unpack((tmp_path / f"q.csv{suffix}").read_bytes()) == (tmp_path / "plain.q.csv").read_bytes()
    result = run_cli("salvage", str(source), "-o", str(tmp_path / f"cli.csv{suffix}"))
    assert result.returncode == 0, result.stderr
    assert unpack((tmp_path / f"cli.csv{suffix}").read_bytes()).startswith(b"id,name,qty\n")
