"""Smoothing whole shots on a Dask cluster.

:func:`smooth_shot` plans a shot on the client, splits its frames into chunks and runs each
chunk on a worker with :func:`telvix.smooth_sequence`. A chunk writes every output to a
temporary file and renames it into place, and skips outputs that already read back whole, so
a chunk is safe to run again: the chunk of a worker that dies is simply run by another one, and
rerunning a whole shot resumes it.

From a shell::

    python3 -m telvix.cluster --scheduler tcp://HOST:8786 plates/sh.####.png out/sh.####.png

takes the options of ``telvix smooth`` (which hands the same command line here when given
``--scheduler``), plus ``--chunk N``.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import telvix
from telvix import Frame, Summary

__all__ = ["smooth_shot", "main"]

PathLike = Union[str, "os.PathLike[str]"]

# The smoothing options a chunk passes on to telvix.smooth_sequence.
_OPTIONS = ("tolerance", "key", "extent", "depth", "threads", "compression", "drop_alpha",
            "clip", "jobs")

def _absolute(path: str) -> str:
    """`path` made absolute from the current folder, a trailing '/' (a folder) kept."""
    absolute = os.path.abspath(path)
    if path.endswith(os.sep) and not absolute.endswith(os.sep):
        absolute += os.sep
    return absolute


def _failed(planned: Sequence[Tuple[int, str, str]], reason: Callable[[str], str]) -> Summary:
    """A summary of the planned (number, input, output) frames, all failed; `reason` gives the
    reason from the input's name."""
    frames = [Frame(number, "frame {}".format(number), source, target, "failed", reason(source))
              for number, source, target in planned]
    return Summary(tuple(frames), len(frames))


def _worker_jobs() -> int:
    """Frames a chunk smooths at once on this worker: its cores shared among its threads."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        from distributed import get_worker

        nthreads = get_worker().nthreads
    except (ImportError, ValueError, AttributeError):
        nthreads = 1
    return max(1, cores // max(1, nthreads))


def _smooth_chunk(src: str, dst: str, numbers: List[int], options: Dict[str, object]) -> Summary:
    """Smooths one chunk's frames on a worker; runs the same way however often it is run."""
    options = dict(options)
    if options.get("jobs") is None:
        options["jobs"] = _worker_jobs()
    return telvix.smooth_sequence(src, dst, frames=numbers, skip_existing=True, keep_going=True,
                                  **options)


def _span(numbers: Sequence[int]) -> str:
    return str(numbers[0]) if len(numbers) == 1 else "{}-{}".format(numbers[0], numbers[-1])


def _reason(error: BaseException, numbers: Sequence[int]) -> str:
    """Why a chunk's task failed, in one line."""
    from distributed import KilledWorker

    if isinstance(error, KilledWorker):
        return ("the cluster gave up on the chunk of frames {}: the workers running it died"
                .format(_span(numbers)))
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    text = "; ".join(lines) if lines else "no message"
    return "the chunk of frames {} failed on the cluster: {}: {}".format(
        _span(numbers), type(error).__name__, text)


