"""The ravick command run as a subprocess: output formats, exit statuses,
errors, directories, special files, worker counts, real binaries."""

import base64
import contextlib
import dataclasses
import gzip
import json
import os
import pathlib
import pty
import subprocess
import sys
import zlib

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

from ravick.inputs import NOT_FOLLOWED, FileReport
from test_addresses import c_program
from test_package_find import embed

DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb
TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
ROOT = pathlib.Path(__file__).resolve().parent.parent


PEAK = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:])
_, status, usage = os.wait4(child.pid, 0)
child.returncode = os.waitstatus_to_exitcode(status)
print(f"peak-kb {usage.ru_maxrss}", file=sys.stderr)
sys.exit(child.returncode)
"""


def ravick_with_peak(*args: str) -> tuple[subprocess.CompletedProcess[str], int]:
    """Runs the command; its exit, output and its own peak resident memory
    in KiB (not the largest of every child this test process has had)."""
    proc = ravick_run(
        [sys.executable, "-c", PEAK, sys.executable, "-m", "ravick", *args]
    )
    *rest, last = proc.stderr.splitlines()
    proc.stderr = "\n".join(rest) + ("\n" if rest else "")
    return proc, int(last.removeprefix("peak-kb "))


def ravick_run(command: list[str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


def ravick(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(
        [sys.executable, "-m", "ravick", *args],
        input=stdin.decode("latin-1"),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


def scan_json(*args: str) -> dict:
    proc = ravick("scan", "--json", *args)
    doc = json.loads(proc.stdout)
    doc["status"] = proc.returncode
    doc["summary"].pop("seconds")
    return doc


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "d" / "e").mkdir(parents=True)
    (tmp_path / "d" / "plain.bin").write_bytes(embed(TIMESTAMP, DESCRIPTOR))
    (tmp_path / "d" / "e" / "go.bin").write_bytes(embed(gzip.compress(DESCRIPTOR)))
    os.mkfifo(tmp_path / "d" / "fifo")
    os.symlink("..", tmp_path / "d" / "e" / "up")
    return tmp_path


@pytest.mark.parametrize(
    ("args", "status", "out"),
    [
        (["--help"], 0, "usage: ravick"),
        (["scan", "--help"], 0, "--jsonl"),
        (["--version"], 0, "ravick "),
        ([], 2, ""),
        (["scan"], 2, ""),
        (["frobnicate"], 2, ""),
        (["scan", "--bogus", "x"], 2, ""),
        (["scan", "-j", "0", "x"], 2, ""),
        (["scan", "--max-size", "lots", "x"], 2, ""),
        (["scan", "--json", "--jsonl", "x"], 2, ""),
    ],
)
def test_usage(args, status, out):
    proc = ravick(*args)
    assert proc.returncode == status
    assert out in proc.stdout
    if status == 2:
        assert "ravick: error:" in proc.stderr


def test_json_document(inputs):
    doc = scan_json(str(inputs / "d"))
    assert doc["status"] == 0 and doc["version"]
    files = {os.path.relpath(f["path"], inputs): f for f in doc["files"]}
    assert list(files) == ["d/e/go.bin", "d/plain.bin"]
    (gz,) = files["d/e/go.bin"]["descriptors"]
    assert gz["compression"] == "gzip" and gz["inner_start"] == 0
    assert gz["inner_end"] == gz["size"] == len(DESCRIPTOR)
    plain = files["d/plain.bin"]["descriptors"]
    assert [d["name"] for d in plain] == [
        "google/protobuf/timestamp.proto",
        "google/protobuf/descriptor.proto",
    ]
    assert plain[0]["compression"] is None and plain[0]["inner_start"] is None
    assert set(plain[0]) >= {
        "start",
        "end",
        "size",
        "name",
        "package",
        "syntax",
        "edition",
        "sha256",
        "plausible",
        "doubt",
        "messages",
        "enums",
        "services",
        "extensions",
        "dependencies",
    }
    assert plain[0]["dependencies"] == [] and plain[0]["messages"] == 1
    assert doc["summary"] == {
        "files": 2,
        "bytes": sum(f["size"] for f in doc["files"]),
        "descriptors": 3,
        "distinct": 2,
        "implausible": 0,
        "compressed": 1,
        "errors": 0,
        "skipped": 2,
    }
    assert {os.path.basename(s["path"]) for s in doc["skipped"]} == {"fifo", "up"}


def test_errors_are_reported_and_the_run_goes_on(inputs):
    missing, fifo = str(inputs / "missing"), str(inputs / "d" / "fifo")
    proc = ravick("scan", missing, fifo, "/dev/zero", str(inputs / "d" / "plain.bin"))
    assert proc.returncode == 1
    assert f"ravick: {missing}: No such file or directory" in proc.stderr
    assert f"ravick: {fifo}: not a regular file (FIFO)" in proc.stderr
    assert "ravick: /dev/zero: not a regular file (character device)" in proc.stderr
    assert "google/protobuf/descriptor.proto" in proc.stdout
    doc = scan_json(missing, str(inputs / "d" / "plain.bin"))
    assert doc["status"] == 1 and doc["summary"]["errors"] == 1
    assert {f["path"]: f for f in doc["files"]}[missing] == {
        "path": missing,
        "size": None,
        "error": "No such file or directory",
        "notes": [],
        "descriptors": [],
    }


def test_worker_counts_give_identical_output(inputs):
    for k in range(10):
        (inputs / "d" / f"n{k}.bin").write_bytes(embed(*[TIMESTAMP] * k))
    docs = [scan_json("-j", str(j), str(inputs / "d")) for j in (1, 2, 3)]
    assert docs[0] == docs[1] == docs[2]
    lines = [
        ravick("scan", "--jsonl", "-j", str(j), str(inputs / "d")).stdout
        for j in (1, 3)
    ]
    assert lines[0] == lines[1]
    rows = [json.loads(x) for x in lines[0].splitlines()]
    assert len(rows) == docs[0]["summary"]["descriptors"]
    assert [r["path"] for r in rows] == sorted(r["path"] for r in rows)


def test_standard_input(inputs):
    data = (inputs / "d" / "plain.bin").read_bytes()
    proc = subprocess.run(
        [sys.executable, "-m", "ravick", "scan", "--jsonl", "-"],
        input=data,
        capture_output=True,
        timeout=60,
    )
    assert proc.returncode == 0
    rows = [json.loads(x) for x in proc.stdout.splitlines()]
    assert [(r["path"], r["size"]) for r in rows] == [
        ("-", len(TIMESTAMP)),
        ("-", len(DESCRIPTOR)),
    ]


def test_hostile_names_do_not_reach_the_terminal(tmp_path):
    fd = descriptor_pb2.FileDescriptorProto(
        name="x\x1b[2J\x07.proto", package="p", syntax="proto3"
    )
    (tmp_path / "evil").write_bytes(embed(fd.SerializeToString()))
    proc = ravick("scan", str(tmp_path / "evil"))
    assert proc.returncode == 0
    assert "\x1b" not in proc.stdout and "\x07" not in proc.stdout


def test_real_binaries_list_templates_apart():
    libs = subprocess.run(
        ["bash", str(ROOT / "scripts" / "fetch_binaries.sh")],
        capture_output=True,
        text=True,
        timeout=900,
    ).stdout.split()
    protoc = [p for p in libs if "libprotoc.so" in p]
    if not protoc:
        pytest.skip("the Debian libraries could not be fetched")
    proc = ravick("scan", *libs)
    assert proc.returncode == 0
    listing, _, doubtful = proc.stdout.partition(
        "implausible, not compiler output (3):"
    )
    assert "google/protobuf/compiler/plugin.proto" in listing
    assert "deprecation$private" not in listing
    assert sum("deprecation$private" in x for x in doubtful.splitlines()) == 2
    assert "354 descriptors (352 distinct, 3 implausible, 0 compressed)" in proc.stdout


def test_library_pool_from_an_unguarded_script(inputs):
    # Worker processes must not run the caller's main module again.
    script = (
        "import ravick\n"
        f"reports = list(ravick.find_in_paths([{str(inputs / 'd')!r}], workers=2))\n"
        "print(sum(len(r.found) for r in reports))\n"
    )
    proc = subprocess.run(
        [sys.executable, "-"], input=script, capture_output=True, text=True, timeout=60
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "3\n", "")


def zero_bomb(inflated: int) -> bytes:
    """A gzip stream of a descriptor followed by ``inflated`` zero bytes."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    parts = [packer.compress(TIMESTAMP)]
    block = bytes(1 << 20)
    parts += [packer.compress(block) for _ in range(inflated >> 20)]
    return b"".join([*parts, packer.flush()])


