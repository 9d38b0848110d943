"""Salvage many files on a Dask cluster, into files or into Dask DataFrames.

Every function here runs its work as Dask tasks, so it uses whatever
scheduler is current: a `dask.distributed.Client` when one is active (on a
laptop or against a remote scheduler address), the local threads otherwise.
Workers must see local input paths and `output_dir` under the same names (a
shared file system); URLs (``s3://bucket/exports/*.csv``, with
``storage_options`` for fsspec) need no shared folder at all.

Dask is not a dependency of brinewick: this module imports it when it is
imported itself.
"""

from __future__ import annotations

import glob
import os
import posixpath
import stat
from typing import Any, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

try:
    import dask
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("brinewick.dask needs Dask: pip install 'dask[dataframe]' distributed") from error

from . import _remote
from ._options import refuse_shared_targets

PathLike = Union[str, "os.PathLike[str]"]


def expand_paths(paths_or_glob: Union[PathLike, Iterable[PathLike]],
                 storage_options: Optional[Mapping[str, Any]] = None) -> list[str]:
    """A glob pattern, a path, or a list of either, as a sorted list of paths.

    A URL pattern (``s3://bucket/*.csv``) is matched through fsspec and
    gives URLs. A pattern that matches nothing raises FileNotFoundError
    rather than quietly doing no work.
    """
    items = [paths_or_glob] if isinstance(paths_or_glob, (str, os.PathLike)) else list(paths_or_glob)
    out: list[str] = []
    for item in items:
        name = _remote.local_of(os.fspath(item))
        if not isinstance(name, str):
            raise TypeError(f"paths must be str or os.PathLike[str], not {type(name).__name__}")
        url = _remote.url_of(name)
        if url is not None and glob.has_magic(url.split("://", 1)[1]):
            with _remote.naming(url):
                fs, pattern = _remote.filesystem(url, storage_options)
                matches = sorted(fs.unstrip_protocol(m) for m in fs.glob(pattern) if not fs.isdir(m))
            if not matches:
                raise FileNotFoundError(2, "No object matches the pattern", url)
            out.extend(matches)
        elif url is None and glob.has_magic(name):
            matches = sorted(glob.glob(name))
            if not matches:
                raise FileNotFoundError(2, "No file matches the pattern", name)
            out.extend(matches)
        else:
            out.append(name)
    if not out:
        raise ValueError("no input paths given")
    return out


def _absolute(path: str) -> str:
    """Local paths made absolute (workers may run elsewhere); URLs as they are."""
    return path if _remote.url_of(path) else os.path.abspath(path)


def _stem(path: str) -> str:
    base = posixpath.basename(path.rstrip("/")) if _remote.url_of(path) else os.path.basename(path)
    stem, ext = os.path.splitext(base)
    return stem if ext else base


def _threads_by_host(tasks: int) -> Optional[dict[str, int]]:
    """The worker threads on each host of the active client's cluster, when
    `tasks` tasks are enough to keep every one of them busy; None otherwise
    (no client, or too few tasks: each task then uses all of its machine's
    cores)."""
    try:
        from distributed import get_client
        from distributed.comm import get_address_host

        client = get_client()
    except (ImportError, ValueError):  # no distributed, or no client
        return None
    threads: dict[str, int] = {}
    for address, info in client.scheduler_info().get("workers", {}).items():
        host = get_address_host(address)
        threads[host] = threads.get(host, 0) + int(info.get("nthreads", 1))
    return threads if threads and tasks >= sum(threads.values()) else None


