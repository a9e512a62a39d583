"""The .proto printer: protoc compiles what it prints back to the descriptor it
came from, on real descriptor sets and on small sources of the tricky
constructs; hostile descriptors print without raising or escaping comments."""

from __future__ import annotations

import json
import random
import re
import struct
import tempfile
from pathlib import Path

import pytest
from google.protobuf import descriptor_pb2
from google.protobuf.message import DecodeError

import printing_sets
import record_printed_sets
from descriptors import mutations, varint
from protoc_harness import (
    NO_PROTOC,
    compile_protos,
    normalised,
    protoc_python,
    round_trip,
)
from ravick._file_graph import (
    Definitions,
    OptionUse,
    Reference,
    custom_option_uses,
    definitions,
    file_facts,
    references,
)
from ravick._symbols import SymbolIndex
from ravick.printing import (
    native_source,
    proto_source,
    proto_source_in,
    proto_sources,
    python_source_in,
)

# Without protoc the tests skip, except in CI, where they fail on it.
pytestmark = pytest.mark.skipif(
    protoc_python() is None and not printing_sets.in_ci(), reason=NO_PROTOC
)

FileProto = descriptor_pb2.FileDescriptorProto

# Files of the real sets that do not round-trip, with the cause.
EXPECTED_FAILURES = {
    "deprecation$private com.google.proto": "not a descriptor: Java template text "
    "in libprotoc that parses as one, its syntax string is template code",
    "   PARSER = new com.google.proto": "the same, another template",
}
# Inputs of the real sets that protoc cannot compile where they are.
EXPECTED_NOT_COMPILED = {
    "golang-github-gogo-protobuf-dev: test/theproto3/footer.proto": "a fragment "
    "that the package's templates paste into other files, without a syntax",
    "golang-github-gogo-protobuf-dev: test/theproto3/maps.proto": "the same",
    "golang-github-victoriametrics-victoriametrics-dev: remote.proto": "uses "
    "gogoproto options without importing gogo.proto",
    "librust-quick-protobuf-dev: test_enum_invalid_default.proto": "invalid on "
    "purpose: a test that the code generator rejects it",
    "librust-quick-protobuf-dev: usr/share/cargo/registry/quick-protobuf-0.7.0/"
    "tests/rust_protobuf/v3/test_enum_invalid_default.proto": "the same",
    "librust-quick-protobuf-dev: test_expose_oneof_pb.proto": "its "
    "rustproto.proto is newer than the one librust-protobuf-codegen-pure-dev ships",
    "librust-quick-protobuf-dev: usr/share/cargo/registry/quick-protobuf-0.7.0/"
    "tests/packed_primitives/person.proto": "proto3 text without a syntax line",
    "librust-quick-protobuf-dev (data_types.proto): data_types.proto": "a proto3 "
    "example with defaults and an enum not starting at zero, which protoc rejects",
    "python3-onnx: onnx/onnx.in.proto": "a template for onnx.proto, not a .proto",
    "python3-onnx: onnx/onnx-data.in.proto": "the same",
    "python3-onnx: onnx/onnx-operators.in.proto": "the same",
}
# Debian inputs left out before compiling, by package: at most how many, and
# what the reason says.
EXPECTED_SKIPPED = {
    # Its build maps repos/protobuf to a vendored copy of gogo protobuf.
    "golang-github-syncthing-syncthing-dev": (21, "repos/protobuf/gogoproto/"),
    "golang-github-docker-docker-dev": (1, "tonistiigi/fsutil/types/stat.proto"),
    "golang-github-mesos-mesos-go-dev": (1, "mesos-go/mesosproto/mesos.proto"),
    "grpc-proto": (1, "envoy/config/core/v3/config_source.proto"),
    # The examples are shipped twice, in the Go tree and as documentation.
    "golang-github-grpc-ecosystem-grpc-gateway-dev": (10, "a copy of"),
    "librust-quick-protobuf-dev": (1, "a copy of"),
}

SETS = ["well_known", "googleapis", "debian", "scanned_binaries"]


@pytest.fixture(scope="module", params=SETS)
def real_set(request: pytest.FixtureRequest) -> printing_sets.DescriptorSet:
    try:
        return getattr(printing_sets, request.param)()  # type: ignore[no-any-return]
    except printing_sets.Unavailable as e:
        if printing_sets.in_ci():
            pytest.fail(str(e))
        pytest.skip(str(e))


def test_real_sets_round_trip(real_set: printing_sets.DescriptorSet) -> None:
    assert real_set.count() > 0
    assert set(real_set.not_compiled) <= set(EXPECTED_NOT_COMPILED)
    problems = {}
    for group in real_set.groups:
        for result in round_trip(group.files, group.context, group.includes):
            if result.identical:
                assert result.name not in EXPECTED_FAILURES, "now passes: unlist it"
            elif result.name not in EXPECTED_FAILURES:
                problems[f"{group.label}: {result.name}"] = result.problem
    assert not problems, "\n\n".join(f"{k}\n{v}" for k, v in problems.items())


