"""Reporting: the human listing, JSON documents, counts and the exit status."""

from __future__ import annotations

import base64
import json
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import IO, Any, Protocol

from ravick import __version__
from ravick.finding import Found
from ravick.inputs import NOT_FOLLOWED, FileReport, ScannedFile
from ravick.statuses import EXIT_OK, EXIT_UNREADABLE


class Outcome(Protocol):
    """What the lines on standard error tell of an input (a report, or its
    output)."""

    @property
    def path(self) -> str: ...
    @property
    def error(self) -> str | None: ...
    @property
    def skipped(self) -> str | None: ...
    @property
    def notes(self) -> tuple[str, ...]: ...


@dataclass(slots=True)
class Summary:
    """Counts over a run, updated report by report."""

    files: int = 0
    bytes: int = 0
    descriptors: int = 0
    implausible: int = 0
    compressed: int = 0
    errors: int = 0
    skipped: int = 0
    started: float = field(default_factory=time.monotonic)
    _digests: set[str] = field(default_factory=set)

    def add(self, report: FileReport | ScannedFile) -> None:
        """Counts one report (or one whose finds are columns)."""
        if report.skipped is not None:
            self.skipped += 1
            return
        if report.error is not None:
            self.errors += 1
            return
        self.files += 1
        self.bytes += report.size or 0
        if isinstance(report, ScannedFile):
            from ravick.plain_output import counts, plain_of

            plain = plain_of(report)
            implausible, digests = counts(plain)
            self.descriptors += plain.total
            self.implausible += implausible
            self._digests |= digests
            return
        for found in report.found:
            self.descriptors += 1
            self.implausible += not found.plausible
            self.compressed += found.compression is not None
            self._digests.add(found.sha256)

    @property
    def distinct(self) -> int:
        """Descriptors with distinct bytes (by sha256)."""
        return len(self._digests)

    @property
    def seconds(self) -> float:
        """Time since the run started."""
        return time.monotonic() - self.started

    @property
    def exit_status(self) -> int:
        """0 when every input was read, 1 when some could not be."""
        return EXIT_UNREADABLE if self.errors else EXIT_OK

    def as_json(self) -> dict[str, Any]:
        """The summary object of the JSON document."""
        return {
            "files": self.files,
            "bytes": self.bytes,
            "descriptors": self.descriptors,
            "distinct": self.distinct,
            "implausible": self.implausible,
            "compressed": self.compressed,
            "errors": self.errors,
            "skipped": self.skipped,
            "seconds": round(self.seconds, 3),
        }

    def human(self) -> str:
        """One summary line for people."""
        return (
            f"{self.files} files, {self.bytes} bytes: {self.descriptors} "
            f"descriptors ({self.distinct} distinct, {self.implausible} "
            f"implausible, {self.compressed} compressed), {self.errors} errors, "
            f"{self.skipped} skipped, {self.seconds:.2f} s"
        )


def found_json(found: Found) -> dict[str, Any]:
    """One descriptor as a JSON object."""
    obj = {
        "start": found.start,
        "end": found.end,
        "size": found.size,
        "name": found.name,
        "package": found.package,
        "syntax": found.syntax,
        "edition": found.edition,
        "sha256": found.sha256,
        "compression": found.compression,
        "inner_start": found.inner_start,
        "inner_end": found.inner_end,
        "truncated": found.truncated,
        "layers": list(found.layers),
        "stripped": list(found.stripped),
        "address": found.address,
        "section": found.section,
        "plausible": found.plausible,
        "doubt": found.doubt,
        "messages": found.messages,
        "enums": found.enums,
        "services": found.services,
        "extensions": found.extensions,
        "dependencies": list(found.dependencies),
    }
    texts = [found.name, found.package, found.doubt or "", found.section or ""]
    if "".join([*texts, *found.layers, *found.dependencies]).isascii():
        return obj  # the rest is ravick's own text: nothing to make safe
    return utf8_safe(obj)


def file_json(report: FileReport) -> dict[str, Any]:
    """One input file as a JSON object."""
    return {
        **path_json(report.path),
        "size": report.size,
        "error": report.error,
        "notes": [_utf8(n) for n in report.notes],
        "descriptors": [found_json(f) for f in report.found],
    }


def skipped_json(report: Outcome) -> dict[str, Any]:
    """One skipped entry as a JSON object."""
    return {**path_json(report.path), "reason": report.skipped}


def document(reports: Iterable[FileReport], summary: Summary) -> dict[str, Any]:
    """The whole JSON document of a scan; counts each report into ``summary``."""
    files: list[dict[str, Any]] = []
    skipped: list[dict[str, Any]] = []
    for report in reports:
        summary.add(report)
        if report.skipped is not None:
            skipped.append(skipped_json(report))
        else:
            files.append(file_json(report))
    return {
        "version": __version__,
        "files": files,
        "skipped": skipped,
        "summary": summary.as_json(),
    }


def write_json(doc: dict[str, Any], out: IO[str]) -> None:
    """Writes one JSON document and a newline."""
    # dumps, unlike dump, runs the C encoder over the whole document.
    out.write(json.dumps(doc, ensure_ascii=False, separators=(",", ":")) + "\n")


def jsonl_lines(report: FileReport) -> list[str]:
    """The JSON Lines of one report: one line a descriptor, or its error."""
    if report.error is not None:
        return [_line({**path_json(report.path), "error": report.error})]
    path = path_json(report.path)
    return [_line({**path, **found_json(f)}) for f in report.found]


