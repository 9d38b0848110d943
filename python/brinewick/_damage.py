"""Looking at a damaged file without changing it: the dialect of its first
bytes (`sniff_file`) and a full damage report (`inspect`)."""

from __future__ import annotations

import codecs
import contextlib
import itertools
import math
import os
import re
import shutil
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Mapping, Optional, TextIO, Union

from . import _remote
from ._options import check_int
from ._findings import (
    EXAMPLES_PER_KIND, ChangeRecord, Findings, column_stats, count_fitted, examples_of, lines_at_bins, next_step,
    warnings_for, worst_stretches,
)
from .summary import CHANGE_KINDS, CHANGES_COLUMNS, QUARANTINE_COLUMNS

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

DEFAULT_SAMPLE_BYTES = 1 << 20
#: The largest sample sniff_file reads: it is held in memory, and the
#: dialect is settled long before.
MAX_SAMPLE_BYTES = 1 << 30
#: The finest damage chart inspect draws: each bin is a counter per change kind.
MAX_BINS = 10_000


# -- sniff -------------------------------------------------------------------

@dataclass(frozen=True)
class SniffResult:
    """What the first bytes of a file say about its dialect."""

    path: str
    sample_bytes: int        # bytes looked at (the sample ends on a line break when it can)
    delimiter: str
    columns: int
    has_header: bool
    line_endings: str        # of rows: "LF", "CRLF", "CR", "none" or "mixed (LF 3, CRLF 2)"
    bom: bool
    invalid_utf8_bytes: int  # bytes of the sample that are not valid UTF-8
    encoding: str = "utf-8"  # what a salvage would read the file in
    legacy_encoding: bool = False  # the sample is not (all) UTF-8: an older single-byte export
    header_line: int = 1  # where a salvage finds the header (below a preamble or a sep= line)
    # How clearly the delimiter won: 1 - the runner-up's score over the winner's (0: a tie).
    confidence: float = 1.0

    def encoding_note(self) -> str:
        """The encoding as a person reads it: which, and why."""
        if self.encoding.startswith("utf-16") or self.encoding.startswith("utf-32"):
            return self.encoding
        if self.legacy_encoding and self.encoding == "utf-8":
            return "utf-8, with lines in a legacy encoding (read through the fallback)"
        if self.legacy_encoding:
            return f"{self.encoding} (looks like a legacy encoding, not UTF-8)"
        return self.encoding

    @property
    def invalid_utf8_share(self) -> float:
        return self.invalid_utf8_bytes / self.sample_bytes if self.sample_bytes else 0.0

    def to_dict(self) -> dict[str, Any]:
        return {
            "file": self.path, "sample_bytes": self.sample_bytes, "delimiter": self.delimiter,
            "columns": self.columns, "has_header": self.has_header,
            "line_endings": self.line_endings, "bom": self.bom,
            "invalid_utf8_bytes": self.invalid_utf8_bytes,
            "invalid_utf8_share": round(self.invalid_utf8_share, 6),
            "encoding": self.encoding, "legacy_encoding": self.legacy_encoding,
            "header_line": self.header_line, "confidence": self.confidence,
        }


def _read_sample(path: str, limit: int, storage_options: Optional[Mapping[str, Any]] = None) -> bytes:
    from . import _native

    # The text as a salvage reads it: a compressed file decompressed.
    url = _remote.url_of(path)
    if url is not None:
        data = _native.read_head(url.encode(), limit, _remote.RemoteInput(url, storage_options).open)
    else:
        data = _native.read_head(os.fsencode(path), limit)
    if len(data) == limit:
        # A row cut in two would be judged as damage; end on the last line break.
        cut = max(data.rfind(b"\n"), data.rfind(b"\r"))
        if cut > 0:
            data = data[: cut + 1]
    return data


