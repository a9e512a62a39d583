"""Compile ``.proto`` text with a real protoc and compare the descriptors.

protoc comes from grpcio-tools in its own virtual environment, because that
package needs a newer protobuf than the build pins: the interpreter is
``$RAVICK_PROTOC_PYTHON``, by default ``<repo>/.venv-protoc/bin/python``, run
as ``python -m grpc_tools.protoc``. Every compile passes ``--retain_options``,
so no option is stripped on either side of a comparison, and
``--experimental_editions``, which only lets the edition in development in.

A printed file round-trips when protoc, compiling it, gives back the original
descriptor byte for byte (deterministic serialization, custom options in their
wire order) after this normalisation of both sides, and nothing else:

* ``source_code_info`` is cleared (printing moves every line);
* a field or extension without ``json_name`` gets the one protoc derives from
  its name (protoc fills it in on every field; descriptors compiled into
  programs carry it only where the source set it);
* ``syntax = "proto2"`` is cleared (protoc leaves it unset for proto2 files).
"""

from __future__ import annotations

import difflib
import os
import re
import subprocess
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from functools import cache
from pathlib import Path

from google.protobuf import descriptor_pb2, text_format

from ravick.printing import proto_source

REPO = Path(__file__).resolve().parent.parent
FileProto = descriptor_pb2.FileDescriptorProto
FieldProto = descriptor_pb2.FieldDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto


NO_PROTOC = (
    "no protoc: set RAVICK_PROTOC_PYTHON to a Python with grpcio-tools, "
    "or create .venv-protoc (python3 -m venv .venv-protoc && "
    ".venv-protoc/bin/pip install grpcio-tools==1.85.4)"
)


@cache
def protoc_python() -> Path | None:
    """The interpreter that runs grpc_tools.protoc, if it is installed."""
    python = Path(
        os.environ.get("RAVICK_PROTOC_PYTHON", REPO / ".venv-protoc" / "bin" / "python")
    )
    if not python.exists():
        return None
    probe = subprocess.run(
        [str(python), "-c", "import grpc_tools.protoc"], capture_output=True
    )
    return python if probe.returncode == 0 else None


