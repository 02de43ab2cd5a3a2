"""Smoothing whole shots on a Dask cluster.

:func:`smooth_shot` plans a shot on the client, splits its frames into chunks and runs each
chunk on a worker with :func:`telvix.smooth_sequence`. A chunk writes every output to a
temporary file and renames it into place, and skips outputs that already read back whole, so
a chunk is safe to run again: the chunk of a worker that dies is simply run by another one, and
rerunning a whole shot resumes it.

From a shell::

    python3 -m telvix.cluster --scheduler tcp://HOST:8786 plates/sh.####.png out/sh.####.png

takes the options of ``telvix smooth`` (which hands the same command line here when given
``--scheduler``), plus ``--chunk N`` and ``--wait-timeout SECONDS``.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import logging
import os
import sys
import time
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import telvix
from telvix import Summary, TelvixError
from telvix._chunks import _failed, _found_whole, _reason, _run_chunk, _worker_jobs

__all__ = ["smooth_shot", "ClusterError", "main"]

PathLike = Union[str, "os.PathLike[str]"]
_Planned = Tuple[int, str, str]

# The smoothing options a chunk passes on to telvix.smooth_sequence.
_OPTIONS = ("tolerance", "key", "extent", "depth", "threads", "compression", "drop_alpha",
            "clip", "jobs")

# Where smooth_shot says that it waits for workers (a warning; the shell entry prints it).
log = logging.getLogger("telvix.cluster")
# How long a shot goes without any worker before it says so, and how often it looks.
_NOTICE_AFTER = 2.0
_POLL = 0.5


class ClusterError(TelvixError):
    """The cluster could not finish a shot: no worker was there for ``wait_timeout`` seconds,
    or the scheduler was lost.

    Attributes
    ----------
    summary : telvix.Summary
        What the shot did, ``interrupted``: the frames whose chunks ended, and after a lost
        scheduler the frames whose outputs were found on disk, whole, as written. Frames not
        listed were not smoothed; running the shot again does them.
    """

    def __init__(self, message: str, summary: Summary):
        super().__init__(message)
        self.summary = summary


def _absolute(path: str) -> str:
    """`path` made absolute from the current folder, a trailing '/' (a folder) kept."""
    absolute = os.path.abspath(path)
    if path.endswith(os.sep) and not absolute.endswith(os.sep):
        absolute += os.sep
    return absolute


def _smooth_chunk(src: str, dst: str, numbers: List[int], options: Dict[str, object]) -> Summary:
    """Smooths one chunk's frames on a worker; runs the same way however often it is run."""
    options = dict(options)
    if options.get("jobs") is None:
        options["jobs"] = _worker_jobs()
    return telvix.smooth_sequence(src, dst, frames=numbers, skip_existing=True, keep_going=True,
                                  **options)


def _workers(client) -> int:
    return len(client.scheduler_info().get("workers", {}))


def smooth_shot(client, src_pattern: PathLike, dst_pattern: PathLike,
                frames: Union[None, str, Sequence[int]] = None, chunk: int = 10,
                progress: Optional[Callable[[int, int], None]] = None,
                wait_timeout: Optional[float] = 60.0, **options) -> Summary:
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
    wait_timeout : float or None
        Seconds the shot waits while the cluster has no worker (none joined yet, or the last
        one left) before it gives up with :class:`ClusterError`; None waits for ever. After
        2 s without a worker it logs a warning on the ``telvix.cluster`` logger. Default 60.
    **options
        ``tolerance``, ``key``, ``extent``, ``depth``, ``threads``, ``compression``,
        ``drop_alpha`` and ``clip`` as for :func:`telvix.smooth_sequence`, and ``jobs``: frames
        each chunk smooths at once on its worker. Default: the worker's cores divided by its
        threads, at least 1.

    Returns
    -------
    telvix.Summary
        Every frame asked for, written, skipped or failed with its reason, and the address of
        the worker that ran it as ``host``; ``seconds`` is the wall time of the whole shot.
        Frames asked for but missing fail with "cannot read 'PATH': no such file"; a frame that
        fails is reported, never retried. A chunk that the cluster gives up on
        (``distributed.KilledWorker`` once its workers died too often, or any other exception
        of its task) fails each of its frames with the reason in one line. ``gaps`` lists the
        holes in the numbering found on disk.

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
    ClusterError
        When no worker was there for ``wait_timeout`` seconds (the chunks not started are
        cancelled), or when the connection to the scheduler was lost (its tasks are then lost
        with it). Its ``summary`` holds what was done; frames found on disk whole count as
        written.
    KeyboardInterrupt
        On Ctrl-C: the chunks not yet started are cancelled; chunks running on workers finish
        their frames (every output they leave is whole). Its ``summary`` attribute holds the
        frames ended so far.

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
    if wait_timeout is not None and (isinstance(wait_timeout, bool) or
                                     not isinstance(wait_timeout, (int, float)) or
                                     not wait_timeout >= 0):
        raise ValueError("wait_timeout: {!r} is not a number of seconds (0 or more) or None"
                         .format(wait_timeout))
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
    shot = _Shot(client, len(planned) + len(missing), started, progress)
    # Frames asked for but missing fail as the command fails them with --keep-going.
    shot.summaries.append(dataclasses.replace(
        _failed(missing, lambda source: "cannot read '{}': no such file".format(source)),
        gaps=tuple(gaps)))
    shot.ended = len(missing)
    chunks = [planned[i:i + chunk] for i in range(0, len(planned), chunk)]
    return shot.run(chunks, src, dst, options, wait_timeout)


