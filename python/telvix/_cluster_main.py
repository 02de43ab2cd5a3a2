"""The shell entry of telvix.cluster: python3 -m telvix.cluster, and telvix smooth --scheduler."""

from __future__ import annotations

import argparse
import logging
import math
import os
import sys
import tempfile
from typing import Callable, Optional, Sequence

import telvix
from telvix import Frame, Summary
from telvix.cluster import _OPTIONS, ClusterError, smooth_shot


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line, exit status 2, as the command's usage errors
        raise _UsageError(message)


def _decimal(low: int) -> Callable[[str], int]:
    """A decimal number of at least `low`; telvix checks the upper bounds with its messages."""
    def convert(text: str) -> int:
        if not text.isdigit() or int(text) < low:
            raise argparse.ArgumentTypeError(
                "'{}' is not a decimal number of {} or more".format(text, low))
        return int(text)

    return convert


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not math.isfinite(value) or value < 0 or text.strip() != text:
        raise argparse.ArgumentTypeError("'{}' is not a number of seconds".format(text))
    return value


def _parser() -> _Parser:
    parser = _Parser(
        prog="python3 -m telvix.cluster",
        description="Smooths a frame sequence on a Dask cluster, a chunk of frames per task. "
                    "Takes the options of 'telvix smooth'; every worker needs telvix installed "
                    "and must see INPUT and OUTPUT at the same paths.")
    parser.add_argument("input", metavar="INPUT", help="frame pattern to read (shot.####.png)")
    parser.add_argument("output", metavar="OUTPUT", help="frame pattern or folder to write")
    parser.add_argument("--scheduler", required=True, metavar="URL",
                        help="the Dask scheduler, e.g. tcp://render1:8786")
    parser.add_argument("--chunk", type=_decimal(1), default=10,
                        metavar="N", help="frames per task (default 10)")
    parser.add_argument("--wait-timeout", type=_seconds, default=60.0, metavar="SECONDS",
                        help="give up after this long without a worker (default 60)")
    parser.add_argument("--report", metavar="FILE",
                        help="write what became of each frame to this JSON file")
    parser.add_argument("--frames", metavar="LIST",
                        help="frames to smooth, e.g. 1001-1100 (default: the frames on disk)")
    parser.add_argument("--tolerance", type=_decimal(0), metavar="N")
    parser.add_argument("--key", metavar="RRGGBB")
    parser.add_argument("--extent", metavar="L,T,R,B")
    parser.add_argument("--depth", type=_decimal(0), metavar="BITS")
    parser.add_argument("--jobs", "-j", type=_decimal(0), metavar="N",
                        help="frames each worker smooths at once (default: its cores divided "
                             "by its threads)")
    parser.add_argument("--threads", type=_decimal(0), metavar="N")
    parser.add_argument("--compression", metavar="VALUE")
    parser.add_argument("--drop-alpha", action="store_true")
    parser.add_argument("--clip", action="store_true")
    # A cluster always resumes and always keeps going; the flags are taken for the command's
    # sake.
    parser.add_argument("--skip-existing", action="store_true", help="always on")
    parser.add_argument("--keep-going", action="store_true", help="always on")
    parser.add_argument("--plugin", metavar="PATH", help=argparse.SUPPRESS)
    loudness = parser.add_mutually_exclusive_group()
    loudness.add_argument("--quiet", "-q", action="store_true", help="print errors only")
    loudness.add_argument("--verbose", "-v", action="store_true",
                          help="print one line per frame")
    return parser


def _error(message: str) -> None:
    print("telvix: error: {}".format(message), file=sys.stderr, flush=True)


def _check_report(report: str, args) -> None:
    """Refuses (ValueError), before any work, a report that could not be written or would
    replace a file of the shot."""
    if os.path.isdir(report):
        raise ValueError("--report: '{}' is a folder; name a file".format(report))
    folder = os.path.dirname(report) or "."
    if not os.path.isdir(folder):
        raise ValueError("--report: the folder '{}' does not exist".format(folder))
    # The report replaces its name by a rename: only the same name in the same folder is the
    # same file.
    name = os.path.basename(report)
    target = os.path.join(os.path.realpath(folder), name)
    planned, missing, _, _ = telvix._telvix.plan(os.path.abspath(args.input),
                                                 os.path.abspath(args.output), args.frames)
    for _, source, output in list(planned) + list(missing):
        for path in (source, output):
            if (os.path.basename(path) == name and
                    os.path.join(os.path.realpath(os.path.dirname(path)), name) == target):
                raise ValueError("--report: '{}' is a file of the run ('{}')".format(
                    report, path))


def _write_report(report: str, summary: Summary) -> bool:
    """Writes the summary's JSON to a temporary file beside `report`, then renames it into
    place: a run ended at any moment leaves the old report or the new one, never half."""
    folder = os.path.dirname(report) or "."
    handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(report) + ".",
                                         suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="ascii") as out:
            out.write(summary.to_json())
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, report)
        temporary = ""
        return True
    except OSError as error:
        _error("--report: cannot write '{}': {}".format(report, error.strerror or error))
        return False
    finally:
        if temporary:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _report_frames(frames: Sequence[Frame]) -> None:
    """One line per frame written or skipped, as the command's --verbose prints them."""
    for frame in frames:
        if frame.status == "written":
            print("{}: {} -> {} ({:.2f} s)".format(frame.label, frame.input, frame.output,
                                                   frame.seconds))
        elif frame.status == "skipped":
            print("{}: skipped, '{}' exists".format(frame.label, frame.output))
    sys.stdout.flush()


