"""The output writer: names that may not be paths, entries planted in the
output directory beforehand, modes, and writes cut short."""

import os
import signal
import stat
import subprocess
import sys
import textwrap

import pytest

from ravick import safe_output
from ravick.safe_output import (
    OutputError,
    OutputTree,
    name_problem,
    write_file_atomically,
)


@pytest.mark.parametrize(
    ("name", "problem"),
    [
        ("", "empty name"),
        ("/etc/x.proto", "absolute path"),
        ("a/../../x.proto", "'..' path segment"),
        ("../x.proto", "'..' path segment"),
        ("./x.proto", "'.' path segment"),
        ("a//x.proto", "empty path segment"),
        ("a/x.proto/", "empty path segment"),
        ("a\\..\\x.proto", "'\\\\'"),
        ("c:x.proto", "':'"),
        ("a\x00b.proto", "'\\x00'"),
        ("a\nb.proto", "'\\n'"),
        ("a\x1bb.proto", "'\\x1b'"),
        ("a\x7fb.proto", "'\\x7f'"),
        ("a\x85b.proto", "'\\x85'"),
        ("a\udcffb.proto", "'\\udcff'"),
        ("x.txt", "does not end in .proto"),
        ("x.proto.bak", "does not end in .proto"),
        ("a/" + "x" * 250 + ".proto", "longer than 255 bytes"),
        ("é" * 126 + ".proto", "longer than 255 bytes"),
        ("x.proto", None),
        ("a/b-c/d_e.f.proto", None),
        ("ünï/cödé.proto", None),
        ("has space$.proto", None),
        ("..x/y..proto", None),
    ],
)
def test_name_problem(name, problem):
    found = name_problem(name)
    if problem is None:
        assert found is None
    else:
        assert found is not None and problem in found


def snapshot(root):
    """Every entry under ``root``: kind, mode, content or link target."""
    entries = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                entries[path] = ("link", os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                entries[path] = ("dir", st.st_mode)
            else:
                with open(path, "rb") as f:
                    entries[path] = ("file", st.st_mode, f.read())
    return entries


@pytest.fixture
def planted(tmp_path):
    """An output directory holding links out, a file and a directory in the
    way, next to an outside directory that must never change."""
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "file").write_bytes(b"outside file")
    out = tmp_path / "out"
    out.mkdir()
    (out / "a").symlink_to(outside)
    (out / "x.proto").symlink_to(outside / "file")
    (out / "dangling.proto").symlink_to(outside / "new")
    (out / "plain").write_bytes(b"a file")
    (out / "dir.proto").mkdir()
    (out / "real").mkdir()
    (out / "real" / "up").symlink_to("..")
    before = snapshot(outside)
    yield out, outside
    assert snapshot(outside) == before


@pytest.mark.parametrize("force", [False, True])
@pytest.mark.parametrize(
    ("name", "error"),
    [
        ("a/b.proto", "a is a symbolic link"),
        ("a/deeper/b.proto", "a is a symbolic link"),
        ("real/up/a/b.proto", "real/up is a symbolic link"),
        ("plain/b.proto", "plain is not a directory"),
        ("dir.proto", "a directory is in the way"),
        ("../outside/new.proto", "'..' path segment"),
    ],
)
def test_nothing_is_written_through_what_is_planted(planted, name, error, force):
    out, _ = planted
    with OutputTree(str(out)) as tree, pytest.raises(OutputError, match=error):
        tree.write(name, b"data", force=force)
    assert not [n for n in os.listdir(out) if n.startswith(".ravick-")]


@pytest.mark.parametrize("name", ["x.proto", "dangling.proto"])
def test_a_planted_symlink_is_kept_or_replaced_never_followed(planted, name):
    out, outside = planted
    with OutputTree(str(out)) as tree:
        assert tree.write(name, b"new", force=False) == "exists"
        assert os.path.islink(out / name)
        assert tree.write(name, b"new", force=True) == "replaced"
    assert not os.path.islink(out / name)
    assert (out / name).read_bytes() == b"new"
    assert not (outside / "new").exists()


