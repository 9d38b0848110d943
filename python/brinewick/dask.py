"""Salvage many files on a Dask cluster, into files or into Dask DataFrames.

Every function here runs its work as Dask tasks, so it uses whatever
scheduler is current: a `dask.distributed.Client` when one is active (on a
laptop or against a remote scheduler address), the local threads otherwise.
Workers must see the input paths and `output_dir` under the same names (a
shared file system).

Dask is not a dependency of brinewick: this module imports it when it is
imported itself.
"""

from __future__ import annotations

import glob
import os
import stat
from typing import Any, Iterable, NamedTuple, Optional, Union

try:
    import dask
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("brinewick.dask needs Dask: pip install 'dask[dataframe]' distributed") from error

from ._options import refuse_shared_targets

PathLike = Union[str, "os.PathLike[str]"]


def expand_paths(paths_or_glob: Union[PathLike, Iterable[PathLike]]) -> list[str]:
    """A glob pattern, a path, or a list of either, as a sorted list of paths.

    A pattern that matches nothing raises FileNotFoundError rather than
    quietly doing no work.
    """
    items = [paths_or_glob] if isinstance(paths_or_glob, (str, os.PathLike)) else list(paths_or_glob)
    out: list[str] = []
    for item in items:
        name = os.fspath(item)
        if not isinstance(name, str):
            raise TypeError(f"paths must be str or os.PathLike[str], not {type(name).__name__}")
        if glob.has_magic(name):
            matches = sorted(glob.glob(name))
            if not matches:
                raise FileNotFoundError(2, "No file matches the pattern", name)
            out.extend(matches)
        else:
            out.append(name)
    if not out:
        raise ValueError("no input paths given")
    return out


def _stem(path: str) -> str:
    stem, ext = os.path.splitext(os.path.basename(path))
    return stem if ext else os.path.basename(path)


