"""Salvage many files on a Dask cluster.

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
from typing import Any, Iterable, Optional, Union

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
