#!/usr/bin/env python3
"""The Python module against the command line, in paired rounds, medians printed.

    PYTHONPATH=build/release/python python3 bench/library.py [RUNS]

Inputs come from `make_sample --bench` in build/bench-library. The module's times are
in-process (the interpreter is up and the module imported); the command line's are a
process each, start-up included, which is what a script that spawns it pays.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

import kpupdate

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
tool = os.environ.get("KPUPDATE_TOOL", os.path.join(root, "build/release/kpupdate"))
runs = int(sys.argv[1]) if len(sys.argv) > 1 else 15
work = os.path.join(root, "build/bench-library")
scratch = "/dev/shm" if os.access("/dev/shm", os.W_OK) else work

shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
subprocess.run([os.path.join(root, "build/release/make_sample"), "--bench", work], check=True)
listing = os.path.join(work, "listing.update")
large = os.path.join(work, "large.update")


def seconds(work_once):
    start = time.perf_counter()
    work_once()
    return time.perf_counter() - start


def command(*arguments):
    return lambda: subprocess.run([tool, *arguments], stdout=subprocess.DEVNULL, check=True)


def entries():
    with kpupdate.open(listing) as archive:
        archive.entries


def read_large():
    buffer = bytearray(1 << 20)
    with kpupdate.open(large) as archive, archive.open_entry(archive.entries[0]) as entry:
        while entry.readinto(buffer):
            pass


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    os.sync()  # no run pays for the pages another left dirty


opened = kpupdate.open(listing)  # what .extract() alone costs: the open is the row above


def extract_module():
    opened.extract(os.path.join(scratch, "kp-bench-module"))


def extract_command():
    command("-q", "-a", "-C", os.path.join(scratch, "kp-bench-command"), listing)()


def paired(first, second, before=lambda: None):
    """Medians of the two, run one after the other, each going first in turn."""
    a, b = [], []
    for round in range(runs):
        order = [(first, a), (second, b)] if round % 2 == 0 else [(second, b), (first, a)]
        for work_once, times in order:
            before()
            times.append(seconds(work_once))
    return statistics.median(a), statistics.median(b)


size = kpupdate.open(large).entries[0].size
read_large()  # into the page cache
module, cli = paired(entries, command("-l", listing))
print(f"open + .entries, 5000 entries: {module * 1e3:.2f} ms; -l: {cli * 1e3:.2f} ms ({module / cli:.2f}x)")
module, _ = paired(read_large, lambda: None)
print(f"open_entry + readinto, {size >> 20} MiB: {module:.3f} s, {size / module / 1e9:.2f} GB/s")


def clear():
    fresh(os.path.join(scratch, "kp-bench-module"))
    fresh(os.path.join(scratch, "kp-bench-command"))


module, cli = paired(extract_module, extract_command, clear)
print(f".extract of 5000 files into {scratch}: {module:.3f} s; -a: {cli:.3f} s ({module / cli:.2f}x)")
for name in ("kp-bench-module", "kp-bench-command"):
    shutil.rmtree(os.path.join(scratch, name))
