"""Telvix: smooths the jagged outlines of cel-animation frames.

The functions here run the Telvix effect plug-in through the same stand-in host, conversions,
file reading and writing and sequence runner as the ``telvix`` command, so their results are the
command's, bit for bit.

- :func:`smooth` smooths a numpy image array.
- :func:`smooth_file` and :func:`smooth_sequence` smooth image files and frame sequences.
- :mod:`telvix.cluster` smooths whole shots on a Dask cluster.
"""

from __future__ import annotations

import functools
import os
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Callable, List, Optional, Sequence, Tuple, Union

from ._arguments import check as _check
from ._arguments import frames_text as _frames_text
from ._arguments import prepared as _prepared
from ._errors import FileError, Interrupted, RenderError, TelvixError
from ._summary import Frame, Summary
from ._summary import _summary

if TYPE_CHECKING:
    import numpy

__all__ = [
    "smooth", "smooth_file", "smooth_sequence", "about", "params", "plugin_path",
    "Frame", "Summary", "Param", "TelvixError", "RenderError", "FileError", "Interrupted",
    "__version__",
]

from . import _telvix  # noqa: E402  (needs _errors first)

__version__: str = _telvix.__version__

KeyColour = Union[str, Tuple[int, int, int]]
Extent = Union[str, Tuple[int, int, int, int]]
PathLike = Union[str, "os.PathLike[str]"]


@functools.lru_cache(maxsize=None)
def plugin_path() -> str:
    """The plug-in library the module runs.

    It is ``$TELVIX_PLUGIN`` when set, else the first that exists of: ``Telvix.so`` beside this
    package, ``lib/telvix/Telvix.so`` of the prefix it is installed in, and the build folder's
    ``Telvix.so`` (a package run from its build).

    Raises
    ------
    FileError
        When no plug-in is found.
    """
    named = os.environ.get("TELVIX_PLUGIN")
    if named:
        return named
    here = Path(__file__).resolve().parent
    candidates = [here / "Telvix.so", here.parents[2] / "telvix" / "Telvix.so",
                  here.parents[1] / "Telvix.so"]
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
    raise FileError("cannot find the plug-in Telvix.so (looked in {}); set TELVIX_PLUGIN to "
                    "its path".format(", ".join(str(c) for c in candidates)))


def smooth(image: numpy.ndarray, tolerance: int = 6, key: Optional[KeyColour] = None,
           extent: Optional[Extent] = None, threads: Optional[int] = None,
           channel_order: str = "RGB") -> numpy.ndarray:
    """Smooth the lines of one image.

    Parameters
    ----------
    image : numpy.ndarray
        H x W x C (C = 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA) or H x W (grey) array of ``uint8``
        or ``uint16``, C-contiguous, alpha straight (not premultiplied). It is only read; a
        read-only array will do.
    tolerance : int, optional
        "Do Smooth Range": how far colours may differ per channel (0-255) and still count as
        one colour. Default 6.
    key : str or tuple of 3 ints, optional
        Turns the colour key on with this colour: ``"FFFFFF"``, ``"#ffffff"`` or
        ``(255, 255, 255)``, always in red, green, blue order. Pixels of the key colour become
        transparent, so a keyed image without alpha gets one, as the ``telvix`` command writes
        keyed files: RGB comes back RGBA and grey (H x W or H x W x 1) comes back grey + alpha
        (H x W x 2). Default: off.
    extent : str or tuple of 4 ints, optional
        Smooth only ``(left, top, right, bottom)`` (right and bottom exclusive, or
        ``"L,T,R,B"``); the rest is copied. Default: the whole image.
    threads : int, optional
        Host threads for this image (1-256). Default: one per core.
    channel_order : {"RGB", "BGR"}
        The order of the colour channels: ``"BGR"`` for OpenCV's arrays (BGR and BGRA, as
        ``cv2.imread`` gives them); the result comes back in the same order. Grey images have
        no order. Default ``"RGB"``.

    Returns
    -------
    numpy.ndarray
        A new array of the image's shape (with alpha added when keyed, see ``key``) and
        dtype. 16-bit samples go to the host's 0-32768 range and back exactly as the ``telvix``
        command maps 16-bit files.

    Raises
    ------
    TypeError
        For an image that is not a ``uint8`` or ``uint16`` array in native byte order, and for
        options of the wrong type, naming the option (``tolerance: expected int, got str``).
    ValueError
        For other shapes, more than 4 channels, an empty or oversized image, an array that is
        not C-contiguous, and options out of range (the ``telvix`` command's messages).
    RenderError
        When the plug-in fails; ``code`` is the host's error number.

    Notes
    -----
    The GIL is released while the image is converted and rendered, so several Python threads
    smooth images at once.

    Examples
    --------
    >>> import numpy as np, telvix
    >>> frame = np.zeros((4, 4, 4), np.uint8)
    >>> telvix.smooth(frame, tolerance=10).shape
    (4, 4, 4)
    """
    import numpy

    if not isinstance(image, numpy.ndarray):
        raise TypeError("image must be a numpy.ndarray, not {}".format(type(image).__name__))
    _check(tolerance=tolerance, key=key, extent=extent, threads=threads,
           channel_order=channel_order)
    bgr = channel_order == "BGR"
    image = _prepared(image, bgr, key is not None)
    result = _telvix.smooth(plugin_path(), image, tolerance, key, extent, threads)
    if bgr and result.ndim == 3 and result.shape[2] >= 3:
        result[..., :3] = result[..., 2::-1]
    return result