def _line(obj: dict[str, Any]) -> str:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def utf8_safe(obj: dict[str, Any]) -> dict[str, Any]:
    """A JSON object with every string in it made valid UTF-8.

    Names from file systems and from untrusted bytes reach here with the
    bytes that are not UTF-8 as lone surrogates (Python's surrogateescape).
    Such a string becomes its text with U+FFFD in their place; where it is
    the value of a key, ``<key>_b64`` beside it holds the exact bytes.
    """
    out: dict[str, Any] = {}
    for key, value in obj.items():
        if isinstance(value, str) and not _is_utf8(value):
            out[key] = _utf8(value)
            out[f"{key}_b64"] = _b64(value)
        else:
            out[key] = _utf8_value(value)
    return out


def _utf8_value(value: Any) -> Any:
    if isinstance(value, str):
        return _utf8(value)
    if isinstance(value, list | tuple):
        return [_utf8_value(x) for x in value]
    if isinstance(value, dict):
        return utf8_safe(value)
    return value


def path_json(path: str) -> dict[str, str]:
    if _is_utf8(path):
        return {"path": path}
    return {"path": _utf8(path), "path_b64": _b64(path)}


def _is_utf8(text: str) -> bool:
    if text.isascii():
        return True
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _utf8(text: str) -> str:
    if _is_utf8(text):
        return text
    raw = text.encode("utf-8", "surrogateescape")
    return raw.decode("utf-8", "replace")


def _b64(text: str) -> str:
    raw = text.encode("utf-8", "surrogateescape")
    return base64.b64encode(raw).decode("ascii")


def listing_line(path: str, found: Found) -> str:
    """One descriptor as a line of the human listing (tab-separated)."""
    syntax = found.syntax if found.edition is None else f"edition {found.edition}"
    counts = f"messages={found.messages} enums={found.enums} services={found.services}"
    fields = [
        shown_path(path, found),
        where(found),
        str(found.size),
        found.name,
        found.package or "-",
        syntax,
    ]
    line = "\t".join([_printable(x) for x in fields] + [counts])
    if found.truncated:
        line += "\t(from a cut stream)"
    return line


def write_listing(
    report: FileReport | ScannedFile, plausible: bool, out: IO[str]
) -> None:
    """Writes the listing's lines of the plausible finds of ``report`` (or
    the doubt lines of the others)."""
    line_of = listing_line if plausible else doubt_line
    if isinstance(report, ScannedFile):
        from ravick.plain_output import listing_chunks, plain_of, write_utf8

        for chunk in listing_chunks(plain_of(report), report.path, line_of, plausible):
            write_utf8(out, chunk)
        return
    found = [f for f in report.found if f.plausible == plausible]
    out.write("".join([line_of(report.path, f) + "\n" for f in found]))


def implausible_part(
    report: FileReport | ScannedFile,
) -> FileReport | ScannedFile | None:
    """What the listing's last section needs of ``report``, if anything."""
    if isinstance(report, ScannedFile):
        from ravick.plain_output import plain_of

        # Every distinct descriptor of the columns stands in them at least once.
        plain = plain_of(report)
        return None if all(f["plausible"] for f in plain.facts) else report
    found = tuple(f for f in report.found if not f.plausible)
    return FileReport(report.path, report.size, found) if found else None


def shown_path(path: str, found: Found) -> str:
    """The path with the archive members that lead to the descriptor:
    ``app.jar!BOOT-INF/lib/a.jar!com/x/Y.class``."""
    members = [step.split(":", 1)[1] for step in found.layers if ":" in step]
    return "!".join([path, *members])


def where(found: Found) -> str:
    """The offset, for decoded bytes the layers and the inner offset, and
    the virtual address where the file maps it: ``0x15db380 (gzip+0x0)
    @0x15dc380``."""
    text = f"{found.start:#x}"
    kinds = [step.split(":", 1)[0] for step in found.layers]
    if found.inner_start is not None:
        text += f" ({'+'.join(kinds)}+{found.inner_start:#x})"
    elif kinds:
        text += f" ({'+'.join(kinds)})"
    if found.address is not None:
        text += f" @{found.address:#x}"
    return text


def doubt_line(path: str, found: Found) -> str:
    """One implausible descriptor, with the reason, for the listing."""
    return (
        f"{_printable(shown_path(path, found))}\t{where(found)}\t{found.size}\t"
        f"{_printable(found.name)}\t{_printable(found.doubt or '')}"
    )


def _printable(text: str) -> str:
    # Names come from untrusted bytes: never let them write control codes
    # or tabs to a terminal. Bytes that were not UTF-8 show as \xHH.
    if text.isprintable():  # nearly always: no tab, control or surrogate
        return text
    return "".join(c if c.isprintable() and c != "\t" else _escaped(c) for c in text)


def _escaped(char: str) -> str:
    if "\udc80" <= char <= "\udcff":
        return f"\\x{ord(char) - 0xDC00:02x}"
    return repr(char)[1:-1]


def problem_line(report: Outcome) -> str | None:
    """The standard-error line for an unreadable or skipped input, if any."""
    if report.error is not None:
        return f"ravick: {_printable(report.path)}: {report.error}"
    if report.skipped is not None and report.skipped != NOT_FOLLOWED:
        return f"ravick: {_printable(report.path)}: skipped: {report.skipped}"
    return None


def note_lines(report: Outcome) -> list[str]:
    """Standard-error lines for what a readable input could not show fully."""
    return [f"ravick: {_printable(report.path)}: {n}" for n in report.notes]
