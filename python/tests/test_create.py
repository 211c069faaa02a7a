"""Update files written from a tree or a manifest, as the command line writes them."""

import hashlib
import json

import pytest

import kpupdate
from command_line import run
from update_files import build


def test_create_makes_the_command_lines_bytes(update_file, tmp_path):
    tree_dir = tmp_path / "tree"
    tree_dir.mkdir()
    with kpupdate.open(update_file) as archive:
        if len({e.name for e in archive.entries}) < len(archive.entries):
            pytest.skip("a name written twice has one file")
        archive.extract(tree_dir)
        manifest = archive.manifest()
    (tmp_path / "m.json").write_text(json.dumps(manifest))
    run("-c", tmp_path / "cli.update", "-C", tree_dir, "--manifest", tmp_path / "m.json")
    kpupdate.create(tmp_path / "py.update", tree=tree_dir, manifest=manifest)
    kpupdate.create(tmp_path / "py2.update", tree=tree_dir, manifest=tmp_path / "m.json")
    assert (tmp_path / "py.update").read_bytes() == (tmp_path / "cli.update").read_bytes()
    assert (tmp_path / "py2.update").read_bytes() == update_file.read_bytes()
    run("-c", tmp_path / "t.update", "-C", tree_dir, ".")
    kpupdate.create(tmp_path / "t2.update", tree=tree_dir)
    assert (tmp_path / "t2.update").read_bytes() == (tmp_path / "t.update").read_bytes()


def signatures_as_ints(manifest, archive):
    for entry in manifest["entries"]:
        entry["signatures"] = [int(s, 16) for s in entry["signatures"]]


MANIFESTS = [  # (what is done to the manifest .manifest() gave, the reason create() refuses it with, or None)
    (lambda m, a: None, None),
    (signatures_as_ints, None),
    (lambda m, a: m.update(entries=a.entries), None),
    (lambda m, a: m.update(entries=[a.entries[0], dict(m["entries"][1], padding_hex=""), a.entries[2]],
                           header_signatures=list(a.header_signatures)), None),
    (lambda m, a: m["entries"][2]["signatures"].__setitem__(1, "xyz"),
     "entries[2].signatures[1] should be a whole number below 2**64, or up to 16 hexadecimal digits"),
    (lambda m, a: m["entries"][1]["signatures"].__setitem__(0, 1 << 64), "entries[1].signatures[0] should be"),
    (lambda m, a: m["entries"][0].__setitem__("signatures", [1, 2, 3]), "entries[0].signatures should be four"),
    (lambda m, a: m["entries"][1].__setitem__("idx", 3), "entries[1].idx: unknown key (did you mean 'index'?)"),
    (lambda m, a: m.__setitem__("verson", "x"), "verson: unknown key (did you mean 'version'?)"),
    (lambda m, a: m["entries"][0].__setitem__("index", -1),
     "entries[0].index should be a whole number from 0 to 4294967295"),
    (lambda m, a: m["entries"][2].__setitem__("name", "a\0b"), "entries[2].name should be a text without a NUL"),
    (lambda m, a: m["entries"][0].__setitem__("padding_hex", "abc"), "entries[0].padding_hex should be hexadecimal"),
    (lambda m, a: m["entries"].__setitem__(1, 7), "entries[1] should be a name, an Entry, or a dict with a name"),
    (lambda m, a: m.__setitem__("entries", "a.bin"), "entries should be a list of the entries"),
    (lambda m, a: m["entries"][0].__setitem__("sha256", bytes.fromhex(m["entries"][0]["sha256"])), None),
    (lambda m, a: m["entries"][1].__setitem__("sha256", "ab" * 31), "entries[1].sha256 should be a SHA-256 digest"),
    (lambda m, a: m["entries"][1].__setitem__("sha256", b"x" * 31), "entries[1].sha256 should be a SHA-256 digest"),
]


@pytest.mark.parametrize("change, refusal", MANIFESTS, ids=[str(i) for i in range(len(MANIFESTS))])
def test_a_dict_manifest_takes_what_the_module_gives(change, refusal, tmp_path):
    (tmp_path / "tree").mkdir()
    source = build([(b"a.bin", 7, b"a" * 700, (1, 2, 3, 0xFFFFFFFFFFFFFFFF)), (b"d/b.bin", 9, b"b", (5, 0, 0, 0)),
                    (b"c.bin", 3, b"", (0, 0, 0, 1))], version=b"fw \xff")
    (tmp_path / "source.update").write_bytes(source)
    with kpupdate.open(tmp_path / "source.update") as archive:
        archive.extract(tmp_path / "tree")
        plain = [{k: e[k] for k in ("name", "index", "size", "signatures")} for e in archive.manifest()["entries"]]
        manifest = archive.manifest()
        change(manifest, archive)
    # What the command line makes of the same fields as JSON: Entry objects carry no padding.
    run("-c", tmp_path / "cli.update", "-C", tmp_path / "tree", "--manifest", "-",
        stdin=json.dumps({"version_hex": manifest.get("version_hex"), "entries": plain}).encode())
    if refusal is None:
        kpupdate.create(tmp_path / "py.update", tree=tmp_path / "tree", manifest=manifest)
        made = (tmp_path / "py.update").read_bytes()
        assert made in (source, (tmp_path / "cli.update").read_bytes())
    else:
        with pytest.raises(kpupdate.Error) as raised:
            kpupdate.create(tmp_path / "py.update", tree=tmp_path / "tree", manifest=manifest)
        assert raised.value.reason.startswith("the manifest: ") and refusal in raised.value.reason
        assert raised.value.status == kpupdate.Status.ERROR_ARGUMENT and not (tmp_path / "py.update").exists()


def test_a_manifests_sha256_is_each_extracted_files(tmp_path):
    source = build([(b"a.bin", 7, b"a" * 700, (1, 2, 3, 4)), (b"d/b.bin", 9, b"b", (5, 0, 0, 0)),
                    (b"c.bin", 3, b"", (0, 0, 0, 1))])
    (tmp_path / "source.update").write_bytes(source)
    (tmp_path / "tree").mkdir()
    with kpupdate.open(tmp_path / "source.update") as archive:
        archive.extract(tmp_path / "tree")
        entries = archive.manifest()["entries"]
    assert [e["sha256"] for e in entries] == [
        hashlib.sha256((tmp_path / "tree" / e["name"]).read_bytes()).hexdigest() for e in entries]
