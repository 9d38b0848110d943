"""Looking at a damaged file without changing it: the dialect of its first
bytes (`sniff_file`) and a full damage report (`inspect`)."""

from __future__ import annotations

import codecs
import os
import shutil
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Optional, TextIO, Union

from ._options import check_int
from .summary import CHANGE_KINDS

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
    line_endings: str        # "LF", "CRLF", "CR", "none" or "mixed (LF 3, CRLF 2)"
    bom: bool
    invalid_utf8_bytes: int  # bytes of the sample that are not valid UTF-8

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
        }


def _read_sample(path: str, limit: int) -> bytes:
    from . import _native

    # The text as a salvage reads it: a compressed file decompressed.
    data = _native.read_head(os.fsencode(path), limit)
    if len(data) == limit:
        # A row cut in two would be judged as damage; end on the last line break.
        cut = max(data.rfind(b"\n"), data.rfind(b"\r"))
        if cut > 0:
            data = data[: cut + 1]
    return data


def _line_endings(data: bytes) -> str:
    crlf = data.count(b"\r\n")
    counts = {"LF": data.count(b"\n") - crlf, "CRLF": crlf, "CR": data.count(b"\r") - crlf}
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


def sniff_file(path: PathLike, *, sample_bytes: int = DEFAULT_SAMPLE_BYTES) -> SniffResult:
    """Delimiter, column count, header guess, line endings, byte-order mark
    and invalid UTF-8 of the first `sample_bytes` bytes of a file.

    The delimiter and the column count are settled exactly as a salvage of
    the file would settle them, when the sample holds the rows they read.
    """
    import _brinewick_backend as backend

    name = os.fsdecode(os.fspath(path))
    sample_bytes = _in_range("sample_bytes", sample_bytes, 1, MAX_SAMPLE_BYTES)
    data = _read_sample(name, sample_bytes)
    with tempfile.TemporaryDirectory(prefix="brinewick-sniff-") as tmp:
        sample_path = os.path.join(tmp, "sample.csv")
        with open(sample_path, "wb") as f:
            f.write(data)
        reader = backend.open(sample_path, expected_columns=0)
        rows = [row for _, row in zip(range(50), reader) if row != [""]]
        summary = backend.open(sample_path).summary
    return SniffResult(
        path=name,
        sample_bytes=len(data),
        delimiter=summary.detected_delimiter,
        columns=summary.inferred_columns,
        has_header=_looks_like_header(rows),
        line_endings=_line_endings(data),
        bom=data.startswith(codecs.BOM_UTF8),
        invalid_utf8_bytes=_invalid_utf8_bytes(data),
    )


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
    """
    from . import salvage

    keep = check_int("keep", keep, none_allowed=False)  # type: ignore[assignment]
    if keep < 0:
        raise ValueError(f"keep must be >= 0, not {keep}")
    bins = _in_range("bins", bins, 1, MAX_BINS)
    name = os.fsdecode(os.fspath(path))
    scratch = tempfile.mkdtemp(prefix="brinewick-inspect-")
    try:
        quarantine = os.path.join(scratch, "quarantine.csv")
        changes = os.path.join(scratch, "changes.csv")
        summary = salvage(
            name, os.devnull, quarantine=quarantine, changes=changes,
            durable=False, progress=progress, **options,
        )
        report = InspectReport(path=name, summary=summary, file_size=summary.bytes_read, bins=bins)
        report.changes_along = [dict.fromkeys(CHANGE_KINDS, 0) for _ in range(bins)]
        report.set_aside_along = [0] * bins
        reasons: Counter[str] = Counter()
        with open(quarantine, encoding="utf-8", newline="") as f:
            for line, offset, reason, raw in _records(f):
                reasons[reason] += 1
                report.set_aside_along[report.bin_of(int(offset))] += 1
                if len(report.first_set_aside) < keep:
                    report.first_set_aside.append(SetAsideRow(int(line), int(offset), reason, raw))
        report.reasons = dict(reasons.most_common())
        with open(changes, encoding="utf-8", newline="") as f:
            for _, offset, change, _ in _records(f):
                report.changes_along[report.bin_of(int(offset))][change] += 1
        return report
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


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
