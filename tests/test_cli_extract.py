"""ravick extract run as a subprocess: exit statuses, the JSON document, the
summary, errors as messages, never a traceback."""

import gzip
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

from test_package_find import embed

ROOT = pathlib.Path(__file__).resolve().parent.parent
FileProto = descriptor_pb2.FileDescriptorProto
TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
OTHER_TIMESTAMP = FileProto(
    name="google/protobuf/timestamp.proto", package="google.protobuf", syntax="proto3"
).SerializeToString()
MISSING = "vendor/missing.proto"
NEEDS_TYPE = FileProto(
    name="app/uses.proto",
    package="app",
    syntax="proto3",
    dependency=["google/protobuf/type.proto", MISSING],
    message_type=[descriptor_pb2.DescriptorProto(name="Uses")],
).SerializeToString()
# Implausible: text laid out like libprotoc's code templates, and a name the
# scanner doubts (--all lets it through the scan, never into a path).
TEMPLATE_NAME = "   PARSER = new com.google.proto"
TEMPLATE = b"\x0a\x20" + TEMPLATE_NAME.encode() + b"\x62\x06proto3"
COLON = FileProto(name="c:d.proto", package="h", syntax="proto3").SerializeToString()
KEYS = set(
    "version out inputs descriptors written duplicates conflicts skipped_implausible"
    " rejected missing_imports stand_ins restored_imports cannot_compile"
    " from_protobuf not_overwritten"
    " write_errors input_errors skipped_inputs input_notes descriptor_set seconds"
    " exit_status".split()
)


