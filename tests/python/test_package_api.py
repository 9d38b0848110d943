"""brinewick.salvage as a caller meets it: paths of every kind, options refused before anything
is touched, the OSError subclass that fits each failure, streams, in-place salvage, the summary.
"""
from __future__ import annotations

import dataclasses
import json
import os
import pathlib
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _brinewick_backend as backend
import brinewick
from brinewick import _native
from brinewick._options import NativeSettings

THREE_LINES = b"a,b,c\n1,2\n3,4,5\n"
CLEAN_THREE = b"a,b,c\n1,2,\n3,4,5\n"


class FsPath:
    """A minimal os.PathLike of the caller's own."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def listing(path: Path) -> list:
    return sorted(os.listdir(path))


# ---------------------------------------------------------------- paths


@pytest.mark.parametrize("kind", [str, os.fsencode, Path, lambda p: FsPath(str(p)),
                                  lambda p: FsPath(os.fsencode(p))],
                         ids=["str", "bytes", "Path", "PathLike-str", "PathLike-bytes"])
def test_every_path_kind(tmp_path, kind):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    out, q, ch = tmp_path / "out.csv", tmp_path / "q.csv", tmp_path / "ch.csv"
    summary = brinewick.salvage(kind(src), kind(out), quarantine=kind(q), changes=kind(ch))
    assert out.read_bytes() == CLEAN_THREE
    assert q.read_bytes().startswith(b"line,byte_offset,reason,expected,found,raw\n")
    assert ch.read_bytes().startswith(b"line,byte_offset,change,column,expected,found,detail\n")
    assert summary.total_rows == 3


def test_non_utf8_file_names(tmp_path):
    # Undecodable names survive the round trip through os.fsencode.
    src = os.path.join(os.fsencode(tmp_path), b"in\xff.csv")
    out = os.path.join(os.fsencode(tmp_path), b"out\xfe.csv")
    with open(src, "wb") as f:
        f.write(THREE_LINES)
    brinewick.salvage(src, out)
    with open(out, "rb") as f:
        assert f.read() == CLEAN_THREE
    with pytest.raises(FileNotFoundError) as info:
        brinewick.salvage(os.path.join(os.fsencode(tmp_path), b"gone\xff.csv"), out)
    assert info.value.filename == os.path.join(os.fsencode(tmp_path), b"gone\xff.csv")


@pytest.mark.parametrize("which", ["input", "output", "quarantine", "changes"])
@pytest.mark.parametrize("value, error", [(3, TypeError), (3.5, TypeError), ("bad\0name", ValueError)],
                         ids=["int", "float", "nul"])
def test_bad_paths_refused_before_anything_is_touched(tmp_path, which, value, error):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    paths = {"input": src, "output": tmp_path / "out.csv", "quarantine": tmp_path / "q.csv",
             "changes": tmp_path / "ch.csv"}
    paths[which] = value
    with pytest.raises(error, match=which):
        brinewick.salvage(paths.pop("input"), paths.pop("output"), **paths)
    assert listing(tmp_path) == ["in.csv"]


# ---------------------------------------------------------------- options

BAD_OPTIONS = [
    ({"delimiter": ""}, ValueError, "delimiter"),
    ({"delimiter": ";;"}, ValueError, "delimiter"),
    ({"delimiter": "\u00e9"}, ValueError, "delimiter"),
    ({"delimiter": b","}, TypeError, "delimiter"),
    ({"delimiter": 44}, TypeError, "delimiter"),
    ({"delimiter": "\n"}, ValueError, "delimiter"),
    ({"delimiter": "\r"}, ValueError, "delimiter"),
    ({"quote_char": "\n"}, ValueError, "quote_char"),
    ({"quote_char": "\r"}, ValueError, "quote_char"),
    ({"quote_char": ""}, ValueError, "quote_char"),
    ({"quote_char": None}, TypeError, "quote_char"),
    ({"quote_char": "''"}, ValueError, "quote_char"),
    ({"delimiter": '"'}, ValueError, "delimiter and quote_char"),
    ({"delimiter": "'", "quote_char": "'"}, ValueError, "delimiter and quote_char"),
    ({"expected_columns": -1}, ValueError, "expected_columns"),
    ({"expected_columns": True}, TypeError, "expected_columns"),
    ({"expected_columns": 2.0}, TypeError, "expected_columns"),
    ({"expected_columns": "3"}, TypeError, "expected_columns"),
    ({"fill_ragged_rows": 1}, TypeError, "fill_ragged_rows"),
    ({"merge_overflow": None}, TypeError, "merge_overflow"),
    ({"repair_quotes": "yes"}, TypeError, "repair_quotes"),
    ({"durable": 0}, TypeError, "durable"),
    ({"progress": 5}, TypeError, "progress"),
]


@pytest.mark.parametrize("options, error, named", BAD_OPTIONS,
                         ids=[repr(o) for o, _, _ in BAD_OPTIONS])
def test_bad_options_refused_before_anything_is_touched(tmp_path, options, error, named):
    # The input does not exist: an option check that came after the open would say so instead.
    with pytest.raises(error, match=named):
        brinewick.salvage(tmp_path / "gone.csv", tmp_path / "out.csv",
                          quarantine=tmp_path / "q.csv", **options)
    assert listing(tmp_path) == []


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("entry", ["salvage", "read", "read_str"])
@pytest.mark.parametrize("data, quote", [(b"a,b\n1,2\n", ","), (b"a|b|c\n1|2|3\n", "|")])
def test_a_quote_equal_to_the_sniffed_delimiter_is_refused(tmp_path, entry, data, quote, jobs):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    message = f"quote_char '{quote}' is the sniffed delimiter; pass delimiter= or another quote_char"
    with pytest.raises(ValueError, match=re.escape(message)):
        if entry == "salvage":
            brinewick.salvage(src, tmp_path / "out.csv", quote_char=quote, jobs=jobs)
        else:
            pa = pytest.importorskip("pyarrow")
            pa.table(brinewick.read(src, quote_char=quote, jobs=jobs,
                                    types="str" if entry == "read_str" else "infer"))
    assert listing(tmp_path) == ["in.csv"]


def test_options_are_keyword_only(tmp_path):
    with pytest.raises(TypeError):
        brinewick.salvage(tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv")


@pytest.mark.parametrize("options", [
    {"delimiter": ";", "quote_char": "'"},
    {"delimiter": "\t", "repair_quotes": False},
    {"expected_columns": 0},
    {"expected_columns": 2, "merge_overflow": False},
    {"fill_ragged_rows": False},
])
def test_accepted_options_reach_the_engine(tmp_path, options):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a;b,c\n'x;y',2\n1\t2\t3\n")
    brinewick.salvage(src, tmp_path / "out.csv", repair="literal", **options)
    backend.salvage_file(str(src), str(tmp_path / "ref.csv"), **options)
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()


# The native functions check the settings again: a private call, or settings
# made without NativeSettings.check, is refused what the package refuses.
NATIVE_REFUSALS = [
    ({"delimiter": "\n"}, ValueError, "delimiter"),
    ({"quote_char": "\r"}, ValueError, "quote_char"),
    ({"delimiter": ";", "quote_char": ";"}, ValueError, "differ"),
    ({"quote_char": None}, TypeError, "quote_char"),
    ({"expected_columns": -1}, ValueError, "expected_columns"),
    ({"jobs": 0}, ValueError, "jobs"),
    ({"read_size": 0}, ValueError, "read_size"),
    ({"chunk_size": True}, TypeError, "chunk_size"),
]


@pytest.mark.parametrize("entry", ["salvage", "read_open"])
@pytest.mark.parametrize("change, error, named", NATIVE_REFUSALS, ids=[repr(c) for c, _, _ in NATIVE_REFUSALS])
def test_native_entries_refuse_what_the_package_refuses(tmp_path, entry, change, error, named):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    settings = dataclasses.replace(NativeSettings.check(), **change)
    with pytest.raises(error, match=named):
        if entry == "salvage":
            _native.salvage(os.fsencode(src), os.fsencode(tmp_path / "out.csv"), None, None, settings, None)
        else:
            _native.read_open(os.fsencode(src), settings)
    assert listing(tmp_path) == ["in.csv"]


def test_native_entries_name_a_missing_setting(tmp_path):
    with pytest.raises(TypeError, match="no 'delimiter'"):
        _native.read_open(os.fsencode(tmp_path / "in.csv"), object())


def test_numpy_scalars_are_accepted(tmp_path):
    numpy = pytest.importorskip("numpy")
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    summary = brinewick.salvage(src, tmp_path / "out.csv", expected_columns=numpy.int64(2),
                                fill_ragged_rows=numpy.bool_(False))
    assert summary.inferred_columns == 2


@pytest.mark.parametrize("entry", ["salvage", "read"])
def test_numpy_integers_are_taken_as_ints(tmp_path, entry):
    np = pytest.importorskip("numpy")
    pa = pytest.importorskip("pyarrow")
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES * 50)
    options = {"jobs": 2, "expected_columns": 3}
    if entry == "read":
        options["batch_rows"] = 7

    def run(tag, **given):
        if entry == "salvage":
            summary = brinewick.salvage(src, tmp_path / f"{tag}.csv", **given).to_dict()
            summary.pop("elapsed")
            return summary, (tmp_path / f"{tag}.csv").read_bytes()
        table = pa.table(brinewick.read(src, **given))
        return table, [batch.num_rows for batch in table.to_batches()]

    assert run("numpy", **{k: np.int64(v) for k, v in options.items()}) == run("int", **options)
    with pytest.raises(ValueError, match="jobs must be at least 1, not 0"):
        run("zero", jobs=np.int64(0))


# ---------------------------------------------------------------- errors


def test_missing_input(tmp_path):
    missing = tmp_path / "nope.csv"
    with pytest.raises(FileNotFoundError) as info:
        brinewick.salvage(missing, tmp_path / "out.csv", quarantine=tmp_path / "q.csv")
    assert info.value.filename == str(missing)
    assert info.value.errno == 2 and "No such file" in str(info.value)
    assert listing(tmp_path) == []


def test_bytes_path_is_reported_as_given(tmp_path):
    missing = os.fsencode(tmp_path / "nope.csv")
    with pytest.raises(FileNotFoundError) as info:
        brinewick.salvage(missing, tmp_path / "out.csv")
    assert info.value.filename == missing


def test_directory_as_input(tmp_path):
    (tmp_path / "dir").mkdir()
    with pytest.raises(IsADirectoryError) as info:
        brinewick.salvage(tmp_path / "dir", tmp_path / "out.csv")
    assert info.value.filename == str(tmp_path / "dir")
    assert listing(tmp_path) == ["dir"]


def output_failures(tmp_path: Path):
    (tmp_path / "afile").write_bytes(b"not a directory\n")
    (tmp_path / "adir").mkdir()
    return {
        "missing directory": (tmp_path / "gone" / "out.csv", FileNotFoundError),
        "file as directory": (tmp_path / "afile" / "out.csv", NotADirectoryError),
        "directory as target": (tmp_path / "adir", IsADirectoryError),
    }


@pytest.mark.parametrize("case", ["missing directory", "file as directory", "directory as target"])
@pytest.mark.parametrize("role", ["output", "quarantine", "changes"])
def test_output_failures_leave_every_target_untouched(tmp_path, case, role):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    paths = {"output": tmp_path / "out.csv", "quarantine": tmp_path / "q.csv",
             "changes": tmp_path / "ch.csv"}
    for p in paths.values():
        p.write_bytes(b"old\n")
    bad, error = output_failures(tmp_path)[case]
    paths[role] = bad
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    with pytest.raises(error) as info:
        brinewick.salvage(src, paths.pop("output"), **paths)
    assert info.value.filename is not None
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


CHILD = r"""
import json, os, sys
import brinewick
os.setgid(65534)
os.setuid(65534)
try:
    brinewick.salvage(*json.loads(sys.argv[1]))
