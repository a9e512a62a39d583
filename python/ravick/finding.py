"""Finding descriptors in one buffer: the core scan, every layer, plausibility."""

from __future__ import annotations

import contextlib
import hashlib
import operator
from array import array
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import ravick_lib

from ravick.layers import MAX_DECODED_TOTAL, MAX_DEPTH, MAX_REGION, Budget, Region
from ravick.layers.framing import DESCRIPTOR_SET, framed
from ravick.layers.registry import may_hold_regions, regions
from ravick.plausibility import doubt_about
from ravick.split_scan import Extents, scan_in_parts

if TYPE_CHECKING:
    import mmap

    from google.protobuf import descriptor_pb2

MAX_INFLATE = MAX_REGION
"""Bytes one stream or member may decode to; the rest of a longer one is cut."""
MAX_INFLATE_TOTAL = MAX_DECODED_TOTAL
"""Bytes all streams and members of one buffer may decode to together."""


@dataclass(frozen=True, slots=True)
class Found:
    """One serialized ``FileDescriptorProto`` found in a buffer.

    ``start`` and ``end`` are offsets in the scanned buffer. For a descriptor
    inside decoded bytes (a compressed stream, an archive member) they span
    the outermost region in the buffer, ``layers`` gives the steps from the
    buffer to the bytes (``("zip:lib/a.jar", "zip:x/Y.class")``; empty for
    plain bytes), and ``inner_start`` and ``inner_end`` the descriptor's
    range in the innermost decoded bytes. ``compression`` names the first
    layer that decompresses ("gzip", "zip", ...; a tar archive, a
    descriptor set or a literal of generated code is not one). ``size`` is
    the length of the serialized descriptor and ``sha256`` the hex digest of
    those bytes, which ``data`` holds.
    """

    start: int
    end: int
    size: int
    name: str
    package: str
    syntax: str
    edition: str | None
    sha256: str
    compression: str | None
    inner_start: int | None
    inner_end: int | None
    plausible: bool
    doubt: str | None
    messages: int
    enums: int
    services: int
    extensions: int
    dependencies: tuple[str, ...]
    truncated: bool = False
    """True when a region holding it was cut (capped or broken)."""
    layers: tuple[str, ...] = ()
    stripped: tuple[str, ...] = ()
    """Fields the form it was found in had removed (``("dependency",)``:
    PHP and protobuf-es drop imports from the copy they embed)."""
    address: int | None = None
    """The virtual address of ``start`` in an ELF (a core dump's: the dumped
    process's), PE or Mach-O file, when its headers map that offset."""
    section: str | None = None
    """The section (``.rodata``) or else the segment (``PT_LOAD[2]``) that
    holds ``start``, with ``address``."""
    data: bytes = field(default=b"", repr=False, compare=False)

    def __reduce__(self) -> tuple[Callable[..., Found], tuple[Any, ...]]:
        # Sent back from worker processes by the hundred thousand: as its
        # values, not field by field.
        return (_found_of, found_values(self))

    def descriptor(self) -> descriptor_pb2.FileDescriptorProto:
        """The parsed descriptor (an empty one if its bytes do not parse)."""
        from google.protobuf import descriptor_pb2
        from google.protobuf.message import DecodeError

        fd = descriptor_pb2.FileDescriptorProto()
        with contextlib.suppress(DecodeError, RecursionError):
            fd.ParseFromString(self.data)
        return fd


_FOUND_FIELDS = tuple(f.name for f in fields(Found))
_FOUND_SETTERS = tuple(Found.__dict__[name].__set__ for name in _FOUND_FIELDS)

found_values: Callable[[Found], tuple[Any, ...]] = operator.attrgetter(*_FOUND_FIELDS)
"""The values of a find's fields, in their order."""


def _found_of(*values: Any) -> Found:
    # The values are a found's own: the checks and conversions of the
    # constructor have nothing to do, and setting the slots is a third of
    # its time.
    found = object.__new__(Found)
    for setter, value in zip(_FOUND_SETTERS, values, strict=True):
        setter(found, value)
    return found


