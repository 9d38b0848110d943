"""The `brinewick` command: salvage, sniff and inspect CSV files from a shell.

Exit status: 0 when no row was set aside, 1 when some were, 2 for a usage
error, 3 for an I/O error, 130 after Ctrl-C, 143 after SIGTERM. Errors are one line on standard
error; nothing is left half written.
"""

from __future__ import annotations

import errno
import json
import os
import posixpath
import shutil
import signal
import stat
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Optional

import click

from . import _findings, _remote
from ._options import refuse_shared_targets

EXIT_OK, EXIT_SET_ASIDE, EXIT_USAGE, EXIT_IO, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
STDIO = "-"
STDOUT_NAME = "<stdout>"

# Errors only a write can meet: with the output written over the input they
# tell which side failed when both carry the same name.
_WRITE_ERRNOS = frozenset(
    getattr(errno, n) for n in ("ENOSPC", "EDQUOT", "EFBIG", "EROFS", "EPIPE") if hasattr(errno, n))


class Cancelled(Exception):
    """Raised from a progress callback to stop a salvage that Ctrl-C ended."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, stopping a salvage just as Ctrl-C does, temporaries removed."""


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated()


def _interrupted_status(error: BaseException) -> int:
    return 128 + signal.SIGTERM if isinstance(error, Terminated) else EXIT_INTERRUPTED


def _fail(message: str) -> None:
    click.echo(f"brinewick: {message}", err=True)


def _io_message(error: OSError, reading: str) -> str:
    """'cannot read 'x.csv': No such file or directory' and the like."""
    name = error.filename if error.filename is not None else reading
    name = os.fsdecode(name)
    # The engine marks a failure on an output; otherwise the errno tells.
    writing = getattr(error, "_brinewick_output", False) or error.errno in _WRITE_ERRNOS
    verb = "write" if writing or name != reading else "read"
    text = error.strerror or str(error)
    return f"cannot {verb} {name!r}: {text}"


