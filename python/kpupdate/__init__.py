"""Read, check, extract, compare and write Kelvo/Pardo firmware update files.

    import kpupdate
    with kpupdate.open("fw.update") as archive:
        for entry in archive.entries:
            print(entry.index, entry.size, entry.name)
        data = archive.read("etc/device.cfg")

Everything is done by libkpupdate, the library under the kpupdate command line: the
same checks, the same extraction through directory handles, the same reasons.
"""

import io as _io
import json as _json
import os as _os

from . import _native

__all__ = ["Archive", "Entry", "Group", "Error", "ExtractResult", "open", "create", "__version__"]
__version__ = _native.version

_OK, _DIFFERENT = 0, 1
_EXISTING = {"replace": 0, "keep": 1, "skip": 2}


class Error(OSError):
    """A failure, with the command line's reason in `.reason`; `.errno` is the system's
    error number where the system refused, else None."""

    def __init__(self, reason, status=-6, errno=None):
        if errno:
            super().__init__(errno, reason)
        else:
            super().__init__(reason)
        self.reason = reason
        self.status = status

    def __str__(self):
        return self.reason


def _text(raw):
    return raw.decode("utf-8", "surrogateescape")


def _path(path):
    """A path for the library: its bytes as the file system has them."""
    return path if isinstance(path, bytes) else _os.fsencode(path)


def _name(name):
    """An entry's name for the library: its bytes as the update file holds them."""
    return name if isinstance(name, bytes) else str(name).encode("utf-8", "surrogateescape")


def _error(native_reason, status, errno):
    return Error(_text(native_reason), status, errno or None)


def _checked(outcome, allowed=(_OK,)):
    """The value of a native call, or its failure raised with its own reason and errno."""
    status, reason, errno, value = outcome
    if status not in allowed:
        raise _error(reason, status, errno)
    return value


class Entry:
    """One record of the directory."""

    __slots__ = ("position", "index", "name_bytes", "size", "chunk_size", "offset", "signatures")

    def __init__(self, position, index, name_bytes, size, chunk_size, offset, signatures):
        self.position = position
        self.index = index
        self.name_bytes = name_bytes
        self.size = size
        self.chunk_size = chunk_size
        self.offset = offset
        self.signatures = signatures

    @property
    def name(self):
        return _text(self.name_bytes)

    def __repr__(self):
        return f"<Entry {self.position}: {self.name!r}, index {self.index}, {self.size} bytes at {self.offset:#x}>"

    def __eq__(self, other):
        return isinstance(other, Entry) and all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    __hash__ = None


class Group:
    """Entries whose first signatures coincide."""

    __slots__ = ("signature", "entries")

    def __init__(self, signature, entries):
        self.signature = signature
        self.entries = entries

    def __repr__(self):
        return f"<Group {self.signature:016x}: {[entry.position for entry in self.entries]}>"


class ExtractResult:
    """What .extract() did: (entry, path) written, entries skipped, (entry, reason) failed."""

    __slots__ = ("written", "skipped", "failed")

    def __init__(self, written, skipped, failed):
        self.written = written
        self.skipped = skipped
        self.failed = failed

    def __repr__(self):
        return f"<ExtractResult {len(self.written)} written, {len(self.skipped)} skipped, {len(self.failed)} failed>"


class _EntryReader(_io.RawIOBase):
    """An entry's bytes as a readable file, read a piece at a time."""

    def __init__(self, archive, entry, padded):
        super().__init__()
        self._archive = archive
        self._entry = entry
        self._padded = padded
        self._offset = 0
        self._size = entry.chunk_size if padded else entry.size

    def readable(self):
        return True

    def seekable(self):
        return not self._archive.is_stream

    def readinto(self, buffer):
        with memoryview(buffer) as view, view.cast("B") as bytes_view:
            if self._offset >= self._size or len(bytes_view) == 0:
                return 0
            got = _checked(self._archive._native.readinto(self._entry.position, self._padded, self._offset,
                                                          bytes_view))
        self._offset += got
        return got

    def seek(self, offset, whence=_io.SEEK_SET):
        base = {_io.SEEK_SET: 0, _io.SEEK_CUR: self._offset, _io.SEEK_END: self._size}[whence]
        if base + offset < 0:
            raise ValueError("negative seek position")
        self._offset = base + offset
        return self._offset

    def tell(self):
        return self._offset


