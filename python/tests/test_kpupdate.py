"""The module against the command line, on random update files: what one says, the other
says, byte for byte."""

import errno
import hashlib
import io
import json
import os
import pickle
import subprocess
import sys
import threading

import pytest

import kpupdate
from update_files import build, random_archive

KPUPDATE = os.environ.get("KPUPDATE", "kpupdate")


def run(*args, stdin=None, cwd=None):
    return subprocess.run([KPUPDATE, *args], input=stdin, capture_output=True, cwd=cwd)


def tree(root):
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            with open(path, "rb") as file:
                found[os.path.relpath(path, root)] = file.read()
    return found


SEEDS = range(12)


@pytest.fixture(params=SEEDS)
def update_file(request, tmp_path):
    path = tmp_path / "a.update"
    path.write_bytes(random_archive(request.param))
    return path


def test_entries_and_document_are_the_command_lines(update_file):
    document = json.loads(run("--json", update_file).stdout)
    with kpupdate.open(update_file) as archive:
        assert archive.manifest() == document
        assert archive.version == document["version"]
        assert [(e.position, e.index, e.name, e.size, e.chunk_size, e.offset, ["%016x" % s for s in e.signatures])
                for e in archive.entries] == [
                    (e["position"], e["index"], e["name"], e["size"], e["chunk_size"], e["offset"], e["signatures"])
                    for e in document["entries"]]
        assert [[e.position for e in g.entries] for g in archive.groups] == [g["positions"]
                                                                             for g in document["groups"]]
        tested = json.loads(run("--json", "--test", update_file).stdout)["test"]
        assert archive.test() == dict(tested, damaged=tested["outside"])  # the entries, where --json says whether


def test_bytes_and_digests_are_the_command_lines(update_file):
    digests = run("--sha256", update_file).stdout.decode().splitlines()
    with kpupdate.open(os.fspath(update_file).encode()) as archive:
        for entry in archive.entries:
            for padded in (False, True):
                shown = run("-O", "--position", str(entry.position), *(["--padded"] if padded else []), update_file)
                assert archive.read(entry, padded=padded) == shown.stdout
                reader = archive.open_entry(entry, padded=padded)
                assert reader.read() == shown.stdout
        latest = {e.name: e for e in archive.entries}.values()
        assert sorted(f"{archive.sha256(e)}  {e.name}" for e in latest) == sorted(digests)


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


def test_create_makes_the_command_lines_bytes(update_file, tmp_path):
    tree_dir = tmp_path / "tree"
    tree_dir.mkdir()
    with kpupdate.open(update_file) as archive:
        if len({e.name for e in archive.entries}) < len(archive.entries):
            pytest.skip("a name written twice has one file")
        archive.extract(tree_dir)
        manifest = archive.manifest()
    (tmp_path / "m.json").write_text(json.dumps(manifest))
    run("-c", tmp_path / "cli.update", "-C", tree_dir, "--manifest", tmp_path / "m.json")
    kpupdate.create(tmp_path / "py.update", tree=tree_dir, manifest=manifest)
    kpupdate.create(tmp_path / "py2.update", tree=tree_dir, manifest=tmp_path / "m.json")
    assert (tmp_path / "py.update").read_bytes() == (tmp_path / "cli.update").read_bytes()
    assert (tmp_path / "py2.update").read_bytes() == update_file.read_bytes()
    run("-c", tmp_path / "t.update", "-C", tree_dir, ".")
    kpupdate.create(tmp_path / "t2.update", tree=tree_dir)
    assert (tmp_path / "t2.update").read_bytes() == (tmp_path / "t.update").read_bytes()


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


def test_diff_is_the_command_lines(tmp_path):
    old, new = tmp_path / "old.update", tmp_path / "new.update"
    old.write_bytes(random_archive(100))
    new.write_bytes(random_archive(101))
    expected = json.loads(run("--json", "--diff", old, new).stdout)["diff"]
    with kpupdate.open(new) as fresh, kpupdate.open(old) as before:
        assert fresh.diff(before) == expected
        assert fresh.diff(old) == expected
        (tmp_path / "tree").mkdir()
        fresh.extract(tmp_path / "tree")
        assert fresh.diff(tmp_path / "tree") == json.loads(run("--json", "--diff", tmp_path / "tree", new).stdout)["diff"]


