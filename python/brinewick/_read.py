"""brinewick.read: salvaged rows as Arrow data, for pyarrow, Polars, DuckDB and pandas.

No data library is imported here: the tables speak the Arrow PyCapsule
protocol (``__arrow_c_stream__``), which every one of them understands, and
``to_arrow`` / ``to_pandas`` / ``to_polars`` import theirs only when called.
"""
from __future__ import annotations

import os
import shutil
import stat
import tempfile
import weakref
from dataclasses import replace
from typing import Any, List, Mapping, NamedTuple, Optional, Tuple

from . import _native
from ._options import DEFAULT_BATCH_ROWS, NativeSettings, PathArg, fs_path
from .summary import SalvageSummary, summary_of


class _ArrowExport:
    """to_arrow / to_pandas / to_polars over ``__arrow_c_stream__``."""

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:  # pragma: no cover - overridden
        raise NotImplementedError

    def to_arrow(self) -> Any:
        """Read everything into a ``pyarrow.Table`` (imports pyarrow).

        Lighter than ``pyarrow.table(t)``, which first imports pandas (when
        installed) to ask whether ``t`` is a DataFrame: about 50 MB of
        resident memory in a fresh process.
        """
        import pyarrow as pa

        return pa.RecordBatchReader.from_stream(self).read_all()

    def to_pandas(self) -> Any:
        """Read everything into a ``pandas.DataFrame`` (through pyarrow)."""
        return self.to_arrow().to_pandas()

    def to_polars(self) -> Any:
        """Read everything into a ``polars.DataFrame`` (imports polars)."""
        import polars as pl

        return pl.DataFrame(self)


class RecordTable(_ArrowExport):
    """The quarantine or the change records of a read, as a small Arrow table.

    Columns ``line, byte_offset, reason, raw`` (quarantine) or
    ``line, byte_offset, change, detail`` (changes), with the same values the
    files written by :func:`brinewick.salvage` hold.
    """

    __slots__ = ("_reader", "_quarantine", "_rows")

    def __init__(self, reader: object, quarantine: bool, rows: int) -> None:
        self._reader = reader
        self._quarantine = quarantine
        self._rows = rows

    def __len__(self) -> int:
        return self._rows

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        # The records are known (the table exists only after a finished pass).
        return _native.read_records(self._reader, self._quarantine)

    def __repr__(self) -> str:
        return f"<brinewick.RecordTable {'quarantine' if self._quarantine else 'changes'}: {self._rows} rows>"


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _spool(path: bytes) -> str:
    """Copy a pipe or device into a temporary file, so it can be read twice."""
    with open(path, "rb") as source:
        fd, spooled = tempfile.mkstemp(prefix="brinewick-", suffix=".csv")
        try:
            with os.fdopen(fd, "wb") as target:
                shutil.copyfileobj(source, target, 1 << 20)
        except BaseException:
            _remove(spooled)
            raise
    return spooled


class SalvagedTable(_ArrowExport):
    """The salvaged rows of a CSV file, ready for any Arrow-speaking library.

    Not a copy of the data: each consumption (``pyarrow.table(t)``,
    ``polars.DataFrame(t)``, ``duckdb.sql("select * from t")``, ...) reads
    the file afresh and streams record batches of at most ``batch_rows`` rows
    while it reads, so memory stays bounded by a few batches plus whatever the
    consumer keeps. The exception is a typed read of a file that has not
    changed for a few seconds: the first pass, which ``read`` makes before
    returning, builds the batches as well (up to 256 MiB of them), and the
    first consumption takes those instead of reading the file again.

    Attributes
    ----------
    summary : SalvageSummary
        What the salvage did. Known as soon as ``read`` returns when a first
        pass was needed (types inferred, ``dtypes``, ``expected_columns=0``);
        otherwise once a consumption has reached the end, and asking for it
        before then reads the file once to find out.
    quarantine, changes : RecordTable
        The rows set aside and the changes made, known at the same moment.
    """

    def __init__(self, reader: object, name: str, spooled: Optional[str]) -> None:
        self._reader = reader
        self._name = name
        # A spooled pipe lives as long as the table; open streams keep their
        # own descriptor, so they outlive its removal.
        self._cleanup = weakref.finalize(self, _remove, spooled) if spooled is not None else None

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """A fresh Arrow C stream over the file (``requested_schema`` is not applied)."""
        return _native.read_stream(self._reader)

    def __arrow_c_schema__(self) -> object:
        """The Arrow schema every stream of this table follows."""
        return _native.read_schema(self._reader)

    def _report(self) -> _native.ReadReport:
        report = _native.read_summary(self._reader)
        if report is None:
            _native.read_scan(self._reader)
            report = _native.read_summary(self._reader)
        assert report is not None
        return report

    @property
    def summary(self) -> SalvageSummary:
        report = self._report()
        return summary_of(report, report.seconds)

    @property
    def quarantine(self) -> RecordTable:
        report = self._report()
        return RecordTable(self._reader, True, report.quarantined_rows)

    @property
    def changes(self) -> RecordTable:
        report = self._report()
        return RecordTable(self._reader, False, sum(report.changes))

    def __repr__(self) -> str:
        return f"<brinewick.SalvagedTable of {self._name!r}>"


