"""Read, check, extract, compare and write Kelvo/Pardo firmware update files.

    import kpupdate
    with kpupdate.open("fw.update") as archive:
        for entry in archive:
            print(entry.index, entry.size, entry.name)
        data = archive.read("etc/device.cfg")

Everything is done by libkpupdate, the library under the kpupdate command line: the
same checks, the same extraction through directory handles, the same reasons.
"""

from . import _native
from ._archive import Archive, create, open
from ._errors import CutWarning, Error, ExtractError, Status
from ._records import Entry, ExtractResult, Group
from ._scan import Found, scan

__all__ = ["Archive", "Entry", "Group", "Status", "Error", "ExtractError", "CutWarning", "ExtractResult", "open",
           "create", "scan", "Found", "__version__"]
__version__ = _native.version

# Tracebacks, reprs and pickles name each public class and function where it is imported from.
for _public in (Archive, Entry, Group, Status, Error, ExtractError, CutWarning, ExtractResult, open, create, scan, Found):
    _public.__module__ = __name__
del _public