def row_ends(data: bytes, delimiter: str, quote: str = '"') -> Iterator[tuple[bytes, int]]:
    """The line break ending each row and the offset just after it, those
    inside a quoted field left out.

    A quote opens a field only at its start and closes it before a
    delimiter, a line break or the end. Any other quote inside is text when
    a later quote on its line can close the field, as the salvage takes a
    stray quote, and closes the field when none can.
    """
    q, d = quote.encode(), delimiter.encode()
    quoted = False
    doubled = False  # the quote just seen and the next one are one quote of text
    at_field_start = True
    for m in re.finditer(re.escape(q) + rb"|\r\n|\r|\n" + (rb"|" + re.escape(d) if d else b""), data):
        token, end = m.group(), m.end()
        if token == q:
            if doubled:
                doubled = False
                continue
            if not quoted:
                quoted = at_field_start
            elif data.startswith(q, end):
                doubled = True
                continue
            elif end == len(data) or data[end:end + 1] in (d, b"\r", b"\n"):
                quoted = False
            else:
                later, line_end = data.find(q, end), _line_break(data, end)
                quoted = later >= 0 and (line_end < 0 or later < line_end)
            at_field_start = False
            continue
        if quoted:
            continue
        at_field_start = True
        if token != d:
            yield token, end


def _line_break(data: bytes, start: int) -> int:
    ends = [i for i in (data.find(b"\n", start), data.find(b"\r", start)) if i >= 0]
    return min(ends) if ends else -1


def _line_endings(data: bytes, delimiter: str = ",") -> str:
    counts = Counter(token for token, _ in row_ends(data, delimiter))
    counts = {"LF": counts[b"\n"], "CRLF": counts[b"\r\n"], "CR": counts[b"\r"]}
    present = {k: v for k, v in counts.items() if v}
    if not present:
        return "none"
    if len(present) == 1:
        return next(iter(present))
    return "mixed (" + ", ".join(f"{k} {v}" for k, v in present.items()) + ")"


def _invalid_utf8_bytes(data: bytes) -> int:
    bad = 0

    def count(error: UnicodeError) -> tuple[str, int]:
        nonlocal bad
        assert isinstance(error, UnicodeDecodeError)
        bad += error.end - error.start
        return "\ufffd", error.end

    codecs.register_error("brinewick.count", count)
    data.decode("utf-8", errors="brinewick.count")
    return bad


def _kind_of(value: str) -> str:
    text = value.strip()
    if not text:
        return "empty"
    try:
        int(text)
        return "number"
    except ValueError:
        pass
    try:
        float(text)
        return "number"
    except ValueError:
        return "text"


def _looks_like_header(rows: list[list[str]]) -> bool:
    """A first row of distinct names, none of which comes back in its column,
    above columns of another kind or length.

    Each column votes: a numeric column under a non-numeric first value says
    header, under a number it says data; a column whose values all share a
    length that the first value lacks says header. Text above text with no
    vote either way is taken as a header, the common case in CSV files.
    """
    if len(rows) < 2:
        return False
    first, data = rows[0], rows[1:]
    if any(not v.strip() for v in first) or len(set(first)) != len(first):
        return False
    if any(name in {r[c] for r in data if c < len(r)} for c, name in enumerate(first)):
        return False
    votes = 0
    for col, name in enumerate(first):
        values = [r[col] for r in data if col < len(r) and r[col].strip()]
        if not values:
            continue
        kind, _ = Counter(_kind_of(v) for v in values).most_common(1)[0]
        if kind == "number":
            votes += 1 if _kind_of(name) != "number" else -1
        elif len({len(v) for v in values}) == 1 and len(name) != len(values[0]):
            votes += 1
    if votes:
        return votes > 0
    return all(_kind_of(name) == "text" for name in first)


