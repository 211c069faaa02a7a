import enum
import io
import os
from typing import Any, BinaryIO, Iterable, Iterator, Literal, Mapping, Optional, Protocol, Union

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Name = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Names = Union[_Name, Iterable[_Name]]
_Paths = Union[_Path, Iterable[_Path]]

class _Stream(Protocol):
    def read(self, size: int, /) -> Union[bytes, bytearray, memoryview, None]: ...

__version__: str

class Status(enum.IntEnum):
    OK = 0
    DIFFERENT = 1
    ERROR_SYSTEM = -1
    ERROR_FORMAT = -2
    ERROR_ARGUMENT = -3
    ERROR_STATE = -4
    ERROR_NOT_FOUND = -5
    ERROR_FAILED = -6

class Error(OSError):
    reason: str
    status: Union[Status, int]
    def __init__(self, reason: str = ..., status: Union[Status, int] = ..., errno: Optional[int] = ...) -> None: ...

class ExtractError(Error):
    result: ExtractResult
    def __init__(
        self,
        reason: str = ...,
        status: Union[Status, int] = ...,
        errno: Optional[int] = ...,
        result: Optional[ExtractResult] = ...,
    ) -> None: ...
    @property
    def written(self) -> list[tuple[Entry, str]]: ...
    @property
    def skipped(self) -> list[Entry]: ...
    @property
    def failed(self) -> list[tuple[Entry, str]]: ...

class CutWarning(UserWarning): ...

class Entry:
    position: int
    index: int
    name_bytes: bytes
    size: int
    chunk_size: int
    offset: int
    signatures: tuple[int, int, int, int]
    path_bytes: Optional[bytes]
    refusal_bytes: Optional[bytes]
    @property
    def name(self) -> str: ...
    @property
    def path(self) -> Optional[str]: ...
    @property
    def refusal(self) -> Optional[str]: ...

class Group:
    signature: int
    entries: list[Entry]

class ExtractResult:
    written: list[tuple[Entry, str]]
    skipped: list[Entry]
    failed: list[tuple[Entry, str]]

class Archive:
    version: str
    file_count: int
    data_start: int
    end: int
    used_size: int
    chunk_sum: int
    header_signatures: tuple[int, int, int, int]
    offset: int
    entries: list[Entry]
    groups: list[Group]
    @property
    def is_stream(self) -> bool: ...
    @property
    def length(self) -> Optional[int]: ...
    @property
    def cut(self) -> bool: ...
    def __enter__(self) -> Archive: ...
    def __exit__(self, *exc: Any) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Entry]: ...
    def __contains__(self, entry_or_name: Union[Entry, _Name]) -> bool: ...
    def __getitem__(self, name: _Name) -> Entry: ...
    def close(self) -> None: ...
    def read(self, entry_or_name: Union[Entry, _Name], padded: bool = ...) -> bytes: ...
    def open_entry(self, entry_or_name: Union[Entry, _Name], padded: bool = ...) -> io.RawIOBase: ...
    def sha256(self, entry_or_name: Union[Entry, _Name], padded: bool = ...) -> str: ...
    def extract(
        self,
        dest: Optional[_Path],
        names: Optional[_Names] = ...,
        include: Optional[_Names] = ...,
        exclude: Optional[_Names] = ...,
        strip: int = ...,
        padded: bool = ...,
        existing: Literal["replace", "keep", "skip"] = ...,
        check: bool = ...,
    ) -> ExtractResult: ...
    def test(self) -> dict[str, Any]: ...
    def diff(self, other: Union[Archive, _Path], padded: bool = ...) -> dict[str, Any]: ...
    def manifest(self) -> dict[str, Any]: ...

def open(source: Union[_Path, BinaryIO, io.RawIOBase, _Stream], offset: Optional[int] = ...) -> Archive: ...
def create(
    new: _Path,
    tree: Optional[_Path] = ...,
    paths: Optional[_Paths] = ...,
    manifest: Union[_Path, Mapping[str, Any], None] = ...,
    version_text: Optional[_Name] = ...,
    padded: bool = ...,
    filler: Optional[_Name] = ...,
    exclude: Optional[_Names] = ...,
    keep: bool = ...,
) -> None: ...

class Found:
    offset: int
    end: int
    file_count: int
    version_bytes: bytes
    cut: bool
    within: Optional[int]
    weak: bool
    @property
    def version(self) -> str: ...

def scan(source: Union[_Path, BinaryIO, io.RawIOBase, _Stream], weak: bool = ...) -> Iterator[Found]: ...
