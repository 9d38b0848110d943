from typing import Callable, Optional, Tuple

CHANGE_KINDS: Tuple[str, ...]
DEFAULT_READ_SIZE: int
DEFAULT_CHUNK_SIZE: int

def salvage(
    input: bytes,
    output: bytes,
    quarantine: Optional[bytes],
    changes: Optional[bytes],
    delimiter: Optional[int],
    quote_char: int,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    expected_columns: Optional[int],
    repair_quotes: bool,
    progress: Optional[Callable[[int, Optional[int]], object]],
    durable: bool,
    read_size: int,
    jobs: int,
    chunk_size: int,
    /,
) -> Tuple[int, int, int, int, str, int, Tuple[int, ...], int, int]: ...

def read_open(
    path: bytes,
    delimiter: Optional[int],
    quote_char: int,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    expected_columns: Optional[int],
    repair_quotes: bool,
    header: bool,
    infer: bool,
    empty_as_null: bool,
    dtypes: Tuple[Tuple[str, str], ...],
    batch_rows: Optional[int],
    read_size: int,
    jobs: int,
    chunk_size: int,
    /,
) -> object: ...
def read_scan(reader: object, /) -> None: ...
def read_stream(reader: object, /) -> object: ...
def read_schema(reader: object, /) -> object: ...
def read_summary(reader: object, /) -> Optional[Tuple[int, int, int, int, str, int, Tuple[int, ...], int, int, float]]: ...
def read_records(reader: object, quarantine: bool, /) -> Optional[object]: ...
def read_plan(
    reader: object, block_size: int, /
) -> Tuple[Tuple[Tuple[str, str], ...], Optional[int], int, Optional[int], Tuple[Tuple[int, int, bool], ...]]: ...
def read_span(
    reader: object,
    columns: Tuple[Tuple[str, str], ...],
    delimiter: int,
    expected_columns: int,
    header_offset: Optional[int],
    start: int,
    line: int,
    in_row: bool,
    end: Optional[int],
    /,
) -> Tuple[object, object, object, Tuple[int, int, int, int, str, int, Tuple[int, ...], int, int, float]]: ...
def live_arrow_buffers() -> int: ...
def release_unused_memory() -> int: ...