def test_real_sets_print_as_the_recorded_printer_printed(
    real_set: printing_sets.DescriptorSet, request: pytest.FixtureRequest
) -> None:
    """Every file prints byte for byte as the printer printed it when the
    record was made (record_printed_sets.py). A file whose input has changed
    since (a newer Debian package) cannot be compared; most must be."""
    name = request.node.callspec.params["real_set"]
    record = json.loads(record_printed_sets.RECORD.read_text())[name]
    printed = record_printed_sets.printed_digests(real_set)
    compared = 0
    for key, digests in printed.items():
        if key not in record or record[key].split()[0] != digests.split()[0]:
            continue
        compared += 1
        assert record[key] == digests, f"{key} prints otherwise than recorded"
    assert compared >= 0.9 * max(len(record), len(printed)), (
        f"only {compared} of {len(record)} recorded files are still inputs: "
        "make the record again"
    )


def test_real_sets_print_natively_as_the_python_printer_does(
    real_set: printing_sets.DescriptorSet,
) -> None:
    """The native printer prints nearly every real file, each as the Python
    printer does; what it declines, the Python printer prints."""
    printed = declined = 0
    for group in real_set.groups:
        index = SymbolIndex((*group.files, *group.context))
        for file in group.files:
            text = native_source(file, index)
            if text is None:
                declined += 1
                continue
            printed += 1
            assert text == python_source_in(file, index), file.name
    assert printed >= 0.9 * (printed + declined), (printed, declined)


Facts = tuple[
    Definitions, list[tuple[tuple[str, int], OptionUse]], tuple[Reference, ...]
]


def _facts_in_python(file: FileProto) -> Facts:
    uses = list(custom_option_uses(file).items())
    return definitions(file), uses, tuple(references(file))


def _facts(file: FileProto) -> Facts:
    defined, uses, refs = file_facts(file)
    return defined, list(uses.items()), refs


def test_real_files_facts_read_natively_as_in_python(
    real_set: printing_sets.DescriptorSet,
) -> None:
    """What each real file defines, which custom options it sets and which
    types it names, in the order met, as the Python helpers find them."""
    for group in real_set.groups:
        for file in [*group.files, *group.context]:
            assert _facts(file) == _facts_in_python(file), file.name


def test_only_the_known_debian_inputs_are_skipped(
    real_set: printing_sets.DescriptorSet,
) -> None:
    by_package: dict[str, list[str]] = {}
    for key, reason in real_set.skipped.items():
        by_package.setdefault(key.split(": ", 1)[0], []).append(reason)
    for package, reasons in by_package.items():
        assert package in EXPECTED_SKIPPED, reasons
        most, says = EXPECTED_SKIPPED[package]
        assert len(reasons) <= most and all(says in r for r in reasons), reasons


