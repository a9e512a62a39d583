#include "score/occurrence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "graph_writer.h"
#include "helpers/abort.h"

namespace vornatrel::score {
namespace {

using graph_writer::GraphPlan;
using graph_writer::make_graph;
using graph_writer::TestGraph;
using helpers::InternalAbort;

constexpr uint32_t U32_MAX = std::numeric_limits<uint32_t>::max();
constexpr uint8_t ODD_CARDINALITY = 5;

// Node 1: fields 1 OPTIONAL, 2 REQUIRED, 3 REPEATED, 4 REQUIRED.
// Nodes 10 to 13: one field 7, OPTIONAL, REQUIRED, REPEATED and an unknown
// cardinality code. Node 20: no fields. Node 30: a scalar.
graph_writer::NodePlan node(uint32_t key, uint8_t kind,
                            std::vector<graph_writer::FieldPlan> fields) {
  graph_writer::NodePlan n;
  n.key = key;
  n.kind = kind;
  n.fields = std::move(fields);
  return n;
}

graph_writer::NodePlan one_field(uint32_t key, uint8_t cardinality) {
  return node(key, load::KIND_MESSAGE, {{7, cardinality, 0, 0, 30}});
}

GraphPlan cardinality_graph() {
  GraphPlan g;
  g.nodes = {
      node(0, load::KIND_MESSAGE, {}),
      node(1, load::KIND_MESSAGE,
           {{1, load::OPTIONAL, 0, 0, 30},
            {2, load::REQUIRED, 0, 0, 30},
            {3, load::REPEATED, 0, 0, 30},
            {4, load::REQUIRED, 0, 0, 30}}),
      one_field(10, load::OPTIONAL),
      one_field(11, load::REQUIRED),
      one_field(12, load::REPEATED),
      one_field(13, ODD_CARDINALITY),
      node(20, load::KIND_MESSAGE, {}),
      node(30, load::KIND_VARINT, {}),
  };
  return g;
}

const char* const TYPE = "pkg.Msg";
const char* const OTHER_TYPE = "pkg.Other";
const std::string TRACE_PREFIX =
    std::string("[veto] ") + TYPE + " \xE2\x80\x94 ";

class Occurrence : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    graph_ = new TestGraph(make_graph(cardinality_graph()));
  }
  static void TearDownTestSuite() {
    delete graph_;
    graph_ = nullptr;
  }
  const GraphRoot& graph() const { return graph_->root(); }

  // n results of TYPE over 100 bytes; `other` marks positions of OTHER_TYPE.
  void start(Policy policy, uint32_t n,
             std::optional<std::string> debug = std::nullopt,
             std::vector<uint32_t> other = {}) {
    results_.clear();
    for (uint32_t i = 0; i < n; ++i) results_.push_back(new_result(TYPE, 100));
    for (uint32_t p : other) results_[p].type_name = OTHER_TYPE;
    ScoreOptions options;
    options.policy = policy;
    state_ =
        new_walk_state(graph(), results_, options, std::move(debug), nullptr);
  }

  ActiveEntry entry(uint32_t key, std::vector<uint32_t> members,
                    uint64_t pending = 0) {
    ActiveEntry e = new_entry(graph(), key);
    for (uint32_t p : members) e.members.push_back(p);
    e.pending_unknown = pending;
    return e;
  }

  static std::vector<uint32_t> members_of(const ActiveEntry& e) {
    return std::vector<uint32_t>(e.members.begin(), e.members.end());
  }

  static TestGraph* graph_;
  std::vector<ScoreResult> results_;
  WalkState state_;
};

TestGraph* Occurrence::graph_ = nullptr;

std::vector<std::pair<uint32_t, uint32_t>> table(const SeenTable& seen) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const SeenCount& s : seen) out.emplace_back(s.number, s.count);
  return out;
}

using Table = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(RecordOccurrence, KeepsTableSortedAndCounts) {
  SeenTable seen;
  for (uint32_t n : {5u, 1u, 3u, 5u}) record_occurrence(seen, n);
  EXPECT_EQ(table(seen), (Table{{1, 1}, {3, 1}, {5, 2}}));
}

TEST(RecordOccurrence, ComparesNumbersUnsigned) {
  SeenTable seen;
  for (uint32_t n : {0x80000000u, 1u, U32_MAX, 0x80000000u}) {
    record_occurrence(seen, n);
  }
  EXPECT_EQ(table(seen), (Table{{1, 1}, {0x80000000u, 2}, {U32_MAX, 1}}));
}

