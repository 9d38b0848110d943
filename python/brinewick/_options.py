"""Checks of the salvage options and paths, before anything is opened.

Shared by every entry point of the package so that all of them refuse the
same things with the same words.
"""
from __future__ import annotations

import operator
import os
from dataclasses import dataclass
from typing import Callable, Optional, Tuple, Union

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
ProgressCallback = Callable[[int, Optional[int]], object]

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
    """The six dialect and repair options, checked."""

    delimiter: Optional[str]
    quote_char: str
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: Optional[int]
    repair_quotes: bool

    @classmethod
    def check(
        cls,
        delimiter: object = None,
        quote_char: object = '"',
        fill_ragged_rows: object = True,
        merge_overflow: object = True,
        expected_columns: object = None,
        repair_quotes: object = True,
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
        )

    def native(self) -> Tuple[Optional[int], int, bool, bool, Optional[int], bool]:
        """The options as the native module takes them."""
        return (
            None if self.delimiter is None else ord(self.delimiter),
            ord(self.quote_char),
            self.fill_ragged_rows,
            self.merge_overflow,
            self.expected_columns,
            self.repair_quotes,
        )


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


def check_flag(name: str, value: object) -> bool:
    return _flag(name, value)


def usable_cores() -> int:
    """The cores this process may run on (its affinity mask where there is one)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity
        return max(1, os.cpu_count() or 1)


def check_jobs(jobs: object) -> int:
    """The worker thread count: None for every usable core, else an int >= 1."""
    if jobs is None:
        return usable_cores()
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be None or an int, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    return jobs