def test_existing_files_need_force(tmp_path):
    with OutputTree(str(tmp_path)) as tree:
        assert tree.write("p/q.proto", b"one") == "written"
        assert tree.write("p/q.proto", b"one") == "unchanged"
        assert tree.write("p/q.proto", b"two") == "exists"
        assert (tmp_path / "p" / "q.proto").read_bytes() == b"one"
        assert tree.write("p/q.proto", b"two", force=True) == "replaced"
    assert (tmp_path / "p" / "q.proto").read_bytes() == b"two"


def test_modes_do_not_depend_on_the_umask(tmp_path):
    old = os.umask(0o077)
    try:
        with OutputTree(str(tmp_path / "new")) as tree:
            tree.write("d/e/f.proto", b"x")
    finally:
        os.umask(old)
    for path, mode in [
        (tmp_path / "new", 0o755),
        (tmp_path / "new" / "d", 0o755),
        (tmp_path / "new" / "d" / "e", 0o755),
        (tmp_path / "new" / "d" / "e" / "f.proto", 0o644),
    ]:
        assert stat.S_IMODE(os.stat(path).st_mode) == mode, path


def half_then(exc):
    def write_all(fd, data):
        os.write(fd, data[: len(data) // 2])
        raise exc

    return write_all


@pytest.mark.parametrize(
    "exc", [OSError(28, "No space left on device"), KeyboardInterrupt()]
)
@pytest.mark.parametrize("existing", [None, b"old contents"])
def test_a_write_cut_short_leaves_no_partial_file(tmp_path, monkeypatch, exc, existing):
    target = tmp_path / "d" / "f.proto"
    if existing is not None:
        target.parent.mkdir()
        target.write_bytes(existing)
    monkeypatch.setattr(safe_output, "_write_all", half_then(exc))
    with OutputTree(str(tmp_path)) as tree, pytest.raises(type(exc)):
        tree.write("d/f.proto", b"x" * 10000, force=True)
    assert os.listdir(target.parent) == (["f.proto"] if existing else [])
    if existing is not None:
        assert target.read_bytes() == existing


KILLED_WRITER = textwrap.dedent(
    """
    import os, sys, time
    from ravick import safe_output

    def write_all(fd, data):
        os.write(fd, data[: len(data) // 2])
        print("half", flush=True)
        time.sleep(60)

    safe_output._write_all = write_all
    with safe_output.OutputTree(sys.argv[1]) as tree:
        tree.write("d/f.proto", b"x" * 100000, force=True)
    """
)


def test_a_killed_writer_leaves_no_partial_file(tmp_path):
    out = tmp_path / "out"
    (out / "d").mkdir(parents=True)
    (out / "d" / "f.proto").write_bytes(b"old")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen(
        [sys.executable, "-c", KILLED_WRITER, str(out)],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        assert child.stdout.readline() == "half\n"
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert (out / "d" / "f.proto").read_bytes() == b"old"
    leftovers = [n for n in os.listdir(out / "d") if n != "f.proto"]
    assert all(n.startswith(safe_output.TEMP_PREFIX) for n in leftovers)


def test_the_atomic_file_replaces_a_link_instead_of_writing_through(tmp_path):
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    link = tmp_path / "set.pb"
    link.symlink_to(victim)
    write_file_atomically(str(link), b"descriptor set")
    assert not link.is_symlink()
    assert link.read_bytes() == b"descriptor set"
    assert victim.read_bytes() == b"keep"
    assert stat.S_IMODE(os.stat(link).st_mode) == 0o644


@pytest.mark.parametrize("where", ["missing/set.pb", "a-directory", "a-directory/"])
def test_the_atomic_file_fails_cleanly(tmp_path, where):
    (tmp_path / "a-directory").mkdir()
    with pytest.raises(OSError):
        write_file_atomically(str(tmp_path / where), b"data")
    assert sorted(os.listdir(tmp_path)) == ["a-directory"]
    assert os.listdir(tmp_path / "a-directory") == []


def test_a_file_appearing_during_the_write_is_kept(tmp_path, monkeypatch):
    # As if another process created the file between the look and the write.
    (tmp_path / "f.proto").write_bytes(b"theirs")
    monkeypatch.setattr(safe_output, "_lstat", lambda dir_fd, leaf: None)
    with OutputTree(str(tmp_path)) as tree:
        assert tree.write("f.proto", b"ours") == "exists"
    assert (tmp_path / "f.proto").read_bytes() == b"theirs"
    assert os.listdir(tmp_path) == ["f.proto"]
