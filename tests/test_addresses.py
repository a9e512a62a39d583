"""Virtual addresses of descriptors: in programs and libraries built by a real
compiler (checked against readelf and objdump), in a core dump of a live
process made by gcore, and never an error for broken headers."""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

import ravick
from ravick.addresses import address_map
from test_package_find import embed

TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb


def c_program(tmp_path: pathlib.Path, *, shared: bool = False) -> pathlib.Path:
    """A program (or library) whose .rodata holds two descriptors, built by cc."""
    arrays = []
    for k, data in enumerate([TIMESTAMP, DESCRIPTOR]):
        body = ",".join(str(b) for b in data)
        arrays.append(f"const unsigned char d{k}[{len(data)}] = {{{body}}};")
    main = "" if shared else "int main(void) { return d0[0] + d1[0] == 0; }"
    source = tmp_path / "p.c"
    source.write_text("\n".join(arrays) + "\n" + main + "\n")
    out = tmp_path / ("libp.so" if shared else "p")
    flags = ["-shared", "-fPIC"] if shared else []
    subprocess.run([_cc(), *flags, "-O1", "-o", out, source], check=True)
    return out


def _cc() -> str:
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        (pytest.fail if os.environ.get("CI") else pytest.skip)("no C compiler")
    return cc


def readelf_sections(path: pathlib.Path) -> list[tuple[str, int, int, int]]:
    """(name, address, offset, size) of each section, as readelf lists them."""
    text = subprocess.run(
        ["readelf", "-S", "-W", path], capture_output=True, text=True, check=True
    ).stdout
    rows = re.findall(
        r"\]\s+(\S+)\s+\S+\s+([0-9a-f]{8,})\s+([0-9a-f]{6,})\s+([0-9a-f]{6,})", text
    )
    return [(n, int(a, 16), int(o, 16), int(s, 16)) for n, a, o, s in rows]


@pytest.mark.parametrize("shared", [False, True])
def test_addresses_in_a_compiled_program_match_readelf(tmp_path, shared):
    path = c_program(tmp_path, shared=shared)
    (report,) = ravick.find_in_paths([str(path)], workers=1)
    assert {f.name for f in report.found} == {
        "google/protobuf/timestamp.proto",
        "google/protobuf/descriptor.proto",
    }
    for found in report.found:
        ((name, address, offset, _),) = [
            s for s in readelf_sections(path) if s[2] <= found.start < s[2] + s[3]
        ]
        assert (found.section, found.address) == (name, address + found.start - offset)
        assert found.section == ".rodata"


def test_addresses_in_a_debian_library_match_objdump():
    from test_extract import fetched

    (library,) = [p for p in fetched("fetch_binaries.sh") if "libprotobuf.so" in p]
    text = subprocess.run(
        ["objdump", "-h", "-w", library], capture_output=True, text=True, check=True
    ).stdout
    # Idx Name Size VMA LMA File-off ...
    row = r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)"
    sections = [
        (name, int(size, 16), int(vma, 16), int(offset, 16))
        for name, size, vma, offset in re.findall(row, text, re.M)
    ]
    (report,) = ravick.find_in_paths([library], workers=1)
    assert len(report.found) > 5
    for found in report.found:
        ((name, _, vma, offset),) = [
            s for s in sections if s[3] <= found.start < s[3] + s[1]
        ]
        assert (found.section, found.address) == (name, vma + found.start - offset)


@pytest.mark.parametrize("workers", [1, 2])
def test_without_addresses_the_finds_are_the_same_but_for_them(workers):
    """Extract never shows addresses and reads no headers: the finds over
    real libraries and Go programs (mapped, so scanned in a worker) are
    those of a scan with addresses, each without one."""
    from dataclasses import replace

    from test_extract import fetched

    paths = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")
    with_them = list(ravick.find_in_paths(paths, workers=workers))
    without = list(ravick.find_in_paths(paths, workers=workers, addresses=False))
    assert any(f.address is not None for r in with_them for f in r.found)
    assert [r.path for r in without] == [r.path for r in with_them]
    for a, b in zip(with_them, without, strict=True):
        unplaced = [replace(f, address=None, section=None) for f in a.found]
        assert list(b.found) == unplaced
        assert [f.data for f in b.found] == [f.data for f in a.found]


HOLDER = """
import ctypes, sys, time
data = bytes.fromhex(sys.argv[1])
print(ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value, flush=True)
time.sleep(120)
"""


