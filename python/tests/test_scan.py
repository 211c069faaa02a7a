"""Hunting from Python: kpupdate.scan against the command line's --scan --json."""

import io
import json
import os
import subprocess

import pytest

import kpupdate
from command_line import run
from update_files import build


def blob():
    inner = build([(b"inner.bin", 1, b"i" * 700, (0, 0, 0, 0))], version=b"inner", seed=3)
    outer = build([(b"a.bin", 1, b"a" * 1000, (1, 2, 3, 4)), (b"nest/inner.update", 2, inner, (0, 0, 0, 0))],
                  version=b"outer", seed=4)
    cut = build([(b"c.bin", 9, b"c" * 5000, (0, 0, 0, 0))], version=b"cut one", seed=5)
    return os.urandom(999) + outer + bytes(77) + cut[:3000]


def as_documented(found):
    return [{"offset": f.offset, "end": f.end, "file_count": f.file_count, "version": f.version, "cut": f.cut,
             "within": f.within, "weak": f.weak} for f in found]


def test_every_source_finds_what_the_command_line_finds(tmp_path):
    path = tmp_path / "dump.bin"
    path.write_bytes(blob())
    done = run("--scan", "--json", str(path))
    assert done.returncode == 0, done.stderr
    expected = json.loads(done.stdout)["scan"]["found"]
    assert [f["file_count"] for f in expected] == [2, 1, 1] and expected[1]["within"] == expected[0]["offset"]
    assert as_documented(kpupdate.scan(path)) == expected
    assert as_documented(kpupdate.scan(os.fsencode(path))) == expected
    assert as_documented(kpupdate.scan(io.BytesIO(path.read_bytes()))) == expected
    with open(path, "rb") as file:
        assert as_documented(kpupdate.scan(file)) == expected
    process = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
    assert as_documented(kpupdate.scan(process.stdout)) == expected
    process.wait()
    found = list(kpupdate.scan(path))
    assert found[2].cut and not found[0].cut and found[0].version == "outer"
    assert repr(found[1]).startswith("<Found 0x") and " in 0x3e7" in repr(found[1])


def test_weak_candidates_and_failures(tmp_path):
    odd = tmp_path / "odd.bin"
    odd.write_bytes(bytes(10) + build([(b"x.bin", 1, b"x", (0, 0, 0, 0))], version=b"odd\x1b[0m", seed=6))
    assert list(kpupdate.scan(odd)) == []
    weak = list(kpupdate.scan(odd, weak=True))
    # The loader alone takes chance offsets too: its directory's record is one.
    assert (weak[0].offset, weak[0].weak, weak[0].version_bytes) == (10, True, b"odd\x1b[0m")
    with pytest.raises(FileNotFoundError):
        list(kpupdate.scan(tmp_path / "none"))
    with pytest.raises(TypeError):
        list(kpupdate.scan(42))

    class Unplugged(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, buffer):
            raise ConnectionResetError("unplugged")

    with pytest.raises(ConnectionResetError):
        list(kpupdate.scan(Unplugged()))
