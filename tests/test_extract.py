"""ravick.extract: one set from many inputs, a tree protoc compiles back to the
descriptors found, a descriptor set of the exact bytes, conflicts kept apart,
and nothing written outside the output directory whatever names and the
directory hold."""

from __future__ import annotations

import gzip
import hashlib
import os
import pathlib
import subprocess
import tempfile

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, timestamp_pb2

from protoc_harness import compile_protos, normalised, protoc_python
from ravick import extracting, safe_output
from ravick._file_graph import dependency_order
from ravick.extracting import extract
from ravick.finding import Found
from ravick.inputs import FileReport, find_in_paths
from test_package_find import embed
from test_safe_output import snapshot

FileProto = descriptor_pb2.FileDescriptorProto
FieldProto = descriptor_pb2.FieldDescriptorProto
ROOT = pathlib.Path(__file__).resolve().parent.parent

needs_protoc = pytest.mark.skipif(
    protoc_python() is None,
    reason="no protoc: set RAVICK_PROTOC_PYTHON or create .venv-protoc",
)


def proto(
    name: str,
    *,
    package: str = "t",
    deps: tuple[str, ...] = (),
    messages: tuple[str, ...] = ("M",),
    field_type: str = "",
    options: bytes = b"",
    extensions: tuple[tuple[str, str, int], ...] = (),
) -> FileProto:
    """A small proto3 file: messages with one field each (of ``field_type``
    when given), and extensions (name, extendee, number) of type bool."""
    fd = FileProto(name=name, package=package, syntax="proto3", dependency=deps)
    for m in messages:
        field = FieldProto(name="x", number=1, json_name="x")
        field.label = FieldProto.LABEL_OPTIONAL
        if field_type:
            field.type, field.type_name = FieldProto.TYPE_MESSAGE, field_type
        else:
            field.type = FieldProto.TYPE_INT32
        fd.message_type.add(name=m, field=[field])
    for ext, extendee, number in extensions:
        fd.extension.add(
            name=ext,
            extendee=extendee,
            number=number,
            label=FieldProto.LABEL_OPTIONAL,
            type=FieldProto.TYPE_BOOL,
            json_name=ext,
        )
    if options:
        fd.options.ParseFromString(options)
    return fd


def inputs(tmp_path: pathlib.Path, files: dict[str, list[FileProto]]) -> list[str]:
    """Writes each input as random bytes with the files embedded in order."""
    paths = []
    for name, protos in files.items():
        path = tmp_path / "in" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(embed(*(p.SerializeToString() for p in protos)))
        paths.append(str(path))
    return paths


def set_records(data: bytes) -> list[bytes]:
    """The field-1 records of a serialized FileDescriptorSet, byte for byte."""
    records, pos = [], 0
    while pos < len(data):
        assert data[pos] == 0x0A
        size, shift, pos = 0, 0, pos + 1
        while True:
            byte = data[pos]
            pos += 1
            size |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        records.append(data[pos : pos + size])
        pos += size
    return records


def found_bytes(paths: list[str]) -> dict[str, bytes]:
    """Every descriptor found in ``paths``, by sha256."""
    return {
        f.sha256: f.data
        for report in find_in_paths(paths, workers=1)
        for f in report.found
    }


# --- import order ------------------------------------------------------------


@pytest.mark.parametrize(
    ("imports", "order", "broken"),
    [
        ({}, [], set()),
        ({"b": [], "a": []}, ["a", "b"], set()),
        ({"a": ["b"], "b": []}, ["b", "a"], set()),
        ({"z": [], "y": ["z"], "a": ["y"], "m": []}, ["m", "z", "y", "a"], set()),
        ({"a": ["elsewhere", "b", "b"], "b": []}, ["b", "a"], set()),
        ({"a": ["b"], "b": ["a"], "c": ["a"]}, ["a", "b", "c"], {"a"}),
        ({"a": ["a"], "b": []}, ["b", "a"], {"a"}),
        (
            {"q": ["p"], "p": ["q"], "s": ["r"], "r": ["s"]},
            ["p", "q", "r", "s"],
            {"p", "r"},
        ),
    ],
)
def test_dependency_order(imports, order, broken):
    assert dependency_order(imports) == (order, broken)