# Small sources of the constructs that are easy to print wrong, each one or
# more files. All are printed with one another as context, so extension
# numbers that two cases both use (50000 of MessageOptions) must resolve to
# the one each file imports.
CASES: dict[str, dict[str, str]] = {
    "defaults": {
        "defaults.proto": r"""
syntax = "proto2";
package d;
enum Color { RED = 1; GREEN = 2; }
message Defaults {
  optional string s = 1 [default = "q\"b\\s\n\t\x01\377 é ∑"];
  optional bytes b = 2 [default = "\000\001\xff\"'a\\"];
  optional float f_inf = 3 [default = inf];
  optional float f_ninf = 4 [default = -inf];
  optional double d_nan = 5 [default = nan];
  optional double d_big = 6 [default = 1e+300];
  optional float f_small = 7 [default = 1.5e-07];
  optional int64 i_min = 8 [default = -9223372036854775808];
  optional uint64 u_max = 9 [default = 18446744073709551615];
  optional Color c = 10 [default = GREEN];
  optional bool t = 11 [default = true];
  optional sint32 neg = 12 [default = -5];
  optional double d_neg0 = 13 [default = -0.0];
  optional string empty = 14 [default = ""];
  optional bytes digits = 15 [default = "\0011\0377\x1f9"];
}
""",
    },
    "groups": {
        "groups.proto": """
syntax = "proto2";
package g;
message Before {}
message Outer {
  optional int32 a = 1;
  message Plain { optional int32 p = 1; }
  optional group First = 2 { optional int32 x = 1; repeated group Inner = 2 {} }
  repeated group Second = 3 [deprecated = true] { required string y = 1; }
  oneof choice { group InOneof = 4 { optional int32 z = 1; } int32 w = 5; }
  extensions 100 to 200;
  extend Outer { optional group MsgExt = 150 { optional int32 e = 1; } }
}
extend Outer { optional group FileExt = 101 { optional int32 f = 1; } }
message After { optional Outer.First ref = 1; }
""",
    },
    "maps": {
        "maps.proto": """
syntax = "proto3";
package m;
enum E { E0 = 0; }
message Maps {
  message Before {}
  map<string, int32> a = 1;
  message Between { map<int64, Between> self = 1; }
  map<bool, E> b = 2;
  map<uint32, Maps.Before> c = 3 [json_name = "cee"];
  map<sfixed64, bytes> snake_case_name = 4;
}
message NotAMap {
  message ThingsEntry { string key = 1; int32 value = 2; }
  repeated ThingsEntry things = 1;
}
""",
    },
    "proto3_optional": {
        "opt3.proto": """
syntax = "proto3";
package o3;
message M {
  optional int32 a = 1;
  oneof real { string r1 = 2; int64 r2 = 3; }
  optional M b = 4;
  repeated int32 c = 5 [packed = false];
  oneof second { bytes s = 6; }
  optional string d = 7;
  // Synthetic oneof names that protoc must derive around taken ones.
  int32 _e = 8; optional int32 e = 9;
  oneof X_f { int32 f1 = 10; } int32 _f = 11; optional int32 f = 12;
  optional int32 _g = 13;
}
""",
    },
    "editions_features": {
        "ed2023.proto": """
edition = "2023";
package ed;
import "google/protobuf/cpp_features.proto";
import "google/protobuf/java_features.proto";
option features.field_presence = IMPLICIT;
option features.(pb.cpp).legacy_closed_enum = true;
message M {
  message G { int32 x = 1; }
  G g = 1 [features.message_encoding = DELIMITED];
  int32 req = 2 [features.field_presence = LEGACY_REQUIRED];
  int32 exp = 3 [features.field_presence = EXPLICIT];
  repeated int32 unpacked = 4 [features.repeated_field_encoding = EXPANDED];
  string s = 5 [features.(pb.java).utf8_validation = VERIFY, features.utf8_validation = NONE];
  map<string, G> m = 6;
  map<string, string> copied_features = 8 [features.utf8_validation = NONE];
  reserved foo, bar;
  reserved 10 to 20, 30 to 40, 1000 to max;
  extensions 100 to 200;
  Closed c = 7 [features.field_presence = EXPLICIT];
}
enum Closed { option features.enum_type = CLOSED; C1 = 1; reserved C2, C3; }
extend M { repeated M.G delimited_ext = 100 [features.message_encoding = DELIMITED]; }
""",
    },
    "edition_2024": {
        "ed2024.proto": """
edition = "2024";
package e24;
import option "google/protobuf/cpp_features.proto";
option features.(pb.cpp).string_type = VIEW;
export message A { local message B {} int32 x = 1; }
local enum E { option features.enum_type = CLOSED; E0 = 0; E1 = 1; reserved X, Y; }
""",
    },
    "custom_options": {
        "opts.proto": """
syntax = "proto2";
package co;
import "google/protobuf/descriptor.proto";
message Agg {
  optional int32 a = 1;
  optional string b = 2;
  optional Agg sub = 3;
  repeated int32 r = 4;
  optional Kind k = 5;
  optional group G = 6 { optional int32 x = 1; }
  extensions 100 to 200;
}
extend Agg { optional int32 agg_ext = 100; }
enum Kind { K0 = 0; K1 = 1; }
extend google.protobuf.FileOptions { optional Agg file_agg = 50000; repeated string tags = 50001; }
extend google.protobuf.MessageOptions {
  optional Agg msg_agg = 50000;
  optional double dbl = 50001;
  optional sint64 zig = 50002;
  optional bytes raw = 50003;
  optional Kind kind = 50004;
  optional fixed32 fx = 50005;
  optional float flt = 50006;
  repeated Agg many = 50007;
}
extend google.protobuf.FieldOptions {
  optional Agg field_agg = 50000;
  repeated int32 nums = 50001 [
    retention = RETENTION_SOURCE, targets = TARGET_TYPE_FIELD, targets = TARGET_TYPE_FILE
  ];
}
extend google.protobuf.OneofOptions { optional int32 oneof_opt = 50000; }
extend google.protobuf.EnumOptions { optional bool enum_opt = 50000; }
extend google.protobuf.EnumValueOptions { optional string value_opt = 50000; }
extend google.protobuf.ServiceOptions { optional Agg service_agg = 50000; }
extend google.protobuf.MethodOptions { optional int32 method_opt = 50000; }
extend google.protobuf.ExtensionRangeOptions { optional int32 range_opt = 50000; }
option (tags) = "b";
option (file_agg) = { a: 1 sub { b: "x" r: [1, 2, 3] } [co.agg_ext]: 7 G { x: 2 } };
option java_package = "co.example";
option (tags) = "a";
message M {
  option (msg_agg).a = 1;
  option deprecated = true;
  option (dbl) = -inf;
  option (msg_agg).sub.b = "two";
  option (zig) = -3;
  option (raw) = "\\000\\377";
  option (kind) = K1;
  option (msg_agg).sub.sub = { a: 5 b: "three" };
  option (fx) = 4294967295;
  option (flt) = 0.1;
  option (many) = { a: 1 };
  option (many) = { k: K1 };
  optional int32 f = 1 [(nums) = 3, (field_agg) = { r: 9 }, (nums) = 1, deprecated = true];
  optional string g = 3 [ctype = CORD, jstype = JS_NORMAL];
  optional int64 h = 4 [jstype = JS_STRING, debug_redact = true];
  oneof o { option (oneof_opt) = -1; int32 x = 2; }
  extensions 100 to 199 [(range_opt) = 5];
}
enum E { option (enum_opt) = true; option allow_alias = true; A = 0 [(value_opt) = "v"]; B = 0; }
service S {
  option (service_agg) = { b: "s" };
  rpc Call(M) returns (M) { option (method_opt) = 1; option deprecated = true; }
  rpc Stream(stream M) returns (stream M);
}
""",
    },
    "extension_ranges": {
        "ranges.proto": """
syntax = "proto2";
package r;
message Declared {
  extensions 100 to 102 [
    declaration = { number: 100 full_name: ".r.ext_a" type: "int32" },
    declaration = { number: 101 full_name: ".r.ext_b" type: ".r.Declared" repeated: true },
    declaration = { number: 102 reserved: true },
    verification = DECLARATION
  ];
  extensions 1000 to max [verification = UNVERIFIED];
  extensions 500;
}
extend Declared { optional int32 ext_a = 100; repeated Declared ext_b = 101; }
message Set { option message_set_wire_format = true; extensions 4 to max; }
""",
    },
    "names_and_json": {
        "names.proto": """
syntax = "proto3";
package n.inner;
message message { int32 optional = 1; }
message Names {
  int32 foo_bar = 1 [json_name = "FOO"];
  int32 already_default = 2 [json_name = "alreadyDefault"];
  n.inner.message m = 3;
  .n.inner.message dotted = 4;
  message inner { message message { int32 x = 1; } inner.message m = 1; }
  inner.message deep = 5;
  reserved 7, 9 to 11, 13 to 14;
  reserved "gone", "away";
}
enum Signs { ZERO = 0; NEG = -1; MAXV = 2147483647; reserved 5 to 100; reserved -10 to -5; }
enum Top { T0 = 0; reserved 1000 to max; reserved "T1"; }
enum Pairs { P0 = 0; reserved 3 to 4, 9, -2 to -1; }
""",
    },
    "imports": {
        "imp/main.proto": """
syntax = "proto2";
package imp;
import public "imp/pub.proto";
import weak "imp/weak.proto";
import "imp/plain.proto";
message Main { optional Pub p = 1; optional Plain q = 2; }
""",
        "imp/pub.proto": 'syntax = "proto2"; package imp; message Pub {}',
        "imp/weak.proto": 'syntax = "proto2"; package imp; message Weak {}',
        "imp/plain.proto": 'syntax = "proto2"; package imp; message Plain {}',
    },
    "hidden_extension_name": {
        "hidden/holder.proto": """
syntax = "proto2";
package co2;
import "google/protobuf/descriptor.proto";
message a {}
message Holder { extensions 10 to 20; optional int32 v = 1; }
extend google.protobuf.MessageOptions { optional Holder holder_opt = 50000; }
""",
        "hidden/ext.proto": """
syntax = "proto2";
package a;
import "hidden/holder.proto";
extend co2.Holder { optional int32 ext = 10; }
// Inside an aggregate of co2.Holder, [a.ext] would find the message co2.a.
message User { option (.co2.holder_opt).(.a.ext) = 5; }
""",
        # An extension in no package, named in an aggregate of a message in
        # one: nothing in the scopes around co2.Holder hides the name.
        "hidden/bare.proto": """
syntax = "proto2";
import "hidden/holder.proto";
extend co2.Holder { optional int32 bare = 11; }
message Bare { option (co2.holder_opt) = { v: 1 [bare]: 3 }; }
""",
    },
    # A path assignment keeps a zero that an aggregate of a message without
    # presence for it would drop, so such an option stays a path.
    "implicit_zeros": {
        "zeros/p3.proto": """
syntax = "proto3";
package z3;
import "google/protobuf/descriptor.proto";
enum Op { UNKNOWN = 0; READ = 1; }
message Z { Op op = 1; string s = 2; int64 n = 3; Z sub = 4; optional int32 o = 5; }
extend google.protobuf.MethodOptions { Z z3 = 51000; }
extend google.protobuf.MessageOptions { Z z3m = 51000; }
""",
        "zeros/ed.proto": """
edition = "2023";
package zed;
import "google/protobuf/descriptor.proto";
option features.field_presence = IMPLICIT;
message E { int32 i = 1; bytes b = 2 [features.field_presence = EXPLICIT]; }
extend google.protobuf.MessageOptions { E zed = 51001; }
""",
        "zeros/use.proto": """
syntax = "proto2";
package zu;
import "zeros/p3.proto";
import "zeros/ed.proto";
service S {
  rpc A(M) returns (M) { option (z3.z3).op = UNKNOWN; }
  rpc B(M) returns (M) { option (z3.z3).sub.s = ""; option (z3.z3).n = 0; }
  rpc C(M) returns (M) { option (z3.z3) = { op: READ o: 0 }; }
}
message M {
  option (zed.zed).i = 0;
  option (zed.zed).b = "";
  option (z3.z3m).op = UNKNOWN;
  option (z3.z3m).n = 0;
}
""",
    },
    # Numbers an open enum has no name for, inside aggregates; a closed
    # enum's stay out (protoc refuses them).
    "open_enum_numbers": {
        "oe/open.proto": """
syntax = "proto3";
package oe;
import "google/protobuf/descriptor.proto";
enum E { A = 0; B = 1; }
message V { E e = 1; repeated E es = 2; }
extend google.protobuf.MessageOptions { V v = 51100; }
message M { option (v) = { e: 5 es: [1, 7, -2] }; }
""",
        "oe/ed.proto": """
edition = "2023";
package oed;
import "google/protobuf/descriptor.proto";
enum Open { ZERO = 0; }
enum Shut { option features.enum_type = CLOSED; ONE = 1; }
message W { Open o = 1; Shut s = 2; }
extend google.protobuf.MessageOptions { W w = 51101; }
message M { option (w) = { o: 9 s: ONE }; }
""",
    },
    # Repeated scalars an aggregate packed, beside ones set one by one: a
    # path would store the packed ones one by one.
    "packed_parts": {
        "pp/packed.proto": """
syntax = "proto2";
package pp;
import "google/protobuf/descriptor.proto";
message V {
  repeated int32 xs = 1 [packed = true];
  optional V sub = 3;
  extensions 100 to 200;
}
extend V { repeated int32 rx = 100 [packed = true]; }
extend google.protobuf.MessageOptions { optional V pv = 51300; }
message M { option (pv).(rx) = 1; option (pv).(rx) = 2; }
message O { option (pv) = { sub { xs: 5 } }; option (pv).sub.xs = 6; }
message Q { option (pv) = { [pp.rx]: 7 }; option (pv).(rx) = 8; }
""",
    },
    # Message values of options encoded as groups: editions' DELIMITED, set
    # on the file (extensions too) or on one field.
    "delimited_options": {
        "dl/file.proto": """
edition = "2023";
package dl;
import "google/protobuf/descriptor.proto";
option features.message_encoding = DELIMITED;
message V { int32 a = 1; V sub = 2; W w = 3 [features.message_encoding = LENGTH_PREFIXED]; }
message W { int32 b = 1; V back = 2; }
extend google.protobuf.MessageOptions { V dv = 51400; }
message M { option (dv) = { a: 1 sub { a: 2 } w { b: 3 back { a: 4 } } }; }
message N { option (dv).sub.a = 5; option (dv).a = 6; }
""",
        "dl/field.proto": """
edition = "2023";
package dl2;
import "google/protobuf/descriptor.proto";
message X { int32 a = 1; X sub = 2 [features.message_encoding = DELIMITED]; }
extend google.protobuf.FieldOptions {
  X fx = 51401 [features.message_encoding = DELIMITED];
  X lx = 51402;
}
message M {
  int32 f = 1 [(fx) = { a: 1 sub { a: 2 } }, (lx) = { sub { sub { a: 3 } } }];
}
""",
    },
    # MessageSet extensions inside option values: items on the wire, each
    # printed as the extension it is.
    "message_set_options": {
        "ms/set.proto": """
syntax = "proto2";
package ms;
import "google/protobuf/descriptor.proto";
message Set { option message_set_wire_format = true; extensions 4 to max; }
message Item {
  optional int32 x = 1;
  extend Set { optional Item item = 1000; }
}
message Other { optional string s = 1; }
extend Set { optional Other other = 1001; }
message Holder { optional Set set = 1; optional int32 n = 2; }
extend google.protobuf.MessageOptions {
  optional Holder h = 51500;
  optional Set direct = 51501;
}
message M { option (h) = { set { [ms.Item.item] { x: 5 } [ms.other] { s: "o" } } }; }
message N { option (direct) = { [ms.Item.item] { x: 6 } }; }
message O { option (h).n = 1; option (h).set = { [ms.other] { s: "p" } }; }
""",
    },
    # The edition in development names its scalars otherwise: int32 is
    # fixed-width there, varint32 the varint.
    "unstable": {
        "unstable.proto": """
edition = "UNSTABLE";
package unstable;
import "google/protobuf/descriptor.proto";
enum Kind { KIND_UNKNOWN = 0; KIND_A = 1; }
message Scalars {
  varint32 v32 = 1;
  varint64 v64 = 2;
  uvarint32 u32 = 3;
  uvarint64 u64 = 4;
  zigzag32 z32 = 5;
  zigzag64 z64 = 6;
  int32 i32 = 7 [default = -7];
  int64 i64 = 8;
  uint32 f32 = 9;
  uint64 f64 = 10;
  repeated int32 packed = 11;
  repeated varint32 expanded = 12 [features.repeated_field_encoding = EXPANDED];
  map<int32, uvarint64> by_fixed = 13;
  map<zigzag64, Scalars> by_zigzag = 14;
  Kind kind = 15;
  extensions 100 to 200;
}
extend Scalars { uint64 ext = 100; }
extend google.protobuf.FieldOptions { int32 fixed_opt = 51800; zigzag32 zigzag_opt = 51801; }
message WithOptions { varint32 a = 1 [(fixed_opt) = -3, (zigzag_opt) = -4]; }
""",
    },
    "no_package": {
        "nopkg.proto": """
syntax = "proto2";
message Top {
  optional Top self = 1;
  message Top { optional .Top outer = 1; }
  extensions 1000;
}
extend Top { optional Top.Top ext = 1000; }
""",
    },
}


