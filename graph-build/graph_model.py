"""Turns a collected schema set into scoring-graph records.

Each field value maps to a value shape (a scalar kind, a closed-enum range
or a message); message types with equal shapes share one node; nodes get
their keys; field runs, enum ranges and extension-range lists are laid out.
The result is plain records, encoded to bytes by `archive_writer`.
"""

from dataclasses import dataclass

from google.protobuf import descriptor_pb2

from schema_inputs import SchemaError

FDP = descriptor_pb2.FieldDescriptorProto

# NodeKind codes; a code equals the wire type where one exists.
KIND_VARINT = 0
KIND_I64 = 1
KIND_LEN = 2
KIND_I32 = 5
KIND_UINT32 = 8
KIND_INT32 = 9
KIND_MESSAGE = 10

WIRE_TYPE_OF_KIND = {
    KIND_VARINT: 0,
    KIND_UINT32: 0,
    KIND_INT32: 0,
    KIND_I64: 1,
    KIND_LEN: 2,
    KIND_MESSAGE: 2,
    KIND_I32: 5,
}

OPTIONAL, REQUIRED, REPEATED = 0, 1, 2
CARDINALITY_OF_LABEL = {
    FDP.LABEL_OPTIONAL: OPTIONAL,
    FDP.LABEL_REQUIRED: REQUIRED,
    FDP.LABEL_REPEATED: REPEATED,
}

NO_INDEX = 0xFFFF
# Extension ranges declared up to "max" end at the largest field number.
MAX_FIELD_NUMBER = (1 << 29) - 1

# The walk opens every field whose target is key 0 as an Any payload, so this
# type owns key 0 alone and never shares its node with another type.
ANY_TYPE_NAME = "google.protobuf.Any"


@dataclass(frozen=True)
class Scalar:
    kind: int
    utf8: int = 0


@dataclass(frozen=True)
class EnumShape:
    """A VARINT value accepted from `min` to `max`: closed enums and bool."""
    min: int
    max: int


@dataclass(frozen=True)
class MessageRef:
    full_name: str


VARINT = Scalar(KIND_VARINT)
UINT32 = Scalar(KIND_UINT32)
INT32 = Scalar(KIND_INT32)
I64 = Scalar(KIND_I64)
BYTES = Scalar(KIND_LEN)
STRING = Scalar(KIND_LEN, utf8=1)
I32 = Scalar(KIND_I32)
BOOL = EnumShape(0, 1)

# Scalar nodes follow the message nodes in this order.
SCALAR_ORDER = (VARINT, UINT32, INT32, I64, BYTES, STRING, I32)

# Value shape of each non-enum, non-message field type. sint32 is a zigzag
# value of 32 bits, so it gets the 32-bit unsigned test; the fixed-width
# types only need their wire type.
SCALAR_OF_TYPE = {
    FDP.TYPE_DOUBLE: I64,
    FDP.TYPE_FIXED64: I64,
    FDP.TYPE_SFIXED64: I64,
    FDP.TYPE_FLOAT: I32,
    FDP.TYPE_FIXED32: I32,
    FDP.TYPE_SFIXED32: I32,
    FDP.TYPE_INT64: VARINT,
    FDP.TYPE_UINT64: VARINT,
    FDP.TYPE_SINT64: VARINT,
    FDP.TYPE_INT32: INT32,
    FDP.TYPE_UINT32: UINT32,
    FDP.TYPE_SINT32: UINT32,
    FDP.TYPE_BOOL: BOOL,
    FDP.TYPE_STRING: STRING,
    FDP.TYPE_BYTES: BYTES,
}


@dataclass(frozen=True)
class Edge:
    """A field before keys exist: its value is a shape, not a key."""
    number: int
    cardinality: int
    wire_type: int
    packed: int
    value: object  # Scalar, EnumShape or MessageRef


@dataclass(frozen=True)
class FieldEdge:
    owner: int
    number: int
    cardinality: int
    wire_type: int
    packed: int
    target: int


