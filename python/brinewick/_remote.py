"""Inputs and outputs named by URL (``s3://``, ``gs://``, ``az://``,
``http(s)://``, ``memory://`` ...), reached through fsspec.

The engine reads a remote input through a file-like object that this module
hands it: byte ranges are fetched a few at a time on threads, ahead of the
parser, so memory stays bounded and the network stays busy. A remote output
is written by the engine into a pipe, and a thread here uploads what comes
out of it; the object is committed only when the whole salvage succeeded,
and discarded (a multipart upload aborted) otherwise.
"""
from __future__ import annotations

import contextlib
import errno
import os
import re
import threading
import uuid
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Tuple

StorageOptions = Optional[Mapping[str, Any]]

_SCHEME = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://")

#: Bytes of the first range after opening or a seek: what the engine looks
#: at before it seeks (compression, a BOM, the encoding; a Dask part then
#: seeks to its start) costs one small request. The ranges after it start at
#: FIRST_RANGE and double up to LARGEST_RANGE: large ones keep the requests
#: few, since each costs tens of ms before its first byte (on moto, a time
#: that grows with the object: with 32 MiB ranges a 1 GB salvage took 1.6x
#: the download, with 64 MiB 1.0x).
PROBE_RANGE = 1 << 20
FIRST_RANGE = 8 << 20
LARGEST_RANGE = 64 << 20
#: Ranges fetched ahead of the parser once it reads on past the first: with
#: the one being parsed, at most three are held (192 MiB; a 1 GB salvage
#: peaked at 215 MB beyond imports).
RANGES_AHEAD = 2
#: Past the end a reader was told of (a Dask part's), the bytes that finish
#: its last row come in ranges this small, one at a time.
TAIL_RANGE = 1 << 20


def url_of(value: object) -> Optional[str]:
    """`value` as a URL when it is a str (or str path-like) with a scheme
    other than ``file``; None for a local path (bytes are always local)."""
    try:
        text = os.fspath(value)  # type: ignore[call-overload]
    except TypeError:
        return None
    if not isinstance(text, str):
        return None
    match = _SCHEME.match(text)
    if match is None or match.group(1).lower() == "file":
        return None
    return text


def local_of(value: Any) -> Any:
    """A ``file://`` URL as its local path; anything else as it is."""
    if isinstance(value, str) and value[:7].lower() == "file://":
        from urllib.parse import unquote, urlparse

        parsed = urlparse(value)
        if parsed.netloc not in ("", "localhost"):
            raise ValueError(f"a file:// URL names a file on this machine, not on {parsed.netloc!r}: {value!r}")
        return unquote(parsed.path)
    return value


def check_storage_options(storage_options: object) -> Dict[str, Any]:
    if storage_options is None:
        return {}
    if not isinstance(storage_options, Mapping):
        raise TypeError(f"storage_options must be a mapping or None, not {type(storage_options).__name__}")
    return dict(storage_options)


_ERRNO_OF = ((FileNotFoundError, errno.ENOENT), (PermissionError, errno.EACCES),
             (IsADirectoryError, errno.EISDIR), (NotADirectoryError, errno.ENOTDIR),
             (FileExistsError, errno.EEXIST), (TimeoutError, errno.ETIMEDOUT),
             (ConnectionError, errno.ECONNREFUSED))


def as_os_error(error: BaseException, url: str) -> OSError:
    """`error` from a file system as the OSError subclass it stands for,
    with the URL as its filename (fsspec often names the bare key, or
    nothing; a client library's own errors are no OSError at all)."""
    if isinstance(error, OSError):
        if error.filename == url:
            return error
        code = error.errno or next((n for kind, n in _ERRNO_OF if isinstance(error, kind)), errno.EIO)
        text = error.strerror or str(error)
        if not text or text in url:  # fsspec's bare key says nothing the URL does not
            text = os.strerror(code)
        named = OSError(code, text, url)  # OSError picks the subclass from the errno
        if not isinstance(named, type(error)):
            with contextlib.suppress(Exception):
                named = type(error)(code, text, url)
        return named
    return OSError(errno.EIO, f"{type(error).__name__}: {error}", url)


@contextlib.contextmanager
def naming(url: str) -> Iterator[None]:
    """Re-raises what a file system raises as an OSError naming `url`."""
    try:
        yield
    except (KeyboardInterrupt, SystemExit, MemoryError, ImportError, ValueError, TypeError):
        raise
    except Exception as error:
        named = as_os_error(error, url)
        if named is error:
            raise
        raise named from error


def filesystem(url: str, storage_options: StorageOptions = None) -> Tuple[Any, str]:
    """The fsspec file system of `url` and the path within it."""
    try:
        import fsspec.core
    except ImportError:
        raise ImportError(
            f"reading or writing {url!r} needs fsspec (and the file system's own package, such as "
            "s3fs or gcsfs): pip install 'brinewick[cloud]'"
        ) from None
    return fsspec.core.url_to_fs(url, **(storage_options or {}))


