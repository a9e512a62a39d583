"""ravick extract run as a subprocess: exit statuses, the JSON document, the
summary, errors as messages."""

import json
import os
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

from test_package_find import embed

TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
OTHER_TIMESTAMP = descriptor_pb2.FileDescriptorProto(
    name="google/protobuf/timestamp.proto",
    package="google.protobuf",
    syntax="proto3",
    message_type=[descriptor_pb2.DescriptorProto(name="Timestamp")],
).SerializeToString()
NEEDS_TYPE = descriptor_pb2.FileDescriptorProto(
    name="app/uses.proto",
    package="app",
    syntax="proto3",
    dependency=["google/protobuf/type.proto", "vendor/missing.proto"],
    message_type=[descriptor_pb2.DescriptorProto(name="Uses")],
).SerializeToString()
# Text laid out like libprotoc's code templates that parse as a descriptor.
TEMPLATE_NAME = b"   PARSER = new com.google.proto"
TEMPLATE = bytes([0x0A, len(TEMPLATE_NAME)]) + TEMPLATE_NAME + b"\x62\x06proto3"


def ravick(*args: str) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(
        [sys.executable, "-m", "ravick", *args],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.bin").write_bytes(embed(TIMESTAMP, NEEDS_TYPE, TEMPLATE))
    (tmp_path / "in" / "b.bin").write_bytes(embed(OTHER_TIMESTAMP, TIMESTAMP))
    return tmp_path


@pytest.mark.parametrize(
    ("args", "status", "err"),
    [
        (["extract", "in"], 2, "the following arguments are required: -o/--out"),
        (["extract", "-o", "out"], 2, "the following arguments are required: PATH"),
        (["extract", "in", "-o", "out", "--max-size", "lots"], 2, "not a size"),
        (["extract", "in", "-o", "out", "-j", "0"], 2, "must be at least 1"),
        (["extract", "in", "-o", "in/a.bin"], 1, "in/a.bin: "),
        (["extract", "in", "nowhere", "-o", "out"], 1, "ravick: nowhere: No such file"),
        (
            ["extract", "in", "-o", "out", "--descriptor-set", "no/dir/set.pb"],
            1,
            "no/dir/set.pb: ",
        ),
        (["extract", "in", "-o", "out", "--descriptor-set", "in"], 1, "ravick: in: "),
    ],
)
def test_errors_are_messages_and_statuses(inputs, monkeypatch, args, status, err):
    monkeypatch.chdir(inputs)
    proc = ravick(*args)
    assert proc.returncode == status
    assert err in proc.stderr


def test_the_summary(inputs):
    proc = ravick(
        "extract", str(inputs / "in"), "-o", str(inputs / "out"), "--no-progress"
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("6 files in ")
    assert "(3 found, 3 from the protobuf package, 0 unchanged, 0 replaced)" in lines[0]
    assert "conflicts, written under _conflicts (1):" in lines
    assert "  app/uses.proto: vendor/missing.proto" in lines
    assert "1 implausible descriptors left out (--all writes them)" in lines
    again = ravick("extract", str(inputs / "in"), "-o", str(inputs / "out"))
    assert "6 unchanged" in again.stdout.splitlines()[0] and again.returncode == 0


def test_the_json_document(inputs):
    out, ds = inputs / "out", inputs / "set.pb"
    args = ["extract", str(inputs / "in"), "-o", str(out), "--json", "-j", "2"]
    proc = ravick(*args, "--descriptor-set", str(ds))
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert doc["exit_status"] == 0 and doc["out"] == str(out)
    assert (doc["inputs"], doc["descriptors"]) == (2, 5)
    written = {w["path"]: w for w in doc["written"]}
    kept = written["google/protobuf/timestamp.proto"]
    assert kept["source"] == "found" and kept["status"] == "written"
    assert kept["found_at"]["path"] == str(inputs / "in" / "a.bin")
    assert written["google/protobuf/type.proto"]["source"] == "protobuf"
    assert doc["from_protobuf"] == [
        "google/protobuf/any.proto",
        "google/protobuf/source_context.proto",
        "google/protobuf/type.proto",
    ]
    (conflict,) = doc["conflicts"]
    assert conflict["path"] in written and conflict["kept_by"] == conflict["name"]
    (dup,) = doc["duplicates"]
    assert dup["kept"]["path"].endswith("a.bin") and dup["merged"][0]["path"].endswith(
        "b.bin"
    )
    assert doc["missing_imports"] == [
        {
            "name": "app/uses.proto",
            "path": "app/uses.proto",
            "imports": ["vendor/missing.proto"],
            "similar": [],
        }
    ]
    assert (
        doc["cannot_compile"][0]["reason"]
        == "imports missing files: vendor/missing.proto"
    )
    assert [d["name"] for d in doc["skipped_implausible"]] == [
        "   PARSER = new com.google.proto"
    ]
    assert doc["descriptor_set"] == {"path": str(ds), "files": 5, "error": None}
    for key in (
        "rejected",
        "not_overwritten",
        "write_errors",
        "input_errors",
        "skipped_inputs",
        "input_notes",
    ):
        assert doc[key] == []
    assert os.path.getsize(ds) > len(TIMESTAMP)


def test_all_and_force(inputs):
    out = inputs / "out"
    base = ["extract", str(inputs / "in"), "-o", str(out), "--json"]
    first = json.loads(ravick(*base, "--all").stdout)
    assert first["skipped_implausible"] == [] and first["rejected"] == []
    assert (out / TEMPLATE_NAME.decode()).is_file()
    (out / "app" / "uses.proto").write_text("changed")
    kept = ravick(*base)
    assert kept.returncode == 1
    assert "app/uses.proto: exists, not overwritten" in kept.stderr
    assert json.loads(kept.stdout)["not_overwritten"] == ["app/uses.proto"]
    forced = ravick(*base, "--force")
    assert forced.returncode == 0
    assert (out / "app" / "uses.proto").read_text().startswith("syntax")