def test_gzip_bomb_is_capped(tmp_path):
    (tmp_path / "bomb").write_bytes(embed(zero_bomb(512 << 20)))
    proc, peak_kb = ravick_with_peak("scan", "--jsonl", str(tmp_path / "bomb"))
    assert proc.returncode == 0 and "Traceback" not in proc.stderr
    (row,) = [json.loads(x) for x in proc.stdout.splitlines()]
    assert row["name"] == "google/protobuf/timestamp.proto" and row["truncated"]
    assert "cut after 67108864 inflated bytes" in proc.stderr
    # 64 MiB inflated at most, never the 512 MiB of the stream.
    assert peak_kb < 400 << 10


@pytest.mark.parametrize(("flag", "shown"), [([], True), (["--no-progress"], False)])
def test_progress_only_on_a_terminal(tmp_path, flag, shown):
    for k in range(210):
        (tmp_path / f"f{k:03}").write_bytes(embed(TIMESTAMP))
    leader, follower = pty.openpty()
    with subprocess.Popen(
        [sys.executable, "-m", "ravick", "scan", *flag, "--json", str(tmp_path)],
        stdout=subprocess.PIPE,
        stderr=follower,
    ) as proc:
        os.close(follower)
        out, _ = proc.communicate(timeout=60)
        seen = b""
        with contextlib.suppress(OSError):
            while chunk := os.read(leader, 65536):
                seen += chunk
    os.close(leader)
    assert json.loads(out)["summary"]["descriptors"] == 210
    assert (b"descriptors" in seen) == shown
    assert b"Traceback" not in seen


