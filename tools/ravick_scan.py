"""Scan files for embedded FileDescriptorProto messages and list them.

Usage: python tools/ravick_scan.py FILE [FILE ...]

For each range that ravick_lib.scan reports, prints the file, the byte range
and the .proto file name; with the protobuf package installed it also prints
the package and the counts of messages, enums and services.
"""

import sys

import ravick_lib

try:
    from google.protobuf import descriptor_pb2
except ImportError:  # the listing works without protobuf, with less detail
    descriptor_pb2 = None


def describe(blob: bytes) -> str:
    if descriptor_pb2 is None:
        return ""
    fd = descriptor_pb2.FileDescriptorProto.FromString(blob)
    return (
        f"{fd.name}  package={fd.package or '-'} messages={len(fd.message_type)} "
        f"enums={len(fd.enum_type)} services={len(fd.service)}"
    )


def main(paths: list[str]) -> int:
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    total = 0
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        ranges = ravick_lib.scan(data)
        total += len(ranges)
        for start, end in ranges:
            print(f"{path}\t{start:#x}-{end:#x}\t{end - start}\t{describe(data[start:end])}")
        print(f"{path}: {len(ranges)} descriptors in {len(data)} bytes", file=sys.stderr)
    return 0 if total else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
