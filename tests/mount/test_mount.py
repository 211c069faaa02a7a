"""kpupdate-mount against the command line, on random update files: the mount shows what
extraction writes, -O gives and --json prints, and holds against what happens to FILE."""

import errno
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python", "tests"))
from update_files import build, random_archive  # noqa: E402  the same random update files

KPUPDATE = os.environ.get("KPUPDATE", "kpupdate")
MOUNT = os.environ.get("KPUPDATE_MOUNT", "kpupdate-mount")


def run(*args, **kwargs):
    return subprocess.run([KPUPDATE, *map(str, args)], capture_output=True, **kwargs)


def until(happened):
    """Asks until it happened; the deadline only bounds a hang, nothing counts on time."""
    deadline = time.monotonic() + 60
    while not happened():
        assert time.monotonic() < deadline, "never happened"
        time.sleep(0.005)


def read_until_closed(leader, said):
    """Adds to `said` what is written to a pty's other end, until the last writer has gone."""
    while True:
        try:
            got = os.read(leader, 4096)
        except OSError:  # EIO: nobody holds the other end any more
            break
        if not got:
            break
        said.extend(got)
    os.close(leader)


class Mounted:
    """kpupdate-mount in the foreground; with `terminal`, its standard error is a terminal
    (a pty), whose bytes are kept raw in `said`."""

    def __init__(self, file, point, *options, terminal=False):
        point.mkdir(exist_ok=True)
        self.point = point
        self.said = bytearray()
        if terminal:
            leader, follower = os.openpty()
            self.process = subprocess.Popen([MOUNT, "-f", *options, str(file), str(point)], stdin=subprocess.DEVNULL,
                                            stdout=follower, stderr=follower)
            os.close(follower)
            self.reader = threading.Thread(target=read_until_closed, args=(leader, self.said))
        else:
            self.process = subprocess.Popen([MOUNT, "-f", *options, str(file), str(point)], stderr=subprocess.PIPE)
            self.reader = threading.Thread(target=lambda: self.said.extend(self.process.stderr.read()))
        self.reader.start()
        until(lambda: os.path.ismount(point) or self.process.poll() is not None)
        if self.process.poll() is not None:
            self.reader.join()
            pytest.fail(self.said.decode(errors="backslashreplace"))

    def stop(self):
        subprocess.run(["fusermount3", "-u", str(self.point)], check=True)
        self.process.wait()
        self.reader.join()
        return self.said.decode(errors="surrogateescape")


def files_under(root, skip=".kpupdate"):
    found = {}
    for directory, directories, files in os.walk(root):
        if directory == str(root):
            directories[:] = [d for d in directories if d != skip]
        for name in files:
            path = os.path.join(directory, name)
            with open(path, "rb") as file:
                found[os.path.relpath(path, root)] = file.read()
    return found


@pytest.mark.parametrize("seed", range(6))
def test_the_mount_is_what_the_command_line_gives(seed, tmp_path):
    update = tmp_path / "a.update"
    update.write_bytes(random_archive(seed))
    extracted = tmp_path / "out"
    extracted.mkdir()
    run("-qa", "-C", extracted, update)
    mount = Mounted(update, tmp_path / "m")
    try:
        root = mount.point
        assert files_under(root) == files_under(extracted)
        document = json.loads(run("--json", update).stdout)
        assert (root / ".kpupdate" / "manifest.json").read_bytes() == run("--json", update).stdout
        for entry in document["entries"]:
            shown = (root / ".kpupdate" / "by-position" / str(entry["position"])).read_bytes()
            assert shown == run("-O", "--position", entry["position"], update).stdout
        for relative in files_under(root):
            path = root / relative
            attributes = {name: os.getxattr(path, name).decode() for name in os.listxattr(path)}
            entry = document["entries"][int(attributes["user.kpupdate.position"])]
            assert attributes == {"user.kpupdate.index": str(entry["index"]),
                                  "user.kpupdate.position": str(entry["position"]),
                                  "user.kpupdate.signatures": ":".join(entry["signatures"])}
            assert os.stat(path).st_ino == entry["position"] + 2
            with pytest.raises(OSError) as raised:
                os.getxattr(path, "user.other")
            assert raised.value.errno == errno.ENODATA
        digests = subprocess.run(["sha256sum", "-c", "--quiet", "-"], input=run("--sha256", update).stdout,
                                 cwd=root, capture_output=True)
        assert digests.returncode == 0, digests.stdout + digests.stderr
        if len({e["name"] for e in document["entries"]}) == len(document["entries"]):
            copy = tmp_path / "copy.update"
            made = run("-c", copy, "-C", root, "--manifest", root / ".kpupdate" / "manifest.json")
            assert made.returncode == 0, made.stderr
            assert copy.read_bytes() == update.read_bytes()
    finally:
        mount.stop()


