"""The build step that generates the embedded well-known-types graph."""

import os
import pathlib
import struct
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2

GRAPH_BUILD = pathlib.Path(__file__).resolve().parent.parent / "graph-build"
GENERATE = GRAPH_BUILD / "generate.py"
sys.path.insert(0, str(GRAPH_BUILD))

import archive_writer  # noqa: E402
import generate  # noqa: E402
import graph_model  # noqa: E402
import schema_inputs  # noqa: E402

FDP = descriptor_pb2.FieldDescriptorProto


def run_generator(out_dir, *extra, hash_seed="0"):
    out_dir.mkdir(parents=True, exist_ok=True)
    bin_path, cpp_path = out_dir / "wkt_graph.bin", out_dir / "wkt_graph.cpp"
    env = dict(os.environ, PYTHONHASHSEED=hash_seed)
    proc = subprocess.run(
        [sys.executable, str(GENERATE), "--bin", str(bin_path), "--cpp",
         str(cpp_path), *extra],
        capture_output=True, text=True, env=env, check=False)
    return proc, bin_path, cpp_path


@pytest.fixture(scope="module")
def graph_file(tmp_path_factory):
    proc, bin_path, _ = run_generator(tmp_path_factory.mktemp("graph"))
    assert proc.returncode == 0, proc.stderr
    return bin_path.read_bytes()


def read_vector(archive, pos):
    rel, count = struct.unpack_from("<iI", archive, pos)
    return pos + rel, count


def read_string(archive, pos):
    first = archive[pos]
    if 0x80 <= first <= 0xBF:
        (word,) = struct.unpack_from("<I", archive, pos)
        (rel,) = struct.unpack_from("<i", archive, pos + 4)
        length = (word & 0x3F) | ((word >> 8) << 6)
        return archive[pos + rel:pos + rel + length], pos + rel
    raw = archive[pos:pos + 8]
    return raw.split(b"\xff", 1)[0], None


class Archive:
    """Independent reader of the archive, enough to check the layout."""

    def __init__(self, file_bytes):
        (root_offset,) = struct.unpack_from("<Q", file_bytes, 16)
        self.data = file_bytes[root_offset:]
        self.root = len(self.data) - 56
        at = self.root
        self.vectors = {}
        for name, offset in (("nodes", 0), ("fields", 8), ("type_names", 16),
                             ("enum_ranges", 24), ("ext_ranges", 36),
                             ("ext_range_lists", 44)):
            self.vectors[name] = read_vector(self.data, at + offset)
        (self.key_count,) = struct.unpack_from("<I", self.data, at + 32)
        self.has_ext_ranges = self.data[at + 52]
        self.padding = self.data[at + 53:at + 56]

    def records(self, name, fmt):
        start, count = self.vectors[name]
        size = struct.calcsize(fmt)
        return [struct.unpack_from(fmt, self.data, start + i * size)
                for i in range(count)]

    def nodes(self):
        return self.records("nodes", "<IBBHHHII")

    def fields(self):
        return self.records("fields", "<IIBBBBI")

    def type_names(self):
        start, count = self.vectors["type_names"]
        rows = []
        for i in range(count):
            pos = start + 12 * i
            text, text_pos = read_string(self.data, pos)
            (key,) = struct.unpack_from("<I", self.data, pos + 8)
            rows.append((text.decode(), key, text_pos))
        return rows


def test_header_and_sizes(graph_file):
    assert len(graph_file) == 8160
    assert graph_file[:8] == b"VNSGRAPH"
    assert struct.unpack_from("<IIQ", graph_file, 8) == (7, 0, 24)
    archive = Archive(graph_file)
    assert len(archive.data) == 8136
    assert archive.root == 8080
    assert archive.key_count == 72
    assert archive.has_ext_ranges == 1
    assert archive.padding == b"\0\0\0"


def test_counts(graph_file):
    archive = Archive(graph_file)
    counts = {name: count for name, (_, count) in archive.vectors.items()}
    assert counts == {"nodes": 72, "fields": 243, "type_names": 61,
                      "enum_ranges": 8, "ext_ranges": 3, "ext_range_lists": 3}
    nodes = archive.nodes()
    messages = [n for n in nodes if n[1] == graph_model.KIND_MESSAGE]
    enums = [n for n in nodes if n[3] != 0xFFFF]
    assert (len(messages), len(enums), len(nodes) - len(messages) - len(enums)) \
        == (57, 8, 7)


