import io
import os
from typing import Any, BinaryIO, Iterable, Literal, Optional, Union

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Name = Union[str, bytes]

__version__: str

class Error(OSError):
    reason: str
    status: int
    def __init__(self, reason: str, status: int = ..., errno: Optional[int] = ...) -> None: ...

class Entry:
    position: int
    index: int
    name_bytes: bytes
    size: int
    chunk_size: int
    offset: int
    signatures: tuple[int, int, int, int]
    @property
    def name(self) -> str: ...

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
    entries: list[Entry]
    groups: list[Group]
    @property
    def is_stream(self) -> bool: ...
    def __enter__(self) -> Archive: ...
    def __exit__(self, *exc: Any) -> None: ...
    def close(self) -> None: ...
    def read(self, entry_or_name: Union[Entry, _Name], padded: bool = ...) -> bytes: ...
    def open_entry(self, entry_or_name: Union[Entry, _Name], padded: bool = ...) -> io.RawIOBase: ...
    def sha256(self, entry_or_name: Union[Entry, _Name], padded: bool = ...) -> str: ...
    def extract(
        self,
        dest: Optional[_Path],
        names: Optional[Iterable[_Name]] = ...,
        include: Optional[Iterable[_Name]] = ...,
        exclude: Optional[Iterable[_Name]] = ...,
        strip: int = ...,
        padded: bool = ...,
        existing: Literal["replace", "keep", "skip"] = ...,
    ) -> ExtractResult: ...
    def test(self) -> dict[str, Any]: ...
    def diff(self, other: Union[Archive, _Path], padded: bool = ...) -> dict[str, Any]: ...
    def manifest(self) -> dict[str, Any]: ...

def open(source: Union[_Path, BinaryIO]) -> Archive: ...
def create(
    new: _Path,
    tree: Optional[_Path] = ...,
    paths: Optional[Iterable[_Path]] = ...,
    manifest: Union[_Path, dict[str, Any], None] = ...,
    version_text: Optional[_Name] = ...,
    padded: bool = ...,
    filler: Optional[_Name] = ...,
    exclude: Optional[Iterable[_Name]] = ...,
    keep: bool = ...,
) -> None: ...