def _with_jobs(options: dict[str, Any], threads_by_host: Optional[dict[str, int]]) -> dict[str, Any]:
    """`options` with the threads a task may use where it runs: its share of
    the host's cores, since the host's other worker threads run such tasks
    at the same time (all cores for each would only make them take turns)."""
    if threads_by_host is None:
        return options
    try:
        from distributed import get_worker
        from distributed.comm import get_address_host

        host = get_address_host(get_worker().address)
    except (ImportError, ValueError):  # not on a worker
        return options
    threads = threads_by_host.get(host)
    if not threads:
        return options
    return dict(options, jobs=max(1, len(os.sched_getaffinity(0)) // threads))


def _salvage_one(source: str, output: str, quarantine: Optional[str], changes: Optional[str],
                 options: dict[str, Any], threads_by_host: Optional[dict[str, int]] = None) -> Any:
    from . import salvage

    return salvage(source, output, quarantine=quarantine, changes=changes, **_with_jobs(options, threads_by_host))


def salvage(
    paths_or_glob: Union[PathLike, Iterable[PathLike]],
    output_dir: PathLike,
    *,
    quarantine: bool = True,
    changes: bool = True,
    **options: Any,
) -> list[Any]:
    """Salvage every file on the Dask workers into `output_dir`.

    Parameters
    ----------
    paths_or_glob
        A path, a glob pattern such as ``"exports/*.csv"``, or a list of them.
    output_dir
        Folder for the outputs: ``NAME.csv`` (the clean CSV),
        ``NAME.quarantine.csv`` and ``NAME.changes.csv`` for an input
        ``NAME.csv``. Created if missing. May be a URL (``s3://bucket/out``).
    quarantine, changes
        Whether to write the quarantine and the change records.
    **options
        The options of :func:`brinewick.salvage` (delimiter, quote_char,
        fill_ragged_rows, merge_overflow, expected_columns, repair_quotes, repair,
        durable, storage_options, encoding, fallback_encoding).

    Returns
    -------
    list of brinewick.SalvageSummary
        One summary per input, in input order.
    """
    if "progress" in options:
        raise TypeError("progress cannot be followed across a cluster; watch the Dask dashboard")
    storage_options = options.get("storage_options")
    # Workers may run elsewhere: absolute names mean the same file there.
    sources = [_absolute(s) for s in expand_paths(paths_or_glob, storage_options)]
    stems = [_stem(s) for s in sources]
    if len(set(stems)) != len(stems):
        clash = sorted({s for s in stems if stems.count(s) > 1})
        raise ValueError(f"inputs with the same name would overwrite each other's outputs: {clash}")
    folder = _absolute(_remote.local_of(os.fspath(output_dir)))
    join = posixpath.join if _remote.url_of(folder) else os.path.join
    plan = []
    for source, stem in zip(sources, stems):
        base = join(folder, stem)
        plan.append((source, stem, base + ".csv", base + ".quarantine.csv" if quarantine else None,
                     base + ".changes.csv" if changes else None))
    # No task may write what another writes or reads ("a.csv" beside
    # "a.quarantine.csv", or the output folder being the inputs' own).
    refuse_shared_targets(((path, source) for source, _, *outputs in plan for path in outputs if path is not None),
                          sources)
    if _remote.url_of(folder):
        with _remote.naming(folder):
            fs, path = _remote.filesystem(folder, storage_options)
            fs.makedirs(path, exist_ok=True)
    else:
        os.makedirs(folder, exist_ok=True)
    threads = _threads_by_host(len(plan))
    tasks = [
        dask.delayed(_salvage_one, pure=False)(
            source, clean, quarantine_path, changes_path, options, threads,
            dask_key_name=f"brinewick-salvage-{stem}-{abs(hash(source)):x}",
        )
        for source, stem, clean, quarantine_path, changes_path in plan
    ]
    return list(dask.compute(*tasks))


class _Frames(NamedTuple):
    data: Any        # dask.dataframe.DataFrame of the clean rows
    quarantine: Any  # file, then QUARANTINE_COLUMNS
    changes: Any     # file, then CHANGES_COLUMNS


class SalvagedFrames(_Frames):
    """What :func:`read` gives: the salvaged rows and the records beside them.

    ``drift`` lists, one dict per file that differs from the combined
    columns, what it lacks (``missing``, filled with nulls), what it adds to
    the first file's columns (``extra``), and the columns whose type it does
    not share (``types``: name -> its own type); empty when every file agrees.
    """

    drift: List[dict[str, Any]]


# Dates as datetime64, not objects: Dask would take a column of objects for
# strings and turn the dates into text.
_PANDAS = {"date_as_object": False}


def _records_frame(table: Any) -> Any:
    """A record table as pandas. The counts keep their missing values as
    <NA> in Int64: in float64 a count would turn into a float."""
    import pandas as pd
    import pyarrow as pa

    frame = table.to_pandas()
    for name in ("expected", "found"):
        frame[name] = table.column(name).to_pandas(types_mapper={pa.int64(): pd.Int64Dtype()}.get)
    return frame


def _with_file(table: Any, source: str) -> Any:
    frame = _records_frame(table)
    frame.insert(0, "file", source)
    return frame


def _conform(table: Any, schema: Any) -> Any:
    """`table` with the columns of `schema`, by name, as pandas: a column it
    lacks is all nulls, one of another type is cast (only ever to a wider
    type, or to text, which every value has)."""
    import pyarrow as pa

    if schema is not None and not table.schema.equals(schema):
        columns = []
        for field in schema:
            if field.name in table.column_names:
                column = table.column(field.name)
                columns.append(column if column.type == field.type else column.cast(field.type))
            else:
                columns.append(pa.nulls(table.num_rows, field.type))
        table = pa.Table.from_arrays(columns, schema=schema)
    return _to_pandas(table)


def _to_pandas(table: Any) -> Any:
    """`table` as pandas, with the system's allocator rather than pyarrow's
    own pool, also for the cast to the large strings pandas' string dtype
    holds (done here, before pandas would do it in the pool). On a Dask
    worker the pool's fresh memory made a part's conversion take 0.1-0.5 s
    instead of 0.02 s, in half the reads of a 480 MB file."""
    import pyarrow as pa
    import pyarrow.compute as pc

    pool = pa.system_memory_pool()
    if any(t == pa.string() for t in table.schema.types):
        columns = [pc.cast(c, pa.large_string(), memory_pool=pool) if c.type == pa.string() else c
                   for c in table.columns]
        table = pa.Table.from_arrays(columns, names=table.column_names)
    return table.to_pandas(memory_pool=pool, **_PANDAS)


# One partition: a file read whole (no plan) or part `index` of its plan,
# and the columns to conform its rows to (None: its own are the frame's).
_Unit = Tuple[str, Any, int, Any]


def _read_unit(unit: _Unit, options: dict[str, Any],
               threads_by_host: Optional[dict[str, int]]) -> tuple[Any, Any, Any]:
    """A partition's rows, quarantine and changes as pyarrow tables, with the
    rows and line numbers of reading its file whole."""
    import pyarrow as pa

    from . import read
    from ._read import _read_part as read_part

    source, plan, index, _ = unit
    options = _with_jobs(options, threads_by_host)
    if plan is None:
        table = read(source, **options)
        return pa.table(table), pa.table(table.quarantine), pa.table(table.changes)
    data, quarantine, changes, _ = read_part(source, plan, index, **options)
    return data, quarantine, changes


def _data_of(unit: _Unit, options: dict[str, Any], threads_by_host: Optional[dict[str, int]]) -> Any:
    """A partition's rows as pandas (from_map's function: one task that
    Dask fuses with what is done to the partition next, so that the rows are
    never moved to another worker just to be counted or filtered)."""
    return _conform(_read_unit(unit, options, threads_by_host)[0], unit[3])


def _records_of(unit: _Unit, options: dict[str, Any],
                threads_by_host: Optional[dict[str, int]]) -> tuple[Any, Any]:
    """A partition's quarantine and changes, read again (for a file whose
    records were too many to carry in the graph)."""
    _, quarantine, changes = _read_unit(unit, options, threads_by_host)
    return _with_file(quarantine, unit[0]), _with_file(changes, unit[0])


def _records_in(frame: Any, unit: _Unit) -> Any:
    """The rows of a file's record frame that belong to `unit`: those of
    rows that start in its byte range."""
    plan, index = unit[1], unit[2]
    if plan is None:
        return frame
    end = plan.ends()[index]
    offsets = frame["byte_offset"]
    inside = offsets >= plan.starts[index][0]
    if end is not None:
        inside &= offsets < end
    return frame[inside].reset_index(drop=True)


def _records_limit(files: int) -> int:
    """The bytes of records a file's first read hands over with its columns,
    at most: 4 MiB, and 64 MiB over all the files. Beyond, each partition
    reads its own again rather than the client and the graph carry them."""
    return min(4 << 20, (64 << 20) // max(files, 1))


def _columns_of(source: str, options: dict[str, Any], records_limit: int) -> Tuple[List[Tuple[str, str]], Any]:
    """The columns a read of `source` gives, with their Arrow types' names,
    and its quarantine and changes as pyarrow tables when they take at most
    `records_limit` bytes (else None)."""
    import pyarrow as pa

    from . import read
    from ._read import records_within

    table = read(source, **options)
    return [(f.name, str(f.type)) for f in pa.schema(table)], records_within(table.quarantine, table.changes,
                                                                             records_limit)


def _arrow_type(name: str) -> Any:
    """The Arrow type a read names `name` (either a plan's name or str(type))."""
    import pyarrow as pa

    if name.startswith("date32"):  # any written form of a date
        return pa.date32()
    if name.startswith("timestamp"):
        return pa.timestamp("us", tz="UTC" if "UTC" in name else None)
    # Large strings are how a file of unknown size (a compressed one) holds
    # its text: the same type to the frame, not a difference between files.
    return {"str": pa.string(), "string": pa.string(), "int64": pa.int64(), "double": pa.float64(),
            "float64": pa.float64(), "float64[decimal_comma]": pa.float64(), "float64[thousands_comma]": pa.float64(),
            "int64[thousands_comma]": pa.int64(), "bool": pa.bool_(), "date32": pa.date32(), "date32[day]": pa.date32(),
            "large_string": pa.string()}[name]


def _combine(sources: Sequence[str], schemas: Sequence[List[Tuple[str, Any]]]) -> Tuple[Any, List[dict[str, Any]]]:
    """The columns of every file by name, in the order first seen, each of
    the type all files share (int64 with float64 gives float64; any other
    disagreement, text); and what each file lacks, adds to the first file's
    columns or types otherwise.
    Files without a column (empty ones) take no part."""
    import pyarrow as pa

    order: dict[str, List[Any]] = {}
    for schema in schemas:
        for name, arrow_type in schema:
            order.setdefault(name, []).append(arrow_type)
    fields = []
    for name, types in order.items():
        distinct = set(types)
        if len(distinct) == 1:
            chosen = types[0]
        elif distinct <= {pa.int64(), pa.float64()}:
            chosen = pa.float64()
        else:
            chosen = pa.string()
        fields.append(pa.field(name, chosen))
    combined = pa.schema(fields)
    drift = []
    names = [f.name for f in fields]
    first = dict(next((s for s in schemas if s), []))
    for source, schema in zip(sources, schemas):
        if not schema:
            continue
        own = dict(schema)
        entry: dict[str, Any] = {"file": source}
        missing = [n for n in names if n not in own]
        if missing:
            entry["missing"] = missing
        extra = [n for n, _ in schema if n not in first]
        if extra:
            entry["extra"] = extra
        differing = {n: str(t) for n, t in own.items() if t != combined.field(n).type}
        if differing:
            entry["types"] = differing
        if len(entry) > 1:
            drift.append(entry)
    return combined, drift


def _plan(source: str, blocksize: int, options: dict[str, Any], records_limit: int) -> Any:
    from ._read import _plan_parts

    return _plan_parts(source, blocksize, records_limit=records_limit, **options)


def _empty_records(which: str) -> Any:
    import pyarrow as pa

    from .summary import CHANGES_COLUMNS, QUARANTINE_COLUMNS

    numbers = ("line", "byte_offset", "expected", "found")
    names = QUARANTINE_COLUMNS if which == "quarantine" else CHANGES_COLUMNS
    schema = pa.schema([(n, pa.int64() if n in numbers else pa.string()) for n in names])
    frame = _records_frame(schema.empty_table())
    frame.insert(0, "file", pa.array([], pa.string()).to_pandas())
    return frame


def pa_schema_equal(columns: List[Tuple[str, Any]], schema: Any) -> bool:
    return [(f.name, f.type) for f in schema] == columns


DEFAULT_BLOCKSIZE = 64 * 2**20


def read(paths_or_glob: Union[PathLike, Iterable[PathLike]], *, blocksize: Optional[int] = DEFAULT_BLOCKSIZE,
         **read_options: Any) -> SalvagedFrames:
    """Salvage files on the Dask workers into Dask DataFrames.

    Parameters
    ----------
    paths_or_glob
        A path, a glob pattern such as ``"exports/*.csv"``, or a list of them.
    blocksize : int or None, default 64 MiB
        A regular file larger than this is read in parts of about one size,
        at most about this many bytes, each a partition, with the rows, line
        numbers and types of reading it whole. None reads every file whole.
    **read_options
        The options of :func:`brinewick.read` (header, types, dtypes,
        empty_as_null, batch_rows, storage_options, encoding, fallback_encoding
        and the seven salvage options, repair included); a file that is
        decoded (not read as UTF-8) is one partition.

    Returns
    -------
    SalvagedFrames
        ``data``, one partition per file or part, in input order;
        ``quarantine`` and ``changes``, the records of
        :func:`brinewick.salvage` with a leading ``file`` column, partitioned
        the same way; ``drift``, what each file that differs from the others
        lacks, adds or types otherwise.

        Files whose columns differ are matched by name: the frame has every
        column any file has, in the order first seen, a file's missing
        columns are null, and a column typed differently across files takes
        the wider type (float64 over int64) or else text. Empty files take no
        part in the columns or their types.

    Notes
    -----
    A file to be split is first read once, as a Dask task (all of its
    worker's cores), to settle its dialect, header and column types over
    every row and to find the row boundaries nearest the even cuts
    (a boundary may fall inside a quoted field: the part that starts there
    skips to the end of that row, which the part before reads whole). This
    runs when ``read`` is called; the parts are read when the frames are
    computed. Every other file is also read once, as a task, for its columns
    and types. That first read also hands over the file's quarantine and
    changes when they are few (at most 4 MiB a file, 64 MiB in all); those
    of the other files are read again, part by part, when computed.

    Each part of ``data`` is one task that Dask fuses with what is done to
    it next, as ``dask.dataframe.read_csv`` does, and its strings are in
    Dask's string dtype (``<NA>`` where a value is missing). Where Dask's
    workers share a machine's cores, each part uses its share of them.
    """
    import dask.dataframe as dd

    if "jobs" in read_options:
        raise TypeError("jobs is for one process; Dask spreads the files over its workers")
    if blocksize is not None and (isinstance(blocksize, bool) or not isinstance(blocksize, int) or blocksize < 1):
        raise ValueError(f"blocksize must be None or a positive int, not {blocksize!r}")
    storage_options = read_options.get("storage_options")
    sources = [_absolute(s) for s in expand_paths(paths_or_glob, storage_options)]
    big = []
    if blocksize is not None:
        for source in sources:
            if _remote.url_of(source):
                size = _remote.RemoteInput(source, storage_options).size
                if size is not None and size > blocksize:
                    big.append(source)
                continue
            info = os.stat(source)
            if stat.S_ISREG(info.st_mode) and info.st_size > blocksize:
                big.append(source)
    small = [s for s in sources if s not in big]
    limit = _records_limit(len(sources))
    found = dask.compute(*[dask.delayed(_plan, pure=False)(s, blocksize, read_options, limit) for s in big],
                         *[dask.delayed(_columns_of, pure=False)(s, read_options, limit) for s in small])
    plans = dict(zip(big, found[:len(big)]))
    columns = {s: c for s, (c, _) in zip(small, found[len(big):])}
    records = {s: r for s, (_, r) in zip(small, found[len(big):])}
    records.update((s, p.records) for s, p in plans.items())
    schemas = [[(n, _arrow_type(t)) for n, t in (plans[s].columns if s in plans else columns[s])]
               for s in sources]
    schema, drift = _combine(sources, schemas)
    # Files that agree keep their own tables as they are; the others are
    # conformed to the combined columns.
    conform = {s: (None if pa_schema_equal(schemas[i], schema) else schema) for i, s in enumerate(sources)}
    units: List[_Unit] = []
    for source in sources:
        plan = plans.get(source)
        if plan is None or len(plan.starts) == 1:
            units.append((source, None, 0, conform[source]))
        else:
            # The records stay out of the partitions' arguments, which the graph holds once each.
            plan = plan._replace(records=None)
            units.extend((source, plan, i, conform[source]) for i in range(len(plan.starts)))
    threads = _threads_by_host(len(units))
    meta = schema.empty_table().to_pandas(**_PANDAS)
    data = dd.from_map(_data_of, units, args=(read_options, threads), meta=meta, label="brinewick-read",
                       enforce_metadata=False)
    # The records a file's first read handed over are split among its
    # partitions here; a file with too many for that reads them again.
    known = {s: (_with_file(r[0], s), _with_file(r[1], s)) for s, r in records.items() if r is not None}
    parts: List[Any] = []
    for unit in units:
        if unit[0] in known:
            quarantine_frame, changes_frame = known[unit[0]]
            parts.append((dask.delayed(_records_in(quarantine_frame, unit)),
                          dask.delayed(_records_in(changes_frame, unit))))
        else:
            parts.append(dask.delayed(_records_of, pure=True, nout=2)(unit, read_options, threads))
    quarantine = dd.from_delayed([p[0] for p in parts], meta=_empty_records("quarantine"), verify_meta=True)
    changes = dd.from_delayed([p[1] for p in parts], meta=_empty_records("changes"), verify_meta=True)
    frames = SalvagedFrames(data, quarantine, changes)
    frames.drift = drift
    return frames
