"""Real serialized FileDescriptorProtos made by the protobuf package: the
well-known types and every file of the googleapis-common-protos collection."""

import importlib
import pathlib
import pkgutil

from google.protobuf import descriptor_pb2

WKT_MODULES = [
    "any_pb2", "api_pb2", "descriptor_pb2", "duration_pb2", "empty_pb2",
    "field_mask_pb2", "source_context_pb2", "struct_pb2", "timestamp_pb2",
    "type_pb2", "wrappers_pb2",
]


def wkt_descriptors() -> list[bytes]:
    return [
        importlib.import_module(f"google.protobuf.{m}").DESCRIPTOR.serialized_pb
        for m in WKT_MODULES
    ]


def googleapis_descriptors() -> list[bytes]:
    import google.api  # from googleapis-common-protos

    root = pathlib.Path(list(google.api.__path__)[0]).parent
    found = {}
    for pkg in ("api", "rpc", "type", "longrunning", "cloud", "logging"):
        base = root / pkg
        if not base.is_dir():
            continue
        for info in pkgutil.walk_packages([str(base)], prefix=f"google.{pkg}."):
            if not info.name.endswith("_pb2"):
                continue
            try:
                module = importlib.import_module(info.name)
            except Exception:  # a module needing an optional dependency
                continue
            fd = module.DESCRIPTOR
            found[fd.name] = fd.serialized_pb
    return [found[k] for k in sorted(found)]


def top_level_boundaries(blob: bytes) -> list[int]:
    """Offsets at which the top-level fields of a serialized message start,
    plus its length (the message is trusted: it comes from protobuf)."""

    def varint(p: int) -> tuple[int, int]:
        value = shift = 0
        while True:
            b = blob[p]
            value |= (b & 0x7F) << shift
            shift += 7
            p += 1
            if b < 0x80:
                return value, p

    out = []
    p = 0
    while p < len(blob):
        out.append(p)
        tag, p = varint(p)
        wire = tag & 7
        if wire == 0:
            _, p = varint(p)
        elif wire == 1:
            p += 8
        elif wire == 5:
            p += 4
        elif wire == 2:
            n, p = varint(p)
            p += n
        else:
            raise ValueError("groups do not occur in descriptors")
    out.append(len(blob))
    return out


def file_descriptor(name: str, **fields) -> bytes:
    return descriptor_pb2.FileDescriptorProto(name=name, **fields).SerializeToString()


def mutations(data: bytes, rng, count: int) -> list:
    """``count`` FileDescriptorProtos that parse, each ``data`` with one to
    eight random bytes changed."""
    from google.protobuf.message import DecodeError

    found = []
    while len(found) < count:
        raw = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            raw[rng.randrange(len(raw))] = rng.randrange(256)
        try:
            found.append(descriptor_pb2.FileDescriptorProto.FromString(bytes(raw)))
        except DecodeError:
            continue
    return found


def varint(n: int) -> bytes:
    """``n`` (not negative) as a protobuf varint."""
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes([*out, n])
