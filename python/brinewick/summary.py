"""The record of one salvage run: :class:`SalvageSummary`."""
from __future__ import annotations

import sys
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Union

if TYPE_CHECKING:
    from ._native import ReadReport, SalvageResult

from . import _native

#: Every kind of change the salvage records, in the order summaries list them.
#: The engine's own list, so the package never restates it.
CHANGE_KINDS: Tuple[str, ...] = tuple(_native.CHANGE_KINDS)

#: The columns of the quarantine and of the change records, in order: the
#: files :func:`brinewick.salvage` writes, ``read(...).quarantine`` and
#: ``.changes``, and Dask's record frames (after their ``file`` column).
#: ``expected``/``found`` are the column count and the row's fields as
#: parsed, where the row was measured against a width; ``column`` names the
#: column a change concerns (a ``type_error``). The engine's own lists.
QUARANTINE_COLUMNS: Tuple[str, ...] = tuple(_native.QUARANTINE_COLUMNS)
CHANGES_COLUMNS: Tuple[str, ...] = tuple(_native.CHANGES_COLUMNS)

#: The quarantine reasons of rows set aside whatever their width: above the
#: header, a comment, the header again.
SET_ASIDE_REASONS: Tuple[str, ...] = ("preamble", "comment", "repeated_header", "nul_padding", "reordered_header")

# Slots keep summaries small and typo-proof where dataclasses support them (3.10+).
_SLOTS: Dict[str, Any] = {"slots": True} if sys.version_info >= (3, 10) else {}


