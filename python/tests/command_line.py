"""The command line the module is held against: run it, and read the tree it wrote."""

import os
import subprocess

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
