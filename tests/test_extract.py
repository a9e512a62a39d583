"""ravick.extract and its writer: one set from many inputs, a tree protoc
compiles back to the descriptors found, a descriptor set of the exact bytes,
conflicts kept apart, and nothing written outside the output directory
whatever names and the directory hold."""

from __future__ import annotations

import errno
import gzip
import hashlib
import os
import pathlib
import stat
import subprocess
from dataclasses import replace

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, empty_pb2, timestamp_pb2
from google.protobuf.unknown_fields import UnknownFieldSet

from protoc_harness import compile_protos, normalised, protoc_python
from ravick import extracting, safe_output
from ravick.extracting import extract
from ravick.extraction import output
from ravick.inputs import find_in_paths
from ravick.safe_output import OutputError, OutputTree
from test_package_find import embed

FileProto = descriptor_pb2.FileDescriptorProto
FieldProto = descriptor_pb2.FieldDescriptorProto
ROOT = pathlib.Path(__file__).resolve().parent.parent
WKT = "google/protobuf/"
OPTIONS = "google.protobuf.FileOptions"
OPTIONAL = FieldProto.LABEL_OPTIONAL

needs_protoc = pytest.mark.skipif(
    protoc_python() is None,
    reason="no protoc: set RAVICK_PROTOC_PYTHON or create .venv-protoc",
)


def proto(name, *, package="t", deps=(), messages=("M",), field_type="", ext=()):
    """A small proto3 file: messages with one field each (of ``field_type``
    when given) and bool extensions of FileOptions, by (name, number)."""
    fd = FileProto(name=name, package=package, syntax="proto3", dependency=deps)
    for m in messages:
        field = FieldProto(name="x", number=1, json_name="x", label=OPTIONAL)
        field.type = FieldProto.TYPE_INT32
        if field_type:
            field.type, field.type_name = FieldProto.TYPE_MESSAGE, field_type
        fd.message_type.add(name=m, field=[field])
    for e, number in ext:
        extension = fd.extension.add(name=e, number=number, json_name=e, label=OPTIONAL)
        extension.type, extension.extendee = FieldProto.TYPE_BOOL, "." + OPTIONS
    return fd


def option(number: int) -> bytes:
    """FileOptions bytes setting custom option ``number`` (a varint) to 1."""
    tag, out = number << 3, bytearray()
    while tag >= 0x80:
        out.append(tag & 0x7F | 0x80)
        tag >>= 7
    return bytes([*out, tag, 1])


def inputs(tmp_path, files: dict[str, list]) -> list[str]:
    """Writes each input as random bytes around its descriptors (or raw bytes)."""
    (tmp_path / "in").mkdir(exist_ok=True)
    for name, parts in files.items():
        raw = [p if isinstance(p, bytes) else p.SerializeToString() for p in parts]
        (tmp_path / "in" / name).write_bytes(embed(*raw))
    return [str(tmp_path / "in" / name) for name in files]


def sha256(fd: FileProto) -> str:
    return hashlib.sha256(fd.SerializeToString()).hexdigest()


def set_records(path) -> list[bytes]:
    """The files of a serialized FileDescriptorSet, byte for byte."""
    records = UnknownFieldSet(empty_pb2.Empty.FromString(path.read_bytes()))
    assert all(r.field_number == 1 for r in records)
    return [r.data for r in records]


def snapshot(root, skip=None):
    """Every entry under ``root`` but ``skip``: mode, content, link target."""
    entries = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if os.path.join(dirpath, d) != str(skip)]
        for path in [os.path.join(dirpath, n) for n in dirnames + filenames]:
            mode = os.lstat(path).st_mode
            content = stat.S_ISREG(mode) and pathlib.Path(path).read_bytes()
            entries[path] = (mode, content, stat.S_ISLNK(mode) and os.readlink(path))
    return entries


# --- one set, conflicts -------------------------------------------------------

V1, V2 = proto("n.proto", messages=("A",)), proto("n.proto", messages=("B",))
A, AB = proto("a.proto"), proto("a.proto/b.proto", package="u")
X, Y, IN_M = proto("x.proto"), proto("y.proto"), proto("y.proto", package="t.M")
NEEDS = proto("y.proto", deps=(WKT + "descriptor.proto",))
EXT_X = proto("x.proto", deps=NEEDS.dependency, ext=[("e", 50000)])
EXT_Y = proto("y.proto", package="u", deps=NEEDS.dependency, ext=[("f", 50000)])
FAKE = proto("descriptor.proto", package="google.protobuf", messages=("FileOptions",))


