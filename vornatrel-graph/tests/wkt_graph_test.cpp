// The compiled-in well-known-types graph, read through the graph reader and
// checked record by record against the expected schema graph.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "score/load.h"
#include "wkt_graph_data.h"

namespace vornatrel::score::load {
namespace {

// Message node keys.
enum : uint32_t {
  kAny = 0,
  kOpaque = 1,
  kApi = 2,
  kBoolValue = 3,
  kBytesValue = 4,
  kDescriptorProto = 5,
  kExtensionRange = 6,
  kReservedRange = 7,
  kDoubleValue = 8,
  kDuration = 9,
  kEmpty = 10,
  kEnum = 11,
  kEnumDescriptorProto = 12,
  kEnumOptions = 13,
  kEnumValue = 14,
  kEnumValueDescriptorProto = 15,
  kEnumValueOptions = 16,
  kExtensionRangeOptions = 17,
  kDeclaration = 18,
  kFeatureSet = 19,
  kFeatureSetDefaults = 20,
  kFeatureSetEditionDefault = 21,
  kField = 22,
  kFieldDescriptorProto = 23,
  kFieldMask = 24,
  kFieldOptions = 25,
  kEditionDefault = 26,
  kFeatureSupport = 27,
  kFileDescriptorProto = 28,
  kFileDescriptorSet = 29,
  kFileOptions = 30,
  kFloatValue = 31,
  kGeneratedCodeInfo = 32,
  kAnnotation = 33,
  kInt32Value = 34,
  kInt64Value = 35,
  kListValue = 36,
  kMessageOptions = 37,
  kMethod = 38,
  kMethodDescriptorProto = 39,
  kMethodOptions = 40,
  kMixin = 41,
  kOneofDescriptorProto = 42,
  kOneofOptions = 43,
  kOption = 44,
  kServiceDescriptorProto = 45,
  kServiceOptions = 46,
  kSourceCodeInfo = 47,
  kLocation = 48,
  kSourceContext = 49,
  kStruct = 50,
  kFieldsEntry = 51,
  kType = 52,
  kUInt32Value = 53,
  kUninterpretedOption = 54,
  kNamePart = 55,
  kValue = 56,
};

// Scalar and enum node keys.
enum : uint32_t {
  kVarint = 57,
  kUint32 = 58,
  kInt32 = 59,
  kI64 = 60,
  kBytes = 61,
  kString = 62,
  kI32 = 63,
  kBool = 64,     // 0..1
  kE0to2 = 65,    // 0..2
  kE0to3 = 66,    // 0..3
  kE0to4 = 67,    // 0..4
  kEdition = 68,  // 0..2147483647
  kE1to3 = 69,    // 1..3
  kE1to18 = 70,   // 1..18
  kE0to9 = 71,    // 0..9
};

constexpr uint32_t kMessageNodes = 57;
constexpr uint32_t kNodeCount = 72;
constexpr uint32_t kFieldCount = 243;
constexpr uint16_t kFeatureList = 0;
constexpr uint16_t kOptionsList = 1;
constexpr uint16_t kDeclarationList = 2;
constexpr uint32_t kMaxFieldNumber = 536870911;

const GraphRoot& wkt() {
  static const LoadedGraph* graph = [] {
    auto loaded = LoadedGraph::from_static_bytes(Bytes(
        ravick::wkt_graph_data::FILE_BYTES, ravick::wkt_graph_data::FILE_SIZE));
    if (auto* error = std::get_if<LoadError>(&loaded)) {
      std::fprintf(stderr, "%s\n", error->message.c_str());
      std::abort();
    }
    return new LoadedGraph(std::get<LoadedGraph>(std::move(loaded)));
  }();
  return graph->root();
}

TEST(WktGraphFile, HeaderAndTotals) {
  ASSERT_EQ(ravick::wkt_graph_data::FILE_SIZE, 8160u);
  const Bytes file(ravick::wkt_graph_data::FILE_BYTES,
                   ravick::wkt_graph_data::FILE_SIZE);
  const auto root_offset = check_header(file, "<embedded>");
  ASSERT_TRUE(std::holds_alternative<uint64_t>(root_offset));
  EXPECT_EQ(std::get<uint64_t>(root_offset), 24u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(file.data()) % 16, 0u);

  const GraphRoot& g = wkt();
  EXPECT_EQ(g.archive().size(), 8136u);
  EXPECT_EQ(g.archive().size() - ROOT_SIZE, 8080u);
  EXPECT_EQ(g.node_count(), kNodeCount);
  EXPECT_EQ(g.key_count(), kNodeCount);
  EXPECT_EQ(g.field_count(), kFieldCount);
  EXPECT_EQ(g.type_name_count(), 61u);
  EXPECT_EQ(g.enum_range_count(), 8u);
  EXPECT_EQ(g.ext_range_count(), 3u);
  EXPECT_EQ(g.ext_range_list_count(), 3u);
  EXPECT_TRUE(g.has_ext_ranges());
}

struct NameKey {
  const char* name;  // without the "google.protobuf." prefix
  uint32_t key;
};

// The whole type-name table, in table order.
constexpr NameKey kTypeNames[] = {
    {"Any", kAny},
    {"SourceContext", kSourceContext},
    {"Enum", kEnum},
    {"EnumValue", kEnumValue},
    {"Field", kField},
    {"Option", kOption},
    {"Type", kType},
    {"Api", kApi},
    {"Method", kMethod},
    {"Mixin", kMixin},
    {"DescriptorProto", kDescriptorProto},
    {"DescriptorProto.ExtensionRange", kExtensionRange},
    {"DescriptorProto.ReservedRange", kReservedRange},
    {"EnumDescriptorProto", kEnumDescriptorProto},
    {"EnumDescriptorProto.EnumReservedRange", kReservedRange},
    {"EnumOptions", kEnumOptions},
    {"EnumValueDescriptorProto", kEnumValueDescriptorProto},
    {"EnumValueOptions", kEnumValueOptions},
    {"ExtensionRangeOptions", kExtensionRangeOptions},
    {"ExtensionRangeOptions.Declaration", kDeclaration},
    {"FeatureSet", kFeatureSet},
    {"FeatureSet.VisibilityFeature", kEmpty},
    {"FeatureSetDefaults", kFeatureSetDefaults},
    {"FeatureSetDefaults.FeatureSetEditionDefault", kFeatureSetEditionDefault},
    {"FieldDescriptorProto", kFieldDescriptorProto},
    {"FieldOptions", kFieldOptions},
    {"FieldOptions.EditionDefault", kEditionDefault},
    {"FieldOptions.FeatureSupport", kFeatureSupport},
    {"FileDescriptorProto", kFileDescriptorProto},
    {"FileDescriptorSet", kFileDescriptorSet},
    {"FileOptions", kFileOptions},
    {"GeneratedCodeInfo", kGeneratedCodeInfo},
    {"GeneratedCodeInfo.Annotation", kAnnotation},
    {"MessageOptions", kMessageOptions},
    {"MethodDescriptorProto", kMethodDescriptorProto},
    {"MethodOptions", kMethodOptions},
    {"OneofDescriptorProto", kOneofDescriptorProto},
    {"OneofOptions", kOneofOptions},
    {"ServiceDescriptorProto", kServiceDescriptorProto},
    {"ServiceOptions", kServiceOptions},
    {"SourceCodeInfo", kSourceCodeInfo},
    {"SourceCodeInfo.Location", kLocation},
    {"UninterpretedOption", kUninterpretedOption},
    {"UninterpretedOption.NamePart", kNamePart},
    {"Duration", kDuration},
    {"Empty", kEmpty},
    {"FieldMask", kFieldMask},
    {"ListValue", kListValue},
    {"Struct", kStruct},
    {"Struct.FieldsEntry", kFieldsEntry},
    {"Value", kValue},
    {"Timestamp", kDuration},
    {"BoolValue", kBoolValue},
    {"BytesValue", kBytesValue},
    {"DoubleValue", kDoubleValue},
    {"FloatValue", kFloatValue},
    {"Int32Value", kInt32Value},
    {"Int64Value", kInt64Value},
    {"StringValue", kSourceContext},
    {"UInt32Value", kUInt32Value},
    {"UInt64Value", kInt64Value},
};

std::string full(const char* short_name) {
  return std::string("google.protobuf.") + short_name;
}

TEST(WktGraphTypeNames, EveryNameWithItsKeyInTableOrder) {
  const GraphRoot& g = wkt();
  ASSERT_EQ(g.type_name_count(), std::size(kTypeNames));
  for (uint32_t i = 0; i < std::size(kTypeNames); ++i) {
    const std::string name = full(kTypeNames[i].name);
    SCOPED_TRACE(name);
    const TypeNameEntry entry = g.type_name(i);
    EXPECT_EQ(entry.name, name);
    EXPECT_EQ(entry.key, kTypeNames[i].key);
    EXPECT_EQ(g.find_type(name), std::optional<uint32_t>(i));
    EXPECT_EQ(g.find_type("." + name), std::optional<uint32_t>(i));
  }
  const TypeIndex index = g.build_type_index();
  EXPECT_EQ(index.size(), std::size(kTypeNames));
  EXPECT_EQ(index.at("google.protobuf.Any"), kAny);
}

TEST(WktGraphTypeNames, FileDescriptorProtoLookup) {
  const GraphRoot& g = wkt();
  const auto index = g.find_type("google.protobuf.FileDescriptorProto");
  ASSERT_EQ(index, std::optional<uint32_t>(28));
  const uint32_t key = g.type_name(*index).key;
  EXPECT_EQ(key, kFileDescriptorProto);
  const auto node = g.node_by_key(key);
  ASSERT_TRUE(node.has_value());
  const auto messages =
      g.field_by_number(node->first_field, node->field_count, 4);
  const auto source_info =
      g.field_by_number(node->first_field, node->field_count, 9);
  ASSERT_TRUE(messages.has_value());
  ASSERT_TRUE(source_info.has_value());
  EXPECT_EQ(messages->target, kDescriptorProto);
  EXPECT_EQ(source_info->target, kSourceCodeInfo);
  EXPECT_FALSE(
      g.field_by_number(node->first_field, node->field_count, 13).has_value());
}

TEST(WktGraphTypeNames, EnumTypesAndOddQueriesHaveNoEntry) {
  const GraphRoot& g = wkt();
  for (const char* name : {
           "google.protobuf.FieldDescriptorProto.Type",
           "google.protobuf.FieldDescriptorProto.Label",
           "google.protobuf.Edition",
           "google.protobuf.SymbolVisibility",
           "google.protobuf.FeatureSet.VisibilityFeature."
           "DefaultSymbolVisibility",
           "google.protobuf.NullValue",
           "google.protobuf.Syntax",
           "google.protobuf.Field.Kind",
           "google.protobuf",
           "...",
           "",
       }) {
    EXPECT_FALSE(g.find_type(name).has_value()) << name;
  }
}

TEST(WktGraphTypeNames, SharedNodes) {
  const GraphRoot& g = wkt();
  const auto key_of = [&](const char* short_name) {
    const auto index = g.find_type(full(short_name));
    EXPECT_TRUE(index.has_value()) << short_name;
    return index ? g.type_name(*index).key : UINT32_MAX;
  };
  const std::pair<const char*, const char*> shared[] = {
      {"Duration", "Timestamp"},
      {"Empty", "FeatureSet.VisibilityFeature"},
      {"DescriptorProto.ReservedRange",
       "EnumDescriptorProto.EnumReservedRange"},
      {"SourceContext", "StringValue"},
      {"Int64Value", "UInt64Value"},
  };
  for (const auto& [a, b] : shared) {
    EXPECT_EQ(key_of(a), key_of(b)) << a << " / " << b;
  }
  EXPECT_NE(key_of("Int32Value"), key_of("UInt32Value"));
}

// Nodes without a name: key 1 is a fieldless message no field reaches.
TEST(WktGraphNodes, OpaqueNodeIsUnnamedAndUnreferenced) {
  const GraphRoot& g = wkt();
  const auto node = g.node_by_key(kOpaque);
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->kind, KIND_MESSAGE);
  EXPECT_EQ(node->field_count, 0u);
  for (uint32_t i = 0; i < g.type_name_count(); ++i) {
    EXPECT_NE(g.type_name(i).key, kOpaque);
  }
  for (uint32_t i = 0; i < g.field_count(); ++i) {
    EXPECT_NE(g.field(i).target, kOpaque);
  }
}

TEST(WktGraphNodes, KeysKindsAndRanges) {
  const GraphRoot& g = wkt();
  struct Expected {
    uint8_t kind;
    uint8_t utf8;
    uint16_t enum_index;
  };
  std::vector<Expected> expected(kMessageNodes, {KIND_MESSAGE, 0, NO_INDEX});
  const Expected tail[] = {
      {KIND_VARINT, 0, NO_INDEX}, {KIND_UINT32, 0, NO_INDEX},
      {KIND_INT32, 0, NO_INDEX},  {KIND_I64, 0, NO_INDEX},
      {KIND_LEN, 0, NO_INDEX},    {KIND_LEN, 1, NO_INDEX},
      {KIND_I32, 0, NO_INDEX},    {KIND_VARINT, 0, 0},
      {KIND_VARINT, 0, 1},        {KIND_VARINT, 0, 2},
      {KIND_VARINT, 0, 3},        {KIND_VARINT, 0, 4},
      {KIND_VARINT, 0, 5},        {KIND_VARINT, 0, 6},
      {KIND_VARINT, 0, 7},
  };
  expected.insert(expected.end(), std::begin(tail), std::end(tail));
  ASSERT_EQ(expected.size(), kNodeCount);
  for (uint32_t i = 0; i < kNodeCount; ++i) {
    SCOPED_TRACE(i);
    const TypeNode node = g.node(i);
    EXPECT_EQ(node.key, i);
    EXPECT_EQ(node.kind, expected[i].kind);
    EXPECT_EQ(node.utf8, expected[i].utf8);
    EXPECT_EQ(node.enum_index, expected[i].enum_index);
    if (node.kind != KIND_MESSAGE) {
      EXPECT_EQ(node.ext_list, NO_INDEX);
      EXPECT_EQ(node.field_count, 0u);
      EXPECT_EQ(node.first_field, kFieldCount);
    }
  }
  EXPECT_FALSE(g.node_by_key(kNodeCount).has_value());
  EXPECT_FALSE(g.node_by_key(UINT32_MAX).has_value());

  const std::pair<int32_t, int32_t> ranges[] = {
      {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 2147483647}, {1, 3}, {1, 18}, {0, 9},
  };
  ASSERT_EQ(g.enum_range_count(), std::size(ranges));
  for (uint32_t i = 0; i < std::size(ranges); ++i) {
    EXPECT_EQ(g.enum_range(i).min, ranges[i].first) << i;
    EXPECT_EQ(g.enum_range(i).max, ranges[i].second) << i;
  }
}

struct F {
  uint32_t number;
  uint32_t target;
  uint8_t cardinality = OPTIONAL;
  uint8_t packed = 0;
};
F rep(uint32_t number, uint32_t target) { return {number, target, REPEATED}; }
F req(uint32_t number, uint32_t target) { return {number, target, REQUIRED}; }
F packed(uint32_t number, uint32_t target) {
  return {number, target, REPEATED, 1};
}

struct ExpectedMessage {
  uint32_t key;
  uint16_t ext_list;
  std::vector<F> fields;
};

// Every message node by key, with its extension list and all its fields.
const std::vector<ExpectedMessage>& expected_messages() {
  constexpr uint16_t kNone = NO_INDEX;
  constexpr uint32_t kUninterpreted = kUninterpretedOption;
  // clang-format off
  static const std::vector<ExpectedMessage> messages = {
    {kAny, kNone, {{1, kString}, {2, kBytes}}},
    {kOpaque, kNone, {}},
    {kApi, kNone, {{1, kString}, rep(2, kMethod), rep(3, kOption),
        {4, kString}, {5, kSourceContext}, rep(6, kMixin), {7, kInt32},
        {8, kString}}},
    {kBoolValue, kNone, {{1, kBool}}},
    {kBytesValue, kNone, {{1, kBytes}}},
    {kDescriptorProto, kNone, {{1, kString}, rep(2, kFieldDescriptorProto),
        rep(3, kDescriptorProto), rep(4, kEnumDescriptorProto),
        rep(5, kExtensionRange), rep(6, kFieldDescriptorProto),
        {7, kMessageOptions}, rep(8, kOneofDescriptorProto),
        rep(9, kReservedRange), rep(10, kString), {11, kE0to2}}},
    {kExtensionRange, kNone, {{1, kInt32}, {2, kInt32},
        {3, kExtensionRangeOptions}}},
    {kReservedRange, kNone, {{1, kInt32}, {2, kInt32}}},
    {kDoubleValue, kNone, {{1, kI64}}},
    {kDuration, kNone, {{1, kVarint}, {2, kInt32}}},
    {kEmpty, kNone, {}},
    {kEnum, kNone, {{1, kString}, rep(2, kEnumValue), rep(3, kOption),
        {4, kSourceContext}, {5, kInt32}, {6, kString}}},
    {kEnumDescriptorProto, kNone, {{1, kString},
        rep(2, kEnumValueDescriptorProto), {3, kEnumOptions},
        rep(4, kReservedRange), rep(5, kString), {6, kE0to2}}},
    {kEnumOptions, kOptionsList, {{2, kBool}, {3, kBool}, {6, kBool},
        {7, kFeatureSet}, rep(999, kUninterpreted)}},
    {kEnumValue, kNone, {{1, kString}, {2, kInt32}, rep(3, kOption)}},
    {kEnumValueDescriptorProto, kNone, {{1, kString}, {2, kInt32},
        {3, kEnumValueOptions}}},
    {kEnumValueOptions, kOptionsList, {{1, kBool}, {2, kFeatureSet},
        {3, kBool}, {4, kFeatureSupport}, rep(999, kUninterpreted)}},
    {kExtensionRangeOptions, kOptionsList, {rep(2, kDeclaration), {3, kBool},
        {50, kFeatureSet}, rep(999, kUninterpreted)}},
    {kDeclaration, kNone, {{1, kInt32}, {2, kString}, {3, kString},
        {5, kBool}, {6, kBool}}},
    {kFeatureSet, kFeatureList, {{1, kE0to3}, {2, kE0to2}, {3, kE0to2},
        {4, kE0to3}, {5, kE0to2}, {6, kE0to2}, {7, kE0to2}, {8, kE0to4}}},
    {kFeatureSetDefaults, kNone, {rep(1, kFeatureSetEditionDefault),
        {4, kEdition}, {5, kEdition}}},
    {kFeatureSetEditionDefault, kNone, {{3, kEdition}, {4, kFeatureSet},
        {5, kFeatureSet}}},
    {kField, kNone, {{1, kInt32}, {2, kInt32}, {3, kInt32}, {4, kString},
        {6, kString}, {7, kInt32}, {8, kBool}, rep(9, kOption),
        {10, kString}, {11, kString}}},
    {kFieldDescriptorProto, kNone, {{1, kString}, {2, kString}, {3, kInt32},
        {4, kE1to3}, {5, kE1to18}, {6, kString}, {7, kString},
        {8, kFieldOptions}, {9, kInt32}, {10, kString}, {17, kBool}}},
    {kFieldMask, kNone, {rep(1, kString)}},
    {kFieldOptions, kOptionsList, {{1, kE0to2}, {2, kBool}, {3, kBool},
        {5, kBool}, {6, kE0to2}, {10, kBool}, {15, kBool}, {16, kBool},
        {17, kE0to2}, rep(19, kE0to9), rep(20, kEditionDefault),
        {21, kFeatureSet}, {22, kFeatureSupport}, rep(999, kUninterpreted)}},
    {kEditionDefault, kNone, {{2, kString}, {3, kEdition}}},
    {kFeatureSupport, kNone, {{1, kEdition}, {2, kEdition}, {3, kString},
        {4, kEdition}, {5, kString}}},
    {kFileDescriptorProto, kNone, {{1, kString}, {2, kString},
        rep(3, kString), rep(4, kDescriptorProto),
        rep(5, kEnumDescriptorProto), rep(6, kServiceDescriptorProto),
        rep(7, kFieldDescriptorProto), {8, kFileOptions},
        {9, kSourceCodeInfo}, rep(10, kInt32), rep(11, kInt32),
        {12, kString}, {14, kEdition}, rep(15, kString)}},
    {kFileDescriptorSet, kDeclarationList, {rep(1, kFileDescriptorProto)}},
    {kFileOptions, kOptionsList, {{1, kString}, {8, kString}, {9, kE1to3},
        {10, kBool}, {11, kString}, {16, kBool}, {17, kBool}, {18, kBool},
        {20, kBool}, {23, kBool}, {27, kBool}, {31, kBool}, {36, kString},
        {37, kString}, {39, kString}, {40, kString}, {41, kString},
        {44, kString}, {45, kString}, {50, kFeatureSet},
        rep(999, kUninterpreted)}},
    {kFloatValue, kNone, {{1, kI32}}},
    {kGeneratedCodeInfo, kNone, {rep(1, kAnnotation)}},
    {kAnnotation, kNone, {packed(1, kInt32), {2, kString}, {3, kInt32},
        {4, kInt32}, {5, kE0to2}}},
    {kInt32Value, kNone, {{1, kInt32}}},
    {kInt64Value, kNone, {{1, kVarint}}},
    {kListValue, kNone, {rep(1, kValue)}},
    {kMessageOptions, kOptionsList, {{1, kBool}, {2, kBool}, {3, kBool},
        {7, kBool}, {11, kBool}, {12, kFeatureSet},
        rep(999, kUninterpreted)}},
    {kMethod, kNone, {{1, kString}, {2, kString}, {3, kBool}, {4, kString},
        {5, kBool}, rep(6, kOption), {7, kInt32}, {8, kString}}},
    {kMethodDescriptorProto, kNone, {{1, kString}, {2, kString},
        {3, kString}, {4, kMethodOptions}, {5, kBool}, {6, kBool}}},
    {kMethodOptions, kOptionsList, {{33, kBool}, {34, kE0to2},
        {35, kFeatureSet}, rep(999, kUninterpreted)}},
    {kMixin, kNone, {{1, kString}, {2, kString}}},
    {kOneofDescriptorProto, kNone, {{1, kString}, {2, kOneofOptions}}},
    {kOneofOptions, kOptionsList, {{1, kFeatureSet},
        rep(999, kUninterpreted)}},
    {kOption, kNone, {{1, kString}, {2, kAny}}},
    {kServiceDescriptorProto, kNone, {{1, kString},
        rep(2, kMethodDescriptorProto), {3, kServiceOptions}}},
    {kServiceOptions, kOptionsList, {{33, kBool}, {34, kFeatureSet},
        rep(999, kUninterpreted)}},
    {kSourceCodeInfo, kDeclarationList, {rep(1, kLocation)}},
    {kLocation, kNone, {packed(1, kInt32), packed(2, kInt32), {3, kString},
        {4, kString}, rep(6, kString)}},
    {kSourceContext, kNone, {{1, kString}}},
    {kStruct, kNone, {rep(1, kFieldsEntry)}},
    {kFieldsEntry, kNone, {{1, kString}, {2, kValue}}},
    {kType, kNone, {{1, kString}, rep(2, kField), rep(3, kString),
        rep(4, kOption), {5, kSourceContext}, {6, kInt32}, {7, kString}}},
    {kUInt32Value, kNone, {{1, kUint32}}},
    {kUninterpretedOption, kNone, {rep(2, kNamePart), {3, kString},
        {4, kVarint}, {5, kVarint}, {6, kI64}, {7, kBytes}, {8, kString}}},
    {kNamePart, kNone, {req(1, kString), req(2, kBool)}},
    {kValue, kNone, {{1, kInt32}, {2, kI64}, {3, kString}, {4, kBool},
        {5, kStruct}, {6, kListValue}}},
  };
  // clang-format on
  return messages;
}

// The wire type a value of the target node is written with.
uint8_t wire_type_of(uint32_t target) {
  if (target < kMessageNodes) return 2;
  switch (target) {
    case kI64:
      return 1;
    case kBytes:
    case kString:
      return 2;
    case kI32:
      return 5;
    default:
      return 0;  // VARINT, UINT32, INT32 and the enum nodes
  }
}

TEST(WktGraphFields, EveryMessageNodeWithAllItsFields) {
  const GraphRoot& g = wkt();
  const auto& messages = expected_messages();
  ASSERT_EQ(messages.size(), kMessageNodes);
  uint32_t next_field = 0;
  for (uint32_t key = 0; key < kMessageNodes; ++key) {
    const ExpectedMessage& expected = messages[key];
    ASSERT_EQ(expected.key, key);
    SCOPED_TRACE("node " + std::to_string(key));
    const auto node = g.node_by_key(key);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->kind, KIND_MESSAGE);
    EXPECT_EQ(node->ext_list, expected.ext_list);
    ASSERT_EQ(node->field_count, expected.fields.size());
    // Field runs follow each other in key order; empty nodes point past all.
    EXPECT_EQ(node->first_field,
              expected.fields.empty() ? kFieldCount : next_field);
    next_field += node->field_count;
    for (uint32_t i = 0; i < expected.fields.size(); ++i) {
      const F& want = expected.fields[i];
      SCOPED_TRACE("field " + std::to_string(want.number));
      const FieldEdge edge = g.field(node->first_field + i);
      EXPECT_EQ(edge.owner, key);
      EXPECT_EQ(edge.number, want.number);
      EXPECT_EQ(edge.cardinality, want.cardinality);
      EXPECT_EQ(edge.wire_type, wire_type_of(want.target));
      EXPECT_EQ(edge.packed, want.packed);
      EXPECT_EQ(edge.target, want.target);
      const auto found =
          g.field_by_number(node->first_field, node->field_count, want.number);
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->target, want.target);
    }
  }
  EXPECT_EQ(next_field, kFieldCount);
}