@pytest.fixture(scope="module")
def compiled_cases() -> dict[str, dict[str, FileProto]]:
    """Every case compiled in one protoc run, its files by name; the imports
    that come from protoc's include directory under the key ""."""
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        for files in CASES.values():
            for name, text in files.items():
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_text(text, encoding="utf-8")
        names = [n for files in CASES.values() for n in files]
        compiled = compile_protos(names, [root])
    assert not compiled.error, compiled.error
    cases = {
        case: {n: compiled.files[n] for n in files} for case, files in CASES.items()
    }
    cases[""] = {n: f for n, f in compiled.files.items() if n not in names}
    return cases


@pytest.fixture(scope="module")
def case_results(compiled_cases: dict[str, dict[str, FileProto]]) -> dict[str, str]:
    """Problems by file name, after one round trip of all cases together."""
    files = [f for case, c in compiled_cases.items() if case for f in c.values()]
    results = round_trip(files, compiled_cases[""].values())
    return {r.name: r.problem for r in results if not r.identical}


@pytest.mark.parametrize("case", sorted(CASES))
def test_construct_round_trips(case: str, case_results: dict[str, str]) -> None:
    for name in CASES[case]:
        assert name not in case_results, case_results[name]


def test_cases_print_natively_as_in_python_also_mutated(
    compiled_cases: dict[str, dict[str, FileProto]], rng: random.Random
) -> None:
    """Custom options, aggregates, hidden names, implicit zeros, open enums,
    MessageSets: the native printer prints each case (and hostile versions
    of it, with the others as context) as the Python printer does."""
    files = [f for case, c in compiled_cases.items() if case for f in c.values()]
    index = SymbolIndex((*files, *compiled_cases[""].values()))
    printed = 0
    for file in files:
        versions = [file, *mutations(file.SerializeToString(), rng, 30)]
        for k, version in enumerate(versions):
            replaced = index if k == 0 else index.replacing(version)
            text = native_source(version, replaced)
            printed += text is not None
            if text is not None:
                assert text == python_source_in(version, replaced), version.name
    assert printed > len(files) * 5
    for file in files:
        for version in [file, *mutations(file.SerializeToString(), rng, 20)]:
            assert _facts(version) == _facts_in_python(version), version.name


