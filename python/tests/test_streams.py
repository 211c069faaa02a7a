"""Update files read from file objects and pipes, and streams that misbehave."""

import hashlib
import io
import os
import subprocess
import sys

import pytest

import kpupdate
from update_files import build


def test_a_stream_gives_what_the_file_gives(update_file):
    with kpupdate.open(update_file) as archive:
        expected = [(e, archive.read(e)) for e in archive.entries]
        document = archive.manifest()
    with open(update_file, "rb") as raw, kpupdate.open(io.BufferedReader(raw)) as streamed:
        assert streamed.is_stream and streamed.entries == [e for e, _ in expected]
        at = 0
        for entry, data in sorted(expected, key=lambda pair: pair[0].offset):
            if entry.offset >= at:  # a stream is read once: what lies behind is gone
                assert streamed.read(streamed.entries[entry.position]) == data
                at = entry.offset + entry.size
    process = subprocess.Popen(["cat", update_file], stdout=subprocess.PIPE)
    with kpupdate.open(process.stdout) as piped:
        assert piped.is_stream
        assert dict(piped.manifest(), file=None) == dict(document, file=None)
    process.wait()


class FailingReadinto(io.RawIOBase):
    def readable(self):
        return True

    def readinto(self, buffer):
        raise ConnectionResetError("unplugged")


class FailingRead:  # no readinto: the module asks read
    def read(self, size):
        raise ConnectionResetError("unplugged")


@pytest.mark.parametrize("stream", [FailingReadinto(), FailingRead()], ids=["readinto", "read"])
def test_a_stream_that_raises_raises_it(stream):
    # What the stream raised comes out of the open as itself, once the library has let go:
    # nothing is reported as unraisable on the way.
    seen = []
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        with pytest.raises(ConnectionResetError, match="unplugged"):
            kpupdate.open(stream)
    finally:
        sys.unraisablehook = hook
    assert seen == []


# A stream that reads like a file until `fail_at`, then does what `misread` says with the
# count read() is asked for, or with the buffer readinto() is given: returns it, or raises.
class Misreading:
    def __init__(self, data, fail_at, misread):
        self._data = io.BytesIO(data)
        self._fail_at = fail_at
        self._misread = misread
        self.raised = None

    def read(self, size):
        return self._misread(self, size) if self._data.tell() >= self._fail_at else self._data.read(size)


class MisreadingInto(Misreading):
    def readinto(self, buffer):
        return self._misread(self, buffer) if self._data.tell() >= self._fail_at else self._data.readinto(buffer)


def raising(make):
    def misread(stream, _):
        stream.raised = make()
        raise stream.raised
    return misread


class ReadOnly:
    """A stream with read() alone, whose answers `give` makes of the bytes read."""

    def __init__(self, data, give):
        self._data = io.BytesIO(data)
        self._give = give

    def read(self, size):
        return self._give(self._data.read(size))


BIG = bytes(range(256)) * 4096  # 1 MiB: its file is made before all of its bytes have arrived
BIG_FILE = build([(b"big.bin", 0, BIG, (1, 0, 0, 0)), (b"small.bin", 1, b"s" * 100, (2, 0, 0, 0))])


MISREADS = [  # (how the stream's read misbehaves, what the call raises)
    ("readinto", lambda stream, buffer: len(buffer) + 100000, OSError),
    ("readinto", lambda stream, buffer: -2, OSError),
    ("readinto", lambda stream, buffer: "12", TypeError),
    ("readinto", lambda stream, buffer: 1.5, TypeError),
    ("readinto", lambda stream, buffer: None, BlockingIOError),
    ("readinto", raising(KeyboardInterrupt), KeyboardInterrupt),
    ("readinto", raising(lambda: PermissionError(13, "not for you")), PermissionError),
    ("readinto", raising(lambda: ValueError("no")), ValueError),
    ("read", lambda stream, size: "text", TypeError),
    ("read", lambda stream, size: None, BlockingIOError),
    ("read", lambda stream, size: b"x" * (size + 1), OSError),
    ("read", raising(lambda: InterruptedError(4, "never taken as 'read again'")), InterruptedError),
    ("readinto", lambda stream, buffer: stream.archive.close(), RuntimeError),  # its own lock: refused, not waited for
]


@pytest.mark.parametrize("method, misread, expected", MISREADS,
                         ids=[f"{m}-{e.__name__}-{i}" for i, (m, _, e) in enumerate(MISREADS)])
def test_a_stream_that_misreads_fails_its_call_and_leaves_nothing(method, misread, expected, tmp_path, capfd):
    out = tmp_path / "out"
    out.mkdir()
    descriptors = len(os.listdir("/proc/self/fd"))
    for _ in range(50):
        stream = (MisreadingInto if method == "readinto" else Misreading)(BIG_FILE, 600000, misread)
        archive = stream.archive = kpupdate.open(stream)
        with pytest.raises(expected) as raised:
            archive.extract(out)
        assert not isinstance(raised.value, kpupdate.Error)
        if stream.raised is not None:
            assert raised.value is stream.raised
        archive.close()
    assert len(os.listdir("/proc/self/fd")) == descriptors
    assert os.listdir(out) == []
    assert "Exception ignored" not in capfd.readouterr().err


@pytest.mark.parametrize("give", [bytes, bytearray, memoryview])
def test_a_stream_read_may_give_any_bytes(give, tmp_path):
    with kpupdate.open(ReadOnly(BIG_FILE, give)) as archive:
        assert archive.read("big.bin") == BIG and archive.read("small.bin") == b"s" * 100


@pytest.mark.parametrize("keep", ["view", "slice"])
def test_a_view_a_stream_keeps_is_the_libraries_no_more(keep):
    kept = []

    class Keeping(io.BytesIO):
        def readinto(self, buffer):
            kept.append(buffer if keep == "view" else buffer[:10])
            return super().readinto(buffer)

    archive = kpupdate.open(Keeping(BIG_FILE))
    assert archive.read("big.bin") == BIG
    archive.close()
    for view in kept:
        if keep == "view":
            with pytest.raises(ValueError):
                view[0] = 1
            with pytest.raises(ValueError):
                bytes(view)
        else:  # a slice outlives release(); it reaches a buffer of the binding's, not the library's
            view[:] = b"\xff" * 10


def test_dash_is_standard_input_as_python_reads_it(tmp_path):
    (tmp_path / "a.update").write_bytes(b"one line first\n" + BIG_FILE)
    (tmp_path / "-").write_bytes(BIG_FILE[:100])
    script = ("import sys, kpupdate; sys.stdin.buffer.readline(); a = kpupdate.open('-');"
              "print(a.is_stream, len(a), a.sha256('big.bin'));"
              "print(kpupdate.open('./-'))")
    with open(tmp_path / "a.update", "rb") as stdin:
        shown = subprocess.run([sys.executable, "-c", script], stdin=stdin, capture_output=True, cwd=tmp_path)
    lines = shown.stdout.decode().splitlines()
    assert lines == [f"True 2 {hashlib.sha256(BIG).hexdigest()}"], shown.stderr.decode()[-2000:]
    assert "kpupdate.Error: ./-: not an update file" in shown.stderr.decode()  # a file named "-" is a file
