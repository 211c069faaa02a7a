"""Extraction as the command line does it, and what it says where it fails."""

import os

import pytest

import kpupdate
from command_line import run, tree
from update_files import build


def test_extraction_is_the_command_lines(update_file, tmp_path):
    for options, kwargs in (([], {}), (["--padded"], {"padded": True}),
                            (["--exclude", "*.ko", "--strip-components=1"], {"exclude": ["*.ko"], "strip": 1})):
        ours, theirs = tmp_path / ("ours" + str(len(options))), tmp_path / ("theirs" + str(len(options)))
        ours.mkdir()
        theirs.mkdir()
        run("-qa", "-C", theirs, *options, update_file)
        with kpupdate.open(update_file) as archive:
            result = archive.extract(ours, **kwargs)
        assert tree(ours) == tree(theirs)
        assert not result.failed
        assert sorted(path for _, path in result.written) == sorted(os.path.join(ours, p) for p in tree(ours))
        if not options:  # where each entry goes, as the library says before it is written
            assert sorted(os.path.join(ours, e.path) for e, _ in result.written) == sorted(
                path for _, path in result.written)


def test_an_extraction_that_fails_raises_what_it_did(tmp_path):
    unsafe = tmp_path / "unsafe.update"
    unsafe.write_bytes(build([(b"../up.bin", 0, b"u", (1, 0, 0, 0)), (b"ok.bin", 1, b"k", (2, 0, 0, 0))]))
    (tmp_path / "out").mkdir()
    with kpupdate.open(unsafe) as archive:
        with pytest.raises(kpupdate.ExtractError) as raised:
            archive.extract(tmp_path / "out")
        result = archive.extract(tmp_path / "out", check=False)
    error = raised.value
    assert isinstance(error, kpupdate.Error) and error.status == kpupdate.Status.ERROR_FAILED
    assert error.errno is None and error.reason.startswith("../up.bin: ")
    for told in (error, result):
        assert [entry.name for entry, _ in told.written] == ["ok.bin"]
        assert [(entry.name, reason) for entry, reason in told.failed] == [("../up.bin",
                                                                            error.reason.split(": ", 1)[1])]