@pytest.mark.parametrize(
    "args", [["scan", "--json"], ["scan", "--jsonl"], ["extract", "--json", "-o"]]
)
def test_names_that_are_not_utf8_give_valid_utf8_json(tmp_path, args):
    raw = os.fsencode(tmp_path) + b"/in/na\xefme\xff.bin"
    os.mkdir(tmp_path / "in")
    with open(raw, "wb") as f:
        f.write(embed(TIMESTAMP))
    out = [str(tmp_path / "out")] if args[-1] == "-o" else []
    proc = subprocess.run(
        [sys.executable, "-m", "ravick", *args, *out, str(tmp_path / "in")],
        capture_output=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout.decode("utf-8", errors="strict")
    docs = [json.loads(line) for line in text.splitlines()]
    if args[0] == "extract":
        entries = [w["found_at"] for w in docs[0]["written"]]
    else:
        entries = docs if args[1] == "--jsonl" else docs[0]["files"]
    (entry,) = entries
    assert entry["path"].endswith("/in/na\ufffdme\ufffd.bin")
    assert base64.b64decode(entry["path_b64"]) == raw


def test_names_that_are_not_utf8_are_shown_as_bytes(tmp_path):
    with open(os.fsencode(tmp_path) + b"/na\xefme", "wb") as f:
        f.write(embed(TIMESTAMP))
    proc = ravick("scan", str(tmp_path))
    assert f"{tmp_path}/na\\xefme\t" in proc.stdout


def documented_scan_document() -> dict:
    """The example document of the README's JSON section, comments dropped."""
    text = (ROOT / "README.md").read_text()
    start = text.index("```\n{", text.index("`ravick scan --json` writes one document"))
    block = text[start + 4 : text.index("```", start + 4)]
    return json.loads("\n".join(line.split("  #")[0] for line in block.splitlines()))


# What a key that the example shows as null holds when it is not.
WHEN_SET = {"size": int, "error": str, "edition": str, "compression": str,
            "inner_start": int, "inner_end": int, "doubt": str, "address": int,
            "section": str}  # fmt: skip


def values(doc, path=""):
    """Every (key path, value) in ``doc``; list items share their list's path."""
    if isinstance(doc, dict):
        for key, value in doc.items():
            yield f"{path}.{key}", value
            yield from values(value, f"{path}.{key}")
    elif isinstance(doc, list):
        for item in doc:
            yield from values(item, f"{path}[]")


def test_json_follows_the_documented_schema(tmp_path):
    editions = descriptor_pb2.FileDescriptorProto(
        name="ed/x.proto", package="ed", syntax="editions", edition=1000
    )
    editions.message_type.add(name="M")
    implausible = descriptor_pb2.FileDescriptorProto(name="a/b.proto", package="a..b")
    implausible.message_type.add(name="M")
    bundle = b'var A=g("' + base64.b64encode(TIMESTAMP).rstrip(b"=") + b'",[]);'
    bomb = gzip.compress(TIMESTAMP + b"\0" * (65 << 20))
    for name, data in {
        "plain.bin": embed(TIMESTAMP, DESCRIPTOR, editions.SerializeToString()),
        "go.bin": embed(gzip.compress(DESCRIPTOR), implausible.SerializeToString()),
        "bundle.js": bundle,
        "bomb.gz": bomb,
    }.items():
        (tmp_path / name).write_bytes(data)
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "elf").mkdir()
    c_program(tmp_path / "elf")  # descriptors with addresses
    doc = scan_json(str(tmp_path), str(tmp_path / "missing"))
    doc.pop("status")
    documented = documented_scan_document()
    documented["summary"].pop("seconds")
    # The same keys everywhere: none undocumented, none missing.
    assert {p for p, _ in values(doc)} == {p for p, _ in values(documented)}
    kinds = {p: type(v) for p, v in values(documented) if v is not None}
    seen_set = set()
    for path, value in values(doc):
        key = path.rsplit(".", 1)[1]
        if value is None:
            assert path not in kinds or key in WHEN_SET, path
            continue
        expected = kinds.get(path) or WHEN_SET[key]
        assert type(value) is expected, (path, value)
        seen_set.add(key)
    # Every key that may be null was seen holding a value too.
    assert set(WHEN_SET) <= seen_set
    assert any(
        d["stripped"] == ["dependency"] for f in doc["files"] for d in f["descriptors"]
    )
    assert any(d["truncated"] for f in doc["files"] for d in f["descriptors"])
    assert all(isinstance(s["reason"], str) and s["reason"] for s in doc["skipped"])


