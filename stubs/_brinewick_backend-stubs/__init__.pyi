# Types of the native _brinewick_backend extension module.

from typing import Final, Literal, NoReturn, SupportsIndex, final

__version__: Final[str]
__all__ = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]

@final
class SalvageSummary:
    """Python-exposed summary of a salvage operation."""

    # Instances come only from salvage_file() and SalvageReader.summary.
    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def total_rows(self) -> int: ...
    @property
    def salvaged_rows(self) -> int: ...
    @property
    def repaired_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...
    @property
    def detected_delimiter(self) -> str: ...
    @property
    def inferred_columns(self) -> int: ...
    def to_dict(self) -> dict[str, int | str]:
        """Converts the summary into a native Python dictionary."""

@final
class SalvageReader:
    """In-memory streaming reader iterating over salvaged rows."""

    def __new__(
        cls,
        file_path: str,
        delimiter: str | None = None,
        quote_char: str = '"',
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: SupportsIndex | None = None,
        repair_quotes: bool = True,
    ) -> SalvageReader: ...
    def __iter__(self) -> SalvageReader: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def __enter__(self) -> SalvageReader: ...
    # Never swallows the exception of the with-block.
    def __exit__(
        self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None
    ) -> Literal[False]: ...
    @property
    def summary(self) -> SalvageSummary: ...

def salvage_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> SalvageSummary:
    """Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file."""

def sniff(sample: str) -> str:
    """Detects the most likely delimiter from a CSV string sample."""

def open(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> SalvageReader:
    """Convenience function to open and stream a salvaged CSV file."""
