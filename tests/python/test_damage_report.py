"""The damage report's findings (columns, warnings, examples, where, next
step) and its page, read back by what it shows."""
from __future__ import annotations

import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest

import brinewick

# One row of each kind of damage a row can take alone, each on one line.
DAMAGED = (
    b"id,name,qty\n"
    b"1,apple,3\n"
    b"2,pear\n"
    b"3,fig,5,extra,more\n"
    b'4,"kiwi"x,6\n'
    b'5,"plum 13" red",7\n'
    b"6,ol\xe9,8\n"
    b"7,lime,x9\n"
) + b"".join(b"%d,fine,%d\n" % (i, i) for i in range(8, 30))


@pytest.fixture
def damaged(tmp_path: Path) -> Path:
    path = tmp_path / "orders.csv"
    path.write_bytes(DAMAGED)
    return path


def test_examples_show_the_row_as_it_was_and_as_the_clean_file_has_it(tmp_path: Path, damaged: Path) -> None:
    report = brinewick.inspect(damaged)
    out, changes = tmp_path / "clean.csv", tmp_path / "changes.csv"
    brinewick.salvage(damaged, out, changes=changes)
    clean = out.read_text(encoding="utf-8").splitlines()
    raw = DAMAGED.decode("utf-8", "replace").splitlines()
    kinds = {line.split(",")[2] for line in changes.read_text(encoding="utf-8").splitlines()[1:]}
    assert set(report.findings.examples) == kinds
    for examples in report.findings.examples.values():
        for e in examples:
            assert (e.raw, e.clean) == (raw[e.line - 1], clean[e.line - 1])


def test_columns_count_padded_and_merged_cells_and_values_off_type(damaged: Path) -> None:
    columns = {c.name: c for c in brinewick.inspect(damaged).findings.columns}
    assert [(c.type, c.padded, c.merged) for c in columns.values()] == [
        ("int64", 0, 0), ("string", 0, 0), ("string", 1, 1)]
    # qty: numbers but for 'x9' and the merged '5,extra,more'; empty only where padded.
    assert (columns["qty"].near_type, columns["qty"].off_type, columns["qty"].empty) == ("int64", 2, 1)
    assert columns["qty"].cells == columns["id"].cells == DAMAGED.count(b"\n") - 1


@pytest.mark.parametrize("data, words", [
    (b"a,b\x00\x00\n1,\x00\x02\n", "looks binary"),
    (b"1,2\n3,4\n5,6\n", "looks like data"),
    (b"a;b,c\n1;2,3\n4;5,6\n", "barely won"),
    (b'a,b\n1,"' + b"x\n" * 10 + b'y"\n2,3\n', "spans 11 lines"),
    (b'a,b\n1,"open\n2,3\n', "never closed"),
    (b'[\n  {"id": 1, "name": "ann, jr"},\n  {"id": 2, "name": "bob"}\n]\n', "looks like JSON"),
    (b'{"id":1,"tags":["a","b"]}\n{"id":2,"tags":[]}\n', "looks like JSON"),
    (b"id,name,amount\n1,ann,3.5\n2,bob,4\nname,id,amount\ncid,3,5.5\n", "columns in another order"),
])
def test_warnings_name_what_a_person_must_see(tmp_path: Path, data: bytes, words: str) -> None:
    path = tmp_path / "w.csv"
    path.write_bytes(data)
    warnings = brinewick.inspect(path).findings.warnings
    assert [w for w in warnings if words in w], warnings


LEGACY = b"a,b\n1,2\n" + b"x,\xe9t\xe9\xe0\n" * 10


@pytest.mark.parametrize("data, options, words", [
    (LEGACY, {"encoding": "utf-8"}, "likely in another encoding"),  # replaced: say which to ask for
    (b"a,b\n1,caf\xc3\xa9\n" + LEGACY[8:], {}, "read through the fallback encoding"),  # mixed: transcoded
    (LEGACY, {}, None),  # read whole as cp1252, as the first line says: nothing to warn of
])
def test_bytes_not_utf8_are_warned_of_as_the_salvage_reads_them(tmp_path: Path, data: bytes, options: dict,
                                                                words: str) -> None:
    path = tmp_path / "w.csv"
    path.write_bytes(data)
    warnings = [w for w in brinewick.inspect(path, **options).findings.warnings if "not valid UTF-8" in w]
    assert [w for w in warnings if words in w] if words else not warnings, warnings


def test_a_sep_line_names_the_delimiter_so_no_margin_is_warned_of(tmp_path: Path) -> None:
    path = tmp_path / "w.csv"
    path.write_bytes(b'sep=;\nDatum;Kunde;Betrag;Notiz\n01.02.2024;A;1.234,50;"a\nb"\n02.02.2024;B;99,90;\n'
                     b'03.02.2024;C;12,00;x;y\n04.02.2024;D;7,5\n')
    warnings = brinewick.inspect(path).findings.warnings
    assert not [w for w in warnings if "barely won" in w], warnings