# --- one set, conflicts --------------------------------------------------------

V1 = proto("n.proto", messages=("A",))
V2 = proto("n.proto", messages=("B",))


@pytest.mark.parametrize(
    ("files", "kept", "conflicts"),
    [
        # Equal bytes are one file, wherever they are.
        ({"a.bin": [V1], "b.bin": [V1, V1]}, {"n.proto": V1}, []),
        # The first input in path order keeps the name, then the first offset.
        (
            {"b.bin": [V1], "a.bin": [V2]},
            {"n.proto": V2},
            [(V1, "same name, different bytes")],
        ),
        ({"a.bin": [V2, V1]}, {"n.proto": V2}, [(V1, "same name, different bytes")]),
        (
            {"a.bin": [proto("a.proto"), proto("a.proto/b.proto", package="u")]},
            {"a.proto": proto("a.proto")},
            [
                (
                    proto("a.proto/b.proto", package="u"),
                    "a.proto is a file, not a directory",
                )
            ],
        ),
        (
            {"a.bin": [proto("a.proto/b.proto", package="u"), proto("a.proto")]},
            {"a.proto/b.proto": proto("a.proto/b.proto", package="u")},
            [(proto("a.proto"), "a.proto is a directory of a.proto/b.proto")],
        ),
        # Files defining the same names cannot be compiled together.
        (
            {"a.bin": [proto("x.proto"), proto("y.proto")]},
            {"x.proto": proto("x.proto")},
            [(proto("y.proto"), "defines t.M, as x.proto does")],
        ),
        (
            {
                "a.bin": [
                    proto("x.proto"),
                    proto("y.proto", package="t.M", messages=("N",)),
                ]
            },
            {"x.proto": proto("x.proto")},
            [
                (
                    proto("y.proto", package="t.M", messages=("N",)),
                    "its package t.M is a name in x.proto",
                )
            ],
        ),
        (
            {
                "a.bin": [
                    proto(
                        "x.proto",
                        deps=("google/protobuf/descriptor.proto",),
                        extensions=(("e", ".google.protobuf.FileOptions", 50000),),
                    ),
                    proto(
                        "y.proto",
                        package="u",
                        deps=("google/protobuf/descriptor.proto",),
                        extensions=(("f", ".google.protobuf.FileOptions", 50000),),
                    ),
                ]
            },
            {
                "x.proto": proto(
                    "x.proto",
                    deps=("google/protobuf/descriptor.proto",),
                    extensions=(("e", ".google.protobuf.FileOptions", 50000),),
                )
            },
            [
                (
                    None,
                    "extends google.protobuf.FileOptions with number 50000, as x.proto does",
                )
            ],
        ),
        # A found file defining what a file of the protobuf package defines
        # gives way to it when an import needs that file.
        (
            {
                "a.bin": [
                    FileProto(
                        name="descriptor.proto",
                        package="google.protobuf",
                        message_type=[
                            descriptor_pb2.DescriptorProto(name="FileOptions")
                        ],
                    ),
                    proto("y.proto", deps=("google/protobuf/descriptor.proto",)),
                ]
            },
            {"y.proto": proto("y.proto", deps=("google/protobuf/descriptor.proto",))},
            [
                (
                    None,
                    "defines google.protobuf.FileOptions, as google/protobuf/descriptor.proto does",
                )
            ],
        ),
    ],
)
def test_one_set_with_conflicts_kept_apart(tmp_path, files, kept, conflicts):
    out = tmp_path / "out"
    paths = inputs(tmp_path, files)
    report = extract(
        paths, str(out), descriptor_set=str(tmp_path / "set.pb"), workers=1
    )
    assert report.exit_status == 0
    tree = {w.name: w for w in report.written if not w.path.startswith("_conflicts/")}
    for name, fd in kept.items():
        assert tree[name].path == name and tree[name].source == "found"
        assert tree[name].sha256 == sha256(fd.SerializeToString())
        assert (out / name).is_file()
    assert [c.reason for c in report.conflicts] == [r for _, r in conflicts]
    for (fd, _), c in zip(conflicts, report.conflicts, strict=True):
        if fd is not None:
            assert c.sha256 == sha256(fd.SerializeToString())
        assert c.path == f"_conflicts/{c.sha256[:12]}/{c.name}"
        assert (out / c.path).is_file()
    records = set(set_records((tmp_path / "set.pb").read_bytes()))
    assert records >= {fd.SerializeToString() for fd in kept.values()}
    found = found_bytes(paths)
    assert not {found[c.sha256] for c in report.conflicts} & records


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def test_duplicates_name_every_place(tmp_path):
    paths = inputs(tmp_path, {"b.bin": [V1, V1], "a.bin": [V1]})
    report = extract(paths, str(tmp_path / "out"), workers=1)
    (dup,) = report.duplicates
    assert dup.kept.path == paths[1]
    assert [m.path for m in dup.merged] == [paths[0], paths[0]]
    assert dup.merged[0].offset < dup.merged[1].offset
    assert [w.path for w in report.written] == ["n.proto"]


