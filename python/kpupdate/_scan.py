"""Hunting: the update files inside a larger file, at any byte offset."""

import os as _os

from . import _native
from ._errors import _checked
from ._names import _path, _text


class Found:
    """An update file inside a larger one: its header at `offset`, its end as its header
    says (`offset` + total blocks × 512), `cut` where the blob ends before it, `within`
    the offset of the update file in one of whose members it begins (None for none), and
    `weak` where only the loader's rules hold (scan(..., weak=True))."""

    __slots__ = ("offset", "end", "file_count", "version_bytes", "cut", "within", "weak")

    def __init__(self, offset, end, file_count, version_bytes, cut, within, weak):
        self.offset = offset
        self.end = end
        self.file_count = file_count
        self.version_bytes = version_bytes
        self.cut = cut
        self.within = within
        self.weak = weak

    @property
    def version(self):
        return _text(self.version_bytes)

    def __repr__(self):
        notes = (" cut" if self.cut else "") + (" weak" if self.weak else "")
        inside = "" if self.within is None else f" in {self.within:#x}"
        return f"<Found {self.offset:#x}..{self.end:#x}: {self.file_count} files, {self.version!r}{inside}{notes}>"

    def __eq__(self, other):
        return isinstance(other, Found) and all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    __hash__ = None


def scan(source, weak=False):
    """Yields every update file inside `source`, in offset order, as `kpupdate --scan`
    finds them: a path (str, bytes or os.PathLike) or a binary file object, read once from
    its start to its end (a file object from where it is). With `weak`, also what only the
    loader would accept, marked so. The whole blob is read before the first hit comes."""
    native = _native.Archive()
    if isinstance(source, (str, bytes, _os.PathLike)):
        found, _size = _checked(native.scan_path(_path(source), bool(weak)))
    elif hasattr(source, "readinto") or hasattr(source, "read"):
        found, _size = _checked(native.scan_stream(source, bool(weak)))
    else:
        raise TypeError("kpupdate.scan takes a path or a binary file object")
    for hit in found:
        yield Found(*hit)