def test_hostile_options_render_natively_as_in_python(
    compiled_cases: dict[str, dict[str, FileProto]], rng: random.Random
) -> None:
    """Options bytes changed at random (custom options, aggregates, unknown
    numbers, wrong wire types, groups): rendered natively, each note and
    assignment is the Python renderer's."""
    files = [f for case, c in compiled_cases.items() if case for f in c.values()]
    index = SymbolIndex((*files, *compiled_cases[""].values()))
    owners = [
        (file, m.options)
        for file in files
        for m in file.message_type
        if m.options.ByteSize()
    ]
    tails = [b"\x08\x01", b"\xa8\x1f\x05", b"\x0b\x10\x01\x0c", b"\xc2\x3e\x00"]
    printed = 0
    for _ in range(400):
        file, options = rng.choice(owners)
        raw = bytearray(options.SerializeToString())
        for _ in range(rng.randint(0, 3)):
            raw[rng.randrange(len(raw))] = rng.randrange(256)
        raw += rng.choice(tails) * rng.randint(0, 2)
        hostile = FileProto()
        hostile.CopyFrom(file)
        target = next(m for m in hostile.message_type if m.options == options)
        try:
            target.options.ParseFromString(bytes(raw))
        except DecodeError:
            continue
        replaced = index.replacing(hostile)
        text = native_source(hostile, replaced)
        printed += text is not None
        if text is not None:
            assert text == python_source_in(hostile, replaced), bytes(raw).hex()
    assert printed > 100