def _found(**changes):
    from ravick.finding import find

    (found,) = find(TIMESTAMP)
    return dataclasses.replace(found, **changes)


@pytest.mark.parametrize(
    ("path", "found", "line"),
    [
        (
            "f",
            _found(),
            "f\t0x0\t255\tgoogle/protobuf/timestamp.proto\tgoogle.protobuf\tproto3\t",
        ),
        ("f", _found(syntax="editions", edition="2023"), "\tedition 2023\t"),
        # Members whose names hold a colon, shown whole.
        (
            "app.jar",
            _found(layers=("zip:lib/a:b.jar", "zip:x/Y:1.class"), inner_start=0),
            "app.jar!lib/a:b.jar!x/Y:1.class\t0x0 (zip+zip+0x0)\t",
        ),
        # Bytes that were not UTF-8 at both ends of their range, controls.
        ("a\udc80b\udcff", _found(), "a\\x80b\\xff\t"),
        ("a\nb\tc\x1b", _found(), "a\\nb\\tc\\x1b\t"),
    ],
)
def test_listing_lines(path, found, line):
    from ravick.reporting import listing_line

    assert line in listing_line(path, found)


@pytest.mark.parametrize(
    ("report", "line"),
    [
        ({"error": "gone"}, "ravick: p: gone"),
        ({"skipped": "not a regular file (FIFO)"}, "ravick: p: skipped: not a "),
        ({"skipped": NOT_FOLLOWED}, None),  # symbolic links: by design, quietly
        ({}, None),
    ],
)
def test_problem_lines(report, line):
    from ravick.reporting import problem_line

    got = problem_line(FileReport("p", None, **report))
    assert got == line if line is None else got.startswith(line)


def test_an_internal_error_is_a_message_and_status_3(monkeypatch, capsys):
    from ravick import cli, commands

    def broken(args):
        raise RuntimeError("a bug of ours")

    monkeypatch.setattr(commands, "run_scan", broken)
    assert cli.main(["scan", "x"]) == 3
    assert (
        "ravick: internal error: RuntimeError('a bug of ours')"
        in capsys.readouterr().err
    )


@pytest.mark.parametrize("field", ["name", "package", "dependency"])
def test_descriptor_texts_beyond_ascii_stay_as_they_are_in_json(tmp_path, field):
    # The scanner takes strings that are UTF-8 only: such text needs no _b64.
    value = {
        "name": "caf\u00e9.proto",
        "package": "caf\u00e9",
        "dependency": "\u00e9.proto",
    }
    fd = descriptor_pb2.FileDescriptorProto(name="x/a.proto", package="p")
    fd.message_type.add(name="M")
    if field == "dependency":
        fd.dependency.append(value[field])
    else:
        setattr(fd, field, value[field])
    (tmp_path / "in.bin").write_bytes(embed(fd.SerializeToString()))
    for args in (["--jsonl"], ["--json"]):
        proc = ravick("scan", *args, str(tmp_path / "in.bin"))
        doc = json.loads(proc.stdout)
        row = doc["files"][0]["descriptors"][0] if args == ["--json"] else doc
        got = row["dependencies"][0] if field == "dependency" else row[field]
        assert got == value[field] and f"{field}_b64" not in row