class _Shot:
    """The client's side of one shot: its chunks' tasks, and what ended so far."""

    def __init__(self, client, total: int, started: float, progress):
        self.client = client
        self.total = total
        self.started = started
        self.progress = progress
        self.summaries: List[Summary] = []
        self.ended = 0
        self.address = client.scheduler.address

    def summary(self, interrupted: bool = False) -> Summary:
        """What ended so far; `interrupted`: of a shot that ends before all its chunks."""
        summary = Summary.merge(self.summaries, time.perf_counter() - self.started)
        if interrupted:
            summary = dataclasses.replace(summary, planned=self.total, interrupted=True)
        return summary

    def stopped(self, message: str) -> ClusterError:
        summary = self.summary(True)
        finished = len(summary.done) + len(summary.skipped)
        return ClusterError("{}; {} of {} frames are done, running it again resumes the shot"
                            .format(message, finished, self.total), summary)

    def collect(self, future, part: List[_Planned]) -> bool:
        """Takes a chunk's result; False when its result was lost with the connection to the
        scheduler (what it wrote is on disk, to be counted from the files)."""
        from distributed.comm import CommClosedError

        try:
            summary = future.result()
        except (ValueError, TypeError):
            # A malformed request fails every chunk alike: it is the caller's error.
            raise
        except CommClosedError:
            return False
        except Exception as error:  # noqa: BLE001 (any failure of the task, reported)
            reason = _reason(error, [number for number, _, _ in part])
            last = getattr(getattr(error, "last_worker", None), "address", None)
            summary = _failed(part, lambda _source: reason, last)
        self.summaries.append(summary)
        self.ended += len(part)
        if self.progress is not None:
            self.progress(self.ended, self.total)
        return True

    def run(self, chunks, src: str, dst: str, options, wait_timeout: Optional[float]) -> Summary:
        from distributed import wait

        client = self.client
        # The chunk's function goes with its task, so that a worker runs the one given here.
        futures = [client.submit(_run_chunk, _smooth_chunk, src, dst, part, dict(options),
                                 pure=False) for part in chunks]
        which = {future.key: part for future, part in zip(futures, chunks)}
        pending = set(futures)
        alone_since: Optional[float] = None
        told = seen = False
        cut_off: List[_Planned] = []  # chunks whose results went with the connection
        try:
            while pending or cut_off:
                if client.status != "running" or cut_off or \
                        any(f.cancelled() for f in pending):
                    # The client's tasks went with the connection; what the workers finished
                    # is on disk.
                    lost = sorted(cut_off + [frame for f in pending for frame in which[f.key]])
                    pending = set()
                    cut_off = []
                    self.summaries.append(_found_whole(lost))
                    raise self.stopped("lost the scheduler {}".format(self.address))
                try:
                    ended = wait(list(pending), timeout=_POLL, return_when="FIRST_COMPLETED")[0]
                except (TimeoutError, asyncio.TimeoutError, asyncio.CancelledError,
                        concurrent.futures.CancelledError):
                    ended = set()  # nothing ended yet, or the connection went (seen above)
                for future in ended:
                    if not future.cancelled():
                        pending.discard(future)
                        if not self.collect(future, which[future.key]):
                            cut_off.extend(which[future.key])
                if not pending or client.status != "running":
                    continue
                if _workers(client) > 0:
                    alone_since, told, seen = None, False, True
                    continue
                now = time.monotonic()
                alone_since = now if alone_since is None else alone_since
                if not told and now - alone_since >= _NOTICE_AFTER:
                    told = True
                    log.warning("waiting for a worker at %s: %s%s", self.address,
                                "the last one left" if seen else "none has joined yet",
                                "" if wait_timeout is None else
                                " (giving up after {:g} s)".format(wait_timeout))
                if wait_timeout is not None and now - alone_since >= wait_timeout:
                    raise self.stopped("no worker {} the scheduler {} {} {:g} s".format(
                        "was attached to" if seen else "joined", self.address,
                        "for" if seen else "in", wait_timeout))
        except BaseException as stop:
            if pending:
                try:
                    client.cancel(list(pending))
                except Exception:  # noqa: BLE001 (a client that lost its scheduler)
                    pass
            if isinstance(stop, KeyboardInterrupt):
                stop.summary = self.summary(True)
            raise
        return self.summary()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs ``python3 -m telvix.cluster`` with `argv` (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        0 when every frame was written or skipped, 1 when any failed or was missing, or the
        cluster could not finish the shot (no worker, scheduler lost), 2 for a usage error,
        130 after Ctrl-C.
    """
    from telvix._cluster_main import run

    return run(argv)


if __name__ == "__main__":
    sys.exit(main())