@dataclass(frozen=True)
class TypeNode:
    key: int
    kind: int
    utf8: int
    enum_index: int
    ext_list: int
    first_field: int
    field_count: int


@dataclass(frozen=True)
class Graph:
    nodes: tuple  # TypeNode by key
    fields: tuple  # FieldEdge
    type_names: tuple  # (name, key)
    enum_ranges: tuple  # (min, max)
    ext_ranges: tuple  # (start, end), inclusive
    ext_range_lists: tuple  # (first, count)
    has_ext_ranges: int


def strip_dots(name):
    return name.lstrip(".")


def value_shape(field, schema):
    if field.type == FDP.TYPE_MESSAGE:
        target = strip_dots(field.type_name)
        if target not in schema.messages:
            raise SchemaError(f"field {field.name} refers to {target}, "
                              "which is not an input message")
        return MessageRef(target)
    if field.type == FDP.TYPE_ENUM:
        enum = schema.enums.get(strip_dots(field.type_name))
        if enum is None:
            raise SchemaError(f"field {field.name} refers to enum "
                              f"{field.type_name}, which is not an input")
        # Enums of proto3 files are open: any 32-bit value is accepted.
        if enum.syntax == "proto3":
            return INT32
        return EnumShape(min(enum.values), max(enum.values))
    if field.type not in SCALAR_OF_TYPE:
        type_name = FDP.Type.Name(field.type)
        raise SchemaError(f"field {field.name}: {type_name} is not supported")
    return SCALAR_OF_TYPE[field.type]


def value_kind(value):
    if isinstance(value, MessageRef):
        return KIND_MESSAGE
    if isinstance(value, EnumShape):
        return KIND_VARINT
    return value.kind


def message_edges(message, schema):
    """The fields of a message as edges, in ascending number order."""
    edges = []
    for field in message.proto.field:
        value = value_shape(field, schema)
        packed = field.options.HasField("packed") and field.options.packed
        edges.append(
            Edge(field.number, CARDINALITY_OF_LABEL[field.label],
                 WIRE_TYPE_OF_KIND[value_kind(value)], int(packed), value))
    edges.sort(key=lambda edge: edge.number)
    for before, after in zip(edges, edges[1:]):
        if before.number == after.number:
            raise SchemaError(f"{message.full_name}: field number "
                              f"{after.number} declared twice")
    return tuple(edges)


def extension_list(message):
    """The message's extension ranges, inclusive, with adjacent (or
    overlapping) declarations merged into one range."""
    declared = sorted((r.start, r.end - 1) for r in message.proto.extension_range)
    merged = []
    for start, end in declared:
        if end < start or end > MAX_FIELD_NUMBER:
            raise SchemaError(f"{message.full_name}: bad extension range "
                              f"{start} to {end}")
        if merged and start <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], end))
        else:
            merged.append((start, end))
    return tuple(merged)


def _shape_token(value, shape_of):
    if isinstance(value, MessageRef):
        return ("message", shape_of[value.full_name])
    return value


def merge_shapes(names, edges_of, ext_of):
    """Partition the message types into classes of equal shape.

    Starts from one class (Any apart) and splits by field lists and extension
    lists, comparing message targets by their current class, until no class
    splits any more; so recursive types of equal structure merge too.
    Classes are numbered by first appearance in `names` order.
    """
    shape_of = {name: int(name == ANY_TYPE_NAME) for name in names}
    class_count = len(set(shape_of.values()))
    while True:
        signatures = {}
        refined = {}
        for name in names:
            signature = (
                shape_of[name],
                ext_of[name],
                tuple((e.number, e.cardinality, e.wire_type, e.packed,
                       _shape_token(e.value, shape_of)) for e in edges_of[name]),
            )
            refined[name] = signatures.setdefault(signature, len(signatures))
        shape_of = refined
        if len(signatures) == class_count:
            return shape_of
        class_count = len(signatures)