# 0x7F7FFF8B: some of its shorter texts round past the largest float.
_FLOAT_BITS = [0, 1 << 31, 0x7F800000, 0xFF800000, 0x7FC00001, 1, 0x7F7FFFFF]
_FLOAT_BITS += [0x7F7FFF8B, 0xFF7FFF8B]
_DOUBLE_VALUES = [0.0, -0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.1]
_DOUBLE_VALUES += [5e-324, 1.7976931348623157e308, -123.456, 2.0**63, 1 / 3]


def test_floating_options_print_natively_as_in_python(
    compiled_cases: dict[str, dict[str, FileProto]], rng: random.Random
) -> None:
    """Doubles and floats of custom options, special values and random
    bits: the native printer writes Python's shortest text for each."""
    file = compiled_cases["custom_options"]["opts.proto"]
    index = SymbolIndex((file, *compiled_cases[""].values()))
    doubles = [struct.unpack("<Q", struct.pack("<d", v))[0] for v in _DOUBLE_VALUES]
    doubles += [rng.getrandbits(64) for _ in range(300)]
    doubles += [struct.unpack("<Q", struct.pack("<d", rng.uniform(-1e6, 1e6)))[0]]
    floats = _FLOAT_BITS + [rng.getrandbits(32) for _ in range(300)]
    floats += [struct.unpack("<I", struct.pack("<f", rng.random()))[0]]
    for d_bits, f_bits in zip(doubles, floats * 2, strict=False):
        hostile = FileProto()
        hostile.CopyFrom(file)
        m = hostile.message_type[0]
        m.options.Clear()
        double = varint(50001 << 3 | 1) + struct.pack("<Q", d_bits)
        single = varint(50006 << 3 | 5) + struct.pack("<I", f_bits)
        m.options.ParseFromString(double + single)
        text = native_source(hostile, index)
        assert text is not None
        assert text == python_source_in(hostile, index), (d_bits, f_bits)


def test_custom_options_keep_wire_order(
    compiled_cases: dict[str, dict[str, FileProto]],
) -> None:
    file = compiled_cases["custom_options"]["opts.proto"]
    text = proto_source(file, [])
    assert text.index('option (.co.tags) = "b";') < text.index('(.co.tags) = "a"')
    assert "option (.co.msg_agg).a = 1;" in text
    assert "option (.co.msg_agg).sub.sub = { a: 5 b: " in text


def test_the_harness_sees_custom_options_reordered(
    compiled_cases: dict[str, dict[str, FileProto]],
) -> None:
    original = compiled_cases["custom_options"]["opts.proto"]
    text = proto_source(original, compiled_cases[""].values())
    first, second = 'option (.co.tags) = "b";', 'option (.co.tags) = "a";'
    swapped = text.replace(first, "@").replace(second, first).replace("@", second)
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / "opts.proto").write_text(swapped, encoding="utf-8")
        again = compile_protos(["opts.proto"], [Path(tmp)])
    assert not again.error, again.error
    assert normalised(again.files["opts.proto"]) != normalised(original)