def test_nothing_can_be_changed_and_many_may_read(tmp_path):
    update = tmp_path / "a.update"
    update.write_bytes(random_archive(3))
    mount = Mounted(update, tmp_path / "m")
    root = mount.point
    try:
        name = next(iter(files_under(root)))
        changes = [
            lambda: open(root / name, "r+b"),
            lambda: open(root / name, "wb"),
            lambda: open(root / "new", "wb"),
            lambda: os.mkdir(root / "d"),
            lambda: os.unlink(root / name),
            lambda: os.rename(root / name, root / "renamed"),
            lambda: os.chmod(root / name, 0o644),
            lambda: os.truncate(root / name, 0),
            lambda: os.setxattr(root / name, "user.x", b"1"),
            lambda: os.symlink("x", root / "link"),
        ]
        for change in changes:
            with pytest.raises(OSError) as raised:
                change()
            assert raised.value.errno == errno.EROFS
        expected = files_under(root)
        results = []

        def read_all():
            results.append(files_under(root) == expected)

        readers = [threading.Thread(target=read_all) for _ in range(8)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()
        assert results == [True] * 8
    finally:
        mount.stop()


def test_a_hostile_file_shows_what_extraction_would_write(tmp_path):
    update = tmp_path / "h.update"
    entries = [(b"a", 0, b"aaa", (1, 0, 0, 0)), (b"../up", 1, b"u", (2, 0, 0, 0)), (b"a/b", 2, b"b", (3, 0, 0, 0)),
               (b"/abs", 3, b"x", (4, 0, 0, 0)), (b"d/x", 4, b"old", (5, 0, 0, 0)), (b"d/x", 5, b"new!", (6, 0, 0, 0)),
               (b"big", 6, b"z" * 5000, (7, 0, 0, 0))]
    data = build(entries)
    update.write_bytes(data[:len(data) - 4000])  # big's chunk cut short
    extracted = tmp_path / "out"
    extracted.mkdir()
    refused = run("-qa", "-C", extracted, update).stderr.decode()
    mount = Mounted(update, tmp_path / "m")
    root = mount.point
    try:
        assert sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root)
                      for f in files if not d.startswith(str(root / ".kpupdate"))) == ["a", "big", "d/x"]
        assert (root / "d" / "x").read_bytes() == b"new!"
        with open(root / "big", "rb", buffering=0) as big:  # reads as asked: FILE ends inside the next
            start = big.read(512)
            assert start == b"z" * 512
            with pytest.raises(OSError) as raised:
                big.read()
            assert raised.value.errno == errno.EIO
    finally:
        said = mount.stop()
    for line in ("../up: its name has a '..' part", "/abs: its name starts with a separator",
                 "a/b: a: not a directory (a file, or a link)"):
        assert "not shown: " + line in said and line in refused
    assert "damaged: big (position 6)" in said


