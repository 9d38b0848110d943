"""The `brinewick` command: salvage, sniff and inspect CSV files from a shell.

Exit status: 0 when no row was set aside, 1 when some were, 2 for a usage
error, 3 for an I/O error, 130 after Ctrl-C, 143 after SIGTERM. Errors are one line on standard
error; nothing is left half written.
"""

from __future__ import annotations

import errno
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Optional

import click

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


def salvage_options(command: Callable[..., Any]) -> Callable[..., Any]:
    """The six salvage options, as every subcommand that parses takes them."""
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
    }


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
    base = "stdin" if source == STDIO else os.path.basename(source)
    stem, ext = os.path.splitext(base)
    return stem if ext.lower() in (".csv", ".tsv", ".txt") else base


def _plan(files: tuple[str, ...], output: Optional[str], output_dir: Optional[str],
          quarantine: Optional[str], quarantine_dir: Optional[str],
          changes: Optional[str], changes_dir: Optional[str]) -> list[Job]:
    def side(path: Optional[str], folder: Optional[str], source: str, suffix: str) -> Optional[str]:
        if path is not None:
            return path
        if folder is not None:
            return os.path.join(folder, _stem(source) + suffix)
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
            out = os.path.join(output_dir, _stem(source) + ".csv")
        elif source == STDIO:
            out = STDIO
        else:
            out = os.path.join(os.path.dirname(source), _stem(source) + ".clean.csv")
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
    status: int = EXIT_IO  # with an error


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
        return Outcome(job, error=_io_message(error, job.input_path))
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


def _table(outcomes: list[Outcome]) -> str:
    header = ["file", "rows", "changed", "set aside", "delimiter", "columns", "changes"]
    body = []
    for o in outcomes:
        if o.summary is None:
            body.append([o.job.label, "-", "-", "-", "-", "-", "failed"])
            continue
        s = o.summary
        kinds = ", ".join(f"{k} {n}" for k, n in s.changes.items() if n) or "none"
        body.append([o.job.label, str(s.total_rows), str(s.changed_rows), str(s.quarantined_rows),
                     repr(s.detected_delimiter), str(s.inferred_columns), kinds])
    widths = [max(len(r[i]) for r in [header, *body]) for i in range(len(header))]
    numeric = {1, 2, 3, 5}

    def line(cells: list[str]) -> str:
        return "  ".join(c.rjust(w) if i in numeric else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(header), line(["-" * w for w in widths]), *map(line, body)])


@main.command("salvage")
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
@click.option("--json", "as_json", is_flag=True, help="One JSON object per file instead of a table.")
@click.option("--quiet", is_flag=True, help="No progress bars and no table.")
@salvage_options
def salvage_command(files: tuple[str, ...], output: Optional[str], output_dir: Optional[str],
                    quarantine: Optional[str], quarantine_dir: Optional[str], changes: Optional[str],
                    changes_dir: Optional[str], jobs: Optional[int], as_json: bool, quiet: bool,
                    **kwargs: Any) -> None:
    """Salvage each FILE into a clean CSV.

    By default the clean CSV of data.csv is data.clean.csv beside it; a FILE
    of '-' reads standard input and writes standard output. Several files run
    in parallel. Exit status 1 means some rows were set aside.
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
        if folder is not None and not os.path.isdir(folder):
            _fail(f"cannot write {folder!r}: No such directory")
            sys.exit(EXIT_IO)

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
            except BaseException:
                # Every running salvage stops at its next progress call and
                # removes its temporaries before the command exits.
                stop.set()
                pool.shutdown(wait=True, cancel_futures=True)
                raise
            pool.shutdown()
    except (KeyboardInterrupt, Cancelled) as error:
        progress.close()
        _fail("interrupted; nothing was written")
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
        for o in outcomes:
            if o.summary is not None:
                outputs = {"clean": o.job.output, "quarantine": o.job.quarantine,
                           "changes": o.job.changes}
                record = {"file": o.job.label, "outputs": outputs, **o.summary.to_dict()}
                lines.append(json.dumps(record))
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
def sniff_command(files: tuple[str, ...], sample_bytes: int, as_json: bool) -> None:
    """Guess the dialect of each FILE from its first bytes.

    Delimiter, column count, whether the first row looks like a header, line
    endings, byte-order mark and how much is not valid UTF-8.
    """
    from ._damage import sniff_file

    status = EXIT_OK
    for name in files:
        try:
            result = sniff_file(_stdin_path() if name == STDIO else name, sample_bytes=sample_bytes)
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
            ("header", "yes" if result.has_header else "no"), ("line endings", result.line_endings),
            ("byte-order mark", "yes" if result.bom else "no"),
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

    Counts by change kind and by reason, the first rows set aside with their
    lines, and where in the file the damage sits.
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


def _text_report(report: Any) -> str:
    s = report.summary
    lines = [
        f"{report.path}: {s.total_rows} rows, {s.changed_rows} changed, "
        f"{s.quarantined_rows} set aside; delimiter {s.detected_delimiter!r}, "
        f"{s.inferred_columns} columns",
        "",
        "changes by kind:",
        *(f"  {kind:<18}{n}" for kind, n in s.changes.items()),
    ]
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
        lines += ["", "damage along the file (start to end):", f"  |{strip}|"]
    return "\n".join(lines)