def stderr_reason(result):
    """The command line's reasons, as the module gives them: its stderr lines without their
    "kpupdate: " and without what only the program says."""
    lines = [line.removeprefix("kpupdate: ") for line in result.stderr.decode().splitlines()]
    return "\n".join(line for line in lines
                     if not line.endswith(" was not written") and not line.startswith(("warning:", "ERROR:")))


@pytest.mark.filterwarnings("ignore::kpupdate.CutWarning")
def test_refusals_are_the_command_lines(tmp_path):
    short = tmp_path / "short.update"
    short.write_bytes(b"x" * 100)
    cut = tmp_path / "cut.update"
    cut.write_bytes(build([(b"a.bin", 0, b"a" * 3000, (1, 0, 0, 0))])[:2000])
    unsafe = tmp_path / "unsafe.update"
    unsafe.write_bytes(build([(b"../up.bin", 0, b"u", (1, 0, 0, 0)), (b"ok.bin", 1, b"k", (2, 0, 0, 0))]))
    (tmp_path / "out").mkdir()
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "a").write_bytes(b"a")
    os.symlink("/etc/passwd", tmp_path / "t" / "l")
    (tmp_path / "m.json").write_text('{"entries": [{"name": "a", "idx": 7}]}')
    cases = [
        (lambda: kpupdate.open(tmp_path / "none.update"), ["-q", tmp_path / "none.update"], 2),
        (lambda: kpupdate.open(short), ["-q", short], None),
        (lambda: kpupdate.open(cut).read("a.bin"), ["-q", "-O", cut, "a.bin"], None),
        (lambda: kpupdate.open(unsafe).extract(tmp_path / "out", check=False), ["-qa", "-C", tmp_path / "out", unsafe],
         None),
        (lambda: kpupdate.create(tmp_path / "n.update", tree=tmp_path / "t", paths=["a", "l"]),
         ["-c", tmp_path / "n.update", "-C", tmp_path / "t", "a", "l"], None),
        (lambda: kpupdate.create(tmp_path / "n.update", tree=tmp_path / "t", manifest=tmp_path / "m.json"),
         ["-c", tmp_path / "n.update", "-C", tmp_path / "t", "--manifest", tmp_path / "m.json"], None),
    ]
    with kpupdate.open(unsafe) as archive:  # where each entry goes, or what -a says of it
        refused = stderr_reason(run("-qa", "-C", tmp_path / "out", unsafe))
        assert [(e.path, e.refusal) for e in archive] == [(None, refused), ("ok.bin", None)]
    for call, args, errno in cases:
        expected = stderr_reason(run(*args))
        try:
            outcome = call()
        except kpupdate.Error as error:
            assert isinstance(error, OSError)
            assert error.reason == expected, args
            assert error.errno == errno
            assert isinstance(error, FileNotFoundError) == (errno == 2)
        else:  # extraction says what failed, and goes on with the rest
            assert [reason for _, reason in outcome.failed] == [expected.split(": ", 1)[1]]
            assert [path for _, path in outcome.written] == [os.path.join(tmp_path / "out", "ok.bin")]


def test_two_threads_read_two_archives(tmp_path):
    paths = []
    for seed in (7, 8):
        path = tmp_path / f"{seed}.update"
        path.write_bytes(random_archive(seed) * 1)
        paths.append(path)
    alone = {}
    for path in paths:
        with kpupdate.open(path) as archive:
            alone[path] = [archive.sha256(e) + archive.read(e, padded=True).hex() for e in archive.entries]
    together = {}

    def read_all(path):
        for _ in range(20):
            with kpupdate.open(path) as archive:
                together[path] = [archive.sha256(e) + archive.read(e, padded=True).hex() for e in archive.entries]

    threads = [threading.Thread(target=read_all, args=(path,)) for path in paths]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert together == alone


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


