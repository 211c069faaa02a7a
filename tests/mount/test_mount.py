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


class Mounted:
    def __init__(self, file, point, *options):
        point.mkdir(exist_ok=True)
        self.point = point
        self.process = subprocess.Popen([MOUNT, "-f", *options, str(file), str(point)], stderr=subprocess.PIPE)
        until(lambda: os.path.ismount(point) or self.process.poll() is not None)
        assert self.process.poll() is None, self.process.stderr.read().decode()

    def stop(self):
        subprocess.run(["fusermount3", "-u", str(self.point)], check=True)
        self.process.wait()
        return self.process.stderr.read().decode()




def files_under(root, skip_hidden=True):
    found = {}
    for directory, directories, files in os.walk(root):
        if skip_hidden and directory == str(root):
            directories[:] = [d for d in directories if d != ".kpupdate"]
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
