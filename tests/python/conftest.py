"""Shared fixtures: write an input file, salvage it, read back what landed on disk."""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

import pytest

import _brinewick_backend as bw


@dataclass
class SalvageRun:
    summary: object
    clean: bytes
    quarantine: Optional[bytes]  # None when no quarantine file was written


@pytest.fixture
def write_input(tmp_path: Path) -> Callable[..., str]:
    """Writes bytes to a file under tmp_path and returns its path as str."""

    def write(data: bytes, name: str = "input.csv") -> str:
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def salvage(tmp_path: Path) -> Callable[..., SalvageRun]:
    """salvage_file over the given bytes, with a quarantine file unless told not to."""

    def run(data: bytes, *, quarantine: bool = True, **options) -> SalvageRun:
        src = tmp_path / "in.csv"
        out = tmp_path / "out.csv"
        qpath = tmp_path / "quarantine.csv"
        for p in (out, qpath):
            if p.exists():
                p.unlink()
        src.write_bytes(data)
        summary = bw.salvage_file(str(src), str(out), str(qpath) if quarantine else None, **options)
        return SalvageRun(summary, out.read_bytes(), qpath.read_bytes() if qpath.exists() else None)

    return run
