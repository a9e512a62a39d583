// A writer of scoring-graph files for tests: describe a graph as plain
// structs, get the file or archive bytes, or a ready GraphRoot view.
//
//   GraphPlan g;
//   g.nodes = {
//       {.key = 0, .kind = KIND_MESSAGE},  // google.protobuf.Any
//       {.key = 1, .kind = KIND_MESSAGE,
//        .fields = {{.number = 1, .wire_type = 2, .target = 2}}},
//       {.key = 2, .kind = KIND_LEN, .utf8 = 1},
//   };
//   g.type_names = {{"google.protobuf.Any", 0}, {"pkg.Msg", 1}};
//   TestGraph t = make_graph(g);
//   t.root().node_by_key(1);
//
// Nodes are written in the order given (give them sorted by key), each
// node's fields as one run in the order given (give them sorted by number);
// first_field and field_count are computed unless overridden.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "score/load.h"

namespace vornatrel::score::graph_writer {

using load::Bytes;
using load::GraphRoot;
using load::NO_INDEX;

struct FieldPlan {
  uint32_t number = 0;
  uint8_t cardinality = load::OPTIONAL;
  uint8_t wire_type = 0;
  uint8_t packed = 0;
  uint32_t target = 0;
};

struct NodePlan {
  uint32_t key = 0;
  uint8_t kind = load::KIND_MESSAGE;
  uint8_t utf8 = 0;
  uint16_t enum_index = NO_INDEX;
  uint16_t ext_list = NO_INDEX;
  std::vector<FieldPlan> fields = {};
  // Overrides of the computed run, to describe broken graphs.
  std::optional<uint32_t> first_field = std::nullopt;
  std::optional<uint32_t> field_count = std::nullopt;
};

// How a string is stored. Auto: inline when it fits (at most 8 bytes, no
// 0xFF byte, first byte not 0x80..0xBF), out of line otherwise.
enum class StringForm { Auto, Inline, OutOfLine };

struct TypeNamePlan {
  std::string name;
  uint32_t key = 0;
  StringForm form = StringForm::Auto;
};

struct EnumRangePlan {
  int32_t min = 0;
  int32_t max = 0;
};

struct ExtRangePlan {
  uint32_t start = 0;
  uint32_t end = 0;
};

struct ExtRangeListPlan {
  uint32_t first = 0;
  uint32_t count = 0;
};

struct GraphPlan {
  std::vector<NodePlan> nodes;
  std::vector<TypeNamePlan> type_names;
  std::vector<EnumRangePlan> enum_ranges;
  std::vector<ExtRangePlan> ext_ranges;
  std::vector<ExtRangeListPlan> ext_range_lists;
  bool has_ext_ranges = true;
  std::optional<uint32_t> key_count;  // default: the number of nodes
};

// Archive positions of the parts of a written archive.
struct ArchiveLayout {
  uint64_t nodes = 0;
  uint64_t fields = 0;
  uint64_t texts = 0;  // out-of-line type-name texts
  uint64_t type_names = 0;
  uint64_t enum_ranges = 0;
  uint64_t ext_ranges = 0;
  uint64_t ext_range_lists = 0;
  uint64_t root = 0;  // archive length - 56
};

// The archive alone: arrays in format order, each 4-aligned, root last.
std::vector<uint8_t> write_archive(const GraphPlan& plan,
                                   ArchiveLayout* layout = nullptr);

// A 24-byte header (magic, version, reserved, root_offset).
std::vector<uint8_t> write_header(uint32_t version = load::GRAPH_VERSION,
                                  uint64_t root_offset = load::HEADER_SIZE,
                                  uint32_t reserved = 0);

// Header + archive, root_offset 24: what from_static_bytes reads.
std::vector<uint8_t> write_graph_file(const GraphPlan& plan);

// An archive copied into 16-byte-aligned memory that the object owns, with
// the GraphRoot view of it. Move-only; the view stays valid across moves.
class TestGraph {
 public:
  explicit TestGraph(Bytes archive);

  const GraphRoot& root() const { return root_; }
  Bytes archive() const { return root_.archive(); }

 private:
  struct AlignedDelete {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t, AlignedDelete> buffer_;
  GraphRoot root_;
};

TestGraph make_graph(const GraphPlan& plan);

// Little-endian patching of written bytes, for corrupting a graph.
void put_u16(std::vector<uint8_t>& bytes, uint64_t pos, uint16_t v);
void put_u32(std::vector<uint8_t>& bytes, uint64_t pos, uint32_t v);
void put_u64(std::vector<uint8_t>& bytes, uint64_t pos, uint64_t v);

}  // namespace vornatrel::score::graph_writer
