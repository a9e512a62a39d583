"""The JSON written as reports come is byte for byte json.dumps of the
reporting objects, on real scans and on finds whose texts are hostile."""

from __future__ import annotations

import dataclasses
import io
import json

import pytest
from google.protobuf import timestamp_pb2

from ravick.finding import Found, find
from ravick.inputs import FileReport, find_in_paths
from ravick.json_text import FoundText, jsonl_text, write_document
from ravick.reporting import Summary, document, jsonl_lines, write_json
from test_extract import fetched


def _found(**changes: object) -> Found:
    (found,) = find(timestamp_pb2.DESCRIPTOR.serialized_pb)
    return dataclasses.replace(found, **changes)  # type: ignore[arg-type]


# Each text a find carries, made hostile in turn: bytes that were not UTF-8
# (lone surrogates), text beyond ASCII, quotes, backslashes and controls.
# Finds with one digest have the same bytes, so the same facts: each find
# made here with other facts has a digest of its own.
HOSTILE = ["a\udc80b", "caf\u00e9", 'q"b\\s', "n\nt\t\x01\x7f", "\u2028"]
FINDS = [
    _found(),
    _found(address=0x401000, section=".rodata", truncated=True),
    _found(
        layers=("gzip", "zip:lib/a.jar"),
        compression="gzip",
        inner_start=3,
        inner_end=258,
        stripped=("dependency",),
    ),
    _found(
        plausible=False,
        doubt="not a .proto path",
        edition="2023",
        sha256="other",
        syntax="editions",
        dependencies=("x.proto", "y/z.proto"),
    ),
    *(_found(name=text, sha256=f"n{k}") for k, text in enumerate(HOSTILE)),
    *(_found(package=text, sha256=f"p{k}") for k, text in enumerate(HOSTILE)),
    *(_found(section=text) for text in HOSTILE),
    *(_found(layers=("zip:" + text,)) for text in HOSTILE),
    *(
        _found(doubt=text, plausible=False, sha256=f"d{k}")
        for k, text in enumerate(HOSTILE)
    ),
    *(_found(dependencies=(text,), sha256=f"e{k}") for k, text in enumerate(HOSTILE)),
]
REPORTS = [
    FileReport("plain", 10, tuple(FINDS)),
    FileReport("a\udcffb\n", 3, tuple(reversed(FINDS)), notes=("gzip: capped",)),
    FileReport("gone", None, error="cannot be read: gone"),
    FileReport("fifo", None, skipped="not a regular file (FIFO)"),
    FileReport("empty", 0),
]


def _same_as_reporting(reports: list[FileReport]) -> None:
    old, new = io.StringIO(), io.StringIO()
    old_summary, new_summary = Summary(started=0.0), Summary(started=0.0)
    write_json(document(reports, old_summary), old)
    write_document(reports, new_summary, new)
    seconds = json.loads(old.getvalue())["summary"]["seconds"]
    expected = old.getvalue().replace(f'"seconds":{seconds}', '"seconds":0')
    got = json.loads(new.getvalue())["summary"]["seconds"]
    assert new.getvalue().replace(f'"seconds":{got}', '"seconds":0') == expected
    assert new_summary.as_json() | {"seconds": 0} == old_summary.as_json() | {
        "seconds": 0
    }
    texts = FoundText()
    for report in reports:
        if report.skipped is None:
            assert jsonl_text(report, texts) == jsonl_lines(report)


def test_hostile_texts_are_written_as_json_dumps_writes_them() -> None:
    _same_as_reporting(REPORTS)


@pytest.mark.parametrize("order", ["as found", "reversed"])
def test_a_descriptor_met_again_elsewhere_is_written_for_its_place(order: str) -> None:
    # The same bytes (one digest), first plain, then inside layers that are
    # not ASCII, then at an address: the cached part must not carry a place.
    finds = [
        _found(),
        _found(layers=("zip:\udc80.jar",), inner_start=0, inner_end=255),
        _found(start=7, end=262, address=1, section="caf\u00e9"),
        _found(start=9, end=264),
    ]
    if order == "reversed":
        finds.reverse()
    _same_as_reporting([FileReport("f", 300, tuple(finds))])


def test_real_scans_are_written_as_json_dumps_writes_them() -> None:
    paths = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")[:2]
    reports = list(find_in_paths(paths))
    assert sum(len(r.found) for r in reports) > 400
    assert any(f.layers for r in reports for f in r.found)
    assert any(f.section for r in reports for f in r.found)
    _same_as_reporting(reports)