def test_next_step_command_salvages_as_inspected(tmp_path: Path, damaged: Path) -> None:
    report = brinewick.inspect(damaged, merge_overflow=False, delimiter=",")
    words = shlex.split(report.findings.next_step)
    assert words[:2] == ["brinewick", "salvage"]
    result = subprocess.run([sys.executable, "-m", *words], capture_output=True)
    assert result.returncode == 1, result.stderr  # the long row is set aside
    quarantine = tmp_path / "orders.quarantine.csv"
    assert quarantine.read_text(encoding="utf-8").count("\n") == 1 + report.summary.quarantined_rows
    assert (tmp_path / "orders.changes.csv").exists()


def test_worst_stretches_and_axis_are_in_lines(damaged: Path) -> None:
    report = brinewick.inspect(damaged, bins=len(DAMAGED))  # a stretch per byte
    starts = [DAMAGED[:i].count(b"\n") + 1 for i in range(len(DAMAGED))]
    assert report.findings.lines_at == starts
    for w in report.findings.worst:
        assert starts[w.first_byte] == w.first_line


class Texts(HTMLParser):
    """Text under each element with an id, and every tag met."""

    def __init__(self) -> None:
        super().__init__()
        self.by_id: dict[str, str] = {}
        self.tags: set[str] = set()
        self._open: list[tuple[str, str | None]] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.tags.add(tag)
        if tag in ("meta", "br", "hr", "img", "link", "input"):
            return
        ident = dict(attrs).get("id")
        self._open.append((tag, ident))
        if ident:
            self.by_id[ident] = ""

    def handle_endtag(self, tag: str) -> None:
        while self._open:
            if self._open.pop()[0] == tag:
                break

    def handle_data(self, data: str) -> None:
        for _, ident in self._open:
            if ident:
                self.by_id[ident] += data


def chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


def shown_by(reader: str, page: Path, tmp_path: Path) -> str:
    if reader == "page source":
        return page.read_text(encoding="utf-8")
    if chromium() is None:
        pytest.skip("needs Chromium (Debian package chromium)")
    # The browser itself is not under test: it runs without the sanitizer
    # runtime that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    dom = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu",
                          f"--user-data-dir={tmp_path / 'profile'}", "--dump-dom", page.as_uri()],
                         capture_output=True, timeout=120, env=env)
    return dom.stdout.decode("utf-8")


@pytest.mark.parametrize("reader", ["page source", "chromium"])
def test_page_shows_the_report_and_runs_nothing_from_the_input(tmp_path: Path, reader: str) -> None:
    hostile = (b'id,<b>name</b>,qty\n1,"<script>alert(1)</script>",3\n2,</table>\x01\n'
               b"3,&amp;,4,5\n" + b"4,x,5\n" * 30)
    src = tmp_path / "hostile.csv"
    src.write_bytes(hostile)
    page = tmp_path / "report.html"
    result = subprocess.run([sys.executable, "-m", "brinewick", "inspect", str(src), "--html", str(page),
                             "--json"], capture_output=True)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    texts = Texts()
    texts.feed(shown_by(reader, page, tmp_path))
    assert "script" not in texts.tags and "b" not in texts.tags
    # Nothing is fetched from elsewhere: no address in a link, a source or a style.
    remote = r"(?:[a-z][a-z0-9+.-]*:)?//"  # an address with any scheme, or none
    assert not re.search(r"(?:src|href|action)\s*=\s*[\"']?\s*" + remote + r"|url\(\s*[\"']?\s*" + remote + "|@import",
                         page.read_text(encoding="utf-8"), re.IGNORECASE)
    shown = texts.by_id
    assert [c["name"] for c in report["columns"]] == ["id", "<b>name</b>", "qty"]
    assert all(c["name"] in shown["columns"] for c in report["columns"])
    assert report["next_step"] in shown["next-step"]
    for kind, examples in report["examples"].items():
        assert kind in shown["examples"]
        for e in examples:
            assert e["clean"].replace("\x01", "\\x01") in shown["examples"]
    assert "</table>\\x01" in shown["examples"]  # a control byte shown, not written raw
    if report["warnings"]:
        assert all(w in shown["warnings"] for w in report["warnings"])
    for w in report["worst_stretches"]:
        assert f"lines {w['first_line']}\u2013{w['last_line']}" in shown["worst"]


def test_inspect_of_standard_input_reports_as_of_the_file(damaged: Path) -> None:
    def report(*args: str, **kwargs: object) -> dict:
        result = subprocess.run([sys.executable, "-m", "brinewick", "inspect", *args, "--json"],
                                capture_output=True, **kwargs)  # type: ignore[call-overload]
        assert result.returncode == 0, result.stderr
        found = json.loads(result.stdout)
        return {k: found[k] for k in ("columns", "examples", "lines_at", "warnings")}

    assert report("-", input=DAMAGED) == report(str(damaged))
