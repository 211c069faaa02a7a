"""The module against the command line, on random update files: what one says, the other
says, byte for byte."""

import json
import os
import random

import pytest

import kpupdate
from command_line import run
from update_files import build, random_archive


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
        tested = json.loads(run("--json", "--test", update_file).stdout)["test"]
        assert archive.test() == dict(tested, damaged=tested["outside"])  # the entries, where --json says whether


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


def test_the_archive_is_a_sequence_of_its_entries(two_archives):
    archive, other, tmp_path = two_archives
    first, bee, second = archive.entries
    assert (len(archive), list(archive)) == (3, [first, bee, second])
    assert [archive["a.bin"], archive[b"b.bin"]] == [second, bee]  # the last of a name, as extraction writes it
    assert archive.read("a.bin") == b"second" and archive.read(first) == b"first"
    found = ["a.bin" in archive, b"b.bin" in archive, "zz" in archive, first in archive, other.entries[0] in archive]
    assert found == [True, True, False, True, False]
    assert (archive.cut, archive.length, archive.end) == (False, 2048, 2048)
    written = archive.extract(tmp_path / "out", names="b.bin").written  # one name, not its five characters
    assert written == [(bee, os.path.join(tmp_path / "out", "b.bin"))]
    assert archive.extract(tmp_path / "out", include="*.bin", exclude="a*").written == written
    with pytest.raises(kpupdate.ExtractError) as raised:
        archive.extract(tmp_path / "out", names=["zz", "b.bin"], existing="skip")
    assert raised.value.status == kpupdate.Status.ERROR_NOT_FOUND and raised.value.skipped == [bee]


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


def test_damage_is_a_list_in_tests_and_in_comparisons(tmp_path):
    whole = build([(b"a.bin", 0, b"a" * 3000, (1, 0, 0, 0)), (b"b.bin", 1, b"b" * 3000, (2, 0, 0, 0))])
    (tmp_path / "whole.update").write_bytes(whole)
    (tmp_path / "cut.update").write_bytes(whole[:2000])
    with pytest.warns(kpupdate.CutWarning, match="ends 4656 bytes before the 6656"):
        cut = kpupdate.open(tmp_path / "cut.update")
    with cut, kpupdate.open(tmp_path / "whole.update") as intact:
        assert (cut.cut, cut.length, intact.cut) == (True, 2000, False)
        tested = cut.test()
        assert [(e["name"], e["past_end"]) for e in tested["damaged"]] == [("a.bin", 1584), ("b.bin", 4656)]
        assert tested["damaged"] == tested["outside"] and intact.test()["damaged"] == []
        assert [(e["name"], e["side"]) for e in intact.diff(cut)["damaged"]] == [("a.bin", "old"),
                                                                                 ("b.bin", "old")]
    with open(tmp_path / "cut.update", "rb") as raw, kpupdate.open(raw) as streamed:
        assert (streamed.cut, streamed.length) == (False, None)  # not known until it is read to its end
        assert streamed.test()["damaged"] and (streamed.cut, streamed.length) == (True, 2000)


@pytest.mark.parametrize("offset", [0, 777, 0x1f400])
def test_an_update_file_inside_another_is_its_carved_copy(update_file, offset, tmp_path):
    carved = update_file.read_bytes()
    noise = random.Random(offset)
    dump = tmp_path / "dump.bin"
    dump.write_bytes(noise.randbytes(offset) + carved + noise.randbytes(1000))
    with kpupdate.open(dump, offset=offset) as inside, kpupdate.open(update_file) as alone:
        assert (inside.offset, alone.offset) == (offset, 0)
        assert (inside.length, inside.cut, len(inside)) == (alone.length, alone.cut, len(alone))
        document = inside.manifest()
        assert document == dict(alone.manifest(), file=os.fspath(dump))
        assert document == json.loads(run("--json", "--offset", str(offset), dump).stdout)
        assert inside.test() == alone.test()  # the bytes after it are not its own
        assert [inside.read(e, padded=True) for e in inside] == [alone.read(e, padded=True) for e in alone]


@pytest.mark.parametrize("offset, source, raised", [
    (-1, "path", ValueError), (1 << 64, "path", ValueError), ("1", "path", TypeError), (True, "path", TypeError),
    (0, "file object", TypeError), (0, "-", TypeError),
])
def test_an_offset_is_a_paths_count_of_bytes(offset, source, raised, tmp_path):
    path = tmp_path / "a.update"
    path.write_bytes(random_archive(0))
    with open(path, "rb") as file:
        given = {"path": path, "file object": file, "-": "-"}[source]
        with pytest.raises(raised):
            kpupdate.open(given, offset=offset)