class _KeyTable:
    """Message classes, scalar shapes and enum shapes mapped to keys."""

    def __init__(self, ordered_classes):
        self.message_key = {cls: key for key, cls in enumerate(ordered_classes)
                            if cls is not None}
        self.message_count = len(ordered_classes)
        self.scalar_key = {scalar: self.message_count + i
                           for i, scalar in enumerate(SCALAR_ORDER)}
        self.enum_key = {}  # EnumShape -> key, in order of first use

    def target(self, value, shape_of):
        if isinstance(value, MessageRef):
            return self.message_key[shape_of[value.full_name]]
        if isinstance(value, EnumShape):
            if value not in self.enum_key:
                self.enum_key[value] = (self.message_count + len(SCALAR_ORDER) +
                                        len(self.enum_key))
            return self.enum_key[value]
        return self.scalar_key[value]


def order_message_classes(names, shape_of):
    """Message classes in key order.

    Any takes key 0. The rest follow in the byte order of the smallest type
    name of each class. Among them is one node that is no schema type: the
    opaque message, a message with no known fields (what the walk makes of a
    message type it does not know). Its name is empty and sorts before every
    type name, so it takes the key right after Any. It takes no part in shape
    merging, has no type-name entry, and no field targets it, since every
    message type a field names must be an input.
    Returns the classes in key order, None standing for the opaque node.
    """
    smallest = {}
    for name in names:
        cls = shape_of[name]
        if cls not in smallest or name.encode() < smallest[cls]:
            smallest[cls] = name.encode()
    any_class = shape_of[ANY_TYPE_NAME]
    rest = [(b"", None)] + sorted(
        (text, cls) for cls, text in smallest.items() if cls != any_class)
    return [any_class] + [cls for _, cls in rest]


def build_graph(schema):
    if ANY_TYPE_NAME not in schema.messages:
        raise SchemaError(f"the inputs do not define {ANY_TYPE_NAME}")
    names = schema.type_names
    edges_of = {n: message_edges(schema.messages[n], schema) for n in names}
    ext_of = {n: extension_list(schema.messages[n]) for n in names}
    shape_of = merge_shapes(names, edges_of, ext_of)

    ordered = order_message_classes(names, shape_of)
    keys = _KeyTable(ordered)
    member = {}  # class -> one of its names (all members are equal)
    for name in names:
        member.setdefault(shape_of[name], name)

    ext_lists = sorted({ext_of[n] for n in names if ext_of[n]})
    ext_list_index = {lst: i for i, lst in enumerate(ext_lists)}

    # Field runs in key order; enum keys are handed out on first use here.
    fields, runs = [], []
    for key, cls in enumerate(ordered):
        edges = edges_of[member[cls]] if cls is not None else ()
        runs.append((len(fields), len(edges)))
        for e in edges:
            fields.append(FieldEdge(key, e.number, e.cardinality, e.wire_type,
                                    e.packed, keys.target(e.value, shape_of)))

    nodes = []
    for key, cls in enumerate(ordered):
        first, count = runs[key]
        ext = ext_of[member[cls]] if cls is not None else ()
        nodes.append(TypeNode(key, KIND_MESSAGE, 0, NO_INDEX,
                              ext_list_index[ext] if ext else NO_INDEX,
                              first if count else len(fields), count))
    for scalar in SCALAR_ORDER:
        nodes.append(TypeNode(keys.scalar_key[scalar], scalar.kind, scalar.utf8,
                              NO_INDEX, NO_INDEX, len(fields), 0))
    enum_ranges = []
    for shape, key in keys.enum_key.items():
        nodes.append(TypeNode(key, KIND_VARINT, 0, len(enum_ranges), NO_INDEX,
                              len(fields), 0))
        enum_ranges.append((shape.min, shape.max))

    ext_ranges, ext_range_lists = [], []
    for lst in ext_lists:
        ext_range_lists.append((len(ext_ranges), len(lst)))
        ext_ranges.extend(lst)

    type_names = tuple(
        (name, keys.message_key[shape_of[name]]) for name in names)
    return Graph(tuple(nodes), tuple(fields), type_names, tuple(enum_ranges),
                 tuple(ext_ranges), tuple(ext_range_lists), 1)
