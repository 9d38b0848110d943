"""Checks of the salvage and read options and paths, before anything is opened.

Shared by every entry point of the package so that all of them refuse the
same things with the same words. The options of one call end up in one
:class:`NativeSettings`, the object the native module takes.
"""
from __future__ import annotations

import operator
import os
from dataclasses import dataclass
from typing import Callable, Iterable, Mapping, Optional, Tuple, Union

from . import _native

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
ProgressCallback = Callable[[int, Optional[int]], object]

#: Rows per record batch of a read unless told otherwise: large enough that
#: the per-batch cost vanishes, small enough that a batch is a few MB.
DEFAULT_BATCH_ROWS = 1 << 16

# A line break as delimiter or quote gives files no reader splits back the same way.
_LINE_BREAKS = {"\r": "CR", "\n": "LF"}


def fs_path(name: str, value: object) -> bytes:
    """The path as the bytes the operating system sees."""
    try:
        text = os.fspath(value)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(
            f"{name} must be a path (str, bytes or os.PathLike), not {type(value).__name__}"
        ) from None
    encoded = os.fsencode(text)
    if b"\0" in encoded:
        raise ValueError(f"{name} contains a NUL byte: {text!r}")
    return encoded


def _identity(path: str) -> str:
    """What names one file: a local path resolved, a URL as written."""
    return path if "://" in path else os.path.realpath(path)


def refuse_shared_targets(targets: Iterable[Tuple[str, str]], sources: Iterable[str] = ()) -> None:
    """Raise ValueError, naming the files, when two of `targets` (pairs of
    an output and the input it comes from) are one file, or an output is
    one of `sources`: one would overwrite the other."""
    inputs = {_identity(s): s for s in sources}
    seen: dict[str, str] = {}
    for path, source in targets:
        key = _identity(path)
        if key in inputs:
            raise ValueError(f"the output {path!r} of {source!r} would overwrite the input {inputs[key]!r}")
        if key in seen:
            other = seen[key]
            whose = f" (by {other!r} and {source!r})" if other != source else ""
            raise ValueError(f"two outputs would be written to {path!r}{whose}")
        seen[key] = source


def _one_ascii(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a one-character str, not {type(value).__name__}")
    if len(value) != 1 or not value.isascii():
        raise ValueError(f"{name} must be a single ASCII character, got {value!r}")
    if value in _LINE_BREAKS:
        raise ValueError(
            f"{name} cannot be a line break ({_LINE_BREAKS[value]}): the clean file could not be read back"
        )
    return value


#: The readings a row that does not fit may be given: "columns" tries the
#: other readings of its bytes and keeps one of the expected width;
#: "literal" keeps the fixed rules' reading (the backend's rows).
REPAIR_MODES = ("columns", "literal")


def _mode(name: str, value: object, modes: Tuple[str, ...]) -> str:
    """`value` when it is one of `modes`; TypeError or ValueError naming the option otherwise."""
    allowed = " or ".join(repr(m) for m in modes)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be {allowed}, not {type(value).__name__}")
    if value not in modes:
        raise ValueError(f"{name} must be {allowed}, got {value!r}")
    return value


def _repair(value: object) -> str:
    return _mode("repair", value, REPAIR_MODES)


#: What becomes of a blank line: "skip" drops it (recorded as a blank_line
#: change, "blank line skipped"); "keep" pads it to a row of empty fields.
BLANK_LINE_MODES = ("skip", "keep")


def _blank_lines(value: object) -> bool:
    """True when blank lines are skipped."""
    return _mode("blank_lines", value, BLANK_LINE_MODES) == "skip"


#: What becomes of a later row equal to the header (files joined end to
#: end): "skip" sets it aside, reason repeated_header; "keep" keeps it as data.
REPEATED_HEADER_MODES = ("skip", "keep")


def _repeated_headers(value: object) -> bool:
    """True when repeated headers are set aside."""
    return _mode("repeated_headers", value, REPEATED_HEADER_MODES) == "skip"


def _line_number(name: str, value: object) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{name} must be 0 or more, got {number}")
    return number


def _table_start(header: bool, header_row: object, skip_rows: object) -> Tuple[bool, int]:
    """(find_header, first_line): whether the header is looked for below a
    preamble, and the 1-based line above which every row is preamble."""
    skip = _line_number("skip_rows", skip_rows)
    if header_row is None:
        return header, skip + 1
    row = _line_number("header_row", header_row)
    if skip > row:
        raise ValueError(f"skip_rows ({skip}) would skip the header on line {row} (header_row)")
    return False, row + 1


def _comment(value: object) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"comment must be a str or None, not {type(value).__name__}")
    if len(value) != 1 or not value.isascii() or value in "\r\n":
        raise ValueError(f"comment must be one ASCII character other than CR and LF, got {value!r}")
    return value


