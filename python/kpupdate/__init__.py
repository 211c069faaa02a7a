"""Read, check, extract, compare and write Kelvo/Pardo firmware update files.

    import kpupdate
    with kpupdate.open("fw.update") as archive:
        for entry in archive:
            print(entry.index, entry.size, entry.name)
        data = archive.read("etc/device.cfg")

Everything is done by libkpupdate, the library under the kpupdate command line: the
same checks, the same extraction through directory handles, the same reasons.
"""

import collections.abc as _abc
import difflib as _difflib
import enum as _enum
import io as _io
import json as _json
import os as _os
import re as _re
import sys as _sys
import warnings as _warnings

from . import _native

__all__ = ["Archive", "Entry", "Group", "Status", "Error", "ExtractError", "CutWarning", "ExtractResult", "open",
           "create", "__version__"]
__version__ = _native.version


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


_EXISTING = {"replace": _native.EXISTING_REPLACE, "keep": _native.EXISTING_KEEP, "skip": _native.EXISTING_SKIP}


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
            "__module__": __name__,
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


class Entry:
    """One record of the directory, and where extraction writes it: `path` under the target
    (its name's parts joined by "/"), or None where extraction refuses the name, with
    `refusal` the line `kpupdate -a` says of it."""

    __slots__ = ("position", "index", "name_bytes", "size", "chunk_size", "offset", "signatures", "path_bytes",
                 "refusal_bytes")

    def __init__(self, position, index, name_bytes, size, chunk_size, offset, signatures, path_bytes=None,
                 refusal_bytes=None):
        self.position = position
        self.index = index
        self.name_bytes = name_bytes
        self.size = size
        self.chunk_size = chunk_size
        self.offset = offset
        self.signatures = signatures
        self.path_bytes = path_bytes
        self.refusal_bytes = refusal_bytes

    @property
    def name(self):
        return _text(self.name_bytes)

    @property
    def path(self):
        return None if self.path_bytes is None else _text(self.path_bytes)

    @property
    def refusal(self):
        return None if self.refusal_bytes is None else _text(self.refusal_bytes)

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
    """An open update file, a sequence of its entries in directory order: len(), iter(),
    `name in archive` and `archive[name]` (the entry extraction writes for that name, the
    last of it). Use kpupdate.open()."""

    def __init__(self, native, file):
        self._native = native
        self._file = file
        raw_version, self.file_count, self.data_start, self.end, self.used_size, self.chunk_sum, \
            self.header_signatures, _, _ = _checked(native.header())
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


def open(source):
    """Opens an update file: a path (str, bytes or os.PathLike), "-" for standard input, or
    any binary file object, a pipe's among them, read once, in order. A file named "-" is
    "./-" or pathlib.Path("-"). A cut file (see Archive.cut) warns with CutWarning.

    A file object's readinto(b) (or else read(n)) gives what it read, b"" or 0 at its end;
    None, which a non-blocking file gives where no data is there yet, fails the read with
    BlockingIOError, as it is no end. What it raises is raised where the library asked."""
    native = _native.Archive()
    if _is_standard_input(source):
        opened, file = native.open_stream(_standard_input()), "-"
    elif isinstance(source, (str, bytes, _os.PathLike)):
        opened, file = native.open_path(_path(source)), _os.fsdecode(source)
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


# The keys --json prints, which a manifest may hold; those the library reads back are
# converted, the rest (what the layout derives, and the reports) are left out.
_DOCUMENT_KEYS = (
    "file", "file_hex", "version", "version_hex", "version_tail_hex", "header_signatures", "file_count",
    "data_start", "total_size", "used_size", "chunk_sum", "gap_hex", "entries", "groups", "mismatches", "cut",
    "test", "diff", "sha256", "selected", "extracted", "failed", "skipped", "missing", "unmatched",
    "missing_indexes", "missing_positions", "pattern_hints", "warnings", "read_failure", "error", "reason")
_ENTRY_KEYS = ("position", "index", "size", "offset", "chunk_size", "name", "name_hex", "signatures",
               "name_tail_hex", "padding_hex")
_HEX_PAIRS = _re.compile(r"(?:[0-9a-fA-F]{2})*")
_HEX_DIGITS = _re.compile(r"[0-9a-fA-F]{1,16}")