@pytest.mark.parametrize(
    ("imports", "with_context", "comment"),
    [
        # The extensions' file is imported but not at hand.
        (["opts.proto"], False, "50000 of google.protobuf.MessageOptions"),
        # At hand but not imported: protoc would reject the option by name.
        ([], True, "(opts.proto is not imported)"),
    ],
)
def test_options_that_cannot_be_named_are_left_in_a_comment(
    compiled_cases: dict[str, dict[str, FileProto]],
    imports: list[str],
    with_context: bool,
    comment: str,
) -> None:
    main = compiled_cases["custom_options"]["opts.proto"]
    user = FileProto(name="user.proto", package="u", dependency=imports)
    message = user.message_type.add(name="U")
    message.options.CopyFrom(main.message_type[1].options)
    text = proto_source(user, [main] if with_context else [])
    assert comment in text
    code = [line for line in text.splitlines() if not line.lstrip().startswith("//")]
    assert "  option deprecated = true;" in code
    assert not any("(.co." in line for line in code)


def test_source_comments_are_printed() -> None:
    source = """syntax = "proto3";
package c;
// Leading comment of M.
message M {
  int32 a = 1;  // Trailing comment of a.

  // Detached.

  // Leading comment of b.
  string b = 2;
  // Of a nested message.
  message N {}
  // Of a nested enum.
  enum E {
    // Of a value.
    E0 = 0;
  }
  // Of a oneof.
  oneof o {
    // Of a field in it.
    int32 c = 3;
  }
}
// Of a service.
service S {
  // Of a method.
  rpc Get(M) returns (M);
}
"""
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / "c.proto").write_text(source)
        first = compile_protos(["c.proto"], [Path(tmp)], source_info=True)
        printed = proto_source(first.files["c.proto"])
        (Path(tmp) / "c.proto").write_text(printed)
        again = compile_protos(["c.proto"], [Path(tmp)], source_info=True)
    assert not again.error, again.error

    def comments(file: FileProto) -> list[tuple[str, str, list[str]]]:
        locations = file.source_code_info.location
        return sorted(
            (
                loc.leading_comments,
                loc.trailing_comments,
                list(loc.leading_detached_comments),
            )
            for loc in locations
            if loc.leading_comments
            or loc.trailing_comments
            or loc.leading_detached_comments
        )

    assert comments(again.files["c.proto"]) == comments(first.files["c.proto"])


def _hostile_file() -> FileProto:
    file = FileProto(name="hostile.proto", package="ok")
    file.dependency.append('evil"; import "x')
    good = file.message_type.add(name="Good")
    good.field.add(name="fine", number=1, type=FileProto().DESCRIPTOR.fields[0].type)
    good.field.add(name="x = 2; } message Injected { int32 y", number=3, type=5)
    good.field.add(name="typed", number=4, type=11, type_name=".ok.Good } message X {")
    good.field.add(name="dflt", number=5, type=9, default_value='a"; } message Z {')
    good.field.add(name="jn", number=6, type=5, json_name='"]; message J {')
    good.reserved_name.append('"; message R {')
    file.message_type.add(name="Bad\nmessage Injected2 {")
    enum = file.enum_type.add(name="E")
    enum.value.add(name="ZERO", number=0)
    enum.value.add(name="1BAD", number=1)
    service = file.service.add(name="S")
    service.method.add(
        name="M", input_type=".ok.Good) returns (.ok.Good", output_type=".ok.Good"
    )
    good.options.ParseFromString(
        b"\x82\xb5\x18\x03abc\xf8\xff\x3f\x01"
    )  # unknown numbers
    return file


def test_hostile_names_stay_in_comments() -> None:
    file = _hostile_file()
    text = proto_source(file)
    without_strings = re.sub(r'"(\\.|[^"\\])*"', '""', text)
    code = "\n".join(line.split("//")[0] for line in without_strings.splitlines())
    assert (
        "Injected" not in code and "message X" not in code and "message R" not in code
    )
    assert 'import "x' not in code and "message J" not in code
    with tempfile.TemporaryDirectory() as tmp:
        file.ClearField("dependency")  # nothing to import
        (Path(tmp) / "hostile.proto").write_text(proto_source(file))
        compiled = compile_protos(["hostile.proto"], [Path(tmp)])
    assert not compiled.error, compiled.error
    names = [m.name for m in compiled.files["hostile.proto"].message_type]
    assert names == ["Good"]


def test_mutated_descriptors_print_without_raising(rng: random.Random) -> None:
    from google.protobuf import descriptor_pb2 as d
    from google.protobuf import struct_pb2

    for module in (d, struct_pb2):
        for file in mutations(module.DESCRIPTOR.serialized_pb, rng, 1500):
            assert proto_source(file, [file]).encode("utf-8").endswith(b"\n")


def test_proto_sources_print_each_file_as_proto_source_does() -> None:
    files = printing_sets.googleapis().groups[0].files
    expected = [proto_source(f, [g for g in files if g is not f]) for f in files]
    assert proto_sources(files) == expected