TEST(RecordOccurrence, KeepsTwoNumbersInline) {
  SeenTable seen;
  record_occurrence(seen, 4);
  record_occurrence(seen, 2);
  record_occurrence(seen, 4);
  EXPECT_FALSE(seen.on_heap());
  record_occurrence(seen, 3);
  EXPECT_TRUE(seen.on_heap());
  EXPECT_EQ(table(seen), (Table{{2, 1}, {3, 1}, {4, 2}}));
}

TEST(RecordOccurrence, SpillsBeyondInlineRoom) {
  SeenTable seen;
  for (uint32_t n : {17u, 15u, 13u, 11u, 9u, 7u, 5u, 3u, 1u, 7u}) {
    record_occurrence(seen, n);
  }
  EXPECT_TRUE(seen.on_heap());
  EXPECT_EQ(table(seen), (Table{{1, 1},
                                {3, 1},
                                {5, 1},
                                {7, 2},
                                {9, 1},
                                {11, 1},
                                {13, 1},
                                {15, 1},
                                {17, 1}}));
}

TEST(RecordOccurrence, CountSaturates) {
  SeenTable seen;
  record_occurrence(seen, 4);
  seen[0].count = U32_MAX - 1;
  record_occurrence(seen, 4);
  EXPECT_EQ(seen[0].count, U32_MAX);
  record_occurrence(seen, 4);
  EXPECT_EQ(seen[0].count, U32_MAX);
}

struct CardinalityCase {
  uint32_t key;  // node 10..13: the cardinality under test
  uint32_t count;
  bool check_required;
  uint64_t anomalies;
  uint64_t missing;
};

void PrintTo(const CardinalityCase& c, std::ostream* os) {
  *os << "node " << c.key << " count " << c.count << " check_required "
      << c.check_required;
}

class Cardinality : public Occurrence,
                    public testing::WithParamInterface<CardinalityCase> {};

TEST_P(Cardinality, AddsToEveryMember) {
  const CardinalityCase& c = GetParam();
  start(Policy::Exact, 3);
  ActiveEntry e = entry(c.key, {0, 2});
  record_occurrence(e.seen, 3);  // a number the message does not have
  record_occurrence(e.seen, 9);
  if (c.count > 0) {
    record_occurrence(e.seen, 7);
    e.seen[1].count = c.count;
  }
  apply_cardinality_multi(graph(), e, results_, c.check_required);
  for (uint32_t p : {0u, 2u}) {
    EXPECT_EQ(results_[p].anomalies, c.anomalies) << p;
    EXPECT_EQ(results_[p].missing_required, c.missing) << p;
  }
  EXPECT_EQ(results_[1].anomalies, 0u);
  EXPECT_EQ(results_[1].missing_required, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Cardinality,
    testing::Values(
        // OPTIONAL
        CardinalityCase{10, 0, true, 0, 0}, CardinalityCase{10, 1, true, 0, 0},
        CardinalityCase{10, 3, true, 2, 0}, CardinalityCase{10, 3, false, 2, 0},
        CardinalityCase{10, U32_MAX, true, U32_MAX - 1, 0},
        // REQUIRED
        CardinalityCase{11, 0, true, 0, 1}, CardinalityCase{11, 0, false, 0, 0},
        CardinalityCase{11, 1, true, 0, 0}, CardinalityCase{11, 2, true, 1, 0},
        CardinalityCase{11, 2, false, 1, 0},
        // REPEATED and unknown codes
        CardinalityCase{12, 0, true, 0, 0}, CardinalityCase{12, 3, true, 0, 0},
        CardinalityCase{13, 0, true, 0, 0},
        CardinalityCase{13, 3, true, 0, 0}));

TEST_F(Occurrence, CardinalityOverAWholeMessage) {
  start(Policy::Exact, 1);
  ActiveEntry e = entry(1, {0});
  for (uint32_t n : {1u, 3u, 3u, 1u, 3u}) record_occurrence(e.seen, n);
  apply_cardinality_multi(graph(), e, results_, true);
  EXPECT_EQ(results_[0].anomalies, 1u);         // field 1 twice
  EXPECT_EQ(results_[0].missing_required, 2u);  // fields 2 and 4
}

TEST_F(Occurrence, CardinalityWithoutFieldsChangesNothing) {
  start(Policy::Exact, 1);
  for (uint32_t key : {20u, 30u, 99u}) {
    ActiveEntry e = entry(key, {0});
    record_occurrence(e.seen, 7);
    record_occurrence(e.seen, 7);
    apply_cardinality_multi(graph(), e, results_, true);
  }
  EXPECT_EQ(results_[0].anomalies, 0u);
  EXPECT_EQ(results_[0].missing_required, 0u);
}

TEST_F(Occurrence, VetoUnderExactFlushesAndMarks) {
  start(Policy::Exact, 3);
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {0, 2}, 3));
  veto_all(entries, state_, Reason{"x"});
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(state_.settled_count, 2u);
  EXPECT_EQ(state_.settled[0], 0b101u);
  for (uint32_t p : {0u, 2u}) {
    EXPECT_TRUE(results_[p].vetoed);
    EXPECT_EQ(results_[p].unknown, 3u);
    EXPECT_EQ(results_[p].end, 100u);
  }
  EXPECT_FALSE(results_[1].vetoed);
}