TEST(WktGraphFields, ScalarAndEnumNodesHaveNoFields) {
  const GraphRoot& g = wkt();
  for (uint32_t key = kMessageNodes; key < kNodeCount; ++key) {
    const auto node = g.node_by_key(key);
    ASSERT_TRUE(node.has_value());
    EXPECT_FALSE(
        g.field_by_number(node->first_field, node->field_count, 1).has_value());
  }
}

using FieldId = std::pair<uint32_t, uint32_t>;  // owner key, number

std::set<FieldId> users_of(const GraphRoot& g, uint32_t target) {
  std::set<FieldId> users;
  for (uint32_t i = 0; i < g.field_count(); ++i) {
    const FieldEdge edge = g.field(i);
    if (edge.target == target) users.insert({edge.owner, edge.number});
  }
  return users;
}

TEST(WktGraphFields, EnumRangeUsers) {
  const GraphRoot& g = wkt();
  const std::pair<uint32_t, std::set<FieldId>> users[] = {
      {kE0to2,
       {{kDescriptorProto, 11},
        {kEnumDescriptorProto, 6},
        {kFeatureSet, 2},
        {kFeatureSet, 3},
        {kFeatureSet, 5},
        {kFeatureSet, 6},
        {kFeatureSet, 7},
        {kFieldOptions, 1},
        {kFieldOptions, 6},
        {kFieldOptions, 17},
        {kAnnotation, 5},
        {kMethodOptions, 34}}},
      {kE0to3, {{kFeatureSet, 1}, {kFeatureSet, 4}}},
      {kE0to4, {{kFeatureSet, 8}}},
      {kEdition,
       {{kFeatureSetDefaults, 4},
        {kFeatureSetDefaults, 5},
        {kFeatureSetEditionDefault, 3},
        {kEditionDefault, 3},
        {kFeatureSupport, 1},
        {kFeatureSupport, 2},
        {kFeatureSupport, 4},
        {kFileDescriptorProto, 14}}},
      {kE1to3, {{kFieldDescriptorProto, 4}, {kFileOptions, 9}}},
      {kE1to18, {{kFieldDescriptorProto, 5}}},
      {kE0to9, {{kFieldOptions, 19}}},
  };
  for (const auto& [target, expected] : users) {
    EXPECT_EQ(users_of(g, target), expected) << "enum node " << target;
  }
  // Open enums are read as INT32.
  const std::set<FieldId> int32_users = users_of(g, kInt32);
  for (const FieldId& open : std::initializer_list<FieldId>{{kField, 1},
                                                            {kField, 2},
                                                            {kType, 6},
                                                            {kEnum, 5},
                                                            {kApi, 7},
                                                            {kMethod, 7},
                                                            {kValue, 1}}) {
    EXPECT_TRUE(int32_users.count(open))
        << open.first << " field " << open.second;
  }
}