def _options(tolerance, key, extent, depth, threads, compression, drop_alpha, clip,
             skip_existing, **more):
    options = dict(tolerance=tolerance, key=key, extent=extent, depth=depth, threads=threads,
                   compression=compression, drop_alpha=drop_alpha, clip=clip,
                   skip_existing=skip_existing)
    options.update(more)
    return options


def smooth_file(src: PathLike, dst: PathLike, tolerance: int = 6,
                key: Optional[KeyColour] = None, extent: Optional[Extent] = None,
                depth: Optional[int] = None, threads: Optional[int] = None,
                compression: Optional[str] = None, drop_alpha: bool = False, clip: bool = False,
                skip_existing: bool = False) -> Summary:
    """Smooth one image file, as ``telvix smooth SRC DST`` does.

    The output is written to a temporary file beside ``dst`` and renamed into place once whole;
    ``dst`` may not be ``src``.

    Parameters
    ----------
    src, dst : str or os.PathLike
        The image to read and the image to write (format by extension).
    tolerance, key, extent, threads
        As for :func:`smooth`.
    depth : {8, 16}, optional
        Process and write at this depth. Default: the input's.
    compression : str, optional
        The output format's compression. Default: the input's, else the format's own.
    drop_alpha : bool
        Drop alpha where the output format cannot hold it, instead of refusing.
    clip : bool
        Clip floating-point samples outside 0-1 instead of refusing the file.
    skip_existing : bool
        Leave ``dst`` alone when it exists and reads back whole.

    Returns
    -------
    Summary
        Of one frame, written or skipped.

    Raises
    ------
    TypeError
        For an option of the wrong type, naming it, before anything is read.
    ValueError
        For options out of range, or ``dst`` naming ``src``.
    FileError
        When the file cannot be read or written.
    RenderError
        When the plug-in fails.
    Interrupted
        On SIGTERM or SIGHUP, as for :func:`smooth_sequence`.
    KeyboardInterrupt
        On Ctrl-C; ``dst`` is left as it was.
    """
    _check(src=src, dst=dst, tolerance=tolerance, key=key, extent=extent, depth=depth,
           threads=threads, compression=compression, drop_alpha=drop_alpha, clip=clip,
           skip_existing=skip_existing)
    options = _options(tolerance, key, extent, depth, threads, compression, drop_alpha, clip,
                       skip_existing)
    return _run(src, dst, False, options, None)


def _run(src, dst, sequence, options, report) -> Summary:
    try:
        return _summary(_telvix.run(plugin_path(), os.fspath(src), os.fspath(dst), sequence,
                                    options, report))
    except Interrupted as stop:
        if isinstance(stop.summary, tuple):
            stop.summary = _summary(stop.summary)
        raise