def _refuse(path, should):
    raise Error(f"the manifest: {path} should be {should}", Status.ERROR_ARGUMENT)


def _known_keys(given, known, at):
    for key in given:
        if not isinstance(key, str):
            _refuse(f"{at}[{key!r}]", "under a key that is a string")
        if key not in known:
            near = _difflib.get_close_matches(key, known, 1, 0.0)
            raise Error(f"the manifest: {at + '.' if at else ''}{key}: unknown key"
                        + (f" (did you mean {near[0]!r}?)" if near else ""), Status.ERROR_ARGUMENT)


def _hex_bytes(value, path):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if not isinstance(value, str) or not _HEX_PAIRS.fullmatch(value):
        _refuse(path, "hexadecimal byte pairs, or bytes")
    return value


def _manifest_text_field(given, key, at, into):
    """A text as --json writes it: under `key`, or under `key`_hex where its bytes are not UTF-8."""
    path = f"{at}.{key}" if at else key
    if key + "_hex" in given:
        into[key + "_hex"] = _hex_bytes(given[key + "_hex"], path + "_hex")
        return
    if key not in given:
        return
    value = given[key]
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    if not isinstance(value, bytes):
        _refuse(path, "a string")
    if b"\0" in value:
        _refuse(path, f"a text without a NUL; what follows one goes in {key}_tail_hex")
    try:
        into[key] = value.decode("utf-8")
    except UnicodeDecodeError:
        into[key + "_hex"] = value.hex()


def _whole(value, path, bits):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << bits:
        _refuse(path, f"a whole number from 0 to {(1 << bits) - 1}")
    return value


def _signatures(value, path):
    if isinstance(value, (str, bytes)) or not isinstance(value, _abc.Sequence) or len(value) != 4:
        _refuse(path, "four signatures")
    shown = []
    for i, signature in enumerate(value):
        if isinstance(signature, str) and _HEX_DIGITS.fullmatch(signature):
            shown.append(signature)
        elif isinstance(signature, int) and not isinstance(signature, bool) and 0 <= signature < 1 << 64:
            shown.append(f"{signature:016x}")
        else:
            _refuse(f"{path}[{i}]", "a whole number below 2**64, or up to 16 hexadecimal digits")
    return shown


def _manifest_entry(value, at):
    if isinstance(value, Entry):
        value = {"name": value.name_bytes, "index": value.index, "size": value.size, "signatures": value.signatures}
    elif isinstance(value, (str, bytes)):
        value = {"name": value}
    elif not isinstance(value, _abc.Mapping):
        _refuse(at, "a name, an Entry, or a dict with a name")
    _known_keys(value, _ENTRY_KEYS, at)
    if "name" not in value and "name_hex" not in value:
        _refuse(f"{at}.name", "the entry's name")
    entry = {}
    _manifest_text_field(value, "name", at, entry)
    for key in ("name_tail_hex", "padding_hex"):
        if key in value:
            entry[key] = _hex_bytes(value[key], f"{at}.{key}")
    for key in ("index", "size"):
        if key in value:
            entry[key] = _whole(value[key], f"{at}.{key}", 32)
    if "signatures" in value:
        entry["signatures"] = _signatures(value["signatures"], f"{at}.signatures")
    return entry


def _manifest_text(manifest):
    """A dict manifest as the JSON the library reads, checked here first, so that a refusal
    names the key the caller wrote (entries[2].signatures[1]), not a line and a column of
    text they never saw."""
    _known_keys(manifest, _DOCUMENT_KEYS, "")
    document = {}
    _manifest_text_field(manifest, "version", "", document)
    for key in ("version_tail_hex", "gap_hex"):
        if key in manifest:
            document[key] = _hex_bytes(manifest[key], key)
    if "header_signatures" in manifest:
        document["header_signatures"] = _signatures(manifest["header_signatures"], "header_signatures")
    entries = manifest.get("entries")
    if isinstance(entries, (str, bytes, _abc.Mapping)) or not isinstance(entries, _abc.Iterable):
        _refuse("entries", "a list of the entries")
    document["entries"] = [_manifest_entry(entry, f"entries[{i}]") for i, entry in enumerate(entries)]
    return _json.dumps(document)


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
