"""What the damage report finds beyond the salvage's counts: the columns,
warnings a person must see, where the damage sits in lines, examples of each
kind of change and the command that would salvage the file."""

from __future__ import annotations

import os
import shlex
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Optional

#: Examples kept of each kind of change.
EXAMPLES_PER_KIND = 3
#: The most bytes of one row an example shows.
EXAMPLE_BYTES = 2000
#: A field over this many lines is worth a warning: usually a quote that
#: was never closed and took the rows after it.
MANY_LINES = 5
#: Share of a text column's values that must fit one type for the others
#: to be counted as values that failed it.
MOSTLY = 0.9

# The formats `read` infers, in the order it prefers them.
_TYPE_PATTERNS = (
    ("int64", r"^[+-]?[0-9]+$"),
    ("float64", r"^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$"),
    ("bool", r"^(true|false)$"),
    ("date32", r"^[0-9]{4}-[0-9]{2}-[0-9]{2}$"),
    ("timestamp", r"^[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}(:[0-9]{2}(\.[0-9]+)?)?(Z|[+-][0-9]{2}:?[0-9]{2})?$"),
)


@dataclass
class ColumnStats:
    name: str
    type: str               # as `read` gives it
    cells: int = 0
    empty: int = 0          # empty or padded cells
    padded: int = 0         # cells the salvage added to a short row
    merged: int = 0         # cells that took a long row's surplus fields
    near_type: Optional[str] = None  # the type most text values of a text column fit
    off_type: int = 0       # values that do not fit `near_type`
    most_lines: int = 1     # lines the longest multi-line value spans

    @property
    def empty_share(self) -> float:
        return self.empty / self.cells if self.cells else 0.0


@dataclass(frozen=True)
class ChangeRecord:
    """One record of a changes file (its columns: CHANGES_COLUMNS)."""
    line: int
    byte_offset: int
    column: Optional[str]      # the column it concerns, if one
    expected: Optional[int]    # the column count, for a change that fitted the row to it
    found: Optional[int]       # the row's fields as parsed
    detail: str


@dataclass(frozen=True)
class Example:
    line: int
    byte_offset: int
    column: Optional[str]
    expected: Optional[int]
    found: Optional[int]
    detail: str
    raw: str                # the row as it stands in the input
    clean: str              # the row as the clean CSV has it ("" when set aside)


@dataclass(frozen=True)
class Stretch:
    first_line: int
    last_line: int
    first_byte: int
    last_byte: int
    damage: int
    kinds: dict[str, int]


@dataclass
class Findings:
    columns: list[ColumnStats] = field(default_factory=list)
    columns_note: str = ""
    warnings: list[str] = field(default_factory=list)
    lines_at: list[int] = field(default_factory=list)  # the line each bin starts on
    worst: list[Stretch] = field(default_factory=list)
    examples: dict[str, list[Example]] = field(default_factory=dict)
    next_step: str = ""


def first_row(data: bytes, delimiter: str, quote: str) -> bytes:
    """The bytes of the first row of `data`, its line break included."""
    from ._damage import row_ends

    for _, end in row_ends(data, delimiter, quote):
        return data[:end]
    return data