# --- hostile names and planted outputs --------------------------------------


def found_record(fd: FileProto, start: int) -> Found:
    data = fd.SerializeToString()
    return Found(
        start=start,
        end=start + len(data),
        size=len(data),
        name=fd.name,
        package=fd.package,
        syntax=fd.syntax or "proto2",
        edition=None,
        sha256=sha256(data),
        compression=None,
        inner_start=None,
        inner_end=None,
        plausible=True,
        doubt=None,
        messages=len(fd.message_type),
        enums=0,
        services=0,
        extensions=0,
        dependencies=tuple(fd.dependency),
        data=data,
    )


@pytest.fixture
def scanning_anything(monkeypatch):
    """Makes extract see exactly the files given, as one input, whatever
    their names: the scanner's own checks on names play no part."""

    def use(files: list[FileProto]) -> None:
        def fake(paths, **_):
            found = tuple(found_record(fd, 100 * k) for k, fd in enumerate(files))
            yield FileReport("hostile.bin", 10_000, found)

        monkeypatch.setattr(extracting, "find_in_paths", fake)

    return use


@pytest.fixture
def planted(tmp_path):
    """An output directory with links out and entries in the way, and the
    directory next to it, which must never change."""
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "file").write_bytes(b"outside file")
    out = tmp_path / "out"
    out.mkdir()
    (out / "a").symlink_to(outside)
    (out / "x.proto").symlink_to(outside / "file")
    (out / "plain").write_bytes(b"a file")
    (out / "dir.proto").mkdir()
    before = snapshot(outside)
    yield out
    assert snapshot(outside) == before


UNSAFE_NAMES = [
    "",
    "/abs/x.proto",
    "../x.proto",
    "a/../../x.proto",
    "./x.proto",
    "a/./x.proto",
    "a//x.proto",
    "a/x.proto/",
    "..",
    "a\\..\\x.proto",
    "c:x.proto",
    "C:\\x.proto",
    "a\x00.proto",
    "a\n.proto",
    "\x1b[2Jx.proto",
    "a\x9bx.proto",
    "x.txt",
    "x.proto\x00.txt",
    "y" * 256 + ".proto",
    "_conflicts/0123456789ab/x.proto",
]


