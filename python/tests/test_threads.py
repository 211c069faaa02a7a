"""Threads on two archives and on one: each call whole, each failure with its own reason."""

import hashlib
import io
import os
import threading

import pytest

import kpupdate
from update_files import build, random_archive


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
