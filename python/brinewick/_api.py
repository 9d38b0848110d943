"""brinewick.salvage: the streaming, lock-free salvage of a file."""
from __future__ import annotations

import os
import time
from dataclasses import replace
from typing import Any, Dict, List, Optional

from . import _native, _remote
from ._options import NativeSettings, PathArg, ProgressCallback, check_progress, fs_path
from .summary import SalvageSummary, summary_of


def salvage(
    input: PathArg,
    output: PathArg,
    *,
    quarantine: Optional[PathArg] = None,
    changes: Optional[PathArg] = None,
    delimiter: Optional[str] = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: Optional[int] = None,
    repair_quotes: bool = True,
    repair: str = "columns",
    blank_lines: str = "skip",
    progress: Optional[ProgressCallback] = None,
    durable: bool = True,
    jobs: Optional[int] = None,
    storage_options: Optional[Dict[str, Any]] = None,
    encoding: str = "auto",
    fallback_encoding: Optional[str] = "cp1252",
    header_row: Optional[int] = None,
    skip_rows: int = 0,
    comment: Optional[str] = None,
    repeated_headers: str = "skip",
) -> SalvageSummary:
    """Salvage a damaged CSV file into a clean one, in bounded memory.

    The input is read in chunks, never whole, so files larger than memory
    work. Parsing and writing run without the interpreter lock: other
    threads keep running and several salvages in threads use several cores.
    The outputs are written to files with no name yet in their targets'
    folders (hidden temporaries where the file system has no such files)
    and put into place only once all of them are complete, so a failure,
    Ctrl-C or a kill leaves every target (and the input) as it was. An
    output that is a device, FIFO or socket, or names an open descriptor
    (``/dev/stdout``, ``/dev/fd/N``), is written through as a stream: with
    standard output redirected by ``>>`` the file keeps what it held.

    Parameters
    ----------
    input : str, bytes or os.PathLike
        The damaged CSV. A pipe or FIFO is read as a stream. A URL
        (``s3://``, ``gs://``, ``az://``, ``https://``, ``memory://`` ...)
        is read through fsspec, in ranges fetched ahead in parallel, never
        downloaded whole; every path below may be a URL too.
    output : str, bytes or os.PathLike
        Where the clean CSV goes (LF line ends, RFC 4180 quoting). May be
        the input itself: it is then replaced only when the run succeeds.
    quarantine : str, bytes or os.PathLike, optional
        Where rows that could not be fitted go, as CSV with the columns
        ``line,byte_offset,reason,expected,found,raw``
        (:data:`brinewick.QUARANTINE_COLUMNS`): ``expected`` is the column
        count and ``found`` the row's fields as parsed (both empty when the
        width is not checked); ``raw`` is the row's text as it
        stands in the input, decoded as the clean rows are (with
        ``encoding="utf-8"``, invalid UTF-8 is replaced by U+FFFD).
    changes : str, bytes or os.PathLike, optional
        Where every change made to a clean row is recorded, as CSV with the
        columns ``line,byte_offset,change,column,expected,found,detail``
        (:data:`brinewick.CHANGES_COLUMNS`): ``expected`` and ``found`` are
        the column count and the row's fields as parsed for a change that
        fitted the row to the width (a padded or merged row, a blank line
        written as a row, the repair stage's requoting or dropping of
        empty surplus fields), else empty;
        ``column`` is always empty here (only ``read``'s ``type_error``
        names one).
    delimiter : str, optional
        One ASCII character. Sniffed among ``,`` ``;`` tab and ``|`` when None.
    quote_char : str, default '"'
        One ASCII character, other than the delimiter (a sniffed delimiter
        equal to it is a ValueError).
    fill_ragged_rows : bool, default True
        Pad short rows with empty fields instead of setting them aside.
    merge_overflow : bool, default True
        Join surplus fields into the last column instead of setting the row aside.
    expected_columns : int, optional
        The column count rows are fitted to; inferred when None, ``0``
        turns the width check off.
    repair_quotes : bool, default True
        Keep a quote inside a quoted field as text when a later quote on the
        line closes the field.
    repair : {"columns", "literal"}, default "columns"
        "columns": a row whose reading does not have the expected width is
        read again the other ways its bytes allow (text after a closing
        quote joined with its blanks, a stray quote read as an ordinary
        character or as closing, a quote that never closes ended at its
        line break, empty surplus fields at the end dropped), and the
        reading of exactly that width with the fewest quotes read
        otherwise is kept, with a change record saying which reading was
        taken (its kinds are in README.md's list). Rows that
        fit are untouched. "literal" keeps the fixed rules' rows, byte for
        byte those of ``_brinewick_backend``.
    blank_lines : {"skip", "keep"}, default "skip"
        "skip": a blank line (nothing, or only spaces and tabs) is left out
        of the clean rows, with a ``blank_line`` change record whose detail
        is "blank line skipped"; the summary's ``total_rows`` still counts
        it; a row of nothing but NUL bytes (a file padded or cut short on
        disk) is set aside with reason ``nul_padding``. "keep": it is
        written as a row of empty fields, and NUL bytes as a row, as
        ``_brinewick_backend`` does.
    header_row : int, optional
        The 0-based line of the header; the rows above it are set aside
        with reason ``preamble``. None (the default) looks for it: when the
        first row does not fit the column count, or is a title spread over
        it, the header is the first row among the first 100 non-blank ones
        that reads as names (no numbers or dates, or names over columns of
        numbers or dates) with rows of the column count under it, provided
        every row above it reads as a preamble (another width, a title, a
        ``#`` note). A file whose first row fits keeps it as its header.
        ``header_row=0`` takes the first line as the header, as
        ``_brinewick_backend`` does.
    skip_rows : int, default 0
        Lines at the top set aside as ``preamble`` whatever they hold; the
        header is looked for below them.
    comment : str, optional
        Rows that begin with this character are set aside anywhere in the
        file, with reason ``comment``.
    repeated_headers : {"skip", "keep"}, default "skip"
        "skip": a later row whose text is the header's (files joined end
        to end, a BOM before it or not) is set aside, with reason
        ``repeated_header`` (not in a table of one column, where a value
        may be the header's word); one that holds the header's names in
        another order, with reason ``reordered_header`` (the rows under it
        keep that order: look at them). "keep": it stays a row, as
        ``_brinewick_backend`` keeps it.
    progress : callable, optional
        Called as ``progress(bytes_done, bytes_total)`` about ten times a
        second, with the interpreter lock held, and once more when the
        outputs are complete, just before they are put in place
        (``bytes_done == bytes_total``); ``bytes_total`` is None for streams.
        An exception it raises during the run, that last call included,
        stops it like Ctrl-C: it is re-raised and nothing is left behind.
    durable : bool, default True
        Flush the outputs and their directories to disk before renaming
        them into place. False is faster and safe against a crashing
        program, but not against a crashing machine.
    jobs : int, optional
        Threads that parse and classify: the input is cut at line breaks
        into chunks of about a MiB, parsed side by side and written in order.
        The outputs are byte for byte the same for every value; None uses
        every core this process may run on, ``1`` parses on one thread.
    storage_options : dict, optional
        Passed to fsspec for the paths that are URLs (credentials, endpoint,
        ...), as in pandas and Dask. A URL output is uploaded as it is
        written and committed only when the whole salvage succeeded; on any
        failure (Ctrl-C included) it is discarded, a multipart upload aborted.
    encoding : str, default "auto"
        The input's encoding; the outputs are always UTF-8. ``"auto"``
        reads a BOM (UTF-8, UTF-16, UTF-32), the NUL bytes of BOM-less
        UTF-16/32, and otherwise takes UTF-8, decoding a field whose bytes
        are not UTF-8 from ``fallback_encoding`` instead (a ``transcoded``
        change record); a file whose first MiB is not UTF-8 at all is read
        wholly in the fallback encoding. ``"utf-8"`` reads the bytes as
        they stand, ill-formed ones as U+FFFD. Any other name (``"gbk"``,
        ``"shift_jis"``, ``"utf-16-le"``...) is decoded by the C library's
        iconv; a sequence it cannot decode becomes U+FFFD and is counted in
        ``SalvageSummary.undecodable``. Byte offsets in the records are
        those of the decoded UTF-8 text (the file's own for UTF-8 input).
    fallback_encoding : str or None, default "cp1252"
        ``"cp1252"`` (windows-1252 as browsers read it) or ``"latin-1"``,
        which give every byte a character; None puts U+FFFD instead.

    Returns
    -------
    SalvageSummary
        Row counts, the dialect used, the changes per kind, bytes read and
        elapsed time.

    Raises
    ------
    TypeError, ValueError
        For a bad option, before any file is opened. ValueError too when two
        paths name the same file (other than output and input).
    OSError
        The fitting subclass (FileNotFoundError, PermissionError,
        IsADirectoryError, ...) with ``filename`` set.
    MemoryError
        When a single row does not fit in memory.
    KeyboardInterrupt
        On Ctrl-C, within about 100 ms; nothing is left behind.

    See Also
    --------
    _brinewick_backend.salvage_file : The in-memory engine this matches byte for byte.

    Examples
    --------
    >>> import brinewick
    >>> summary = brinewick.salvage(
    ...     "export.csv", "export.clean.csv",
    ...     quarantine="export.quarantine.csv", changes="export.changes.csv",
    ... )  # doctest: +SKIP
    >>> summary.changes["padded"]  # doctest: +SKIP
    12
    """
    return _salvage(
        input, output, quarantine=quarantine, changes=changes, delimiter=delimiter,
        quote_char=quote_char, fill_ragged_rows=fill_ragged_rows, merge_overflow=merge_overflow,
        expected_columns=expected_columns, repair_quotes=repair_quotes, repair=repair, progress=progress,
        blank_lines=blank_lines, durable=durable, read_size=_native.DEFAULT_READ_SIZE, jobs=jobs, storage_options=storage_options,
        encoding=encoding, fallback_encoding=fallback_encoding, header_row=header_row, skip_rows=skip_rows,
        comment=comment, repeated_headers=repeated_headers,
    )