@cache
def protoc_include() -> Path:
    """grpc_tools' own include directory: descriptor.proto and the well-known types."""
    python = protoc_python()
    if python is None:
        raise RuntimeError(NO_PROTOC)
    out = subprocess.run(
        [
            str(python),
            "-c",
            "import grpc_tools, os; "
            "print(os.path.join(os.path.dirname(grpc_tools.__file__), '_proto'))",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    return Path(out.stdout.strip())


@dataclass(frozen=True)
class Compiled:
    """What one protoc run gave: the files by name, or its error text."""

    files: dict[str, FileProto]
    error: str


def compile_protos(
    files: Sequence[str], includes: Sequence[Path], *, source_info: bool = False
) -> Compiled:
    """Compiles ``files`` (names relative to ``includes``) in one protoc run."""
    python = protoc_python()
    if python is None:
        raise RuntimeError(NO_PROTOC)
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "set.pb"
        args = [str(python), "-m", "grpc_tools.protoc"]
        args += [f"-I{d}" for d in [*includes, protoc_include()]]
        args += ["--include_imports", "--retain_options", "--experimental_editions"]
        args.append(f"--descriptor_set_out={out}")
        if source_info:
            args.append("--include_source_info")
        run = subprocess.run([*args, *files], capture_output=True, text=True)
        if run.returncode != 0:
            return Compiled({}, _errors(run.stderr) or f"protoc exit {run.returncode}")
        fds = descriptor_pb2.FileDescriptorSet.FromString(out.read_bytes())
    return Compiled({f.name: f for f in fds.file}, "")


def _errors(stderr: str) -> str:
    """protoc's error lines, without the logging library's warnings."""
    lines = stderr.strip().splitlines()
    return "\n".join(
        line
        for line in lines
        if not line.startswith("WARNING: All log messages")
        and not re.match(r"[WI]\d{4} ", line)
    )


def compile_each(
    files: Sequence[str], includes: Sequence[Path]
) -> tuple[dict[str, FileProto], dict[str, str]]:
    """Compiles ``files`` in as few protoc runs as :func:`compile_batches`.

    Returns the compiled files (imports included) and the error of each input
    that does not compile.
    """
    batches, failed = compile_batches(files, includes)
    good: dict[str, FileProto] = {}
    for _, compiled in batches:
        good.update(compiled)
    return good, failed


def compile_batches(
    files: Sequence[str], includes: Sequence[Path]
) -> tuple[list[tuple[list[str], dict[str, FileProto]]], dict[str, str]]:
    """Compiles ``files`` in one run or, if that fails, in halves until each
    input that does not compile stands alone.

    Returns the inputs of each successful run with what it compiled (imports
    included), and the
    error of each input that does not compile. Files that conflict with one
    another (the same names defined twice) end up in different runs.
    """
    batches: list[tuple[list[str], dict[str, FileProto]]] = []
    failed: dict[str, str] = {}
    pending = [list(files)] if files else []
    while pending:
        batch = pending.pop()
        run = compile_protos(batch, includes)
        if not run.error:
            batches.append((batch, run.files))
        elif len(batch) == 1:
            failed[batch[0]] = run.error
        else:
            half = len(batch) // 2
            pending += [batch[half:], batch[:half]]
    return batches, failed


def normalised(file: FileProto) -> bytes:
    """``file`` serialized deterministically after the documented normalisation."""
    copy = FileProto()
    copy.CopyFrom(file)
    copy.ClearField("source_code_info")
    if copy.syntax == "proto2":
        copy.ClearField("syntax")
    for proto in _all_fields(copy):
        if not proto.HasField("json_name"):
            proto.json_name = _json_name(proto.name)
    return copy.SerializeToString(deterministic=True)


def _all_fields(file: FileProto) -> Iterator[FieldProto]:
    yield from file.extension
    stack: list[MessageProto] = list(file.message_type)
    while stack:
        message = stack.pop()
        yield from message.field
        yield from message.extension
        stack.extend(message.nested_type)


def _json_name(name: str) -> str:
    parts = name.split("_")
    return parts[0] + "".join(p[:1].upper() + p[1:] for p in parts[1:])


@dataclass(frozen=True)
class RoundTrip:
    """The outcome for one file: identical, or why not."""

    name: str
    identical: bool
    problem: str = ""


def round_trip(
    files: Sequence[FileProto],
    context: Iterable[FileProto] = (),
    includes: Sequence[Path] = (),
) -> list[RoundTrip]:
    """Prints ``files``, compiles all the printed text in one protoc run
    (falling back to one run a file on errors) and compares each with its
    original. ``context`` goes to the printer with the other ``files``;
    imports that are not among ``files`` come from ``includes``."""
    context = list(context)
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        names = []
        for file in files:
            others = [f for f in files if f is not file]
            text = proto_source(file, [*others, *context])
            path = root / file.name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8", errors="surrogatepass")
            names.append(file.name)
        compiled, failed = compile_each(names, [root, *includes])
        texts = {name: (root / name).read_text(errors="replace") for name in names}
    return [_compare(f, compiled, failed, texts[f.name]) for f in files]


def _compare(
    original: FileProto,
    compiled: dict[str, FileProto],
    failed: dict[str, str],
    text: str,
) -> RoundTrip:
    name = original.name
    if name in failed:
        return RoundTrip(name, False, f"protoc: {failed[name]}\n--- printed:\n{text}")
    again = compiled.get(name)
    if again is None:
        return RoundTrip(name, False, "protoc gave no descriptor")
    if normalised(original) == normalised(again):
        return RoundTrip(name, True)
    return RoundTrip(name, False, describe_difference(original, again))


def describe_difference(original: FileProto, again: FileProto) -> str:
    """A short unified diff of the two descriptors in text format."""
    left, right = FileProto(), FileProto()
    left.ParseFromString(normalised(original))
    right.ParseFromString(normalised(again))
    a = text_format.MessageToString(left).splitlines()
    b = text_format.MessageToString(right).splitlines()
    diff = list(difflib.unified_diff(a, b, "original", "printed", lineterm="", n=2))
    if not diff:
        return "same text format, different bytes (field order on the wire)"
    return "\n".join(diff[:60])