TEST(WktGraphFields, OnlyNamePartIsRequiredAndOnlyThreeArePacked) {
  const GraphRoot& g = wkt();
  std::set<FieldId> required, packed_fields;
  for (uint32_t i = 0; i < g.field_count(); ++i) {
    const FieldEdge edge = g.field(i);
    if (edge.cardinality == REQUIRED)
      required.insert({edge.owner, edge.number});
    if (edge.packed) packed_fields.insert({edge.owner, edge.number});
  }
  EXPECT_EQ(required, (std::set<FieldId>{{kNamePart, 1}, {kNamePart, 2}}));
  EXPECT_EQ(
      packed_fields,
      (std::set<FieldId>{{kLocation, 1}, {kLocation, 2}, {kAnnotation, 1}}));
}

// Whether `number` lies in the extension ranges of node `key`.
bool in_ranges(const GraphRoot& g, uint32_t key, uint32_t number) {
  const auto node = g.node_by_key(key);
  if (!node || node->ext_list == NO_INDEX) return false;
  const ExtRangeList list = g.ext_range_list(node->ext_list);
  for (uint32_t i = 0; i < list.count; ++i) {
    const ExtRange range = g.ext_range(list.first + i);
    if (range.start <= number && number <= range.end) return true;
  }
  return false;
}