TEST_F(Occurrence, VetoUnderScanResetsAfterTheFlush) {
  start(Policy::Scan, 1);
  state_.checkpoints[0] = Checkpoint{5, 2};
  ScoreResult& r = results_[0];
  r.matched = 9;
  r.unknown = 1;
  r.enum_out_of_range = 1;
  r.anomalies = 4;
  r.missing_required = 1;
  r.packing_mismatches = 1;
  r.cuts = 3;
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {0}, 7));
  veto_all(entries, state_, Reason{"x"});
  // The pending count lands before the reset, so it is wiped with the rest.
  EXPECT_EQ(r.unknown, 0u);
  EXPECT_EQ(r.matched, 2u);
  EXPECT_EQ(r.end, 5u);
  EXPECT_EQ(r.enum_out_of_range, 0u);
  EXPECT_EQ(r.anomalies, 0u);
  EXPECT_EQ(r.missing_required, 0u);
  EXPECT_EQ(r.packing_mismatches, 0u);
  EXPECT_EQ(r.cuts, 3u);
  EXPECT_FALSE(r.vetoed);
  EXPECT_EQ(r.type_name, TYPE);
  EXPECT_TRUE(state_.is_settled(0));
}

TEST_F(Occurrence, SecondVetoOnlyFlushes) {
  start(Policy::Exact, 1, TYPE);
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {0}));
  testing::internal::CaptureStderr();
  veto_all(entries, state_, Reason{"first"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), TRACE_PREFIX + "first\n");
  results_[0].anomalies = 6;

  entries.push_back(entry(1, {0}, 2));
  testing::internal::CaptureStderr();
  veto_all(entries, state_, Reason{"second"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(state_.settled_count, 1u);
  EXPECT_EQ(results_[0].unknown, 2u);
  EXPECT_EQ(results_[0].anomalies, 6u);
  EXPECT_TRUE(results_[0].vetoed);
}

TEST_F(Occurrence, SettledScanResultIsNotResetAgain) {
  start(Policy::Scan, 1);
  settle(state_, 0, Reason{"x"});
  results_[0].matched = 4;
  settle(state_, 0, Reason{"x"});
  EXPECT_EQ(results_[0].matched, 4u);
  EXPECT_EQ(state_.settled_count, 1u);
}

TEST_F(Occurrence, TraceLineBytesAndOrder) {
  start(Policy::Exact, 3, TYPE, {1});
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {2, 1}));
  entries.push_back(entry(1, {0}));
  testing::internal::CaptureStderr();
  veto_all(entries, state_,
           Reason{"wire-type mismatch on field {} (wire_type={})", {7, 2}});
  const std::string line =
      TRACE_PREFIX + "wire-type mismatch on field 7 (wire_type=2)\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);
}