def test_layout_order_and_alignment(graph_file):
    archive = Archive(graph_file)
    v = archive.vectors
    assert v["nodes"][0] == 0
    assert v["fields"][0] == 72 * 20
    names = archive.type_names()
    # Every name is longer than 8 bytes, so all texts lie out of line, back
    # to back in table order, between the fields and the type-name array.
    text_pos = v["fields"][0] + 243 * 16
    for text, _, pos in names:
        assert pos == text_pos
        text_pos += len(text.encode())
    assert v["type_names"][0] == text_pos + (-text_pos % 4)
    assert v["enum_ranges"][0] == v["type_names"][0] + 61 * 12
    assert v["ext_ranges"][0] == v["enum_ranges"][0] + 8 * 8
    assert v["ext_range_lists"][0] == v["ext_ranges"][0] + 3 * 8
    assert archive.root == v["ext_range_lists"][0] + 3 * 8
    assert all(start % 4 == 0 for start, _ in v.values())


def test_records_keep_the_graph_invariants(graph_file):
    archive = Archive(graph_file)
    nodes, fields = archive.nodes(), archive.fields()
    kind_of = {n[0]: n[1] for n in nodes}
    assert [n[0] for n in nodes] == list(range(72))
    for key, kind, utf8, enum_index, ext_list, pad, first, count in nodes:
        assert pad == 0
        assert utf8 == 0 or kind == graph_model.KIND_LEN
        assert enum_index == 0xFFFF or (kind == 0 and enum_index < 8)
        assert ext_list == 0xFFFF or ext_list < 3
        run = fields[first:first + count]
        assert first + count <= len(fields)
        assert [f[0] for f in run] == [key] * count
        numbers = [f[1] for f in run]
        assert numbers == sorted(set(numbers))
        if count == 0:
            assert first == len(fields)
    for _, _, cardinality, wire_type, packed, pad, target in fields:
        assert pad == 0 and cardinality in (0, 1, 2) and packed in (0, 1)
        assert wire_type == graph_model.WIRE_TYPE_OF_KIND[kind_of[target]]
    assert all(key in kind_of for _, key, _ in archive.type_names())
    lo_hi = archive.records("enum_ranges", "<ii")
    assert all(lo <= hi for lo, hi in lo_hi)
    names = [name for name, _, _ in archive.type_names()]
    assert len(set(names)) == len(names)
    assert archive.type_names()[0][:2] == ("google.protobuf.Any", 0)


def test_cpp_source_holds_the_same_bytes(tmp_path):
    proc, bin_path, cpp_path = run_generator(tmp_path)
    assert proc.returncode == 0, proc.stderr
    source = cpp_path.read_text()
    assert "alignas(16) const unsigned char FILE_BYTES[]" in source
    assert "const std::size_t FILE_SIZE = 8160;" in source
    assert "namespace ravick::wkt_graph_data" in source
    body = source.split("{", 2)[2].split("}", 1)[0]
    values = bytes(int(tok, 16) for tok in body.replace(",", " ").split())
    assert values == bin_path.read_bytes()


def test_two_runs_are_byte_identical(tmp_path):
    first = run_generator(tmp_path / "a", hash_seed="1")
    second = run_generator(tmp_path / "b", hash_seed="2")
    assert first[0].returncode == 0 and second[0].returncode == 0
    assert first[1].read_bytes() == second[1].read_bytes()
    assert first[2].read_text() == second[2].read_text()


# --- wrong schema sets ------------------------------------------------------


def package_set():
    fds = descriptor_pb2.FileDescriptorSet()
    fds.file.extend(schema_inputs.load_package_files())
    return fds


def find_message(fds, file_suffix, name):
    file_proto = next(f for f in fds.file if f.name.endswith(file_suffix))
    return next(m for m in file_proto.message_type if m.name == name)


def add_field(fds):
    message = find_message(fds, "descriptor.proto", "FileDescriptorProto")
    message.field.add(name="extra", number=99, type=FDP.TYPE_STRING,
                      label=FDP.LABEL_OPTIONAL)


def drop_wrappers(fds):
    kept = [f for f in fds.file if not f.name.endswith("wrappers.proto")]
    del fds.file[:]
    fds.file.extend(kept)


