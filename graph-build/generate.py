"""Generates the embedded well-known-types scoring graph.

Reads the `google.protobuf` schemas compiled into the pinned `protobuf`
package (or those of a FileDescriptorSet given with --descriptor-set), builds
the scoring graph and writes it as a graph file (--bin) and as a C++ source
defining it as a constant array (--cpp).

The scanner is tuned and tested against one graph. Schemas that produce any
other totals are refused: the generator prints why and exits with status 1,
leaving no output file behind, instead of compiling a different graph in.
"""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__

import argparse
import os
import struct

import google.protobuf

import archive_writer
import graph_model
import schema_inputs
from schema_inputs import SchemaError

PINNED_PROTOBUF_VERSION = "7.34.1"

EXPECTED_TOTALS = {
    "file size": 8160,
    "version": 7,
    "root offset": 24,
    "archive size": 8136,
    "root position": 8080,
    "nodes": 72,
    "message nodes": 57,
    "scalar nodes": 7,
    "enum nodes": 8,
    "fields": 243,
    "type names": 61,
    "enum ranges": 8,
    "extension ranges": 3,
    "extension-range lists": 3,
    "key count": 72,
    "has extension ranges": 1,
}


def measure(graph, file_bytes):
    """The totals of a generated graph, read back from its bytes where the
    bytes carry them."""
    version, _, root_offset = struct.unpack_from("<IIQ", file_bytes, 8)
    archive_size = len(file_bytes) - root_offset
    root_position = archive_size - archive_writer.ROOT_SIZE
    root = root_offset + root_position
    counts = [struct.unpack_from("<I", file_bytes, root + at)[0]
              for at in (4, 12, 20, 28, 32, 40, 48)]
    kinds = [node.kind for node in graph.nodes]
    return {
        "file size": len(file_bytes),
        "version": version,
        "root offset": root_offset,
        "archive size": archive_size,
        "root position": root_position,
        "nodes": counts[0],
        "message nodes": kinds.count(graph_model.KIND_MESSAGE),
        "scalar nodes": sum(node.enum_index == graph_model.NO_INDEX and
                            node.kind != graph_model.KIND_MESSAGE
                            for node in graph.nodes),
        "enum nodes": sum(node.enum_index != graph_model.NO_INDEX
                          for node in graph.nodes),
        "fields": counts[1],
        "type names": counts[2],
        "enum ranges": counts[3],
        "key count": counts[4],
        "extension ranges": counts[5],
        "extension-range lists": counts[6],
        "has extension ranges": file_bytes[root + 52],
    }


def check_totals(measured):
    wrong = [f"{name} {measured[name]} (expected {expected})"
             for name, expected in EXPECTED_TOTALS.items()
             if measured[name] != expected]
    if wrong:
        raise SchemaError("the schemas give a different graph: " +
                          "; ".join(wrong))


def check_protobuf_version():
    found = google.protobuf.__version__
    if found != PINNED_PROTOBUF_VERSION:
        raise SchemaError(f"protobuf {PINNED_PROTOBUF_VERSION} is required "
                          f"for the schemas, found {found}")


def generate(descriptor_set=None):
    """The checked graph file, as bytes."""
    if descriptor_set is None:
        check_protobuf_version()
        files = schema_inputs.load_package_files()
    else:
        files = schema_inputs.load_descriptor_set(descriptor_set)
    graph = graph_model.build_graph(schema_inputs.collect_schema(files))
    file_bytes = archive_writer.encode_file(graph)
    check_totals(measure(graph, file_bytes))
    return file_bytes


def write_atomically(path, data):
    temporary = path + ".tmp"
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(temporary, mode) as handle:
        handle.write(data)
    os.replace(temporary, path)


def remove_outputs(paths):
    for path in paths:
        for stale in (path, path + ".tmp"):
            if os.path.exists(stale):
                os.remove(stale)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="graph file to write")
    parser.add_argument("--cpp", required=True, help="C++ source to write")
    parser.add_argument("--descriptor-set",
                        help="read the schemas from this FileDescriptorSet "
                        "instead of the installed protobuf package")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        file_bytes = generate(args.descriptor_set)
        write_atomically(args.bin, file_bytes)
        write_atomically(args.cpp, archive_writer.cpp_source(file_bytes))
    except (SchemaError, OSError) as error:
        remove_outputs((args.bin, args.cpp))
        print(f"generate.py: error: cannot build the well-known-types graph: "
              f"{error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