#: What a value its column's type cannot hold does to a typed read: "text"
#: keeps the column text; "null" lets the column take the type 99% of its
#: values fit, the others null and recorded as type_error changes.
TYPE_ERROR_MODES = ("text", "null")


def _type_errors(value: object) -> bool:
    return _mode("type_errors", value, TYPE_ERROR_MODES) == "null"


def _decimal(value: object) -> Optional[str]:
    if value is None or value in (".", ","):
        return value  # type: ignore[return-value]
    raise ValueError(f"decimal must be None, '.' or ',', got {value!r}")


#: The marks thousands= takes: between groups of three digits, never a decimal mark.
THOUSANDS_MARKS = (",", ".", " ", "'")


def _thousands(value: object, decimal: Optional[str]) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"thousands must be None or a str, not {type(value).__name__}")
    if value not in THOUSANDS_MARKS:
        raise ValueError(f"thousands must be None, ',', '.', ' ' or \"'\", got {value!r}")
    if value == decimal:
        raise ValueError(f"thousands and decimal must differ, both are {value!r}")
    return value


def _null_values(value: object) -> Tuple[str, ...]:
    if value is None:
        return ()
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"null_values must be a sequence of str, not {type(value).__name__}")
    texts = tuple(value)
    for text in texts:
        if not isinstance(text, str):
            raise TypeError(f"null_values must hold str, not {type(text).__name__}")
        if not text:
            raise ValueError("null_values must not hold '': the empty cell is empty_as_null's to decide")
    return texts


def _flag(name: str, value: object) -> bool:
    if isinstance(value, bool):
        return value
    # NumPy's bool is not a bool subclass, yet it is what a filtered array hands over.
    kind = type(value)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {kind.__name__}")


@dataclass(frozen=True)
class SalvageOptions:
    """The seven dialect and repair options, checked."""

    delimiter: Optional[str]
    quote_char: str
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: Optional[int]
    repair_quotes: bool
    repair: str = "columns"

    @classmethod
    def check(
        cls,
        delimiter: object = None,
        quote_char: object = '"',
        fill_ragged_rows: object = True,
        merge_overflow: object = True,
        expected_columns: object = None,
        repair_quotes: object = True,
        repair: object = "columns",
    ) -> "SalvageOptions":
        """Validate raw option values; raise TypeError or ValueError naming the option."""
        delim = None if delimiter is None else _one_ascii("delimiter", delimiter)
        quote = _one_ascii("quote_char", quote_char)
        if delim is not None and delim == quote:
            raise ValueError(f"delimiter and quote_char must differ, both are {delim!r}")
        expected = check_int("expected_columns", expected_columns, none_allowed=True)
        if expected is not None:
            if expected < 0:
                raise ValueError(f"expected_columns must be >= 0 (0 turns the width check off), got {expected}")
        return cls(
            delimiter=delim,
            quote_char=quote,
            fill_ragged_rows=_flag("fill_ragged_rows", fill_ragged_rows),
            merge_overflow=_flag("merge_overflow", merge_overflow),
            expected_columns=expected,
            repair_quotes=_flag("repair_quotes", repair_quotes),
            repair=_repair(repair),
        )