class _RangedReader:
    """An object read in order, its next few ranges fetched in parallel.

    What the engine calls: readinto, seekable, seek, close and ``size``.
    Each run of reads in order starts with a small range and fetches ahead
    only once it reads past it. With `until` (where the caller stops, give
    or take a row: a Dask part's end), a run that a seek starts goes there
    in ranges as large as allowed, none fetched ahead across it, and the
    bytes past it come in small ranges.
    """

    def __init__(self, fs: Any, path: str, size: int, pool: ThreadPoolExecutor, owner: "RemoteInput",
                 until: Optional[int] = None, head: Optional[bytes] = None) -> None:
        self._fs, self._path, self.size = fs, path, size
        self._pool = pool
        self._owner = owner  # whose pool this is: it lives as long as its readers
        self._bounded = until is not None
        self._until = size if until is None else min(until, size)
        self._position = 0                       # of the next byte handed out
        self._pending: List[Tuple[int, Future]] = []  # (start, future of the range's bytes), in order
        self._held = memoryview(b"")  # the range being handed out, whole
        self._held_start = 0
        self._next_start = 0
        self._ranges = 0  # ranges fetched in this run
        self._sought = False  # this run began with a seek
        if head:  # the first range, already at hand
            self._held = memoryview(head)
            self._next_start = len(head)
            self._ranges = 1

    def _fetch(self, start: int, end: int) -> bytes:
        data = self._fs.cat_file(self._path, start=start, end=end)
        if len(data) != end - start:
            raise OSError(5, f"the object changed while it was read (asked {end - start} bytes at {start}, "
                             f"got {len(data)})", self._path)
        return data

    def _length(self, start: int) -> int:
        if start >= self._until:
            return TAIL_RANGE
        if self._ranges == 0 and not (self._bounded and self._sought):
            return PROBE_RANGE
        if self._bounded:  # to the end in one request when it is not much more than the largest
            left = self._until - start
            return left if left <= LARGEST_RANGE + LARGEST_RANGE // 4 else LARGEST_RANGE
        return min(FIRST_RANGE << (self._ranges - 1), LARGEST_RANGE)

    def _schedule(self) -> None:
        start = self._next_start
        end = start + self._length(start)
        end = min(end, self._until) if start < self._until else min(end, self.size)
        self._pending.append((start, self._pool.submit(self._fetch, start, end)))
        self._next_start = end
        self._ranges += 1

    def _fill(self) -> None:
        # Ahead only once the run reads on past its first range, and never
        # across the end the caller stops at.
        ahead = RANGES_AHEAD if self._ranges > 1 or (self._bounded and self._sought) else 0
        while len(self._pending) < ahead and self._next_start < self._until:
            self._schedule()

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        offset = self._position - self._held_start
        if offset >= len(self._held):
            if not self._pending:
                if self._next_start >= self.size:
                    return 0
                self._schedule()
            self._held_start, future = self._pending.pop(0)
            data = future.result()
            if self._held_start == 0 and self._owner.head is None:
                self._owner.head = data if len(data) <= PROBE_RANGE else data[:PROBE_RANGE]
            self._held = memoryview(data)
            offset = self._position - self._held_start
            self._fill()
        n = min(len(view), len(self._held) - offset)
        view[:n] = self._held[offset:offset + n]
        self._position += n
        return n

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int) -> int:
        offset = min(offset, self.size)
        self._position = offset
        if self._held_start <= offset < self._held_start + len(self._held):
            return offset  # within the range held: the run goes on
        self.close()
        self._held_start = self._next_start = offset
        self._ranges = 0
        self._sought = True
        return offset

    def close(self) -> None:
        for _, future in self._pending:
            future.cancel()
        self._pending = []
        self._held = memoryview(b"")


class _StreamedReader:
    """An object of unknown size (an HTTP answer without a length), read once in order."""

    size = None

    def __init__(self, fs: Any, path: str) -> None:
        self._file = fs.open(path, "rb")

    def readinto(self, buffer: Any) -> int:
        return self._file.readinto(buffer)

    def seekable(self) -> bool:
        return False

    def seek(self, offset: int) -> int:
        raise OSError(29, "an object of unknown size cannot be read again", self._file.path)

    def close(self) -> None:
        self._file.close()


def identity_of(info: Mapping[str, Any]) -> Tuple[Any, ...]:
    """What a rewrite of an object changes, from fsspec's info: its ETag (S3,
    GCS, Azure, HTTP), else its modification or creation time, and its size."""
    lower = {str(k).lower(): v for k, v in info.items()}
    for key in ("etag", "md5", "md5hash", "last_modified", "lastmodified", "mtime", "updated", "created"):
        if lower.get(key) is not None:
            return (key, str(lower[key]), lower.get("size"))
    return ("size", lower.get("size"))