def ravick(*args: str, umask: int = -1) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(
        [sys.executable, "-m", "ravick", "extract", *args],
        capture_output=True,
        text=True,
        timeout=120,
        umask=umask,
        # The tests change directory: keep the modules this run imports.
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    (tmp_path / "in").mkdir()
    a_bin = embed(TIMESTAMP, NEEDS_TYPE, TEMPLATE, COLON)
    (tmp_path / "in" / "a.bin").write_bytes(a_bin)
    (tmp_path / "in" / "b.bin").write_bytes(embed(OTHER_TIMESTAMP, TIMESTAMP))
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize(
    ("args", "status", "err"),
    [
        (["in"], 2, "the following arguments are required: -o/--out"),
        (["-o", "out"], 2, "the following arguments are required: PATH"),
        (["in", "-o", "out", "--max-size", "lots"], 2, "not a size"),
        (["in", "-o", "out", "-j", "0"], 2, "must be at least 1"),
        (["in", "-o", "in/a.bin"], 1, "ravick: in/a.bin: "),
        (["in", "nowhere", "-o", "out"], 1, "ravick: nowhere: No such file"),
        (["in", "-o", "out", "--descriptor-set", "no/s.pb"], 1, "ravick: no/s.pb: "),
        (["in", "-o", "out", "--descriptor-set", "in"], 1, "ravick: in: "),
    ],
)
def test_errors_are_messages_and_statuses(workdir, args, status, err):
    proc = ravick(*args)
    assert (proc.returncode, err in proc.stderr) == (status, True), proc.stderr


def test_the_summary_and_force(workdir):
    first = ravick("in", "-o", "out", "--no-progress", umask=0o077)
    assert first.returncode == 0, first.stderr
    modes = [os.stat(f"out/{p}").st_mode & 0o777 for p in ("", "app", "app/uses.proto")]
    assert modes == [0o755, 0o755, 0o644]
    lines = first.stdout.splitlines()
    assert lines[0].startswith(
        "7 files in out (3 found, 3 from the protobuf package, 1 stand-ins"
    )
    assert "conflicts, written under _conflicts (1):" in lines
    assert f"  {MISSING}: stub of 0 names, for app/uses.proto" in lines
    assert "2 implausible descriptors left out (--all writes them)" in lines
    bare = ravick("in", "-o", "bare", "--no-stubs").stdout.splitlines()
    assert bare[0].startswith("6 files in bare (3 found, 3 from the protobuf package")
    assert f"  app/uses.proto: {MISSING}" in bare
    (workdir / "out" / "app" / "uses.proto").write_text("changed")
    kept = ravick("in", "-o", "out")
    assert kept.returncode == 1 and "6 unchanged" in kept.stdout.splitlines()[0]
    assert "ravick: app/uses.proto: exists, not overwritten" in kept.stderr
    forced = ravick("in", "-o", "out", "--force")
    assert forced.returncode == 0 and "7 replaced" in forced.stdout, forced.stderr
    assert (workdir / "out" / "app" / "uses.proto").read_text().startswith("syntax")
    every = ravick("in", "-o", "out", "--all")
    assert every.returncode == 0 and (workdir / "out" / TEMPLATE_NAME).is_file()
    assert "rejected names (1):" in every.stdout.splitlines()
    assert "  c:d.proto: holds the character ':'" in every.stdout.splitlines()


def test_the_json_document(workdir):
    (workdir / "victim").write_bytes(b"keep")
    (workdir / "s.pb").symlink_to("victim")  # replaced, never written through
    proc = ravick("in", "-o", "out", "--json", "-j", "2", "--descriptor-set", "s.pb")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert set(doc) == KEYS
    assert (doc["exit_status"], doc["inputs"], doc["descriptors"]) == (0, 2, 6)
    written = {w["path"]: w for w in doc["written"]}
    kept = written["google/protobuf/timestamp.proto"]
    assert (kept["source"], kept["status"]) == ("found", "written")
    assert kept["found_at"] == {
        "path": "in/a.bin",
        "offset": 200,
        "inner_offset": None,
        "layers": [],
    }
    assert written["google/protobuf/type.proto"]["source"] == "protobuf"
    (conflict,) = doc["conflicts"]
    assert conflict["path"] in written and conflict["kept_by"] == conflict["name"]
    (dup,) = doc["duplicates"]
    assert (dup["kept"]["path"], dup["merged"][0]["path"]) == ("in/a.bin", "in/b.bin")
    assert doc["missing_imports"] == []
    (stub,) = doc["stand_ins"]
    assert (stub["path"], stub["kind"], stub["needed_by"]) == (
        MISSING,
        "stub",
        ["app/uses.proto"],
    )
    assert written[MISSING]["source"] == "stub"
    assert written["app/uses.proto"]["compiles"] == "with stubs"
    skipped = [d["name"] for d in doc["skipped_implausible"]]
    assert skipped == [TEMPLATE_NAME, "c:d.proto"]
    assert doc["descriptor_set"] == {
        "path": "s.pb",
        "files": 6,
        "error": None,
        "left_out": [],
    }
    assert not (workdir / "s.pb").is_symlink()
    assert (workdir / "victim").read_bytes() == b"keep"
    assert doc["rejected"] == doc["write_errors"] == doc["not_overwritten"] == []


def documented_keys() -> set[str]:
    """Every key the README's extract document names (not the values it
    shows, which follow a colon or a bar)."""
    text = (ROOT / "README.md").read_text()
    start = text.index("```\n{", text.index("## `ravick extract`"))
    block = text[start + 4 : text.index("```", start + 4)]
    return set(re.findall(r'(?<![:|] )"(\w+)"', block))


def keys_in(doc) -> set[str]:
    if isinstance(doc, dict):
        return set(doc).union(*(keys_in(v) for v in doc.values()))
    if isinstance(doc, list):
        return set().union(*(keys_in(v) for v in doc))
    return set()


def test_every_documented_key_is_written(workdir):
    (workdir / "in" / "c.bin").write_bytes(gzip.compress(b"\0" * (65 << 20)))
    # An import no stand-in may take the path of, and one lost import.
    up = FileProto(name="up.proto", package="up", dependency=["../up.proto"])
    lost = FileProto(name="lost.proto", package="lost")
    field = lost.message_type.add(name="L").field.add(name="u", number=1)
    field.type, field.type_name = field.TYPE_MESSAGE, ".app.Uses"
    records = [up.SerializeToString(), lost.SerializeToString()]
    (workdir / "in" / "d.bin").write_bytes(embed(*records))
    os.mkfifo(workdir / "in" / "fifo")
    (workdir / "out" / "google" / "protobuf" / "timestamp.proto").mkdir(parents=True)
    (workdir / "out" / "app").mkdir()
    (workdir / "out" / "app" / "uses.proto").write_text("// someone's own\n")
    proc = ravick(
        "in",
        "no-such-input",
        "-o",
        "out",
        "--all",
        "--json",
        "--descriptor-set",
        "s.pb",
    )
    doc = json.loads(proc.stdout)
    assert proc.returncode == 1
    assert keys_in(doc) == documented_keys()
    assert 0 <= doc["seconds"] < 600
    assert doc["not_overwritten"] == ["app/uses.proto"]
    assert [m["imports"] for m in doc["missing_imports"]] == [["../up.proto"]]
    (restored,) = doc["restored_imports"]
    assert (restored["path"], restored["imports"]) == ("lost.proto", ["app/uses.proto"])
    assert [e["path"] for e in doc["write_errors"]] == [
        "google/protobuf/timestamp.proto"
    ]
    assert [e["path"] for e in doc["input_errors"]] == ["no-such-input"]
    assert [e["path"] for e in doc["skipped_inputs"]] == ["in/fifo"]
    assert [e["path"] for e in doc["input_notes"]] == ["in/c.bin"]
    # A symbolic link is skipped quietly; everything else is said.
    (workdir / "in" / "link").symlink_to("a.bin")
    said = ravick("in", "-o", "out2").stderr
    assert "ravick: in/fifo: skipped: not a regular file (FIFO)" in said
    assert "in/link" not in said
    assert all(
        isinstance(e["reason"], str) and e["reason"]
        for key in ("write_errors", "input_errors", "skipped_inputs", "input_notes")
        for e in doc[key]
    )