def test_a_core_dump_gives_the_dumped_process_addresses(tmp_path):
    if shutil.which("gcore") is None:
        (pytest.fail if os.environ.get("CI") else pytest.skip)("no gcore (gdb)")
    # A descriptor built at run time, so only the process's heap holds it.
    fd = descriptor_pb2.FileDescriptorProto(name="core/held.proto", package="held")
    fd.message_type.add(name="OnlyInMemory")
    data = fd.SerializeToString()
    child = subprocess.Popen(
        [sys.executable, "-c", HOLDER, data.hex()], stdout=subprocess.PIPE, text=True
    )
    try:
        address = int(child.stdout.readline())
        core = tmp_path / "core"
        run = subprocess.run(
            ["gcore", "-o", core, str(child.pid)], capture_output=True, text=True
        )
        assert run.returncode == 0, run.stderr
    finally:
        child.kill()
        child.wait()
    (dump,) = tmp_path.glob("core*")
    (report,) = ravick.find_in_paths([str(dump)], workers=1)
    held = [f for f in report.found if f.name == "core/held.proto"]
    # gdb names the dumped mappings in sections of their own ("load").
    assert held and {f.address for f in held} == {address}
    assert all(f.section for f in held)


def _elf_header(**changes: int) -> bytes:
    fields = {
        "e_shoff": 0,
        "e_phoff": 64,
        "e_phnum": 1,
        "e_shnum": 0,
        "e_shentsize": 64,
        "e_phentsize": 56,
    }
    fields.update(changes)
    ident = b"\x7fELF\x02\x01\x01" + bytes(9)
    return ident + struct.pack(
        "<HHIQQQIHHHHHH",
        2,
        62,
        1,
        0,
        fields["e_phoff"],
        fields["e_shoff"],
        0,
        64,
        fields["e_phentsize"],
        fields["e_phnum"],
        fields["e_shentsize"],
        fields["e_shnum"],
        0,
    )


def _load(offset: int, vaddr: int, size: int) -> bytes:
    return struct.pack("<IIQQQQQQ", 1, 5, offset, vaddr, vaddr, size, size, 0x1000)


@pytest.mark.parametrize(
    "head",
    [
        _elf_header(e_phoff=1 << 40),  # program headers far past the end
        _elf_header(e_phnum=0xFFFF, e_phentsize=0),
        _elf_header(e_shoff=64, e_shnum=0xFFFF),  # section headers of garbage
        b"\x7fELF\x09" + bytes(200),  # no such class
        b"MZ" + bytes(58) + struct.pack("<I", 1 << 30),  # e_lfanew past the end
        b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" + b"\xff" * 300,
        b"\xcf\xfa\xed\xfe" + b"\xff" * 60,  # a Mach-O header claiming everything
        b"\xca\xfe\xba\xbe" + b"\xff" * 60,
    ],
)
def test_broken_headers_give_no_address_and_no_error(tmp_path, head):
    path = tmp_path / "broken"
    path.write_bytes(head + embed(TIMESTAMP))
    (report,) = ravick.find_in_paths([str(path)], workers=1)
    assert report.error is None and len(report.found) == 1
    assert (report.found[0].address, report.found[0].section) == (None, None)


def test_a_hand_made_core_maps_offsets_through_its_segments():
    at = 64 + 56
    data = _elf_header() + _load(at, 0x7F0000001000, 4096) + embed(TIMESTAMP)
    data = data[:4] + bytes([2]) + data[5:]
    data = data[:16] + struct.pack("<H", 4) + data[18:]  # ET_CORE
    mapping = address_map(data)
    (found,) = ravick.find(data)
    assert mapping.locate(found.start) == (
        0x7F0000001000 + found.start - at,
        "PT_LOAD[0]",
    )


def test_a_hand_made_mach_o_maps_offsets_through_its_sections(tmp_path):
    payload = embed(TIMESTAMP)
    header = struct.pack("<IiiIIII4x", 0xFEEDFACF, 0x01000007, 3, 2, 1, 72 + 80, 0)
    segment = struct.pack(
        "<II16sQQQQiiII", 0x19, 72 + 80, b"__TEXT", 0x100000000, 0x1000, 0, 0x1000,
        5, 5, 1, 0,
    )  # fmt: skip
    offset = 32 + 72 + 80
    section = struct.pack(
        "<16s16sQQIIIIIIII", b"__const", b"__TEXT", 0x100000000 + offset,
        len(payload), offset, 0, 0, 0, 0, 0, 0, 0,
    )  # fmt: skip
    path = tmp_path / "macho"
    path.write_bytes(header + segment + section + payload)
    (report,) = ravick.find_in_paths([str(path)], workers=1)
    (found,) = report.found
    assert found.section == "__TEXT,__const"
    assert found.address == 0x100000000 + found.start