def widen_extension_range(fds):
    message = find_message(fds, "descriptor.proto", "FeatureSet")
    message.extension_range.add(start=20000, end=20001)


def add_group(fds):
    message = find_message(fds, "descriptor.proto", "FileDescriptorProto")
    message.field.add(name="g", number=99, type=FDP.TYPE_GROUP,
                      label=FDP.LABEL_OPTIONAL, type_name=".google.protobuf.Empty")


def dangling_reference(fds):
    message = find_message(fds, "descriptor.proto", "FileDescriptorProto")
    field = next(f for f in message.field if f.name == "message_type")
    field.type_name = ".google.protobuf.Missing"


def missing_import(fds):
    kept = [f for f in fds.file if not f.name.endswith("source_context.proto")]
    del fds.file[:]
    fds.file.extend(kept)


@pytest.mark.parametrize("damage, message", [
    (add_field, "fields 244 (expected 243)"),
    (drop_wrappers, "type names 52 (expected 61)"),
    (widen_extension_range, "extension ranges 4 (expected 3)"),
    (add_group, "TYPE_GROUP is not supported"),
    (dangling_reference, "google.protobuf.Missing, which is not an input"),
    (missing_import, "source_context.proto, which is not an input"),
])
def test_wrong_schema_set_fails_loudly(tmp_path, damage, message):
    fds = package_set()
    damage(fds)
    set_path = tmp_path / "schemas.pb"
    set_path.write_bytes(fds.SerializeToString())
    out = tmp_path / "out"
    out.mkdir()
    # A stale graph from an earlier run must not survive a failed one.
    (out / "wkt_graph.bin").write_bytes(b"stale")
    proc, bin_path, cpp_path = run_generator(out, "--descriptor-set",
                                             str(set_path))
    assert proc.returncode == 1
    assert "cannot build the well-known-types graph" in proc.stderr
    assert message in proc.stderr
    assert not bin_path.exists() and not cpp_path.exists()


def test_unchanged_descriptor_set_gives_the_package_graph(tmp_path,
                                                          graph_file):
    set_path = tmp_path / "schemas.pb"
    set_path.write_bytes(package_set().SerializeToString())
    proc, bin_path, _ = run_generator(tmp_path / "out", "--descriptor-set",
                                      str(set_path))
    assert proc.returncode == 0, proc.stderr
    assert bin_path.read_bytes() == graph_file


