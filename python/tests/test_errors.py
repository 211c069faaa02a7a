"""Refusals: the command line's reasons, and the exceptions Python has for them."""

import os
import pickle

import pytest

import kpupdate
from command_line import run
from update_files import build


def stderr_reason(result):
    """The command line's reasons, as the module gives them: its stderr lines without their
    "kpupdate: " and without what only the program says."""
    lines = [line.removeprefix("kpupdate: ") for line in result.stderr.decode().splitlines()]
    return "\n".join(line for line in lines
                     if not line.endswith(" was not written") and not line.startswith(("warning:", "ERROR:")))


@pytest.mark.filterwarnings("ignore::kpupdate.CutWarning")
def test_refusals_are_the_command_lines(tmp_path):
    short = tmp_path / "short.update"
    short.write_bytes(b"x" * 100)
    cut = tmp_path / "cut.update"
    cut.write_bytes(build([(b"a.bin", 0, b"a" * 3000, (1, 0, 0, 0))])[:2000])
    unsafe = tmp_path / "unsafe.update"
    unsafe.write_bytes(build([(b"../up.bin", 0, b"u", (1, 0, 0, 0)), (b"ok.bin", 1, b"k", (2, 0, 0, 0))]))
    (tmp_path / "out").mkdir()
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "a").write_bytes(b"a")
    os.symlink("/etc/passwd", tmp_path / "t" / "l")
    (tmp_path / "m.json").write_text('{"entries": [{"name": "a", "idx": 7}]}')
    cases = [
        (lambda: kpupdate.open(tmp_path / "none.update"), ["-q", tmp_path / "none.update"], 2),
        (lambda: kpupdate.open(short), ["-q", short], None),
        (lambda: kpupdate.open(cut).read("a.bin"), ["-q", "-O", cut, "a.bin"], None),
        (lambda: kpupdate.open(unsafe).extract(tmp_path / "out", check=False), ["-qa", "-C", tmp_path / "out", unsafe],
         None),
        (lambda: kpupdate.create(tmp_path / "n.update", tree=tmp_path / "t", paths=["a", "l"]),
         ["-c", tmp_path / "n.update", "-C", tmp_path / "t", "a", "l"], None),
        (lambda: kpupdate.create(tmp_path / "n.update", tree=tmp_path / "t", manifest=tmp_path / "m.json"),
         ["-c", tmp_path / "n.update", "-C", tmp_path / "t", "--manifest", tmp_path / "m.json"], None),
    ]
    with kpupdate.open(unsafe) as archive:  # where each entry goes, or what -a says of it
        refused = stderr_reason(run("-qa", "-C", tmp_path / "out", unsafe))
        assert [(e.path, e.refusal) for e in archive] == [(None, refused), ("ok.bin", None)]
    for call, args, errno in cases:
        expected = stderr_reason(run(*args))
        try:
            outcome = call()
        except kpupdate.Error as error:
            assert isinstance(error, OSError)
            assert error.reason == expected, args
            assert error.errno == errno
            assert isinstance(error, FileNotFoundError) == (errno == 2)
        else:  # extraction says what failed, and goes on with the rest
            assert [reason for _, reason in outcome.failed] == [expected.split(": ", 1)[1]]
            assert [path for _, path in outcome.written] == [os.path.join(tmp_path / "out", "ok.bin")]


REFUSED_ARGUMENTS = [  # (call, what it raises, words of it)
    (lambda a, o, t: a.extract(t / "out\0/../../etc"), ValueError, "null byte"),
    (lambda a, o, t: a.extract(t / "out", names=["a.bin\0x"]), ValueError, "null byte in a name"),
    (lambda a, o, t: a.extract(t / "out", include="*\0"), ValueError, "null byte in a pattern"),
    (lambda a, o, t: a.read(b"a.bin\0"), ValueError, "null byte in a name"),
    (lambda a, o, t: "a\0" in a, ValueError, "null byte"),
    (lambda a, o, t: kpupdate.open(t / "dup.update\0x"), ValueError, "null byte"),
    (lambda a, o, t: kpupdate.create(t / "n.update\0", tree=t), ValueError, "null byte"),
    (lambda a, o, t: kpupdate.create(t / "n.update", tree=t, paths=["out", "fi\0le"]), ValueError, "null byte"),
    (lambda a, o, t: a.diff(t / "o\0"), ValueError, "null byte"),
    (lambda a, o, t: a.read(o.entries[0]), ValueError, "no entry of this archive"),
    (lambda a, o, t: a.sha256(o.entries[0]), ValueError, "no entry of this archive"),
    (lambda a, o, t: a.read(5), TypeError, "a name is str or bytes"),
    (lambda a, o, t: a["zz"], KeyError, "zz"),
    (lambda a, o, t: a.sha256("z z"), kpupdate.Error, "^no file named 'z z' in archive$"),  # the library's words
    (lambda a, o, t: kpupdate.open(t / "none.update"), FileNotFoundError, "No such file"),
    (lambda a, o, t: kpupdate.open(t), IsADirectoryError, "Is a directory"),
    (lambda a, o, t: a.extract(t / "none"), FileNotFoundError, "no directory"),
    (lambda a, o, t: a.extract(t / "file"), NotADirectoryError, "no directory"),
    (lambda a, o, t: a.extract(t / "out", names=["zz", "b.bin"]), kpupdate.ExtractError, "no file named zz"),
]


@pytest.mark.parametrize("call, expected, words", REFUSED_ARGUMENTS,
                         ids=[f"{i}-{e.__name__}" for i, (_, e, _) in enumerate(REFUSED_ARGUMENTS)])
def test_arguments_are_refused_as_python_refuses_them(two_archives, call, expected, words):
    archive, other, tmp_path = two_archives
    with pytest.raises(expected, match=words) as raised:
        call(archive, other, tmp_path)
    error = raised.value
    if isinstance(error, kpupdate.Error):  # and where the system refused, Python's own class for its errno
        assert (error.errno is not None) == (error.status == kpupdate.Status.ERROR_SYSTEM)
        if error.errno is not None:
            assert type(error) is type(kpupdate.Error(error.reason, error.status, error.errno))
        copy = pickle.loads(pickle.dumps(error))
        assert (type(copy), copy.reason, copy.status, copy.errno) == (type(error), error.reason, error.status,
                                                                      error.errno)
    assert os.listdir(tmp_path / "out") in ([], ["b.bin"])
    assert not os.path.exists(tmp_path / "out\0") and not (tmp_path / "n.update").exists()