def lines_at_bins(path: str, bins: int, size: int) -> list[int]:
    """The 1-based line number each of `bins` equal byte stretches starts on."""
    starts = [i * size // bins for i in range(bins)]
    lines, line, at = [], 1, 0
    with open(path, "rb") as f:
        for start in starts:
            while at < start:
                chunk = f.read(min(start - at, 1 << 22))
                if not chunk:
                    break
                line += chunk.count(b"\n")
                at += len(chunk)
            lines.append(line)
    return lines


def column_stats(path: str, options: dict[str, Any]) -> tuple[list[ColumnStats], str]:
    """Each column's type, emptiness and damage; a note when they cannot be had."""
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
    except ImportError:
        return [], "The per-column figures need pyarrow."
    from . import read

    table = read(path, **options)
    reader = pa.RecordBatchReader.from_stream(table)
    # Text is text to a person, whatever width its offsets have.
    stats = [ColumnStats(f.name, "string" if pa.types.is_large_string(f.type) else str(f.type))
             for f in reader.schema]
    fits: list[Counter[str]] = [Counter() for _ in stats]
    for batch in reader:
        for i, (col, values) in enumerate(zip(stats, batch.columns)):
            col.cells += len(values)
            col.empty += values.null_count
            if not pa.types.is_string(values.type) and not pa.types.is_large_string(values.type):
                continue
            breaks = pc.max(pc.count_substring(values, "\n")).as_py()
            col.most_lines = max(col.most_lines, (breaks or 0) + 1)
            for name, pattern in _TYPE_PATTERNS:
                fits[i][name] += pc.sum(pc.match_substring_regex(values, pattern)).as_py() or 0
    for col, fit in zip(stats, fits):
        values = col.cells - col.empty
        # The narrowest type that most values fit, as `read` prefers it (an
        # integer fits float64 too).
        for name, _ in _TYPE_PATTERNS:
            if values and fit[name] >= MOSTLY * values:
                col.near_type, col.off_type = name, values - fit[name]
                break
    return stats, ""


def count_fitted(stats: list[ColumnStats], kind: str, expected: Optional[int], found: Optional[int]) -> None:
    """Adds the cells a padding or a merge filled to their columns: a padded
    row's cells from its last field on, a merged row's last column."""
    if expected is None or found is None:
        return
    if kind == "padded":
        for i in range(found, min(expected, len(stats))):
            stats[i].padded += 1
    elif kind == "merged" and 0 < expected <= len(stats):
        stats[expected - 1].merged += 1


def examples_of(path: str, chosen: dict[str, list[ChangeRecord]], options: dict[str, Any],
                dialect: tuple[str, str, int]) -> dict[str, list[Example]]:
    """A few rows of each kind of change: as they stand, and as cleaned.

    A row is salvaged alone, with the delimiter and the column count the
    whole file settled on: the salvage fits each row on its own.
    """
    import _brinewick_backend as backend

    delimiter, quote, columns = dialect
    examples: dict[str, list[Example]] = {}
    row_options = {k: options[k] for k in ("fill_ragged_rows", "merge_overflow", "repair_quotes") if k in options}
    with open(path, "rb") as f, tempfile.TemporaryDirectory(prefix="brinewick-examples-") as tmp:
        for kind, picked in chosen.items():
            for record in picked:
                f.seek(record.byte_offset)
                raw = first_row(f.read(EXAMPLE_BYTES), delimiter, quote)
                one = os.path.join(tmp, "row.csv")
                with open(one, "wb") as out:
                    out.write(raw)
                rows = list(backend.open(one, delimiter=delimiter, quote_char=quote,
                                         expected_columns=columns, **row_options))
                examples.setdefault(kind, []).append(Example(
                    record.line, record.byte_offset, record.column, record.expected, record.found, record.detail,
                    raw.decode("utf-8", "replace").rstrip("\r\n"),
                    _csv_line(rows[0], delimiter=",") if rows else ""))
    return examples


def _csv_line(row: list[str], delimiter: str) -> str:
    import csv
    import io

    out = io.StringIO()
    csv.writer(out, lineterminator="").writerow(row)
    return out.getvalue()


def worst_stretches(changes_along: list[dict[str, int]], set_aside_along: list[int],
                    lines_at: list[int], last_line: int, size: int, keep: int = 5) -> list[Stretch]:
    bins = len(changes_along)
    damage = [sum(c.values()) + s for c, s in zip(changes_along, set_aside_along)]
    order = sorted((i for i in range(bins) if damage[i]), key=lambda i: (-damage[i], i))[:keep]
    stretches = []
    for i in order:
        kinds = {k: n for k, n in changes_along[i].items() if n}
        if set_aside_along[i]:
            kinds["set_aside"] = set_aside_along[i]
        end_line = lines_at[i + 1] if i + 1 < bins else last_line
        stretches.append(Stretch(lines_at[i], max(lines_at[i], end_line), i * size // bins,
                                 (i + 1) * size // bins, damage[i], kinds))
    return stretches


def delimiter_runner_up(sample_path: str, winner: str) -> Optional[tuple[str, float, float]]:
    """Another delimiter that splits the sample's rows almost as evenly as
    the one chosen: (it, its score, the winner's), or None.

    A delimiter's score is the share of rows with the commonest field count
    above one.
    """
    import _brinewick_backend as backend

    def score(delimiter: str) -> float:
        try:
            reader = backend.open(sample_path, delimiter=delimiter, expected_columns=0)
            widths = Counter(len(row) for _, row in zip(range(200), reader) if row != [""])
        except (ValueError, OSError):
            return 0.0
        if not widths:
            return 0.0
        width, n = widths.most_common(1)[0]
        return n / sum(widths.values()) if width > 1 else 0.0

    best = score(winner)
    others = sorted(((score(d), d) for d in ",;\t|" if d != winner), reverse=True)
    if others and best and others[0][0] >= 0.9 * best:
        return others[0][1], others[0][0], best
    return None


def looks_like_json(sample: bytes) -> bool:
    """An object in braces opening with a quoted key, alone, in an array or
    one per line: no CSV starts so ('[id],[name]' headers do not)."""
    text = sample.lstrip(b"\xef\xbb\xbf \t\r\n")
    if text[:1] == b"[":
        text = text[1:].lstrip(b" \t\r\n")
    return text[:1] == b"{" and text[1:].lstrip(b" \t\r\n")[:1] == b'"' and b'":' in sample


def warnings_for(sniffed: Any, sample: bytes, sample_path: str, columns: list[ColumnStats],
                 summary: Any, delimiter_given: bool,
                 examples: dict[str, list[Example]]) -> tuple[list[str], dict[str, str]]:
    """The warnings, and the options they suggest for the salvage."""
    warnings: list[str] = []
    suggest: dict[str, str] = {}
    controls = sum(sample.count(bytes([b])) for b in range(32) if b not in (9, 10, 13))
    if b"\x00" in sample or (sample and controls > 0.1 * len(sample)):
        warnings.append(f"The file looks binary: {controls} control bytes in the first {len(sample)} "
                        "(NUL among them)" if b"\x00" in sample else
                        f"The file looks binary: {controls} control bytes in the first {len(sample)}.")
    if looks_like_json(sample):
        warnings.append("The file looks like JSON (objects in braces), not CSV: its rows are split at the "
                        "commas between keys. Read it with pandas.read_json or polars.read_ndjson.")
    non_ascii = sum(1 for b in sample if b >= 0x80)
    # A few broken sequences among valid ones are damage; most of the non-ASCII bytes
    # invalid is another encoding.
    # Said only where the salvage did not read the file in that encoding
    # already: a file read whole as cp1252 says so in its first line.
    if (sniffed.invalid_utf8_bytes >= 8 and sniffed.invalid_utf8_bytes >= 0.5 * non_ascii
            and summary.encoding == "utf-8"):
        share = f"{sniffed.invalid_utf8_share:.2%} of the first {sniffed.sample_bytes} bytes are not valid UTF-8"
        if summary.changes.get("transcoded"):
            warnings.append(f"{share}: the rows that hold them are read through the fallback encoding, each "
                            "recorded as transcoded; the rest of the file is UTF-8.")
        else:
            guess = _single_byte_guess(sample)
            warnings.append(f"{share}: the file is likely in another encoding ({guess}, for instance); the "
                            "salvage replaces each such byte with U+FFFD.")
            suggest["encoding"] = guess
    # A `sep=` first line names the delimiter: no sniffing, so no margin to warn of.
    if not delimiter_given and not summary.changes.get("separator_line"):
        runner_up = delimiter_runner_up(sample_path, summary.detected_delimiter)
        if runner_up is not None:
            other, theirs, ours = runner_up
            warnings.append(
                f"The delimiter {summary.detected_delimiter!r} barely won: {other!r} splits "
                f"{theirs:.0%} of the sampled rows evenly against {ours:.0%}. Say which with --delimiter.")
            suggest["delimiter"] = summary.detected_delimiter
    if not sniffed.has_header:
        warnings.append("The first row looks like data, not column names: read it with header=False.")
    reordered = summary.set_aside.get("reordered_header", 0)
    if reordered:
        many = reordered > 1
        warnings.append(f"{reordered} row{'s' if many else ''} below the header name{'' if many else 's'} the "
                        "columns in another order (files joined whose columns stand otherwise): the rows under "
                        f"{'them' if many else 'it'} hold their values in that order. See the quarantine.")
    for col in columns:
        if col.most_lines > MANY_LINES:
            warnings.append(f"A value of column {col.name!r} spans {col.most_lines} lines: "
                            "often a quote never closed, that took the rows after it.")
    unclosed = examples.get("unclosed_quote")
    if unclosed:
        warnings.append(f"A quoted field starting on line {unclosed[0].line} was never closed: "
                        "it ran to the end of the input.")
    contained = examples.get("quote_contained")
    if contained:
        warnings.append(f"A quote opened on line {contained[0].line} was never closed: the row was ended "
                        "at its line (repair='columns'); check that row.")
    return warnings, suggest


def _single_byte_guess(sample: bytes) -> str:
    try:
        sample.decode("cp1252")
        return "cp1252"
    except UnicodeDecodeError:
        return "latin-1"


def next_step(path: str, options: dict[str, Any], suggest: dict[str, str], flags: set[str]) -> str:
    """The salvage command with the options given and those suggested."""
    stem, ext = os.path.splitext(os.path.basename(path))
    stem = stem if ext.lower() in (".csv", ".tsv", ".txt") else os.path.basename(path)
    folder = os.path.dirname(path)
    words = ["brinewick", "salvage", path]
    delimiter = suggest.get("delimiter", options.get("delimiter"))
    if delimiter is not None:
        words += ["--delimiter", "tab" if delimiter == "\t" else delimiter]
    if options.get("quote_char", '"') != '"':
        words += ["--quote-char", options["quote_char"]]
    for name, flag in (("fill_ragged_rows", "--no-fill-ragged-rows"), ("merge_overflow", "--no-merge-overflow"),
                       ("repair_quotes", "--no-repair-quotes")):
        if options.get(name) is False:
            words.append(flag)
    if options.get("expected_columns") is not None:
        words += ["--expected-columns", str(options["expected_columns"])]
    if "encoding" in suggest and "--encoding" in flags:
        words += ["--encoding", suggest["encoding"]]
    words += ["--quarantine", os.path.join(folder, stem + ".quarantine.csv"),
              "--changes", os.path.join(folder, stem + ".changes.csv")]
    return shlex.join(words)