TEST(WktGraphExtensions, ListsHoldOneMergedRangeEach) {
  const GraphRoot& g = wkt();
  const std::pair<uint32_t, uint32_t> ranges[] = {
      {1000, 10000}, {1000, kMaxFieldNumber}, {536000000, 536000000}};
  ASSERT_EQ(g.ext_range_list_count(), std::size(ranges));
  for (uint32_t i = 0; i < std::size(ranges); ++i) {
    const ExtRangeList list = g.ext_range_list(i);
    EXPECT_EQ(list.first, i);
    EXPECT_EQ(list.count, 1u);
    EXPECT_EQ(g.ext_range(i).start, ranges[i].first);
    EXPECT_EQ(g.ext_range(i).end, ranges[i].second);
  }
}

struct ExtCase {
  uint32_t key;
  uint32_t number;
  bool inside;
};

class WktGraphExtRange : public testing::TestWithParam<ExtCase> {};

TEST_P(WktGraphExtRange, NumberInExtensionRanges) {
  const ExtCase& c = GetParam();
  EXPECT_EQ(in_ranges(wkt(), c.key, c.number), c.inside)
      << "key " << c.key << " number " << c.number;
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, WktGraphExtRange,
    testing::Values(
        ExtCase{kFieldOptions, 999, false}, ExtCase{kFieldOptions, 1000, true},
        ExtCase{kFieldOptions, kMaxFieldNumber, true},
        ExtCase{kFieldOptions, kMaxFieldNumber + 1, false},
        ExtCase{kFileOptions, 50000, true}, ExtCase{kFeatureSet, 999, false},
        ExtCase{kFeatureSet, 9995, true}, ExtCase{kFeatureSet, 10000, true},
        ExtCase{kFeatureSet, 10001, false},
        ExtCase{kFileDescriptorSet, 535999999, false},
        ExtCase{kFileDescriptorSet, 536000000, true},
        ExtCase{kFileDescriptorSet, 536000001, false},
        ExtCase{kSourceCodeInfo, 536000000, true},
        ExtCase{kDescriptorProto, 1000, false}, ExtCase{kEmpty, 1000, false},
        ExtCase{kBool, 1000, false}, ExtCase{kNodeCount, 1000, false}));

}  // namespace
}  // namespace vornatrel::score::load