def _salvage(
    input: PathArg,
    output: PathArg,
    *,
    quarantine: Optional[PathArg],
    changes: Optional[PathArg],
    delimiter: Optional[str],
    quote_char: str,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    expected_columns: Optional[int],
    repair_quotes: bool,
    progress: Optional[ProgressCallback],
    repair: str = "columns",
    blank_lines: str = "skip",
    durable: bool,
    read_size: int,
    jobs: Optional[int] = None,
    chunk_size: int = _native.DEFAULT_CHUNK_SIZE,
    storage_options: Optional[Dict[str, Any]] = None,
    encoding: object = "auto",
    fallback_encoding: object = "cp1252",
    header_row: object = None,
    skip_rows: object = 0,
    comment: object = None,
    repeated_headers: object = "skip",
) -> SalvageSummary:
    """salvage() with the size of each read and of each parallel chunk as
    knobs (tests use tiny ones)."""
    settings = NativeSettings.check(
        delimiter=delimiter, quote_char=quote_char, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, expected_columns=expected_columns, repair_quotes=repair_quotes,
        repair=repair, blank_lines=blank_lines, durable=durable, jobs=jobs, read_size=read_size, chunk_size=chunk_size,
        encoding=encoding, fallback_encoding=fallback_encoding, header_row=header_row, skip_rows=skip_rows,
        comment=comment, repeated_headers=repeated_headers,
    )
    callback = check_progress(progress)
    options = _remote.check_storage_options(storage_options)
    input, output = _remote.local_of(input), _remote.local_of(output)
    quarantine, changes = _remote.local_of(quarantine), _remote.local_of(changes)
    urls = [_remote.url_of(p) for p in (input, output, quarantine, changes)]
    if any(urls):
        return _salvage_remote(input, output, quarantine, changes, urls, settings, callback, options)
    given: Dict[bytes, object] = {}

    def encode(name: str, value: object) -> bytes:
        encoded = fs_path(name, value)
        given.setdefault(encoded, os.fspath(value))  # type: ignore[call-overload]
        return encoded

    paths = (
        encode("input", input),
        encode("output", output),
        None if quarantine is None else encode("quarantine", quarantine),
        None if changes is None else encode("changes", changes),
    )

    start = time.perf_counter()
    try:
        result = _native.salvage(*paths, settings, callback)
    except OSError as error:
        # Name the file as the caller wrote it (bytes stay bytes), not as decoded.
        if isinstance(error.filename, str):
            original = given.get(os.fsencode(error.filename))
            if original is not None:
                error.filename = original
        raise
    elapsed = time.perf_counter() - start

    return summary_of(result, elapsed)