def _json_object(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> Optional[dict[str, Any]]:
    if value is None:
        return None
    try:
        parsed = json.loads(value)
    except ValueError as error:
        raise click.BadParameter(f"not JSON: {error}") from None
    if not isinstance(parsed, dict):
        raise click.BadParameter("must be a JSON object")
    return parsed


_storage_options_flag = click.option(
    "--storage-options", metavar="JSON", default=None, callback=_json_object,
    help="fsspec options for FILEs and outputs that are URLs (s3://, gs://, https://, ...), as a "
         "JSON object, e.g. '{\"anon\": true}'. fsspec's FSSPEC_<PROTOCOL>_<OPTION> variables work too.")


def salvage_options(command: Callable[..., Any]) -> Callable[..., Any]:
    """The seven salvage options, as every subcommand that parses takes them."""
    options = [
        click.option("--delimiter", "-d", metavar="CHAR", default=None,
                     help="Field delimiter (sniffed among , ; tab | when not given). "
                          "Write 'tab' or '\\t' for a tab."),
        click.option("--quote-char", "-q", metavar="CHAR", default='"', show_default=True,
                     help="Quote character."),
        click.option("--no-fill-ragged-rows", "fill_ragged_rows", is_flag=True, flag_value=False,
                     default=True, help="Set short rows aside instead of padding them."),
        click.option("--no-merge-overflow", "merge_overflow", is_flag=True, flag_value=False,
                     default=True, help="Set long rows aside instead of merging their surplus "
                                        "fields into the last column."),
        click.option("--expected-columns", "-c", type=click.IntRange(min=0), default=None,
                     metavar="N", help="Column count (inferred when not given; 0 turns the width "
                                       "check off)."),
        click.option("--no-repair-quotes", "repair_quotes", is_flag=True, flag_value=False,
                     default=True, help="Take every quote inside a quoted field as closing it."),
        click.option("--repair", type=click.Choice(["columns", "literal"]), default="columns",
                     show_default=True,
                     help="'columns': read a row that does not fit the other ways its bytes allow and "
                          "keep the one of the right width; 'literal': the fixed rules' rows only."),
        click.option("--blank-lines", type=click.Choice(["skip", "keep"]), default="skip",
                     show_default=True,
                     help="'skip': leave blank lines out (each recorded as a blank_line change); "
                          "'keep': write each as a row of empty fields."),
        click.option("--header-row", type=click.IntRange(min=0), default=None, metavar="N",
                     help="0-based line of the header; the lines above it are set aside as preamble "
                          "(default: look for it below titles and notes; 0: the first line)."),
        click.option("--skip-rows", type=click.IntRange(min=0), default=0, metavar="N",
                     help="Set the first N lines aside as preamble."),
        click.option("--comment", metavar="CHAR", default=None,
                     help="Set rows that begin with CHAR aside as comments."),
        click.option("--repeated-headers", type=click.Choice(["skip", "keep"]), default="skip",
                     show_default=True,
                     help="'skip': set a later row equal to the header aside (files joined end to end); "
                          "'keep': keep it as a row."),
        click.option("--encoding", "-e", metavar="NAME", default="auto", show_default=True,
                     help="The input's encoding: auto (BOM, UTF-16/32 by their NUL bytes, else UTF-8 "
                          "with a fallback for lines that are not), utf-8, or any name iconv knows "
                          "(gbk, shift_jis, latin1...)."),
        click.option("--fallback-encoding", metavar="NAME", default="cp1252", show_default=True,
                     help="For lines of a UTF-8 file that are not UTF-8: cp1252, latin-1, or 'none' "
                          "(U+FFFD)."),
        _storage_options_flag,
    ]
    for option in reversed(options):
        command = option(command)
    return command


def _dialect(kwargs: dict[str, Any]) -> dict[str, Any]:
    delimiter = kwargs.pop("delimiter")
    if delimiter in ("tab", "\\t"):
        delimiter = "\t"
    return {
        "delimiter": delimiter,
        "quote_char": kwargs.pop("quote_char"),
        "fill_ragged_rows": kwargs.pop("fill_ragged_rows"),
        "merge_overflow": kwargs.pop("merge_overflow"),
        "expected_columns": kwargs.pop("expected_columns"),
        "repair_quotes": kwargs.pop("repair_quotes"),
        "repair": kwargs.pop("repair"),
        "blank_lines": kwargs.pop("blank_lines"),
        "header_row": kwargs.pop("header_row"),
        "skip_rows": kwargs.pop("skip_rows"),
        "comment": kwargs.pop("comment"),
        "repeated_headers": kwargs.pop("repeated_headers"),
        "storage_options": kwargs.pop("storage_options", None),
        **_encoding(kwargs),
    }


def _encoding(kwargs: dict[str, Any]) -> dict[str, Any]:
    fallback = kwargs.pop("fallback_encoding")
    return {"encoding": kwargs.pop("encoding"),
            "fallback_encoding": None if fallback.lower() == "none" else fallback}


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="brinewick", prog_name="brinewick")
def main() -> None:
    """Rescue CSV files that strict parsers reject.

    brinewick settles the delimiter and the column count, pads short rows,
    merges overflowing ones, sets aside what cannot be fixed (with its line
    and the reason) and writes a clean CSV that strict parsers accept.
    """
    signal.signal(signal.SIGTERM, _terminate)
    _CLOSED.update(_hold_closed_standard_streams())
    if 1 in _CLOSED:
        _fail(f"cannot write {STDOUT_NAME!r}: {os.strerror(errno.EBADF)}")
        sys.exit(EXIT_IO)


# Standard streams the command was started without (`>&-`).
_CLOSED: set[int] = set()


def _hold_closed_standard_streams() -> set[int]:
    """Put /dev/null on each of descriptors 0-2 that is closed, and say which were.

    Otherwise the next file opened would take the number, and what is meant
    for standard output would land in it.
    """
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            held = os.open(os.devnull, os.O_RDONLY if fd == 0 else os.O_WRONLY)
            if held != fd:
                os.dup2(held, fd)
                os.close(held)
    return closed


def _stdin_path() -> str:
    if 0 in _CLOSED:
        _fail(f"cannot read '<stdin>': {os.strerror(errno.EBADF)}")
        sys.exit(EXIT_IO)
    return "/dev/stdin"


