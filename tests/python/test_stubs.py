"""The PEP 561 stubs of _brinewick_backend, checked by mypy and stubtest.

mypy only picks up a ``-stubs`` package from the interpreter's search path,
not from MYPYPATH, so every run puts the stubs' parent directory and the
directory of the built module on PYTHONPATH of a fresh interpreter. That is
the layout a wheel installs: the module and ``_brinewick_backend-stubs`` side
by side in site-packages.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import _brinewick_backend

pytest.importorskip("mypy", reason="mypy is not installed (pip install mypy)")

STUB_PACKAGE = "_brinewick_backend-stubs"
REPO_STUBS = pathlib.Path(__file__).resolve().parents[2] / "stubs"
MODULE_DIR = pathlib.Path(_brinewick_backend.__file__).resolve().parent


def stubs_root() -> pathlib.Path:
    """The source tree's stubs, or the installed copy next to the module."""
    for root in (REPO_STUBS, MODULE_DIR):
        if (root / STUB_PACKAGE / "__init__.pyi").is_file():
            return root
    pytest.fail(f"no {STUB_PACKAGE} found under {REPO_STUBS} or {MODULE_DIR}")


def run_mypy_tool(args: list[str], stubs: pathlib.Path, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(stubs), str(MODULE_DIR)])
    env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    # One cache for the whole module: typeshed is parsed once, not per run.
    return tmp_path_factory.mktemp("mypy_cache")


def mypy(source: str, tmp_path: pathlib.Path, cache: pathlib.Path, *flags: str) -> subprocess.CompletedProcess[str]:
    target = tmp_path / "usage.py"
    target.write_text(textwrap.dedent(source))
    return run_mypy_tool(
        ["mypy", "--strict", "--no-error-summary", "--show-error-codes", "--cache-dir", str(cache), *flags, str(target)],
        stubs_root(),
        tmp_path,
    )


def test_stub_itself_passes_strict(tmp_path: pathlib.Path, mypy_cache: pathlib.Path) -> None:
    stub = stubs_root() / STUB_PACKAGE / "__init__.pyi"
    result = run_mypy_tool(
        ["mypy", "--strict", "--cache-dir", str(mypy_cache), str(stub)], stubs_root(), tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


TYPED_USAGE = """
    from __future__ import annotations

    from typing import Literal

    from typing_extensions import assert_type

    import _brinewick_backend
    from _brinewick_backend import SalvageReader, SalvageSummary, open, salvage_file, sniff


    def check_module() -> None:
        assert_type(_brinewick_backend.__version__, str)
        assert_type(sniff("a;b\\n"), str)
        assert_type(sniff(sample="a;b\\n"), str)


    def check_salvage_file(src: str, dst: str) -> dict[str, int | str]:
        s = salvage_file(src, dst)
        assert_type(s, SalvageSummary)
        s = salvage_file(
            input_path=src,
            output_path=dst,
            quarantine_path=None,
            delimiter=";",
            quote_char="'",
            fill_ragged_rows=False,
            merge_overflow=False,
            expected_columns=3,
            repair_quotes=False,
        )
        assert_type(s.total_rows, int)
        assert_type(s.salvaged_rows, int)
        assert_type(s.repaired_rows, int)
        assert_type(s.quarantined_rows, int)
        assert_type(s.detected_delimiter, str)
        assert_type(s.inferred_columns, int)
        return s.to_dict()


    def check_reader(path: str) -> list[list[str]]:
        r = open(path, None, '"', True, True, None, True)
        assert_type(r, SalvageReader)
        assert_type(iter(r), SalvageReader)
        assert_type(next(r), list[str])
        assert_type(len(r), int)
        assert_type(r.summary, SalvageSummary)
        assert_type(r.__exit__(), Literal[False])
        assert_type(r.__exit__(None, None, None), Literal[False])
        # mypy takes the parameters of __exit__ as positional-only, so no keyword call here.
        r2 = SalvageReader(file_path=path, expected_columns=True)
        rows: list[list[str]] = [row for row in r2]
        return rows


    def width_of_first_row(path: str) -> int:
        # __exit__ never swallows: mypy must not think the block can be skipped.
        with SalvageReader(path) as reader:
            assert_type(reader, SalvageReader)
            return len(next(reader))


    class Columns:
        def __index__(self) -> int:
            return 2


    def check_index_like(path: str) -> int:
        return len(open(path, expected_columns=Columns()))
"""


def test_typed_usage_passes_strict(tmp_path: pathlib.Path, mypy_cache: pathlib.Path) -> None:
    result = mypy(TYPED_USAGE, tmp_path, mypy_cache, "--warn-unreachable")
    assert result.returncode == 0, result.stdout + result.stderr


def test_module_resolves_to_the_stub(tmp_path: pathlib.Path, mypy_cache: pathlib.Path) -> None:
    # Guards the harness: a missing stub would make every other check vacuous.
    result = mypy(
        "import _brinewick_backend\nreveal_type(_brinewick_backend.open)\n", tmp_path, mypy_cache
    )
    assert "import-not-found" not in result.stdout, result.stdout
    assert "def (file_path: str, delimiter: str | None =" in result.stdout, result.stdout
    assert "-> _brinewick_backend.SalvageReader" in result.stdout, result.stdout


# Each body must draw exactly the listed mypy error code, because the runtime
# refuses the same thing.
MISUSES = {
    "path_object": ("SalvageReader(pathlib.Path('x'))", "arg-type"),
    "bytes_path": ("open(b'x')", "arg-type"),
    "none_quote": ("open('x', quote_char=None)", "arg-type"),
    "int_flag": ("open('x', fill_ragged_rows=1)", "arg-type"),
    "str_columns": ("salvage_file('a', 'b', expected_columns='3')", "arg-type"),
    "bytes_sample": ("sniff(b'a,b')", "arg-type"),
    "unknown_keyword": ("open('x', encoding='utf-8')", "call-arg"),
    "too_many_exit_args": ("open('x').__exit__(None, None, None, None)", "call-arg"),
    "missing_path": ("SalvageReader()", "call-arg"),
    "summary_is_read_only": ("open('x').summary.total_rows = 5", "misc"),
    "reader_summary_is_read_only": ("r = open('x')\n    r.summary = r.summary", "misc"),
    "row_is_list_of_str": ("x: list[int] = open('x').__next__()", "assignment"),
    "dict_values": ("x: dict[str, int] = open('x').summary.to_dict()", "assignment"),
    "no_public_summary_constructor": ("SalvageSummary()\n    print('after')", "unreachable"),
}


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory: pytest.TempPathFactory, mypy_cache: pathlib.Path) -> tuple[dict[str, int], str]:
    lines = [
        "import pathlib",
        "from _brinewick_backend import SalvageReader, SalvageSummary, open, salvage_file, sniff",
        "",
        "",
    ]
    first_line: dict[str, int] = {}
    for name, (body, _) in MISUSES.items():
        lines.append(f"def misuse_{name}() -> None:")
        first_line[name] = len(lines) + 1
        lines.extend(f"    {part.strip()}" for part in body.split("\n"))
        lines.extend(["", ""])
    tmp = tmp_path_factory.mktemp("misuse")
    result = mypy("\n".join(lines), tmp, mypy_cache, "--warn-unreachable")
    return first_line, result.stdout


