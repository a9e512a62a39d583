// The message walk on a small hand-built graph: groups, several hypotheses
// reading one field, packed fixed-width runs, missing nodes and the walk's
// return offsets.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "graph_writer.h"
#include "score/entry.h"
#include "score/occurrence.h"
#include "score/walk.h"
#include "wire_bytes.h"

namespace vornatrel::score {
namespace {

using namespace wire_bytes;
using namespace graph_writer;

enum : uint32_t {
  kAny = 0,
  kOuter = 1,
  kInner = 2,
  kOther = 3,
  kClash = 4,
  kOuter2 = 5,
  kString = 10,
  kBytes = 11,
  kVarint = 12,
  kI32 = 13,
  kUint32 = 14,
  kEnum = 15,
  kI64 = 16,
};

constexpr uint8_t GROUP = 3;

GraphPlan plan() {
  GraphPlan g;
  g.nodes = {
      {.key = kAny,
       .fields = {{.number = 1, .wire_type = 2, .target = kString},
                  {.number = 2, .wire_type = 2, .target = kBytes}}},
      {.key = kOuter,
       .ext_list = 0,
       .fields =
           {
               {.number = 1, .wire_type = 0, .target = kVarint},
               {.number = 2, .wire_type = 2, .target = kInner},
               {.number = 3, .wire_type = GROUP, .target = kInner},
               {.number = 4, .wire_type = 2, .target = 99},  // no such node
               {.number = 5,
                .cardinality = load::REPEATED,
                .wire_type = 5,
                .packed = 1,
                .target = kI32},
               {.number = 6, .wire_type = 2, .target = kString},
               {.number = 7, .wire_type = 2, .target = kAny},
               {.number = 8, .wire_type = GROUP, .target = kClash},
               {.number = 10,
                .cardinality = load::REPEATED,
                .wire_type = 0,
                .packed = 1,
                .target = kEnum},
               {.number = 11,
                .cardinality = load::REPEATED,
                .wire_type = 0,
                .packed = 1,
                .target = kVarint},
           }},
      {.key = kInner,
       .fields = {{.number = 1,
                   .cardinality = load::REQUIRED,
                   .wire_type = 0,
                   .target = kVarint},
                  {.number = 2, .wire_type = 2, .target = kString}}},
      {.key = kOther,
       .fields = {{.number = 6, .wire_type = 2, .target = kString},
                  {.number = 9, .wire_type = 1, .target = kI64}}},
      {.key = kClash, .fields = {{.number = 8, .target = kVarint}}},
      {.key = kOuter2,
       .fields = {{.number = 10,
                   .cardinality = load::REPEATED,
                   .wire_type = 0,
                   .packed = 1,
                   .target = kEnum},
                  {.number = 12, .target = kVarint}}},
      {.key = kString, .kind = load::KIND_LEN, .utf8 = 1},
      {.key = kBytes, .kind = load::KIND_LEN},
      {.key = kVarint, .kind = load::KIND_VARINT},
      {.key = kI32, .kind = load::KIND_I32},
      {.key = kUint32, .kind = load::KIND_UINT32},
      {.key = kEnum, .kind = load::KIND_VARINT, .enum_index = 0},
      {.key = kI64, .kind = load::KIND_I64},
  };
  g.type_names = {{"google.protobuf.Any", kAny}, {"t.Outer", kOuter},
                  {"t.Inner", kInner},           {"t.Other", kOther},
                  {"t.Clash", kClash},           {"t.Outer2", kOuter2},
                  {"t.OuterAlias", kOuter}};
  g.enum_ranges = {{0, 2}};
  g.ext_ranges = {{100, 200}};
  g.ext_range_lists = {{0, 1}};
  return g;
}

const GraphRoot& graph() {
  static const TestGraph* g = new TestGraph(make_graph(plan()));
  return g->root();
}

ScoreResult score(const Buf& bytes, const char* type,
                  const ScoreOptions& options = exact_options()) {
  std::optional<ScoreResult> r = score_one(bytes, type, graph(), options);
  EXPECT_TRUE(r.has_value());
  return r.value_or(ScoreResult{});
}

// Scores `bytes` as every name at once.
std::vector<ScoreResult> score_all(const Buf& bytes,
                                   std::vector<const char*> names,
                                   const ScoreOptions& options) {
  std::vector<uint32_t> indexes;
  for (const char* name : names) indexes.push_back(*graph().find_type(name));
  return score_subset(bytes, graph(), options, indexes, nullptr);
}

const Buf SG3 = tag(3, 3);
const Buf EG3 = tag(3, 4);

TEST(WalkGroups, EmptyGroupEndsInnerMessageNormally) {
  const ScoreResult r = score(cat({SG3, EG3}), "t.Outer");
  EXPECT_EQ(r.matched, 1u);
  EXPECT_EQ(r.missing_required, 1u);  // Inner.1 is required
  EXPECT_FALSE(r.vetoed);
}

TEST(WalkGroups, GroupBodyIsWalkedAndTheFieldCounted) {
  const Buf bytes = cat({SG3, vfield(1, 5), EG3, vfield(1, 1)});
  const ScoreResult r = score(bytes, "t.Outer");
  EXPECT_EQ(r.matched, 3u);
  EXPECT_EQ(r.missing_required, 0u);
  EXPECT_EQ(r.end, bytes.size());
  // A second group instance is a surplus occurrence of a singular field.
  EXPECT_EQ(
      score(cat({SG3, vfield(1, 5), EG3, SG3, vfield(1, 6), EG3}), "t.Outer")
          .anomalies,
      1u);
}

TEST(WalkGroups, MismatchedEndGroupVetoesTheBody) {
  const Buf bytes = cat({SG3, vfield(1, 5), tag(4, 4)});
  EXPECT_EQ(trace_of(graph(), bytes, "t.Outer", exact_options()),
            veto_line("t.Outer",
                      "mismatched END_GROUP: expected field 3, "
                      "got 4"));
  EXPECT_TRUE(score(bytes, "t.Outer").vetoed);
}

TEST(WalkGroups, EndGroupIsClassifiedLikeAnyTag) {
  // Clash has a field 8, so the END_GROUP of group 8 is a wire-type mismatch
  // for the body before it can close the group.
  const Buf bytes = cat({tag(8, 3), tag(8, 4)});
  EXPECT_EQ(
      trace_of(graph(), bytes, "t.Outer", exact_options()),
      veto_line("t.Outer", "wire-type mismatch on field 8 (wire_type=4)"));
}

TEST(WalkGroups, EofInsideGroup) {
  const Buf bytes = cat({SG3, vfield(1, 5), vfield(1, 5)});
  const ScoreResult cut = score(bytes, "t.Outer", exact_options(true));
  EXPECT_FALSE(cut.vetoed);
  EXPECT_EQ(cut.cuts, 1u);
  EXPECT_EQ(cut.anomalies, 1u);  // the surplus inside the cut body
  EXPECT_EQ(cut.matched, 3u);
  EXPECT_EQ(cut.end, bytes.size());
  EXPECT_EQ(trace_of(graph(), bytes, "t.Outer", exact_options()),
            veto_line("t.Outer", "open-ended group (EOF inside group)"));
  EXPECT_TRUE(score(bytes, "t.Outer").vetoed);
}

TEST(WalkGroups, BlindFallbackForHypothesesThatDoNotKnowTheGroup) {
  // Outer reads group 3 and is vetoed inside (field 2 is no UTF-8); Other
  // does not know field 3 and steps over the group blind.
  const Buf good =
      cat({SG3, lfield(2, raw({0xFF})), EG3, lfield(6, text("s"))});
  std::vector<ScoreResult> r =
      score_all(good, {"t.Outer", "t.Other"}, exact_options());
  EXPECT_TRUE(r[0].vetoed);
  EXPECT_FALSE(r[1].vetoed);
  EXPECT_EQ(r[1].unknown, 1u);
  EXPECT_EQ(r[1].matched, 1u);

  // A body that cannot be skipped blind vetoes the others too.
  const Buf broken = cat({SG3, tag(1, 0), raw({0x80})});
  r = score_all(broken, {"t.Outer", "t.Other"}, exact_options());
  EXPECT_TRUE(r[0].vetoed);
  EXPECT_TRUE(r[1].vetoed);
  EXPECT_EQ(r[1].unknown, 0u);
  EXPECT_EQ(trace_of(graph(), broken, "t.Other", exact_options()),
            veto_line("t.Other", "malformed unknown group"));
  {
    DebugTypeGuard guard("t.Other");
    ::testing::internal::CaptureStderr();
    score_all(broken, {"t.Outer", "t.Other"}, exact_options());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              veto_line("t.Other", "malformed group (blind fallback)"));
  }
}

TEST(WalkGroups, WalkReturnsBehindTheEndGroup) {
  std::vector<ScoreResult> results(1);
  WalkState state =
      new_walk_state(graph(), results, exact_options(), std::nullopt, nullptr);
  const Buf bytes = cat({SG3, EG3, vfield(1, 1)});
  std::vector<ActiveEntry> entries;
  entries.push_back(new_entry(graph(), kInner));
  entries.back().members.push_back(0);
  EXPECT_EQ(
      score_message_multi(bytes, 1, std::move(entries), 3, state, 1, false),
      2u);
  EXPECT_EQ(results[0].missing_required, 1u);

  // An empty range ends the message at once.
  entries.clear();
  entries.push_back(new_entry(graph(), kInner));
  entries.back().members.push_back(0);
  EXPECT_EQ(score_message_multi({}, 0, std::move(entries), std::nullopt, state,
                                0, false),
            0u);
  EXPECT_EQ(results[0].missing_required, 2u);
}

TEST(WalkValues, PackedFixedRuns) {
  const Buf six = lfield(5, raw({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(trace_of(graph(), six, "t.Outer", exact_options()),
            veto_line("t.Outer",
                      "invalid packed run on field 5 (element wire "
                      "type 5, 6 payload bytes)"));
  const ScoreResult eight = score(lfield(5, Buf(8, 0)), "t.Outer");
  EXPECT_EQ(eight.matched, 1u);
  EXPECT_EQ(eight.anomalies, 0u);
  EXPECT_EQ(eight.packing_mismatches, 0u);
  const ScoreResult single = score(cat({tag(5, 5), Buf(4, 0)}), "t.Outer");
  EXPECT_EQ(single.packing_mismatches, 1u);
  EXPECT_EQ(score(lfield(5, {}), "t.Outer").anomalies, 1u);
}

TEST(WalkValues, PackedInt64RunDoesNotCountPadding) {
  EXPECT_EQ(score(lfield(11, raw({0x81, 0x00})), "t.Outer").anomalies, 0u);
  EXPECT_EQ(score(cat({tag(1, 0), raw({0x81, 0x00})}), "t.Outer").anomalies,
            1u);
}

TEST(WalkValues, PackedRunSharedByTwoHypotheses) {
  const Buf misses = lfield(10, raw({1, 3, 4}));
  std::vector<ScoreResult> r =
      score_all(misses, {"t.Outer", "t.Outer2"}, exact_options());
  for (const ScoreResult& one : r) {
    EXPECT_EQ(one.enum_out_of_range, 2u);
    EXPECT_EQ(one.matched, 1u);
  }
  const Buf too_big = lfield(10, cat({varint(3), varint(uint64_t{1} << 32)}));
  r = score_all(too_big, {"t.Outer", "t.Outer2"}, exact_options());
  for (const ScoreResult& one : r) {
    EXPECT_TRUE(one.vetoed);
    EXPECT_EQ(one.enum_out_of_range, 1u);  // counted up to the bad element
  }
}

TEST(WalkValues, InvalidStringVetoesEveryReader) {
  const Buf bytes = lfield(6, raw({0xFF}));
  for (const ScoreResult& r :
       score_all(bytes, {"t.Outer", "t.Other"}, exact_options())) {
    EXPECT_TRUE(r.vetoed);
  }
}

TEST(WalkValues, MessageFieldWithoutNodeIsBytes) {
  const ScoreResult r = score(lfield(4, raw({0xFF, 0xFF})), "t.Outer");
  EXPECT_EQ(r.matched, 1u);
  EXPECT_FALSE(r.vetoed);
}

TEST(WalkValues, NestedAndAnyVetoesReachTheParent) {
  // Inner (field 2) and an Any naming t.Inner (field 7): each vetoes inside.
  const Buf bad_inner = lfield(2, raw({0xFF}));
  EXPECT_TRUE(score(lfield(2, bad_inner), "t.Outer").vetoed);
  const Buf any = cat({lfield(1, text("x/t.Inner")), lfield(2, bad_inner)});
  EXPECT_TRUE(score(lfield(7, any), "t.Outer").vetoed);
  ScoreOptions no_any = exact_options();
  no_any.expand_any = false;
  EXPECT_FALSE(score(lfield(7, any), "t.Outer", no_any).vetoed);
  // An empty nested message still ends normally: Inner.1 is missing.
  EXPECT_EQ(score(lfield(2, {}), "t.Outer").missing_required, 1u);
}

TEST(WalkScan, ExtensionRangeOfAHandBuiltGraph) {
  const Buf bytes = cat({vfield(1, 1), vfield(150, 1), vfield(201, 1)});
  const ScoreResult r = score(bytes, "t.Outer", scan_options());
  EXPECT_EQ(r.end, 5u);  // field 201 closes the message
  EXPECT_EQ(r.unknown, 0u);
  EXPECT_EQ(r.matched, 1u);
}

}  // namespace
}  // namespace vornatrel::score