def _other_versions(file: FileProto, neighbour: FileProto) -> list[FileProto]:
    """``file`` and versions of it that conflict: without its last message,
    in another package, without its options and imports, and one defining
    what ``neighbour`` defines."""
    versions = [file]
    for change in ("message", "package", "options", "neighbour"):
        other = FileProto()
        other.CopyFrom(neighbour if change == "neighbour" else file)
        other.name = file.name
        if change == "message" and other.message_type:
            del other.message_type[-1]
        elif change == "package":
            other.package = "other." + other.package
        elif change == "options":
            other.ClearField("options")
            other.ClearField("dependency")
        versions.append(other)
    return versions


@pytest.mark.parametrize("label", ["googleapis", "scanned_binaries"])
def test_a_version_prints_with_a_shared_index_as_with_its_own(label: str) -> None:
    groups = getattr(printing_sets, label)().groups
    for group in groups[:3]:
        files = [*group.files, *group.context]
        shared = SymbolIndex(tuple(files))
        step = max(1, len(files) // 12)
        for k in range(0, len(files), step):
            neighbour = files[(k + 1) % len(files)]
            for version in _other_versions(files[k], neighbour):
                others = [f for f in files if f.name != version.name]
                replaced = shared.replacing(version)
                assert replaced.tables == SymbolIndex((version, *others)).tables
                expected = proto_source(version, others)
                assert proto_source_in(version, replaced) == expected


def _length_delimited(number: int, payload: bytes) -> bytes:
    def varint(v: int) -> bytes:
        out = bytearray()
        while v >= 0x80:
            out.append(v & 0x7F | 0x80)
            v >>= 7
        return bytes(out) + bytes([v])

    return varint(number << 3 | 2) + varint(len(payload)) + payload


def test_deeply_nested_option_values_print_without_raising() -> None:
    file = FileProto(name="deep.proto", package="p")
    node = file.message_type.add(name="Node")
    node.field.add(name="next", number=3, type=11, type_name=".p.Node", label=1)
    file.extension.add(
        name="opt",
        number=5000,
        type=11,
        type_name=".p.Node",
        label=1,
        extendee=".google.protobuf.MessageOptions",
    )
    deep = b""
    for _ in range(5000):
        deep = _length_delimited(3, deep)
    once, twice = (
        file.message_type.add(name="Once"),
        file.message_type.add(name="Twice"),
    )
    once.options.ParseFromString(_length_delimited(5000, deep))
    twice.options.ParseFromString(_length_delimited(5000, deep) * 2)
    text = proto_source(FileProto.FromString(file.SerializeToString()))
    assert text.count("// ravick: options left out") == 2


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (r"a\n\r\t\a\b\f\v\\\'\"\?", b"a\n\r\t\a\b\f\v\\'\"?"),
        (r"\0\01\001\0011\400", b"\x00\x01\x01\x011\x00"),  # at most 3 digits
        (r"\x1\x1f\x1fa\Xff", b"\x01\x1f\x1fa\xff"),  # at most 2 hex digits
        (r"\q\x\xg", rb"\q\x\xg"),  # malformed: kept as written
        ("trailing\\", b"trailing\\"),
    ],
)
def test_c_escapes_read_back(text: str, expected: bytes) -> None:
    from ravick._text import c_unescape

    assert c_unescape(text) == expected


@pytest.mark.parametrize(
    ("data", "value"),
    [
        (b"\x01", 1),
        (b"\xff\x01", 255),
        (b"\xff" * 9 + b"\x01", (1 << 64) - 1),  # -1 as an int64
        (b"\xff" * 9 + b"\x7f", (1 << 64) - 1),  # bits past 64 dropped
    ],
)
def test_varints_read_as_64_bits(data: bytes, value: int) -> None:
    from ravick._wire import _varint

    assert _varint(data, 0) == (value, len(data))


def test_a_synthetic_oneof_protoc_would_name_otherwise_is_noted(
    compiled_cases: dict[str, dict[str, FileProto]],
) -> None:
    original = compiled_cases["proto3_optional"]["opt3.proto"]
    names = [o.name for o in original.message_type[0].oneof_decl]
    assert names[-4:] == ["_d", "X_e", "XX_f", "X_g"]  # as protoc derived them
    assert "protoc names it" not in proto_source(original)
    renamed = FileProto()
    renamed.CopyFrom(original)
    renamed.message_type[0].oneof_decl[-1].name = "my_g"
    text = proto_source(renamed)
    assert "// ravick: the oneof of optional field '_g' is named 'my_g'; " in text


def test_a_group_whose_type_a_source_cannot_declare_is_noted(
    compiled_cases: dict[str, dict[str, FileProto]],
) -> None:
    (original,) = [
        f for f in compiled_cases["groups"].values() if f.syntax in ("", "proto2")
    ][:1]
    groups = [
        (m, f)
        for m in original.message_type
        for f in m.field
        if f.type == f.TYPE_GROUP
    ]
    assert groups
    message, group = groups[0]
    odd = FileProto()
    odd.CopyFrom(original)
    for m in odd.message_type:
        for f in m.field:
            if (m.name, f.name) == (message.name, group.name):
                f.name = "renamed"  # no longer the lower-cased type name
    text = proto_source(odd)
    assert f"field 'renamed' is a group of {group.type_name!r}" in text
    assert "is a group of" not in proto_source(original)