def close_during_a_hash(tmp_path):
    """close() in one thread while another hashes a big entry: the close waits for it."""
    inside, closing = threading.Event(), threading.Event()

    class Signalling(io.BytesIO):
        def readinto(self, buffer):
            if self.tell() > 0 and not inside.is_set():  # past the directory: in sha256()
                inside.set()
                assert closing.wait(60)
            return super().readinto(buffer)

    data = bytes(range(256)) * 32768
    archive = kpupdate.open(Signalling(build([(b"big.bin", 0, data, (1, 0, 0, 0))])))
    digests = []
    hashing = threading.Thread(target=lambda: digests.append(archive.sha256("big.bin")))
    hashing.start()
    assert inside.wait(60)
    closing.set()
    archive.close()
    hashing.join()
    assert digests == [hashlib.sha256(data).hexdigest()]
    with pytest.raises(kpupdate.Error, match="no update file is open"):
        archive.sha256(archive.entries[0])


def readers_of_a_pipe(tmp_path):
    """Three threads read one pipe's archive: an entry is whole where it is given, and
    refused where the stream has passed it."""
    entries = [(b"e%d.bin" % i, i, bytes([i]) * (100000 * i + 1), (i + 1, 0, 0, 0)) for i in range(7)]
    data = build(entries)
    read, write = os.pipe()
    writer = threading.Thread(target=lambda: (os.write(write, data), os.close(write)))
    writer.start()
    got, refused = [], []
    with os.fdopen(read, "rb") as pipe, kpupdate.open(pipe) as archive:
        start = threading.Barrier(3)

        def reader():
            start.wait()
            for entry in archive:
                try:
                    got.append((entry.position, archive.read(entry)))
                except kpupdate.Error as error:
                    refused.append(error.status)

        readers = [threading.Thread(target=reader) for _ in range(3)]
        for thread in readers:
            thread.start()
        for thread in readers:
            thread.join()
    writer.join()
    assert got and all(bytes_ == entries[position][2] for position, bytes_ in got)
    assert set(refused) <= {kpupdate.Status.ERROR_STATE} and len(got) + len(refused) == 3 * len(entries)


