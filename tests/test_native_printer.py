"""The native printer (``ravick._printer``) against the Python printer whose
output it must reproduce byte for byte, and what it leaves to it."""

from __future__ import annotations

import random

import pytest
from google.protobuf import (
    any_pb2,
    api_pb2,
    descriptor_pb2,
    struct_pb2,
    text_format,
    type_pb2,
)

from descriptors import mutations, varint
from ravick import _printer
from ravick._native_printing import _OptionsOf, native_source
from ravick._symbols import SymbolIndex, native_builtin
from ravick.printing import proto_source_in, python_source_in

FileProto = descriptor_pb2.FileDescriptorProto
MODULES = (descriptor_pb2, struct_pb2, type_pb2, api_pb2, any_pb2)


def _file(text: str) -> FileProto:
    return text_format.Parse(text, FileProto())


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_mutated_descriptors_print_natively_as_in_python(
    module: object, rng: random.Random
) -> None:
    """Hostile descriptors: wherever the native printer prints, it prints
    what the Python printer prints."""
    printed = 0
    for file in mutations(module.DESCRIPTOR.serialized_pb, rng, 600):  # type: ignore[attr-defined]
        index = SymbolIndex((file,))
        text = native_source(file, index)
        if text is None:
            continue
        printed += 1
        assert text == python_source_in(file, index)
    assert printed > 50


OPTIONS = [
    # Scalars, enums and strings of descriptor.proto's own options.
    'options { java_package: "a.b" java_multiple_files: true optimize_for: LITE_RUNTIME '
    'go_package: "x/\\"y\\"\\n" cc_enable_arenas: false }',
    'options { deprecated: true ruby_package: "\\001\\t" }',
    # A repeated enum (unpacked in proto2) and an aggregate of a repeated message.
    'message_type { name: "M" field { name: "f" number: 1 type: TYPE_INT32 '
    "label: LABEL_OPTIONAL options { targets: TARGET_TYPE_FILE targets: "
    'TARGET_TYPE_FIELD edition_defaults { edition: EDITION_2023 value: "true" } '
    "retention: RETENTION_SOURCE ctype: CORD packed: false jstype: JS_STRING } } }",
    # Features, assigned field by field, and an empty sub-message.
    'syntax: "editions" edition: EDITION_2023 options { features { field_presence: '
    'IMPLICIT enum_type: CLOSED } } message_type { name: "M" options { features {} } }',
]


@pytest.mark.parametrize("text", OPTIONS)
def test_options_render_natively_as_in_python(text: str) -> None:
    file = _file('name: "o.proto" ' + text)
    index = SymbolIndex((file,))
    assert native_source(file, index) == python_source_in(file, index)


def test_options_of_unknown_numbers_keep_the_python_note() -> None:
    file = _file('name: "o.proto" message_type { name: "M" }')
    file.options.MergeFromString(b"\xa8\x1f\x05")  # field 501: no definition
    index = SymbolIndex((file,))
    text = native_source(file, index)
    assert text is not None and "// ravick: options left out" in text
    assert text == python_source_in(file, index)


DECLINED = {
    "comments": 'source_code_info { location { path: 4 path: 0 leading_comments: " c" } } '
    'message_type { name: "M" }',
    "a message that is no identifier": 'message_type { name: "M-1" }',
    "an unknown syntax": 'syntax: "proto4"',
    "a package with a leading dot": 'package: ".p"',
    "an edition without source form": 'syntax: "editions" edition: EDITION_PROTO2',
    "a default that is no literal": 'message_type { name: "M" field { name: "f" number: 1 '
    'type: TYPE_INT32 label: LABEL_OPTIONAL default_value: "x" } }',
    "a json_name on an extension": 'extension { name: "e" number: 5 type: TYPE_INT32 '
    'label: LABEL_OPTIONAL extendee: ".M" json_name: "E" } message_type { name: "M" '
    "extension_range { start: 1 end: 9 } }",
    "a oneof without fields": 'message_type { name: "M" oneof_decl { name: "o" } }',
    "a renamed synthetic oneof": 'syntax: "proto3" message_type { name: "M" field { '
    'name: "f" number: 1 type: TYPE_INT32 label: LABEL_OPTIONAL oneof_index: 0 '
    'proto3_optional: true } oneof_decl { name: "mine" } }',
    "a group not named after its type": 'message_type { name: "M" field { name: "g" '
    'number: 1 type: TYPE_GROUP label: LABEL_OPTIONAL type_name: ".M.Other" } '
    'nested_type { name: "Other" } }',
    "an import past ASCII": 'dependency: "\\303\\251.proto"',
    "a method of no type name": 'service { name: "S" method { name: "m" input_type: "" '
    'output_type: ".M" } }',
}


@pytest.mark.parametrize("text", DECLINED.values(), ids=DECLINED.keys())
def test_what_the_native_printer_declines_the_python_one_prints(text: str) -> None:
    file = _file('name: "d.proto" ' + text)
    index = SymbolIndex((file,))
    assert native_source(file, index) is None
    assert proto_source_in(file, index) == python_source_in(file, index)


def test_the_render_callable_is_called_as_documented() -> None:
    file = _file('name: "c.proto" options { java_package: "p" }')
    data = file.SerializePartialToString()
    calls: list[tuple[str, bytes]] = []

    def render(message: str, options: bytes) -> None:
        calls.append((message, options))
        return None

    # Without the builtin tables every option goes to the callable, and a
    # None from it declines the file.
    assert _printer.print_file(data, render) is None
    assert calls == [("google.protobuf.FileOptions", file.options.SerializeToString())]
    assert _printer.print_file(data, render, native_builtin()) is not None

    def fails(message: str, options: bytes) -> None:
        raise KeyError("from the callable")

    with pytest.raises(KeyError, match="from the callable"):
        _printer.print_file(data, fails)
    with pytest.raises(AttributeError):
        _printer.print_file(data, lambda m, o: ((object(),), None))
    # Text without a UTF-8 form declines the file.
    assert _printer.print_file(data, lambda m, o: ((), "\udc80")) is None


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((b"", None), TypeError),
        ((b"",), TypeError),
        (("text", _OptionsOf), TypeError),
        ((b"", lambda m, o: None, object()), TypeError),
    ],
)
def test_bad_arguments_raise(args: tuple[object, ...], error: type[Exception]) -> None:
    with pytest.raises(error):
        _printer.print_file(*args)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "data",
    [b"\x0a", b"\x22\x05\x0a\x01M", b"\x22" + b"\xff" * 11, b"\x00\x00"],
)
def test_malformed_bytes_are_declined(data: bytes) -> None:
    assert _printer.print_file(data, lambda m, o: None, native_builtin()) is None


def test_deep_nesting_is_declined_not_a_crash() -> None:
    data = b""
    for _ in range(2000):
        data = b"\x0a\x01M" + b"\x1a" + varint(len(data)) + data
    assert (
        _printer.print_file(b"\x22" + varint(len(data)) + data, lambda m, o: None)
        is None
    )
