"""The report of an extract run: one JSON document, a summary for people,
and problem lines for standard error."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import asdict
from typing import Any

from ravick import __version__
from ravick.extraction.plan import CONFLICTS
from ravick.extraction.records import (
    ExtractReport,
    MissingImports,
    StandIn,
    WrittenFile,
    shown,
)
from ravick.inputs import NOT_FOLLOWED
from ravick.reporting import utf8_safe
from ravick.safe_output import WriteStatus


def report_json(report: ExtractReport) -> dict[str, Any]:
    """The report as one JSON document: its fields, the version, the status."""
    doc = asdict(report)
    doc["seconds"] = round(report.seconds, 3)
    # Paths and names may hold bytes that are not UTF-8.
    return utf8_safe({"version": __version__, **doc, "exit_status": report.exit_status})


def summary_lines(report: ExtractReport) -> list[str]:
    """The report for people, one line an item, for standard output."""
    found = sum(w.source == "found" for w in report.written)
    stand_ins = sum(w.source in ("stub", "alias") for w in report.written)
    lines = [
        f"{len(report.written)} files in {shown(report.out)} "
        f"({found} found, {len(report.from_protobuf)} from the protobuf "
        f"package, {stand_ins} stand-ins, "
        f"{_count(report.written, 'unchanged')} unchanged, "
        f"{_count(report.written, 'replaced')} replaced)"
    ]
    lines += _section(
        "conflicts, written under " + CONFLICTS,
        [f"{shown(c.path)}: {shown(c.reason)}" for c in report.conflicts],
    )
    lines += _section(
        "rejected names",
        [f"{shown(d.name)}: {shown(d.reason)}" for d in report.rejected],
    )
    lines += _section(
        "stand-ins for imports that no input holds",
        [_stand_in_line(s) for s in report.stand_ins],
    )
    lines += _section(
        "imports restored",
        [
            f"{shown(r.path)}: {', '.join(shown(i) for i in r.imports)}"
            for r in report.restored_imports
        ],
    )
    lines += _section(
        "missing imports (these files cannot compile as they stand)",
        [_missing_line(m) for m in report.missing_imports],
    )
    missing = {m.path for m in report.missing_imports}
    lines += _section(
        "do not compile back to the descriptor found",
        [
            f"{shown(u.path)}: {shown(u.reason)}"
            for u in report.cannot_compile
            if u.path not in missing
        ],
    )
    if report.skipped_implausible:
        lines.append(
            f"{len(report.skipped_implausible)} implausible descriptors left out "
            "(--all writes them)"
        )
    if report.descriptor_set is not None and report.descriptor_set.error is None:
        ds = report.descriptor_set
        left = f", {len(ds.left_out)} that do not build left out" if ds.left_out else ""
        lines.append(f"descriptor set {shown(ds.path)}: {ds.files} files{left}")
    lines.append(
        f"{report.inputs} inputs, {report.descriptors} descriptors "
        f"({len(report.duplicates)} found more than once), "
        f"{len(report.input_errors)} unreadable, {report.seconds:.2f} s"
    )
    return lines


def problem_lines(report: ExtractReport) -> list[str]:
    """What went wrong, one line an item, for standard error."""
    lines = [f"ravick: {shown(p.path)}: {p.reason}" for p in report.input_errors]
    lines += [
        f"ravick: {shown(p.path)}: skipped: {p.reason}"
        for p in report.skipped_inputs
        if p.reason != NOT_FOLLOWED
    ]
    lines += [f"ravick: {shown(p.path)}: {p.reason}" for p in report.input_notes]
    lines += [
        f"ravick: {shown(p.path)}: {shown(p.reason)}" for p in report.write_errors
    ]
    lines += [
        f"ravick: {shown(path)}: exists, not overwritten (--force replaces it)"
        for path in report.not_overwritten
    ]
    ds = report.descriptor_set
    if ds is not None and ds.error is not None:
        lines.append(f"ravick: {shown(ds.path)}: {ds.error}")
    return lines


def _missing_line(missing: MissingImports) -> str:
    similar = dict(missing.similar)
    imports = [
        shown(i) + (f" (found as {shown(similar[i])}?)" if i in similar else "")
        for i in missing.imports
    ]
    return f"{shown(missing.path)}: {', '.join(imports)}"


def _stand_in_line(stand_in: StandIn) -> str:
    users = ", ".join(shown(n) for n in stand_in.needed_by[:3])
    if len(stand_in.needed_by) > 3:
        users += f" and {len(stand_in.needed_by) - 3} more"
    if stand_in.target is not None:
        what = f"alias of {shown(stand_in.target)}"
    else:
        what = f"stub of {len(stand_in.defines)} names"
    return f"{shown(stand_in.path)}: {what}, for {users}"


def _count(written: Iterable[WrittenFile], status: WriteStatus) -> int:
    return sum(w.status == status for w in written)


def _section(title: str, items: list[str]) -> list[str]:
    if not items:
        return []
    return [f"{title} ({len(items)}):", *(f"  {item}" for item in items)]