TEST_F(Occurrence, TraceNeedsAnExactTypeName) {
  for (const char* debug : {".pkg.Msg", "pkg.Ms", "pkg.Msg ", "pkg.msg"}) {
    start(Policy::Exact, 1, debug);
    testing::internal::CaptureStderr();
    settle(state_, 0, Reason{"x"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << debug;
    EXPECT_TRUE(results_[0].vetoed);
  }
  start(Policy::Exact, 1);
  testing::internal::CaptureStderr();
  settle(state_, 0, Reason{"x"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Occurrence, CutClosesWithoutSettling) {
  start(Policy::Exact, 3, TYPE);
  results_[0].end = 40;
  std::vector<ActiveEntry> entries;
  ActiveEntry optional = entry(10, {0, 1}, 2);
  for (int i = 0; i < 3; ++i) record_occurrence(optional.seen, 7);
  entries.push_back(std::move(optional));
  entries.push_back(entry(11, {2}));  // its REQUIRED field never came
  testing::internal::CaptureStderr();
  cut_or_veto(entries, state_, true, Reason{"open-ended group"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(state_.settled_count, 0u);
  for (uint32_t p : {0u, 1u}) {
    EXPECT_EQ(results_[p].unknown, 2u);
    EXPECT_EQ(results_[p].anomalies, 2u);
  }
  EXPECT_EQ(results_[2].missing_required, 0u);
  for (uint32_t p : {0u, 1u, 2u}) {
    EXPECT_EQ(results_[p].cuts, 1u);
    EXPECT_FALSE(results_[p].vetoed);
    EXPECT_FALSE(state_.is_settled(p));
  }
  EXPECT_EQ(results_[0].end, 40u);
  EXPECT_EQ(results_[1].end, 100u);
}

TEST_F(Occurrence, CutUnderScanKeepsTheResult) {
  start(Policy::Scan, 1);
  results_[0].matched = 5;
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {0}));
  cut_or_veto(entries, state_, true, Reason{"x"});
  EXPECT_EQ(results_[0].matched, 5u);
  EXPECT_EQ(results_[0].end, 100u);
  EXPECT_EQ(results_[0].cuts, 1u);
}

TEST_F(Occurrence, NoCutIsAVeto) {
  start(Policy::Exact, 1, TYPE);
  std::vector<ActiveEntry> entries;
  ActiveEntry e = entry(10, {0}, 1);
  record_occurrence(e.seen, 7);
  record_occurrence(e.seen, 7);
  entries.push_back(std::move(e));
  testing::internal::CaptureStderr();
  cut_or_veto(entries, state_, false, Reason{"truncated I64 body"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            TRACE_PREFIX + "truncated I64 body\n");
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(results_[0].vetoed);
  EXPECT_EQ(results_[0].unknown, 1u);
  EXPECT_EQ(results_[0].anomalies, 0u);  // no cardinality on a veto
  EXPECT_EQ(results_[0].cuts, 0u);
}

TEST_F(Occurrence, EmptyArraysAreNoOps) {
  start(Policy::Exact, 1);
  std::vector<ActiveEntry> entries;
  veto_all(entries, state_, Reason{"x"});
  cut_or_veto(entries, state_, true, Reason{"x"});
  cut_or_veto(entries, state_, false, Reason{"x"});
  EXPECT_EQ(state_.settled_count, 0u);
}

TEST_F(Occurrence, PropagateWithUnchangedCountTouchesNothing) {
  start(Policy::Exact, 2);
  settle(state_, 1, Reason{"x"});
  uint64_t before = state_.settled_count;
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {0, 1}, 4));
  propagate_vetoes(entries, state_, before);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].pending_unknown, 4u);
  EXPECT_EQ(members_of(entries[0]), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(results_[0].unknown, 0u);
}

TEST_F(Occurrence, PropagateFlushesEveryEntryAndCompactsInOrder) {
  start(Policy::Exact, 10);
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {0, 1, 2, 3, 4, 5}, 1));
  entries.push_back(entry(1, {6}, 2));  // nothing settled here
  entries.push_back(entry(1, {7, 8}, 5));
  entries.push_back(entry(1, {9}));
  uint64_t before = state_.settled_count;
  for (uint32_t p : {1u, 4u, 7u, 8u}) settle(state_, p, Reason{"x"});
  propagate_vetoes(entries, state_, before);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(members_of(entries[0]), (std::vector<uint32_t>{0, 2, 3, 5}));
  EXPECT_EQ(members_of(entries[1]), (std::vector<uint32_t>{6}));
  EXPECT_EQ(members_of(entries[2]), (std::vector<uint32_t>{9}));
  for (const ActiveEntry& e : entries) EXPECT_EQ(e.pending_unknown, 0u);
  // Settled members still receive the flush before they are dropped.
  const uint64_t unknown[] = {1, 1, 1, 1, 1, 1, 2, 5, 5, 0};
  for (uint32_t p = 0; p < 10; ++p) EXPECT_EQ(results_[p].unknown, unknown[p]);
}

