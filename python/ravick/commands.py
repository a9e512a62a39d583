"""The commands: each runs the library over the parsed arguments and prints
what it found."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from contextlib import AbstractContextManager, nullcontext
from typing import TYPE_CHECKING

from ravick.display import TerminalProgress
from ravick.inputs import STDIN, scanned_in_paths
from ravick.json_text import FoundText, Output, write_document, write_jsonl
from ravick.plain_output import as_output
from ravick.reporting import (
    Summary,
    implausible_part,
    note_lines,
    problem_line,
    write_json,
    write_listing,
)
from ravick.statuses import EXIT_UNREADABLE

if TYPE_CHECKING:
    from concurrent.futures import Executor


def _executor(args: argparse.Namespace) -> AbstractContextManager[Executor | None]:
    if args.dask is None:
        return nullcontext()
    from ravick.distributed import ClusterUnavailable, dask_executor

    if STDIN in args.paths:
        raise ClusterUnavailable("standard input cannot be scanned with --dask")
    return dask_executor(args.dask, workers=args.jobs)


def _progress(args: argparse.Namespace) -> TerminalProgress | None:
    if args.no_progress or not TerminalProgress.wanted():
        return None
    return TerminalProgress()


def _reports(args: argparse.Namespace) -> Iterator[Output]:
    with _executor(args) as executor:
        for scanned in scanned_in_paths(
            args.paths,
            workers=args.jobs,
            progress=_progress(args),
            max_size=args.max_size,
            executor=executor,
        ):
            for line in [problem_line(scanned), *note_lines(scanned)]:
                if line is not None:
                    print(line, file=sys.stderr, flush=True)
            yield as_output(scanned)


def run_scan(args: argparse.Namespace) -> int:
    """``ravick scan``: prints the listing, the JSON document or JSON Lines."""
    summary = Summary()
    if args.json:
        write_document(_reports(args), summary, sys.stdout)
        return summary.exit_status
    if args.jsonl:
        texts = FoundText()
        for report in _reports(args):
            summary.add(report)
            write_jsonl(report, texts, sys.stdout)
            sys.stdout.flush()
        return summary.exit_status
    doubtful: list[Output] = []
    for report in _reports(args):
        summary.add(report)
        write_listing(report, True, sys.stdout)
        part = implausible_part(report)
        if part is not None:
            doubtful.append(part)
        sys.stdout.flush()
    if doubtful:
        print(f"\nimplausible, not compiler output ({summary.implausible}):")
        for report in doubtful:
            write_listing(report, False, sys.stdout)
    print(summary.human())
    return summary.exit_status


def run_extract(args: argparse.Namespace) -> int:
    """``ravick extract``: writes the tree, prints the summary or JSON."""
    # Loaded here, so that scanning never pays for the printer.
    from ravick.extracting import extract, problem_lines, report_json, summary_lines
    from ravick.safe_output import OutputError

    try:
        with _executor(args) as executor:
            report = extract(
                args.paths,
                args.out,
                descriptor_set=args.descriptor_set,
                include_implausible=args.all,
                force=args.force,
                stubs=not args.no_stubs,
                workers=args.jobs,
                progress=_progress(args),
                max_size=args.max_size,
                executor=executor,
            )
    except OutputError as e:
        print(f"ravick: {e}", file=sys.stderr)
        return EXIT_UNREADABLE
    for line in problem_lines(report):
        print(line, file=sys.stderr)
    if args.json:
        write_json(report_json(report), sys.stdout)
    else:
        print("\n".join(summary_lines(report)))
    return report.exit_status
