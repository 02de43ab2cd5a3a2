"""What a chunk of a shot does on a worker, and how frames that no chunk reported are counted:
the helpers of :mod:`telvix.cluster`."""

from __future__ import annotations

import concurrent.futures
import dataclasses
import os
import socket
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import telvix
from telvix import Frame, Summary

_Planned = Tuple[int, str, str]


def _failed(planned: Sequence[_Planned], reason: Callable[[str], str],
            host: Optional[str] = None) -> Summary:
    """A summary of the planned (number, input, output) frames, all failed; `reason` gives the
    reason from the input's name."""
    frames = [Frame(number, "frame {}".format(number), source, target, "failed", reason(source),
                    host=host)
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


def _worker_address() -> str:
    """The address of the worker running this task (its host name outside a worker)."""
    try:
        from distributed import get_worker

        return get_worker().address
    except (ImportError, ValueError, AttributeError):
        return socket.gethostname()


def _run_chunk(smooth: Callable[..., Summary], src: str, dst: str, part: List[_Planned],
               options: Dict[str, object]) -> Summary:
    """A chunk's task: `smooth` (_smooth_chunk) run on the worker, whose address its frames
    carry. A malformed request is raised to the client; any other failure fails the chunk's
    frames here, with the reason in one line."""
    host = _worker_address()
    numbers = [number for number, _, _ in part]
    try:
        summary = smooth(src, dst, numbers, options)
    except (ValueError, TypeError):
        raise
    except Exception as error:  # noqa: BLE001 (any failure of the chunk, reported)
        reason = _reason(error, numbers)
        return _failed(part, lambda _source: reason, host)
    return dataclasses.replace(
        summary, frames=tuple(dataclasses.replace(f, host=host) for f in summary.frames))


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


def _found_whole(planned: Sequence[_Planned]) -> Summary:
    """The planned frames whose outputs are on disk and read back whole, as written (by whom
    is not known); the others are left out."""
    def whole(frame: _Planned) -> bool:
        return os.path.isfile(frame[2]) and telvix._telvix.is_complete(frame[2])

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        found = [f for f, ok in zip(planned, pool.map(whole, planned)) if ok]
    frames = [Frame(number, "frame {}".format(number), source, target, "written", host=None)
              for number, source, target in found]
    return Summary(tuple(frames), 0)
