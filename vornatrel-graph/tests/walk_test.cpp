// The message walk and its value stages on the embedded graph: one table of
// hand-built messages with the counters, end and trace line each must give.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "score/entry.h"
#include "wire_bytes.h"

namespace vornatrel::score {
namespace {

using namespace wire_bytes;

constexpr uint64_t FULL = ~uint64_t{0};  // `end` is the length of the bytes

struct Want {
  uint64_t matched = 0;
  uint64_t unknown = 0;
  uint64_t enum_out_of_range = 0;
  uint64_t anomalies = 0;
  uint64_t missing_required = 0;
  uint64_t packing_mismatches = 0;
  uint64_t cuts = 0;
  uint64_t end = FULL;
  bool vetoed = false;
};

struct Case {
  const char* label;
  const char* type;  // without the "google.protobuf." prefix
  Buf bytes;
  ScoreOptions options;
  Want want;
  const char* reason = nullptr;  // the one trace line, if any
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

const Buf NAME = lfield(1, text("a.proto"));  // 9 bytes

Buf option_with_any(const Buf& any_payload) {
  return cat({lfield(1, text("x")), lfield(2, any_payload)});
}

Buf any_of(std::string_view url, const Buf& value) {
  return cat({lfield(1, text(url)), lfield(2, value)});
}

const Buf TWO_32 = varint(uint64_t{1} << 32);
const Buf MINUS_ONE_10 = varint(~uint64_t{0});
const Buf MINUS_ONE_5 = raw({0xFF, 0xFF, 0xFF, 0xFF, 0x0F});

std::vector<Case> cases() {
  const ScoreOptions exact = exact_options();
  const ScoreOptions cut = exact_options(true);
  const ScoreOptions scan = scan_options();
  ScoreOptions no_packing = exact;
  no_packing.count_packing = false;
  ScoreOptions no_any = exact;
  no_any.expand_any = false;
  const Buf duration_bad_nanos = cat({vfield(1, 5), tag(2, 0), TWO_32});
  const char* dur_url = "type.googleapis.com/google.protobuf.Duration";

  return {
      // Closed enums and bool.
      {"bool 2 is an enum miss",
       "BoolValue",
       vfield(1, 2),
       exact,
       {.matched = 1, .enum_out_of_range = 1}},
      {"bool 2^32 is vetoed",
       "BoolValue",
       cat({tag(1, 0), TWO_32}),
       exact,
       {.vetoed = true},
       "varint value out of range on field 1"},
      {"bool -1 sign-extended",
       "BoolValue",
       cat({tag(1, 0), MINUS_ONE_10}),
       exact,
       {.matched = 1, .enum_out_of_range = 1}},
      {"bool 2^31 unextended",
       "BoolValue",
       vfield(1, uint64_t{1} << 31),
       exact,
       {.matched = 1, .enum_out_of_range = 1, .anomalies = 1}},
      // int32, uint32, int64.
      {"int32 -1 in ten bytes",
       "Int32Value",
       cat({tag(1, 0), MINUS_ONE_10}),
       exact,
       {.matched = 1}},
      {"int32 -1 in five bytes",
       "Int32Value",
       cat({tag(1, 0), MINUS_ONE_5}),
       exact,
       {.matched = 1, .anomalies = 1}},
      {"int32 2^32 is vetoed",
       "Int32Value",
       cat({tag(1, 0), TWO_32}),
       exact,
       {.vetoed = true},
       "varint value out of range on field 1"},
      {"int32 just below 2^64-2^31 is vetoed",
       "Int32Value",
       vfield(1, (uint64_t{0} - (uint64_t{1} << 31)) - 1),
       exact,
       {.vetoed = true},
       "varint value out of range on field 1"},
      {"uint32 max",
       "UInt32Value",
       cat({tag(1, 0), MINUS_ONE_5}),
       exact,
       {.matched = 1}},
      {"uint32 2^32 is vetoed",
       "UInt32Value",
       cat({tag(1, 0), TWO_32}),
       exact,
       {.vetoed = true},
       "varint value out of range on field 1"},
      {"uint32 -1 is vetoed",
       "UInt32Value",
       cat({tag(1, 0), MINUS_ONE_10}),
       exact,
       {.vetoed = true},
       "varint value out of range on field 1"},
      {"int64 with a superfluous byte",
       "Int64Value",
       cat({tag(1, 0), raw({0x81, 0x00})}),
       exact,
       {.matched = 1, .anomalies = 1}},
      // Tags.
      {"non-canonical tag",
       "Int64Value",
       raw({0x88, 0x00, 0x01}),
       exact,
       {.matched = 1, .anomalies = 1}},
      {"field number 0",
       "Int64Value",
       raw({0x00, 0x01}),
       exact,
       {.unknown = 1, .anomalies = 1}},
      {"field number 2^29",
       "Int64Value",
       cat({tag(uint64_t{1} << 29, 0), varint(1)}),
       exact,
       {.unknown = 1, .anomalies = 1}},
      {"wire type 6",
       "Int64Value",
       raw({0x0E, 0x01}),
       exact,
       {.vetoed = true},
       "garbage wire tag"},
      {"wire type 7 multi-byte at the end, cut",
       "Int64Value",
       raw({0x8F}),
       cut,
       {.cuts = 1}},
      {"tag varint overflow",
       "Int64Value",
       raw({0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
       cut,
       {.vetoed = true},
       "garbage wire tag"},
      // Truncation and the cut rule.
      {"truncated varint",
       "Int64Value",
       raw({0x08, 0x80}),
       exact,
       {.vetoed = true},
       "truncated varint body"},
      {"truncated varint, cut",
       "Int64Value",
       raw({0x08, 0x80, 0x80}),
       cut,
       {.cuts = 1}},
      {"broken varint is no cut",
       "Int64Value",
       cat({tag(1, 0),
            raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02})}),
       cut,
       {.vetoed = true},
       "truncated varint body"},
      {"truncated I64",
       "Int64Value",
       raw({0x11, 1, 2, 3}),
       exact,
       {.vetoed = true},
       "truncated I64 body"},
      {"truncated I64, cut",
       "Int64Value",
       raw({0x11, 1, 2, 3}),
       cut,
       {.cuts = 1}},
      {"truncated I32",
       "Int64Value",
       raw({0x15, 1}),
       exact,
       {.vetoed = true},
       "truncated I32 body"},
      {"unknown I64 and I32",
       "Int64Value",
       raw({0x11, 1, 2, 3, 4, 5, 6, 7, 8, 0x15, 1, 2, 3, 4}),
       exact,
       {.unknown = 2}},
      {"truncated LEN prefix, cut",
       "StringValue",
       raw({0x0A, 0x80}),
       cut,
       {.cuts = 1}},
      {"truncated LEN prefix",
       "StringValue",
       raw({0x0A, 0x80}),
       exact,
       {.vetoed = true},
       "truncated LEN length prefix"},
      {"non-canonical LEN prefix",
       "StringValue",
       raw({0x0A, 0x81, 0x00, 'a'}),
       exact,
       {.matched = 1, .anomalies = 1}},
      {"LEN past the end",
       "StringValue",
       raw({0x0A, 0x05, 'a'}),
       exact,
       {.vetoed = true},
       "LEN body extends past end of buffer"},
      {"LEN past the end, cut, occurrence counted",
       "StringValue",
       raw({0x0A, 0x01, 'a', 0x0A, 0x05, 'a'}),
       cut,
       {.matched = 1, .anomalies = 1, .cuts = 1}},
      // Strings and wire types.
      {"invalid UTF-8",
       "StringValue",
       raw({0x0A, 0x02, 0xC0, 0x80}),
       exact,
       {.vetoed = true},
       "invalid UTF-8 on string field 1"},
      {"surrogate is not UTF-8",
       "StringValue",
       raw({0x0A, 0x03, 0xED, 0xA0, 0x80}),
       exact,
       {.vetoed = true},
       "invalid UTF-8 on string field 1"},
      {"wire-type mismatch",
       "StringValue",
       vfield(1, 1),
       exact,
       {.vetoed = true},
       "wire-type mismatch on field 1 (wire_type=0)"},
      {"END_GROUP of a known number is classified",
       "StringValue",
       raw({0x0C}),
       exact,
       {.vetoed = true},
       "wire-type mismatch on field 1 (wire_type=4)"},
      {"END_GROUP outside a group",
       "StringValue",
       raw({0x2C}),
       exact,
       {.vetoed = true},
       "unexpected END_GROUP outside any group"},
      {"unknown group skipped",
       "StringValue",
       raw({0x2B, 0x08, 0x01, 0x2C, 0x0A, 0x00}),
       exact,
       {.matched = 1, .unknown = 1}},
      {"unknown group open at the end",
       "StringValue",
       raw({0x2B, 0x08, 0x01}),
       cut,
       {.vetoed = true},
       "malformed unknown group"},
      {"unknown group closed by another number",
       "StringValue",
       raw({0x2B, 0x34}),
       exact,
       {.vetoed = true},
       "malformed unknown group"},
      // Packed runs (Location.path is a packed int32 field).
      {"packed run",
       "SourceCodeInfo.Location",
       lfield(1, raw({1, 2, 3})),
       exact,
       {.matched = 1}},
      {"empty packed run",
       "SourceCodeInfo.Location",
       lfield(1, {}),
       exact,
       {.matched = 1, .anomalies = 1}},
      {"packed run with a bad varint",
       "SourceCodeInfo.Location",
       lfield(1, raw({0x80})),
       exact,
       {.vetoed = true},
       "invalid packed run on field 1 (element wire type 0, 1 payload bytes)"},
      {"packed element out of range",
       "SourceCodeInfo.Location",
       lfield(1, cat({varint(1), TWO_32})),
       exact,
       {.vetoed = true},
       "packed varint value out of range on field 1"},
      {"packed elements padded and unextended",
       "SourceCodeInfo.Location",
       lfield(1, cat({raw({0x81, 0x00}), MINUS_ONE_5, MINUS_ONE_10})),
       exact,
       {.matched = 1, .anomalies = 2}},
      {"unpacked element of a packed field",
       "SourceCodeInfo.Location",
       vfield(1, 1),
       exact,
       {.matched = 1, .packing_mismatches = 1}},
      {"packing not counted",
       "SourceCodeInfo.Location",
       vfield(1, 1),
       no_packing,
       {.matched = 1}},
      {"packed run of an unpacked field",
       "FileDescriptorProto",
       lfield(10, raw({5})),
       exact,
       {.matched = 1, .packing_mismatches = 1}},
      {"packed run of a closed enum",
       "FieldOptions",
       lfield(19, raw({1, 12})),
       exact,
       {.matched = 1, .enum_out_of_range = 1, .packing_mismatches = 1}},
      // Scan: closing tags, checkpoints, extension ranges.
      {"second singular field ends the message",
       "FileDescriptorProto",
       cat({NAME, NAME}),
       scan,
       {.matched = 1, .end = 9}},
      {"second singular field under Exact",
       "FileDescriptorProto",
       cat({NAME, NAME}),
       exact,
       {.matched = 2, .anomalies = 1}},
      {"repeated field does not end it",
       "FileDescriptorProto",
       cat({NAME, lfield(3, text("x")), lfield(3, text("y"))}),
       scan,
       {.matched = 3}},
      {"unknown field ends it",
       "FileDescriptorProto",
       cat({NAME, vfield(50, 1), lfield(2, text("p"))}),
       scan,
       {.matched = 1, .end = 9}},
      {"veto resets to the checkpoint",
       "FileDescriptorProto",
       cat({NAME, raw({0x12, 0x01, 0xFF})}),
       scan,
       {.matched = 1, .end = 9},
       "invalid UTF-8 on string field 2"},
      {"garbage resets to the checkpoint",
       "FileDescriptorProto",
       cat({NAME, raw({0x0F})}),
       scan,
       {.matched = 1, .end = 9},
       "garbage wire tag"},
      {"dirty middle field",
       "FileDescriptorProto",
       cat({NAME, lfield(8, vfield(9, 7)), lfield(2, text("p"))}),
       scan,
       {.matched = 1, .end = 9}},
      {"dirty last field: enum miss",
       "FileDescriptorProto",
       cat({NAME, lfield(8, vfield(9, 7))}),
       scan,
       {.matched = 1, .end = 9}},
      {"dirty last field: nested unknown",
       "FileDescriptorProto",
       cat({NAME, lfield(4, vfield(99, 1))}),
       scan,
       {.matched = 1, .end = 9}},
      {"dirty last field: padded length",
       "FileDescriptorProto",
       cat({NAME, raw({0x12, 0x81, 0x00, 'p'})}),
       scan,
       {.matched = 1, .end = 9}},
      {"clean last field",
       "FileDescriptorProto",
       cat({NAME, lfield(2, text("p"))}),
       scan,
       {.matched = 2}},
      {"extension field under Scan",
       "FileOptions",
       cat({lfield(1, text("x")), vfield(1000, 1), vfield(536870911, 1)}),
       scan,
       {.matched = 1}},
      {"extension field under Exact",
       "FileOptions",
       cat({lfield(1, text("x")), vfield(1000, 1)}),
       exact,
       {.matched = 1, .unknown = 1}},
      {"outside the extension ranges",
       "FileOptions",
       cat({lfield(1, text("x")), vfield(998, 1)}),
       scan,
       {.matched = 1, .end = 3}},
      // Any (Option.value).
      {"Any walked as its type",
       "Option",
       option_with_any(any_of(dur_url, cat({vfield(1, 5), vfield(2, 7)}))),
       exact,
       {.matched = 4}},
      {"Any value vetoed inside",
       "Option",
       option_with_any(any_of(dur_url, duration_bad_nanos)),
       exact,
       {.matched = 3, .vetoed = true},
       "varint value out of range on field 2"},
      {"Any URL without a slash",
       "Option",
       option_with_any(any_of("google.protobuf.Duration", duration_bad_nanos)),
       exact,
       {.matched = 3, .vetoed = true},
       "varint value out of range on field 2"},
      {"Any not expanded",
       "Option",
       option_with_any(any_of(dur_url, duration_bad_nanos)),
       no_any,
       {.matched = 2}},
      {"Any of an unknown type",
       "Option",
       option_with_any(any_of("type.googleapis.com/x.Y", duration_bad_nanos)),
       exact,
       {.matched = 2}},
      {"Any with a name that only matches dotted",
       "Option",
       option_with_any(
           any_of("/.google.protobuf.Duration", duration_bad_nanos)),
       exact,
       {.matched = 2}},
      {"Any URL after the value",
       "Option",
       option_with_any(cat({lfield(2, duration_bad_nanos), vfield(3, 1),
                            lfield(1, text(dur_url))})),
       exact,
       {.matched = 3, .vetoed = true},
       "varint value out of range on field 2"},
      {"Any without a value",
       "Option",
       option_with_any(lfield(1, text(dur_url))),
       exact,
       {.matched = 2}},
      {"empty Any", "Option", option_with_any({}), exact, {.matched = 2}},
      {"Any with invalid UTF-8 URL",
       "Option",
       option_with_any(
           any_of("\xFF/google.protobuf.Duration", duration_bad_nanos)),
       exact,
       {.matched = 2}},
      // Required fields (UninterpretedOption.NamePart).
      {"required fields missing",
       "UninterpretedOption.NamePart",
       {},
       exact,
       {.missing_required = 2, .end = 0}},
      {"required field twice",
       "UninterpretedOption.NamePart",
       cat({lfield(1, text("a")), lfield(1, text("b")), vfield(2, 1)}),
       exact,
       {.matched = 3, .anomalies = 1}},
  };
}

class WalkTable : public ::testing::TestWithParam<Case> {};

TEST_P(WalkTable, CountersEndAndTrace) {
  const Case& c = GetParam();
  const std::string type = std::string("google.protobuf.") + c.type;
  const std::string trace = trace_of(wkt(), c.bytes, type.c_str(), c.options);
  const std::optional<ScoreResult> r =
      score_one(c.bytes, type, wkt(), c.options);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->type_name, type);
  EXPECT_EQ(r->matched, c.want.matched);
  EXPECT_EQ(r->unknown, c.want.unknown);
  EXPECT_EQ(r->enum_out_of_range, c.want.enum_out_of_range);
  EXPECT_EQ(r->anomalies, c.want.anomalies);
  EXPECT_EQ(r->missing_required, c.want.missing_required);
  EXPECT_EQ(r->packing_mismatches, c.want.packing_mismatches);
  EXPECT_EQ(r->cuts, c.want.cuts);
  EXPECT_EQ(r->end, c.want.end == FULL ? c.bytes.size() : c.want.end);
  EXPECT_EQ(r->vetoed, c.want.vetoed);
  EXPECT_EQ(trace, c.reason ? veto_line(type, c.reason) : "");
}

INSTANTIATE_TEST_SUITE_P(Wkt, WalkTable, ::testing::ValuesIn(cases()));

// Short strings take a word-wise ASCII test: one byte that is not UTF-8, at
// any position of any length around the word sizes, must still be found.
TEST(WalkStrings, EveryPositionOfAShortStringIsChecked) {
  const std::string type = "google.protobuf.StringValue";
  const ScoreOptions exact = exact_options();
  for (size_t n = 1; n <= 20; ++n) {
    const Buf ascii(n, 'a');
    const std::optional<ScoreResult> good =
        score_one(lfield(1, ascii), type, wkt(), exact);
    ASSERT_TRUE(good.has_value());
    EXPECT_FALSE(good->vetoed) << n;
    EXPECT_EQ(good->matched, 1u) << n;
    for (size_t i = 0; i < n; ++i) {
      Buf bad = ascii;
      bad[i] = 0xFF;
      const std::optional<ScoreResult> r =
          score_one(lfield(1, bad), type, wkt(), exact);
      ASSERT_TRUE(r.has_value());
      EXPECT_TRUE(r->vetoed) << n << " " << i;
    }
  }
}

}  // namespace
}  // namespace vornatrel::score