class Archive:
    """An open update file. Use kpupdate.open()."""

    def __init__(self, native, file):
        self._native = native
        self._file = file
        raw_version, self.file_count, self.data_start, self.end, self.used_size, self.chunk_sum, \
            self.header_signatures = _checked(native.header())
        self.version = _text(raw_version)
        self.entries = [Entry(*fields) for fields in native.entries()]
        self.groups = [Group(signature, [self.entries[p] for p in positions])
                       for signature, positions in native.groups()]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the file; another thread's call on the archive is let finish first."""
        self._native.close()

    @property
    def is_stream(self):
        """Whether the file arrives as a stream, whose entries are read once, in order."""
        return self._native.is_stream()

    def __repr__(self):
        return f"<kpupdate.Archive {self._file!r}: {self.version!r}, {len(self.entries)} entries>"

    def _entry(self, entry_or_name):
        if isinstance(entry_or_name, Entry):
            return entry_or_name
        raw = _name(entry_or_name)
        for entry in reversed(self.entries):
            if entry.name_bytes == raw:
                return entry
        raise Error(f"no file named {_text(raw)!r} in archive", -5)

    def read(self, entry_or_name, padded=False):
        """The entry's bytes, its own or with `padded` its whole 512-byte chunk."""
        entry = self._entry(entry_or_name)
        buffer = bytearray(entry.chunk_size if padded else entry.size)
        got = _checked(self._native.readinto(entry.position, padded, 0, buffer))
        return bytes(buffer) if got == len(buffer) else bytes(buffer[:got])

    def open_entry(self, entry_or_name, padded=False):
        """The entry's bytes as a readable binary file, in bounded memory."""
        return _EntryReader(self, self._entry(entry_or_name), padded)

    def sha256(self, entry_or_name, padded=False):
        """The SHA-256 of the entry's bytes, in hex, as sha256sum prints it."""
        return _checked(self._native.sha256(self._entry(entry_or_name).position, padded))

    def extract(self, dest, names=None, include=None, exclude=None, strip=0, padded=False, existing="replace"):
        """Writes the entries as `kpupdate -a -C DEST` does: every file, or those `names` and
        the patterns of `include` pick, less those `exclude` picks. `existing` is "replace",
        "keep" or "skip". Returns an ExtractResult; raises Error where nothing could start or
        a name or pattern picked nothing."""
        if existing not in _EXISTING:
            raise ValueError('existing is "replace", "keep" or "skip"')
        written, skipped, failed = _checked(self._native.extract(
            None if dest is None else _path(dest), [_name(n) for n in names or []],
            [_name(p) for p in include or []], [_name(p) for p in exclude or []], int(strip), bool(padded),
            _EXISTING[existing]), (_OK, -6))
        entries = self.entries
        return ExtractResult([(entries[p], _os.fsdecode(path)) for p, path in written], [entries[p] for p in skipped],
                             [(entries[p], _text(reason)) for p, reason in failed])

    def test(self):
        """What `kpupdate --test` finds, as the document's "test" object."""
        return _json.loads(_checked(self._native.test(), (_OK, -2)))

    def diff(self, other, padded=False):
        """What changed from `other` (an open Archive, an update file's path, or a directory's
        path) to this one, as the document's "diff" object."""
        allowed = (_OK, _DIFFERENT, -2)
        if isinstance(other, Archive):
            return _json.loads(_checked(self._native.diff(other._native), allowed))
        if _os.path.isdir(_path(other)):
            return _json.loads(_checked(self._native.diff_directory(_path(other), bool(padded)), allowed))
        with open(other) as opened:
            return _json.loads(_checked(self._native.diff(opened._native), allowed))

    def manifest(self):
        """The `--json` document, as a dict: what kpupdate.create() makes the file back from."""
        return _json.loads(_checked(self._native.json()))


def open(source):
    """Opens an update file: a path (str, bytes or os.PathLike), or any binary file object,
    a pipe's among them, read once, in order.

    A file object's readinto(b) (or else read(n)) gives what it read, b"" or 0 at its end;
    None, which a non-blocking file gives where no data is there yet, fails the read with
    BlockingIOError, as it is no end. What it raises is raised where the library asked."""
    native = _native.Archive()
    if isinstance(source, (str, bytes, _os.PathLike)):
        opened, file = native.open_path(_path(source)), _os.fsdecode(source)
    elif hasattr(source, "readinto") or hasattr(source, "read"):
        opened, file = native.open_stream(source), getattr(source, "name", "-")
    else:
        raise TypeError("kpupdate.open takes a path or a binary file object")
    _checked(opened)
    return Archive(native, file if isinstance(file, str) else "-")


def create(new, tree=".", paths=None, manifest=None, version_text=None, padded=False, filler=None, exclude=None,
           keep=False):
    """Writes the update file `new` as `kpupdate --create` does: from the files under `tree`
    at `paths` (default: all of it), or from `manifest`, a path or the dict .manifest()
    returns, with the files under `tree`. Nothing is written where anything stops it."""
    manifest_path = manifest_text = None
    if isinstance(manifest, dict):
        manifest_text = _json.dumps(manifest)
    elif manifest is not None:
        manifest_path = _path(manifest)
    if manifest is None and paths is None:
        paths = ["."]
    _checked(_native.create(_path(new), None if tree is None else _path(tree), [_path(p) for p in paths or []],
                            manifest_path, manifest_text, None if version_text is None else _name(version_text),
                            None if filler is None else _name(filler), [_name(p) for p in exclude or []],
                            bool(padded), bool(keep)))
