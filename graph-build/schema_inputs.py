"""Reads the protobuf schemas the embedded graph is built from.

The schemas come from the descriptors compiled into the pinned `protobuf`
Python package (or, for testing and for other schema revisions, from a
serialized FileDescriptorSet). Everything downstream works on plain
`FileDescriptorProto` messages.
"""

import importlib
from dataclasses import dataclass

from google.protobuf import descriptor_pb2

# Generated modules of the `protobuf` package whose schema files are inputs.
INPUT_MODULES = (
    "any_pb2",
    "api_pb2",
    "descriptor_pb2",
    "duration_pb2",
    "empty_pb2",
    "field_mask_pb2",
    "source_context_pb2",
    "struct_pb2",
    "timestamp_pb2",
    "type_pb2",
    "wrappers_pb2",
)


class SchemaError(Exception):
    """The schema inputs cannot be turned into a graph."""


@dataclass(frozen=True)
class MessageInfo:
    full_name: str  # without a leading dot
    proto: descriptor_pb2.DescriptorProto
    syntax: str  # "proto2" or "proto3"


@dataclass(frozen=True)
class EnumInfo:
    full_name: str
    values: tuple  # declared numbers
    syntax: str


@dataclass(frozen=True)
class SchemaSet:
    files: tuple  # FileDescriptorProto in dependency order
    messages: dict  # full name -> MessageInfo
    enums: dict  # full name -> EnumInfo
    type_names: tuple  # message full names in table order


def load_package_files():
    """The input schema files as compiled into the `protobuf` package."""
    files = []
    for module_name in INPUT_MODULES:
        module = importlib.import_module("google.protobuf." + module_name)
        files.append(
            descriptor_pb2.FileDescriptorProto.FromString(
                module.DESCRIPTOR.serialized_pb))
    return files


def load_descriptor_set(path):
    """The schema files of a serialized FileDescriptorSet."""
    with open(path, "rb") as handle:
        fds = descriptor_pb2.FileDescriptorSet.FromString(handle.read())
    return list(fds.file)


def file_syntax(file_proto):
    syntax = file_proto.syntax or "proto2"
    if syntax not in ("proto2", "proto3"):
        raise SchemaError(f"{file_proto.name}: unsupported syntax {syntax!r}")
    return syntax


def order_files(files):
    """Files in alphabetical order of their names, each preceded by its
    imports (recursively, in import-statement order), each file once."""
    by_name = {}
    for file_proto in files:
        if file_proto.name in by_name:
            raise SchemaError(f"schema file {file_proto.name} given twice")
        by_name[file_proto.name] = file_proto
    ordered, placed, visiting = [], set(), []

    def place(name):
        if name in placed:
            return
        if name in visiting:
            raise SchemaError(f"import cycle through {name}")
        if name not in by_name:
            raise SchemaError(
                f"{visiting[-1]} imports {name}, which is not an input")
        visiting.append(name)
        for dependency in by_name[name].dependency:
            place(dependency)
        visiting.pop()
        placed.add(name)
        ordered.append(by_name[name])

    for name in sorted(by_name, key=str.encode):
        place(name)
    return ordered


def _collect_enums(enum_protos, scope, syntax, enums):
    for enum_proto in enum_protos:
        full_name = f"{scope}.{enum_proto.name}" if scope else enum_proto.name
        if not enum_proto.value:
            raise SchemaError(f"enum {full_name} declares no values")
        enums[full_name] = EnumInfo(
            full_name, tuple(v.number for v in enum_proto.value), syntax)


def _collect_messages(message_protos, scope, syntax, messages, enums, names):
    for message in message_protos:
        full_name = f"{scope}.{message.name}" if scope else message.name
        if full_name in messages:
            raise SchemaError(f"message {full_name} defined twice")
        messages[full_name] = MessageInfo(full_name, message, syntax)
        names.append(full_name)
        _collect_enums(message.enum_type, full_name, syntax, enums)
        _collect_messages(message.nested_type, full_name, syntax, messages,
                          enums, names)


def collect_schema(files):
    """Every message (nested and map-entry types included) and every enum of
    the files, and the type-name table order: by file, and within a file by
    the byte order of the full names."""
    ordered = tuple(order_files(files))
    messages, enums, type_names = {}, {}, []
    for file_proto in ordered:
        syntax = file_syntax(file_proto)
        file_names = []
        _collect_enums(file_proto.enum_type, file_proto.package, syntax, enums)
        _collect_messages(file_proto.message_type, file_proto.package, syntax,
                          messages, enums, file_names)
        type_names.extend(sorted(file_names, key=str.encode))
    return SchemaSet(ordered, messages, enums, tuple(type_names))
