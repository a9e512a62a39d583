"""The ``ravick`` command: parses arguments and runs the command asked for
(:mod:`ravick.commands`), which calls the library and prints."""

from __future__ import annotations

import argparse
import os
import re
import sys
from collections.abc import Sequence
from typing import NoReturn

from ravick import __version__
from ravick.statuses import EXIT_INTERNAL, EXIT_USAGE

_SIZE = re.compile(r"(\d+)([KMGT]?)i?B?", re.IGNORECASE)
_UNITS = {"": 0, "K": 10, "M": 20, "G": 30, "T": 40}


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"ravick: error: {message}\n")


def parse_size(text: str) -> int:
    """A size such as 4096, 64K, 512M or 2G (powers of 1024)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}")
    return int(match.group(1)) << _UNITS[match.group(2).upper()]


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``ravick`` command."""
    parser = _Parser(
        prog="ravick",
        description="Find the protobuf schemas compiled into binaries.",
    )
    parser.add_argument("--version", action="version", version=f"ravick {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    scan = commands.add_parser(
        "scan",
        help="list the serialized descriptors in files and directories",
        description="List every serialized FileDescriptorProto in the inputs, "
        "plain or gzip-compressed. Directories are walked recursively; "
        "'-' reads standard input.",
    )
    _add_input_options(scan)
    output = scan.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="one JSON document")
    output.add_argument(
        "--jsonl", action="store_true", help="one JSON object a descriptor"
    )
    _add_extract_command(commands)
    return parser


def _add_extract_command(
    commands: argparse._SubParsersAction[_Parser],
) -> None:
    extract = commands.add_parser(
        "extract",
        help="write the descriptors found as a .proto source tree",
        description="Write every distinct descriptor found in the inputs as "
        ".proto source under OUT, with the imports the protobuf package "
        "supplies; versions of a name other than the first go under "
        "OUT/_conflicts/. Nothing is written outside OUT.",
    )
    _add_input_options(extract)
    extract.add_argument(
        "-o", "--out", required=True, metavar="OUT", help="output directory"
    )
    extract.add_argument(
        "--descriptor-set",
        metavar="FILE",
        help="also write a FileDescriptorSet of the tree's files, imports first",
    )
    extract.add_argument(
        "--all", action="store_true", help="write implausible descriptors too"
    )
    extract.add_argument(
        "--force", action="store_true", help="replace existing files under OUT"
    )
    extract.add_argument(
        "--no-stubs",
        action="store_true",
        help="write no stand-ins for missing imports and restore no imports",
    )
    extract.add_argument("--json", action="store_true", help="one JSON document")


def _add_input_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="file or directory")
    parser.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=None,
        help="worker processes (default: the number of cores)",
    )
    parser.add_argument(
        "--max-size",
        type=parse_size,
        default=None,
        metavar="SIZE",
        help="skip files larger than SIZE (e.g. 512M)",
    )
    parser.add_argument(
        "--no-progress", action="store_true", help="never show a progress display"
    )
    parser.add_argument(
        "--dask",
        type=_dask_address,
        default=None,
        metavar="ADDRESS",
        help="scan on the Dask cluster whose scheduler is at ADDRESS "
        "(host:port), whose workers must see the paths under the same names; "
        "'local' starts one of JOBS processes here",
    )


def _dask_address(text: str) -> str:
    # Dask's modules are imported only for --dask: they are slow to load.
    from ravick.distributed import INSTALL_HINT
    from ravick.distributed import available as dask_available

    if not dask_available():
        raise argparse.ArgumentTypeError(f"needs the dask extra: {INSTALL_HINT}")
    return text


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    args = build_parser().parse_args(argv)
    try:
        from ravick import commands

        if args.command == "extract":
            return commands.run_extract(args)
        return commands.run_scan(args)
    except KeyboardInterrupt:
        print("ravick: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (``ravick scan ... | head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as e:
        status = _cluster_status(e)
        if status is not None:
            print(f"ravick: {e}", file=sys.stderr)
            return status
        # Anything left is a bug of ours, not the input's.
        print(f"ravick: internal error: {e!r}", file=sys.stderr)
        return EXIT_INTERNAL


def _cluster_status(error: Exception) -> int | None:
    """The exit status for a cluster's error; None for any other error."""
    distributed = sys.modules.get("ravick.distributed")
    if distributed is None:  # no cluster was asked for
        return None
    if isinstance(error, distributed.ClusterUnavailable):
        return EXIT_USAGE
    if isinstance(error, distributed.ClusterError):
        return EXIT_INTERNAL
    return None


def entry_point() -> NoReturn:
    """The console script."""
    sys.exit(main())
