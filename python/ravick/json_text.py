"""The JSON document and JSON Lines of a scan, written as the reports come.

The text is byte for byte what ``json.dumps`` gives of :mod:`ravick.reporting`'s
objects (:func:`~ravick.reporting.document`,
:func:`~ravick.reporting.jsonl_lines`), but the document is never held whole:
a memory image holds descriptors by the hundred thousand, and their objects
would take several times the memory of the finds themselves. Most of those
descriptors are copies of a few, so the part of a descriptor's text that its
bytes decide is made once per distinct descriptor.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from typing import IO, Any

from ravick import __version__
from ravick.finding import Found
from ravick.inputs import FileReport, ScannedFile
from ravick.plain_output import json_chunks, jsonl_chunks, plain_of, write_utf8
from ravick.reporting import (
    Summary,
    file_json,
    found_json,
    path_json,
    skipped_json,
)

# What json.dumps(..., ensure_ascii=False) writes for one string.
_string = json.encoder.encode_basestring


def dumps(obj: Any) -> str:
    """The compact JSON text of ``obj``, as every output of ravick writes it."""
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


class FoundText:
    """The JSON text of finds, with a cache of the parts that a descriptor's
    bytes decide, by digest: finds of one digest have the same bytes, from
    which the finder takes the same facts."""

    def __init__(self) -> None:
        self._by_digest: dict[str, tuple[str, str]] = {}

    def of(self, found: Found) -> str:
        """``dumps(found_json(found))``."""
        parts = self._by_digest.get(found.sha256)
        if parts is None:
            if not _plain_texts(found):
                return dumps(found_json(found))
            parts = _fixed_parts(found)
            self._by_digest[found.sha256] = parts
        elif not _plain_place(found):
            return dumps(found_json(found))
        head, tail = parts
        return (
            f'{{"start":{found.start},"end":{found.end},{head}'
            f',"compression":{_optional(found.compression)}'
            f',"inner_start":{_number(found.inner_start)}'
            f',"inner_end":{_number(found.inner_end)}'
            f',"truncated":{"true" if found.truncated else "false"}'
            f',"layers":{_strings(found.layers)}'
            f',"stripped":{_strings(found.stripped)}'
            f',"address":{_number(found.address)}'
            f',"section":{_optional(found.section)},{tail}}}'
        )


Output = FileReport | ScannedFile
"""A report, or (see :func:`ravick.plain_output.as_output`) a scanned input
whose finds are columns."""


def write_document(reports: Iterable[Output], summary: Summary, out: IO[str]) -> None:
    """Writes ``document(reports, summary)`` as ``write_json`` does, a file
    at a time; counts each report into ``summary``."""
    texts = FoundText()
    skipped: list[dict[str, Any]] = []
    out.write(f'{{"version":{_string(__version__)},"files":[')
    first = True
    for report in reports:
        summary.add(report)
        if report.skipped is not None:
            skipped.append(skipped_json(report))
            continue
        if not first:
            out.write(",")
        first = False
        _write_file(report, texts, out)
    out.write(f'],"skipped":{dumps(skipped)},"summary":{dumps(summary.as_json())}}}\n')


def write_jsonl(report: Output, texts: FoundText, out: IO[str]) -> None:
    """Writes ``jsonl_lines(report)``, each line ending in a newline."""
    if isinstance(report, FileReport):
        for line in jsonl_text(report, texts):
            out.write(line + "\n")
        return
    prefix = dumps(path_json(report.path))[:-1] + ","
    for chunk in jsonl_chunks(plain_of(report), prefix, texts.of):
        write_utf8(out, chunk)


def jsonl_text(report: FileReport, texts: FoundText) -> list[str]:
    """``jsonl_lines(report)``."""
    if report.error is not None:
        return [dumps({**path_json(report.path), "error": report.error})]
    prefix = dumps(path_json(report.path))[:-1] + ","
    return [prefix + texts.of(f)[1:] for f in report.found]


def _write_file(report: Output, texts: FoundText, out: IO[str]) -> None:
    bare = FileReport(report.path, report.size, (), report.error, notes=report.notes)
    out.write(dumps(file_json(bare))[: -len("]}")])  # ends in "descriptors":[
    if isinstance(report, FileReport):
        for k, found in enumerate(report.found):
            out.write(texts.of(found) if k == 0 else "," + texts.of(found))
    else:
        first = True
        for chunk in json_chunks(plain_of(report), texts.of):
            if chunk:
                if not first:
                    out.write(",")
                write_utf8(out, chunk)
                first = False
    out.write("]}")


def _plain_place(found: Found) -> bool:
    """True when the texts that the place of ``found`` decides are ASCII."""
    return "".join([found.section or "", *found.layers]).isascii()


def _plain_texts(found: Found) -> bool:
    """True when every text of ``found`` is ASCII: found_json leaves it as it is."""
    texts = [found.name, found.package, found.doubt or "", found.section or ""]
    return "".join([*texts, *found.layers, *found.dependencies]).isascii()


def _fixed_parts(found: Found) -> tuple[str, str]:
    """The text of the fields that the descriptor's bytes decide, before and
    after the ones that its place decides."""
    head = (
        f'"size":{found.size},"name":{_string(found.name)}'
        f',"package":{_string(found.package)},"syntax":{_string(found.syntax)}'
        f',"edition":{_optional(found.edition)},"sha256":{_string(found.sha256)}'
    )
    tail = (
        f'"plausible":{"true" if found.plausible else "false"}'
        f',"doubt":{_optional(found.doubt)},"messages":{found.messages}'
        f',"enums":{found.enums},"services":{found.services}'
        f',"extensions":{found.extensions}'
        f',"dependencies":{_strings(found.dependencies)}'
    )
    return head, tail


def _optional(text: str | None) -> str:
    return "null" if text is None else _string(text)


def _number(value: int | None) -> str:
    return "null" if value is None else str(value)


def _strings(texts: Sequence[str]) -> str:
    if not texts:
        return "[]"
    return "[" + ",".join(_string(t) for t in texts) + "]"
