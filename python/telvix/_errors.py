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