@pytest.mark.parametrize("name", UNSAFE_NAMES)
def test_unsafe_names_are_rejected_and_reported(planted, scanning_anything, name):
    scanning_anything([proto(name, package="h")])
    before = snapshot(planted)
    report = extract(["hostile.bin"], str(planted))
    assert [d.name for d in report.rejected] == [name]
    assert report.rejected[0].reason
    assert report.written == () and report.write_errors == ()
    assert snapshot(planted) == before


def test_names_the_scanner_passes_are_checked_too(tmp_path):
    # Backslashes and colons make a descriptor implausible: --all lets them
    # through the scan, never into a path.
    names = ["a\\b.proto", "c:d.proto", "_conflicts/x/e.proto"]
    paths = inputs(tmp_path, {"in.bin": [proto(n, package="h") for n in names]})
    report = extract(paths, str(tmp_path / "out"), include_implausible=True)
    assert sorted(d.name for d in report.rejected) == sorted(names)
    assert report.written == () and os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("force", [False, True])
def test_planted_entries_are_never_written_through(tmp_path, planted, force):
    files = [
        proto("a/b.proto", package="p1"),
        proto("x.proto", package="p2"),
        proto("plain/c.proto", package="p3"),
        proto("dir.proto", package="p4"),
        proto("fine/ok.proto", package="p5"),
    ]
    paths = inputs(tmp_path, {"in.bin": files})
    report = extract(paths, str(planted), force=force)
    errors = {p.path: p.reason for p in report.write_errors}
    assert errors == {
        "a/b.proto": "a is a symbolic link, not followed",
        "plain/c.proto": "plain is not a directory",
        "dir.proto": "a directory is in the way",
    }
    assert (planted / "fine" / "ok.proto").is_file()
    if force:
        assert report.not_overwritten == ()
        assert not (planted / "x.proto").is_symlink()
        assert "package p2;" in (planted / "x.proto").read_text()
    else:
        assert report.not_overwritten == ("x.proto",)
        assert (planted / "x.proto").is_symlink()
    assert report.exit_status == 1


def test_existing_files_are_kept_without_force(tmp_path):
    paths = inputs(
        tmp_path,
        {"in.bin": [proto("p/a.proto", package="a"), proto("b.proto", package="b")]},
    )
    out = tmp_path / "out"
    first = extract(paths, str(out))
    assert [w.status for w in first.written] == ["written", "written"]
    again = extract(paths, str(out))
    assert [w.status for w in again.written] == ["unchanged", "unchanged"]
    assert again.exit_status == 0
    (out / "p" / "a.proto").write_text("edited")
    kept = extract(paths, str(out))
    assert kept.not_overwritten == ("p/a.proto",) and kept.exit_status == 1
    assert (out / "p" / "a.proto").read_text() == "edited"
    forced = extract(paths, str(out), force=True)
    assert {w.path: w.status for w in forced.written} == {
        "p/a.proto": "replaced",
        "b.proto": "replaced",
    }
    assert forced.exit_status == 0
    assert "package a;" in (out / "p" / "a.proto").read_text()


