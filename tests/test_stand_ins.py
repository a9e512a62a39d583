"""Trees that compile whatever the inputs lack: stubs for every kind of use,
aliases of files found under another name, imports restored in descriptors
that lost them, and the file that keeps a name being the one importers need.
Each input is compiled by protoc from a small source; the missing files are
left out of the inputs, and the tree ravick writes must compile back."""

from __future__ import annotations

import pathlib
import tempfile

import pytest
from google.protobuf import descriptor_pb2

from descriptors import googleapis_descriptors
from protoc_harness import compile_protos, protoc_python
from ravick.extracting import extract
from test_extract import fetched, inputs, run_and_check

FileProto = descriptor_pb2.FileDescriptorProto

pytestmark = pytest.mark.skipif(protoc_python() is None, reason="no protoc")

DEP = """
syntax = "proto2";
package dep.v1;
import "google/protobuf/descriptor.proto";
message Thing { message Inner {} }
message Base { extensions 1 to 200; }
enum Color { RED = 0; BLUE = 1; }
enum Mood { CALM = 0; }
extend google.protobuf.FileOptions {
  optional int32 level = 51000; optional fixed32 f32 = 51001;
  optional double ratio = 51002; optional string label = 51003;
  repeated int64 tags = 51004; optional Thing thing = 51005;
}
extend google.protobuf.FieldOptions { optional bool flag = 51010; }
extend google.protobuf.MethodOptions { optional sint64 cost = 51011; }
extend google.protobuf.EnumValueOptions { optional float weight = 51012; }
"""
DEP3 = 'syntax = "proto3"; package dep.v3; enum Open { ZERO = 0; ONE = 1; }'


def compiled(sources: dict[str, str]) -> dict[str, FileProto]:
    """Every file of ``sources`` as protoc compiles it."""
    with tempfile.TemporaryDirectory() as tmp:
        for name, text in sources.items():
            path = pathlib.Path(tmp) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        run = compile_protos(sorted(sources), [pathlib.Path(tmp)])
    assert not run.error, run.error
    return run.files


def importer(body: str, syntax: str = "proto2", deps=("dep/v1/dep.proto",)) -> str:
    imports = "".join(f'import "{d}";\n' for d in deps)
    return f'syntax = "{syntax}";\npackage user;\n{imports}{body}\n'


# Each row: what a file uses from a file no input holds. The stub must let
# it compile back to the very descriptor found.
USES = {
    "message field": "message U { optional dep.v1.Thing t = 1; }",
    "nested and outer": (
        "message U { optional dep.v1.Thing.Inner i = 1; optional dep.v1.Thing t = 2; }"
    ),
    "method types": (
        "service S { rpc Go(dep.v1.Thing) returns (dep.v1.Thing.Inner); }"
    ),
    "enum default": "message U { optional dep.v1.Color c = 1 [default = BLUE]; }",
    "two enums, defaults": (
        "message U { optional dep.v1.Color c = 1 [default = RED];"
        " optional dep.v1.Mood m = 2; }"
    ),
    "extendee": "extend dep.v1.Base { optional int32 more = 1; }",
    "varint option": "option (dep.v1.level) = -5;",
    "fixed32 option": "option (dep.v1.f32) = 7;",
    "fixed64 option": "option (dep.v1.ratio) = 0.25;",
    "bytes option": 'option (dep.v1.label) = "l\\001";',
    "repeated option": "option (dep.v1.tags) = 1; option (dep.v1.tags) = -2;",
    "message option": "option (dep.v1.thing) = {};",
    "nested option path": "message U { optional int32 x = 1 [(dep.v1.flag) = true]; }",
    "method option": (
        "message M {} service S { rpc Go(M) returns (M) { option (dep.v1.cost) = -3; } }"
    ),
    "enum value option": "enum E { A = 0 [(dep.v1.weight) = 1.5]; }",
}