def test_subclassing_is_refused(tmp_path: pathlib.Path, mypy_cache: pathlib.Path) -> None:
    source = """
        from _brinewick_backend import SalvageReader, SalvageSummary

        class MyReader(SalvageReader):
            pass

        class MySummary(SalvageSummary):
            pass
    """
    result = mypy(source, tmp_path, mypy_cache)
    assert result.stdout.count('Cannot inherit from final class') == 2, result.stdout


@pytest.mark.parametrize("name", list(MISUSES))
def test_misuse_is_a_type_error(name: str, misuse_report: tuple[dict[str, int], str]) -> None:
    first_line, report = misuse_report
    body, code = MISUSES[name]
    span = range(first_line[name], first_line[name] + body.count("\n") + 1)
    hits = [
        line
        for line in report.splitlines()
        if any(f"usage.py:{n}: error:" in line for n in span)
    ]
    assert hits, f"no error for {name}:\n{report}"
    assert all(f"[{code}]" in hit for hit in hits), hits


# brinewick._native's stub sits in the package beside the module it describes.
@pytest.mark.parametrize("module", ["_brinewick_backend", "brinewick._native"])
def test_stubtest_agrees_with_runtime(tmp_path: pathlib.Path, module: str) -> None:
    result = run_mypy_tool(["mypy.stubtest", "--concise", module], stubs_root(), tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_notices_a_wrong_stub(tmp_path: pathlib.Path) -> None:
    # A parameter renamed in a copy of the stub must be reported: otherwise
    # stubtest is not looking at our stub at all (it passes silently then).
    broken = tmp_path / "broken"
    shutil.copytree(stubs_root() / STUB_PACKAGE, broken / STUB_PACKAGE)
    stub = broken / STUB_PACKAGE / "__init__.pyi"
    text = stub.read_text()
    assert "def sniff(sample: str)" in text
    stub.write_text(text.replace("def sniff(sample: str)", "def sniff(text: str)"))
    result = run_mypy_tool(["mypy.stubtest", "--concise", "_brinewick_backend"], broken, tmp_path)
    assert result.returncode != 0
    assert "_brinewick_backend.sniff" in result.stdout, result.stdout + result.stderr
