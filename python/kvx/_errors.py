"""The exceptions of kvx, and how the native module makes them.

Every failure raises a KvxError whose str() is the one line the programs
print after "<program>: ", such as "cube.cmsh:7: expected a number, found
"1.5abc"". Its other base says what kind of failure it is:

- KvxInputError (ValueError): the input, or an argument, is invalid;
- KvxIOError (OSError, errno set): a file could not be opened, read or
  written; KvxFileNotFoundError and KvxPermissionError are also
  FileNotFoundError and PermissionError;
- KvxMemoryError (MemoryError): memory ran short.
"""

import errno as _errno


class KvxError(Exception):
    """A failure of kvx; str() gives the programs' one-line message."""


class KvxInputError(KvxError, ValueError):
    """The input or an argument is invalid (a program's exit status 2)."""


class KvxIOError(KvxError, OSError):
    """A file could not be opened, read or written (exit status 2 or 3).

    errno holds the system's error number (None where there is none),
    filename the path concerned.
    """

    def __init__(self, errno, message, filename=None):
        if filename is None:
            OSError.__init__(self, errno, message)
        else:
            OSError.__init__(self, errno, message, filename)
        self.message = message

    def __str__(self):
        return self.message

    def __reduce__(self):
        return (type(self), (self.errno, self.message, self.filename))


class KvxFileNotFoundError(KvxIOError, FileNotFoundError):
    """A file or folder does not exist (ENOENT)."""


class KvxPermissionError(KvxIOError, PermissionError):
    """Access was refused (EACCES, EPERM)."""


class KvxMemoryError(KvxError, MemoryError):
    """Memory ran short (exit status 4)."""


for _cls in (
    KvxError,
    KvxInputError,
    KvxIOError,
    KvxFileNotFoundError,
    KvxPermissionError,
    KvxMemoryError,
):
    _cls.__module__ = "kvx"  # where they are documented and exported
del _cls


def make_error(kind, message, errno=0, filename=None):
    """The exception for a failure of `kind` "input", "io" or "memory"."""
    if kind == "memory":
        return KvxMemoryError(message)
    if kind == "io":
        cls = KvxIOError
        if errno == _errno.ENOENT:
            cls = KvxFileNotFoundError
        elif errno in (_errno.EACCES, _errno.EPERM):
            cls = KvxPermissionError
        return cls(errno or None, message, filename)
    return KvxInputError(message)