@pytest.mark.parametrize("use", sorted(USES))
def test_stubs_compile_back_what_their_importers_use(tmp_path, use):
    files = compiled({"dep/v1/dep.proto": DEP, "user.proto": importer(USES[use])})
    report = run_and_check(
        tmp_path, inputs(tmp_path, {"in.bin": [files["user.proto"]]})
    )
    (stub,) = report.stand_ins
    assert (stub.path, stub.kind, stub.needed_by) == (
        "dep/v1/dep.proto",
        "stub",
        ("user.proto",),
    )
    (user,) = [w for w in report.written if w.name == "user.proto"]
    assert user.compiles == "with stubs"
    text = (tmp_path / "out" / "dep/v1/dep.proto").read_text()
    assert text.startswith("// A stand-in written by ravick") and "user.proto:" in text


def test_a_proto3_importer_gets_an_open_enum(tmp_path):
    files = compiled(
        {
            "dep/v3/open.proto": DEP3,
            "user.proto": importer(
                "message U { dep.v3.Open o = 1; }", "proto3", ["dep/v3/open.proto"]
            ),
        }
    )
    report = run_and_check(
        tmp_path, inputs(tmp_path, {"in.bin": [files["user.proto"]]})
    )
    assert 'syntax = "proto3";' in (tmp_path / "out" / "dep/v3/open.proto").read_text()
    assert report.cannot_compile == ()


def test_two_importers_needing_different_names_share_one_stub(tmp_path):
    files = compiled(
        {
            "dep/v1/dep.proto": DEP,
            "a.proto": importer("message A { optional dep.v1.Thing t = 1; }").replace(
                "user", "a"
            ),
            "b.proto": importer("option (dep.v1.level) = 3; enum B { X = 0; }").replace(
                "user", "b"
            ),
        }
    )
    found = [files["a.proto"], files["b.proto"]]
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": found}))
    (stub,) = report.stand_ins
    assert stub.needed_by == ("a.proto", "b.proto")
    assert stub.defines == ("dep.v1.Thing", "dep.v1.unknown_51000")


def test_a_file_found_under_another_name_is_aliased(tmp_path):
    files = compiled(
        {
            "dep/v1/dep.proto": DEP,
            "user.proto": importer("message U { optional dep.v1.Thing t = 1; }"),
        }
    )
    own = FileProto()
    own.CopyFrom(files["dep/v1/dep.proto"])
    own.name = "github.com/o/r/dep/v1/dep.proto"  # as a Go program registers it
    report = run_and_check(
        tmp_path, inputs(tmp_path, {"in.bin": [files["user.proto"], own]})
    )
    (alias,) = report.stand_ins
    assert (alias.kind, alias.target) == ("alias", own.name)
    text = (tmp_path / "out" / "dep/v1/dep.proto").read_text()
    assert f'import public "{own.name}";' in text
    assert {w.name: w.compiles for w in report.written}["user.proto"] == "with an alias"


def test_a_similar_name_lacking_a_name_of_its_package_is_no_alias(tmp_path):
    files = compiled(
        {
            "dep/v1/dep.proto": DEP,
            "user.proto": importer("message U { optional dep.v1.Thing t = 1; }"),
        }
    )
    other = FileProto(name="x/dep/v1/dep.proto", package="dep.v1")
    other.message_type.add(name="Unrelated")
    report = run_and_check(
        tmp_path, inputs(tmp_path, {"in.bin": [files["user.proto"], other]})
    )
    assert [(s.kind, s.defines) for s in report.stand_ins] == [
        ("stub", ("dep.v1.Thing",))
    ]


def test_the_file_importers_need_keeps_the_names(tmp_path):
    files = compiled(
        {
            "dep/v1/dep.proto": DEP,
            "user.proto": importer("message U { optional dep.v1.Thing t = 1; }"),
        }
    )
    first = FileProto()
    first.CopyFrom(files["dep/v1/dep.proto"])
    first.name = "dep.proto"  # found first, defining the same names
    found = [first, files["dep/v1/dep.proto"], files["user.proto"]]
    for order in (found, found[::-1]):
        out = tmp_path / str(len(list(tmp_path.iterdir())))
        out.mkdir()
        report = run_and_check(out, inputs(out, {"in.bin": order}))
        assert [c.name for c in report.conflicts] == ["dep.proto"]
        assert report.stand_ins == () and report.cannot_compile == ()


