#include "score/load.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "graph_writer.h"
#include "helpers/abort.h"
#include "wkt_graph_data.h"

namespace vornatrel::score::load {
namespace {

using graph_writer::ArchiveLayout;
using graph_writer::GraphPlan;
using graph_writer::make_graph;
using graph_writer::put_u32;
using graph_writer::put_u64;
using graph_writer::StringForm;
using graph_writer::TestGraph;
using graph_writer::write_archive;
using graph_writer::write_graph_file;
using graph_writer::write_header;
using ByteVec = std::vector<uint8_t>;

constexpr uint32_t HIGH_KEY = 0x80000000u;  // negative if compared signed
constexpr uint32_t TOP_KEY = 0xFFFFFFFFu;

// ---------------------------------------------------------------- header --

struct HeaderCase {
  std::string name;
  ByteVec file;
  std::string error;  // empty: success with `root_offset`
  uint64_t root_offset = 0;
};

std::ostream& operator<<(std::ostream& os, const HeaderCase& c) {
  return os << c.name;
}

ByteVec with_magic(ByteVec file, const char* magic) {
  std::memcpy(file.data(), magic, 8);
  return file;
}

ByteVec padded(ByteVec file, size_t extra) {
  file.resize(file.size() + extra, 0xEE);
  return file;
}

std::vector<HeaderCase> header_cases() {
  const std::string version_text =
      " (this build reads version 7); rebuild the schema database with "
      "dravusk --schema-db-out";
  ByteVec short_valid = write_header();
  short_valid.pop_back();
  return {
      {"empty", {}, "f: file too short"},
      {"23_bytes_valid_prefix", short_valid, "f: file too short"},
      {"23_bytes_garbage", ByteVec(23, 0), "f: file too short"},
      {"bad_magic", with_magic(write_header(), "VNSGRAPh"), "f: bad magic"},
      {"bad_magic_before_version", with_magic(write_header(8), "XNSGRAPH"),
       "f: bad magic"},
      {"version_6", write_header(6),
       "f: unsupported scoring-graph version 6" + version_text},
      {"version_8", padded(write_header(8), 100),
       "f: unsupported scoring-graph version 8" + version_text},
      {"version_max", write_header(0xFFFFFFFF, 99),
       "f: unsupported scoring-graph version 4294967295" + version_text},
      {"root_at_end", write_header(7, 24), "", 24},
      {"root_past_end", write_header(7, 25),
       "f: root offset 25 past end of file (24 bytes)"},
      {"root_offset_high_bit", write_header(7, uint64_t{1} << 63),
       "f: root offset 9223372036854775808 past end of file (24 bytes)"},
      {"root_offset_max", padded(write_header(7, ~uint64_t{0}), 8),
       "f: root offset 18446744073709551615 past end of file (32 bytes)"},
      {"root_offset_high_word", padded(write_header(7, uint64_t{1} << 32), 8),
       "f: root offset 4294967296 past end of file (32 bytes)"},
      {"root_offset_zero", write_header(7, 0), "", 0},
      {"root_inside", padded(write_header(7, 30), 10), "", 30},
      {"reserved_any_value", write_header(7, 24, 0xFFFFFFFF), "", 24},
  };
}

class HeaderTable : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTable, Checks) {
  const HeaderCase& c = GetParam();
  const auto r = check_header(c.file, "f");
  if (c.error.empty()) {
    ASSERT_TRUE(std::holds_alternative<uint64_t>(r))
        << std::get<LoadError>(r).message;
    EXPECT_EQ(std::get<uint64_t>(r), c.root_offset);
  } else {
    ASSERT_TRUE(std::holds_alternative<LoadError>(r));
    EXPECT_EQ(std::get<LoadError>(r).message, c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeaderTable,
                         ::testing::ValuesIn(header_cases()),
                         [](const auto& info) { return info.param.name; });

// ------------------------------------------------------------ the sample --

// Keys sorted as unsigned numbers, with the top bit set on the last two so
// that a signed comparison would misorder them.
GraphPlan sample_plan() {
  GraphPlan g;
  g.nodes = {
      {.key = 0,
       .kind = KIND_MESSAGE,
       .fields = {{.number = 1, .wire_type = 2, .target = 2},
                  {.number = 2, .wire_type = 2, .target = 3}}},
      {.key = 1,
       .kind = KIND_MESSAGE,
       .ext_list = 1,
       .fields =
           {{.number = 1, .cardinality = REQUIRED, .target = 4},
            {.number = 5, .cardinality = REPEATED, .packed = 1, .target = 4},
            {.number = 0x7FFFFFFF, .wire_type = 5, .target = 6},
            {.number = HIGH_KEY, .wire_type = 2, .target = 3},
            {.number = TOP_KEY, .wire_type = 2, .target = HIGH_KEY}}},
      {.key = 2, .kind = KIND_LEN, .utf8 = 1},
      {.key = 3, .kind = KIND_LEN},
      {.key = 4, .kind = KIND_VARINT, .enum_index = 1},
      {.key = 6, .kind = KIND_I32},
      {.key = HIGH_KEY,
       .kind = KIND_MESSAGE,
       .ext_list = 0,
       .fields = {{.number = 3, .wire_type = 1, .target = TOP_KEY}}},
      {.key = TOP_KEY, .kind = KIND_I64},
  };
  g.type_names = {
      {"google.protobuf.Any", 0},
      {"exactly8", 1},
      {"a", 2},
      {std::string(64, 'x'), 3},
      {"\xC3\xA9t\xC3\xA9", 4},  // inline although the first byte is >= 0x80
      {"short", 6, StringForm::OutOfLine},
      {"Dup", HIGH_KEY},
      {"..dotted.Name", TOP_KEY},
      {"Dup", 1},
      {std::string(70001, 'y'), 2},
  };
  g.enum_ranges = {{std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()},
                   {-1, 2}};
  g.ext_ranges = {{1000, 536870911}, {7, 7}, {100, 199}};
  g.ext_range_lists = {{0, 1}, {1, 2}};
  return g;
}

const TestGraph& sample() {
  static const TestGraph g = make_graph(sample_plan());
  return g;
}

template <typename F>
std::string abort_text(F&& f) {
  try {
    f();
  } catch (const helpers::InternalAbort& e) {
    return e.what();
  }
  return "<no abort>";
}

// ------------------------------------------------------------ raw reads --

TEST(GraphRead, RootCounts) {
  const GraphRoot& g = sample().root();
  EXPECT_EQ(g.node_count(), 8u);
  EXPECT_EQ(g.field_count(), 8u);
  EXPECT_EQ(g.type_name_count(), 10u);
  EXPECT_EQ(g.enum_range_count(), 2u);
  EXPECT_EQ(g.ext_range_count(), 3u);
  EXPECT_EQ(g.ext_range_list_count(), 2u);
  EXPECT_EQ(g.key_count(), 8u);
  EXPECT_TRUE(g.has_ext_ranges());
}

// Field 2 of the sample (node 1's first) is its only REQUIRED field.
TEST(GraphRead, RunHasRequired) {
  const GraphRoot& g = sample().root();
  EXPECT_FALSE(g.run_has_required(0, 2));  // node 0
  EXPECT_TRUE(g.run_has_required(2, 5));   // node 1
  EXPECT_TRUE(g.run_has_required(2, 1));
  EXPECT_FALSE(g.run_has_required(3, 4));
  EXPECT_FALSE(g.run_has_required(2, 0));
  EXPECT_FALSE(g.run_has_required(g.field_count(), 0));
}

TEST(GraphRead, RecordsDecodeEveryField) {
  const GraphRoot& g = sample().root();
  const TypeNode n = g.node(1);
  EXPECT_EQ(n.key, 1u);
  EXPECT_EQ(n.kind, KIND_MESSAGE);
  EXPECT_EQ(n.utf8, 0);
  EXPECT_EQ(n.enum_index, NO_INDEX);
  EXPECT_EQ(n.ext_list, 1);
  EXPECT_EQ(n.first_field, 2u);
  EXPECT_EQ(n.field_count, 5u);
  const TypeNode s = g.node(2);
  EXPECT_EQ(s.kind, KIND_LEN);
  EXPECT_EQ(s.utf8, 1);
  EXPECT_EQ(g.node(4).enum_index, 1);
  EXPECT_EQ(g.node(7).key, TOP_KEY);

  const FieldEdge f = g.field(3);
  EXPECT_EQ(f.owner, 1u);
  EXPECT_EQ(f.number, 5u);
  EXPECT_EQ(f.cardinality, REPEATED);
  EXPECT_EQ(f.wire_type, 0);
  EXPECT_EQ(f.packed, 1);
  EXPECT_EQ(f.target, 4u);
  EXPECT_EQ(g.field(6).target, HIGH_KEY);
  EXPECT_EQ(g.field(7).owner, HIGH_KEY);

  EXPECT_EQ(g.enum_range(0).min, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(g.enum_range(0).max, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(g.enum_range(1).min, -1);
  EXPECT_EQ(g.enum_range(1).max, 2);
  EXPECT_EQ(g.ext_range(0).start, 1000u);
  EXPECT_EQ(g.ext_range(0).end, 536870911u);
  EXPECT_EQ(g.ext_range(2).start, 100u);
  EXPECT_EQ(g.ext_range_list(1).first, 1u);
  EXPECT_EQ(g.ext_range_list(1).count, 2u);
}

TEST(GraphRead, TypeNamesBothStringForms) {
  const GraphRoot& g = sample().root();
  const std::vector<std::pair<std::string, uint32_t>> want = {
      {"google.protobuf.Any", 0},
      {"exactly8", 1},
      {"a", 2},
      {std::string(64, 'x'), 3},
      {"\xC3\xA9t\xC3\xA9", 4},
      {"short", 6},
      {"Dup", HIGH_KEY},
      {"..dotted.Name", TOP_KEY},
      {"Dup", 1},
      {std::string(70001, 'y'), 2},
  };
  ASSERT_EQ(g.type_name_count(), want.size());
  for (uint32_t i = 0; i < want.size(); ++i) {
    const TypeNameEntry e = g.type_name(i);
    EXPECT_EQ(e.name, want[i].first) << i;
    EXPECT_EQ(e.key, want[i].second) << i;
  }
}

TEST(GraphRead, NamesOfEveryShortLengthInBothForms) {
  const std::string full = "abcdefghij";
  for (StringForm form : {StringForm::Inline, StringForm::OutOfLine}) {
    GraphPlan plan;
    for (uint32_t n = 0; n <= 8; ++n) {
      plan.type_names.push_back({full.substr(0, n), n, form});
    }
    const TestGraph t = make_graph(plan);
    for (uint32_t n = 0; n <= 8; ++n) {
      EXPECT_EQ(t.root().type_name(n).name, full.substr(0, n));
      EXPECT_EQ(t.root().find_type(full.substr(0, n)), n);
    }
  }
}

TEST(GraphRead, StringEncodings) {
  ArchiveLayout at;
  const ByteVec a = write_archive(sample_plan(), &at);
  auto string_bytes = [&](uint32_t index) {
    const uint64_t pos = at.type_names + 12 * uint64_t{index};
    return ByteVec(a.begin() + pos, a.begin() + pos + 8);
  };
  // An inline text of exactly 8 bytes fills the field, no 0xFF.
  EXPECT_EQ(string_bytes(1), ByteVec({'e', 'x', 'a', 'c', 't', 'l', 'y', '8'}));
  EXPECT_EQ(string_bytes(2)[1], 0xFF);
  // Out-of-line length 64 and 70001 (bits 6..29 in bytes 1..3).
  const ByteVec len64 = string_bytes(3);
  EXPECT_EQ(ByteVec(len64.begin(), len64.begin() + 4),
            ByteVec({0x80, 0x01, 0x00, 0x00}));
  const ByteVec len70001 = string_bytes(9);
  EXPECT_EQ(ByteVec(len70001.begin(), len70001.begin() + 4),
            ByteVec({0xB1, 0x45, 0x04, 0x00}));
  EXPECT_EQ(string_bytes(5)[0], 0x85);
}

TEST(GraphRead, ArchiveLayoutIsAlignedWithRootLast) {
  ArchiveLayout at;
  const ByteVec a = write_archive(sample_plan(), &at);
  EXPECT_EQ(at.root, a.size() - ROOT_SIZE);
  for (uint64_t pos : {at.nodes, at.fields, at.type_names, at.enum_ranges,
                       at.ext_ranges, at.ext_range_lists, at.root}) {
    EXPECT_EQ(pos % 4, 0u);
  }
  EXPECT_LT(at.texts, at.type_names);
}

// ------------------------------------------------------------ find_type --

struct FindCase {
  std::string query;
  std::optional<uint32_t> index;
};

TEST(GraphRead, FindType) {
  const GraphRoot& g = sample().root();
  const FindCase cases[] = {
      {"google.protobuf.Any", 0},
      {".google.protobuf.Any", 0},
      {"...google.protobuf.Any", 0},
      {"google.protobuf.An", std::nullopt},
      {"google.protobuf.Anyy", std::nullopt},
      {"google.protobuf.Any.", std::nullopt},
      {"exactly8", 1},
      {"exactly", std::nullopt},
      {"exactly8x", std::nullopt},
      {std::string(64, 'x'), 3},
      {std::string(63, 'x'), std::nullopt},
      {"short", 5},
      {"Dup", 6},  // first of two equal names
      {"dotted.Name", 7},
      {".dotted.Name", 7},
      {"..dotted.Name", 7},
      {"...", std::nullopt},
      {"", std::nullopt},
  };
  for (const FindCase& c : cases) {
    EXPECT_EQ(g.find_type(c.query), c.index) << c.query;
  }
}

TEST(GraphRead, AllDotsQueryMatchesEmptyOrDotsName) {
  for (const char* stored : {"", "..", "........", "..........."}) {
    GraphPlan plan;
    plan.type_names = {{"pkg.A", 1}, {stored, 2}, {"", 3}};
    const TestGraph t = make_graph(plan);
    for (const char* query : {"", ".", "....."}) {
      EXPECT_EQ(t.root().find_type(query), 1u)
          << "stored '" << stored << "' query '" << query << "'";
    }
    EXPECT_EQ(t.root().find_type("A"), std::nullopt);
  }
}

TEST(GraphRead, TypeIndexIsExactAndFirstWins) {
  const TypeIndex index = sample().root().build_type_index();
  EXPECT_EQ(index.size(), 9u);
  EXPECT_EQ(index.at("google.protobuf.Any"), 0u);
  EXPECT_EQ(index.at("Dup"), HIGH_KEY);
  EXPECT_EQ(index.at("..dotted.Name"), TOP_KEY);
  EXPECT_EQ(index.count("dotted.Name"), 0u);
  EXPECT_EQ(index.count(".google.protobuf.Any"), 0u);
  EXPECT_EQ(index.at(std::string(70001, 'y')), 2u);
}

// ------------------------------------------------------- binary searches --

TEST(GraphRead, NodeByKey) {
  const GraphRoot& g = sample().root();
  for (uint32_t key : {0u, 1u, 2u, 3u, 4u, 6u, HIGH_KEY, TOP_KEY}) {
    const auto n = g.node_by_key(key);
    ASSERT_TRUE(n.has_value()) << key;
    EXPECT_EQ(n->key, key);
  }
  for (uint32_t key : {5u, 7u, 0x7FFFFFFFu, HIGH_KEY + 1, TOP_KEY - 1}) {
    EXPECT_FALSE(g.node_by_key(key).has_value()) << key;
  }
  EXPECT_EQ(g.node_by_key(HIGH_KEY)->field_count, 1u);
}

TEST(GraphRead, NodeByKeyEveryWindowPosition) {
  // Sizes 0..9, every present key and every gap between them.
  for (uint32_t size = 0; size < 10; ++size) {
    GraphPlan plan;
    for (uint32_t i = 0; i < size; ++i) {
      plan.nodes.push_back({.key = 2 * i + 1, .kind = KIND_LEN});
    }
    const TestGraph t = make_graph(plan);
    for (uint32_t k = 0; k <= 2 * size + 1; ++k) {
      const auto n = t.root().node_by_key(k);
      EXPECT_EQ(n.has_value(), k % 2 == 1 && k < 2 * size) << size << " " << k;
      if (n) {
        EXPECT_EQ(n->key, k);
      }
    }
  }
}

struct FieldCase {
  uint32_t node_key;
  uint32_t number;
  std::optional<uint32_t> target;
};

TEST(GraphRead, FieldByNumber) {
  const GraphRoot& g = sample().root();
  const FieldCase cases[] = {
      {1, 1, 4},               // first of the run
      {1, 5, 4},               //
      {1, 0x7FFFFFFF, 6},      //
      {1, HIGH_KEY, 3},        // above 2^31: unsigned order
      {1, TOP_KEY, HIGH_KEY},  // last of the run
      {1, 0, std::nullopt},    //
      {1, 2, std::nullopt},    // exists only in the run before
      {1, 3, std::nullopt},    // exists only in the run after
      {1, HIGH_KEY + 1, std::nullopt},
      {0, 1, 2},
      {0, 2, 3},
      {0, 5, std::nullopt},  // exists only in the run after
      {HIGH_KEY, 3, TOP_KEY},
      {HIGH_KEY, 1, std::nullopt},  // exists only in the runs before
      {2, 1, std::nullopt},         // scalar node: no fields
      {4, 1, std::nullopt},         // enum node: no fields
  };
  for (const FieldCase& c : cases) {
    const TypeNode n = *g.node_by_key(c.node_key);
    const auto f = g.field_by_number(n.first_field, n.field_count, c.number);
    ASSERT_EQ(f.has_value(), c.target.has_value())
        << c.node_key << " " << c.number;
    if (f) {
      EXPECT_EQ(f->number, c.number);
      EXPECT_EQ(f->owner, c.node_key);
      EXPECT_EQ(f->target, *c.target);
    }
  }
}

TEST(GraphRead, WithoutExtRangesEveryReadWorks) {
  GraphPlan plan = sample_plan();
  plan.has_ext_ranges = false;
  plan.ext_ranges.clear();
  plan.ext_range_lists.clear();
  for (auto& n : plan.nodes) n.ext_list = NO_INDEX;
  const TestGraph t = make_graph(plan);
  const GraphRoot& g = t.root();
  EXPECT_FALSE(g.has_ext_ranges());
  EXPECT_EQ(g.ext_range_count(), 0u);
  EXPECT_EQ(g.ext_range_list_count(), 0u);
  EXPECT_EQ(g.find_type(".exactly8"), 1u);
  const TypeNode n = *g.node_by_key(1);
  EXPECT_EQ(n.ext_list, NO_INDEX);
  EXPECT_EQ(g.field_by_number(n.first_field, n.field_count, 5)->target, 4u);
  EXPECT_EQ(g.enum_range(1).max, 2);
  EXPECT_EQ(g.build_type_index().at("a"), 2u);
}

// ------------------------------------------------- broken graphs abort --

struct AbortCase {
  std::string name;
  std::function<void(const GraphRoot&)> read;
};

TEST(GraphRead, OutOfRangeIndexAborts) {
  const AbortCase cases[] = {
      {"node", [](const GraphRoot& g) { g.node(8); }},
      {"node_max", [](const GraphRoot& g) { g.node(TOP_KEY); }},
      {"field", [](const GraphRoot& g) { g.field(8); }},
      {"type_name", [](const GraphRoot& g) { g.type_name(10); }},
      {"enum_range", [](const GraphRoot& g) { g.enum_range(2); }},
      {"enum_range_none", [](const GraphRoot& g) { g.enum_range(NO_INDEX); }},
      {"ext_range", [](const GraphRoot& g) { g.ext_range(3); }},
      {"ext_range_list", [](const GraphRoot& g) { g.ext_range_list(2); }},
      {"field_run_past_end",
       [](const GraphRoot& g) { g.field_by_number(6, 3, 1); }},
      {"field_run_start_past_end",
       [](const GraphRoot& g) { g.field_by_number(9, 0, 1); }},
      {"field_run_wraps_u32",
       [](const GraphRoot& g) { g.field_by_number(TOP_KEY, 2, 1); }},
  };
  for (const AbortCase& c : cases) {
    EXPECT_NE(abort_text([&] { c.read(sample().root()); }), "<no abort>")
        << c.name;
  }
  // The last valid index of each vector reads fine.
  const GraphRoot& g = sample().root();
  g.node(7);
  g.field(7);
  g.type_name(9);
  g.enum_range(1);
  g.ext_range(2);
  g.ext_range_list(1);
  EXPECT_FALSE(g.field_by_number(6, 2, 1).has_value());
  EXPECT_FALSE(g.field_by_number(8, 0, 1).has_value());
}

// A run that is empty but starts at the end of fields is in bounds.
TEST(GraphRead, EmptyRunAtEndOfFields) {
  GraphPlan plan;
  plan.nodes = {{.key = 1, .kind = KIND_MESSAGE}};
  const TestGraph t = make_graph(plan);
  EXPECT_EQ(t.root().field_count(), 0u);
  EXPECT_FALSE(t.root().field_by_number(0, 0, 1).has_value());
  EXPECT_NE(abort_text([&] { t.root().field_by_number(0, 1, 1); }),
            "<no abort>");
}

// Corruptions of the archive that must end in an abort, never a wild read.
struct CorruptCase {
  std::string name;
  std::function<void(ByteVec&, const ArchiveLayout&)> corrupt;
  std::function<void(const GraphRoot&)> read;
};

TEST(GraphRead, CorruptArchiveAborts) {
  const auto vec_count = [](uint64_t field) {
    return [field](ByteVec& a, const ArchiveLayout& at) {
      put_u32(a, at.root + field + 4, TOP_KEY);
    };
  };
  const auto vec_ptr = [](uint64_t field, int32_t rel) {
    return [field, rel](ByteVec& a, const ArchiveLayout& at) {
      put_u32(a, at.root + field, static_cast<uint32_t>(rel));
    };
  };
  const auto long_name = [](uint32_t index, uint32_t w) {
    return [index, w](ByteVec& a, const ArchiveLayout& at) {
      put_u32(a, at.type_names + 12 * index, w);
    };
  };
  const auto name_ptr = [](uint32_t index, int32_t rel) {
    return [index, rel](ByteVec& a, const ArchiveLayout& at) {
      put_u32(a, at.type_names + 12 * index + 4, static_cast<uint32_t>(rel));
    };
  };
  const CorruptCase cases[] = {
      {"nodes_count_past_archive", vec_count(0),
       [](const GraphRoot& g) { g.node(0xFFFFFFF0); }},
      {"node_by_key_past_archive", vec_count(0),
       [](const GraphRoot& g) { g.node_by_key(TOP_KEY - 1); }},
      {"fields_count_past_archive", vec_count(8),
       [](const GraphRoot& g) { g.field_by_number(0, 0xFFFFFFF0, TOP_KEY); }},
      {"type_names_count_past_archive", vec_count(16),
       [](const GraphRoot& g) { g.find_type("nothing"); }},
      {"type_index_past_archive", vec_count(16),
       [](const GraphRoot& g) { g.build_type_index(); }},
      {"enum_ranges_count_past_archive", vec_count(24),
       [](const GraphRoot& g) { g.enum_range(0xFFFFFFF0); }},
      {"ext_ranges_count_past_archive", vec_count(36),
       [](const GraphRoot& g) { g.ext_range(0xFFFFFFF0); }},
      {"ext_lists_count_past_archive", vec_count(44),
       [](const GraphRoot& g) { g.ext_range_list(0xFFFFFFF0); }},
      {"nodes_before_archive", vec_ptr(0, -0x7FFFFFFF - 1),
       [](const GraphRoot& g) { g.node(0); }},
      {"nodes_after_archive", vec_ptr(0, 0x7FFFFFFF),
       [](const GraphRoot& g) { g.node(0); }},
      {"nodes_straddle_end", vec_ptr(0, ROOT_SIZE - 12),
       [](const GraphRoot& g) { g.node(0); }},
      {"name_length_past_archive", long_name(3, 0xFFFFFFBF),
       [](const GraphRoot& g) { g.type_name(3); }},
      {"name_pointer_before_archive", name_ptr(0, -0x7FFFFFFF - 1),
       [](const GraphRoot& g) { g.find_type("x"); }},
      {"name_pointer_past_archive", name_ptr(0, 0x7FFFFFFF),
       [](const GraphRoot& g) { g.type_name(0); }},
  };
  for (const CorruptCase& c : cases) {
    ArchiveLayout at;
    ByteVec a = write_archive(sample_plan(), &at);
    c.corrupt(a, at);
    const TestGraph t(a);
    EXPECT_NE(abort_text([&] { c.read(t.root()); }), "<no abort>") << c.name;
  }
}

TEST(GraphRead, RootNeedsFiftySixBytes) {
  const ByteVec a(55, 0);
  EXPECT_EQ(abort_text([&] { TestGraph t(a); }),
            "graph archive too short for root record (55 bytes)");
  const ByteVec zeros(56, 0);
  const TestGraph t(zeros);
  EXPECT_EQ(t.root().node_count(), 0u);
  EXPECT_FALSE(t.root().node_by_key(0).has_value());
  EXPECT_FALSE(t.root().find_type("").has_value());
}

// ---------------------------------------------------------- from_static --

TEST(FromStaticBytes, LoadsAlignedCopyOfArchive) {
  const ByteVec file = write_graph_file(sample_plan());
  auto r = LoadedGraph::from_static_bytes(file);
  ASSERT_TRUE(std::holds_alternative<LoadedGraph>(r));
  const LoadedGraph& g = std::get<LoadedGraph>(r);
  ASSERT_EQ(g.archive().size(), file.size() - HEADER_SIZE);
  EXPECT_NE(g.archive().data(), file.data() + HEADER_SIZE);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(g.archive().data()) % 16, 0u);
  EXPECT_EQ(0, std::memcmp(g.archive().data(), file.data() + HEADER_SIZE,
                           g.archive().size()));
  EXPECT_EQ(g.root().find_type("exactly8"), 1u);
  EXPECT_EQ(g.root().node_by_key(HIGH_KEY)->ext_list, 0);
}

TEST(FromStaticBytes, ArchiveAfterGapAndUnalignedSource) {
  // root_offset 29: the archive starts at an odd file offset.
  const ByteVec archive = write_archive(sample_plan());
  ByteVec file = write_header(7, 29);
  file.resize(29, 0xAB);
  file.insert(file.end(), archive.begin(), archive.end());
  auto r = LoadedGraph::from_static_bytes(file);
  ASSERT_TRUE(std::holds_alternative<LoadedGraph>(r));
  const GraphRoot& g = std::get<LoadedGraph>(r).root();
  EXPECT_EQ(g.archive().size(), archive.size());
  EXPECT_EQ(g.type_name(3).name, std::string(64, 'x'));
}

TEST(FromStaticBytes, Errors) {
  const auto error_of = [](const ByteVec& file) {
    auto r = LoadedGraph::from_static_bytes(file);
    return std::holds_alternative<LoadError>(r) ? std::get<LoadError>(r).message
                                                : std::string("<loaded>");
  };
  EXPECT_EQ(error_of(ByteVec(23, 0)), "<embedded>: file too short");
  EXPECT_EQ(error_of(with_magic(write_graph_file({}), "VNSGRAPX")),
            "<embedded>: bad magic");
  ByteVec v8 = write_graph_file(sample_plan());
  put_u32(v8, 8, 8);
  EXPECT_EQ(error_of(v8),
            "<embedded>: unsupported scoring-graph version 8 (this build "
            "reads version 7); rebuild the schema database with dravusk "
            "--schema-db-out");
  ByteVec past = write_graph_file({});
  put_u64(past, 16, past.size() + 1);
  EXPECT_EQ(error_of(past), "<embedded>: root offset " +
                                std::to_string(past.size() + 1) +
                                " past end of file (" +
                                std::to_string(past.size()) + " bytes)");
  EXPECT_EQ(error_of(write_header()),
            "<embedded>: archive too short for root record (0 bytes)");
  EXPECT_EQ(error_of(padded(write_header(), 55)),
            "<embedded>: archive too short for root record (55 bytes)");
  EXPECT_EQ(error_of(padded(write_header(), 56)), "<loaded>");
}

TEST(FromStaticBytes, EmbeddedGraphLoads) {
  const Bytes file(ravick::wkt_graph_data::FILE_BYTES,
                   ravick::wkt_graph_data::FILE_SIZE);
  auto r = LoadedGraph::from_static_bytes(file);
  ASSERT_TRUE(std::holds_alternative<LoadedGraph>(r))
      << std::get<LoadError>(r).message;
  const LoadedGraph& g = std::get<LoadedGraph>(r);
  EXPECT_EQ(g.archive().size(), 8136u);
  EXPECT_TRUE(g.root().find_type("google.protobuf.FileDescriptorProto"));
}

}  // namespace
}  // namespace vornatrel::score::load
