"""Services and their methods as ``.proto`` source."""

from __future__ import annotations

from typing import Protocol

from google.protobuf import descriptor_pb2

from ravick._source_forms import ServiceProto, WithOptions, Writer
from ravick._text import is_dotted_name, is_identifier

_SERVICE_METHOD = 2


class FilePrinter(Protocol):
    """What printing a service needs of the file's printer."""

    out: Writer

    def leading(self, path: tuple[int, ...]) -> None: ...

    def trailing(self, path: tuple[int, ...]) -> None: ...

    def print_option_statements(
        self, options_type: str, owner: WithOptions, path: tuple[int, ...]
    ) -> None: ...


def print_service(
    printer: FilePrinter, service: ServiceProto, path: tuple[int, ...]
) -> None:
    """Prints ``service``, its options and its methods, or a note in its place."""
    out = printer.out
    if not is_identifier(service.name):
        out.note(f"service {service.name!r} left out: not an identifier")
        return
    printer.leading(path)
    out.add(f"service {service.name} {{")
    out.depth += 1
    printer.trailing(path)
    printer.print_option_statements(
        "google.protobuf.ServiceOptions", service, (*path, 3)
    )
    for k, method in enumerate(service.method):
        _print_method(printer, method, (*path, _SERVICE_METHOD, k))
    out.depth -= 1
    out.add("}")
    out.add("")


def _print_method(
    printer: FilePrinter,
    method: descriptor_pb2.MethodDescriptorProto,
    path: tuple[int, ...],
) -> None:
    out = printer.out
    types = (method.input_type, method.output_type)
    if not is_identifier(method.name) or not all(map(is_dotted_name, types)):
        out.note(f"method {method.name!r} left out: not printable names")
        return
    printer.leading(path)
    request = ("stream " if method.client_streaming else "") + method.input_type
    response = ("stream " if method.server_streaming else "") + method.output_type
    head = f"rpc {method.name}({request}) returns ({response})"
    if not method.HasField("options"):
        out.add(head + ";")
        printer.trailing(path)
        return
    if not method.options.SerializePartialToString():
        out.add(head + " {}")  # keeps the empty options protoc made of {}
        return
    out.add(head + " {")
    out.depth += 1
    printer.print_option_statements("google.protobuf.MethodOptions", method, (*path, 4))
    out.depth -= 1
    out.add("}")