except OSError as err:
    print(json.dumps([type(err).__name__, err.errno, err.filename]))
else:
    print(json.dumps(None))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop to an unprivileged user")
@pytest.mark.parametrize("case", ["unreadable input", "read-only directory"])
def test_permission_errors(tmp_path_factory, case):
    # Root ignores permission bits, so the call runs in a child that drops to nobody.
    base = tmp_path_factory.mktemp("perm")
    for p in [base, *base.parents]:
        if str(p) == "/":
            break
        os.chmod(p, os.stat(p).st_mode | 0o005)
    src = base / "in.csv"
    src.write_bytes(THREE_LINES)
    out = base / "out.csv"
    if case == "unreadable input":
        src.chmod(0o000)
        failing = str(src)
    else:
        locked = base / "locked"
        locked.mkdir()
        locked.chmod(0o555)
        out = locked / "out.csv"
        failing = str(out)
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps([str(src), str(out)])],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot run as an unprivileged user: {done.stderr.strip()[-200:]}")
    name, errno_, filename = json.loads(done.stdout)
    assert (name, errno_) == ("PermissionError", 13)
    assert filename in (failing, os.path.dirname(failing)) or \
        os.path.dirname(filename) == os.path.dirname(failing)
    assert not out.exists()


def test_same_file_refusals(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(THREE_LINES)
    out = tmp_path / "out.csv"
    for paths in [dict(quarantine=src), dict(changes=src), dict(quarantine=out),
                  dict(quarantine=tmp_path / "q.csv", changes=tmp_path / "q.csv")]:
        with pytest.raises(ValueError):
            brinewick.salvage(src, out, **paths)
        assert listing(tmp_path) == ["in.csv"]
        assert src.read_bytes() == THREE_LINES


# ---------------------------------------------------------------- in place, streams


@pytest.mark.parametrize("how", ["same path", "other spelling", "hard link"])
def test_in_place(tmp_path, monkeypatch, how):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "data.csv"
    data = b"\xef\xbb\xbfa,b,c\r\n1,2\r\n3,4,5,6\r\nx,y,z\r\n"
    path.write_bytes(data)
    path.chmod(0o640)
    target = {"same path": path, "other spelling": "./data.csv", "hard link": tmp_path / "h.csv"}[how]
    if how == "hard link":
        os.link(path, target)
    expected = tmp_path / "expected.csv"
    (tmp_path / "copy.csv").write_bytes(data)
    backend.salvage_file(str(tmp_path / "copy.csv"), str(expected))
    summary = brinewick.salvage(path, target)
    assert Path(target).read_bytes() == expected.read_bytes()
    assert summary.bytes_read == len(data)
    assert (os.stat(target).st_mode & 0o777) == 0o640
    assert listing(tmp_path) == sorted(["data.csv", "copy.csv", "expected.csv"] +
                                       (["h.csv"] if how == "hard link" else []))


def test_fifo_is_read_as_a_stream(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    data = b"a,b,c\n" + b"1,2\n3,4,5,6\n" * 20000

    def feed():
        with open(fifo, "wb") as f:
            for i in range(0, len(data), 4096):
                f.write(data[i:i + 4096])

    writer = threading.Thread(target=feed)
    writer.start()
    seen = []
    summary = brinewick.salvage(fifo, tmp_path / "out.csv", progress=lambda d, t: seen.append((d, t)))
    writer.join()
    (tmp_path / "plain.csv").write_bytes(data)
    backend.salvage_file(str(tmp_path / "plain.csv"), str(tmp_path / "ref.csv"))
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()
    assert summary.bytes_read == len(data)
    assert seen and all(total is None for _, total in seen)
    assert seen[-1][0] == len(data)


def test_pipe_from_a_subprocess(tmp_path):
    data = b"x;y\n1;2;3\n4\n"
    proc = subprocess.Popen([sys.executable, "-c",
                             f"import sys; sys.stdout.buffer.write({data!r})"],
                            stdout=subprocess.PIPE)
    summary = brinewick.salvage(f"/dev/fd/{proc.stdout.fileno()}", tmp_path / "out.csv")
    proc.wait()
    proc.stdout.close()
    (tmp_path / "plain.csv").write_bytes(data)
    backend.salvage_file(str(tmp_path / "plain.csv"), str(tmp_path / "ref.csv"))
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()
    assert summary.detected_delimiter == ";" and summary.bytes_read == len(data)


# ---------------------------------------------------------------- the summary


def test_summary_shape(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b,c\n1,2\n3,4,5,6\n\n")
    s = brinewick.salvage(src, tmp_path / "out.csv", expected_columns=3)
    assert isinstance(s, brinewick.SalvageSummary)
    d = s.to_dict()
    assert list(d) == ["total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows",
                       "detected_delimiter", "inferred_columns", "changes", "changed_rows",
                       "bytes_read", "elapsed", "encoding", "undecodable", "compression", "input_break",
                       "set_aside", "header_line"]
    assert (d["compression"], d["input_break"]) == (None, None)
    assert list(d["changes"]) == list(brinewick.CHANGE_KINDS)
    assert json.loads(json.dumps(d)) == d
    assert d["changes"] is not s.changes and dict(s.changes) == d["changes"]
    with pytest.raises(TypeError):
        s.changes["padded"] = 0  # type: ignore[index]
    with pytest.raises(AttributeError):
        s.total_rows = 0  # type: ignore[misc]
    assert s.changes["padded"] == 1 and s.changes["merged"] == 1 and s.changes["blank_line"] == 1
    assert s.elapsed >= 0 and s.bytes_read == src.stat().st_size
    text = repr(s)
    assert text.startswith("SalvageSummary(") and "padded=1" in text and "stray_quote" not in text
    assert f"detected_delimiter={','!r}" in text


def test_summary_rejects_unknown_change_kinds():
    with pytest.raises(ValueError, match="unknown change kinds"):
        brinewick.SalvageSummary(0, 0, 0, 0, ",", 0, {"typo": 1}, 0, 0, 0.0)


# A run of two or more `name`s (or ``name``s) joined by commas, "and" or "or": a list.
_NAME = r"`{1,2}([a-z][a-z0-9_]*)`{1,2}"
_LISTED = re.compile(_NAME + r"(?:(?:,\s*(?:and\s+|or\s+)?|\s+(?:and|or)\s+)" + _NAME + r")+")


def _texts_for_users():
    """README.md, every docstring in the package and every command's help."""
    import importlib
    import inspect
    import pkgutil

    import click

    from brinewick import cli

    yield "README.md", (Path(__file__).resolve().parents[2] / "README.md").read_text("utf-8")
    names = ["brinewick", *(f"brinewick.{m.name}" for m in pkgutil.iter_modules(brinewick.__path__)
                            if m.name != "__main__")]  # which would run the command
    for name in names:
        module = importlib.import_module(name)
        yield name, module.__doc__ or ""
        for attr, value in vars(module).items():
            if getattr(value, "__module__", None) != name:
                continue
            yield f"{name}.{attr}", inspect.getdoc(value) or ""
            for member, inner in vars(value).items() if inspect.isclass(value) else ():
                yield f"{name}.{attr}.{member}", inspect.getdoc(inner) or ""
    for command_name, command in cli.main.commands.items():
        yield f"brinewick {command_name} --help", command.get_help(click.Context(command))


def test_every_list_of_change_kinds_names_the_engines_kinds():
    # The engine's table is the only list of kinds; a README line, a docstring
    # or a help text that lists them must keep up with it, in its order.
    kinds = list(brinewick.CHANGE_KINDS)
    assert kinds == list(brinewick._native.CHANGE_KINDS) and len(set(kinds)) == len(kinds)
    lists = {}
    for where, text in _texts_for_users():
        for match in _LISTED.finditer(text):
            names = re.findall(_NAME, match.group(0))
            if set(names) & set(kinds):
                lists.setdefault(where, []).append(names)
    assert "README.md" in lists
    assert {where: found for where, found in lists.items() if any(n != kinds for n in found)} == {}


def test_import_pulls_in_no_dataframe_library():
    code = ("import sys, brinewick; heavy = {'pyarrow', 'polars', 'pandas', 'duckdb', 'dask', "
            "'numpy'} & set(sys.modules); print(sorted(heavy))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_backend_surface_is_unchanged():
    assert sorted(n for n in dir(backend) if not n.startswith("__")) == \
        ["SalvageReader", "SalvageSummary", "open", "salvage_file", "sniff"]


def test_typed_package():
    assert (pathlib.Path(brinewick.__file__).parent / "py.typed").exists()
