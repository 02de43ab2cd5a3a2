"""What a run did: :class:`telvix.Frame` for each frame and :class:`telvix.Summary` for the
run, built from what the native module reports."""

from __future__ import annotations

import json
import socket
from dataclasses import dataclass, field
from typing import Iterable, Optional, Tuple


@dataclass(frozen=True)
class Frame:
    """What became of one frame of a run.

    Attributes
    ----------
    number : int or None
        The frame number; None for a single file or a folder's file.
    label : str
        How messages name the frame: "frame 1001", or in folder mode the file name.
    input, output : str
        The files read and written.
    status : str
        "written", "skipped" (the output existed whole) or "failed".
    error : str or None
        Why it failed, in one line.
    note : str
        A note on the written frame (samples clipped with ``clip=True``), or "".
    seconds : float
        Time from reading to writing.
    host : str or None
        Where it was smoothed: this machine's name (the default), on a cluster the worker's
        address (``tcp://HOST:PORT``); None when no machine is known to have touched it.
    """

    number: Optional[int]
    label: str
    input: str
    output: str
    status: str
    error: Optional[str] = None
    note: str = ""
    seconds: float = 0.0
    host: Optional[str] = field(default_factory=socket.gethostname)


@dataclass(frozen=True)
class Summary:
    """What a run did.

    Attributes
    ----------
    frames : tuple of Frame
        The frames that ended, in frame order (a folder's files by name).
    planned : int
        The frames asked for.
    interrupted : bool
        True when a stop ended the run early (the frames not listed were not touched).
    seconds : float
        Wall-clock time of the run.
    gaps : tuple of int
        Holes in the numbering of the frames found on disk (without a ``frames`` list): not
        asked for, so not failed, but most likely frames a render left out.
    """

    frames: Tuple[Frame, ...]
    planned: int
    interrupted: bool = False
    seconds: float = 0.0
    gaps: Tuple[int, ...] = ()

    @property
    def done(self) -> Tuple[Frame, ...]:
        """The frames written."""
        return tuple(f for f in self.frames if f.status == "written")

    @property
    def skipped(self) -> Tuple[Frame, ...]:
        """The frames left alone because their output existed whole."""
        return tuple(f for f in self.frames if f.status == "skipped")

    @property
    def failed(self) -> Tuple[Frame, ...]:
        """The frames that failed, each with its ``error``."""
        return tuple(f for f in self.frames if f.status == "failed")

    @property
    def ok(self) -> bool:
        """True when every frame asked for was written or skipped."""
        return not self.interrupted and len(self.done) + len(self.skipped) == self.planned

    @staticmethod
    def merge(summaries: Iterable["Summary"], seconds: float = 0.0) -> "Summary":
        """One summary of several runs (chunks of one shot), frames in frame order."""
        summaries = list(summaries)
        frames = sorted((f for s in summaries for f in s.frames), key=_frame_order)
        return Summary(tuple(frames), sum(s.planned for s in summaries),
                       any(s.interrupted for s in summaries), seconds,
                       tuple(sorted({g for s in summaries for g in s.gaps})))

    def to_json(self) -> str:
        """The summary as the JSON report ``telvix smooth --report FILE`` writes.

        An object of ``planned``, ``written``, ``skipped`` and ``failed`` (frame counts),
        ``interrupted``, ``seconds``, ``gaps`` and ``frames``: one object per frame, in frame
        order, of ``number`` (None in a folder), ``input``, ``output``, ``status``
        ("written", "skipped" or "failed"), ``reason`` (why it failed, else None), ``seconds``
        and ``host``. File names that are not UTF-8 come out as Python reads them (bytes
        escaped as surrogates), and ``json.loads`` gives them back so.
        """
        counts = {status: 0 for status in ("written", "skipped", "failed")}
        for frame in self.frames:
            counts[frame.status] = counts.get(frame.status, 0) + 1
        head = dict(planned=self.planned, **counts, interrupted=self.interrupted,
                    seconds=round(self.seconds, 3), gaps=list(self.gaps))
        lines = ["  {}: {},".format(json.dumps(key), json.dumps(value))
                 for key, value in head.items()]
        frames = ["    " + json.dumps(dict(number=f.number, input=f.input, output=f.output,
                                           status=f.status, reason=f.error,
                                           seconds=round(f.seconds, 3), host=f.host))
                  for f in self.frames]
        body = "\n" + ",\n".join(frames) + "\n  " if frames else ""
        return "{\n" + "\n".join(lines) + '\n  "frames": [' + body + "]\n}\n"

    def __str__(self) -> str:
        text = "{} of {} frames written".format(len(self.done), self.planned)
        if self.skipped:
            text += ", {} skipped".format(len(self.skipped))
        if self.failed:
            text += ", {} failed".format(len(self.failed))
        if self.interrupted:
            text += ", interrupted"
        return text + " in {:.1f} s".format(self.seconds)


def _frame_order(frame: Frame):
    return (frame.number is None, frame.number or 0, frame.label)


def _summary(result) -> Summary:
    frames, planned, interrupted, seconds, _jobs, _threads, gaps = result
    frames = sorted((Frame(*f) for f in frames), key=_frame_order)
    return Summary(tuple(frames), planned, interrupted, seconds, tuple(gaps))
