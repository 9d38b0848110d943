"""brinewick: rescue damaged CSV files that strict parsers reject.

Stray and unclosed quotes, ragged rows, mixed line ends and invalid UTF-8
are repaired or set aside, never silently dropped, and every change made is
recorded. Files of any size are read in bounded memory, off the interpreter
lock.

>>> import brinewick
>>> summary = brinewick.salvage("export.csv", "export.clean.csv")  # doctest: +SKIP

The in-memory engine this package is built on stays available as
``_brinewick_backend``.
"""
from __future__ import annotations

from ._api import salvage
from ._damage import InspectReport, SniffResult, inspect, sniff_file
from ._options import SalvageOptions
from ._read import RecordTable, SalvagedTable, read, release_unused_memory
from .summary import CHANGE_KINDS, CHANGES_COLUMNS, QUARANTINE_COLUMNS, SalvageSummary

__version__ = "0.1.0"
__all__ = [
    "CHANGE_KINDS", "CHANGES_COLUMNS", "QUARANTINE_COLUMNS", "InspectReport", "SalvageOptions", "SalvageSummary", "SniffResult",
    "inspect", "salvage", "sniff_file", "__version__", "read", "SalvagedTable", "RecordTable",
    "release_unused_memory",
]