def test_googleapis_without_imports_has_them_restored(tmp_path):
    files = [FileProto.FromString(d) for d in googleapis_descriptors()]
    original = {f.name: set(f.dependency) for f in files}
    for f in files:
        del f.dependency[:]
        del f.public_dependency[:]
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": files}))
    assert len(report.restored_imports) >= 20
    for restored in report.restored_imports:
        assert set(restored.imports) <= original[restored.name], restored
    # Each compiles with them, or compiles without options nothing defines.
    options_only = {
        u.name for u in report.cannot_compile if "custom options" in u.reason
    }
    for w in report.written:
        if w.restored_imports:
            assert w.compiles == "with restored imports" or w.name in options_only


@pytest.mark.parametrize(
    "dep",
    ["../up.proto", "/abs.proto", "a//b.proto", "_conflicts/x.proto", "a\nb.proto"],
)
def test_an_unsafe_import_gets_no_stand_in(tmp_path, dep):
    user = FileProto(name="user.proto", package="user", dependency=[dep])
    field = user.message_type.add(name="U").field.add(name="t", number=1, json_name="t")
    field.label, field.type = field.LABEL_OPTIONAL, field.TYPE_MESSAGE
    field.type_name = ".evil.T"
    # Such imports make a descriptor implausible: --all lets it through.
    found = inputs(tmp_path, {"in.bin": [user]})
    report = run_and_check(tmp_path, found, include_implausible=True)
    assert report.stand_ins == ()
    assert [m.imports for m in report.missing_imports] == [(dep,)]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["user.proto"]


def test_names_that_are_no_identifiers_stay_out_of_stubs(tmp_path):
    user = FileProto(name="user.proto", package="user", dependency=["dep.proto"])
    message = user.message_type.add(name="U")
    for number, name in enumerate([".a.T", ".a.b\nc", ".a.T.x y", ".ok.T"], 1):
        field = message.field.add(
            name=f"f{number}", number=number, json_name=f"f{number}"
        )
        field.label, field.type, field.type_name = (
            field.LABEL_OPTIONAL,
            field.TYPE_MESSAGE,
            name,
        )
    found = inputs(tmp_path, {"in.bin": [user]})
    report = run_and_check(tmp_path, found, include_implausible=True)
    (stub,) = report.stand_ins
    assert stub.defines == ("a", "a.T", "ok", "ok.T")
    text = (tmp_path / "out" / "dep.proto").read_text()
    header, code = text.split('syntax = "proto2";')
    assert all(line.startswith("//") for line in header.splitlines())
    assert "a.b\\nc" in header  # named in the comment, escaped
    assert "x y" not in code and "b\nc" not in code


def test_the_demo_inputs_compile_whole(tmp_path):
    # Debian's libraries and containerd's five Go programs, as the demo runs.
    paths = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")
    report = run_and_check(tmp_path, paths)
    assert report.missing_imports == () and report.descriptor_set.left_out == ()
    assert {u.reason.split(":")[0] for u in report.cannot_compile} == {
        "sets custom options that no file it imports defines"
    }
    # Even those compile, without the options no file defines.
    out = tmp_path / "out"
    for u in report.cannot_compile:
        root = out / u.path.removesuffix(u.name)
        assert not compile_protos([u.name], [root, out]).error, u.path
    kinds = {(s.kind, s.target) for s in report.stand_ins}
    assert ("alias", "gogo.proto") in kinds
    assert len(report.conflicts) > 2
    for c in report.conflicts:  # 12 digits of the hash tell them apart
        assert c.path == f"_conflicts/{c.sha256[:12]}/{c.name}"


