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
from typing import Any, Iterable, NamedTuple, Optional, Union

try:
    import dask
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("brinewick.dask needs Dask: pip install 'dask[dataframe]' distributed") from error

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
        durable).

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
    os.makedirs(folder, exist_ok=True)
    tasks = []
    for source, stem in zip(sources, stems):
        base = os.path.join(folder, stem)
        tasks.append(dask.delayed(_salvage_one, pure=False)(
            source, base + ".csv",
            base + ".quarantine.csv" if quarantine else None,
            base + ".changes.csv" if changes else None,
            options,
            dask_key_name=f"brinewick-salvage-{stem}-{abs(hash(source)):x}",
        ))
    return list(dask.compute(*tasks))


class SalvagedFrames(NamedTuple):
    """What :func:`read` gives: the salvaged rows and the records beside them."""

    data: Any        # dask.dataframe.DataFrame of the clean rows
    quarantine: Any  # file, line, byte_offset, reason, raw
    changes: Any     # file, line, byte_offset, change, detail


def _read_part(source: str, options: dict[str, Any]) -> Any:
    from . import read

    return read(source, **options).to_pandas()


def _records_part(source: str, options: dict[str, Any], which: str) -> Any:
    from . import read

    frame = getattr(read(source, **options), which).to_pandas()
    frame.insert(0, "file", source)
    return frame


def _empty_like(source: str, options: dict[str, Any], which: Optional[str]) -> Any:
    from . import read

    table = read(source, **options)
    if which is None:
        import pyarrow as pa

        # The schema alone: no batch of the file is built for it.
        return pa.schema(table).empty_table().to_pandas()
    frame = getattr(table, which).to_pandas().iloc[:0]
    frame.insert(0, "file", source)
    return frame


def read(paths_or_glob: Union[PathLike, Iterable[PathLike]], **read_options: Any) -> SalvagedFrames:
    """Salvage files on the Dask workers into Dask DataFrames.

    Parameters
    ----------
    paths_or_glob
        A path, a glob pattern such as ``"exports/*.csv"``, or a list of them.
    **read_options
        The options of :func:`brinewick.read` (header, types, dtypes,
        empty_as_null and the six salvage options). Every file must come out
        with the same columns and types; give ``dtypes`` (or ``types="str"``)
        when inference could tell files apart.

    Returns
    -------
    SalvagedFrames
        ``data``, one partition per file, in input order; ``quarantine`` and
        ``changes``, the records of :func:`brinewick.salvage` with a leading
        ``file`` column, one partition per file too.

    Notes
    -----
    The column names and types are taken from the first file, read here
    (the scheduler's process); the partitions themselves are read on the
    workers when the frames are computed.
    """
    import dask.dataframe as dd

    if "jobs" in read_options:
        raise TypeError("jobs is for one process; Dask spreads the files over its workers")
    sources = [os.path.abspath(s) for s in expand_paths(paths_or_glob)]
    frames = []
    for which in (None, "quarantine", "changes"):
        meta = _empty_like(sources[0], read_options, which)
        if which is None:
            parts = [dask.delayed(_read_part, pure=True)(s, read_options) for s in sources]
        else:
            parts = [dask.delayed(_records_part, pure=True)(s, read_options, which) for s in sources]
        frames.append(dd.from_delayed(parts, meta=meta, verify_meta=True))
    return SalvagedFrames(*frames)