@dataclass(frozen=True, slots=True)
class Findings:
    """What one buffer holds, and notes on what could not be looked at fully."""

    found: tuple[Found, ...]
    notes: tuple[str, ...] = ()


def find(data: bytes) -> list[Found]:
    """Every descriptor in ``data`` and in every layer inside it, in offset order.

    The plain results are the ranges of ``ravick_lib.scan``, in its order,
    with framed ends (see :mod:`ravick.layers.framing`); descriptors inside
    decoded regions are merged in by the offset of their outermost region.
    """
    return list(find_with_notes(data).found)


def find_with_notes(
    data: bytes | mmap.mmap,
    *,
    max_inflate: int = MAX_INFLATE,
    max_inflate_total: int = MAX_INFLATE_TOTAL,
    threads: int = 1,
    on_scanned: Callable[[int], None] | None = None,
    locate: Callable[[int], tuple[int, str] | None] | None = None,
) -> Findings:
    """Like :func:`find`, with notes on what could not be looked at fully.
    ``data`` may be a mapped file. ``threads`` threads share the native scan
    of a large ``data``, and ``on_scanned`` is told its bytes done so far.
    ``locate`` gives the address and section of an offset, if the file maps
    it (see :func:`ravick.addresses.locator`)."""
    rows, notes = found_values_with_notes(
        data,
        max_inflate=max_inflate,
        max_inflate_total=max_inflate_total,
        threads=threads,
        on_scanned=on_scanned,
        locate=locate,
    )
    return Findings(found_of_values(rows), notes)


def found_values_with_notes(
    data: bytes | mmap.mmap,
    *,
    max_inflate: int = MAX_INFLATE,
    max_inflate_total: int = MAX_INFLATE_TOTAL,
    threads: int = 1,
    on_scanned: Callable[[int], None] | None = None,
    locate: Locate | None = None,
    extents: Extents | None = None,
) -> tuple[list[tuple[Any, ...]], tuple[str, ...]]:
    """:func:`find_with_notes` with each find as the values of its fields, in
    their order: what a worker process sends, at a fraction of the cost of
    the objects, which are made once where they are used
    (:func:`found_of_values`)."""
    finds, notes = finds_with_notes(
        data,
        max_inflate=max_inflate,
        max_inflate_total=max_inflate_total,
        threads=threads,
        on_scanned=on_scanned,
        locate=locate,
        extents=extents,
    )
    return rows_of(finds), notes


def finds_with_notes(
    data: bytes | mmap.mmap,
    *,
    max_inflate: int = MAX_INFLATE,
    max_inflate_total: int = MAX_INFLATE_TOTAL,
    threads: int = 1,
    on_scanned: Callable[[int], None] | None = None,
    locate: Locate | None = None,
    extents: Extents | None = None,
) -> tuple[Finds, tuple[str, ...]]:
    """:func:`found_values_with_notes`, the finds of an input that holds
    only plain descriptors as :class:`PlainFinds` columns: a memory image
    holds them by the hundred thousand, and most are copies of a few.
    ``extents`` are the spans of ``data`` that hold anything but zeros (a
    sparse file's, :func:`ravick.reading.data_extents`): only they are
    searched."""
    budget = Budget(decoded_left=max_inflate_total, region_cap=max_inflate)
    # A mapping answers everything the finder asks of bytes (slices, find,
    # the buffer protocol), and its slices are bytes.
    search = _Search(cast(bytes, data), budget, threads, on_scanned, extents)
    return search.top(locate), tuple(budget.notes)


def rows_of(finds: Finds) -> list[tuple[Any, ...]]:
    """The values of the fields of each find."""
    return finds.rows() if isinstance(finds, PlainFinds) else finds


def found_of_values(rows: Iterable[tuple[Any, ...]]) -> tuple[Found, ...]:
    """The finds whose field values are ``rows``."""
    return tuple(_found_of(*values) for values in rows)


FACTS_PER_PART = 1024
"""Distinct descriptors below which their facts are not worth a process."""

