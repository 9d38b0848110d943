"""brinewick.read: salvaged rows as Arrow data, for pyarrow, Polars, DuckDB and pandas.

No data library is imported here: the tables speak the Arrow PyCapsule
protocol (``__arrow_c_stream__``), which every one of them understands, and
``to_arrow`` / ``to_pandas`` / ``to_polars`` import theirs only when called.
"""
from __future__ import annotations

import bisect
import contextlib
import errno
import os
import stat
import tempfile
import weakref
from dataclasses import replace
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import _native, _remote
from ._options import DEFAULT_BATCH_ROWS, NativeSettings, PathArg, check_int, fs_path
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

    Columns :data:`brinewick.QUARANTINE_COLUMNS` or
    :data:`brinewick.CHANGES_COLUMNS`, with the same values the files written
    by :func:`brinewick.salvage` hold: ``line``, ``byte_offset``,
    ``expected`` and ``found`` int64 (the last two null where the row was
    not measured against a width), ``column`` null but for a change to one
    column (a ``type_error``).
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


#: The most bytes of a pipe or device a typed read copies aside: 1 GiB.
DEFAULT_SPOOL_LIMIT = 1 << 30


class _Spool:
    """A temporary copy of a pipe or device, so that it can be read twice.

    Where /proc/self/fd exists the file is unlinked as soon as it is made
    and the reader opens it through its descriptor: nothing stays behind,
    even after SIGKILL. Elsewhere it keeps its name until closed.
    """

    def __init__(self, source: Union[bytes, Callable[[], Any]], shown: str, limit: Optional[int]) -> None:
        fd, name = tempfile.mkstemp(prefix="brinewick-", suffix=".csv")
        self.fd: Optional[int] = fd
        self.name: Optional[str] = name
        self.path = name
        try:
            if os.path.isdir("/proc/self/fd"):
                _remove(name)
                self.name = None
                self.path = f"/proc/self/fd/{fd}"
            self._fill(source, shown, limit)
        except BaseException:
            self.close()
            raise

    def _fill(self, source: Union[bytes, Callable[[], Any]], shown: str, limit: Optional[int]) -> None:
        assert self.fd is not None
        total = 0
        # A path, or an opener of a remote object's reader.
        f = open(source, "rb", buffering=0) if isinstance(source, bytes) else source()
        with contextlib.closing(f):
            buffer = bytearray(1 << 20)
            while n := f.readinto(buffer):
                chunk = buffer[:n]
                total += len(chunk)
                if limit is not None and total > limit:
                    raise OSError(errno.EFBIG, f"the stream is longer than spool_limit ({limit} bytes), "
                                               "the most a typed read copies aside", shown)
                view = memoryview(chunk)
                while view:
                    view = view[os.write(self.fd, view):]

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        if self.name is not None:
            _remove(self.name)
            self.name = None


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

    def __init__(self, reader: object, name: str, spool: Optional[_Spool],
                 one_pass: Optional[Tuple[bytes, NativeSettings, Optional[int]]] = None) -> None:
        self._reader = reader
        self._name = name
        self._cleanup: Optional[Any] = None  # a weakref.finalize
        self._keep(spool)
        # A stream read without a copy (its path, settings and spool limit):
        # its rows go to the first consumer only.
        self._one_pass = one_pass
        self._taken = False

    def _keep(self, spool: Optional[_Spool]) -> None:
        # A spooled stream lives as long as the table; open streams keep
        # their own descriptor, so they outlive its closing.
        if spool is not None:
            self._cleanup = weakref.finalize(self, spool.close)

    def _copy_aside(self, what: str) -> None:
        """Before its one stream is taken, a stream read in one pass can
        still be spooled, for a consumer that asks for `what` first."""
        if self._one_pass is None:
            return
        if self._taken:
            raise ValueError(
                f"{self._name!r} is a stream that a types='str' read takes in one pass, and its first "
                f"consumer has it: {what} would need it again (a typed read copies a stream aside)")
        source, settings, limit = self._one_pass
        spool = _Spool(source, self._name, limit)
        try:
            self._reader = _open_reader(spool.path, settings)
        except BaseException:
            spool.close()
            raise
        self._keep(spool)
        self._one_pass = None

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """A fresh Arrow C stream over the file (``requested_schema`` is not applied)."""
        if self._taken:
            self._copy_aside("another stream")
        self._taken = True
        return _native.read_stream(self._reader)

    def __arrow_c_schema__(self) -> object:
        """The Arrow schema every stream of this table follows."""
        # Reading a one-pass stream as far as the header would take those rows from its stream.
        self._copy_aside("its schema")
        return _native.read_schema(self._reader)

    def _report(self) -> _native.ReadReport:
        report = _native.read_summary(self._reader)
        if report is None:
            self._copy_aside("its summary")
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
    spool_limit: Optional[int] = DEFAULT_SPOOL_LIMIT,
    repair: str = "columns",
    blank_lines: str = "skip",
    storage_options: Optional[Dict[str, Any]] = None,
    encoding: str = "auto",
    fallback_encoding: Optional[str] = "cp1252",
    type_errors: str = "text",
    decimal: Optional[str] = None,
    thousands: Optional[str] = None,
    null_values: Optional[Iterable[str]] = None,
    header_row: Optional[int] = None,
    skip_rows: int = 0,
    comment: Optional[str] = None,
    repeated_headers: str = "skip",
) -> SalvagedTable:
    """Salvage a damaged CSV file into Arrow data, without a Python object per field.

    The rows are classified exactly as :func:`brinewick.salvage` does (same
    options, same clean rows, quarantine and change records) and written
    straight into Arrow buffers. The returned table implements the Arrow
    PyCapsule protocol, so pyarrow, Polars, DuckDB and pandas take it as it is.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        The damaged CSV. A pipe, FIFO or device is read as it comes when
        ``types="str"`` and the width is fixed: the table then gives one
        stream, and its summary once that stream is read to the end.
        Otherwise it is first copied into a temporary file, which can be
        read again; the copy has no name (on Linux) and is gone with the
        table, or when the process ends however it ends. A URL (``s3://``,
        ``gs://``, ``https://``, ``memory://`` ...) is read through fsspec
        in ranges fetched ahead in parallel, each consumption afresh.
    header : bool, default True
        The first clean row names the columns: a blank name becomes
        ``column_N`` (N its 1-based position), a repeated one gets ``_2``,
        ``_3``, ... False names them ``column_1`` ... ``column_N``.
    types : {"infer", "str"}, default "infer"
        "infer" makes a column int64, float64, bool, date32 or timestamp when
        every non-null value in it is in that type's one accepted format
        (plain integers within int64; decimal and scientific numbers; true/
        false; YYYY-MM-DD; ISO 8601 date-times with optional seconds,
        fraction and zone, zoned ones stored as UTC); anything else stays a
        string, so no value is lost or changes its meaning. "str" keeps
        every column text. A column whose numbers all read with a decimal
        comma (``3,50``, ``1.234,56``, as a German or French export writes
        them) is float64 when neither int64 nor float64 fits it: decided
        per column, so ``1.000`` beside ``3,50`` is one thousand, and alone
        is 1.0 (as pandas and Polars read it). Commas between groups of
        three digits (``"1,234,567"``, ``"1,234.56"`` beside ``-1241.45``,
        as US bank exports write them) make an int64 or float64 column when
        a value of the column shows them to group (two of them, or a
        decimal point after); ``"1,234"`` alone stays a decimal comma
        unless ``decimal="."``. Dates written DD/MM/YYYY,
        MM/DD/YYYY or DD.MM.YYYY are date32 when the column settles which
        part is the day (a part above 12 somewhere); a column that reads
        either way stays text, and ``dtypes={"d": "date32[%d/%m/%Y]"}``
        (or ``"date32[%m/%d/%Y]"``) decides it. Numbers written with more digits than a double
        holds (``5.118216247002567165e-01``, ``0.10000000000000001``) are
        read as the correctly rounded double; an integer past int64 keeps
        the column text rather than become an inexact float. ``-0`` is the
        integer 0. A leading zero (``01234``, an identifier), a ``+`` sign
        (``+44``), a space around the number (`` 5``), ``NaN``/``inf``
        and words such as ``NA`` or ``null`` keep the column text: each is
        written as often for a code or a word as for a number or a null
        (``null_values`` names the ones a file writes for a null).
    decimal : {None, ".", ","}, default None
        None decides per column (see ``types``). "," reads every number
        column with a decimal comma and dots between thousands: ``1.000``
        is one thousand and ``1.5`` stays text. "." never reads a decimal
        comma (``3,50`` stays text).
    thousands : {None, ",", ".", " ", "'"}, default None
        The mark written between groups of three digits: with it
        ``1,234,567`` (or ``1 234 567``, ``1.234,56`` with ``decimal=","``)
        reads as a number, the column int64 when every value is a whole
        number. A number with a misplaced mark (``1,23``) is not one, and
        keeps the column text. The mark is then no decimal mark: "," rules
        out the decimal comma, "." the decimal point; equal to ``decimal``
        is a ValueError. None keeps the inference described under ``types``.
    null_values : sequence of str, default ()
        Cell texts read as null, besides the empty cell (``empty_as_null``
        decides that one): ``null_values=["NA", "N/A", "null"]`` makes a
        column of ``1, NA, 3`` int64 with a null, and a text column's ``NA``
        null too. By default no text is null, since ``NA`` is as often a
        code (Namibia, "not applicable" as an answer) as a null; pandas
        reads ``NA``, ``N/A``, ``null``, ``NaN`` and 14 more texts as null
        unless told otherwise.
    type_errors : {"text", "null"}, default "text"
        What a value its column's type cannot hold does. "text": the column
        stays text, so nothing changes its meaning. "null": the column takes
        the type that the most values fit, when at least 99% of its non-null
        values do (int64 with a few ``n/a`` among 1000 numbers); each other
        value becomes null and is recorded as a ``type_error`` change with
        its line, the column's name and the raw value, so nothing is lost.
        Finding them costs a second pass over the file, made only when there
        are some.
    dtypes : mapping of str to str, optional
        Per-column type by name ("str", "int64", "float64", "bool",
        "date32", "timestamp", "timestamp[UTC]", "float64[decimal_comma]",
        "int64[thousands_comma]", "float64[thousands_comma]", "date32[%d/%m/%Y]", "date32[%m/%d/%Y]", "date32[%d.%m.%Y]",
        "timestamp[%d/%m/%Y]", "timestamp[%m/%d/%Y]", "timestamp[%d.%m.%Y]").
        Forcing a type some value
        does not fit is a ValueError, raised before any batch is made.
    empty_as_null : bool, default True
        An empty field (and one the salvage padded) is null; otherwise "".
    header_row, skip_rows, comment, repeated_headers
        Where the table starts, as for :func:`brinewick.salvage`. With
        ``header=False`` no header is looked for and none is repeated:
        only ``skip_rows``, ``header_row`` (the first data row's line) and
        ``comment`` apply.
    delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes, repair, blank_lines
        As for :func:`brinewick.salvage`. With ``expected_columns=0`` the
        table is as wide as the widest row and missing cells are null.
    jobs : int, optional
        Threads that parse and classify rows; by default every core this
        process may use. The table is the same for any count.
    batch_rows : int, default 65536
        The most rows in one record batch.
    spool_limit : int or None, default 1 GiB
        The most bytes of a pipe or device copied aside; a longer stream
        raises OSError (EFBIG) naming it, and the copy is removed. None
        copies without a limit.
    storage_options : dict, optional
        Passed to fsspec when `path` is a URL (credentials, endpoint, ...).
    encoding, fallback_encoding : str
        How the bytes are decoded, as :func:`brinewick.salvage` does. A file
        that is decoded (not read as UTF-8) is read as one part.

    Returns
    -------
    SalvagedTable

    Notes
    -----
    When the column types are inferred, ``dtypes`` are given or the width
    is not fixed, ``read`` reads the file once before returning (the schema
    must be known before the first batch); each consumption then reads it
    again and fails if the file changed in between, or changes while it is
    read (its size, modification or change time, or the file the path
    names: a rewrite that restores the modification time is caught too). With ``types="str"`` and
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
                                   merge_overflow, expected_columns, repair_quotes, jobs, batch_rows, spool_limit,
                                   repair, encoding, fallback_encoding, blank_lines, type_errors, decimal,
                                   thousands, null_values, header_row=header_row, skip_rows=skip_rows,
                                   comment=comment, repeated_headers=repeated_headers)
    return _read(path, settings, spool_limit, storage_options)


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
                        jobs: Optional[int] = None, batch_rows: int = DEFAULT_BATCH_ROWS,
                        spool_limit: Optional[int] = DEFAULT_SPOOL_LIMIT,
                        repair: str = "columns", encoding: str = "auto",
                        fallback_encoding: Optional[str] = "cp1252", blank_lines: str = "skip",
                        type_errors: str = "text", decimal: Optional[str] = None,
                        thousands: Optional[str] = None,
                        null_values: Optional[Iterable[str]] = None,
                        header_row: Optional[int] = None, skip_rows: int = 0, comment: Optional[str] = None,
                        repeated_headers: str = "skip") -> NativeSettings:
    """read()'s options, checked (spool_limit is read's own, not the native reader's)."""
    limit = check_int("spool_limit", spool_limit, none_allowed=True)
    if limit is not None and limit < 0:
        raise ValueError(f"spool_limit must be None or >= 0, not {limit}")
    return NativeSettings.check(
        delimiter=delimiter, quote_char=quote_char, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, expected_columns=expected_columns, repair_quotes=repair_quotes,
        repair=repair, blank_lines=blank_lines, header=header, types=types, dtypes=dtypes,
        empty_as_null=empty_as_null, jobs=jobs, batch_rows=batch_rows, encoding=encoding,
        fallback_encoding=fallback_encoding, type_errors=type_errors, decimal=decimal,
        thousands=thousands, null_values=null_values, header_row=header_row,
        skip_rows=skip_rows, comment=comment, repeated_headers=repeated_headers,
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
    table_offset: int = 0  # rows that start before it are preamble
    header_text: bytes = b""  # a later row with this text is a repeated header
    preamble_keys: bytes = b""  # what later rows repeating the preamble start with, one per line
    identity: Optional[Tuple[Any, ...]] = None  # an object's ETag (or time) and size, as the plan read it
    head: bytes = b""  # an object's first range as the plan read it: what each part looks at first
    # The whole file's quarantine and change records as pyarrow tables, when
    # the plan was asked for them and they are small.
    records: Optional[Tuple[Any, Any]] = None

    def ends(self) -> List[Optional[int]]:
        return [s[0] for s in self.starts[1:]] + [None]


def _open_reader(path: PathArg, settings: NativeSettings) -> object:
    return _open_reader_of(path, settings)[0]


def _open_reader_of(path: PathArg, settings: NativeSettings, storage_options: Optional[Dict[str, Any]] = None,
                    plan: Optional[FilePlan] = None, until: Optional[int] = None,
                    remote: Optional[_remote.RemoteInput] = None) -> Tuple[object, Optional[_remote.RemoteInput]]:
    """A reader, and for an object its remote input (which must be the
    object `plan` read, when given: a part must read what its plan read).
    `until`: where a part's reading stops, give or take a row (an object is
    fetched no further ahead). `remote`: the object's input, when already
    looked up."""
    url = _remote.url_of(path)
    if url is not None:
        source = remote or _remote.RemoteInput(url, _remote.check_storage_options(storage_options))
        # A part reads to its end, the last one to the object's.
        source.until = until if until is not None or plan is None else source.size
        if plan is not None:
            source.check_unchanged(plan.identity)
            source.head = plan.head or None
        return _native.read_open(url.encode(), replace(settings, source=source.open)), source
    return _native.read_open(fs_path("path", _remote.local_of(path)), settings), None


def _nearest(boundaries: Tuple[Tuple[int, int, bool], ...], targets: List[int]) -> Tuple[Tuple[int, int, bool], ...]:
    """For each offset of `targets` (ascending), the boundary nearest it,
    each boundary at most once and in order."""
    offsets = [b[0] for b in boundaries]
    chosen: List[int] = []
    for target in targets:
        i = bisect.bisect_left(offsets, target)
        if i > 0 and (i == len(offsets) or target - offsets[i - 1] <= offsets[i] - target):
            i -= 1
        if i < len(offsets) and (not chosen or i > chosen[-1]):
            chosen.append(i)
    return tuple(boundaries[i] for i in chosen)


def records_within(quarantine: object, changes: object, limit: int) -> Optional[Tuple[Any, Any]]:
    """The quarantine and the changes (Arrow streams) as pyarrow tables,
    when they take at most `limit` bytes together; else None."""
    import pyarrow as pa

    found = (pa.table(quarantine), pa.table(changes))
    return found if found[0].nbytes + found[1].nbytes <= limit else None


def _plan_parts(path: str, block_size: int, storage_options: Optional[Dict[str, Any]] = None,
                records_limit: int = 0, **read_options: Any) -> FilePlan:
    """Reads `path` once (on every core) to find its columns and the row
    boundaries that cut it into parts of one size, about `block_size` bytes
    at most (about every `block_size` bytes when its size is unknown); with
    its records too when they take at most `records_limit` bytes."""
    settings = _check_read_options(**read_options)
    url = _remote.url_of(path)
    remote = _remote.RemoteInput(url, _remote.check_storage_options(storage_options)) if url is not None else None
    if remote is not None:
        size = remote.size
    else:
        info = os.stat(fs_path("path", _remote.local_of(path)))
        size = info.st_size if stat.S_ISREG(info.st_mode) else None
    # Parts of one size rather than full ones and a remnant, which would
    # leave a worker idle for a round of its own: the pass notes a boundary
    # about every 64th of a part (an eighth for parts under 512 KiB, whose
    # chunks would be tiny), and the one nearest each even cut is kept.
    targets: Optional[List[int]] = None
    step = block_size
    if size is not None:
        parts = max(-(-size // block_size), 1)
        targets = [k * size // parts for k in range(1, parts)]
        if parts > 1:
            step = max(size // parts // 64, min(1 << 16, size // parts // 8), 1)
    reader, source = _open_reader_of(path, replace(settings, chunk_size=min(settings.chunk_size, step)),
                                     storage_options, remote=remote)
    plan = _native.read_plan(reader, step)
    boundaries = plan.boundaries if targets is None else _nearest(plan.boundaries, targets)
    starts = ((0, 1, False),) + boundaries if plan.delimiter is not None else ((0, 1, False),)
    head = (source.head or b"") if source is not None and len(starts) > 1 else b""
    records = None
    if records_limit > 0:
        records = records_within(_Capsule(_native.read_records(reader, True)),
                                 _Capsule(_native.read_records(reader, False)), records_limit)
    return FilePlan(plan.columns, plan.delimiter, plan.expected_columns, plan.header_offset, starts,
                    plan.table_offset, plan.header_text, plan.preamble_keys,
                    source.identity if source is not None else None, head, records)


def _read_part(path: str, plan: FilePlan, index: int, storage_options: Optional[Dict[str, Any]] = None,
               **read_options: Any) -> Tuple[Any, Any, Any, Any]:
    """Part `index` of `plan`: pyarrow tables of its rows, quarantine and
    changes, and its summary. Rows, line numbers and types are those of
    reading the whole file."""
    import pyarrow as pa

    if len(plan.starts) == 1:  # one part: the file read whole
        table = read(path, storage_options=storage_options, **read_options)
        return pa.table(table), pa.table(table.quarantine), pa.table(table.changes), table.summary
    reader, _ = _open_reader_of(path, _check_read_options(**read_options), storage_options, plan, plan.ends()[index])
    offset, line, in_row = plan.starts[index]
    assert plan.delimiter is not None  # set whenever the plan has several parts
    span = _native.read_span(
        reader, plan.columns, plan.delimiter, plan.expected_columns, plan.header_offset, offset, line, in_row,
        plan.ends()[index], plan.table_offset, plan.header_text, plan.preamble_keys)
    return (pa.table(_Capsule(span.data)), pa.table(_Capsule(span.quarantine)), pa.table(_Capsule(span.changes)),
            summary_of(span.report, span.report.seconds))


def _read(path: PathArg, settings: NativeSettings, spool_limit: Optional[int] = DEFAULT_SPOOL_LIMIT,
          storage_options: Optional[Dict[str, Any]] = None) -> SalvagedTable:
    options = _remote.check_storage_options(storage_options)
    path = _remote.local_of(path)
    url = _remote.url_of(path)
    if url is not None:
        return _read_remote(url, settings, spool_limit, options)
    encoded = fs_path("path", path)
    given = os.fspath(path)
    shown = os.fsdecode(given)
    mode = os.stat(given).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(21, "Is a directory", given)
    one_pass = not stat.S_ISREG(mode) and not _needs_scan(settings)
    spool = None if stat.S_ISREG(mode) or one_pass else _Spool(encoded, shown, spool_limit)
    return _table(lambda: _open_reader(encoded if spool is None else spool.path, settings), shown, spool, settings,
                  (encoded, settings, spool_limit) if one_pass else None)


def _read_remote(url: str, settings: NativeSettings, spool_limit: Optional[int],
                 storage_options: Dict[str, Any]) -> SalvagedTable:
    """An object read in ranges for each pass; one of unknown size (an HTTP
    answer without a length) is copied aside first, as a pipe is."""
    source = _remote.RemoteInput(url, storage_options)
    if source.size is None:
        spool = _Spool(source.open, url, spool_limit)
        return _table(lambda: _open_reader(spool.path, settings), url, spool, settings)
    return _table(lambda: _native.read_open(url.encode(), replace(settings, source=source.open)), url, None, settings)


def _table(open_reader: Callable[[], object], shown: str, spool: Optional[_Spool], settings: NativeSettings,
           one_pass: Optional[Tuple[bytes, NativeSettings, Optional[int]]] = None) -> SalvagedTable:
    """The table over the reader `open_reader` gives, its first pass made
    when the schema needs one; the spool is closed if that fails."""
    try:
        reader = open_reader()
        table = SalvagedTable(reader, shown, spool, one_pass)
    except BaseException:
        if spool is not None:
            spool.close()
        raise
    if _needs_scan(settings):
        _native.read_scan(reader)
    return table


def _needs_scan(settings: NativeSettings) -> bool:
    return settings.infer or bool(settings.dtypes) or settings.expected_columns == 0