TEST_F(Occurrence, ResetResultTakesEnclosingPendingCount) {
  start(Policy::Scan, 2);
  state_.checkpoints[0] = Checkpoint{10, 3};
  results_[0].matched = 8;
  std::vector<ActiveEntry> outer;
  outer.push_back(entry(1, {0, 1}, 2));
  uint64_t before = state_.settled_count;
  std::vector<ActiveEntry> nested;
  nested.push_back(entry(1, {0}));
  veto_all(nested, state_, Reason{"x"});
  EXPECT_EQ(results_[0].matched, 3u);
  EXPECT_EQ(results_[0].unknown, 0u);
  propagate_vetoes(outer, state_, before);
  EXPECT_EQ(results_[0].unknown, 2u);
  EXPECT_EQ(results_[0].matched, 3u);
  EXPECT_EQ(results_[0].end, 10u);
  ASSERT_EQ(outer.size(), 1u);
  EXPECT_EQ(members_of(outer[0]), (std::vector<uint32_t>{1}));
}

TEST_F(Occurrence, EntriesFromPairsSortsAndCuts) {
  std::vector<KeyMember> pairs = {{12, 0}, {0x80000000u, 1}, {1, 2},
                                  {12, 3}, {1, 4},           {99, 5}};
  std::vector<ActiveEntry> entries = entries_from_pairs(graph(), pairs);
  ASSERT_EQ(entries.size(), 4u);
  const uint32_t keys[] = {1, 12, 99, 0x80000000u};
  const std::vector<uint32_t> members[] = {{2, 4}, {0, 3}, {5}, {1}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].key, keys[i]);
    EXPECT_EQ(members_of(entries[i]), members[i]);
    EXPECT_TRUE(entries[i].seen.empty());
    EXPECT_EQ(entries[i].class_, UNKNOWN);
    EXPECT_EQ(entries[i].pending_unknown, 0u);
  }
  EXPECT_EQ(entries[0].first_field, 0u);
  EXPECT_EQ(entries[0].field_count, 4u);
  EXPECT_EQ(entries[1].first_field, 6u);
  EXPECT_EQ(entries[1].field_count, 1u);
  for (size_t i : {2u, 3u}) {  // keys with no node
    EXPECT_EQ(entries[i].first_field, 0u);
    EXPECT_EQ(entries[i].field_count, 0u);
  }
}

TEST_F(Occurrence, EntriesFromPairsKeepsMemberOrderAtEverySize) {
  // Keys cycle 2, 1, 0 downwards, so every size needs a real sort.
  for (uint32_t n : {0u, 1u, 2u, 3u, 20u, 21u, 100u}) {
    std::vector<KeyMember> pairs;
    std::map<uint32_t, std::vector<uint32_t>> want;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t key = 2 - i % 3;
      pairs.push_back({key, i});
      want[key].push_back(i);
    }
    std::vector<ActiveEntry> entries = entries_from_pairs(graph(), pairs);
    ASSERT_EQ(entries.size(), want.size()) << n;
    size_t k = 0;
    for (const auto& [key, members] : want) {
      EXPECT_EQ(entries[k].key, key) << n;
      EXPECT_EQ(members_of(entries[k]), members) << n << " key " << key;
      ++k;
    }
  }
}

TEST_F(Occurrence, GroupByStateUsesOnlyTheGivenKey) {
  std::vector<KeyMember> pairs = {{7, 4}, {3, 1}, {9, 2}, {3, 0}};
  std::vector<ActiveEntry> entries = group_by_state(graph(), pairs, 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].key, 1u);
  EXPECT_EQ(members_of(entries[0]), (std::vector<uint32_t>{4, 1, 2, 0}));
  EXPECT_EQ(entries[0].field_count, 4u);
  for (const KeyMember& pair : pairs) EXPECT_EQ(pair.key, 1u);

  EXPECT_TRUE(group_by_state(graph(), {}, 1).empty());

  std::vector<KeyMember> many;
  for (uint32_t i = 0; i < 40; ++i) many.push_back({40 - i, i});
  entries = group_by_state(graph(), many, 99);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].field_count, 0u);
  ASSERT_EQ(entries[0].members.size(), 40u);
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(entries[0].members[i], i);
}

