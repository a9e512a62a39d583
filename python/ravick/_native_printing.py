"""The native printer (``ravick._printer``) called for one file, and the
options it leaves to the Python renderer."""

from __future__ import annotations

from ravick import _printer
from ravick._options import Assignment, left_out_text, render_options
from ravick._source_forms import note_line
from ravick._symbols import FileProto, SymbolIndex, Symbols, native_builtin


def native_source(descriptor: FileProto, index: SymbolIndex) -> str | None:
    """:func:`proto_source_in` printed natively, or None for a file left to
    this module: one with comments or with anything to note. Options the
    native printer leaves (it would note them, or they need editions
    features, paths into custom options, floats) are rendered here."""
    return _printer.print_file(
        descriptor.SerializePartialToString(),
        _OptionsOf(descriptor, index),
        native_builtin(),
        index.native,
    )


class _OptionsOf:
    """Renders the options of one file for the native printer: as the file's
    own printing would, each options message's assignments and the note of
    what was left out."""

    __slots__ = ("_file", "_index", "_symbols")

    def __init__(self, file: FileProto, index: SymbolIndex) -> None:
        self._file = file
        self._index = index
        self._symbols: Symbols | None = None

    def __call__(
        self, message: str, data: bytes
    ) -> tuple[tuple[Assignment, ...], str | None]:
        rendered = self._index.renders.get((message, data))
        if rendered is None:
            if self._symbols is None:
                self._symbols = self._index.for_file(self._file)
            rendered = render_options(message, data, self._symbols)
        if not rendered.left_out:
            return rendered.assignments, None
        return rendered.assignments, note_line(left_out_text(rendered.left_out))