# -- salvage ------------------------------------------------------------------

@dataclass
class Job:
    source: str          # as given; "-" for standard input
    output: str          # path, or "-" for standard output
    quarantine: Optional[str]
    changes: Optional[str]

    @property
    def input_path(self) -> str:
        return "/dev/stdin" if self.source == STDIO else self.source

    @property
    def label(self) -> str:
        return "<stdin>" if self.source == STDIO else self.source


def _stem(source: str) -> str:
    base = "stdin" if source == STDIO else _url_aware(source).basename(source.rstrip("/"))
    stem, ext = os.path.splitext(base)
    return stem if ext.lower() in (".csv", ".tsv", ".txt") else base


def _url_aware(path: str) -> Any:
    """The path module for `path`: posixpath for a URL, os.path otherwise."""
    return posixpath if _remote.url_of(path) else os.path


def _plan(files: tuple[str, ...], output: Optional[str], output_dir: Optional[str],
          quarantine: Optional[str], quarantine_dir: Optional[str],
          changes: Optional[str], changes_dir: Optional[str]) -> list[Job]:
    def side(path: Optional[str], folder: Optional[str], source: str, suffix: str) -> Optional[str]:
        if path is not None:
            return path
        if folder is not None:
            return _url_aware(folder).join(folder, _stem(source) + suffix)
        return None

    several = len(files) > 1
    for flag, value in (("-o/--output", output), ("--quarantine", quarantine), ("--changes", changes)):
        if several and value is not None:
            raise click.UsageError(f"{flag} names one file; with several inputs use the -dir option")
    if files.count(STDIO) > 1:
        raise click.UsageError("standard input ('-') can be read once")
    jobs = []
    for source in files:
        if output is not None:
            out = output
        elif output_dir is not None:
            out = _url_aware(output_dir).join(output_dir, _stem(source) + ".csv")
        elif source == STDIO:
            out = STDIO
        else:
            where = _url_aware(source)
            out = where.join(where.dirname(source), _stem(source) + ".clean.csv")
        jobs.append(Job(source, out,
                        side(quarantine, quarantine_dir, source, ".quarantine.csv"),
                        side(changes, changes_dir, source, ".changes.csv")))
    try:
        refuse_shared_targets((p, j.label) for j in jobs for p in (j.output, j.quarantine, j.changes)
                              if p not in (None, STDIO))
    except ValueError as error:
        raise click.UsageError(str(error)) from None
    if sum(j.output == STDIO for j in jobs) > 1:
        raise click.UsageError("only one clean CSV can go to standard output")
    return jobs


class Progress:
    """Bars on standard error, one per file and one in total, on a terminal only."""

    def __init__(self, jobs: list[Job], enabled: bool) -> None:
        self.enabled = enabled
        self._lock = threading.Lock()
        self._bars: dict[int, Any] = {}
        self._done: dict[int, int] = {}
        self._total = None
        if not enabled:
            return
        from tqdm import tqdm

        self._tqdm = tqdm
        if len(jobs) > 1:
            self._total = tqdm(total=0, unit="B", unit_scale=True, desc="total",
                               position=0, file=sys.stderr, leave=True, dynamic_ncols=True)

    def callback(self, index: int, label: str, position: int,
                 stop: threading.Event) -> Callable[[int, Optional[int]], None]:
        def update(done: int, total: Optional[int]) -> None:
            if stop.is_set():
                raise Cancelled()
            if not self.enabled:
                return
            with self._lock:
                bar = self._bars.get(index)
                if bar is None:
                    bar = self._bars[index] = self._tqdm(
                        total=total, unit="B", unit_scale=True, desc=label, position=position,
                        file=sys.stderr, leave=True, dynamic_ncols=True)
                    if self._total is not None and total is not None:
                        self._total.total += total
                        self._total.refresh()
                step = done - self._done.get(index, 0)
                self._done[index] = done
                bar.update(step)
                if self._total is not None:
                    self._total.update(step)
        return update

    def close(self) -> None:
        with self._lock:
            for bar in self._bars.values():
                bar.close()
            if self._total is not None:
                self._total.close()