class RemoteInput:
    """A remote input: its URL, size, and an opener for each pass over it.

    Made before the engine starts, so that a missing object or a refused
    access raises fsspec's own exception (FileNotFoundError,
    PermissionError ...) naming the URL.
    """

    def __init__(self, url: str, storage_options: StorageOptions = None) -> None:
        self._pool: Optional[ThreadPoolExecutor] = None
        self._lock = threading.Lock()
        self.url = url
        with naming(url):
            self.fs, self.path = filesystem(url, storage_options)
            info = self.fs.info(self.path)
        if info.get("type") == "directory":
            raise IsADirectoryError(errno.EISDIR, "Is a directory", url)
        size = info.get("size")
        self.size: Optional[int] = int(size) if size is not None else None
        self.identity = identity_of(info)
        self._opened = False
        #: Where the reading stops, give or take a row, when known (a Dask part's end).
        self.until: Optional[int] = None
        #: The object's first PROBE_RANGE bytes, once a reader fetched them (or
        #: as a plan handed them on): what the engine looks at first is not
        #: fetched again.
        self.head: Optional[bytes] = None

    def check_unchanged(self, identity: Optional[Tuple[Any, ...]] = None) -> None:
        """ValueError when the object is no longer the one first seen (or
        `identity`, as a plan recorded it): a rewrite between two passes
        would give rows of two objects. What the store says of it (its ETag,
        else its modification time) and its size tell."""
        expected = self.identity if identity is None else identity
        with naming(self.url):
            try:
                self.fs.invalidate_cache(self.path)
            except Exception:  # noqa: BLE001 - a file system without a cache
                pass
            now = identity_of(self.fs.info(self.path))
        if now != expected:
            raise ValueError(f"the input changed while it was read: {self.url} was rewritten "
                             "since it was first read")

    def open(self) -> Any:
        """A reader from the start, for the engine (any thread). Every pass
        after the first checks first that the object was not rewritten."""
        with self._lock:
            again, self._opened = self._opened, True
        if again:
            self.check_unchanged()
        if self.size is None:
            return _StreamedReader(self.fs, self.path)
        with self._lock:
            if self._pool is None:
                self._pool = ThreadPoolExecutor(RANGES_AHEAD, thread_name_prefix="brinewick-fetch")
        return _RangedReader(self.fs, self.path, self.size, self._pool, self, self.until, self.head)

    def __del__(self) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=False, cancel_futures=True)


def _commits_by_itself(fs: Any) -> bool:
    """Whether files opened with ``autocommit=False`` appear only on
    ``commit()`` (object stores' buffered files); the memory file system
    puts an object in place as soon as it is opened."""
    return "memory" not in (fs.protocol if isinstance(fs.protocol, tuple) else (fs.protocol,))


class RemoteOutput:
    """A remote target written through a pipe that the engine writes as a stream.

    `engine_path` is what the engine is given. `finish(True)` commits the
    object once the engine succeeded; `finish(False)` throws it away. An
    upload that fails closes the pipe, so the engine's next write fails and
    the run stops; `finish` then raises the upload's own error.
    """

    def __init__(self, url: str, storage_options: StorageOptions = None) -> None:
        self.url = url
        self._write_end = -1
        with naming(url):
            self.fs, self.path = filesystem(url, storage_options)
        self._direct = _commits_by_itself(self.fs)
        # Elsewhere the object is written under a hidden name beside the
        # target and moved into place at the end.
        if self._direct:
            self._written = self.path
        else:
            parent, _, name = self.path.rpartition("/")
            self._written = f"{parent}/.{name}.{uuid.uuid4().hex[:12]}.tmp" if parent else f".{name}.tmp"
        with naming(url):
            self._file = self.fs.open(self._written, "wb", autocommit=not self._direct)
        self.error: Optional[BaseException] = None
        self._read_end, self._write_end = os.pipe()
        self.engine_path = f"/dev/fd/{self._write_end}"
        self._thread = threading.Thread(target=self._pump, name="brinewick-upload", daemon=True)
        self._thread.start()

    def _pump(self) -> None:
        try:
            while chunk := os.read(self._read_end, 1 << 20):
                self._file.write(chunk)
        except BaseException as error:  # reported by finish()
            self.error = error
        finally:
            os.close(self._read_end)

    def finish(self, succeeded: bool) -> None:
        """Commits (or discards) the object; once only."""
        if self._write_end < 0:
            return
        os.close(self._write_end)
        self._write_end = -1
        self._thread.join()
        if succeeded and self.error is None:
            try:
                self._file.close()
                if self._direct:
                    self._file.commit()
                else:
                    self.fs.mv(self._written, self.path)
                return
            except BaseException as error:
                self.error = error
        self._discard()

    def _discard(self) -> None:
        try:
            if self._direct:
                self._file.discard()
                self._file.closed = True  # else its finaliser would flush what was thrown away
            else:
                self._file.close()
                self.fs.rm(self._written)
        except Exception:  # nothing was committed; a failed clean-up loses nothing
            pass


def upload_failure(outputs: List[RemoteOutput]) -> Optional[BaseException]:
    """The first upload's error, as an OSError naming its URL."""
    for output in outputs:
        if output.error is not None:
            named = as_os_error(output.error, output.url)
            if named is not output.error:
                named.__cause__ = output.error
            return named
    return None


def opener_of(source: RemoteInput) -> Callable[[], Any]:
    return source.open
