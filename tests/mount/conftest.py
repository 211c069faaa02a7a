"""Where FUSE cannot mount, the run ends before any test with status 77, which the suite
counts as skipped, never as passed."""

import os
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python", "tests"))
from update_files import random_archive  # noqa: E402

MOUNT = os.environ.get("KPUPDATE_MOUNT", "kpupdate-mount")


def why_not_mountable():
    """Why FUSE cannot mount on this machine, tried once; None where it can."""
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "no /dev/fuse to mount with"
    with tempfile.TemporaryDirectory() as scratch:
        update, point = os.path.join(scratch, "a.update"), os.path.join(scratch, "m")
        os.mkdir(point)
        with open(update, "wb") as file:
            file.write(random_archive(0))
        tried = subprocess.run([MOUNT, update, point], capture_output=True)
        if tried.returncode != 0 or not os.path.ismount(point):
            return "FUSE cannot mount here: " + tried.stderr.decode().strip()
        subprocess.run(["fusermount3", "-u", point], check=True)
    return None


def pytest_sessionstart(session):
    if (reason := why_not_mountable()) is not None:
        pytest.exit(reason, returncode=77)
