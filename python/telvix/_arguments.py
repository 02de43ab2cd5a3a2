"""The arguments of telvix's functions on the Python side.

The types of the options are checked before any work is done: a wrong type raises TypeError
naming the keyword and what it takes ("clip: expected bool, got str"). Values (ranges, colours,
extents, frame lists) are checked by the native part, in the telvix command's own words. Arrays
are brought into the one channel layout the native part smooths.
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


def _number(name, value):
    if value is not None and (_is_bool(value) or not isinstance(value, (int, float))):
        raise _wrong(name, "a number", value)


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


def _channel_order(name, value):
    if not isinstance(value, str):
        raise _wrong(name, "str", value)
    if value not in ("RGB", "BGR"):
        raise ValueError("{}: expected 'RGB' or 'BGR', got {!r}".format(name, value))


# The checks of the declared options follow from their kinds; the rest are Python's own.
_BY_KIND = {
    "integer": _integer, "either": _integer, "seconds": _number, "flag": _flag, "text": _string,
    "colour": lambda n, v: _numbers(n, v, "(r, g, b)"),
    "extent": lambda n, v: _numbers(n, v, "(left, top, right, bottom)"),
    "frames": lambda n, v: _numbers(n, v, "a sequence of int"),
}


def _declared_checks():
    from . import _telvix

    checks = {}
    for name, kind, default, _places in _telvix.options():
        check = _BY_KIND[kind]
        if default is not None and kind == "integer":  # a value of its own: None is not one
            checks[name] = lambda n, v, c=check: c(n, v, optional=False)
        else:
            checks[name] = check
    return checks


_CHECKS = dict(_declared_checks(), **{
    "progress": _callable,
    "channel_order": _channel_order,
    "src": _path, "dst": _path, "src_pattern": _path, "dst_pattern": _path,
})


def check(**options):
    """Raises TypeError (ValueError for a channel order) for the first option of a wrong type."""
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


def prepared(image, bgr, keyed):
    """The array the native part smooths: colours in RGB order, and opaque alpha added to a
    keyed image without any (its keyed pixels become transparent). Arrays the native part
    refuses are passed on unchanged for it to say why."""
    import numpy

    if image.dtype not in (numpy.uint8, numpy.uint16) or image.ndim not in (2, 3):
        return image
    channels = 1 if image.ndim == 2 else image.shape[2]
    colours = 3 if channels >= 3 else 1
    swap = bgr and colours == 3
    add_alpha = keyed and channels in (1, 3)
    if channels > 4 or not (swap or add_alpha):
        return image
    source = image.reshape(image.shape[:2] + (channels,))
    result = numpy.empty(image.shape[:2] + (channels + add_alpha,), image.dtype)
    result[..., :colours] = source[..., colours - 1::-1] if swap else source[..., :colours]
    result[..., colours:] = numpy.iinfo(image.dtype).max if add_alpha else source[..., colours:]
    return result