def _salvage_one(source: str, output: str, quarantine: Optional[str], changes: Optional[str],
                 options: dict[str, Any]) -> Any:
    from . import salvage

    return salvage(source, output, quarantine=quarantine, changes=changes, **options)


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
        ``NAME.csv``. Created if missing.
    quarantine, changes
        Whether to write the quarantine and the change records.
    **options
        The options of :func:`brinewick.salvage` (delimiter, quote_char,
        fill_ragged_rows, merge_overflow, expected_columns, repair_quotes,
        durable, encoding, fallback_encoding).

    Returns
    -------
    list of brinewick.SalvageSummary
        One summary per input, in input order.
    """
    if "progress" in options:
        raise TypeError("progress cannot be followed across a cluster; watch the Dask dashboard")
    # Workers may run elsewhere: absolute names mean the same file there.
    sources = [os.path.abspath(s) for s in expand_paths(paths_or_glob)]
    stems = [_stem(s) for s in sources]
    if len(set(stems)) != len(stems):
        clash = sorted({s for s in stems if stems.count(s) > 1})
        raise ValueError(f"inputs with the same name would overwrite each other's outputs: {clash}")
    folder = os.path.abspath(os.fspath(output_dir))
    plan = []
    for source, stem in zip(sources, stems):
        base = os.path.join(folder, stem)
        plan.append((source, stem, base + ".csv", base + ".quarantine.csv" if quarantine else None,
                     base + ".changes.csv" if changes else None))
    # No task may write what another writes or reads ("a.csv" beside
    # "a.quarantine.csv", or the output folder being the inputs' own).
    refuse_shared_targets(((path, source) for source, _, *outputs in plan for path in outputs if path is not None),
                          sources)
    os.makedirs(folder, exist_ok=True)
    tasks = [
        dask.delayed(_salvage_one, pure=False)(
            source, clean, quarantine_path, changes_path, options,
            dask_key_name=f"brinewick-salvage-{stem}-{abs(hash(source)):x}",
        )
        for source, stem, clean, quarantine_path, changes_path in plan
    ]
    return list(dask.compute(*tasks))


class SalvagedFrames(NamedTuple):
    """What :func:`read` gives: the salvaged rows and the records beside them."""

    data: Any        # dask.dataframe.DataFrame of the clean rows
    quarantine: Any  # file, line, byte_offset, reason, raw
    changes: Any     # file, line, byte_offset, change, detail


# Dates as datetime64, not objects: Dask would take a column of objects for
# strings and turn the dates into text.
_PANDAS = {"date_as_object": False}


def _with_file(table: Any, source: str) -> Any:
    frame = table.to_pandas()
    frame.insert(0, "file", source)
    return frame


def _read_whole(source: str, options: dict[str, Any]) -> tuple[Any, Any, Any]:
    """One file read whole: its rows, quarantine and changes as pandas frames."""
    import pyarrow as pa

    from . import read

    table = read(source, **options)
    data = pa.table(table).to_pandas(**_PANDAS)
    return data, _with_file(pa.table(table.quarantine), source), _with_file(pa.table(table.changes), source)


def _read_part(source: str, plan: Any, index: int, options: dict[str, Any]) -> tuple[Any, Any, Any]:
    """One byte range of a large file, with the rows and line numbers of reading it whole."""
    from ._read import _read_part as read_part

    data, quarantine, changes, _ = read_part(source, plan, index, **options)
    return data.to_pandas(**_PANDAS), _with_file(quarantine, source), _with_file(changes, source)


def _plan(source: str, blocksize: int, options: dict[str, Any]) -> Any:
    from ._read import _plan_parts

    return _plan_parts(source, blocksize, **options)


_ARROW_TYPES = {
    "str": "string", "int64": "int64", "float64": "float64", "bool": "bool_", "date32": "date32",
}


def _empty_data(plan: Any) -> Any:
    """The pandas frame with no rows that a part of `plan` gives."""
    import pyarrow as pa

    fields = []
    for name, type_name in plan.columns:
        if type_name.startswith("timestamp"):
            arrow_type = pa.timestamp("us", tz="UTC" if "UTC" in type_name else None)
        else:
            arrow_type = getattr(pa, _ARROW_TYPES[type_name])()
        fields.append(pa.field(name, arrow_type))
    return pa.schema(fields).empty_table().to_pandas(**_PANDAS)


def _empty_records(which: str) -> Any:
    import pyarrow as pa

    third, fourth = ("reason", "raw") if which == "quarantine" else ("change", "detail")
    schema = pa.schema([("line", pa.int64()), ("byte_offset", pa.int64()), (third, pa.string()),
                        (fourth, pa.string())])
    frame = schema.empty_table().to_pandas()
    frame.insert(0, "file", pa.array([], pa.string()).to_pandas())
    return frame


def _empty_like(source: str, options: dict[str, Any]) -> Any:
    from . import read

    import pyarrow as pa

    # The schema alone: no batch of the file is built for it.
    return pa.schema(read(source, **options)).empty_table().to_pandas(**_PANDAS)


DEFAULT_BLOCKSIZE = 64 * 2**20


def read(paths_or_glob: Union[PathLike, Iterable[PathLike]], *, blocksize: Optional[int] = DEFAULT_BLOCKSIZE,
         **read_options: Any) -> SalvagedFrames:
    """Salvage files on the Dask workers into Dask DataFrames.

    Parameters
    ----------
    paths_or_glob
        A path, a glob pattern such as ``"exports/*.csv"``, or a list of them.
    blocksize : int or None, default 64 MiB
        A regular file larger than this is read in parts of about this many
        bytes, each a partition, with the rows, line numbers and types of
        reading it whole. None reads every file whole.
    **read_options
        The options of :func:`brinewick.read` (header, types, dtypes,
        empty_as_null, batch_rows, encoding, fallback_encoding and the six
        salvage options); a file that is decoded (not read as UTF-8) is one
        partition. Every file
        must come out with the same columns and types; give ``dtypes`` (or
        ``types="str"``) when inference could tell files apart.

    Returns
    -------
    SalvagedFrames
        ``data``, one partition per file or part, in input order;
        ``quarantine`` and ``changes``, the records of
        :func:`brinewick.salvage` with a leading ``file`` column, partitioned
        the same way.

    Notes
    -----
    A file to be split is first read once, as a Dask task (all of its
    worker's cores), to settle its dialect, header and column types over
    every row and to find row boundaries at about every ``blocksize`` bytes
    (a boundary may fall inside a quoted field: the part that starts there
    skips to the end of that row, which the part before reads whole). This
    runs when ``read`` is called; the parts are read when the frames are
    computed. Otherwise the names and types come from the first file, read
    here (the scheduler's process).
    """
    import dask.dataframe as dd

    if "jobs" in read_options:
        raise TypeError("jobs is for one process; Dask spreads the files over its workers")
    if blocksize is not None and (isinstance(blocksize, bool) or not isinstance(blocksize, int) or blocksize < 1):
        raise ValueError(f"blocksize must be None or a positive int, not {blocksize!r}")
    sources = [os.path.abspath(s) for s in expand_paths(paths_or_glob)]
    big = []
    if blocksize is not None:
        for source in sources:
            info = os.stat(source)
            if stat.S_ISREG(info.st_mode) and info.st_size > blocksize:
                big.append(source)
    plans = dict(zip(big, dask.compute(*[dask.delayed(_plan, pure=False)(s, blocksize, read_options)
                                         for s in big])))
    parts = []
    for source in sources:
        plan = plans.get(source)
        if plan is None or len(plan.starts) == 1:
            parts.append(dask.delayed(_read_whole, pure=True, nout=3)(source, read_options))
        else:
            parts.extend(dask.delayed(_read_part, pure=True, nout=3)(source, plan, i, read_options)
                         for i in range(len(plan.starts)))
    first = plans.get(sources[0])
    meta = _empty_data(first) if first is not None else _empty_like(sources[0], read_options)
    data = dd.from_delayed([p[0] for p in parts], meta=meta, verify_meta=True)
    quarantine = dd.from_delayed([p[1] for p in parts], meta=_empty_records("quarantine"), verify_meta=True)
    changes = dd.from_delayed([p[2] for p in parts], meta=_empty_records("changes"), verify_meta=True)
    return SalvagedFrames(data, quarantine, changes)