@dataclass
class Outcome:
    job: Job
    summary: Any = None
    error: Optional[str] = None
    errno: Optional[int] = None
    status: int = EXIT_IO  # with an error

    def to_dict(self) -> dict[str, Any]:
        """One line of `--json`: what became of the file, a failure included."""
        if self.summary is None:
            return {"file": self.job.label, "error": self.error, "errno": self.errno}
        outputs = {"clean": self.job.output, "quarantine": self.job.quarantine,
                   "changes": self.job.changes}
        return {"file": self.job.label, "outputs": outputs, "data_rows": data_rows(self.summary),
                **self.summary.to_dict()}


def data_rows(summary: Any) -> int:
    """Rows of the clean CSV below its header: what a DataFrame of it holds."""
    return max(summary.salvaged_rows - 1, 0)


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that nothing more goes to a
    stream that failed and the interpreter's final flush has nothing to say."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def _write_stdout(data: bytes) -> None:
    """Write `data` to standard output to its last byte.

    A short write (a nearly full disk, an unbuffered stream) is followed by
    another until the whole of it is taken or the system reports why not;
    the failure is an OSError naming standard output.
    """
    try:
        if sys.stdout is not None:
            sys.stdout.flush()  # whatever click buffered goes first
        view = memoryview(data)
        while view:
            written = os.write(1, view)
            if written == 0:
                raise OSError(errno.EIO, "the output took no bytes")
            view = view[written:]
    except OSError as error:
        _silence_stdout()
        raise OSError(error.errno, error.strerror or str(error), STDOUT_NAME) from None


def _echo(text: str) -> None:
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    _write_stdout((text + "\n").encode(encoding, "replace"))


def _as_flags(message: str) -> str:
    """A check's message with the Python option names as the command's flags."""
    return (message.replace("delimiter=", "--delimiter")
            .replace("delimiter and quote_char", "--delimiter and quote_char")
            .replace("quote_char", "--quote-char"))


def _copy_to_stdout(path: str) -> None:
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            _write_stdout(chunk)


def _run_job(job: Job, options: dict[str, Any], progress: Callable[[int, Optional[int]], None],
             jobs: Optional[int]) -> Outcome:
    from . import salvage

    scratch = None
    try:
        output = job.output
        if output == STDIO:
            # The clean CSV must be complete before any of it is shown, like a file.
            scratch = tempfile.mkdtemp(prefix="brinewick-")
            output = os.path.join(scratch, "clean.csv")
        summary = salvage(job.input_path, output, quarantine=job.quarantine, changes=job.changes,
                          progress=progress, jobs=jobs, **options)
        if scratch is not None:
            _copy_to_stdout(output)
        return Outcome(job, summary=summary)
    except OSError as error:
        return Outcome(job, error=_io_message(error, job.input_path), errno=error.errno)
    except ValueError as error:
        refused = _refused_input(error, job.input_path, job.label)
        if refused is None:
            raise
        return Outcome(job, error=refused, status=EXIT_USAGE)
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


def _refused_input(error: ValueError, path: str, label: str) -> Optional[str]:
    """The message of an input refused for what it is (a workbook, a zip of
    several members, ...), named as the user named it; None for other errors."""
    text = str(error)
    named = f"'{path}'"
    if not text.startswith(named):
        return None
    return f"'{label}'" + text[len(named):]


#: The columns of the salvage table, each with what it counts (also in --help).
TABLE_COLUMNS = (
    ("data rows", "rows of the clean CSV below its header"),
    ("changed", "of those and the header, rows with any change recorded"),
    ("refitted", "of the changed, rows padded or merged to the column count"),
    ("set aside", "rows put in the quarantine instead of the clean CSV"),
)