#: Fallback encodings: tables that give every byte a character.
FALLBACK_ENCODINGS = ("cp1252", "latin-1")


def check_encoding(encoding: object) -> str:
    """``"auto"``, UTF-8, or a name the engine can decode from; else ValueError."""
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str, not {type(encoding).__name__}")
    if not _native.encoding_known(encoding):
        raise ValueError(f"unknown encoding: {encoding!r}")
    return encoding


def _fallback_encoding(fallback: object) -> Optional[str]:
    if fallback is None:
        return None
    if not isinstance(fallback, str):
        raise TypeError(f"fallback_encoding must be a str or None, not {type(fallback).__name__}")
    folded = fallback.lower().replace("_", "-")
    aliases = {"cp1252": "cp1252", "windows-1252": "cp1252", "latin-1": "latin-1", "latin1": "latin-1",
               "iso-8859-1": "latin-1"}
    if folded not in aliases:
        raise ValueError(f"fallback_encoding must be one of {', '.join(FALLBACK_ENCODINGS)} or None, got {fallback!r}")
    return aliases[folded]


def check_progress(progress: object) -> Optional[ProgressCallback]:
    if progress is None:
        return None
    if not callable(progress):
        raise TypeError(f"progress must be None or a callable, not {type(progress).__name__}")
    return progress


def check_int(name: str, value: object, *, none_allowed: bool) -> Optional[int]:
    """An int (a bool is refused), or None where `none_allowed`."""
    if value is None and none_allowed:
        return None
    kind = "None or an int" if none_allowed else "an int"
    if isinstance(value, bool):
        raise TypeError(f"{name} must be {kind}, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be {kind}, not {type(value).__name__}") from None


def _at_least_one(name: str, value: object) -> int:
    n = check_int(name, value, none_allowed=False)
    assert n is not None  # refused by check_int
    if n < 1:
        raise ValueError(f"{name} must be >= 1, got {n}")
    return n