@pytest.mark.parametrize(
    ("files", "kept", "lost", "reason"),
    [
        ({"a.bin": [V1], "b.bin": [V1, V1]}, V1, None, None),
        # The first input in path order keeps the name, then the first offset.
        ({"b.bin": [V1], "a.bin": [V2]}, V2, V1, "same name, different bytes"),
        ({"a.bin": [V2, V1]}, V2, V1, "same name, different bytes"),
        ({"a.bin": [A, AB]}, A, AB, "a.proto is a file, not a directory"),
        ({"a.bin": [AB, A]}, AB, A, "a.proto is a directory of a.proto/b.proto"),
        # Files defining the same names cannot be compiled together.
        ({"a.bin": [X, Y]}, X, Y, "defines t.M, as x.proto does"),
        ({"a.bin": [X, IN_M]}, X, IN_M, "its package t.M is a name in x.proto"),
        (
            {"a.bin": [EXT_X, EXT_Y]},
            EXT_X,
            EXT_Y,
            f"extends {OPTIONS} with number 50000, as x.proto does",
        ),
        # A found file gives way to the protobuf package's file an import needs.
        (
            {"a.bin": [FAKE, NEEDS]},
            NEEDS,
            FAKE,
            f"defines {OPTIONS}, as google/protobuf/descriptor.proto does",
        ),
    ],
)
def test_one_set_with_conflicts_kept_apart(tmp_path, files, kept, lost, reason):
    out, set_path = tmp_path / "out", tmp_path / "set.pb"
    report = extract(inputs(tmp_path, files), str(out), descriptor_set=str(set_path))
    assert report.exit_status == 0
    (written,) = [w for w in report.written if w.path == kept.name]
    assert written.source == "found" and written.name == kept.name
    assert written.sha256 == sha256(kept) and (out / kept.name).is_file()
    lost_as = [] if lost is None else [(sha256(lost), reason)]
    assert [(c.sha256, c.reason) for c in report.conflicts] == lost_as
    for c in report.conflicts:
        assert c.path == f"_conflicts/{c.sha256[:12]}/{c.name}"
        assert (out / c.path).is_file()
    records = set(set_records(set_path))
    assert kept.SerializeToString() in records
    assert lost is None or lost.SerializeToString() not in records


# --- hostile names and planted outputs ----------------------------------------


@pytest.fixture
def planted(tmp_path):
    """An output directory with links out and entries in the way; nothing
    beside it may change."""
    world = tmp_path / "world"
    (world / "outside").mkdir(parents=True)
    (world / "outside" / "file").write_bytes(b"outside file")
    out = world / "out"
    (out / "real").mkdir(parents=True)
    (out / "a").symlink_to(world / "outside")
    (out / "x.proto").symlink_to(world / "outside" / "file")
    (out / "dangling.proto").symlink_to(world / "outside" / "new.proto")
    (out / "real" / "up").symlink_to("..")
    (out / "plain").write_bytes(b"a file")
    (out / "dir.proto").mkdir()
    before = snapshot(world, skip=out)
    yield out
    assert snapshot(world, skip=out) == before


NAMES = [
    ("", "empty name"),
    ("/abs/x.proto", "absolute path"),
    *[(n, "'..' path segment") for n in ("../x.proto", "a/../../x.proto", "..")],
    *[(n, "'.' path segment") for n in ("./x.proto", "a/./x.proto")],
    *[(n, "empty path segment") for n in ("a//x.proto", "a/x.proto/")],
    # Backslashes and colons, control characters, bytes that were not UTF-8.
    *[(f"a{c}b.proto", repr(c)) for c in "\\:\x00\n\x1b\x7f\x9b\udcff"],
    # The edges of each forbidden range, and what stands just outside.
    *[(f"a{c}b.proto", repr(c)) for c in "\x1f\x9f\ud800\udc80\udfff"],
    *[(f"a{c}b.proto", None) for c in " ~\xa0\ud7ff\ue000"],
    ("a\\..\\x.proto", "'\\\\'"),
    ("x.proto\x00.txt", "'\\x00'"),
    *[(n, "does not end in .proto") for n in ("x.txt", "x.proto.bak")],
    ("y" * 250 + ".proto", "longer than 255 bytes"),
    ("d/" + "é" * 125 + ".proto", "longer than 255 bytes"),
    ("_conflicts/0123456789ab/x.proto", "starts with _conflicts/"),
    *[(n, None) for n in ("y" * 249 + ".proto", "b/c.d.proto", "ü/é$ .proto")],
    ("..x/y..proto", None),
]