def _table(outcomes: list[Outcome]) -> str:
    header = ["file", *(name for name, _ in TABLE_COLUMNS), "delimiter", "columns", "encoding", "changes by kind"]
    body = []
    for o in outcomes:
        if o.summary is None:
            body.append([o.job.label, "-", "-", "-", "-", "-", "-", "failed"])
            continue
        s = o.summary
        kinds = ", ".join(f"{k} {n}" for k, n in s.changes.items() if n) or "none"
        body.append([o.job.label, str(data_rows(s)), str(s.changed_rows), str(s.repaired_rows),
                     str(s.quarantined_rows), repr(s.detected_delimiter), str(s.inferred_columns), s.encoding,
                     kinds])
    widths = [max(len(r[i]) for r in [header, *body]) for i in range(len(header))]
    numeric = {1, 2, 3, 4, 6}

    def line(cells: list[str]) -> str:
        return "  ".join(c.rjust(w) if i in numeric else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(header), line(["-" * w for w in widths]), *map(line, body)])


_TABLE_HELP = "\b\nThe table after a run, per file:\n" + "\n".join(
    f"  {name:<11}{meaning}" for name, meaning in TABLE_COLUMNS)


@main.command("salvage", epilog=_TABLE_HELP)
@click.argument("files", nargs=-1, required=True, metavar="FILE...")
@click.option("-o", "--output", metavar="OUT", help="Clean CSV of a single FILE ('-': standard output).")
@click.option("--output-dir", metavar="DIR", type=click.Path(file_okay=False),
              help="Folder for the clean CSVs, named after their inputs.")
@click.option("--quarantine", metavar="PATH", help="Rows set aside, with line and reason (one FILE).")
@click.option("--quarantine-dir", metavar="DIR", type=click.Path(file_okay=False),
              help="Folder for the quarantine files (NAME.quarantine.csv).")
@click.option("--changes", metavar="PATH", help="Every change made to a row (one FILE).")
@click.option("--changes-dir", metavar="DIR", type=click.Path(file_okay=False),
              help="Folder for the change records (NAME.changes.csv).")
@click.option("--jobs", "-j", type=click.IntRange(min=1), default=None, metavar="N",
              help="Threads to use, spread over the files (default: the cores this process may use).")
@click.option("--json", "as_json", is_flag=True,
              help="One JSON object per file instead of a table, a failed one as "
                   '{"file", "error", "errno"}.')
