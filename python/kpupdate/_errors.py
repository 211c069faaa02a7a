"""The statuses of the library's calls, and the exceptions and warnings they become."""

import enum as _enum

from . import _native
from ._names import _text
from ._records import ExtractResult


class Status(_enum.IntEnum):
    """What a call of the library did, as include/kpupdate.h names it."""

    OK = _native.OK
    DIFFERENT = _native.DIFFERENT  # diff(): the two sides differ
    ERROR_SYSTEM = _native.ERROR_SYSTEM  # the system refused: .errno says why
    ERROR_FORMAT = _native.ERROR_FORMAT  # no update file, or one whose bytes are damaged
    ERROR_ARGUMENT = _native.ERROR_ARGUMENT  # a position past the entries, a value out of range
    ERROR_STATE = _native.ERROR_STATE  # the archive is closed, or a stream has passed the bytes asked for
    ERROR_NOT_FOUND = _native.ERROR_NOT_FOUND  # a name or pattern matched no entry
    ERROR_FAILED = _native.ERROR_FAILED  # the work was refused or not all done: .reason has every reason


def _status(value):
    try:
        return Status(value)
    except ValueError:  # one a later library has and this module does not know
        return value


# The classes that are both Error and the OSError subclass Python has for an errno, made
# as a failure first needs one.
_SYSTEM_CLASSES = {}


def _system_class(errno):
    builtin = type(OSError(errno, ""))
    if builtin is OSError:
        return Error
    made = _SYSTEM_CLASSES.get(builtin)
    if made is None:
        made = _SYSTEM_CLASSES.setdefault(builtin, type(builtin.__name__, (Error, builtin), {
            "__module__": __package__,  # where the other public classes say they live
            "__doc__": f"A kpupdate.Error the system caused, which Python calls {builtin.__name__}.",
        }))
    return made


class Error(OSError):
    """A failure, with the command line's reason in `.reason` and a Status in `.status`.
    Where the system refused, `.errno` is its error number and the error is an instance of
    the OSError subclass Python has for it too (FileNotFoundError, PermissionError,
    IsADirectoryError, ...), as OSError(errno, ...) would be; else `.errno` is None."""

    def __new__(cls, reason="", status=Status.ERROR_FAILED, errno=None, *more, **named):
        if cls is Error and errno:
            cls = _system_class(errno)
        return super().__new__(cls, *((errno, reason) if errno else (reason,)))

    def __init__(self, reason="", status=Status.ERROR_FAILED, errno=None):
        super().__init__(*((errno, reason) if errno else (reason,)))
        self.reason = reason
        self.status = _status(status)

    def __str__(self):
        return self.reason

    def __reduce__(self):
        # The classes made per errno are no attributes of the module: Error makes them again.
        made = type(self) in _SYSTEM_CLASSES.values()
        return (Error if made else type(self), (self.reason, self.status, self.errno), self.__dict__)


class ExtractError(Error):
    """extract() did not write every entry it was asked for: `.written`, `.skipped` and
    `.failed` say what it did, as its ExtractResult (`.result`) does; `.reason` has every
    reason, one a line. `.status` is ERROR_FAILED, or ERROR_NOT_FOUND where a name or
    pattern matched nothing."""

    def __init__(self, reason="", status=Status.ERROR_FAILED, errno=None, result=None):
        super().__init__(reason, status, errno)
        self.result = result if result is not None else ExtractResult([], [], [])

    @property
    def written(self):
        return self.result.written

    @property
    def skipped(self):
        return self.result.skipped

    @property
    def failed(self):
        return self.result.failed


class CutWarning(UserWarning):
    """The file is shorter than its header says: the bytes of its last entries are
    missing in part, and test() names them."""


def _error(raw_reason, status, errno, cls=Error, **fields):
    return cls(_text(raw_reason), status, errno or None, **fields)


def _checked(outcome, allowed=(Status.OK,)):
    """The value of a native call, or its failure raised with its own reason and errno."""
    status, reason, errno, value = outcome
    if status not in allowed:
        raise _error(reason, status, errno)
    return value
