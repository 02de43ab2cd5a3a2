"""The arguments of telvix's functions on the Python side.

The types of the options are checked before any work is done: a wrong type raises TypeError
naming the keyword and what it takes ("clip: expected bool, got str"). Values (ranges, colours,
extents, frame lists) are checked by the native part, in the telvix command's own words.
"""

import operator
import os


def _wrong(name, expected, value):
    return TypeError("{}: expected {}, got {}".format(name, expected, type(value).__name__))


def _is_bool(value):
    kind = type(value)
    return isinstance(value, bool) or (kind.__module__ == "numpy" and kind.__name__ == "bool_")


def _is_integer(value):
    if _is_bool(value):
        return False
    try:
        operator.index(value)
    except TypeError:
        return False
    return True


def _integer(name, value, optional=True):
    if not (value is None and optional) and not _is_integer(value):
        raise _wrong(name, "int", value)


def _flag(name, value):
    if not _is_bool(value):
        raise _wrong(name, "bool", value)


def _string(name, value):
    if value is not None and not isinstance(value, str):
        raise _wrong(name, "str", value)


def _path(name, value):
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise _wrong(name, "str or os.PathLike", value)


def _numbers(name, value, what):
    """None, a str, or a sequence of ints; a colour or extent in bytes is left to the native
    part to refuse as one."""
    if value is None or isinstance(value, str):
        return
    text = isinstance(value, (bytes, bytearray))
    if text and name != "frames":
        return
    if text or not (hasattr(value, "__len__") and hasattr(value, "__getitem__")):
        raise _wrong(name, "str or " + what, value)
    for item in value:
        if not _is_integer(item):
            raise _wrong(name, "int", item)


def _callable(name, value):
    if value is not None and not callable(value):
        raise _wrong(name, "a callable or None", value)


_CHECKS = {
    "tolerance": lambda n, v: _integer(n, v, optional=False),
    "threads": _integer, "depth": _integer, "jobs": _integer,
    "compression": _string,
    "drop_alpha": _flag, "clip": _flag, "skip_existing": _flag, "keep_going": _flag,
    "key": lambda n, v: _numbers(n, v, "(r, g, b)"),
    "extent": lambda n, v: _numbers(n, v, "(left, top, right, bottom)"),
    "frames": lambda n, v: _numbers(n, v, "a sequence of int"),
    "progress": _callable,
    "src": _path, "dst": _path, "src_pattern": _path, "dst_pattern": _path,
}


def check(**options):
    """Raises TypeError for the first option of a wrong type."""
    for name, value in options.items():
        _CHECKS[name](name, value)


def frames_text(frames):
    """A checked ``frames`` option as the command's --frames list, or None."""
    if frames is None or isinstance(frames, str):
        return frames
    text = ",".join(str(operator.index(f)) for f in frames)
    if not text:
        raise ValueError("--frames: the list is empty")
    return text

