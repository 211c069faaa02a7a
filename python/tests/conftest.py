"""The update files the tests share."""

import pytest

import kpupdate
from update_files import build, random_archive

SEEDS = range(12)


@pytest.fixture(params=SEEDS)
def update_file(request, tmp_path):
    path = tmp_path / "a.update"
    path.write_bytes(random_archive(request.param))
    return path


@pytest.fixture
def two_archives(tmp_path):
    """An archive whose name a.bin is written twice, with one safe file, and one other."""
    path, other = tmp_path / "dup.update", tmp_path / "other.update"
    path.write_bytes(build([(b"a.bin", 0, b"first", (1, 0, 0, 0)), (b"b.bin", 1, b"bee", (2, 0, 0, 0)),
                            (b"a.bin", 2, b"second", (3, 0, 0, 0))]))
    other.write_bytes(build([(b"a.bin", 0, b"first", (1, 0, 0, 0))]))
    (tmp_path / "out").mkdir()
    (tmp_path / "file").write_bytes(b"")
    with kpupdate.open(path) as archive, kpupdate.open(other) as another:
        yield archive, another, tmp_path
