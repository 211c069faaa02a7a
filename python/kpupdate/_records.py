"""What an update file holds and what extraction did, as plain records."""

from ._names import _text


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

