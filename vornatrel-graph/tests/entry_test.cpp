// The scoring entry: name lookup, results in request order, shared
// hypotheses, the Scan precondition, cancel, the trace switch, and real
// serialized descriptors.
#include "score/entry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "graph_writer.h"
#include "helpers/abort.h"
#include "wire_bytes.h"

namespace vornatrel::score {
namespace {

using namespace wire_bytes;

// Serialized FileDescriptorProtos of google/protobuf/timestamp.proto and
// struct.proto, printed by the protobuf Python package (7.34.1):
//   python -c "from google.protobuf import timestamp_pb2 as m;
//              print(m.DESCRIPTOR.serialized_pb.hex())"
constexpr char TIMESTAMP_PROTO[] =
    "0a1f676f6f676c652f70726f746f6275662f74696d657374616d702e70726f746f120f"
    "676f6f676c652e70726f746f627566223b0a0954696d657374616d7012180a07736563"
    "6f6e647318012001280352077365636f6e647312140a056e616e6f7318022001280552"
    "056e616e6f734285010a13636f6d2e676f6f676c652e70726f746f627566420e54696d"
    "657374616d7050726f746f50015a32676f6f676c652e676f6c616e672e6f72672f7072"
    "6f746f6275662f74797065732f6b6e6f776e2f74696d657374616d707062f80101a202"
    "03475042aa021e476f6f676c652e50726f746f6275662e57656c6c4b6e6f776e547970"
    "6573620670726f746f33";
constexpr char STRUCT_PROTO[] =
    "0a1c676f6f676c652f70726f746f6275662f7374727563742e70726f746f120f676f6f"
    "676c652e70726f746f6275662298010a06537472756374123b0a066669656c64731801"
    "2003280b32232e676f6f676c652e70726f746f6275662e5374727563742e4669656c64"
    "73456e74727952066669656c64731a510a0b4669656c6473456e74727912100a036b65"
    "7918012001280952036b6579122c0a0576616c756518022001280b32162e676f6f676c"
    "652e70726f746f6275662e56616c7565520576616c75653a02380122b2020a0556616c"
    "7565123b0a0a6e756c6c5f76616c756518012001280e321a2e676f6f676c652e70726f"
    "746f6275662e4e756c6c56616c7565480052096e756c6c56616c756512230a0c6e756d"
    "6265725f76616c75651802200128014800520b6e756d62657256616c756512230a0c73"
    "7472696e675f76616c75651803200128094800520b737472696e6756616c7565121f0a"
    "0a626f6f6c5f76616c756518042001280848005209626f6f6c56616c7565123c0a0c73"
    "74727563745f76616c756518052001280b32172e676f6f676c652e70726f746f627566"
    "2e5374727563744800520b73747275637456616c7565123b0a0a6c6973745f76616c75"
    "6518062001280b321a2e676f6f676c652e70726f746f6275662e4c69737456616c7565"
    "480052096c69737456616c756542060a046b696e64223b0a094c69737456616c756512"
    "2e0a0676616c75657318012003280b32162e676f6f676c652e70726f746f6275662e56"
    "616c7565520676616c7565732a1b0a094e756c6c56616c7565120e0a0a4e554c4c5f56"
    "414c55451000427f0a13636f6d2e676f6f676c652e70726f746f627566420b53747275"
    "637450726f746f50015a2f676f6f676c652e676f6c616e672e6f72672f70726f746f62"
    "75662f74797065732f6b6e6f776e2f7374727563747062f80101a20203475042aa021e"
    "476f6f676c652e50726f746f6275662e57656c6c4b6e6f776e5479706573620670726f"
    "746f33";

constexpr const char* FILE_TYPE = "google.protobuf.FileDescriptorProto";

uint32_t index_of(const char* name) { return wkt().find_type(name).value(); }

bool clean(const ScoreResult& r) {
  return !r.vetoed && r.unknown == 0 && r.enum_out_of_range == 0 &&
         r.anomalies == 0 && r.missing_required == 0;
}

void expect_same_score(const ScoreResult& a, const ScoreResult& b) {
  EXPECT_EQ(a.matched, b.matched);
  EXPECT_EQ(a.unknown, b.unknown);
  EXPECT_EQ(a.enum_out_of_range, b.enum_out_of_range);
  EXPECT_EQ(a.anomalies, b.anomalies);
  EXPECT_EQ(a.missing_required, b.missing_required);
  EXPECT_EQ(a.packing_mismatches, b.packing_mismatches);
  EXPECT_EQ(a.cuts, b.cuts);
  EXPECT_EQ(a.end, b.end);
  EXPECT_EQ(a.vetoed, b.vetoed);
}

class RealDescriptor : public ::testing::TestWithParam<const char*> {};

TEST_P(RealDescriptor, IsCleanUnderBothPolicies) {
  const Buf file = from_hex(GetParam());
  for (const ScoreOptions& options : {exact_options(), scan_options()}) {
    const ScoreResult r = score_one(file, FILE_TYPE, wkt(), options).value();
    EXPECT_TRUE(clean(r));
    EXPECT_EQ(r.end, file.size());
    EXPECT_GT(r.matched, 10u);
    EXPECT_EQ(r.packing_mismatches, 0u);
  }
}

TEST_P(RealDescriptor, ScanStopsAtTheEndOfTheMessage) {
  const Buf file = from_hex(GetParam());
  for (const Buf& tail : {raw({0x00}), raw({0x0A, 0x05, 'x'}), raw({0xFF}),
                          raw({0x0A, 0x03, 'a', '.', 'p', 0x12})}) {
    const Buf bytes = cat({file, tail});
    const ScoreResult r =
        score_one(bytes, FILE_TYPE, wkt(), scan_options()).value();
    EXPECT_TRUE(clean(r));
    EXPECT_EQ(r.end, file.size());
    EXPECT_FALSE(
        clean(score_one(bytes, FILE_TYPE, wkt(), exact_options()).value()));
  }
}

INSTANTIATE_TEST_SUITE_P(Wkt, RealDescriptor,
                         ::testing::Values(TIMESTAMP_PROTO, STRUCT_PROTO));

TEST(ScoreOne, LeadingDotsAreStripped) {
  const Buf file = from_hex(TIMESTAMP_PROTO);
  const ScoreResult plain =
      score_one(file, FILE_TYPE, wkt(), scan_options()).value();
  for (const char* query : {".google.protobuf.FileDescriptorProto",
                            "..google.protobuf.FileDescriptorProto"}) {
    const std::optional<ScoreResult> r =
        score_one(file, query, wkt(), scan_options());
    ASSERT_TRUE(r.has_value()) << query;
    EXPECT_EQ(r->type_name, FILE_TYPE);
    expect_same_score(*r, plain);
  }
}

TEST(ScoreOne, UnknownNameGivesNothing) {
  for (const char* name : {"google.protobuf.Nope", "", "...",
                           "google.protobuf.FileDescriptorProto."}) {
    EXPECT_FALSE(score_one({}, name, wkt(), scan_options()).has_value())
        << name;
  }
}

TEST(ScoreOne, EmptyBytes) {
  for (const ScoreOptions& options : {exact_options(), scan_options()}) {
    const ScoreResult r =
        score_one({}, "google.protobuf.Duration", wkt(), options).value();
    EXPECT_EQ(r.end, 0u);
    EXPECT_EQ(r.matched, 0u);
    EXPECT_TRUE(clean(r));
  }
}

TEST(ScoreSubset, ScanNeedsExtensionRanges) {
  graph_writer::GraphPlan plan;
  plan.nodes = {{.key = 0}, {.key = 1, .fields = {{.number = 1}}}};
  plan.type_names = {{"google.protobuf.Any", 0}, {"t.M", 1}};
  plan.has_ext_ranges = false;
  const graph_writer::TestGraph graph = graph_writer::make_graph(plan);
  const Buf bytes = vfield(1, 1);
  try {
    score_one(bytes, "t.M", graph.root(), scan_options());
    ADD_FAILURE() << "no abort";
  } catch (const helpers::InternalAbort& abort) {
    EXPECT_STREQ(abort.what(),
                 "Policy::Scan needs a graph built with extension ranges; "
                 "rebuild the schema database with dravusk's "
                 "--emit-extension-ranges");
  }
  // Even a name the graph does not have, and an empty request.
  EXPECT_THROW(score_subset(bytes, graph.root(), scan_options(), {}, nullptr),
               helpers::InternalAbort);
  const ScoreResult r =
      score_one(bytes, "t.M", graph.root(), exact_options()).value();
  EXPECT_EQ(r.matched, 1u);
  EXPECT_TRUE(clean(r));
}

TEST(ScoreSubset, IndexOutOfRangeAborts) {
  const uint32_t indexes[] = {index_of("google.protobuf.Duration"),
                              wkt().type_name_count()};
  EXPECT_THROW(score_subset({}, wkt(), exact_options(), indexes, nullptr),
               helpers::InternalAbort);
}

TEST(ScoreSubset, NamesSharingANodeShareOneHypothesis) {
  const uint32_t indexes[] = {index_of("google.protobuf.Timestamp"),
                              index_of("google.protobuf.Duration"),
                              index_of("google.protobuf.Timestamp")};
  const Buf good = cat({vfield(1, 5), vfield(2, 7)});
  const Buf bad = cat({vfield(1, 5), vfield(2, uint64_t{1} << 32)});
  for (const ScoreOptions& options : {exact_options(), scan_options()}) {
    for (const bool broken : {false, true}) {
      const Buf& bytes = broken ? bad : good;
      std::vector<ScoreResult> r =
          score_subset(bytes, wkt(), options, indexes, nullptr);
      ASSERT_EQ(r.size(), 3u);
      EXPECT_EQ(r[0].type_name, "google.protobuf.Timestamp");
      EXPECT_EQ(r[1].type_name, "google.protobuf.Duration");
      EXPECT_EQ(r[2].type_name, "google.protobuf.Timestamp");
      expect_same_score(r[0], r[1]);
      expect_same_score(r[0], r[2]);
      EXPECT_EQ(r[0].vetoed, broken && options.policy == Policy::Exact);
    }
  }
}

TEST(ScoreSubset, ManyIndexesKeepTheRequestOrder) {
  const char* names[] = {
      "google.protobuf.Int64Value", "google.protobuf.UInt32Value",
      "google.protobuf.Int32Value", "google.protobuf.BoolValue"};
  std::vector<uint32_t> indexes;
  for (int i = 0; i < 25; ++i) indexes.push_back(index_of(names[i % 4]));
  // 2^32 - 1 fits everything but bool, which counts an enum miss.
  const Buf bytes = cat({tag(1, 0), raw({0xFF, 0xFF, 0xFF, 0xFF, 0x0F})});
  std::vector<ScoreResult> r =
      score_subset(bytes, wkt(), exact_options(), indexes, nullptr);
  ASSERT_EQ(r.size(), indexes.size());
  for (size_t j = 0; j < r.size(); ++j) {
    EXPECT_EQ(r[j].type_name, names[j % 4]) << j;
    EXPECT_EQ(r[j].matched, 1u);
    EXPECT_FALSE(r[j].vetoed);
    EXPECT_EQ(r[j].anomalies, j % 4 >= 2 ? 1u : 0u) << j;
    EXPECT_EQ(r[j].enum_out_of_range, j % 4 == 3 ? 1u : 0u) << j;
  }
}

TEST(ScoreSubset, CancelStopsTheWalk) {
  const Buf file = from_hex(STRUCT_PROTO);
  const uint32_t indexes[] = {index_of(FILE_TYPE)};
  std::atomic<uint8_t> cancel{1};
  std::vector<ScoreResult> r =
      score_subset(file, wkt(), scan_options(), indexes, &cancel);
  EXPECT_EQ(r[0].end, file.size());
  EXPECT_EQ(r[0].matched, 0u);
  cancel = 0;
  r = score_subset(file, wkt(), scan_options(), indexes, &cancel);
  EXPECT_GT(r[0].matched, 0u);
}

TEST(ScoreSubset, TraceSwitch) {
  const Buf bytes = raw({0x0A, 0x01, 0xFF});
  const char* type = "google.protobuf.StringValue";
  EXPECT_EQ(trace_of(wkt(), bytes, type, exact_options()),
            veto_line(type, "invalid UTF-8 on string field 1"));
  // Another type, a dotted spelling, and a value that is not UTF-8 are off.
  for (const char* other :
       {"google.protobuf.BytesValue", ".google.protobuf.StringValue", "\xFF"}) {
    DebugTypeGuard guard(other);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(score_one(bytes, type, wkt(), exact_options())->vetoed);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << other;
  }
}

}  // namespace
}  // namespace vornatrel::score
