// The scoring-graph archive, read in place, and its loading.
//
// Records are decoded field by field from little-endian bytes (memcpy, never a
// cast), so the archive may sit at any address. Every vector index and every
// string pointer is bounds-checked against the archive; a read outside it is
// an internal abort, never a wild read, even on a broken graph.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

namespace vornatrel::score::load {

using Bytes = std::span<const uint8_t>;

enum NodeKind : uint8_t {
  KIND_VARINT = 0,
  KIND_I64 = 1,
  KIND_LEN = 2,
  KIND_I32 = 5,
  KIND_UINT32 = 8,
  KIND_INT32 = 9,
  KIND_MESSAGE = 10,
};

enum Cardinality : uint8_t {
  OPTIONAL = 0,
  REQUIRED = 1,
  REPEATED = 2,
};

inline constexpr uint16_t NO_INDEX = 0xFFFF;
inline constexpr uint64_t ROOT_SIZE = 56;
inline constexpr uint64_t HEADER_SIZE = 24;
inline constexpr uint32_t GRAPH_VERSION = 7;

struct TypeNode {
  uint32_t key = 0;
  uint8_t kind = 0;
  uint8_t utf8 = 0;
  uint16_t enum_index = NO_INDEX;
  uint16_t ext_list = NO_INDEX;
  uint32_t first_field = 0;
  uint32_t field_count = 0;
};

struct FieldEdge {
  uint32_t owner = 0;
  uint32_t number = 0;
  uint8_t cardinality = 0;
  uint8_t wire_type = 0;
  uint8_t packed = 0;
  uint32_t target = 0;
};

struct TypeNameEntry {
  std::string_view name;  // view into the archive
  uint32_t key = 0;
};

struct EnumRange {
  int32_t min = 0;
  int32_t max = 0;
};

struct ExtRange {
  uint32_t start = 0;
  uint32_t end = 0;
};

struct ExtRangeList {
  uint32_t first = 0;
  uint32_t count = 0;
};

// A vector field of the root, resolved: element positions are
// start + i * stride, checked against the archive on every access.
struct VectorRef {
  int64_t start = 0;  // archive position of element 0 (may be bogus)
  uint32_t count = 0;
};

// Name-to-key map for resolving Any type URLs: exact names, first row wins.
using TypeIndex = std::unordered_map<std::string_view, uint32_t>;

// Read-only view of the root record and everything it reaches.
class GraphRoot {
 public:
  // `archive` must outlive the view; its length must be at least ROOT_SIZE.
  explicit GraphRoot(Bytes archive);

  uint32_t node_count() const { return nodes_.count; }
  uint32_t field_count() const { return fields_.count; }
  uint32_t type_name_count() const { return type_names_.count; }
  uint32_t enum_range_count() const { return enum_ranges_.count; }
  uint32_t ext_range_count() const { return ext_ranges_.count; }
  uint32_t ext_range_list_count() const { return ext_range_lists_.count; }
  uint32_t key_count() const { return key_count_; }
  bool has_ext_ranges() const { return has_ext_ranges_; }

  // Indexed reads; an index outside its vector is an internal abort.
  TypeNode node(uint32_t index) const;
  FieldEdge field(uint32_t index) const;
  TypeNameEntry type_name(uint32_t index) const;
  EnumRange enum_range(uint32_t index) const;
  ExtRange ext_range(uint32_t index) const;
  ExtRangeList ext_range_list(uint32_t index) const;

  // Type by name: leading dots stripped from query and entries, first equal
  // entry wins; the answer is its index in type_names.
  std::optional<uint32_t> find_type(std::string_view query) const;
  // Binary search of nodes on key (unsigned).
  std::optional<TypeNode> node_by_key(uint32_t key) const;
  // Binary search of the run fields[first_field, first_field + field_count)
  // on number (unsigned). A run outside `fields` is an internal abort.
  std::optional<FieldEdge> field_by_number(uint32_t first_field,
                                           uint32_t field_count,
                                           uint32_t number) const;
  // Exact name -> key over all type_names, first row wins.
  TypeIndex build_type_index() const;

  Bytes archive() const { return archive_; }

 private:
  Bytes archive_;
  VectorRef nodes_, fields_, type_names_, enum_ranges_, ext_ranges_,
      ext_range_lists_;
  uint32_t key_count_ = 0;
  bool has_ext_ranges_ = false;
};

struct LoadError {
  std::string message;  // label + ": " + text
};

// Header checks alone; returns root_offset.
std::variant<uint64_t, LoadError> check_header(Bytes file,
                                               std::string_view label);

class LoadedGraph {
 public:
  // Loads a graph from bytes that outlive the process (label "<embedded>"):
  // checks the header, copies the archive into 16-byte-aligned memory that is
  // never freed, and fixes the root at archive length - 56.
  static std::variant<LoadedGraph, LoadError> from_static_bytes(Bytes file);

  const GraphRoot& root() const { return root_; }
  Bytes archive() const { return root_.archive(); }

 private:
  explicit LoadedGraph(Bytes archive) : root_(archive) {}
  GraphRoot root_;
};

}  // namespace vornatrel::score::load