@pytest.mark.parametrize(("name", "problem"), NAMES)
def test_names_are_checked_before_any_write(
    tmp_path, planted, monkeypatch, name, problem
):
    # The scanner itself refuses most of these names: report one it found
    # under the hostile name.
    (found,) = find_in_paths(inputs(tmp_path, {"h.bin": [proto("h.proto")]}))
    hostile = replace(found, found=(replace(found.found[0], name=name),))
    monkeypatch.setattr(extracting, "find_in_paths", lambda paths, **_: [hostile])
    before = snapshot(planted)
    report = extract(["h.bin"], str(planted), force=True)
    if problem is None:
        assert [w.path for w in report.written] == [name]
        assert (planted / name).is_file()
        return
    assert [d.name for d in report.rejected] == [name]
    assert problem in report.rejected[0].reason
    assert report.written == report.write_errors == ()
    if "_conflicts" not in problem:  # the writer refuses them on its own too
        with OutputTree(str(planted)) as tree, pytest.raises(OutputError):
            tree.write(name, b"data", force=True)
    assert snapshot(planted) == before


PLANTED_ERRORS = {
    "a/b.proto": "a is a symbolic link, not followed",
    "a/deeper/b.proto": "a is a symbolic link, not followed",
    "real/up/a/b.proto": "real/up is a symbolic link, not followed",
    "plain/c.proto": "plain is not a directory",
    "dir.proto": "a directory is in the way",
}
LINKS = ("dangling.proto", "x.proto")


@pytest.mark.parametrize("force", [False, True])
def test_planted_entries_are_never_written_through(tmp_path, planted, force):
    names = [*PLANTED_ERRORS, *LINKS, "fine/ok.proto"]
    files = [proto(n, package=f"p{k}") for k, n in enumerate(names)]
    report = extract(inputs(tmp_path, {"in.bin": files}), str(planted), force=force)
    assert {p.path: p.reason for p in report.write_errors} == PLANTED_ERRORS
    assert (planted / "fine" / "ok.proto").is_file() and report.exit_status == 1
    assert report.not_overwritten == (() if force else LINKS)
    assert [(planted / link).is_symlink() for link in LINKS] == [not force] * 2
    assert not force or "package p6;" in (planted / "x.proto").read_text()


def test_a_file_appearing_during_the_write_is_kept(tmp_path, monkeypatch):
    # As if another process created the file between the look and the write.
    (tmp_path / "f.proto").write_bytes(b"theirs")
    monkeypatch.setattr(safe_output, "_lstat", lambda dir_fd, leaf: None)
    with OutputTree(str(tmp_path)) as tree:
        assert tree.write("f.proto", b"ours") == "exists"
    assert os.listdir(tmp_path) == ["f.proto"]
    assert (tmp_path / "f.proto").read_bytes() == b"theirs"