def smooth_sequence(src_pattern: PathLike, dst_pattern: PathLike,
                    frames: Union[None, str, Sequence[int]] = None, jobs: Optional[int] = None,
                    skip_existing: bool = False, keep_going: bool = False,
                    progress: Optional[Callable[[Frame, int, int], None]] = None,
                    tolerance: int = 6, key: Optional[KeyColour] = None,
                    extent: Optional[Extent] = None, depth: Optional[int] = None,
                    threads: Optional[int] = None, compression: Optional[str] = None,
                    drop_alpha: bool = False, clip: bool = False) -> Summary:
    """Smooth a frame sequence or a folder, as ``telvix smooth`` does with a pattern.

    Parameters
    ----------
    src_pattern, dst_pattern : str or os.PathLike
        Frame patterns (``shot.####.png`` or ``shot.%04d.png``), or two folders.
    frames : str or sequence of int, optional
        The frames to smooth: ``"1001-1100"``, ``"1-10,20"``, ``"1-99x2"`` or a list of
        numbers. Default: the frames found on disk.
    jobs : int, optional
        Frames smoothed at once. Default: one per core (as many as memory holds).
    skip_existing : bool
        Leave frames whose output exists and reads back whole alone; with it a run resumes.
    keep_going : bool
        Smooth every frame it can and report the failures, instead of stopping at the first.
    progress : callable, optional
        Called as ``progress(frame, done, total)`` as each frame ends, with a :class:`Frame`.
        Calls come from the run's threads, one at a time. An exception it raises stops the run
        and is raised.
    tolerance, key, extent, depth, threads, compression, drop_alpha, clip
        As for :func:`smooth_file`; ``threads`` are each frame's host threads.

    Returns
    -------
    Summary
        Frames written, skipped and failed (with reasons). Failed frames are reported here,
        not raised.

    Raises
    ------
    TypeError
        For an option of the wrong type (``progress`` not callable too), naming it, before any
        file is looked at.
    ValueError
        For malformed patterns, frame lists and options, and outputs that would overwrite
        inputs (the ``telvix`` command's messages).
    FileError
        For frames asked for that are missing (unless ``keep_going``) and runs that cannot fit
        in memory.
    KeyboardInterrupt
        On Ctrl-C: frames in flight are abandoned, no partial file is left.
    Interrupted
        On SIGTERM or SIGHUP, a :class:`TelvixError` with the ``signal`` number and the run's
        ``summary``: frames in flight are abandoned, no partial file is left, frames written
        are kept. While a call made from the main thread runs, these two signals stop the run
        instead of reaching the handlers set before (Python's default for them ends the
        process at once, leaving temporary files); those handlers are put back before it
        returns or raises. A signal that is ignored (``nohup``) stays ignored, and a call made
        from another thread leaves the signals alone.
    """
    _check(src_pattern=src_pattern, dst_pattern=dst_pattern, frames=frames, jobs=jobs,
           skip_existing=skip_existing, keep_going=keep_going, progress=progress,
           tolerance=tolerance, key=key, extent=extent, depth=depth, threads=threads,
           compression=compression, drop_alpha=drop_alpha, clip=clip)
    frames = _frames_text(frames)
    options = _options(tolerance, key, extent, depth, threads, compression, drop_alpha, clip,
                       skip_existing, frames=frames, jobs=jobs, keep_going=keep_going)
    report = None
    if progress is not None:
        def report(frame, done, total):
            progress(Frame(*frame), done, total)
    return _run(src_pattern, dst_pattern, True, options, report)


def about() -> str:
    """The plug-in's About text."""
    return _telvix.about(plugin_path())


@dataclass(frozen=True)
class Param:
    """A parameter the effect registers.

    ``default`` is a bool (checkbox), an (r, g, b) tuple (colour), an int (slider) or None (the
    input layer); ``minimum`` and ``maximum`` are a slider's valid range.
    """

    index: int
    name: str
    kind: str
    default: object
    minimum: Optional[int]
    maximum: Optional[int]


def params() -> List[Param]:
    """The effect's parameters, as the host registers them (index 0 is the input layer)."""
    return [Param(*p) for p in _telvix.parameters(plugin_path())]
