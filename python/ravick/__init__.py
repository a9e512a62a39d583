"""ravick: recover the protobuf schemas compiled into binaries.

Programs, libraries, firmware and memory dumps built with protobuf carry
their schemas as serialized ``google.protobuf.FileDescriptorProto``
messages, plain or (Go programs) gzip-compressed. ravick finds them exactly.

>>> import ravick
>>> for found in ravick.find(open("libsomething.so", "rb").read()):
...     print(hex(found.start), found.name, found.package)

:func:`find` scans one buffer; :func:`find_in_paths` scans files and
directories, in parallel, reporting each file in path order.
:func:`proto_source` prints a descriptor as ``.proto`` source that protoc
compiles back to the same descriptor, and :func:`extract` writes everything
found as a source tree and a descriptor set. The ``ravick`` command does the
same from the shell.
"""

try:
    # Written into the wheel by the build from the project's version.
    from ravick._version import __version__
except ImportError:  # running from a source tree
    from importlib.metadata import PackageNotFoundError, version

    try:
        __version__ = version("ravick")
    except PackageNotFoundError:
        __version__ = "0+unknown"

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ravick.extracting import ExtractReport, extract
    from ravick.finding import Found, find
    from ravick.inputs import (
        FileReport,
        Progress,
        ScannedFile,
        find_in_paths,
        scanned_in_paths,
    )
    from ravick.printing import proto_source, proto_sources

_LAZY = {
    "Found": "ravick.finding",
    "find": "ravick.finding",
    "FileReport": "ravick.inputs",
    "Progress": "ravick.inputs",
    "find_in_paths": "ravick.inputs",
    "ScannedFile": "ravick.inputs",
    "scanned_in_paths": "ravick.inputs",
    "extract": "ravick.extracting",
    "ExtractReport": "ravick.extracting",
    "proto_source": "ravick.printing",
    "proto_sources": "ravick.printing",
}

__all__ = [
    "ExtractReport",
    "FileReport",
    "Found",
    "Progress",
    "ScannedFile",
    "__version__",
    "extract",
    "find",
    "find_in_paths",
    "proto_source",
    "proto_sources",
    "scanned_in_paths",
]


def __getattr__(name: str) -> object:
    # Each part loads on first use: the command's parser and --version need
    # none of them, and scanning never pays for the printer or the extractor.
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(_LAZY[name]), name)
    raise AttributeError(f"module 'ravick' has no attribute {name!r}")