def sniff_file(path: PathLike, *, sample_bytes: int = DEFAULT_SAMPLE_BYTES, encoding: str = "auto",
               fallback_encoding: Optional[str] = "cp1252",
               storage_options: Optional[Mapping[str, Any]] = None) -> SniffResult:
    """Delimiter, column count, header guess, line endings, byte-order mark,
    invalid UTF-8 and encoding of the first `sample_bytes` bytes of a file.

    `path` may be a URL read through fsspec (only the sample is fetched),
    with `storage_options` passed to it.

    The delimiter and the column count are settled exactly as a salvage of
    the file would settle them, when the sample holds the rows they read.
    `encoding` and `fallback_encoding` are those of :func:`brinewick.salvage`.
    """
    import _brinewick_backend as backend

    from . import _native
    from ._options import NativeSettings, _fallback_encoding, check_encoding

    name = os.fsdecode(_remote.local_of(os.fspath(path)))
    sample_bytes = _in_range("sample_bytes", sample_bytes, 1, MAX_SAMPLE_BYTES)
    encoding = check_encoding(encoding)
    fallback = _fallback_encoding(fallback_encoding)
    data = _read_sample(name, sample_bytes, _remote.check_storage_options(storage_options))
    whole = len(data) < sample_bytes
    used, legacy = _native.sniff_encoding(data, whole, encoding, fallback)
    text = _as_utf8(data, used)
    with tempfile.TemporaryDirectory(prefix="brinewick-sniff-") as tmp:
        sample_path = os.path.join(tmp, "sample.csv")
        with open(sample_path, "wb") as f:
            f.write(text)
        # What a salvage settles: the backend's rules, and the header found
        # below a preamble or Excel's sep= line.
        settled = _native.read_settle(_native.read_open(os.fsencode(sample_path), NativeSettings.check(
            encoding="utf-8")))
        delimiter, columns, header_line = settled[:3] if settled else (",", 0, 1)
        table_path = os.path.join(tmp, "table.csv")
        with open(table_path, "wb") as f:
            f.write(b"".join(text.splitlines(keepends=True)[header_line - 1:]))
        reader = backend.open(table_path, delimiter=delimiter, expected_columns=0)
        rows = [row for _, row in zip(range(50), reader) if row != [""]]
        confidence = _delimiter_confidence(table_path, delimiter)
    return SniffResult(
        path=name,
        sample_bytes=len(data),
        delimiter=delimiter,
        columns=columns,
        has_header=_looks_like_header(rows),
        header_line=header_line,
        confidence=confidence,
        line_endings=_line_endings(data, delimiter),
        bom=data.startswith((codecs.BOM_UTF8, codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)),
        invalid_utf8_bytes=_invalid_utf8_bytes(data),
        encoding=used,
        legacy_encoding=legacy,
    )


def _delimiter_confidence(path: str, winner: str) -> float:
    """1 - the best other candidate's score over the winner's, each scored
    as the sniffing does: the share of the first 50 non-blank rows at the
    commonest width of two or more, times the log of that width (at least 1)."""
    import _brinewick_backend as backend

    def score(delimiter: str) -> float:
        reader = backend.open(path, delimiter=delimiter, expected_columns=0)
        widths = Counter(len(row) for row in itertools.islice((r for r in reader if r != [""]), 50))
        wide = [(n, w) for w, n in widths.items() if w >= 2]
        if sum(widths.values()) < 2 or not wide:
            return 0.0
        n, width = max(wide)
        return n / sum(widths.values()) * max(math.log(width), 1.0)

    best = score(winner)
    other = max(score(d) for d in ",;\t|" if d != winner)
    if best <= 0.0:
        return 0.0
    return round(max(0.0, 1.0 - other / best), 3)


def _as_utf8(data: bytes, encoding: str) -> bytes:
    """The sample as the UTF-8 text the salvage's parser would see (the
    heuristics only need the delimiters, so an encoding Python lacks is left
    as it stands)."""
    if encoding == "utf-8":
        return data
    try:
        return data.decode(encoding, "replace").lstrip("\ufeff").encode("utf-8")
    except LookupError:
        return data


def _in_range(name: str, value: object, low: int, high: int) -> int:
    number = check_int(name, value, none_allowed=False)
    assert number is not None
    if not low <= number <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {number}")
    return number


# -- inspect -----------------------------------------------------------------

@dataclass(frozen=True)
class SetAsideRow:
    line: int
    byte_offset: int
    reason: str
    expected: Optional[int]  # the column count, None where the row met no width
    found: Optional[int]     # its fields as parsed
    raw: str