def smooth_shot(client, src_pattern: PathLike, dst_pattern: PathLike,
                frames: Union[None, str, Sequence[int]] = None, chunk: int = 10,
                progress: Optional[Callable[[int, int], None]] = None,
                **options) -> Summary:
    """Smooth a shot on a Dask cluster, a chunk of frames per task.

    The shot is planned on the client; each chunk runs :func:`telvix.smooth_sequence` on a
    worker with ``skip_existing=True`` and ``keep_going=True``. Outputs appear only once whole
    (written to a hidden temporary file, then renamed), and a chunk skips the outputs that
    already read back whole, so Dask may run a chunk again: the chunk of a worker that dies is
    run by another worker, and running a shot again resumes it.

    Parameters
    ----------
    client : distributed.Client
        The cluster to run on. Every worker needs telvix installed and must see the input and
        output files at the same paths as the client (shared storage).
    src_pattern, dst_pattern : str or os.PathLike
        Frame patterns (``shot.####.png`` or ``shot.%04d.png``); ``dst_pattern`` may also be a
        folder, which takes the input's file names. Relative paths are made absolute here,
        from the client's current folder, and the frames are named so in the summary.
    frames : str or sequence of int, optional
        The frames to smooth: ``"1001-1100"``, ``"1-10,20"``, ``"1-99x2"`` or a list of
        numbers. Default: the frames found on disk (seen from the client).
    chunk : int
        Frames per task (at least 1). Default 10.
    progress : callable, optional
        Called on the client as ``progress(done, total)`` each time a chunk ends, with the
        frames ended so far (frames missing from disk count as ended from the start).
    **options
        ``tolerance``, ``key``, ``extent``, ``depth``, ``threads``, ``compression``,
        ``drop_alpha`` and ``clip`` as for :func:`telvix.smooth_sequence`, and ``jobs``: frames
        each chunk smooths at once on its worker. Default: the worker's cores divided by its
        threads, at least 1.

    Returns
    -------
    telvix.Summary
        Every frame asked for, written, skipped or failed with its reason; ``seconds`` is the
        wall time of the whole shot. Frames asked for but missing fail with "cannot read
        'PATH': no such file"; a frame that fails is reported, never retried. A chunk that the
        cluster gives up on (``distributed.KilledWorker`` once its workers died too often, or
        any other exception of its task) fails each of its frames with the reason in one line.
        ``gaps`` lists the holes in the numbering found on disk.

    Raises
    ------
    ValueError
        For a folder or a single image instead of a frame pattern, a malformed pattern, frame
        list or option, and outputs that would overwrite inputs (the ``telvix`` command's
        messages). Options are checked by the first chunk that runs: its ValueError ends the
        shot.
    TypeError
        For an option telvix does not know.
    FileError
        When no input frame matches the pattern.
    KeyboardInterrupt
        On Ctrl-C: the chunks not yet started are cancelled; chunks running on workers finish
        their frames (every output they leave is whole).

    Examples
    --------
    >>> from distributed import Client
    >>> import telvix.cluster
    >>> with Client("tcp://render1:8786") as client:  # doctest: +SKIP
    ...     summary = telvix.cluster.smooth_shot(client, "plates/sh.####.png",
    ...                                          "smooth/sh.####.png", frames="1001-1100")
    >>> summary.ok  # doctest: +SKIP
    True
    """
    started = time.perf_counter()
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError("smooth_shot() got an unexpected keyword argument '{}'".format(
            unknown[0]))
    if isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1:
        raise ValueError("chunk: {!r} is not a number of frames (1 or more)".format(chunk))
    # Workers have working folders of their own: they are given absolute paths.
    src, dst = _absolute(os.fspath(src_pattern)), _absolute(os.fspath(dst_pattern))
    if frames is not None and not isinstance(frames, str):
        frames = ",".join(str(int(f)) for f in frames)
        if not frames:
            raise ValueError("--frames: the list is empty")
    planned, missing, pattern, gaps = telvix._telvix.plan(src, dst, frames)
    if not pattern:
        raise ValueError("INPUT '{}' is not a frame pattern; a cluster smooths frame patterns "
                         "(shot.####.png or shot.%04d.png), not folders or single images"
                         .format(src))
    missing = sorted(missing)

    total = len(planned) + len(missing)
    # Frames asked for but missing fail as the command fails them with --keep-going.
    summaries = [_failed(missing, lambda source: "cannot read '{}': no such file".format(source))]
    summaries[0] = dataclasses.replace(summaries[0], gaps=tuple(gaps))

    chunks = [planned[i:i + chunk] for i in range(0, len(planned), chunk)]
    futures = [client.submit(_smooth_chunk, src, dst, [number for number, _, _ in part],
                             dict(options), pure=False)
               for part in chunks]
    which = {future.key: part for future, part in zip(futures, chunks)}
    done = len(missing)
    try:
        from distributed import as_completed

        for future in as_completed(futures):
            part = which[future.key]
            try:
                summary = future.result()
            except (ValueError, TypeError):
                # A malformed request fails every chunk alike: it is the caller's error.
                raise
            except Exception as error:  # noqa: BLE001 (any failure of the task, reported)
                reason = _reason(error, [number for number, _, _ in part])
                summary = _failed(part, lambda _source: reason)
            summaries.append(summary)
            done += len(part)
            if progress is not None:
                progress(done, total)
    except BaseException:
        client.cancel(futures)
        raise
    return Summary.merge(summaries, time.perf_counter() - started)


# The shell entry: python3 -m telvix.cluster, and telvix smooth --scheduler.

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


def _report_frames(frames: Sequence[Frame]) -> None:
    """One line per frame written or skipped, as the command's --verbose prints them."""
    for frame in frames:
        if frame.status == "written":
            print("{}: {} -> {} ({:.2f} s)".format(frame.label, frame.input, frame.output,
                                                   frame.seconds))
        elif frame.status == "skipped":
            print("{}: skipped, '{}' exists".format(frame.label, frame.output))
    sys.stdout.flush()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs ``python3 -m telvix.cluster`` with `argv` (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        0 when every frame was written or skipped, 1 when any failed or was missing, 2 for a
        usage error, 130 after Ctrl-C.
    """
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

    try:
        from distributed import Client
    except ImportError:
        _error("the Dask cluster needs python3-distributed (dask.distributed) installed")
        return 1
    try:
        try:
            client = Client(args.scheduler, timeout=30)
        except (OSError, TimeoutError, ValueError) as error:
            _error("cannot reach the scheduler {}: {}".format(
                args.scheduler, " ".join(str(error).split()) or type(error).__name__))
            return 1
        with client:
            summary = smooth_shot(client, args.input, args.output, frames=args.frames,
                                  chunk=args.chunk, progress=progress, **options)
            workers = len(client.scheduler_info().get("workers", {}))
    except KeyboardInterrupt:
        if terminal:
            print(file=sys.stderr)
        _error("interrupted; chunks running on workers finish their frames, no partial files "
               "are left (running it again resumes)")
        return 130
    except ValueError as error:
        if terminal:
            print(file=sys.stderr)
        _error(str(error))
        return 2
    except (telvix.TelvixError, TypeError) as error:
        if terminal:
            print(file=sys.stderr)
        _error(str(error))
        return 1
    if terminal:
        print(file=sys.stderr)
    if summary.gaps and not args.quiet:
        count = len(summary.gaps)
        print("telvix: warning: {} {} of '{}' {} missing; smoothing the {} found".format(
            "frame" if count == 1 else "frames", telvix._telvix.describe_frames(list(summary.gaps)),
            args.input, "is" if count == 1 else "are", summary.planned), file=sys.stderr)
    if args.verbose:
        _report_frames(summary.frames)
    for frame in summary.failed:
        _error("{}: {}".format(frame.label, frame.error))
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
