"""In-place salvage replaces the input only when the clean CSV is complete; a
quarantine path naming the input is refused before anything is written."""
from __future__ import annotations

import os
import stat
import subprocess
from pathlib import Path

import pytest

import _brinewick_backend as bw

ENOSPC = "No space left on device (os error 28)"
ON_INPUT = "quarantine_path and input_path name the same file"
ON_OUTPUT = "quarantine_path and output_path name the same file"
# Short rows padded to eight fields: the clean CSV is about 4.5 times the input.
RAGGED = b"a,b,c,d,e,f,g,h\n" + b"x\n" * 40000
RAGGED_CLEAN = b"a,b,c,d,e,f,g,h\n" + b"x,,,,,,,\n" * 40000
SMALL = b"a,b,c\n1,2\n3,4,5,6\n"
SMALL_CLEAN = b'a,b,c\n1,2,\n3,4,"5,6"\n'


def spell(tmp_path: Path, target: Path, how: str) -> str:
    """Another name for `target`; links are made next to it."""
    if how == "same string":
        return str(target)
    if how == "dot-dot":
        (tmp_path / "sub").mkdir(exist_ok=True)
        return str(tmp_path / "sub" / ".." / target.name)
    if how == "relative":
        return os.path.relpath(target)
    link = tmp_path / f"{how.replace(' ', '_')}.csv"
    if how == "symlink":
        link.symlink_to(target)
    else:
        os.link(target, link)
    return str(link)


SPELLINGS = ["same string", "dot-dot", "relative", "symlink", "hard link"]


@pytest.fixture
def small_disk(tmp_path):
    mount = tmp_path / "disk"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {done.stderr.strip()[-200:]}")
    yield mount
    subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.parametrize("how", ["same string", "symlink", "hard link"])
def test_full_disk_during_in_place_salvage_keeps_the_input(small_disk, monkeypatch, how):
    monkeypatch.chdir(small_disk)
    src = small_disk / "data.csv"
    src.write_bytes(RAGGED)  # about 96 kB: fits, its clean CSV does not
    src.chmod(0o640)
    output = spell(small_disk, src, how)
    before = sorted(os.listdir(small_disk))
    with pytest.raises(OSError) as info:
        bw.salvage_file(str(src), output, expected_columns=8)
    assert info.value.args == (ENOSPC,)
    assert src.read_bytes() == RAGGED
    assert stat.S_IMODE(src.stat().st_mode) == 0o640
    assert sorted(os.listdir(small_disk)) == before  # the temporary is gone


def test_full_disk_when_not_in_place_leaves_the_partial_output(small_disk):
    # Only the in-place case takes the detour through a temporary file.
    src = small_disk / "data.csv"
    src.write_bytes(RAGGED)
    out = small_disk / "out.csv"
    with pytest.raises(OSError, match=ENOSPC.replace("(", r"\(").replace(")", r"\)")):
        bw.salvage_file(str(src), str(out), expected_columns=8)
    assert 0 < out.stat().st_size < len(RAGGED_CLEAN)
    assert src.read_bytes() == RAGGED


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755, 0o4711])
def test_in_place_keeps_permission_bits(tmp_path, mode):
    src = tmp_path / "data.csv"
    src.write_bytes(SMALL)
    src.chmod(mode)
    bw.salvage_file(str(src), str(src), expected_columns=3)
    assert src.read_bytes() == SMALL_CLEAN
    assert stat.S_IMODE(src.stat().st_mode) == mode
    assert os.listdir(tmp_path) == ["data.csv"]


@pytest.mark.parametrize("how", SPELLINGS)
@pytest.mark.parametrize("with_quarantine", [False, True])
def test_in_place_spellings(tmp_path, monkeypatch, how, with_quarantine):
    monkeypatch.chdir(tmp_path)
    src = tmp_path / "data.csv"
    src.write_bytes(SMALL)
    output = spell(tmp_path, src, how)
    quarantine = tmp_path / "q.csv" if with_quarantine else None
    bw.salvage_file(str(src), output, str(quarantine) if quarantine else None, expected_columns=3,
                    merge_overflow=False)
    clean = b"a,b,c\n1,2,\n"
    assert Path(output).read_bytes() == clean
    if how == "symlink":
        # The link still points at the file, which now holds the clean CSV.
        assert os.path.islink(output) and src.read_bytes() == clean
    if how == "hard link":
        # The rename replaces the output's name only: the input's name keeps
        # the original bytes rather than sharing a file rewritten under it.
        assert src.read_bytes() == SMALL
    if quarantine:
        assert quarantine.read_bytes() == (b"line,reason,raw_content\n"
                                           b'3,"Row has extra columns (expected 3)","3,4,5,6"\n')
    leftovers = {p for p in os.listdir(tmp_path) if p.startswith(".")}
    assert leftovers == set()


def test_device_in_place_is_written_in_place(tmp_path):
    # A rename would put a plain file where the device node was.
    node = tmp_path / "null"
    os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    summary = bw.salvage_file(str(node), str(node))
    assert summary.total_rows == 0
    assert stat.S_ISCHR(node.stat().st_mode)
    assert os.listdir(tmp_path) == ["null"]


@pytest.mark.parametrize("how", SPELLINGS)
@pytest.mark.parametrize("output_exists", [False, True])
def test_quarantine_naming_the_input_is_refused(tmp_path, monkeypatch, how, output_exists):
    monkeypatch.chdir(tmp_path)
    src = tmp_path / "data.csv"
    src.write_bytes(SMALL)
    out = tmp_path / "out.csv"
    if output_exists:
        out.write_bytes(b"keep me\n")
    quarantine = spell(tmp_path, src, how)
    before = {p: (tmp_path / p).read_bytes() for p in os.listdir(tmp_path) if (tmp_path / p).is_file()}
    with pytest.raises(ValueError) as info:
        bw.salvage_file(str(src), str(out), quarantine)
    assert type(info.value) is ValueError and info.value.args == (ON_INPUT,)
    after = {p: (tmp_path / p).read_bytes() for p in os.listdir(tmp_path) if (tmp_path / p).is_file()}
    assert after == before


def test_output_refusal_comes_first(tmp_path):
    # Quarantine on both the output and the input: the output's message.
    src = tmp_path / "data.csv"
    src.write_bytes(SMALL)
    os.link(src, tmp_path / "alias.csv")
    with pytest.raises(ValueError, match=f"^{ON_OUTPUT}$"):
        bw.salvage_file(str(src), str(tmp_path / "alias.csv"), str(src))
    assert src.read_bytes() == SMALL