def test_of_two_similar_files_the_one_defining_the_options_is_aliased(tmp_path):
    files = compiled(
        {"dep/v1/dep.proto": DEP, "user.proto": importer("option (dep.v1.level) = 3;")}
    )
    bare = FileProto(name="v1/dep.proto", package="elsewhere")
    own = FileProto()
    own.CopyFrom(files["dep/v1/dep.proto"])
    own.name = "x/dep/v1/dep.proto"
    found = [bare, own, files["user.proto"]]
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": found}))
    assert [(s.kind, s.target) for s in report.stand_ins] == [("alias", own.name)]


def test_an_alias_ignores_needs_of_other_packages(tmp_path):
    files = compiled(
        {
            "dep/v1/dep.proto": DEP,
            "other/o.proto": "syntax = 'proto2'; package other; message X {}",
            "user.proto": importer(
                "message U { optional dep.v1.Thing t = 1; optional other.X x = 2; }",
                deps=("dep/v1/dep.proto", "other/o.proto"),
            ),
        }
    )
    own = FileProto()
    own.CopyFrom(files["dep/v1/dep.proto"])
    own.name = "github.com/o/r/dep/v1/dep.proto"
    report = run_and_check(
        tmp_path, inputs(tmp_path, {"in.bin": [own, files["user.proto"]]})
    )
    assert [(s.path, s.kind) for s in report.stand_ins] == [
        ("dep/v1/dep.proto", "alias"),
        ("other/o.proto", "stub"),
    ]


def test_each_type_goes_to_the_import_its_package_matches(tmp_path):
    files = compiled(
        {
            "p/one/x.proto": "syntax = 'proto2'; package p.one; message T {}",
            "p/two/y.proto": "syntax = 'proto2'; package p.two; message U {}",
            "user.proto": importer(
                "message M { optional p.two.U u = 1; optional p.one.T t = 2; }",
                deps=("p/one/x.proto", "p/two/y.proto"),
            ),
        }
    )
    report = run_and_check(
        tmp_path, inputs(tmp_path, {"in.bin": [files["user.proto"]]})
    )
    assert {s.path: s.defines for s in report.stand_ins} == {
        "p/one/x.proto": ("p.one.T",),
        "p/two/y.proto": ("p.two.U",),
    }


def test_a_type_whose_import_would_close_a_cycle_is_not_stubbed(tmp_path):
    # a.proto uses b.T without importing b.proto, which imports a.proto: the
    # import cannot be restored, and a stub must not define b.T again.
    a = FileProto(name="a.proto", package="a", dependency=["gone.proto"])
    field = a.message_type.add(name="A").field.add(name="t", number=1, json_name="t")
    field.label, field.type, field.type_name = 1, field.TYPE_MESSAGE, ".b.T"
    b = FileProto(name="b.proto", package="b", dependency=["a.proto"])
    b.message_type.add(name="T")
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": [a, b]}))
    assert report.restored_imports == ()
    assert [s.defines for s in report.stand_ins] == [()]


def test_an_out_of_range_public_import_is_no_error(tmp_path):
    dep = FileProto(name="dep.proto", package="d", dependency=["x.proto"])
    dep.public_dependency.append(1)  # one past its imports
    user = FileProto(name="user.proto", package="u", dependency=["dep.proto"])
    report = run_and_check(tmp_path, inputs(tmp_path, {"in.bin": [dep, user]}))
    assert {s.path for s in report.stand_ins} == {"x.proto"}


def test_descriptor_proto_is_not_supplied_where_a_found_file_owns_its_path(tmp_path):
    odd = FileProto(name="google/protobuf/descriptor.proto/odd.proto", package="odd")
    odd.message_type.add(name="O")
    files = compiled(
        {"dep/v1/dep.proto": DEP, "user.proto": importer("option (dep.v1.level) = 3;")}
    )
    found = [odd, files["user.proto"]]
    report = extract(inputs(tmp_path, {"in.bin": found}), str(tmp_path / "out"))
    assert report.write_errors == ()
    assert "google/protobuf/descriptor.proto" not in {w.path for w in report.written}
