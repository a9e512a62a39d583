"""Virtual addresses of file offsets in ELF (executables, libraries, core
dumps), PE and Mach-O files, so that a descriptor can be found again in a
disassembler or a debugger.

The headers come from untrusted bytes: a file whose headers do not parse
simply has no addresses. Sections are preferred (``.rodata``,
``__TEXT,__const``); an offset that no section holds falls back to the
program segments (a core dump has only those, ``PT_LOAD[3]``), whose
addresses are the dumped process's.
"""

from __future__ import annotations

import bisect
import io
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import IO, Any, cast

from ravick.layers import ViewFile
from ravick.reading import Contents

MAX_RANGES = 1 << 20
"""Sections and segments read at most, of a header that claims more."""
_HEADER_READ = 4096

_ELF = b"\x7fELF"
_PE = b"MZ"
_MACHO = (
    b"\xfe\xed\xfa\xce",
    b"\xce\xfa\xed\xfe",
    b"\xfe\xed\xfa\xcf",
    b"\xcf\xfa\xed\xfe",
    b"\xca\xfe\xba\xbe",
)


@dataclass(frozen=True, slots=True)
class Mapped:
    """A range of file offsets loaded at ``address``, and what holds it."""

    start: int
    end: int
    address: int
    name: str


class AddressMap:
    """The mapped ranges of one file: sections first, then segments."""

    def __init__(self, sections: list[Mapped], segments: list[Mapped]) -> None:
        self._tables = [_table(sections), _table(segments)]

    def __bool__(self) -> bool:
        return any(starts for starts, _ in self._tables)

    def locate(self, offset: int) -> tuple[int, str] | None:
        """The address of ``offset`` and the section or segment holding it."""
        for starts, ranges in self._tables:
            k = bisect.bisect_right(starts, offset) - 1
            if k >= 0 and offset < ranges[k].end:
                hit = ranges[k]
                return hit.address + offset - hit.start, hit.name
        return None


def _table(ranges: list[Mapped]) -> tuple[list[int], list[Mapped]]:
    # Overlapping ranges (broken or odd headers) keep the first of each start.
    kept: list[Mapped] = []
    for r in sorted(ranges, key=lambda r: (r.start, -r.end)):
        if not kept or r.start >= kept[-1].end:
            kept.append(r)
    return [r.start for r in kept], kept


class Locator:
    """:meth:`AddressMap.locate` of one file's map, read on the first offset
    asked: most files hold no descriptor, and their headers are never read."""

    def __init__(self, data: Contents, path: str | None = None) -> None:
        self._data: Contents | None = data
        self._path = path
        self._map: AddressMap | None = None

    def _mapping(self) -> AddressMap | None:
        if self._data is not None:
            found = address_map(self._data, self._path)
            self._map = found if found else None
            self._data = None  # read once; the bytes are not kept
        return self._map

    def __call__(self, offset: int) -> tuple[int, str] | None:
        mapping = self._mapping()
        return None if mapping is None else mapping.locate(offset)

    def maps_nothing(self) -> bool:
        """True when the file's headers map no offset (or it has none)."""
        return self._mapping() is None


def locator(data: Contents, path: str | None = None) -> Locator:
    """The :class:`Locator` of ``data`` (``path`` names its file)."""
    return Locator(data, path)


def address_map(data: Contents, path: str | None = None) -> AddressMap:
    """The address map of the file whose bytes are ``data`` (``path`` names
    it, for the Mach-O reader, which opens files); empty for a file of no
    known format or with broken headers."""
    head = bytes(data[:4])
    try:
        if head == _ELF:
            return _elf(data)
        if head[:2] == _PE:
            return _pe(data)
        if head in _MACHO and path is not None:
            return _macho(path)
    except Exception:  # the parsers raise anything on hostile headers
        pass
    return AddressMap([], [])


def _elf(data: Contents) -> AddressMap:
    from elftools.elf.constants import SH_FLAGS
    from elftools.elf.elffile import ELFFile

    # Headers only, never a copy; the parser reads field by field, which a
    # buffer serves in C.
    elf = ELFFile(cast("IO[bytes]", io.BufferedReader(ViewFile(data), _HEADER_READ)))
    # Headers only: section and segment objects would parse every hash and
    # symbol table, and the dynamic section.
    headers = (elf._get_section_header(n) for n in range(elf.num_sections()))
    segment_headers = (elf._get_segment_header(n) for n in range(elf.num_segments()))
    sections = [
        Mapped(
            h["sh_offset"],
            h["sh_offset"] + h["sh_size"],
            h["sh_addr"],
            elf._get_section_name(h),
        )
        for h in _first(headers)
        if h["sh_flags"] & SH_FLAGS.SHF_ALLOC
        and h["sh_type"] != "SHT_NOBITS"
        and h["sh_size"] > 0
    ]
    segments = [
        Mapped(
            p["p_offset"], p["p_offset"] + p["p_filesz"], p["p_vaddr"], f"PT_LOAD[{k}]"
        )
        for k, p in enumerate(_first(segment_headers))
        if p["p_type"] == "PT_LOAD" and p["p_filesz"] > 0
    ]
    return AddressMap(sections, segments)


def _pe(data: Contents) -> AddressMap:
    import pefile

    pe = pefile.PE(data=data, fast_load=True)
    base = pe.OPTIONAL_HEADER.ImageBase
    sections = [
        Mapped(
            s.PointerToRawData,
            s.PointerToRawData + s.SizeOfRawData,
            base + s.VirtualAddress,
            s.Name.rstrip(b"\0").decode("latin-1"),
        )
        for s in _first(pe.sections)
        if s.SizeOfRawData > 0
    ]
    return AddressMap(sections, [])


def _macho(path: str) -> AddressMap:
    from macholib.mach_o import LC_SEGMENT, LC_SEGMENT_64
    from macholib.MachO import MachO

    sections: list[Mapped] = []
    segments: list[Mapped] = []
    for header in MachO(path).headers:
        base = header.offset  # a slice of a universal binary
        for command, segment, sects in _first(header.commands):
            if command.cmd not in (LC_SEGMENT, LC_SEGMENT_64):
                continue
            name = _cstring(segment.segname)
            if segment.filesize > 0:
                start = base + segment.fileoff
                end = start + segment.filesize
                segments.append(Mapped(start, end, segment.vmaddr, name))
            for s in _first(sects):
                if s.offset > 0 and s.size > 0:  # zero-fill sections have no bytes
                    start = base + s.offset
                    label = f"{name},{_cstring(s.sectname)}"
                    sections.append(Mapped(start, start + s.size, s.addr, label))
    return AddressMap(sections, segments)


def _cstring(raw: Any) -> str:
    text = raw if isinstance(raw, bytes) else str(raw).encode("latin-1", "replace")
    return text.split(b"\0", 1)[0].decode("latin-1")


def _first(items: Iterable[Any]) -> Iterator[Any]:
    for k, item in enumerate(items):
        if k >= MAX_RANGES:
            return
        yield item