def test_other_protobuf_version_is_refused(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(generate.google.protobuf, "__version__", "7.0.0")
    code = generate.main(["--bin", str(tmp_path / "g.bin"),
                          "--cpp", str(tmp_path / "g.cpp")])
    assert code == 1
    assert "protobuf 7.34.1 is required for the schemas, found 7.0.0" in \
        capsys.readouterr().err
    assert not (tmp_path / "g.bin").exists()


# --- rules on small synthetic schemas ---------------------------------------


def synthetic_graph(messages, syntax="proto3"):
    """A graph of one file in package google.protobuf with an Any and the
    given messages: {name: [(number, type, label, type_name), ...]}."""
    file_proto = descriptor_pb2.FileDescriptorProto(
        name="google/protobuf/t.proto", package="google.protobuf",
        syntax=syntax)
    any_type = file_proto.message_type.add(name="Any")
    any_type.field.add(name="type_url", number=1, type=FDP.TYPE_STRING,
                       label=FDP.LABEL_OPTIONAL)
    any_type.field.add(name="value", number=2, type=FDP.TYPE_BYTES,
                       label=FDP.LABEL_OPTIONAL)
    for name, fields in messages.items():
        message = file_proto.message_type.add(name=name)
        for number, ftype, label, type_name in fields:
            message.field.add(name=f"f{number}", number=number, type=ftype,
                              label=label, type_name=type_name)
    schema = schema_inputs.collect_schema([file_proto])
    return graph_model.build_graph(schema)


def keys_by_name(graph):
    return {name.rsplit(".", 1)[1]: key for name, key in graph.type_names}


def test_recursive_types_of_equal_structure_share_a_node():
    opt = FDP.LABEL_OPTIONAL
    graph = synthetic_graph({
        "A": [(1, FDP.TYPE_MESSAGE, opt, ".google.protobuf.A")],
        "B": [(1, FDP.TYPE_MESSAGE, opt, ".google.protobuf.B")],
        "C": [(1, FDP.TYPE_INT32, opt, "")],
        "D": [(1, FDP.TYPE_UINT32, opt, "")],
        "Z": [(1, FDP.TYPE_STRING, opt, ""), (2, FDP.TYPE_BYTES, opt, "")],
    })
    keys = keys_by_name(graph)
    assert keys["A"] == keys["B"]
    assert keys["C"] != keys["D"]
    # Any keeps key 0 to itself even when another type has its shape; the
    # unnamed fieldless node follows; named nodes by smallest name after it.
    assert keys["Any"] == 0 and keys["Z"] != 0
    assert graph.nodes[1].field_count == 0
    assert (keys["A"], keys["C"], keys["D"], keys["Z"]) == (2, 3, 4, 5)


def test_closed_enum_range_and_open_enum():
    file_proto = descriptor_pb2.FileDescriptorProto(
        name="google/protobuf/t.proto", package="google.protobuf",
        syntax="proto2")
    file_proto.message_type.add(name="Any")
    enum = file_proto.enum_type.add(name="E")
    for number in (3, -2, 7):
        enum.value.add(name=f"V{number + 2}", number=number)
    holder = file_proto.message_type.add(name="H")
    holder.field.add(name="e", number=1, type=FDP.TYPE_ENUM,
                     label=FDP.LABEL_REPEATED, type_name=".google.protobuf.E")
    holder.field.add(name="b", number=2, type=FDP.TYPE_BOOL,
                     label=FDP.LABEL_OPTIONAL)
    graph = graph_model.build_graph(schema_inputs.collect_schema([file_proto]))
    assert graph.enum_ranges == ((-2, 7), (0, 1))
    file_proto.syntax = "proto3"
    graph = graph_model.build_graph(schema_inputs.collect_schema([file_proto]))
    assert graph.enum_ranges == ((0, 1),)
    edge = next(f for f in graph.fields if f.number == 1)
    assert graph.nodes[edge.target].kind == graph_model.KIND_INT32


@pytest.mark.parametrize("declared, merged", [
    ([(1000, 9995), (9995, 10000), (10000, 10001)], ((1000, 10000),)),
    ([(1000, 536870912)], ((1000, 536870911),)),
    ([(5, 6), (8, 9)], ((5, 5), (8, 8))),
    ([(8, 10), (1, 8)], ((1, 9),)),
    ([], ()),
])
def test_extension_ranges_merge(declared, merged):
    message = descriptor_pb2.DescriptorProto(name="M")
    for start, end in declared:
        message.extension_range.add(start=start, end=end)
    info = schema_inputs.MessageInfo("M", message, "proto2")
    assert graph_model.extension_list(info) == merged


@pytest.mark.parametrize("text, encoded", [
    (b"", b"\xff" * 8),
    (b"abc", b"abc" + b"\xff" * 5),
    (b"12345678", b"12345678"),
])
def test_inline_strings(text, encoded):
    assert archive_writer.is_inline(text)
    assert archive_writer.inline_string(text) == encoded


@pytest.mark.parametrize("length, head", [
    (9, b"\x89\x00\x00\x00"),
    (63, b"\xbf\x00\x00\x00"),
    (64, b"\x80\x01\x00\x00"),
    (65, b"\x81\x01\x00\x00"),
    (0x12345, b"\x85\x8d\x04\x00"),
    ((1 << 30) - 1, b"\xbf\xff\xff\xff"),
])
def test_out_of_line_length_word(length, head):
    word = archive_writer.length_word(length)
    assert struct.pack("<I", word) == head
    assert (word & 0x3F) | ((word >> 8) << 6) == length


def test_out_of_line_string_points_back_from_its_first_byte():
    encoded = archive_writer.out_of_line_string(b"x" * 20, 100, 40)
    assert encoded == b"\x94\x00\x00\x00" + struct.pack("<i", -60)


def test_too_long_text_is_refused():
    with pytest.raises(schema_inputs.SchemaError):
        archive_writer.length_word(1 << 30)


def test_short_text_with_marker_byte_goes_out_of_line():
    assert archive_writer.is_inline("é".encode())  # 0xC3 0xA9
    assert not archive_writer.is_inline(b"\x80")
    assert not archive_writer.is_inline(b"123456789")