def usable_cores() -> int:
    """The cores this process may run on (its affinity mask where there is one)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity
        return max(1, os.cpu_count() or 1)


def _jobs(jobs: object) -> int:
    """The worker thread count: None for every usable core, else an int >= 1."""
    n = check_int("jobs", jobs, none_allowed=True)
    if n is None:
        return usable_cores()
    if n < 1:
        raise ValueError(f"jobs must be at least 1, not {n}")
    return n


def _infer(types: object) -> bool:
    if not isinstance(types, str):
        raise TypeError(f"types must be 'infer' or 'str', not {type(types).__name__}")
    if types not in ("infer", "str"):
        raise ValueError(f"types must be 'infer' or 'str', got {types!r}")
    return types == "infer"


def _dtypes(dtypes: object) -> Tuple[Tuple[str, str], ...]:
    if dtypes is None:
        return ()
    if not isinstance(dtypes, Mapping):
        raise TypeError(f"dtypes must be a mapping of column name to type name, not {type(dtypes).__name__}")
    pairs = []
    for name, kind in dtypes.items():
        if not isinstance(name, str) or not isinstance(kind, str):
            raise TypeError(f"dtypes must map str to str, got {name!r}: {kind!r}")
        pairs.append((name, kind))
    return tuple(pairs)


@dataclass(frozen=True)
class NativeSettings:
    """Every option of one salvage or read, checked: the one object that
    brinewick._native's salvage and read_open take.

    Make it with :meth:`check`. The native functions read the attributes by
    name and check them again, so an object made another way cannot get
    past what :meth:`check` refuses. A salvage ignores the read's options
    and a read ignores ``durable``.
    """

    delimiter: Optional[str]
    quote_char: str
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: Optional[int]
    repair_quotes: bool
    repair_columns: bool  # repair="columns"
    skip_blank_lines: bool  # blank_lines="skip"
    durable: bool  # salvage: flush the outputs before they are renamed into place
    header: bool  # read: the first clean row names the columns
    infer: bool  # read: types="infer"
    dtypes: Tuple[Tuple[str, str], ...]  # read: (column name, type name) pairs
    empty_as_null: bool  # read
    jobs: int
    batch_rows: int  # read: the most rows in one record batch
    read_size: int  # bytes asked of each read (tests use tiny sizes)
    chunk_size: int  # bytes of input each thread takes at a time
    encoding: str = "auto"  # "auto", "utf-8", or a name iconv knows
    fallback_encoding: Optional[str] = "cp1252"  # for lines of a UTF-8 file that are not UTF-8
    # Opens the input for each pass when it is not a local file (an object
    # store's): a callable giving a reader with readinto, seekable, seek,
    # close and size. Set by the entry points, never by a user.
    source: Optional[Callable[[], object]] = None
    null_type_errors: bool = False  # read: type_errors="null"
    decimal: Optional[str] = None  # read: the only decimal mark, or None: decided per column
    find_header: bool = False  # header_row=None: the header may stand below a preamble
    first_line: int = 1  # rows on lines above it are preamble (skip_rows, header_row)
    comment: Optional[str] = None  # rows that begin with it are set aside
    skip_repeated_headers: bool = False  # repeated_headers="skip"
    thousands: Optional[str] = None  # read: the mark between groups of three digits, or None
    null_values: Tuple[str, ...] = ()  # read: cell texts that are null besides the empty one

    @classmethod
    def check(
        cls,
        *,
        delimiter: object = None,
        quote_char: object = '"',
        fill_ragged_rows: object = True,
        merge_overflow: object = True,
        expected_columns: object = None,
        repair_quotes: object = True,
        repair: object = "columns",
        blank_lines: object = "skip",
        durable: object = True,
        header: object = True,
        types: object = "infer",
        dtypes: object = None,
        empty_as_null: object = True,
        jobs: object = None,
        batch_rows: object = DEFAULT_BATCH_ROWS,
        read_size: object = _native.DEFAULT_READ_SIZE,
        chunk_size: object = _native.DEFAULT_CHUNK_SIZE,
        encoding: object = "auto",
        fallback_encoding: object = "cp1252",
        type_errors: object = "text",
        decimal: object = None,
        header_row: object = None,
        skip_rows: object = 0,
        comment: object = None,
        repeated_headers: object = "skip",
        thousands: object = None,
        null_values: object = None,
    ) -> "NativeSettings":
        """Validate raw option values, in this order; raise TypeError or ValueError naming the option.

        Every integer goes through one rule (``operator.index``, a bool
        refused); ``jobs=None`` is every usable core.
        """
        dialect = SalvageOptions.check(
            delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes, repair
        )
        has_header = _flag("header", header)
        find_header, first_line = _table_start(has_header, header_row, skip_rows)
        return cls(
            delimiter=dialect.delimiter,
            quote_char=dialect.quote_char,
            fill_ragged_rows=dialect.fill_ragged_rows,
            merge_overflow=dialect.merge_overflow,
            expected_columns=dialect.expected_columns,
            repair_quotes=dialect.repair_quotes,
            repair_columns=dialect.repair == "columns",
            skip_blank_lines=_blank_lines(blank_lines),
            durable=_flag("durable", durable),
            header=has_header,
            infer=_infer(types),
            dtypes=_dtypes(dtypes),
            empty_as_null=_flag("empty_as_null", empty_as_null),
            jobs=_jobs(jobs),
            batch_rows=_at_least_one("batch_rows", batch_rows),
            read_size=_at_least_one("read_size", read_size),
            chunk_size=_at_least_one("chunk_size", chunk_size),
            encoding=check_encoding(encoding),
            fallback_encoding=_fallback_encoding(fallback_encoding),
            null_type_errors=_type_errors(type_errors),
            decimal=_decimal(decimal),
            find_header=find_header,
            first_line=first_line,
            comment=_comment(comment),
            skip_repeated_headers=_repeated_headers(repeated_headers) and has_header,
            thousands=_thousands(thousands, _decimal(decimal)),
            null_values=_null_values(null_values),
        )
