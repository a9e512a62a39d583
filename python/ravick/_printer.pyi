"""The .proto source of file descriptors, printed natively."""

from collections.abc import Buffer, Callable, Sequence
from typing import Literal, Protocol

class _Assignment(Protocol):
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> tuple[str, ...]: ...

def index(files: Sequence[Buffer], /) -> object:
    """The names that the serialized files define, for :func:`print_file`;
    ValueError for malformed bytes."""

def file_facts(
    data: Buffer, builtin: object, /
) -> (
    tuple[
        list[str],
        list[str],
        list[tuple[str, int]],
        list[tuple[str, int, list[int], bool]],
        list[tuple[str, Literal["message", "enum", "extendee"], str]],
    ]
    | None
):
    """What the serialized file defines, which custom options it sets and
    which types it names: (names, packages, extension numbers, option uses,
    references), or None."""

def replacing(base: object, file: Buffer, /) -> object:
    """``base`` with the serialized ``file`` in place of the files of its
    name (its definitions first), reading ``base``; ValueError for malformed
    bytes."""

def print_file(
    data: Buffer,
    render: Callable[[str, bytes], tuple[Sequence[_Assignment], str | None] | None],
    builtin: object = None,
    files: object = None,
    /,
) -> str | None:
    """The source of the FileDescriptorProto serialized as ``data`` (as the
    runtime serializes it), or None for a file left to the Python printer.
    ``render(type, options)`` gives each options message's assignments and
    the comment line of what it left out. With ``builtin`` (the index of
    descriptor.proto) options are rendered natively where they can be, custom
    options with ``files`` (the index of the run's files)."""
