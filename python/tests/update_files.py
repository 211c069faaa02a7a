"""Random update files, as the archive builder makes them, for the module's tests and the mount's."""

import random
import struct


def chunk(size):
    return (size + 511) // 512 * 512


def build(entries, version=b"fw 1.0", seed=0):
    """An update file of (name, index, data, signatures) entries, with random padding; never
    a multiple of four entries, whose first chunk would begin with the last record."""
    assert len(entries) % 4 != 0
    rng = random.Random(seed)
    record = lambda name, index, size, sigs: name.ljust(88, b"\0")[:88] + struct.pack("<II4Q", index, size, *sigs)
    data_start = (len(entries) + 3) // 4 * 512
    chunks = b"".join(d + bytes(rng.randrange(256) for _ in range(chunk(len(d)) - len(d))) for _, _, d, _ in entries)
    header = record(version, len(entries), (data_start + len(chunks)) // 512, (0, 0, 0, 0))
    directory = header + b"".join(record(n, i, len(d), s) for n, i, d, s in entries)
    return directory.ljust(data_start, b"\0") + chunks


def random_archive(seed):
    rng = random.Random(seed)
    count = rng.choice([1, 2, 3, 5, 6, 7, 9, 13, 30])
    entries = []
    for position in range(count):
        name = rng.choice([b"", b"fw/", b"fw/boot/", b"etc/"]) + b"f%d.%s" % (position, rng.choice([b"bin", b"ko"]))
        size = rng.choice([0, 1, 100, 511, 512, 513, 1024, rng.randrange(20000)])
        data = bytes(rng.randrange(256) for _ in range(size))
        sigs = tuple(rng.choice([0, 7, rng.getrandbits(64)]) for _ in range(4))
        entries.append((name, rng.choice([position, rng.getrandbits(32)]), data, sigs))
    return build(entries, b"fw %d" % seed, seed)
