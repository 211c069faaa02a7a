"""The module against the command line, on random update files: what one says, the other
says, byte for byte."""

import errno
import io
import json
import os
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
        assert archive.test() == json.loads(run("--json", "--test", update_file).stdout)["test"]


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
                assert streamed.read(entry) == data
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
def test_a_stream_that_raises_is_an_input_error(stream):
    # What the stream raised crosses the library as a C++ exception and is reported as
    # unraisable; the open fails as a read the system refused would.
    seen = []
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        with pytest.raises(kpupdate.Error) as raised:
            kpupdate.open(stream)
    finally:
        sys.unraisablehook = hook
    assert raised.value.errno == errno.EIO
    assert raised.value.reason == "-: " + os.strerror(errno.EIO)
    assert [type(report.exc_value) for report in seen] == [ConnectionResetError]


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
        (lambda: kpupdate.open(unsafe).extract(tmp_path / "out"), ["-qa", "-C", tmp_path / "out", unsafe], None),
        (lambda: kpupdate.create(tmp_path / "n.update", tree=tmp_path / "t", paths=["a", "l"]),
         ["-c", tmp_path / "n.update", "-C", tmp_path / "t", "a", "l"], None),
        (lambda: kpupdate.create(tmp_path / "n.update", tree=tmp_path / "t", manifest=tmp_path / "m.json"),
         ["-c", tmp_path / "n.update", "-C", tmp_path / "t", "--manifest", tmp_path / "m.json"], None),
    ]
    for call, args, errno in cases:
        expected = stderr_reason(run(*args))
        try:
            outcome = call()
        except kpupdate.Error as error:
            assert isinstance(error, OSError)
            assert error.reason == expected, args
            assert error.errno == errno
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