def read(
    path: PathArg,
    *,
    header: bool = True,
    types: str = "infer",
    dtypes: Optional[Mapping[str, str]] = None,
    empty_as_null: bool = True,
    delimiter: Optional[str] = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: Optional[int] = None,
    repair_quotes: bool = True,
    jobs: Optional[int] = None,
    batch_rows: int = DEFAULT_BATCH_ROWS,
) -> SalvagedTable:
    """Salvage a damaged CSV file into Arrow data, without a Python object per field.

    The rows are classified exactly as :func:`brinewick.salvage` does (same
    options, same clean rows, quarantine and change records) and written
    straight into Arrow buffers. The returned table implements the Arrow
    PyCapsule protocol, so pyarrow, Polars, DuckDB and pandas take it as it is.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        The damaged CSV. A pipe, FIFO or device is first copied into a
        temporary file (removed with the table) so it can be read again.
    header : bool, default True
        The first clean row names the columns: a blank name becomes
        ``column_N`` (N its 1-based position), a repeated one gets ``_2``,
        ``_3``, ... False names them ``column_1`` ... ``column_N``.
    types : {"infer", "str"}, default "infer"
        "infer" makes a column int64, float64, bool, date32 or timestamp when
        every non-null value in it is in that type's one accepted format
        (plain integers within int64; decimal and scientific numbers; true/
        false; YYYY-MM-DD; ISO 8601 date-times with an optional fraction and
        zone, zoned ones stored as UTC); anything else stays a string, so no
        value is lost or changes its meaning. "str" keeps every column text.
    dtypes : mapping of str to str, optional
        Per-column type by name ("str", "int64", "float64", "bool",
        "date32", "timestamp", "timestamp[UTC]"). Forcing a type some value
        does not fit is a ValueError, raised before any batch is made.
    empty_as_null : bool, default True
        An empty field (and one the salvage padded) is null; otherwise "".
    delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes
        As for :func:`brinewick.salvage`. With ``expected_columns=0`` the
        table is as wide as the widest row and missing cells are null.
    jobs : int, optional
        Threads that parse and classify rows; by default every core this
        process may use. The table is the same for any count.
    batch_rows : int, default 65536
        The most rows in one record batch.

    Returns
    -------
    SalvagedTable

    Notes
    -----
    When the column types are inferred, ``dtypes`` are given or the width
    is not fixed, ``read`` reads the file once before returning (the schema
    must be known before the first batch); each consumption then reads it
    again and fails if the file changed in between. With ``types="str"`` and
    a fixed width the batches come from the only pass. Otherwise that first
    pass also builds the batches, as strings, and converts them to the final
    types at its end; when the file has not changed since and the batches
    stay under 256 MiB, the first consumption takes them and the file is
    read only once.

    The salvage runs on a worker thread without the interpreter lock. A
    consumer that pulls batches from the main thread (pyarrow, Polars,
    DuckDB) can be stopped with Ctrl-C: the stream fails and
    KeyboardInterrupt is raised once the consumer returns to Python.

    Examples
    --------
    >>> import brinewick, pyarrow as pa                      # doctest: +SKIP
    >>> table = pa.table(brinewick.read("export.csv"))       # doctest: +SKIP
    """
    settings = _check_read_options(header, types, dtypes, empty_as_null, delimiter, quote_char, fill_ragged_rows,
                                   merge_overflow, expected_columns, repair_quotes, jobs, batch_rows)
    return _read(path, settings)


def release_unused_memory() -> int:
    """Free the memory kept for reuse from released tables and finished runs.

    Tables made by :func:`read`, and the chunks that :func:`read` and
    :func:`salvage` parse, are built in large blocks that go back to a small
    cache (at most 128 MiB) when their last user lets them go, so the next
    call does not fault in fresh pages; a block left unused for 5 seconds is
    freed at the next call that takes or returns one. Call this after the
    last read of a long-running process to free the cache at once. Returns
    the number of bytes freed.
    """
    return _native.release_unused_memory()