Locate = Callable[[int], tuple[int, str] | None]
"""The address and section of an offset, if the input's headers map it."""


@dataclass(frozen=True, slots=True)
class PlainFinds:
    """The finds of an input that holds only plain descriptors, as columns:
    each find's range, whether it is an entry of a descriptor set, and the
    number of its distinct bytes, whose facts ``facts`` holds; ``uses`` says
    of each number whether finds of it stand outside a set (1), in one (2),
    or both (3)."""

    starts: array[int]
    ends: array[int]
    in_set: bytes
    ids: array[int]
    facts: tuple[dict[str, Any], ...]
    uses: bytes

    @property
    def total(self) -> int:
        """The number of finds."""
        return len(self.ids)

    def model(self, n: int, marked: bool) -> Found:
        """A find of the ``n``-th distinct bytes at offset 0, as an entry of a
        descriptor set when ``marked``."""
        return _found_of(*_at_zero(self.facts[n], marked))

    def rows(self) -> list[tuple[Any, ...]]:
        """The values of the fields of each find, as :class:`Found` orders them."""
        rests = [[v[2:] for v in self._values_at_zero(m)] for m in (False, True)]
        return [
            (start, end, *rests[marked][n])
            for start, end, marked, n in zip(
                self.starts, self.ends, self.in_set, self.ids, strict=True
            )
        ]

    def _values_at_zero(self, marked: bool) -> list[tuple[Any, ...]]:
        """Each distinct descriptor's field values as a plain find at 0."""
        return [_at_zero(f, marked) for f in self.facts]


def _at_zero(facts: dict[str, Any], marked: bool) -> tuple[Any, ...]:
    """The field values of a plain find at offset 0 with these facts."""
    marks = (DESCRIPTOR_SET,) if marked else ()
    return _Relative(0, 0, None, marks, False, facts).values()


Finds = PlainFinds | list[tuple[Any, ...]]
"""An input's finds: as columns, or each as the values of its fields."""


def _maps_nothing(locate: Locate | None) -> bool:
    if locate is None:
        return True
    maps_nothing = getattr(locate, "maps_nothing", None)
    return callable(maps_nothing) and bool(maps_nothing())


_COMPRESSION = frozenset({"gzip", "zlib", "zstd", "lz4", "xalz", "xz", "bzip2", "zip"})
"""Layers that decompress (a tar archive, a descriptor set and a literal of
generated code hold or spell out the bytes)."""


class _Relative(NamedTuple):
    """A descriptor in one buffer, before its place in the input is known
    (a named tuple: a memory image makes them by the hundred thousand)."""

    start: int
    end: int
    inner: tuple[int, int] | None
    layers: tuple[str, ...]
    truncated: bool
    facts: dict[str, Any]
    stripped: tuple[str, ...] = ()

    def nested(self, region: Region) -> _Relative:
        """The descriptor placed in the buffer that holds ``region``."""
        return _Relative(
            region.start,
            region.end,
            self.inner or (self.start, self.end),
            (region.step, *self.layers),
            self.truncated or region.cut,
            self.facts,
            tuple(dict.fromkeys((*region.stripped, *self.stripped))),
        )

    def values(
        self, locate: Callable[[int], tuple[int, str] | None] | None = None
    ) -> tuple[Any, ...]:
        """The values of the fields of its :class:`Found`, in their order
        (which a test holds to this list)."""
        compression = None
        if self.layers:
            kinds = (step.split(":", 1)[0] for step in self.layers)
            compression = next((k for k in kinds if k in _COMPRESSION), None)
        address, section = (locate and locate(self.start)) or (None, None)
        inner_start, inner_end = self.inner or (None, None)
        f = self.facts
        return (
            self.start,
            self.end,
            f["size"],
            f["name"],
            f["package"],
            f["syntax"],
            f["edition"],
            f["sha256"],
            compression,
            inner_start,
            inner_end,
            f["plausible"],
            f["doubt"],
            f["messages"],
            f["enums"],
            f["services"],
            f["extensions"],
            f["dependencies"],
            self.truncated,
            self.layers,
            self.stripped,
            address,
            section,
            f["data"],
        )