def _quiet_dask() -> None:
    """Keeps Dask's own logging (reconnection attempts, tracebacks of lost connections) off
    the terminal: what matters is said in telvix's own lines. telvix.cluster's warnings are
    printed as "telvix: MESSAGE"."""
    for name in ("distributed", "tornado", "asyncio"):
        logger = logging.getLogger(name)
        logger.handlers[:] = [logging.NullHandler()]
        logger.propagate = False
    ours = logging.getLogger("telvix.cluster")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("telvix: %(message)s"))
    ours.handlers[:] = [handler]
    ours.propagate = False


def _failures(summary: Summary) -> None:
    for frame in summary.failed:
        host = " (worker {})".format(frame.host) if frame.host else ""
        _error("{}: {}{}".format(frame.label, frame.error, host))


def run(argv: Optional[Sequence[str]] = None) -> int:
    """telvix.cluster.main: the shell entry's run and its exit status."""
    try:
        args = _parser().parse_args(argv)
        if args.plugin is not None:
            raise _UsageError("--plugin cannot be used with --scheduler: each worker loads the "
                              "plug-in installed on it")
    except _UsageError as error:
        _error("{} (see python3 -m telvix.cluster --help)".format(error))
        return 2
    options = {name: getattr(args, name) for name in _OPTIONS
               if getattr(args, name) is not None and getattr(args, name) is not False}
    if options.get("jobs") == 0:
        del options["jobs"]  # 0 asks for the default, as in the command

    terminal = sys.stderr.isatty() and not args.quiet

    def progress(done: int, total: int) -> None:
        if terminal:
            print("\rtelvix: {} of {} frames\x1b[K".format(done, total), end="",
                  file=sys.stderr, flush=True)

    def end_progress() -> None:
        if terminal:
            print(file=sys.stderr)

    try:
        if args.report is not None:
            _check_report(args.report, args)
    except ValueError as error:
        _error(str(error))
        return 2
    try:
        from distributed import Client
    except ImportError:
        _error("the Dask cluster needs python3-distributed (dask.distributed) installed")
        return 1
    _quiet_dask()
    if not args.quiet:
        logging.getLogger("telvix.cluster").setLevel(logging.WARNING)
    else:
        logging.getLogger("telvix.cluster").setLevel(logging.ERROR)
    summary = None
    try:
        try:
            client = Client(args.scheduler, timeout=30)
        except (OSError, TimeoutError, ValueError) as error:
            _error("cannot reach the scheduler {}: {}".format(
                args.scheduler, " ".join(str(error).split()) or type(error).__name__))
            return 1
        with client:
            try:
                summary = smooth_shot(client, args.input, args.output, frames=args.frames,
                                      chunk=args.chunk, progress=progress,
                                      wait_timeout=args.wait_timeout, **options)
                workers = len(client.scheduler_info().get("workers", {}))
            finally:
                end_progress()
    except KeyboardInterrupt as stop:
        if args.report is not None and getattr(stop, "summary", None) is not None:
            _write_report(args.report, stop.summary)
        _error("interrupted; chunks running on workers finish their frames, no partial files "
               "are left (running it again resumes)")
        return 130
    except ClusterError as error:
        if args.report is not None:
            _write_report(args.report, error.summary)
        _failures(error.summary)
        _error(str(error))
        return 1
    except ValueError as error:
        _error(str(error))
        return 2
    except (telvix.TelvixError, TypeError) as error:
        _error(str(error))
        return 1
    reported = args.report is None or _write_report(args.report, summary)
    if summary.gaps and not args.quiet:
        count = len(summary.gaps)
        print("telvix: warning: {} {} of '{}' {} missing; smoothing the {} found".format(
            "frame" if count == 1 else "frames", telvix._telvix.describe_frames(list(summary.gaps)),
            args.input, "is" if count == 1 else "are", summary.planned), file=sys.stderr)
    if args.verbose:
        _report_frames(summary.frames)
    _failures(summary)
    if summary.failed:
        _error("{} of {} frames failed".format(len(summary.failed), summary.planned))
        return 1
    if not summary.ok:
        # A chunk's run was stopped on its worker: the frames it had not reached are not listed.
        _error("{} of {} frames were not smoothed (a run on a worker was stopped); running it "
               "again resumes".format(summary.planned - len(summary.done) - len(summary.skipped),
                                     summary.planned))
        return 1
    if not args.quiet:
        fps = len(summary.done) / summary.seconds if summary.seconds > 0 else 0.0
        print("telvix: {} frames written{} in {:.1f} s ({:.1f} fps, {} {} of {})".format(
            len(summary.done),
            ", {} skipped".format(len(summary.skipped)) if summary.skipped else "",
            summary.seconds, fps, workers, "worker" if workers == 1 else "workers",
            args.scheduler), file=sys.stderr)
    return 0 if reported else 1