@pytest.mark.parametrize(
    "interruption", [KeyboardInterrupt(), OSError(28, "No space left on device")]
)
def test_an_interrupted_extract_leaves_only_whole_files(
    tmp_path, monkeypatch, interruption
):
    files = [proto(f"d/f{k}.proto", package=f"p{k}") for k in range(6)]
    paths = inputs(tmp_path, {"in.bin": files})
    extract(paths, str(tmp_path / "clean"))
    real = safe_output._write_all
    calls = []

    def cut_third(fd, data):
        calls.append(fd)
        if len(calls) == 3:
            os.write(fd, data[: len(data) // 2])
            raise interruption
        real(fd, data)

    monkeypatch.setattr(safe_output, "_write_all", cut_third)
    out = tmp_path / "out"
    if isinstance(interruption, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            extract(paths, str(out))
    else:
        report = extract(paths, str(out))
        assert [p.path for p in report.write_errors] == ["d/f2.proto"]
        assert report.exit_status == 1
    left = sorted(os.listdir(out / "d"))
    assert "f2.proto" not in left
    assert not [n for n in left if n.startswith(safe_output.TEMP_PREFIX)]
    for name in left:
        assert (out / "d" / name).read_bytes() == (
            tmp_path / "clean" / "d" / name
        ).read_bytes()


# --- imports, the protobuf package, compiling -------------------------------


def check_tree(
    out: pathlib.Path, set_path: pathlib.Path, report, found: dict[str, bytes]
) -> int:
    """protoc compiles the tree (and each conflicting version) back to the
    descriptors found; the set holds their exact bytes, imports first, and
    loads into protoc and into a fresh pool. Returns the files compiled."""
    package = extracting.package_files()
    blocked = {u.path for u in report.cannot_compile}
    tree = [w for w in report.written if not w.path.startswith("_conflicts/")]
    expected = {
        w.name: found[w.sha256] if w.source == "found" else package[w.name]
        for w in tree
    }
    compilable = sorted(w.name for w in tree if w.path not in blocked)
    if compilable:
        compiled = compile_protos(compilable, [out])
        assert not compiled.error
        for name in compilable:
            original = FileProto.FromString(expected[name])
            assert normalised(compiled.files[name]) == normalised(original), name
    for c in report.conflicts:
        if c.path in blocked:
            continue
        root = out / c.path.removesuffix(c.name)
        again = compile_protos([c.name], [root, out])
        assert not again.error, again.error
        assert normalised(again.files[c.name]) == normalised(
            FileProto.FromString(found[c.sha256])
        )
    records = set_records(set_path.read_bytes())
    by_name = {FileProto.FromString(r).name: r for r in records}
    assert by_name == expected
    cycles = {u.name for u in report.cannot_compile if u.reason == "in an import cycle"}
    placed: set[str] = set()
    for record in records:
        fd = FileProto.FromString(record)
        if fd.name not in cycles:
            assert not (set(fd.dependency) & by_name.keys()) - placed, fd.name
        placed.add(fd.name)
    pool = descriptor_pool.DescriptorPool()
    for record in records:
        if FileProto.FromString(record).name in compilable:
            pool.AddSerializedFile(record)
    if compilable:
        protoc_loads_set(set_path, compilable)
    return len(compilable)


def protoc_loads_set(set_path: pathlib.Path, names: list[str]) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        run = subprocess.run(
            [
                str(protoc_python()),
                "-m",
                "grpc_tools.protoc",
                f"--descriptor_set_in={set_path}",
                f"--descriptor_set_out={tmp}/again.pb",
                "--include_imports",
                *names,
            ],
            capture_output=True,
            text=True,
        )
        assert run.returncode == 0, run.stderr
        again = descriptor_pb2.FileDescriptorSet.FromString(
            pathlib.Path(tmp, "again.pb").read_bytes()
        )
    assert set(names) <= {f.name for f in again.file}


def run_and_check(tmp_path, paths, **options):
    out, set_path = tmp_path / "out", tmp_path / "set.pb"
    report = extract(paths, str(out), descriptor_set=str(set_path), **options)
    assert report.write_errors == () and report.input_errors == ()
    check_tree(out, set_path, report, found_bytes(paths))
    return report


def option_bytes(number: int, value: int = 1) -> bytes:
    tag = number << 3
    out = bytearray()
    for v in (tag, value):
        while v >= 0x80:
            out.append(v & 0x7F | 0x80)
            v >>= 7
        out.append(v)
    return bytes(out)


@needs_protoc
def test_imports_resolve_within_the_run_and_from_protobuf(tmp_path):
    files = [
        proto(
            "uses/types.proto",
            package="u",
            deps=(
                "google/protobuf/type.proto",
                "google/protobuf/timestamp.proto",
                "own.proto",
            ),
            field_type=".google.protobuf.Type",
        ),
        proto(
            "own.proto",
            package="o",
            field_type=".google.protobuf.Timestamp",
            deps=("google/protobuf/timestamp.proto",),
        ),
        FileProto.FromString(timestamp_pb2.DESCRIPTOR.serialized_pb),
    ]
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": files}))
    assert report.from_protobuf == (
        "google/protobuf/any.proto",
        "google/protobuf/source_context.proto",
        "google/protobuf/type.proto",
    )
    sources = {w.name: w.source for w in report.written}
    assert sources["google/protobuf/timestamp.proto"] == "found"
    assert sources["google/protobuf/type.proto"] == "protobuf"
    assert report.missing_imports == () and report.cannot_compile == ()


@needs_protoc
def test_what_cannot_compile_is_named_and_the_rest_compiles(tmp_path):
    files = [
        proto("a.proto", package="a", deps=("nothere.proto",)),
        proto("b.proto", package="b", deps=("a.proto",)),
        proto("c.proto", package="c", deps=("d.proto",)),
        proto("d.proto", package="d", deps=("c.proto",)),
        proto("ghost.proto", package="g", options=option_bytes(50002)),
        proto("e.proto", package="e"),
        proto(
            "opts.proto",
            package="o",
            deps=("google/protobuf/descriptor.proto",),
            extensions=(("flag", ".google.protobuf.FileOptions", 50001),),
        ),
        proto(
            "uses.proto",
            package="u",
            deps=("opts.proto",),
            options=b"\x0a\x03pkg" + option_bytes(50001),
        ),
    ]
    paths = inputs(tmp_path, {"in.bin": files})
    report = run_and_check(tmp_path, paths)
    assert [(m.name, m.imports) for m in report.missing_imports] == [
        ("a.proto", ("nothere.proto",))
    ]
    assert {u.name: u.reason for u in report.cannot_compile} == {
        "a.proto": "imports missing files: nothere.proto",
        "b.proto": "imports a.proto, which cannot compile",
        "c.proto": "in an import cycle",
        "d.proto": "imports c.proto, which cannot compile",
        "ghost.proto": "sets custom options that no file it imports defines: google.protobuf.FileOptions 50002",
    }
    assert report.from_protobuf == ("google/protobuf/descriptor.proto",)
    out = tmp_path / "out"
    for u in report.cannot_compile:
        if u.name != "ghost.proto":  # compiles, without its option
            assert compile_protos([u.name], [out]).error, u.name
    assert "option (.o.flag) = true;" in (out / "uses.proto").read_text()
    records = set_records((tmp_path / "set.pb").read_bytes())
    assert files[-1].SerializeToString() in records


@pytest.mark.parametrize(
    ("imports", "present", "similar"),
    [
        (("vendor/dep.proto",), "dep.proto", (("vendor/dep.proto", "dep.proto"),)),
        (("dep.proto",), "src/dep.proto", (("dep.proto", "src/dep.proto"),)),
        (("vendor/dep.proto",), "xdep.proto", ()),
        (("a/dep.proto",), "b/dep.proto", ()),
    ],
)
def test_missing_imports_name_files_found_under_a_similar_name(
    tmp_path, imports, present, similar
):
    files = [
        proto("uses.proto", package="u", deps=imports),
        proto(present, package="p"),
    ]
    report = extract(inputs(tmp_path, {"in.bin": files}), str(tmp_path / "out"))
    (missing,) = report.missing_imports
    assert (missing.imports, missing.similar) == (imports, similar)


@needs_protoc
def test_gzip_descriptors_are_written_from_the_inflated_bytes(tmp_path):
    fd = proto("go/thing.proto", package="go.thing")
    path = tmp_path / "go.bin"
    path.write_bytes(embed(gzip.compress(fd.SerializeToString())))
    report = run_and_check(tmp_path, [str(path)])
    (written,) = report.written
    assert written.found_at.inner_offset == 0
    assert set_records((tmp_path / "set.pb").read_bytes()) == [fd.SerializeToString()]


# --- real binaries ----------------------------------------------------------


def fetched(script: str) -> list[str]:
    proc = subprocess.run(
        ["bash", str(ROOT / "scripts" / script)],
        capture_output=True,
        text=True,
        timeout=900,
    )
    paths = proc.stdout.split()
    if proc.returncode != 0 or not paths:
        reason = f"cannot fetch (scripts/{script} exit {proc.returncode}): {proc.stderr.strip()[-500:]}"
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    return paths


@pytest.fixture(scope="session")
def libraries() -> list[str]:
    return fetched("fetch_binaries.sh")


@pytest.fixture(scope="session")
def go_program() -> str:
    (ctr,) = [p for p in fetched("fetch_go_programs.sh") if p.endswith("/usr/bin/ctr")]
    return ctr


@needs_protoc
def test_each_library_alone_and_all_together_compile_back(tmp_path, libraries):
    runs = [[p] for p in libraries] + [libraries]
    compiled = []
    for k, paths in enumerate(runs):
        report = run_and_check(tmp_path / str(k), paths)
        assert report.cannot_compile == (), paths
        compiled.append(len(report.written))
    everything = report
    assert compiled[-1] >= 340
    # The well-known types of libprotobuf lose their names to the upb copies
    # in libgrpc, which comes first in path order.
    assert {c.name for c in everything.conflicts} >= {
        "google/protobuf/any.proto",
        "google/protobuf/descriptor.proto",
    }
    assert all("libprotobuf.so" in c.found_at.path for c in everything.conflicts)
    # libprotoc's code templates that parse as descriptors are not written.
    assert {d.name for d in everything.skipped_implausible} >= {
        "   PARSER = new com.google.proto"
    }


# Why files of containerd's ctr cannot compile as they stand: gogoproto's
# options, whose file the program registers under another name, and options
# the gogo generator set without importing their definitions.
CTR_REASONS = (
    "imports missing files: ",
    "sets custom options that no file it imports defines: ",
    "imports google/protobuf/source_context.proto, which cannot compile",
)


@needs_protoc
def test_a_go_program_with_gzip_descriptors_compiles_back(tmp_path, go_program):
    report = run_and_check(tmp_path, [go_program])
    assert all(
        w.found_at is None or w.found_at.inner_offset is not None
        for w in report.written
    )
    assert all(u.reason.startswith(CTR_REASONS) for u in report.cannot_compile)
    assert {"gogoproto/gogo.proto"} <= {
        i for m in report.missing_imports for i in m.imports
    }
    similar = {pair for m in report.missing_imports for pair in m.similar}
    assert ("gogoproto/gogo.proto", "gogo.proto") in similar
    assert report.from_protobuf == ("google/protobuf/descriptor.proto",)
    assert any(c.name == "descriptor.proto" for c in report.conflicts)
    blocked = {u.path for u in report.cannot_compile}
    assert len([w for w in report.written if w.path not in blocked]) >= 8


def test_a_file_the_printer_fails_on_is_reported_and_the_rest_written(
    tmp_path, monkeypatch
):
    real = extracting.proto_source

    def fails_on_b(fd, context=()):
        if fd.name == "b.proto":
            raise RecursionError("too deep")
        return real(fd, context)

    def batch_fails(fds):
        raise RecursionError("too deep")

    monkeypatch.setattr(extracting, "proto_source", fails_on_b)
    monkeypatch.setattr(extracting, "proto_sources", batch_fails)
    files = [proto(f"{n}.proto", package=n) for n in "abc"]
    report = extract(inputs(tmp_path, {"in.bin": files}), str(tmp_path / "out"))
    assert [(p.path, p.reason) for p in report.write_errors] == [
        ("b.proto", "cannot be printed: RecursionError('too deep')")
    ]
    assert [w.path for w in report.written] == ["a.proto", "c.proto"]
    assert report.exit_status == 1
