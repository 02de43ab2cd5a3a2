"""The exceptions telvix raises."""


class TelvixError(Exception):
    """Base class of the errors telvix raises for work it could not do."""


class RenderError(TelvixError):
    """The plug-in failed a command.

    Attributes
    ----------
    code : int
        The host's error number, e.g. 512 for PF_Err_INTERNAL_STRUCT_DAMAGED.
    name : str
        The host's name of the error.
    """

    code: int = 0
    name: str = ""


class FileError(TelvixError):
    """A file could not be read or written, or a run could not start (missing frames, memory)."""


class Interrupted(TelvixError):
    """SIGTERM or SIGHUP stopped :func:`telvix.smooth_file` or :func:`telvix.smooth_sequence`.

    The run stopped as the ``telvix`` command stops on these signals: the frames in flight were
    abandoned and their temporary files removed, the frames already written are whole and kept
    (``skip_existing=True`` resumes), and the signal handlers in place before the call are back.

    Attributes
    ----------
    signal : int
        The signal's number (``signal.SIGTERM`` or ``signal.SIGHUP``).
    summary : Summary
        What the run did before it stopped; ``summary.interrupted`` is True.
    """

    signal: int = 0
    summary: object = None