@dataclass
class InspectReport:
    """The damage a salvage of one file finds, without keeping its output."""

    path: str
    summary: Any                                   # brinewick.SalvageSummary
    file_size: int                                 # bytes read
    reasons: dict[str, int] = field(default_factory=dict)
    first_set_aside: list[SetAsideRow] = field(default_factory=list)
    bins: int = 40
    # Per bin of the file's bytes: change records per kind and rows set aside.
    changes_along: list[dict[str, int]] = field(default_factory=list)
    set_aside_along: list[int] = field(default_factory=list)
    findings: Findings = field(default_factory=Findings)

    def bin_of(self, byte_offset: int) -> int:
        if self.file_size <= 0:
            return 0
        return min(self.bins - 1, byte_offset * self.bins // self.file_size)

    def to_dict(self) -> dict[str, Any]:
        return {
            "file": self.path,
            "summary": self.summary.to_dict(),
            "reasons": dict(self.reasons),
            "first_set_aside": [vars(r) for r in self.first_set_aside],
            "bins": self.bins,
            "bytes_per_bin": self.file_size / self.bins if self.bins else 0,
            "changes_along": self.changes_along,
            "set_aside_along": self.set_aside_along,
            "lines_at": self.findings.lines_at,
            "warnings": self.findings.warnings,
            "columns": [{**vars(c), "empty_share": round(c.empty_share, 6)} for c in self.findings.columns],
            "columns_note": self.findings.columns_note,
            "worst_stretches": [vars(w) for w in self.findings.worst],
            "examples": {k: [vars(e) for e in v] for k, v in self.findings.examples.items()},
            "next_step": self.findings.next_step,
        }


def inspect(
    path: PathLike,
    *,
    keep: int = 10,
    bins: int = 40,
    progress: Optional[Callable[[int, Optional[int]], object]] = None,
    **options: Any,
) -> InspectReport:
    """Salvage `path` and report the damage found.

    Nothing is written beside the file, and the clean CSV nowhere: it goes
    to the null device. The quarantine and the changes go to a temporary
    directory that is removed before returning. `options` are those of
    `brinewick.salvage`; `keep` is how many set-aside rows to show, `bins`
    how finely to cut the file for the damage chart (1 to 10000).

    Beyond the counts, the report has each column's type (as `read` gives
    it), empty share, padded and merged cells and values off its type;
    warnings; the worst stretches by line; a few examples of each kind of
    change; and the salvage command to run next. A pipe is copied aside
    first, and so is an object named by URL, as these read the file more
    than once.
    """
    from . import salvage

    keep = check_int("keep", keep, none_allowed=False)  # type: ignore[assignment]
    if keep < 0:
        raise ValueError(f"keep must be >= 0, not {keep}")
    bins = _in_range("bins", bins, 1, MAX_BINS)
    name = os.fsdecode(os.fspath(path))
    scratch = tempfile.mkdtemp(prefix="brinewick-inspect-")
    try:
        url = _remote.url_of(name)
        if url is not None or not os.path.isfile(name):
            copy = os.path.join(scratch, "input.csv")
            source = _remote.RemoteInput(url, options.get("storage_options")).open() if url is not None \
                else open(name, "rb")
            with contextlib.closing(source) as src, open(copy, "wb") as dst:
                buffer = bytearray(1 << 20)
                while n := src.readinto(buffer):
                    dst.write(memoryview(buffer)[:n])
            shown, name = name, copy
        else:
            shown = name
        quarantine = os.path.join(scratch, "quarantine.csv")
        changes = os.path.join(scratch, "changes.csv")
        summary = salvage(
            name, os.devnull, quarantine=quarantine, changes=changes,
            durable=False, progress=progress, **options,
        )
        report = InspectReport(path=shown, summary=summary, file_size=summary.bytes_read, bins=bins)
        report.changes_along = [dict.fromkeys(CHANGE_KINDS, 0) for _ in range(bins)]
        report.set_aside_along = [0] * bins
        reasons: Counter[str] = Counter()
        with open(quarantine, encoding="utf-8", newline="") as f:
            for record in _records(f):
                q = dict(zip(QUARANTINE_COLUMNS, record))
                reasons[q["reason"]] += 1
                report.set_aside_along[report.bin_of(int(q["byte_offset"]))] += 1
                if len(report.first_set_aside) < keep:
                    report.first_set_aside.append(SetAsideRow(
                        int(q["line"]), int(q["byte_offset"]), q["reason"], _count(q["expected"]),
                        _count(q["found"]), q["raw"]))
        report.reasons = dict(reasons.most_common())
        found = report.findings
        found.columns, found.columns_note = column_stats(name, options)
        chosen: dict[str, list[ChangeRecord]] = {}
        with open(changes, encoding="utf-8", newline="") as f:
            for record in _records(f):
                c = dict(zip(CHANGES_COLUMNS, record))
                change = c["change"]
                offset = int(c["byte_offset"])
                along = report.changes_along[report.bin_of(offset)]
                along[change] = along.get(change, 0) + 1
                counts = _count(c["expected"]), _count(c["found"])
                count_fitted(found.columns, change, *counts)
                picked = chosen.setdefault(change, [])
                if len(picked) < EXAMPLES_PER_KIND:
                    picked.append(ChangeRecord(int(c["line"]), offset, c["column"] or None, *counts, c["detail"]))
        quote = options.get("quote_char") or '"'
        found.examples = examples_of(name, chosen, options,
                                     (summary.detected_delimiter, quote, summary.inferred_columns))
        found.lines_at = lines_at_bins(name, bins, report.file_size)
        last_line = found.lines_at[-1] + _count_lines_after(name, (bins - 1) * report.file_size // bins)
        found.worst = worst_stretches(report.changes_along, report.set_aside_along, found.lines_at,
                                      last_line, report.file_size)
        sample = _read_sample(name, DEFAULT_SAMPLE_BYTES)
        sample_path = os.path.join(scratch, "sample.csv")
        with open(sample_path, "wb") as f:
            f.write(sample)
        sniffed = sniff_file(sample_path)
        found.warnings, suggest = warnings_for(sniffed, sample, sample_path, found.columns, summary,
                                               options.get("delimiter") is not None, found.examples)
        found.next_step = next_step(shown, options, suggest, _salvage_flags())
        return report
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _count_lines_after(path: str, offset: int) -> int:
    lines = 0
    with open(path, "rb") as f:
        f.seek(offset)
        while chunk := f.read(1 << 22):
            lines += chunk.count(b"\n")
    return lines


def _salvage_flags() -> set[str]:
    """The flags the salvage command takes, so a suggestion names only those."""
    from .cli import salvage_command

    return {opt for p in salvage_command.params for opt in getattr(p, "opts", ())}


def _count(text: str) -> Optional[int]:
    """An expected or found cell: empty where the record has no count."""
    return int(text) if text else None


def _records(f: TextIO) -> Iterator[list[str]]:
    """The records of a quarantine or changes file, its header skipped.

    The csv module would refuse a field over its process-wide limit (128
    KiB), and a row set aside can be any length. These files are written
    by the salvage alone: LF line ends, a field quoted when it holds a
    comma, a quote or a line break, and a quote in it doubled.
    """
    pending: list[str] = []
    quotes = 0
    first = True
    for line in f:
        pending.append(line)
        quotes += line.count('"')
        if quotes % 2:
            continue  # a quoted field runs on past this line break
        record = "".join(pending)
        pending, quotes = [], 0
        if first:
            first = False
            continue
        yield _fields(record[:-1] if record.endswith("\n") else record)


def _fields(record: str) -> list[str]:
    fields = []
    at = 0
    while True:
        if record.startswith('"', at):
            end = at + 1
            while True:
                end = record.index('"', end)
                if not record.startswith('"', end + 1):
                    break
                end += 2
            fields.append(record[at + 1:end].replace('""', '"'))
            at = end + 1
        else:
            end = record.find(",", at)
            end = len(record) if end < 0 else end
            fields.append(record[at:end])
            at = end
        if at >= len(record):
            return fields
        at += 1  # the comma