@dataclass(frozen=True, repr=False, **_SLOTS)
class SalvageSummary:
    """What a salvage did: row counts, the dialect it settled on and every change made.

    Attributes
    ----------
    total_rows : int
        Rows parsed from the input (blank lines included).
    salvaged_rows : int
        Rows written to the clean file.
    repaired_rows : int
        Clean rows that were padded or merged to fit the column count.
    quarantined_rows : int
        Rows set aside in the quarantine instead of the clean file.
    detected_delimiter : str
        The delimiter used: the one given, or the one sniffed.
    inferred_columns : int
        The column count rows were fitted to (``0``: no width check).
    changes : Mapping[str, int]
        Read-only count of change records per kind, every kind of
        :data:`CHANGE_KINDS` present and in that order.
    changed_rows : int
        Clean rows with at least one change record.
    bytes_read : int
        Input bytes read (decompressed, for a compressed input).
    elapsed : float
        Wall-clock seconds the salvage took.
    encoding : str
        The encoding the input was read in (``"utf-8"``, ``"cp1252"``,
        ``"utf-16-le"``, or the one given). Rows of a UTF-8 file whose bytes
        were not UTF-8 are counted in ``changes["transcoded"]``.
    undecodable : int
        Byte sequences of the input that no character of its encoding
        matched, each read as U+FFFD (UTF-16/32 and an explicit encoding).
    compression : str or None
        The compression undone (``"gzip"``, ``"zstd"``, ``"bzip2"``, ``"xz"``,
        ``"zip"``), None for a file read as it is.
    input_break : str or None
        For a compressed input that is truncated or corrupt: what happened
        and after which line it broke off. The rows up to that line are
        salvaged; the partial line after it is left out.
    set_aside : Mapping[str, int]
        Rows set aside whatever their width, per reason of
        :data:`SET_ASIDE_REASONS` (each also counted in ``quarantined_rows``):
        ``preamble`` above the header, ``comment``, ``repeated_header``,
        ``nul_padding`` (a row of nothing but NUL bytes, as a file padded
        or cut short on disk holds; kept as a row with ``blank_lines="keep"``),
        ``reordered_header`` (the header's names in another order: a file
        joined whose columns stand otherwise; the rows under it keep that
        order, so look at them).
    header_line : int
        The line the header stands on: 1 unless a preamble is above it.

    See Also
    --------
    brinewick.salvage : The function that returns these.
    """

    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    changes: Mapping[str, int]
    changed_rows: int
    bytes_read: int
    elapsed: float
    encoding: str = "utf-8"
    undecodable: int = 0
    compression: Optional[str] = None
    input_break: Optional[str] = None
    set_aside: Mapping[str, int] = field(default_factory=dict)
    header_line: int = 1

    def __post_init__(self) -> None:
        # Always the full, ordered, read-only mappings, whatever the caller passed.
        for name, label, kinds in (("changes", "change kinds", CHANGE_KINDS),
                                   ("set_aside", "set-aside reasons", SET_ASIDE_REASONS)):
            counts = dict(getattr(self, name))
            unknown = set(counts) - set(kinds)
            if unknown:
                raise ValueError(f"unknown {label}: {', '.join(sorted(unknown))}")
            ordered = {kind: int(counts.get(kind, 0)) for kind in kinds}
            object.__setattr__(self, name, MappingProxyType(ordered))

    def to_dict(self) -> Dict[str, Any]:
        """Return the summary as a plain dict (``changes`` as a plain dict too).

        Returns
        -------
        dict
            Field name to value, in declaration order; ready for ``json.dumps``.
        """
        return {
            "total_rows": self.total_rows,
            "salvaged_rows": self.salvaged_rows,
            "repaired_rows": self.repaired_rows,
            "quarantined_rows": self.quarantined_rows,
            "detected_delimiter": self.detected_delimiter,
            "inferred_columns": self.inferred_columns,
            "changes": dict(self.changes),
            "changed_rows": self.changed_rows,
            "bytes_read": self.bytes_read,
            "elapsed": self.elapsed,
            "encoding": self.encoding,
            "undecodable": self.undecodable,
            "compression": self.compression,
            "input_break": self.input_break,
            "set_aside": dict(self.set_aside),
            "header_line": self.header_line,
        }

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # The read-only view of `changes` cannot be pickled; a plain dict can,
        # and __post_init__ makes it read-only again (Dask ships summaries
        # between processes).
        return (type(self), (
            self.total_rows, self.salvaged_rows, self.repaired_rows, self.quarantined_rows,
            self.detected_delimiter, self.inferred_columns, dict(self.changes),
            self.changed_rows, self.bytes_read, self.elapsed, self.encoding, self.undecodable, self.compression,
            self.input_break, dict(self.set_aside), self.header_line,
        ))

    def __repr__(self) -> str:
        made = ", ".join(f"{kind}={n}" for kind, n in self.changes.items() if n) or "none"
        return (
            f"SalvageSummary(total_rows={self.total_rows}, salvaged_rows={self.salvaged_rows}, "
            f"repaired_rows={self.repaired_rows}, quarantined_rows={self.quarantined_rows}, "
            f"detected_delimiter={self.detected_delimiter!r}, "
            f"inferred_columns={self.inferred_columns}, changed_rows={self.changed_rows}, "
            f"changes=({made}), bytes_read={self.bytes_read}, encoding={self.encoding!r}, "
            f"elapsed={self.elapsed:.3f}s"
            + (f", compression={self.compression!r}" if self.compression else "")
            + (f", input_break={self.input_break!r}" if self.input_break else "")
            + "".join(f", {reason}={n}" for reason, n in self.set_aside.items() if n)
            + (f", header_line={self.header_line}" if self.header_line != 1 else "") + ")"
        )


def summary_of(result: Union["SalvageResult", "ReadReport"], elapsed: float) -> SalvageSummary:
    """The summary of what the native module reports of a salvage or a read."""
    return SalvageSummary(
        total_rows=result.total_rows,
        salvaged_rows=result.salvaged_rows,
        repaired_rows=result.repaired_rows,
        quarantined_rows=result.quarantined_rows,
        detected_delimiter=result.detected_delimiter,
        inferred_columns=result.inferred_columns,
        changes=dict(zip(CHANGE_KINDS, result.changes)),
        changed_rows=result.changed_rows,
        bytes_read=result.bytes_read,
        elapsed=elapsed,
        encoding=result.encoding,
        undecodable=result.undecodable,
        compression=result.compression,
        input_break=_break_text(result.input_break),
        set_aside=dict(zip(SET_ASIDE_REASONS, result.set_aside)),
        header_line=result.header_line,
    )


def _break_text(broken: Optional[Tuple[str, int, int, int]]) -> Optional[str]:
    if broken is None:
        return None
    reason, lines, size, left_out = broken
    text = f"{reason}: it broke off after line {lines} (byte {size} of the decompressed text)"
    if left_out:
        text += f"; the {left_out} bytes of the partial line after it were left out"
    return text