@pytest.mark.parametrize(
    ("interruption", "force", "old", "left"),
    [
        (KeyboardInterrupt(), False, None, ["f0.proto", "f1.proto"]),
        (OSError(28, "No space left"), True, b"old", [f"f{k}.proto" for k in range(4)]),
    ],
)
def test_an_interrupted_write_leaves_only_whole_files(
    tmp_path, monkeypatch, interruption, force, old, left
):
    files = [proto(f"d/f{k}.proto", package=f"p{k}") for k in range(4)]
    paths, clean, out = inputs(tmp_path, {"in": files}), tmp_path / "c", tmp_path / "o"
    extract(paths, str(clean))
    if old:
        (out / "d").mkdir(parents=True)
        (out / "d" / "f2.proto").write_bytes(old)
    real, calls = safe_output._write_all, []

    def cut_third(fd, data):
        calls.append(fd)
        if len(calls) == 3:
            os.write(fd, data[: len(data) // 2])
            raise interruption
        real(fd, data)

    monkeypatch.setattr(safe_output, "_write_all", cut_third)
    try:
        report = extract(paths, str(out), force=force)
    except KeyboardInterrupt:
        assert isinstance(interruption, KeyboardInterrupt)
    else:
        assert [p.path for p in report.write_errors] == ["d/f2.proto"]
    assert sorted(os.listdir(out / "d")) == left  # no temporary files either
    for name in left:
        whole = old if name == "f2.proto" else (clean / "d" / name).read_bytes()
        assert (out / "d" / name).read_bytes() == whole, name


def test_a_file_the_printer_fails_on_is_reported_and_the_rest_written(
    tmp_path, monkeypatch
):
    real = output.proto_source_in

    def fails_on_b(fd, index):
        if fd.name == "b.proto":
            raise RecursionError("too deep")
        return real(fd, index)

    monkeypatch.setattr(output, "proto_source_in", fails_on_b)
    files = [proto(f"{n}.proto", package=n) for n in "abc"]
    report = extract(inputs(tmp_path, {"in.bin": files}), str(tmp_path / "out"))
    (error,) = report.write_errors
    assert error.path == "b.proto" and "RecursionError('too deep')" in error.reason
    assert [w.path for w in report.written] == ["a.proto", "c.proto"]


# --- imports, the protobuf package, compiling ----------------------------------


def run_and_check(tmp_path, paths, stubs=True, **options):
    """Extracts ``paths``; protoc compiles the tree (and each conflicting
    version) back to the descriptors found (with the imports restored in
    them) and the stand-ins back to theirs; the set holds their exact bytes,
    imports first, and loads into protoc and, file by file, a fresh pool
    (whole, with stand-ins)."""
    out, set_path = tmp_path / "out", tmp_path / "set.pb"
    report = extract(
        paths,
        str(out),
        descriptor_set=str(set_path),
        workers=1,
        stubs=stubs,
        **options,
    )
    assert report.write_errors == report.input_errors == ()
    found = {f.sha256: f.data for r in find_in_paths(paths) for f in r.found}
    package = extracting.package_files()
    blocked = {u.path for u in report.cannot_compile}
    tree = [w for w in report.written if not w.path.startswith("_conflicts/")]
    records = set_records(set_path)
    recorded = {FileProto.FromString(r).name: r for r in records}
    expected = {w.name: expected_bytes(w, found, package, recorded) for w in tree}
    good = sorted(w.name for w in tree if w.path not in blocked)
    versions = [([out], good, expected)] if good else []
    restored = {r.path: r.imports for r in report.restored_imports}
    for c in report.conflicts:
        if c.path not in blocked:
            root = out / c.path.removesuffix(c.name)
            again = found[c.sha256] + imports(restored.get(c.path, ()))
            versions.append(([root, out], [c.name], {c.name: again}))
    for includes, names, originals in versions:
        compiled = compile_protos(names, includes)
        assert not compiled.error, compiled.error
        for name in names:
            original = FileProto.FromString(originals[name])
            assert normalised(compiled.files[name]) == normalised(original), name
    left_out = report.descriptor_set.left_out
    assert recorded == {k: v for k, v in expected.items() if k not in left_out}
    if stubs:
        whole = descriptor_pool.DescriptorPool()
        for record in records:
            whole.AddSerializedFile(record)
    cycles = {u.name for u in report.cannot_compile if u.reason == "in an import cycle"}
    # Options no file defines keep a file from compiling back, not from building.
    options_only = {
        u.name for u in report.cannot_compile if u.reason.startswith("sets custom")
    }
    placed, pool = set(), descriptor_pool.DescriptorPool()
    for record in records:
        fd = FileProto.FromString(record)
        if fd.name not in cycles:
            assert not (set(fd.dependency) & expected.keys()) - placed, fd.name
        placed.add(fd.name)
        if fd.name in good or fd.name in options_only:
            pool.AddSerializedFile(record)
    if good:
        again = tmp_path / "again.pb"
        protoc = [protoc_python(), "-m", "grpc_tools.protoc", "--include_imports"]
        protoc += [f"--descriptor_set_in={set_path}", f"--descriptor_set_out={again}"]
        run = subprocess.run([*protoc, *good], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        loaded = descriptor_pb2.FileDescriptorSet.FromString(again.read_bytes())
        assert set(good) <= {f.name for f in loaded.file}
    return report


@needs_protoc
@pytest.mark.parametrize("stubs", [False, True])
def test_imports_resolve_and_what_cannot_compile_is_named(tmp_path, stubs):
    stamp = WKT + "timestamp.proto"  # found, as is z/own.proto, gzip-compressed
    deps = (WKT + "type.proto", stamp, "z/own.proto")
    uses_types = proto(
        "u/t.proto", package="u", deps=deps, field_type=".google.protobuf.Type"
    )
    timestamp = ".google.protobuf.Timestamp"
    own = proto("z/own.proto", package="o", deps=(stamp,), field_type=timestamp)
    uses = proto("uses.proto", package="u2", deps=("opts.proto",))
    uses.options.ParseFromString(b"\x0a\x03pkg" + option(50001))
    ghost = proto("ghost.proto", package="g")
    ghost.options.ParseFromString(option(50002))
    files = [
        uses_types,
        gzip.compress(own.SerializeToString()),
        timestamp_pb2.DESCRIPTOR.serialized_pb,
        proto("a.proto", package="a", deps=("nothere.proto", "vendor/e.proto")),
        proto("b.proto", package="b", deps=("a.proto",)),
        proto("c.proto", package="c", deps=("d.proto",)),
        proto("d.proto", package="d", deps=("c.proto",)),
        ghost,
        proto("e.proto", package="e"),
        proto("opts.proto", package="o2", deps=NEEDS.dependency, ext=[("flag", 50001)]),
        uses,
    ]
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": files}), stubs)
    supplied = ("any.proto", "descriptor.proto", "source_context.proto", "type.proto")
    assert report.from_protobuf == tuple(WKT + n for n in supplied)
    written = {w.name: w for w in report.written}
    assert [written[n].source for n in deps] == ["protobuf", "found", "found"]
    assert written["z/own.proto"].found_at.inner_offset == 0
    assert written["z/own.proto"].found_at.layers == ("gzip",)
    assert written["u/t.proto"].found_at.inner_offset is None
    reasons = {
        "c.proto": "in an import cycle",
        "d.proto": "imports c.proto, which cannot compile",
        "ghost.proto": f"sets custom options that no file it imports defines: {OPTIONS} 50002",
    }
    out = tmp_path / "out"
    if stubs:
        # vendor/e.proto is e.proto by its name; nothing says what nothere.proto is.
        assert [(s.path, s.kind, s.target) for s in report.stand_ins] == [
            ("vendor/e.proto", "alias", "e.proto"),
            ("nothere.proto", "stub", None),
        ]
        assert report.missing_imports == ()
        assert (written["a.proto"].compiles, written["b.proto"].compiles) == (
            "with stubs",
            "with stubs",
        )
        assert (out / "nothere.proto").read_text().startswith("// A stand-in")
    else:
        (missing,) = report.missing_imports
        assert missing.imports == ("nothere.proto", "vendor/e.proto")
        assert missing.similar == (("vendor/e.proto", "e.proto"),)
        reasons["a.proto"] = "imports missing files: nothere.proto, vendor/e.proto"
        reasons["b.proto"] = "imports a.proto, which cannot compile"
    assert {u.name: u.reason for u in report.cannot_compile} == reasons
    assert {w.name for w in report.written if w.compiles == "no"} == set(reasons)
    for name in reasons.keys() - {"ghost.proto"}:  # it compiles, without its option
        assert compile_protos([name], [out]).error, name
    assert "option (.o2.flag) = true;" in (out / "uses.proto").read_text()


def imports(names) -> bytes:
    return FileProto(dependency=names).SerializeToString()


def expected_bytes(written, found, package, recorded) -> bytes:
    """What the set holds for a file: the bytes found and the imports
    restored, the protobuf package's bytes, or a stand-in's own."""
    if written.source == "found":
        return found[written.sha256] + imports(written.restored_imports)
    if written.source == "protobuf":
        return package[written.name]
    return recorded[written.name]


# --- real binaries --------------------------------------------------------------


def fetched(script: str) -> list[str]:
    """The binaries a fetch script prints; a failure fails the test on CI."""
    run = ["bash", str(ROOT / "scripts" / script)]
    proc = subprocess.run(run, capture_output=True, text=True, timeout=900)
    if proc.returncode != 0 or not proc.stdout.split():
        reason = f"cannot fetch (scripts/{script} exit {proc.returncode}): "
        reason += proc.stderr.strip()[-500:]
        (pytest.fail if os.environ.get("CI") else pytest.skip)(reason)
    return proc.stdout.split()


@needs_protoc
def test_each_library_alone_and_all_together_compile_back(tmp_path):
    libraries = fetched("fetch_binaries.sh")
    for k, paths in enumerate([[p] for p in libraries] + [libraries]):
        report = run_and_check(tmp_path / str(k), paths)
        assert report.cannot_compile == (), paths
    assert len(report.written) >= 340
    # The well-known types of libprotobuf lose their names to the upb copies
    # in libgrpc, which comes first in path order.
    conflicts = {c.name for c in report.conflicts}
    assert conflicts >= {WKT + "any.proto", WKT + "descriptor.proto"}
    assert all("libprotobuf.so" in c.found_at.path for c in report.conflicts)
    # libprotoc's code templates that parse as descriptors are not written.
    skipped = {d.name for d in report.skipped_implausible}
    assert "   PARSER = new com.google.proto" in skipped


# Why files of containerd's ctr cannot compile as they stand: gogoproto's
# options, whose file the program registers under another name, and options
# the gogo generator set without importing their definitions.
CTR_REASONS = (
    "imports missing files: ",
    "sets custom options that no file it imports defines: ",
    "imports google/protobuf/source_context.proto, which cannot compile",
)
GOGO_IMPORTS = ("gogoproto/gogo.proto", "github.com/gogo/protobuf/gogoproto/gogo.proto")


@needs_protoc
@pytest.mark.parametrize("stubs", [False, True])
def test_a_go_program_with_gzip_descriptors_compiles_back(tmp_path, stubs):
    (ctr,) = [p for p in fetched("fetch_go_programs.sh") if p.endswith("/bin/ctr")]
    report = run_and_check(tmp_path, [ctr], stubs)
    found_at = [w.found_at for w in report.written if w.found_at]
    assert all(where.inner_offset is not None for where in found_at)
    if stubs:
        # Only files setting gogo's options with no import behind them remain.
        assert report.missing_imports == ()
        reasons = {u.reason.split(":")[0] for u in report.cannot_compile}
        assert reasons == {"sets custom options that no file it imports defines"}
        aliases = {s.path: s.target for s in report.stand_ins if s.kind == "alias"}
        assert aliases == dict.fromkeys(GOGO_IMPORTS, "gogo.proto")
        return
    assert all(u.reason.startswith(CTR_REASONS) for u in report.cannot_compile)
    similar = {pair for m in report.missing_imports for pair in m.similar}
    assert ("gogoproto/gogo.proto", "gogo.proto") in similar
    assert report.from_protobuf == (WKT + "descriptor.proto",)
    assert any(c.name == "descriptor.proto" for c in report.conflicts)
    blocked = {u.path for u in report.cannot_compile}
    assert len([w for w in report.written if w.path not in blocked]) >= 8


def sized(size: int) -> bytes:
    """A FileDescriptorProto of exactly ``size`` serialized bytes: its name
    record (9 bytes) and a package of the length that fills the rest."""
    head = len(FileProto(name="a.proto").SerializeToString())
    if size == head:
        return FileProto(name="a.proto").SerializeToString()
    for width in range(1, 5):
        pad = size - head - 1 - width
        data = FileProto(name="a.proto", package="p" * pad).SerializeToString()
        if pad >= 0 and len(data) == size:
            return data
    raise AssertionError(size)


@pytest.mark.parametrize(
    # Each record's length varint at its boundaries: 1, 2, 3 and 4 bytes.
    "sizes",
    [[9], [127], [128, 127], [129], [16383, 16384], [2097151, 2097152, 128]],
)
def test_descriptor_set_lengths_at_varint_boundaries(tmp_path, sizes):
    files = [sized(n) for n in sizes]
    data = extracting.descriptor_set_bytes(files)
    assert descriptor_pb2.FileDescriptorSet.FromString(data) == (
        descriptor_pb2.FileDescriptorSet(file=[FileProto.FromString(f) for f in files])
    )
    path = tmp_path / "set.pb"
    path.write_bytes(data)
    assert set_records(path) == files


@pytest.mark.parametrize("planted", ["file", "link"])
@pytest.mark.parametrize("writer", ["tree", "set"])
def test_a_taken_temporary_name_is_never_written_through(
    tmp_path, monkeypatch, planted, writer
):
    # Another process holds the first temporary name drawn: its entry stays
    # as it is, and the write goes to the next name.
    names = iter(["taken", "fresh"])
    monkeypatch.setattr(safe_output.secrets, "token_hex", lambda n: next(names))
    taken = tmp_path / f"{safe_output.TEMP_PREFIX}taken.tmp"
    (tmp_path / "victim").write_bytes(b"theirs")
    if planted == "file":
        taken.write_bytes(b"theirs")
    else:
        taken.symlink_to("victim")
    if writer == "tree":
        with OutputTree(str(tmp_path)) as tree:
            assert tree.write("f.proto", b"ours") == "written"
    else:
        safe_output.write_file_atomically(str(tmp_path / "f.proto"), b"ours")
    assert (tmp_path / "f.proto").read_bytes() == b"ours"
    assert (tmp_path / "victim").read_bytes() == b"theirs"
    assert taken.is_symlink() if planted == "link" else taken.exists()
    if planted == "file":
        assert taken.read_bytes() == b"theirs"
    assert sorted(os.listdir(tmp_path)) == sorted(["f.proto", "victim", taken.name])


def test_an_existing_file_is_compared_without_following_or_blocking(tmp_path):
    (tmp_path / "real.proto").write_bytes(b"same")
    (tmp_path / "link.proto").symlink_to("real.proto")
    os.mkfifo(tmp_path / "fifo.proto")
    fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        assert safe_output._holds(fd, "real.proto", b"same")
        assert not safe_output._holds(fd, "link.proto", b"same")
        assert not safe_output._holds(fd, "fifo.proto", b"same")
    finally:
        os.close(fd)


@pytest.mark.parametrize("errno_", [errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV])
def test_without_hard_links_a_rename_places_new_files_only(
    tmp_path, monkeypatch, errno_
):
    def no_links(*args, **kwargs):
        raise OSError(errno_, os.strerror(errno_))

    monkeypatch.setattr(safe_output.os, "link", no_links)
    (tmp_path / "theirs.proto").write_bytes(b"theirs")
    # As if it appeared between the look and the write.
    monkeypatch.setattr(safe_output, "_lstat", lambda d, leaf: None)
    with OutputTree(str(tmp_path)) as tree:
        assert tree.write("new.proto", b"ours") == "written"
    monkeypatch.undo()
    monkeypatch.setattr(safe_output.os, "link", no_links)
    with OutputTree(str(tmp_path)) as tree:
        assert tree.write("theirs.proto", b"ours") == "exists"
    assert (tmp_path / "new.proto").read_bytes() == b"ours"
    assert (tmp_path / "theirs.proto").read_bytes() == b"theirs"
    assert sorted(os.listdir(tmp_path)) == ["new.proto", "theirs.proto"]


def tree_of(out: pathlib.Path) -> dict[str, bytes]:
    return {
        str(p.relative_to(out)): p.read_bytes() for p in out.rglob("*") if p.is_file()
    }


def test_printing_on_every_core_changes_no_byte(tmp_path, monkeypatch):
    from concurrent.futures import ThreadPoolExecutor

    from ravick.extraction.report import report_json

    paths = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")[:1]
    runs = {}
    serial = output._printed_tree
    monkeypatch.setattr(output, "PARALLEL_FROM", 64)
    for label, options in [
        ("one", {"workers": 1}),
        ("three", {"workers": 3}),
        ("executor", {"executor": ThreadPoolExecutor(2)}),
    ]:
        out = tmp_path / label
        if label != "one":  # printed in shares, never here
            monkeypatch.setattr(output, "_printed_tree", None)
        report = extract(paths, str(out), descriptor_set=str(out) + ".pb", **options)
        monkeypatch.setattr(output, "_printed_tree", serial)
        document = report_json(report)
        for key in ("seconds", "out"):
            document.pop(key)
        document["descriptor_set"].pop("path")
        set_bytes = pathlib.Path(str(out) + ".pb").read_bytes()
        runs[label] = (tree_of(out), document, set_bytes)
    assert len(runs["one"][0]) >= output.PARALLEL_FROM
    assert runs["three"] == runs["one"] == runs["executor"]

