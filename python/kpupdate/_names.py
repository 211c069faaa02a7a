"""Names, paths and patterns as the library takes them, and its texts as Python has them."""

import os as _os


def _text(raw):
    return raw.decode("utf-8", "surrogateescape")


def _no_nul(raw, what):
    if b"\0" in raw:  # the library's C strings would end there, and name another file
        raise ValueError(f"embedded null byte in {what}")
    return raw


def _path(path, what="a path"):
    """A path for the library: its bytes as the file system has them."""
    return _no_nul(_os.fsencode(path), what)


def _name(name, what="a name"):
    """An entry's name or a pattern for the library: its bytes as the update file holds them."""
    if isinstance(name, _os.PathLike):
        name = _os.fspath(name)
    if isinstance(name, str):
        name = name.encode("utf-8", "surrogateescape")
    if not isinstance(name, bytes):
        raise TypeError(f"{what} is str or bytes, not {type(name).__name__}")
    return _no_nul(name, what)


def _one_or_many(values, convert, what):
    """A list of names, paths or patterns, where one alone (a str) is one, not its characters."""
    if values is None:
        return []
    if isinstance(values, (str, bytes, _os.PathLike)):
        return [convert(values, what)]
    return [convert(value, what) for value in values]