class _Regional(NamedTuple):
    """What the regions of one buffer hold, and which plain finds they
    replace: those inside a span that encodes its region's bytes (a
    literal), and those that a stored member's own scan found as well."""

    items: list[tuple[int, list[_Relative]]]
    covered: list[tuple[int, int]]
    seen: set[int]

    def is_empty(self) -> bool:
        """True when no region holds a descriptor or replaces a plain find."""
        return not (self.covered or self.seen or any(g for _, g in self.items))

    def replaces(self, start: int) -> bool:
        """True when a plain find at ``start`` is reported by a region."""
        if start in self.seen:
            return True
        covered = self.covered
        return bool(covered) and any(low <= start < high for low, high in covered)


class _Search:
    """One input's walk through its layers: budget, caches, notes."""

    def __init__(
        self,
        top: bytes,
        budget: Budget,
        threads: int = 1,
        on_scanned: Callable[[int], None] | None = None,
        extents: Extents | None = None,
    ) -> None:
        self.top_data = top
        self.budget = budget
        self.threads = threads
        self.on_scanned = on_scanned
        self.extents = extents
        self.facts: dict[bytes, dict[str, Any]] = {}
        self.opened: dict[bytes, list[_Relative]] = {}

    def top(self, locate: Locate | None) -> Finds:
        """The input's finds: as columns when it holds nothing but plain
        descriptors at offsets its headers do not map."""
        data = self.top_data
        ranges = scan_in_parts(
            data, self.threads, on_scanned=self.on_scanned, extents=self.extents
        )
        regional = self._regions(data, 0, ())
        if regional.is_empty() and _maps_nothing(locate):
            return self._columns(data, ranges)
        return [r.values(locate) for r in self._merged(data, ranges, regional)]

    def _columns(self, data: bytes, ranges: list[tuple[int, int]]) -> PlainFinds:
        from ravick import _plain

        framed = _plain.frame(data, ranges, self.threads)
        starts, ends, in_set, ids, firsts, uses = framed
        begin, end = array("q", starts), array("q", ends)
        pieces = [data[begin[k] : end[k]] for k in firsts]
        facts = self._facts_of_all(pieces)
        return PlainFinds(begin, end, in_set, array("I", ids), facts, uses)

    def _facts_of_all(self, pieces: list[bytes]) -> tuple[dict[str, Any], ...]:
        """The facts of distinct descriptors, on the run's cores when there
        are many (an image's copies differ in what the scan read after them)."""
        parts = min(self.threads, len(pieces) // FACTS_PER_PART) or 1
        if parts == 1:
            return tuple(self._facts(piece) for piece in pieces)
        # Loaded before the fork, so that no part loads it again.
        from google.protobuf import descriptor_pb2  # noqa: F401

        from ravick.forking import in_forks

        def part(k: int) -> list[dict[str, Any]]:
            share = pieces[len(pieces) * k // parts : len(pieces) * (k + 1) // parts]
            return [facts_of(piece) for piece in share]

        return tuple(f for done in in_forks(part, parts) for f in done)

    def buffer(
        self, data: bytes, depth: int, chain: tuple[bytes, ...]
    ) -> list[_Relative]:
        """Every descriptor in ``data`` and the regions inside it."""
        ranges = ravick_lib.scan(data)
        regional = self._regions(data, depth, chain)
        return self._merged(data, ranges, regional)

    def _merged(
        self, data: bytes, ranges: list[tuple[int, int]], regional: _Regional
    ) -> list[_Relative]:
        """The plain finds of ``ranges`` that no region replaces and the
        region finds, in offset order (at one offset, the plain find first)."""
        items: list[tuple[int, list[_Relative]]] = []
        for start, end, in_set in framed(data, ranges):
            if regional.replaces(start):
                continue
            marks = (DESCRIPTOR_SET,) if in_set else ()
            facts = self._facts(data[start:end])
            items.append((start, [_Relative(start, end, None, marks, False, facts)]))
        items += regional.items
        items.sort(key=operator.itemgetter(0))
        return [r for _, group in items for r in group]

    def _regions(self, data: bytes, depth: int, chain: tuple[bytes, ...]) -> _Regional:
        regional = _Regional([], [], set())
        if depth >= MAX_DEPTH:
            if may_hold_regions(data):
                self.budget.note(f"regions nested deeper than {MAX_DEPTH} not opened")
            return regional
        threads, extents = (self.threads, self.extents) if depth == 0 else (1, None)
        for region in regions(data, self.budget, threads, extents):
            if not 0 <= region.start <= region.end <= len(data):
                # A layer's reading of hostile tables, never reported.
                self.budget.note(f"{region.layer}: a region outside its bytes left out")
                continue
            inner = self._region(region, depth, chain)
            regional.items.append((region.start, [r.nested(region) for r in inner]))
            if region.covers:
                regional.covered.append((region.start, region.end))
            elif region.stored_at is not None:
                base = region.stored_at
                regional.seen.update(base + r.start for r in inner if r.inner is None)
        return regional

    def _region(
        self, region: Region, depth: int, chain: tuple[bytes, ...]
    ) -> list[_Relative]:
        if _same_bytes(region.data, self.top_data):
            return []  # a container that holds itself
        digest = hashlib.sha256(region.data).digest()
        if digest in chain:
            return []
        known = self.opened.get(digest)
        if known is None:
            # Each distinct buffer is opened once; its descriptors are
            # reported again wherever the same bytes stand.
            known = self.buffer(region.data, depth + 1, (*chain, digest))
            self.opened[digest] = known
        return known

    def _facts(self, data: bytes) -> dict[str, Any]:
        facts = self.facts.get(data)
        if facts is None:
            # Firmware and static binaries repeat the same files many times:
            # each distinct descriptor is parsed and judged once.
            facts = facts_of(data)
            self.facts[data] = facts
        return facts


def _same_bytes(data: bytes, top: bytes) -> bool:
    # The input may be a mapping, which compares with bytes only as a view.
    if len(data) != len(top):
        return False
    with memoryview(top) as view:
        return view == data


def facts_of(data: bytes) -> dict[str, Any]:
    """What a descriptor's bytes say, wherever they stand."""
    # protobuf is imported on the first descriptor found: most files of a
    # directory hold none, and the import is most of the start-up time.
    from google.protobuf import descriptor_pb2
    from google.protobuf.message import DecodeError

    fd = descriptor_pb2.FileDescriptorProto()
    parse_error: str | None = None
    try:
        fd.ParseFromString(data)
    except DecodeError as e:
        parse_error = f"does not parse with protobuf: {e}"
    except RecursionError:
        parse_error = "does not parse with protobuf: nested too deeply"
    doubt = parse_error or doubt_about(fd)
    return {
        "size": len(data),
        "name": text_of(fd.name),
        "package": text_of(fd.package),
        "syntax": fd.syntax or "proto2",
        "edition": edition_name(fd),
        "sha256": hashlib.sha256(data).hexdigest(),
        "plausible": doubt is None,
        "doubt": doubt,
        "messages": len(fd.message_type),
        "enums": len(fd.enum_type),
        "services": len(fd.service),
        "extensions": len(fd.extension),
        "dependencies": tuple(text_of(d) for d in fd.dependency),
        "data": data,
    }


def text_of(value: str | bytes) -> str:
    """A string field's text; bytes that are not UTF-8 as lone surrogates.

    protobuf hands back ``bytes`` for a string field that is not UTF-8; the
    surrogateescape form keeps every byte, as file names do.
    """
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    return value


def edition_name(fd: descriptor_pb2.FileDescriptorProto) -> str | None:
    """The edition of an editions file ("2023", "2024", ...), else None."""
    if fd.syntax != "editions":
        return None
    from google.protobuf import descriptor_pb2

    number = fd.edition
    try:
        label = descriptor_pb2.Edition.Name(number)
    except ValueError:
        return str(number)
    return label.removeprefix("EDITION_")