def test_it_holds_the_file_it_opened(tmp_path):
    update = tmp_path / "a.update"
    entries = [(b"f%d" % i, i, bytes([i]) * 3000, (i, 0, 0, 0)) for i in range(3)]
    update.write_bytes(build(entries))
    mount = Mounted(update, tmp_path / "m")
    root = mount.point
    try:
        before = files_under(root)
        other = tmp_path / "other.update"
        other.write_bytes(build([(b"f0", 0, b"other", (9, 0, 0, 0))]))
        os.rename(other, update)  # replaced underneath: the mount keeps the file it opened
        assert files_under(root) == before
    finally:
        mount.stop()


@pytest.mark.parametrize("opened", ["before the cut", "after the cut"])
def test_bytes_cut_off_file_underneath_fail_and_no_size_shrinks(opened, tmp_path):
    """FILE cut short while mounted: a read the entry has bytes for that FILE no longer
    holds fails with EIO, never a short file, whenever the entry was opened; what FILE
    still holds reads as before, and so does the entry's own end."""
    size, kept = 1 << 20, 300_000
    big = bytes(range(256)) * (size // 256)
    data = build([(b"small", 0, b"s" * 100, (1, 0, 0, 0)), (b"big", 1, big, (2, 0, 0, 0))])
    update = tmp_path / "a.update"
    update.write_bytes(data)
    mount = Mounted(update, tmp_path / "m")
    path = mount.point / "big"
    try:
        early = open(path, "rb") if opened == "before the cut" else None
        os.truncate(update, len(data) - size + kept)  # big is last: its first bytes stay
        with early or open(path, "rb") as file:
            assert file.read(4096) == big[:4096]
            with pytest.raises(OSError) as raised:
                file.read()
            assert raised.value.errno == errno.EIO
            assert os.fstat(file.fileno()).st_size == size and os.stat(path).st_size == size
            file.seek(size)
            assert file.read(10) == b""
        assert (mount.point / "small").read_bytes() == b"s" * 100
        copied = subprocess.run(["cp", "-r", mount.point, tmp_path / "copy"], capture_output=True)
        assert copied.returncode != 0 and b"Input/output error" in copied.stderr
    finally:
        mount.stop()


def said_by(command, terminal):
    """The status of `command` and what it wrote: to a terminal (a pty), or to a pipe."""
    if not terminal:
        ended = subprocess.run(list(map(str, command)), capture_output=True)
        return ended.returncode, ended.stdout + ended.stderr
    leader, follower = os.openpty()
    process = subprocess.Popen(list(map(str, command)), stdin=subprocess.DEVNULL, stdout=follower, stderr=follower)
    os.close(follower)
    said = bytearray()
    read_until_closed(leader, said)
    return process.wait(), bytes(said)


def raw_controls(said):
    """What in `said` a terminal would take as a command: C0 but line ends, DEL, C1 as UTF-8 or alone."""
    text = said.replace(b"\r\n", b"\n").decode(errors="surrogateescape")
    return [c for c in text if (ord(c) < 32 and c != "\n") or 0x7F <= ord(c) <= 0x9F or 0xDC80 <= ord(c) <= 0xDC9F]


HOSTILE = [  # a name, as a terminal shows it, as a pipe gets it: each refused or cut short
    (b"\x1b]0;owned\x07", rb"'\033]0;owned\a'", b"'\x1b]0;owned\x07'"),
    (b"x/../\x1b[2J", rb"'x/../\033[2J'", b"'x/../\x1b[2J'"),
    (b"csi\xc2\x9b31m", rb"csi\302\23331m", b"csi\xc2\x9b31m"),
    (b"lone\x9b2J", rb"lone\2332J", b"lone\x9b2J"),
]


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
def test_what_it_prints_is_escaped_as_the_command_line_escapes_it(terminal, tmp_path):
    entries = [(b"ok", 0, b"fine", (1, 0, 0, 0))]
    entries += [(name, i, bytes([64 + i]) * 600, (i, 0, 0, 0)) for i, (name, _, _) in enumerate(HOSTILE, 1)]
    data = build(entries)
    update = tmp_path / "h.update"
    update.write_bytes(data[:len(data) - 1500])  # the last two entries cut short
    mount = Mounted(update, tmp_path / "m", terminal=terminal)
    mount.stop()
    extracted = tmp_path / "out"
    extracted.mkdir()
    _, extraction = said_by([KPUPDATE, "-qa", "-C", extracted, update], terminal)
    for name, on_terminal, in_pipe in HOSTILE:
        shown = on_terminal if terminal else in_pipe
        assert shown in mount.said and shown in extraction, name
    if terminal:
        assert raw_controls(mount.said) == []
    named = tmp_path / "\x1b]0;title\x07.update"
    named.write_bytes(b"no update file\n" * 40)
    refusals = [  # FILE's own name, and the mount point in libfuse's line
        ([MOUNT, named, tmp_path / "m"], 254, rb"\033]0;title\a", b"\x1b]0;title\x07"),
        ([MOUNT, update, tmp_path / "\x1b]0;point\x07"], 255, rb"\033]0;point\a", b"\x1b]0;point\x07"),
    ]
    for command, status, on_terminal, in_pipe in refusals:
        ended, said = said_by(command, terminal)
        assert ended == status and (on_terminal if terminal else in_pipe) in said, said
        assert not terminal or raw_controls(said) == []


@pytest.mark.parametrize("names, control", [
    ([b"a", b"b/c"], ".kpupdate"),
    ([b".kpupdate/manifest.json", b"a"], ".kpupdate-1"),
    ([b".kpupdate", b".kpupdate-1/by-position/0", b"./.kpupdate-2"], ".kpupdate-3"),
    ([b".kpupdate-1/manifest.json", b".kpupdatex", b".kpupdate.d/y"], ".kpupdate"),
])
def test_the_control_directory_is_never_one_of_the_file_s_own(names, control, tmp_path):
    update = tmp_path / "a.update"
    update.write_bytes(build([(name, i, b"own %d" % i, (i, 0, 0, 0)) for i, name in enumerate(names)]))
    extracted = tmp_path / "out"
    extracted.mkdir()
    run("-qa", "-C", extracted, update)
    mount = Mounted(update, tmp_path / "m")
    root = mount.point
    try:
        assert files_under(root, skip=control) == files_under(extracted, skip=None)
        assert (root / control / "manifest.json").read_bytes() == run("--json", update).stdout
        assert sorted(os.listdir(root / control / "by-position")) == sorted(map(str, range(len(names))))
        for position in range(len(names)):
            assert (root / control / "by-position" / str(position)).read_bytes() == b"own %d" % position
        copy = tmp_path / "copy.update"
        made = run("-c", copy, "-C", root, "--manifest", root / control / "manifest.json")
        assert made.returncode == 0, made.stderr
        assert copy.read_bytes() == update.read_bytes()
    finally:
        said = mount.stop()
    moved = f"the update file names .kpupdate itself: the manifest and by-position/ are under {control}"
    assert said == ("" if control == ".kpupdate" else f"kpupdate-mount: {moved}\n")


def test_sigterm_unmounts(tmp_path):
    update = tmp_path / "a.update"
    update.write_bytes(random_archive(1))
    mount = Mounted(update, tmp_path / "m")
    mount.process.send_signal(signal.SIGTERM)
    assert mount.process.wait() == 0
    assert not os.path.ismount(mount.point)


def test_a_pipe_is_refused_without_waiting_for_a_writer(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "m").mkdir()
    refused = subprocess.run([MOUNT, tmp_path / "pipe", tmp_path / "m"], capture_output=True)
    assert refused.returncode == 255
    assert refused.stderr.decode().endswith("not a regular file: a mount needs to read it anywhere, at any time\n")
    assert not os.path.ismount(tmp_path / "m")