@click.option("--quiet", is_flag=True, help="No progress bars and no table.")
@salvage_options
def salvage_command(files: tuple[str, ...], output: Optional[str], output_dir: Optional[str],
                    quarantine: Optional[str], quarantine_dir: Optional[str], changes: Optional[str],
                    changes_dir: Optional[str], jobs: Optional[int], as_json: bool, quiet: bool,
                    **kwargs: Any) -> None:
    """Salvage each FILE into a clean CSV.

    By default the clean CSV of data.csv is data.clean.csv beside it; a FILE
    of '-' reads standard input and writes standard output. Several files run
    in parallel; missing output folders are created. Exit status 1 means
    some rows were set aside.
    """
    if output is not None and output_dir is not None:
        raise click.UsageError("give -o/--output or --output-dir, not both")
    if quarantine is not None and quarantine_dir is not None:
        raise click.UsageError("give --quarantine or --quarantine-dir, not both")
    if changes is not None and changes_dir is not None:
        raise click.UsageError("give --changes or --changes-dir, not both")
    options = _dialect(kwargs)
    plan = _plan(files, output, output_dir, quarantine, quarantine_dir, changes, changes_dir)
    if STDIO in files:
        _stdin_path()
    for folder in (output_dir, quarantine_dir, changes_dir):
        if folder is not None and not _remote.url_of(folder):
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as error:
                _fail(_io_message(error, ""))
                sys.exit(EXIT_IO)
    for job in plan:
        if _looks_like_json_file(job.source):
            _fail(f"warning: {job.label} looks like JSON, not CSV: its rows will be split at the commas "
                  "between keys (pandas.read_json or polars.read_ndjson read it)")

    stop = threading.Event()
    progress = Progress(plan, enabled=not quiet and sys.stderr.isatty())
    offset = 1 if len(plan) > 1 else 0
    callbacks = [progress.callback(i, j.label, i + offset, stop) for i, j in enumerate(plan)]
    workers = min(len(plan), jobs or len(os.sched_getaffinity(0)))
    try:
        if len(plan) == 1:
            # One file: the salvage runs on this thread, where Ctrl-C arrives.
            outcomes = [_run_job(plan[0], options, callbacks[0], jobs)]
        else:
            pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="brinewick")
            # The threads go to files first; one left over per file would
            # only make the files compete for the same cores.
            per_file = max(1, (jobs or len(os.sched_getaffinity(0))) // len(plan))
            futures = [pool.submit(_run_job, j, options, cb, per_file) for j, cb in zip(plan, callbacks)]
            try:
                outcomes = [f.result() for f in futures]
            except BaseException as error:
                # Every running salvage stops at its next progress call and
                # removes its temporaries before the command exits.
                stop.set()
                pool.shutdown(wait=True, cancel_futures=True)
                if isinstance(error, (KeyboardInterrupt, Cancelled)):
                    done = [j.label for j, f in zip(plan, futures)
                            if f.done() and not f.cancelled() and f.exception() is None]
                    progress.close()
                    _fail(_interrupted_message(done, len(plan)))
                    sys.exit(_interrupted_status(error))
                raise
            pool.shutdown()
    except (KeyboardInterrupt, Cancelled) as error:
        progress.close()
        _fail(_interrupted_message([], len(plan)))
        sys.exit(_interrupted_status(error))
    except ValueError as error:
        progress.close()
        raise click.UsageError(_as_flags(str(error))) from None
    progress.close()

    status = EXIT_OK
    for o in outcomes:
        if o.error is not None:
            _fail(o.error)
            status = max(status, o.status)
        elif (o.summary.quarantined_rows or o.summary.input_break) and status == EXIT_OK:
            status = EXIT_SET_ASIDE
        if o.summary is not None and o.summary.input_break:
            _fail(f"{o.job.label}: {o.summary.input_break}")
    lines = []
    if as_json:
        lines = [json.dumps(o.to_dict()) for o in outcomes]
    elif not quiet and any(o.summary is not None for o in outcomes):
        # A run in which every file failed has said all it has to in its errors.
        lines.append(_table(outcomes))
    if any(j.output == STDIO for j in plan):
        # Reports never mix into a clean CSV written to standard output.
        for line in lines:
            click.echo(line, err=True)
    else:
        _report(lines)
    sys.exit(status)


def _looks_like_json_file(source: str) -> bool:
    """Whether a local regular file opens as JSON does (what inspect warns of)."""
    if source == STDIO or _remote.url_of(source):
        return False
    try:
        if not stat.S_ISREG(os.stat(source).st_mode):
            return False
        with open(source, "rb") as f:
            return _findings.looks_like_json(f.read(4096))
    except OSError:
        return False  # the salvage says what is wrong with it


def _interrupted_message(done: list[str], total: int) -> str:
    """What Ctrl-C left of each file: the finished ones are in place."""
    if not done:
        return "interrupted; nothing was written"
    stopped = total - len(done)
    return (f"interrupted; {len(done)} file{'s' * (len(done) != 1)} done ({', '.join(done)}), "
            f"{stopped} stopped, nothing of {'it' if stopped == 1 else 'them'} written")


def _report(lines: list[str]) -> None:
    """Print on standard output; a failure there is an I/O error (exit 3)."""
    try:
        for line in lines:
            _echo(line)
    except OSError as error:
        _fail(_io_message(error, ""))
        sys.exit(EXIT_IO)


# -- sniff --------------------------------------------------------------------

@main.command("sniff")
@click.argument("files", nargs=-1, required=True, metavar="FILE...")
@click.option("--bytes", "sample_bytes", type=click.IntRange(min=1), default=1 << 20,
              show_default=True, help="How many leading bytes to look at.")
@click.option("--json", "as_json", is_flag=True, help="One JSON object per file.")
@click.option("--encoding", "-e", metavar="NAME", default="auto", show_default=True,
              help="The input's encoding, as for salvage.")
@click.option("--fallback-encoding", metavar="NAME", default="cp1252", show_default=True,
              help="For lines of a UTF-8 file that are not UTF-8, as for salvage.")
@_storage_options_flag
def sniff_command(files: tuple[str, ...], sample_bytes: int, as_json: bool, **kwargs: Any) -> None:
    """Guess the dialect of each FILE from its first bytes.

    Delimiter, column count, whether the first row looks like a header, line
    endings, byte-order mark and how much is not valid UTF-8.
    """
    from ._damage import sniff_file

    status = EXIT_OK
    for name in files:
        try:
            result = sniff_file(_stdin_path() if name == STDIO else name, sample_bytes=sample_bytes,
                                storage_options=kwargs.pop("storage_options", None),
                                **_encoding(dict(kwargs)))
        except OSError as error:
            _fail(_io_message(error, name))
            status = EXIT_IO
            continue
        except ValueError as error:
            raise click.UsageError(str(error)) from None
        if as_json:
            _report([json.dumps(result.to_dict())])
            continue
        lines = [f"{name}:"] if len(files) > 1 else []
        for key, value in (
            ("delimiter", repr(result.delimiter)), ("columns", result.columns),
            ("header", ("yes" if result.has_header else "no")
             + (f" (line {result.header_line}, below a preamble)" if result.header_line != 1 else "")),
            ("line endings", result.line_endings),
            ("confidence", f"{result.confidence:.0%} (how clearly the delimiter won)"),
            ("byte-order mark", "yes" if result.bom else "no"),
            ("encoding", result.encoding_note()),
            ("invalid UTF-8", f"{result.invalid_utf8_bytes} byte{'' if result.invalid_utf8_bytes == 1 else 's'}"
                              f" ({result.invalid_utf8_share:.3%})"),
            ("sample", f"first {result.sample_bytes} bytes"),
        ):
            lines.append(f"  {key:<16}{value}" if len(files) > 1 else f"{key:<16}{value}")
        _report(lines)
    sys.exit(status)


# -- inspect ------------------------------------------------------------------

@main.command("inspect")
@click.argument("file", metavar="FILE")
@click.option("--html", "html_path", metavar="REPORT", help="Also write the report as an HTML page.")
@click.option("--json", "as_json", is_flag=True, help="The report as one JSON object.")
@click.option("--show", type=click.IntRange(min=0), default=10, show_default=True,
              help="How many set-aside rows to list.")
@salvage_options
def inspect_command(file: str, html_path: Optional[str], as_json: bool, show: int, **kwargs: Any) -> None:
    """Report the damage in FILE without writing anything beside it.

    Warnings first (another encoding, a delimiter that barely won, a header
    that looks like data, a binary file, a field over many lines); then
    counts by change kind and by reason, each column's type, empty share
    and damaged cells, where in the file the damage sits (by line), a few
    examples of each change (line, the row as it was, the clean row), the
    first rows set aside, and the salvage command to run next.
    """
    from ._damage import inspect
    from ._report_html import render_html

    source = _stdin_path() if file == STDIO else file
    stop = threading.Event()
    progress = Progress([], enabled=sys.stderr.isatty() and not as_json)
    try:
        report = inspect(source, keep=show, progress=progress.callback(0, file, 0, stop),
                         **_dialect(kwargs))
    except KeyboardInterrupt as error:
        progress.close()
        _fail("interrupted")
        sys.exit(_interrupted_status(error))
    except ValueError as error:
        progress.close()
        raise click.UsageError(str(error)) from None
    except OSError as error:
        progress.close()
        _fail(_io_message(error, source))
        sys.exit(EXIT_IO)
    progress.close()
    if html_path is not None:
        try:
            _write_atomically(html_path, render_html(report))
        except OSError as error:
            _fail(_io_message(error, source))
            sys.exit(EXIT_IO)
    _report([json.dumps(report.to_dict()) if as_json else _text_report(report)])
    if report.summary.input_break:
        _fail(f"{file if file != STDIO else '<stdin>'}: {report.summary.input_break}")
    sys.exit(EXIT_SET_ASIDE if report.summary.quarantined_rows or report.summary.input_break else EXIT_OK)


def _write_atomically(path: str, text: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".brinewick-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _table_note(s: Any) -> str:
    """Where the table starts and what the table stage set aside, in words."""
    said = [f"header on line {s.header_line}"]
    names = {"preamble": "preamble line", "comment": "comment", "repeated_header": "repeated header",
             "nul_padding": "NUL-byte row", "reordered_header": "header in another order"}
    for reason, n in s.set_aside.items():
        if n:
            said.append(f"{n} {names[reason]}{'' if n == 1 else 's'} set aside")
    return "table: " + "; ".join(said)


def _text_report(report: Any) -> str:
    s = report.summary
    found = report.findings
    lines = [
        f"{report.path}: {data_rows(s)} data rows, {s.changed_rows} changed, "
        f"{s.quarantined_rows} set aside; delimiter {s.detected_delimiter!r}, "
        f"{s.inferred_columns} columns; encoding {s.encoding}"
        + (f", {s.undecodable} undecodable byte sequences" if s.undecodable else ""),
    ]
    if s.header_line != 1 or any(s.set_aside.values()):
        lines += ["", _table_note(s)]
    if found.warnings:
        lines += ["", "warnings:", *(f"  ! {w}" for w in found.warnings)]
    lines += ["", "changes by kind:", *(f"  {kind:<18}{n}" for kind, n in s.changes.items())]
    if found.columns:
        lines += ["", "columns:", _columns_table(found.columns)]
    elif found.columns_note:
        lines += ["", found.columns_note]
    if report.reasons:
        lines += ["", "set aside, by reason:", *(f"  {n:>8}  {r}" for r, n in report.reasons.items())]
    if report.first_set_aside:
        lines += ["", f"first {len(report.first_set_aside)} rows set aside:"]
        for r in report.first_set_aside:
            raw = r.raw if len(r.raw) <= 70 else r.raw[:69] + "…"
            lines.append(f"  line {r.line:<8}{r.reason}: {raw!r}")
    along = [sum(c.values()) + a for c, a in zip(report.changes_along, report.set_aside_along)]
    if any(along):
        peak = max(along)
        marks = " ▁▂▃▄▅▆▇█"
        strip = "".join(marks[0] if n == 0 else marks[max(1, round(8 * n / peak))] for n in along)
        first = found.lines_at[0] if found.lines_at else 1
        lines += ["", "damage along the file (start to end):", f"  |{strip}|"]
        if found.lines_at:
            lines.append(f"  line {first}{' ' * max(1, len(strip) - 8 - len(str(first)) - len(str(found.lines_at[-1])))}"
                         f"line {found.lines_at[-1]}")
    if found.worst:
        lines += ["", "worst stretches:"]
        for w in found.worst:
            kinds = ", ".join(f"{k} {n}" for k, n in w.kinds.items())
            lines.append(f"  {f'lines {w.first_line}-{w.last_line}':<24}{w.damage:>6}  {kinds}")
    if found.examples:
        lines += ["", "examples of each change:"]
        for kind, examples in found.examples.items():
            lines.append(f"  {kind}:")
            for e in examples:
                lines += [f"    line {e.line}: {e.detail}", f"      was  {_clip(e.raw)}", f"      now  {_clip(e.clean)}"]
    if found.next_step:
        lines += ["", "next step:", f"  {found.next_step}"]
    return "\n".join(lines)


def _clip(text: str, width: int = 90) -> str:
    """One line of a row for a terminal: breaks and controls shown escaped."""
    shown = repr(text)[1:-1]
    return shown if len(shown) <= width else shown[:width - 1] + "…"


def _columns_table(columns: list[Any]) -> str:
    header = ["column", "type", "empty", "padded", "merged", "off type"]
    body = [[repr(c.name) if c.name != c.name.strip() or not c.name.isprintable() else c.name, c.type,
             f"{c.empty_share:.1%}", str(c.padded), str(c.merged),
             f"{c.off_type} not {c.near_type}" if c.near_type and c.off_type else "-"] for c in columns]
    widths = [max(len(r[i]) for r in [header, *body]) for i in range(len(header))]
    return "\n".join("  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip()
                     for row in [header, *body])