def _check_read_options(header: bool = True, types: str = "infer", dtypes: Optional[Mapping[str, str]] = None,
                        empty_as_null: bool = True, delimiter: Optional[str] = None, quote_char: str = '"',
                        fill_ragged_rows: bool = True, merge_overflow: bool = True,
                        expected_columns: Optional[int] = None, repair_quotes: bool = True,
                        jobs: Optional[int] = None, batch_rows: int = DEFAULT_BATCH_ROWS) -> NativeSettings:
    """read()'s options, checked."""
    return NativeSettings.check(
        delimiter=delimiter, quote_char=quote_char, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, expected_columns=expected_columns, repair_quotes=repair_quotes,
        header=header, types=types, dtypes=dtypes, empty_as_null=empty_as_null, jobs=jobs,
        batch_rows=batch_rows,
    )


class _Capsule:
    """Hands one Arrow stream capsule to a consumer."""

    __slots__ = ("_capsule",)

    def __init__(self, capsule: object) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        capsule, self._capsule = self._capsule, None
        if capsule is None:
            raise ValueError("this part's stream was consumed already")
        return capsule


class FilePlan(NamedTuple):
    """How to read one regular file in parts: what the whole file settles
    (columns, dialect, header) and where each part starts."""

    columns: Tuple[Tuple[str, str], ...]
    delimiter: Optional[int]       # None: the file can only be read whole
    expected_columns: int
    header_offset: Optional[int]
    starts: Tuple[Tuple[int, int, bool], ...]  # (offset, line, inside a row), the first at (0, 1, False)

    def ends(self) -> List[Optional[int]]:
        return [s[0] for s in self.starts[1:]] + [None]


def _open_reader(path: PathArg, settings: NativeSettings) -> object:
    return _native.read_open(fs_path("path", path), settings)


def _plan_parts(path: str, block_size: int, **read_options: Any) -> FilePlan:
    """Reads `path` once (on every core) to find its columns and row
    boundaries about every `block_size` bytes."""
    settings = _check_read_options(**read_options)
    reader = _open_reader(path, replace(settings, chunk_size=min(settings.chunk_size, block_size)))
    plan = _native.read_plan(reader, block_size)
    starts = ((0, 1, False),) + plan.boundaries if plan.delimiter is not None else ((0, 1, False),)
    return FilePlan(plan.columns, plan.delimiter, plan.expected_columns, plan.header_offset, starts)


def _read_part(path: str, plan: FilePlan, index: int, **read_options: Any) -> Tuple[Any, Any, Any, Any]:
    """Part `index` of `plan`: pyarrow tables of its rows, quarantine and
    changes, and its summary. Rows, line numbers and types are those of
    reading the whole file."""
    import pyarrow as pa

    if len(plan.starts) == 1:  # one part: the file read whole
        table = read(path, **read_options)
        return pa.table(table), pa.table(table.quarantine), pa.table(table.changes), table.summary
    reader = _open_reader(path, _check_read_options(**read_options))
    offset, line, in_row = plan.starts[index]
    assert plan.delimiter is not None  # set whenever the plan has several parts
    span = _native.read_span(
        reader, plan.columns, plan.delimiter, plan.expected_columns, plan.header_offset, offset, line, in_row,
        plan.ends()[index])
    return (pa.table(_Capsule(span.data)), pa.table(_Capsule(span.quarantine)), pa.table(_Capsule(span.changes)),
            summary_of(span.report, span.report.seconds))


def _read(path: PathArg, settings: NativeSettings) -> SalvagedTable:
    encoded = fs_path("path", path)
    shown = os.fspath(path)  # type: ignore[call-overload]
    mode = os.stat(shown).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(21, "Is a directory", shown)
    spooled = None if stat.S_ISREG(mode) else _spool(encoded)
    try:
        reader = _open_reader(encoded if spooled is None else spooled, settings)
        table = SalvagedTable(reader, os.fsdecode(shown), spooled)
    except BaseException:
        if spooled is not None:
            _remove(spooled)
        raise
    if _needs_scan(settings):
        _native.read_scan(reader)
    return table


def _needs_scan(settings: NativeSettings) -> bool:
    return settings.infer or bool(settings.dtypes) or settings.expected_columns == 0
