"""A dict manifest, checked key by key and written as the JSON the library reads."""

import collections.abc as _abc
import difflib as _difflib
import json as _json
import re as _re

from ._errors import Error, Status
from ._records import Entry


# The keys --json prints, which a manifest may hold; those the library reads back are
# converted, the rest (what the layout derives, and the reports) are left out.
_DOCUMENT_KEYS = (
    "file", "file_hex", "version", "version_hex", "version_tail_hex", "header_signatures", "file_count",
    "data_start", "total_size", "used_size", "chunk_sum", "gap_hex", "entries", "groups", "mismatches", "cut",
    "test", "diff", "sha256", "selected", "extracted", "failed", "skipped", "missing", "unmatched",
    "missing_indexes", "missing_positions", "pattern_hints", "warnings", "read_failure", "error", "reason")
_ENTRY_KEYS = ("position", "index", "size", "offset", "chunk_size", "name", "name_hex", "signatures", "sha256",
               "name_tail_hex", "padding_hex")
_HEX_PAIRS = _re.compile(r"(?:[0-9a-fA-F]{2})*")
_HEX_DIGITS = _re.compile(r"[0-9a-fA-F]{1,16}")
_SHA256 = _re.compile(r"[0-9a-fA-F]{64}")


def _refuse(path, should):
    raise Error(f"the manifest: {path} should be {should}", Status.ERROR_ARGUMENT)


def _known_keys(given, known, at):
    for key in given:
        if not isinstance(key, str):
            _refuse(f"{at}[{key!r}]", "under a key that is a string")
        if key not in known:
            near = _difflib.get_close_matches(key, known, 1, 0.0)
            raise Error(f"the manifest: {at + '.' if at else ''}{key}: unknown key"
                        + (f" (did you mean {near[0]!r}?)" if near else ""), Status.ERROR_ARGUMENT)


def _hex_bytes(value, path):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if not isinstance(value, str) or not _HEX_PAIRS.fullmatch(value):
        _refuse(path, "hexadecimal byte pairs, or bytes")
    return value


def _manifest_text_field(given, key, at, into):
    """A text as --json writes it: under `key`, or under `key`_hex where its bytes are not UTF-8."""
    path = f"{at}.{key}" if at else key
    if key + "_hex" in given:
        into[key + "_hex"] = _hex_bytes(given[key + "_hex"], path + "_hex")
        return
    if key not in given:
        return
    value = given[key]
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    if not isinstance(value, bytes):
        _refuse(path, "a string")
    if b"\0" in value:
        _refuse(path, f"a text without a NUL; what follows one goes in {key}_tail_hex")
    try:
        into[key] = value.decode("utf-8")
    except UnicodeDecodeError:
        into[key + "_hex"] = value.hex()


def _whole(value, path, bits):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << bits:
        _refuse(path, f"a whole number from 0 to {(1 << bits) - 1}")
    return value


def _signatures(value, path):
    if isinstance(value, (str, bytes)) or not isinstance(value, _abc.Sequence) or len(value) != 4:
        _refuse(path, "four signatures")
    shown = []
    for i, signature in enumerate(value):
        if isinstance(signature, str) and _HEX_DIGITS.fullmatch(signature):
            shown.append(signature)
        elif isinstance(signature, int) and not isinstance(signature, bool) and 0 <= signature < 1 << 64:
            shown.append(f"{signature:016x}")
        else:
            _refuse(f"{path}[{i}]", "a whole number below 2**64, or up to 16 hexadecimal digits")
    return shown


def _sha256(value, path):
    """A digest as --json prints it, or its 32 bytes: compared with the file's as they are copied."""
    if isinstance(value, (bytes, bytearray)) and len(value) == 32:
        return bytes(value).hex()
    if not isinstance(value, str) or not _SHA256.fullmatch(value):
        _refuse(path, "a SHA-256 digest: 64 hexadecimal digits, or 32 bytes")
    return value


def _manifest_entry(value, at):
    if isinstance(value, Entry):
        value = {"name": value.name_bytes, "index": value.index, "size": value.size, "signatures": value.signatures}
    elif isinstance(value, (str, bytes)):
        value = {"name": value}
    elif not isinstance(value, _abc.Mapping):
        _refuse(at, "a name, an Entry, or a dict with a name")
    _known_keys(value, _ENTRY_KEYS, at)
    if "name" not in value and "name_hex" not in value:
        _refuse(f"{at}.name", "the entry's name")
    entry = {}
    _manifest_text_field(value, "name", at, entry)
    for key in ("name_tail_hex", "padding_hex"):
        if key in value:
            entry[key] = _hex_bytes(value[key], f"{at}.{key}")
    for key in ("index", "size"):
        if key in value:
            entry[key] = _whole(value[key], f"{at}.{key}", 32)
    if "signatures" in value:
        entry["signatures"] = _signatures(value["signatures"], f"{at}.signatures")
    if "sha256" in value:
        entry["sha256"] = _sha256(value["sha256"], f"{at}.sha256")
    return entry


def _manifest_text(manifest):
    """A dict manifest as the JSON the library reads, checked here first, so that a refusal
    names the key the caller wrote (entries[2].signatures[1]), not a line and a column of
    text they never saw."""
    _known_keys(manifest, _DOCUMENT_KEYS, "")
    document = {}
    _manifest_text_field(manifest, "version", "", document)
    for key in ("version_tail_hex", "gap_hex"):
        if key in manifest:
            document[key] = _hex_bytes(manifest[key], key)
    if "header_signatures" in manifest:
        document["header_signatures"] = _signatures(manifest["header_signatures"], "header_signatures")
    entries = manifest.get("entries")
    if isinstance(entries, (str, bytes, _abc.Mapping)) or not isinstance(entries, _abc.Iterable):
        _refuse("entries", "a list of the entries")
    document["entries"] = [_manifest_entry(entry, f"entries[{i}]") for i, entry in enumerate(entries)]
    return _json.dumps(document)