def _salvage_remote(input: Any, output: Any, quarantine: Any, changes: Any, urls: List[Optional[str]],
                    settings: NativeSettings, callback: Optional[ProgressCallback],
                    storage_options: Dict[str, Any]) -> SalvageSummary:
    """A salvage where some paths are URLs: the input read through fsspec,
    URL outputs uploaded through pipes and committed at the end."""
    names = ("input", "output", "quarantine", "changes")
    targets = [u for u in urls[1:] if u is not None]
    if len(set(targets)) != len(targets):
        raise ValueError(f"two outputs would be written to {next(t for t in targets if targets.count(t) > 1)!r}")
    if urls[0] is not None and urls[0] in targets[1:]:
        raise ValueError(f"a side output would overwrite the input {urls[0]!r}")
    start = time.perf_counter()
    engine_paths: List[Optional[bytes]] = []
    if urls[0] is not None:
        source = _remote.RemoteInput(urls[0], storage_options)
        settings = replace(settings, source=source.open)
        engine_paths.append(urls[0].encode())
    else:
        engine_paths.append(fs_path("input", input))
    uploads: List[_remote.RemoteOutput] = []
    try:
        for name, path, url in zip(names[1:], (output, quarantine, changes), urls[1:]):
            if url is not None:
                uploads.append(_remote.RemoteOutput(url, storage_options))
                engine_paths.append(uploads[-1].engine_path.encode())
            else:
                engine_paths.append(None if path is None else fs_path(name, path))
        result = _native.salvage(*engine_paths, settings, callback)
    except BaseException as error:
        for upload in uploads:
            upload.finish(False)
        failed = _remote.upload_failure(uploads)
        if failed is not None and isinstance(error, OSError):
            raise failed from error  # the pipe broke because the upload failed
        raise
    for upload in uploads:
        upload.finish(True)
    failed = _remote.upload_failure(uploads)
    if failed is not None:
        raise failed
    return summary_of(result, time.perf_counter() - start)
