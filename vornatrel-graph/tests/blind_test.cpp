#include "score/blind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "graph_writer.h"
#include "helpers/abort.h"

namespace vornatrel::score {
namespace {

using ByteVec = std::vector<uint8_t>;

struct GroupCase {
  const char* name;
  ByteVec data;
  uint64_t pos;
  uint64_t number;
  bool ok;
  uint64_t offset;  // checked only when ok
};

void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.name; }

class ParseGroupBlind : public testing::TestWithParam<GroupCase> {};

TEST_P(ParseGroupBlind, SkipsOrFails) {
  const GroupCase& c = GetParam();
  // A heap copy of exactly the test bytes lets the sanitizers catch any read
  // at or past the end.
  std::vector<uint8_t> bytes(c.data);
  GroupSkip skip = parse_group_blind(bytes, c.pos, c.number);
  EXPECT_EQ(skip.ok, c.ok);
  if (c.ok) {
    EXPECT_EQ(skip.offset, c.offset);
  }
}

// Tags: 0x2C END_GROUP 5, 0x34 END_GROUP 6, 0x3C END_GROUP 7,
// 0x33 START_GROUP 6, 0x08 field 1 VARINT, 0x0A field 1 LEN, 0x09 field 1 I64,
// 0x0D field 1 I32.
INSTANTIATE_TEST_SUITE_P(
    Cases, ParseGroupBlind,
    testing::Values(
        GroupCase{"empty_rest", {}, 0, 5, false, 0},
        GroupCase{"pos_at_end", {0x08, 0x01}, 2, 5, false, 0},
        GroupCase{"pos_past_end", {0x2C}, 2, 5, false, 0},
        GroupCase{"end_group_matches", {0x2C}, 0, 5, true, 1},
        GroupCase{"end_group_other_number", {0x2C}, 0, 6, false, 0},
        GroupCase{"starts_mid_buffer", {0xFF, 0xFF, 0x2C, 0x00}, 2, 5, true, 3},
        GroupCase{
            "nested_closes_with_any_number", {0x33, 0x3C, 0x2C}, 0, 5, true, 3},
        GroupCase{"nested_unterminated", {0x33, 0x2C}, 0, 5, false, 0},
        GroupCase{"outer_mismatch_fails_at_once", {0x34, 0x2C}, 0, 5, false, 0},
        GroupCase{"fields_skipped",
                  {0x08, 0x96, 0x01, 0x0A, 0x02, 0x2C, 0x2C, 0x2C},
                  0,
                  5,
                  true,
                  8},
        GroupCase{
            "varint_padding_accepted", {0x08, 0x80, 0x00, 0x2C}, 0, 5, true, 4},
        GroupCase{"non_canonical_end_tag", {0xAC, 0x00}, 0, 5, true, 2},
        GroupCase{
            "field_number_zero_skipped", {0x00, 0x01, 0x2C}, 0, 5, true, 3},
        GroupCase{"two_byte_end_tag", {0x84, 0x01}, 0, 16, true, 2},
        // END_GROUP of field 2^40: the number is compared at full width.
        GroupCase{"wide_number_matches",
                  {0x84, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02},
                  0,
                  uint64_t{1} << 40,
                  true,
                  7},
        GroupCase{"wide_number_truncated_differs",
                  {0x84, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02},
                  0,
                  0,
                  false,
                  0},
        GroupCase{"unterminated_body", {0x08, 0x01}, 0, 5, false, 0},
        GroupCase{"len_past_end", {0x0A, 0x05, 0x01, 0x2C}, 0, 5, false, 0},
        GroupCase{"len_to_end_no_close", {0x0A, 0x01, 0x2C}, 0, 5, false, 0},
        GroupCase{"len_huge",
                  {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                   0x01, 0x2C},
                  0,
                  5,
                  false,
                  0},
        GroupCase{"len_prefix_truncated", {0x0A, 0x80}, 0, 5, false, 0},
        GroupCase{
            "i64_exact", {0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x2C}, 0, 5, true, 10},
        GroupCase{"i64_truncated", {0x09, 1, 2, 3, 4, 5, 6, 7}, 0, 5, false, 0},
        GroupCase{"i32_exact", {0x0D, 1, 2, 3, 4, 0x2C}, 0, 5, true, 6},
        GroupCase{"i32_truncated", {0x0D, 1, 2, 3}, 0, 5, false, 0},
        GroupCase{"varint_truncated", {0x08, 0x80}, 0, 5, false, 0},
        GroupCase{"varint_overflow",
                  {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                   0x02, 0x2C},
                  0,
                  5,
                  false,
                  0},
        GroupCase{"tag_truncated", {0x80}, 0, 5, false, 0},
        GroupCase{"wire_type_6", {0x0E, 0x2C}, 0, 5, false, 0},
        GroupCase{"wire_type_7", {0x0F, 0x2C}, 0, 5, false, 0},
        // The wire type is taken from the first byte even when the tag
        // varint would decode.
        GroupCase{"wire_type_7_multibyte", {0x8F, 0x01, 0x2C}, 0, 5, false, 0}),
    [](const testing::TestParamInfo<GroupCase>& info) {
      return std::string(info.param.name);
    });

struct AnyCase {
  const char* name;
  ByteVec payload;
  std::optional<ByteSlice> value;
};

void PrintTo(const AnyCase& c, std::ostream* os) { *os << c.name; }

class ExtractAnyValue : public testing::TestWithParam<AnyCase> {};

TEST_P(ExtractAnyValue, FindsFirstLenFieldTwo) {
  const AnyCase& c = GetParam();
  std::vector<uint8_t> bytes(c.payload);
  std::optional<ByteSlice> got = extract_any_value(bytes);
  ASSERT_EQ(got.has_value(), c.value.has_value());
  if (got) {
    EXPECT_EQ(got->start, c.value->start);
    EXPECT_EQ(got->len, c.value->len);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractAnyValue,
    testing::Values(
        AnyCase{"value_only", {0x12, 0x03, 0x08, 0x96, 0x01}, ByteSlice{2, 3}},
        AnyCase{"field_two_as_varint", {0x10, 0x05}, std::nullopt},
        AnyCase{"empty", {}, std::nullopt},
        AnyCase{"empty_value", {0x12, 0x00}, ByteSlice{2, 0}},
        AnyCase{"first_of_two_values",
                {0x0A, 0x01, 'a', 0x12, 0x01, 'x', 0x12, 0x01, 'y'},
                ByteSlice{5, 1}},
        AnyCase{"other_fields_skipped",
                {0x11, 1, 2, 3, 4, 5, 6, 7, 8, 0x15, 1, 2, 3, 4, 0x18, 0x80,
                 0x00, 0x12, 0x00},
                ByteSlice{19, 0}},
        // A field 2 inside a group is not the value.
        AnyCase{"group_skipped",
                {0x13, 0x12, 0x00, 0x14, 0x12, 0x01, 'z'},
                ByteSlice{6, 1}},
        AnyCase{"malformed_group", {0x13, 0x0A, 0x05}, std::nullopt},
        AnyCase{"unterminated_group", {0x13, 0x12, 0x00}, std::nullopt},
        AnyCase{"end_group_at_top", {0x0C, 0x12, 0x00}, std::nullopt},
        AnyCase{"value_past_end", {0x12, 0x05, 0x01}, std::nullopt},
        AnyCase{"earlier_len_past_end", {0x0A, 0x09, 0x12, 0x00}, std::nullopt},
        AnyCase{"garbage_tag_first", {0x0E, 0x12, 0x00}, std::nullopt},
        AnyCase{"truncated_i32_first", {0x0D, 1, 2}, std::nullopt},
        AnyCase{"no_field_two", {0x0A, 0x01, 'a'}, std::nullopt},
        // Any{type_url: "type.googleapis.com/google.protobuf.Duration",
        // value: Duration{seconds: 5}} serialized by the protobuf package.
        AnyCase{"serialized_any",
                {0x0A, 0x2C, 't', 'y', 'p', 'e', '.',  'g',  'o',  'o',
                 'g',  'l',  'e', 'a', 'p', 'i', 's',  '.',  'c',  'o',
                 'm',  '/',  'g', 'o', 'o', 'g', 'l',  'e',  '.',  'p',
                 'r',  'o',  't', 'o', 'b', 'u', 'f',  '.',  'D',  'u',
                 'r',  'a',  't', 'i', 'o', 'n', 0x12, 0x02, 0x08, 0x05},
                ByteSlice{48, 2}}),
    [](const testing::TestParamInfo<AnyCase>& info) {
      return std::string(info.param.name);
    });

using graph_writer::GraphPlan;
using graph_writer::make_graph;
using graph_writer::TestGraph;

// Node 1: no list. Node 2: [1000, 2^29 - 1]. Node 3: two ranges, the second
// in the upper half of u32. Node 4: an empty list. Key 0x80000000 sorts last
// under an unsigned compare and has [10, 20].
graph_writer::NodePlan message(uint32_t key, uint16_t ext_list) {
  graph_writer::NodePlan node;
  node.key = key;
  node.ext_list = ext_list;
  return node;
}

GraphPlan ext_graph() {
  GraphPlan g;
  g.nodes = {
      message(0, load::NO_INDEX),
      message(1, load::NO_INDEX),
      message(2, 0),
      message(3, 1),
      message(4, 2),
      message(0x80000000u, 3),
  };
  g.ext_ranges = {
      {1000, 536870911}, {5, 7}, {0x80000000u, 0xFFFFFFFFu}, {10, 20}};
  g.ext_range_lists = {{0, 1}, {1, 2}, {3, 0}, {3, 1}};
  return g;
}

struct ExtCase {
  uint32_t key;
  uint32_t number;
  bool in;
};

void PrintTo(const ExtCase& c, std::ostream* os) {
  *os << "key " << c.key << " number " << c.number;
}

class InExtRange : public testing::TestWithParam<ExtCase> {
 protected:
  static void SetUpTestSuite() {
    graph_ = new TestGraph(make_graph(ext_graph()));
  }
  static void TearDownTestSuite() {
    delete graph_;
    graph_ = nullptr;
  }
  static TestGraph* graph_;
};

TestGraph* InExtRange::graph_ = nullptr;

TEST_P(InExtRange, Answers) {
  const ExtCase& c = GetParam();
  EXPECT_EQ(in_ext_range(graph_->root(), c.key, c.number), c.in)
      << "key " << c.key << " number " << c.number;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InExtRange,
    testing::Values(ExtCase{99, 1000, false},  // no node with that key
                    ExtCase{1, 1000, false},   // node without a list
                    ExtCase{2, 999, false}, ExtCase{2, 1000, true},
                    ExtCase{2, 536870911, true}, ExtCase{2, 536870912, false},
                    ExtCase{2, 0, false}, ExtCase{3, 4, false},
                    ExtCase{3, 5, true}, ExtCase{3, 7, true},
                    ExtCase{3, 8, false}, ExtCase{3, 0x7FFFFFFFu, false},
                    ExtCase{3, 0x80000000u, true},
                    ExtCase{3, 0xFFFFFFFFu, true}, ExtCase{4, 10, false},
                    ExtCase{0x80000000u, 15, true},
                    ExtCase{0x80000000u, 21, false}));

TEST(InExtRangeBroken, ListIndexOutsideTableAborts) {
  GraphPlan g = ext_graph();
  g.nodes[1].ext_list = 4;  // only 4 lists
  TestGraph graph = make_graph(g);
  EXPECT_THROW(in_ext_range(graph.root(), 1, 1000), helpers::InternalAbort);
}

TEST(InExtRangeBroken, RangeRunOutsideTableAborts) {
  GraphPlan g = ext_graph();
  g.ext_range_lists[3] = {3, 2};  // runs one past the 4 ranges
  TestGraph graph = make_graph(g);
  EXPECT_THROW(in_ext_range(graph.root(), 0x80000000u, 15),
               helpers::InternalAbort);
}

TEST(InExtRangeBroken, RunWrappingU32Aborts) {
  GraphPlan g = ext_graph();
  g.ext_range_lists[0] = {0xFFFFFFFFu, 2};
  TestGraph graph = make_graph(g);
  EXPECT_THROW(in_ext_range(graph.root(), 2, 1000), helpers::InternalAbort);
}

}  // namespace
}  // namespace vornatrel::score
