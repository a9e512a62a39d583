"""Java class files: classes compiled with javac from protoc's Java output,
Debian's protobuf-java jar (compared with the bytes Java itself gives), and
class files that lie."""

import base64
import pathlib
import struct
import subprocess
import sys

import pytest

import ravick
from ravick.finding import find_with_notes

# Debian's protoc 3.21, the release of Debian's protobuf-java and of the
# generated code's runtime (a protoc from PyPI may come first on PATH).
DEBIAN_PROTOC = "/usr/bin/protoc"
ROOT = pathlib.Path(__file__).resolve().parent.parent
WIDE = "".join(f"  VALUE_NUMBER_{k:05}_WITH_A_LONG_NAME = {k};\n" for k in range(1200))
PROTOS = {
    # Over 16,000 bytes: four parts in the class file.
    "wide.proto": 'syntax = "proto3";\npackage wide;\noption java_outer_classname = '
    '"WideProto";\nenum Wide {\n' + WIDE + "}\nmessage Holder { Wide w = 1; }\n",
    "small.proto": 'syntax = "proto3";\npackage small;\nimport "google/protobuf/any.proto";\n'
    'option java_outer_classname = "SmallProto";\n'
    'message M { string s = 1 [json_name = "x\\u00e9"]; google.protobuf.Any a = 2;'
    " bytes b = 3; map<string, M> m = 4; }\n",
}
DUMP = """
import java.util.Base64;
import com.google.protobuf.Descriptors.FileDescriptor;
public class Dump {
  public static void main(String[] names) throws Exception {
    for (String name : names) {
      FileDescriptor fd = (FileDescriptor) Class.forName(name)
          .getMethod("getDescriptor").invoke(null);
      System.out.println(Base64.getEncoder().encodeToString(fd.toProto().toByteArray()));
    }
  }
}
"""


@pytest.fixture(scope="module")
def runtime(generated_sources):
    return (generated_sources / "usr/share/java/protobuf.jar").resolve()


@pytest.fixture(scope="module")
def compiled(runtime, tmp_path_factory):
    """Classes javac compiled from protoc's Java output, and the bytes the
    Python output of the same protoc embeds."""
    top = tmp_path_factory.mktemp("java")
    src, out, classes = top / "src", top / "out", top / "classes"
    for d in (src, out, classes):
        d.mkdir()
    for name, text in PROTOS.items():
        (src / name).write_text(text)
    subprocess.run(
        [
            DEBIAN_PROTOC,
            f"-I{src}",
            "-I/usr/include",
            f"--java_out={out}",
            f"--python_out={out}",
            *PROTOS,
        ],
        check=True,
    )
    sources = [str(p) for p in out.rglob("*.java")]
    subprocess.run(
        ["javac", "-nowarn", "-d", str(classes), "-cp", str(runtime), *sources],
        check=True,
        capture_output=True,
    )
    sys.path.insert(0, str(out))
    try:
        import small_pb2
        import wide_pb2
    finally:
        sys.path.remove(str(out))
    expected = {
        m.DESCRIPTOR.name: m.DESCRIPTOR.serialized_pb for m in (small_pb2, wide_pb2)
    }
    return classes, expected


def test_compiled_classes(compiled):
    classes, expected = compiled
    found = {}
    for path in classes.rglob("*.class"):
        for f in ravick.find(path.read_bytes()):
            found[f.name] = f
    assert {name: f.data for name, f in found.items()} == expected
    assert all(f.layers == ("java-utf8",) for f in found.values())
    assert len(expected["wide.proto"]) > 3 * 16_000


def test_runtime_jar_matches_what_java_gives(runtime, tmp_path):
    found = [f for f in ravick.find(runtime.read_bytes()) if f.plausible]
    by_class = {
        f.layers[0].removeprefix("zip:").removesuffix(".class").replace("/", "."): f
        for f in found
    }
    assert len(by_class) >= 12
    assert all(f.layers[-1] == "java-utf8" for f in found)
    (tmp_path / "Dump.java").write_text(DUMP)
    subprocess.run(
        [
            "javac",
            "-d",
            str(tmp_path),
            "-cp",
            str(runtime),
            str(tmp_path / "Dump.java"),
        ],
        check=True,
    )
    names = sorted(by_class)
    out = subprocess.run(
        ["java", "-cp", f"{tmp_path}:{runtime}", "Dump", *names],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    for name, line in zip(names, out, strict=True):
        assert by_class[name].data == base64.b64decode(line), name


def class_file(*entries: bytes, count: int | None = None) -> bytes:
    pool = b"".join(entries)
    n = count if count is not None else len(entries) + 1
    return b"\xca\xfe\xba\xbe\x00\x00\x00\x34" + struct.pack(">H", n) + pool


UTF8 = b"\x01" + struct.pack(">H", 9) + b"\n\x07a.proto"


@pytest.mark.parametrize(
    "data",
    [
        class_file(UTF8)[:-3],  # the pool cut inside an entry
        class_file(UTF8, count=60000),  # a count past the end
        class_file(b"\x63\x00\x00"),  # an unknown tag
        class_file(b"\x01\xff\xff"),  # a length past the end
        class_file(b"\x01\x00\x02\xe2\x82", b"\x08\x00\x01"),  # bad modified UTF-8
        class_file(b"\x05" + b"\0" * 8, b"\x08\x00\x01"),  # a Long's two slots
        class_file(UTF8, b"\x08\x00\x01") + b"\xff" * 20,  # methods that lie
    ],
)
def test_class_files_that_lie(data):
    found = find_with_notes(data)
    assert all(f.layers in ((), ("java-utf8",)) for f in found.found)


def test_fat_mach_o_is_not_a_class_file():
    fat = b"\xca\xfe\xba\xbe\x00\x00\x00\x02" + b"\0" * 40
    assert find_with_notes(fat).notes == ()