def failures_keep_their_reasons(tmp_path):
    """Two threads whose calls fail at once: each is told its own reason."""
    cut = tmp_path / "cut.update"
    cut.write_bytes(build([(b"first.bin", 0, b"f" * 5000, (1, 0, 0, 0)),
                           (b"second.bin", 1, b"s" * 5000, (2, 0, 0, 0))])[:1000])
    with pytest.warns(kpupdate.CutWarning):
        archive = kpupdate.open(cut)
    start = threading.Barrier(2)
    told = []

    def fail(call, name):
        start.wait()
        for _ in range(3000):
            with pytest.raises(kpupdate.Error) as raised:
                call(name)
            told.append((name, raised.value.reason.split(":")[0]))

    threads = [threading.Thread(target=fail, args=(archive.sha256, "first.bin")),
               threading.Thread(target=fail, args=(archive.read, "second.bin"))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(told) == 6000 and all(name == reason for name, reason in told)


@pytest.mark.parametrize("scenario", [close_during_a_hash, readers_of_a_pipe, failures_keep_their_reasons])
def test_threads_share_one_archive(scenario, tmp_path):
    scenario(tmp_path)


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


REFUSED_ARGUMENTS = [  # (call, what it raises, words of it)
    (lambda a, o, t: a.extract(t / "out\0/../../etc"), ValueError, "null byte"),
    (lambda a, o, t: a.extract(t / "out", names=["a.bin\0x"]), ValueError, "null byte in a name"),
    (lambda a, o, t: a.extract(t / "out", include="*\0"), ValueError, "null byte in a pattern"),
    (lambda a, o, t: a.read(b"a.bin\0"), ValueError, "null byte in a name"),
    (lambda a, o, t: "a\0" in a, ValueError, "null byte"),
    (lambda a, o, t: kpupdate.open(t / "dup.update\0x"), ValueError, "null byte"),
    (lambda a, o, t: kpupdate.create(t / "n.update\0", tree=t), ValueError, "null byte"),
    (lambda a, o, t: kpupdate.create(t / "n.update", tree=t, paths=["out", "fi\0le"]), ValueError, "null byte"),
    (lambda a, o, t: a.diff(t / "o\0"), ValueError, "null byte"),
    (lambda a, o, t: a.read(o.entries[0]), ValueError, "no entry of this archive"),
    (lambda a, o, t: a.sha256(o.entries[0]), ValueError, "no entry of this archive"),
    (lambda a, o, t: a.read(5), TypeError, "a name is str or bytes"),
    (lambda a, o, t: a["zz"], KeyError, "zz"),
    (lambda a, o, t: a.sha256("z z"), kpupdate.Error, "^no file named 'z z' in archive$"),  # the library's words
    (lambda a, o, t: kpupdate.open(t / "none.update"), FileNotFoundError, "No such file"),
    (lambda a, o, t: kpupdate.open(t), IsADirectoryError, "Is a directory"),
    (lambda a, o, t: a.extract(t / "none"), FileNotFoundError, "no directory"),
    (lambda a, o, t: a.extract(t / "file"), NotADirectoryError, "no directory"),
    (lambda a, o, t: a.extract(t / "out", names=["zz", "b.bin"]), kpupdate.ExtractError, "no file named zz"),
]


@pytest.mark.parametrize("call, expected, words", REFUSED_ARGUMENTS,
                         ids=[f"{i}-{e.__name__}" for i, (_, e, _) in enumerate(REFUSED_ARGUMENTS)])
def test_arguments_are_refused_as_python_refuses_them(two_archives, call, expected, words):
    archive, other, tmp_path = two_archives
    with pytest.raises(expected, match=words) as raised:
        call(archive, other, tmp_path)
    error = raised.value
    if isinstance(error, kpupdate.Error):  # and where the system refused, Python's own class for its errno
        assert (error.errno is not None) == (error.status == kpupdate.Status.ERROR_SYSTEM)
        if error.errno is not None:
            assert type(error) is type(kpupdate.Error(error.reason, error.status, error.errno))
        copy = pickle.loads(pickle.dumps(error))
        assert (type(copy), copy.reason, copy.status, copy.errno) == (type(error), error.reason, error.status,
                                                                      error.errno)
    assert os.listdir(tmp_path / "out") in ([], ["b.bin"])
    assert not os.path.exists(tmp_path / "out\0") and not (tmp_path / "n.update").exists()


def test_the_archive_is_a_sequence_of_its_entries(two_archives):
    archive, other, tmp_path = two_archives
    first, bee, second = archive.entries
    assert (len(archive), list(archive)) == (3, [first, bee, second])
    assert [archive["a.bin"], archive[b"b.bin"]] == [second, bee]  # the last of a name, as extraction writes it
    assert archive.read("a.bin") == b"second" and archive.read(first) == b"first"
    found = ["a.bin" in archive, b"b.bin" in archive, "zz" in archive, first in archive, other.entries[0] in archive]
    assert found == [True, True, False, True, False]
    assert (archive.cut, archive.length, archive.end) == (False, 2048, 2048)
    written = archive.extract(tmp_path / "out", names="b.bin").written  # one name, not its five characters
    assert written == [(bee, os.path.join(tmp_path / "out", "b.bin"))]
    assert archive.extract(tmp_path / "out", include="*.bin", exclude="a*").written == written
    with pytest.raises(kpupdate.ExtractError) as raised:
        archive.extract(tmp_path / "out", names=["zz", "b.bin"], existing="skip")
    assert raised.value.status == kpupdate.Status.ERROR_NOT_FOUND and raised.value.skipped == [bee]


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


def test_damage_is_a_list_in_tests_and_in_comparisons(tmp_path):
    whole = build([(b"a.bin", 0, b"a" * 3000, (1, 0, 0, 0)), (b"b.bin", 1, b"b" * 3000, (2, 0, 0, 0))])
    (tmp_path / "whole.update").write_bytes(whole)
    (tmp_path / "cut.update").write_bytes(whole[:2000])
    with pytest.warns(kpupdate.CutWarning, match="ends 4656 bytes before the 6656"):
        cut = kpupdate.open(tmp_path / "cut.update")
    with cut, kpupdate.open(tmp_path / "whole.update") as intact:
        assert (cut.cut, cut.length, intact.cut) == (True, 2000, False)
        tested = cut.test()
        assert [(e["name"], e["past_end"]) for e in tested["damaged"]] == [("a.bin", 1584), ("b.bin", 4656)]
        assert tested["damaged"] == tested["outside"] and intact.test()["damaged"] == []
        assert [(e["name"], e["side"]) for e in intact.diff(cut)["damaged"]] == [("a.bin", "old"),
                                                                                 ("b.bin", "old")]
    with open(tmp_path / "cut.update", "rb") as raw, kpupdate.open(raw) as streamed:
        assert (streamed.cut, streamed.length) == (False, None)  # not known until it is read to its end
        assert streamed.test()["damaged"] and (streamed.cut, streamed.length) == (True, 2000)


def signatures_as_ints(manifest, archive):
    for entry in manifest["entries"]:
        entry["signatures"] = [int(s, 16) for s in entry["signatures"]]


MANIFESTS = [  # (what is done to the manifest .manifest() gave, the reason create() refuses it with, or None)
    (lambda m, a: None, None),
    (signatures_as_ints, None),
    (lambda m, a: m.update(entries=a.entries), None),
    (lambda m, a: m.update(entries=[a.entries[0], dict(m["entries"][1], padding_hex=""), a.entries[2]],
                           header_signatures=list(a.header_signatures)), None),
    (lambda m, a: m["entries"][2]["signatures"].__setitem__(1, "xyz"),
     "entries[2].signatures[1] should be a whole number below 2**64, or up to 16 hexadecimal digits"),
    (lambda m, a: m["entries"][1]["signatures"].__setitem__(0, 1 << 64), "entries[1].signatures[0] should be"),
    (lambda m, a: m["entries"][0].__setitem__("signatures", [1, 2, 3]), "entries[0].signatures should be four"),
    (lambda m, a: m["entries"][1].__setitem__("idx", 3), "entries[1].idx: unknown key (did you mean 'index'?)"),
    (lambda m, a: m.__setitem__("verson", "x"), "verson: unknown key (did you mean 'version'?)"),
    (lambda m, a: m["entries"][0].__setitem__("index", -1),
     "entries[0].index should be a whole number from 0 to 4294967295"),
    (lambda m, a: m["entries"][2].__setitem__("name", "a\0b"), "entries[2].name should be a text without a NUL"),
    (lambda m, a: m["entries"][0].__setitem__("padding_hex", "abc"), "entries[0].padding_hex should be hexadecimal"),
    (lambda m, a: m["entries"].__setitem__(1, 7), "entries[1] should be a name, an Entry, or a dict with a name"),
    (lambda m, a: m.__setitem__("entries", "a.bin"), "entries should be a list of the entries"),
]


@pytest.mark.parametrize("change, refusal", MANIFESTS, ids=[str(i) for i in range(len(MANIFESTS))])
def test_a_dict_manifest_takes_what_the_module_gives(change, refusal, tmp_path):
    (tmp_path / "tree").mkdir()
    source = build([(b"a.bin", 7, b"a" * 700, (1, 2, 3, 0xFFFFFFFFFFFFFFFF)), (b"d/b.bin", 9, b"b", (5, 0, 0, 0)),
                    (b"c.bin", 3, b"", (0, 0, 0, 1))], version=b"fw \xff")
    (tmp_path / "source.update").write_bytes(source)
    with kpupdate.open(tmp_path / "source.update") as archive:
        archive.extract(tmp_path / "tree")
        plain = [{k: e[k] for k in ("name", "index", "size", "signatures")} for e in archive.manifest()["entries"]]
        manifest = archive.manifest()
        change(manifest, archive)
    # What the command line makes of the same fields as JSON: Entry objects carry no padding.
    run("-c", tmp_path / "cli.update", "-C", tmp_path / "tree", "--manifest", "-",
        stdin=json.dumps({"version_hex": manifest.get("version_hex"), "entries": plain}).encode())
    if refusal is None:
        kpupdate.create(tmp_path / "py.update", tree=tmp_path / "tree", manifest=manifest)
        made = (tmp_path / "py.update").read_bytes()
        assert made in (source, (tmp_path / "cli.update").read_bytes())
    else:
        with pytest.raises(kpupdate.Error) as raised:
            kpupdate.create(tmp_path / "py.update", tree=tmp_path / "tree", manifest=manifest)
        assert raised.value.reason.startswith("the manifest: ") and refusal in raised.value.reason
        assert raised.value.status == kpupdate.Status.ERROR_ARGUMENT and not (tmp_path / "py.update").exists()


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
