"""The .proto source of file descriptors, printed natively."""

from collections.abc import Buffer, Callable, Sequence
from typing import Protocol

class _Assignment(Protocol):
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> tuple[str, ...]: ...

_Field = tuple[int, str, int, int, str, bool, bool]

def builtin_options(
    messages: Sequence[tuple[str, Sequence[_Field]]],
    enums: Sequence[tuple[str, Sequence[tuple[int, str]]]],
    /,
) -> object:
    """descriptor.proto's options fields and enums, for :func:`print_file`."""

def print_file(
    data: Buffer,
    render: Callable[[str, bytes], tuple[Sequence[_Assignment], str | None] | None],
    builtin: object = None,
    /,
) -> str | None:
    """The source of the FileDescriptorProto serialized as ``data`` (as the
    runtime serializes it), or None for a file left to the Python printer.
    ``render(type, options)`` gives each options message's assignments and
    the comment line of what it left out; with ``builtin``, options of
    descriptor.proto's fields alone are rendered natively."""
