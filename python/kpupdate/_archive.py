"""The open update file, its entries' bytes, and the calls that open and write update files."""

import collections.abc as _abc
import io as _io
import json as _json
import os as _os
import sys as _sys
import warnings as _warnings

from . import _native
from ._errors import CutWarning, Error, ExtractError, Status, _checked, _error
from ._manifest import _manifest_text
from ._names import _name, _one_or_many, _path, _text
from ._records import Entry, ExtractResult, Group

_EXISTING = {"replace": _native.EXISTING_REPLACE, "keep": _native.EXISTING_KEEP, "skip": _native.EXISTING_SKIP}


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
    """An open update file, a sequence of its entries in directory order: len(), iter(),
    `name in archive` and `archive[name]` (the entry extraction writes for that name, the
    last of it). Use kpupdate.open()."""

    def __init__(self, native, file):
        self._native = native
        self._file = file
        raw_version, self.file_count, self.data_start, self.end, self.used_size, self.chunk_sum, \
            self.header_signatures, _, _, self.offset = _checked(native.header())
        self.version = _text(raw_version)
        self._entries = tuple(Entry(*fields) for fields in native.entries())
        self.entries = list(self._entries)
        self.groups = [Group(signature, [self._entries[p] for p in positions])
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

    @property
    def length(self):
        """The file's length, where it is known: a stream's once it has been read to its end."""
        return _checked(self._native.header())[7]

    @property
    def cut(self):
        """Whether the file is shorter than its header says (`.end`): the bytes of its last
        entries are missing in part, and test() names them. A stream not yet read to its end
        is not known to be cut."""
        return _checked(self._native.header())[8]

    def __repr__(self):
        return f"<kpupdate.Archive {self._file!r}: {self.version!r}, {len(self._entries)} entries>"

    def __len__(self):
        return len(self._entries)

    def __iter__(self):
        return iter(self._entries)

    def __contains__(self, entry_or_name):
        if isinstance(entry_or_name, Entry):
            return self._owns(entry_or_name)
        return self._find(entry_or_name) is not None

    def __getitem__(self, name):
        entry = self._find(name)
        if entry is None:
            raise KeyError(name)
        return entry

    def _owns(self, entry):
        return entry.position < len(self._entries) and self._entries[entry.position] is entry

    def _find(self, name):
        """The entry the library finds for `name`: the last of it, as extraction writes it;
        None where there is none."""
        found = self._native.find(_name(name))
        return None if found[0] == Status.ERROR_NOT_FOUND else self._entries[_checked(found)]

    def _entry(self, entry_or_name):
        if isinstance(entry_or_name, Entry):
            if not self._owns(entry_or_name):
                raise ValueError(f"{entry_or_name!r} is no entry of this archive")
            return entry_or_name
        return self._entries[_checked(self._native.find(_name(entry_or_name)))]

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

    def extract(self, dest, names=None, include=None, exclude=None, strip=0, padded=False, existing="replace",
                check=True):
        """Writes the entries as `kpupdate -a -C DEST` does: every file, or those `names` and
        the patterns of `include` pick, less those `exclude` picks (each a list, or one name
        or pattern alone). `existing` is "replace", "keep" or "skip". Returns an
        ExtractResult; raises ExtractError, which carries it, where an entry failed or a
        name or pattern picked nothing, and Error where nothing could start. With
        check=False an entry that failed is only told in the result."""
        if existing not in _EXISTING:
            raise ValueError('existing is "replace", "keep" or "skip"')
        status, reason, errno, told = self._native.extract(
            None if dest is None else _path(dest), _one_or_many(names, _name, "a name"),
            _one_or_many(include, _name, "a pattern"), _one_or_many(exclude, _name, "a pattern"), int(strip),
            bool(padded), _EXISTING[existing])
        if status not in (Status.OK, Status.ERROR_FAILED, Status.ERROR_NOT_FOUND):
            raise _error(reason, status, errno)
        written, skipped, failed = told
        entries = self._entries
        result = ExtractResult([(entries[p], _os.fsdecode(path)) for p, path in written],
                               [entries[p] for p in skipped], [(entries[p], _text(why)) for p, why in failed])
        if status == Status.ERROR_NOT_FOUND or (status == Status.ERROR_FAILED and check):
            raise _error(reason, status, errno, ExtractError, result=result)
        return result

    def test(self):
        """What `kpupdate --test` finds, as the document's "test" object, but for "damaged":
        the entries that lie outside the file, as in "outside" (each with its position,
        index, name and past_end), where --json prints only whether there are any; as
        diff()'s "damaged" is a list. Its truth is the same."""
        document = _json.loads(_checked(self._native.test(), (Status.OK, Status.ERROR_FORMAT)))
        document["damaged"] = [dict(entry) for entry in document["outside"]]
        return document

    def diff(self, other, padded=False):
        """What changed from `other` (an open Archive, an update file's path, "-" for standard
        input, or a directory's path) to this one, as the document's "diff" object."""
        allowed = (Status.OK, Status.DIFFERENT, Status.ERROR_FORMAT)
        if isinstance(other, Archive):
            return _json.loads(_checked(self._native.diff(other._native), allowed))
        if not _is_standard_input(other) and _os.path.isdir(_path(other)):
            return _json.loads(_checked(self._native.diff_directory(_path(other), bool(padded)), allowed))
        with open(other) as opened:
            return _json.loads(_checked(self._native.diff(opened._native), allowed))

    def manifest(self):
        """The `--json` document, as a dict: what kpupdate.create() makes the file back from."""
        return _json.loads(_checked(self._native.json()))


def _is_standard_input(source):
    return isinstance(source, (str, bytes)) and source in ("-", b"-")


def _standard_input():
    """Standard input as Python reads it, so that what sys.stdin.buffer has read ahead is
    read first, and Ctrl-C stops a read that waits."""
    stdin = getattr(_sys.stdin, "buffer", _sys.stdin)
    if stdin is None:
        raise Error("-: there is no standard input", Status.ERROR_ARGUMENT)
    if stdin.isatty():
        raise Error("refusing to read an update file from a terminal", Status.ERROR_ARGUMENT)
    return stdin


def _offset(offset):
    if isinstance(offset, bool) or not isinstance(offset, int):
        raise TypeError(f"offset is a whole number of bytes, not {offset!r}")
    if not 0 <= offset < 1 << 64:
        raise ValueError(f"offset is from 0 to 2**64 - 1, not {offset}")
    return offset


def open(source, offset=None):
    """Opens an update file: a path (str, bytes or os.PathLike), "-" for standard input, or
    any binary file object, a pipe's among them, read once, in order. A file named "-" is
    "./-" or pathlib.Path("-"). A cut file (see Archive.cut) warns with CutWarning.

    With `offset`, the path's file holds the update file at that byte, as a flash dump
    does: it is read in place, as `kpupdate --offset` reads it, its offsets counted from
    there (Archive.offset) and its bytes ending where its header says. A file object is
    read from where it stands, so the offset is a path's alone.

    A file object's readinto(b) (or else read(n)) gives what it read, b"" or 0 at its end;
    None, which a non-blocking file gives where no data is there yet, fails the read with
    BlockingIOError, as it is no end. What it raises is raised where the library asked."""
    native = _native.Archive()
    if offset is not None and (_is_standard_input(source) or not isinstance(source, (str, bytes, _os.PathLike))):
        raise TypeError("offset is a path's; a file object is read from where it stands")
    if _is_standard_input(source):
        opened, file = native.open_stream(_standard_input()), "-"
    elif isinstance(source, (str, bytes, _os.PathLike)):
        opened = native.open_path(_path(source), None if offset is None else _offset(offset))
        file = _os.fsdecode(source)
    elif hasattr(source, "readinto") or hasattr(source, "read"):
        opened, file = native.open_stream(source), getattr(source, "name", "-")
    else:
        raise TypeError("kpupdate.open takes a path or a binary file object")
    _checked(opened)
    archive = Archive(native, file if isinstance(file, str) else "-")
    if archive.cut:
        _warnings.warn(CutWarning(f"{archive._file!r} ends {archive.end - archive.length} bytes before the "
                                  f"{archive.end} its header declares; test() names the files cut short"),
                       stacklevel=2)
    return archive


def create(new, tree=".", paths=None, manifest=None, version_text=None, padded=False, filler=None, exclude=None,
           keep=False):
    """Writes the update file `new` ("-": standard output) as `kpupdate --create` does: from
    the files under `tree` at `paths` (default: all of it; one path alone is one), or from
    `manifest` with the files under `tree`. A manifest is a path ("-": standard input) or a
    dict as .manifest() returns it, whose entries may also be Entry objects (as .entries
    holds them) or names alone, and whose signatures may be ints or hex strings. Nothing
    is written where anything stops it."""
    manifest_path = manifest_text = None
    if isinstance(manifest, _abc.Mapping):
        manifest_text = _manifest_text(manifest)
    elif manifest is not None:
        manifest_path = _path(manifest)
    if manifest is None and paths is None:
        paths = ["."]
    _checked(_native.create(_path(new), None if tree is None else _path(tree), _one_or_many(paths, _path, "a path"),
                            manifest_path, manifest_text,
                            None if version_text is None else _name(version_text, "the version text"),
                            None if filler is None else _name(filler), _one_or_many(exclude, _name, "a pattern"),
                            bool(padded), bool(keep)))