TEST_F(Occurrence, RemoveDeadKeepsOrder) {
  std::vector<ActiveEntry> entries;
  entries.push_back(entry(1, {}));
  entries.push_back(entry(10, {0}));
  entries.push_back(entry(11, {}));
  entries.push_back(entry(12, {1}));
  remove_dead(entries);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, 10u);
  EXPECT_EQ(entries[1].key, 12u);
}

TEST_F(Occurrence, MembersOutsideTheResultsAbort) {
  start(Policy::Exact, 2);
  EXPECT_THROW(settle(state_, 2, Reason{"x"}), InternalAbort);
  EXPECT_THROW(settle(state_, 64, Reason{"x"}), InternalAbort);
  ActiveEntry e = entry(11, {0, 5}, 1);
  EXPECT_THROW(flush(e, results_), InternalAbort);
  EXPECT_THROW(apply_cardinality_multi(graph(), e, results_, true),
               InternalAbort);
  EXPECT_THROW(state_.is_settled(64), InternalAbort);

  start(Policy::Scan, 2);
  state_.checkpoints.resize(1);
  EXPECT_THROW(settle(state_, 1, Reason{"x"}), InternalAbort);
  EXPECT_FALSE(state_.is_settled(1));
}

TEST_F(Occurrence, FieldRunOutsideTheGraphAborts) {
  start(Policy::Exact, 1);
  ActiveEntry e = entry(1, {0});
  e.first_field = 5;
  e.field_count = 4;
  EXPECT_THROW(apply_cardinality_multi(graph(), e, results_, true),
               InternalAbort);
  e.first_field = U32_MAX;
  e.field_count = 2;
  EXPECT_THROW(apply_cardinality_multi(graph(), e, results_, true),
               InternalAbort);
}

struct FormatCase {
  Reason reason;
  const char* text;
};

class ReasonFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(ReasonFormat, FillsPlaceholdersInOrder) {
  EXPECT_EQ(GetParam().reason.format(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReasonFormat,
    testing::Values(
        FormatCase{{"recursion depth exceeded"}, "recursion depth exceeded"},
        FormatCase{{"mismatched END_GROUP: expected field {}, got {}", {5, 6}},
                   "mismatched END_GROUP: expected field 5, got 6"},
        FormatCase{{"{}", {std::numeric_limits<uint64_t>::max()}},
                   "18446744073709551615"},
        FormatCase{{"{}{}-{}", {1, 0, 23}}, "10-23"},
        FormatCase{{"{} {} {} {}", {1, 2, 3}}, "1 2 3 {}"},
        FormatCase{{"{ } {", {1}}, "{ } {"}, FormatCase{{""}, ""}));

TEST(Records, NewWalkStateSizes) {
  TestGraph graph = make_graph(cardinality_graph());
  for (auto [n, words] : {std::pair{0u, 0u}, {1u, 1u}, {64u, 1u}, {65u, 2u}}) {
    std::vector<ScoreResult> results(n, new_result(TYPE, 7));
    ScoreOptions scan{true, Policy::Scan, false, true};
    WalkState state = new_walk_state(graph.root(), results, scan, "t", nullptr);
    EXPECT_EQ(state.settled.size(), words);
    for (uint64_t w : state.settled) EXPECT_EQ(w, 0u);
    EXPECT_EQ(state.checkpoints.size(), n);
    for (const Checkpoint& c : state.checkpoints) {
      EXPECT_EQ(c.end, 0u);
      EXPECT_EQ(c.matched, 0u);
    }
    EXPECT_EQ(state.settled_count, 0u);
    EXPECT_TRUE(state.expand_any);
    EXPECT_TRUE(state.count_packing);
    EXPECT_EQ(state.debug_type, "t");
    EXPECT_FALSE(state.type_index.has_value());

    ScoreOptions exact;
    state = new_walk_state(graph.root(), results, exact, std::nullopt, nullptr);
    EXPECT_TRUE(state.checkpoints.empty());
    EXPECT_FALSE(state.debug_type.has_value());
  }
  ScoreResult r = new_result(TYPE, 7);
  EXPECT_EQ(r.end, 7u);
  EXPECT_EQ(r.matched + r.unknown + r.enum_out_of_range + r.anomalies +
                r.missing_required + r.packing_mismatches + r.cuts,
            0u);
  EXPECT_FALSE(r.vetoed);
}

}  // namespace
}  // namespace vornatrel::score
