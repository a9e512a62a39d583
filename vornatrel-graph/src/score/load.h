// The scoring-graph archive, read in place, and its loading.
//
// Records are decoded field by field from little-endian bytes (memcpy, never a
// cast), so the archive may sit at any address. Every vector index and every
// string pointer is bounds-checked against the archive; a read outside it is
// an internal abort, never a wild read, even on a broken graph.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

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
// start + i * stride. Every access checks the index against `count`; the
// check against the archive is needed only when the vector does not lie
// wholly inside it (a broken graph), which is decided once at construction.
struct VectorRef {
  int64_t start = 0;  // archive position of element 0 (may be bogus)
  uint32_t count = 0;
  bool inside = false;  // [start, start + count * stride) is in the archive
};

namespace detail {

template <typename T>
T read_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    if constexpr (sizeof(T) == 2) v = static_cast<T>(__builtin_bswap16(v));
    if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(v));
    if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(v));
  }
  return v;
}

// Record widths.
inline constexpr uint32_t NODE_SIZE = 20;
inline constexpr uint32_t FIELD_SIZE = 16;
inline constexpr uint32_t TYPE_NAME_SIZE = 12;
inline constexpr uint32_t PAIR_SIZE = 8;  // EnumRange, ExtRange, ExtRangeList

// On a little-endian machine TypeNode and FieldEdge have the archive's byte
// layout (padding included), so a record is read with one copy. Assembling
// it field by field and then copying the whole record (into an optional, for
// instance) reads back bytes just written in pieces, which stalls the store
// buffer on every lookup.
inline constexpr bool NATIVE_RECORDS =
    std::endian::native == std::endian::little &&
    sizeof(TypeNode) == NODE_SIZE && offsetof(TypeNode, key) == 0 &&
    offsetof(TypeNode, kind) == 4 && offsetof(TypeNode, utf8) == 5 &&
    offsetof(TypeNode, enum_index) == 6 && offsetof(TypeNode, ext_list) == 8 &&
    offsetof(TypeNode, first_field) == 12 &&
    offsetof(TypeNode, field_count) == 16 && sizeof(FieldEdge) == FIELD_SIZE &&
    offsetof(FieldEdge, owner) == 0 && offsetof(FieldEdge, number) == 4 &&
    offsetof(FieldEdge, cardinality) == 8 &&
    offsetof(FieldEdge, wire_type) == 9 && offsetof(FieldEdge, packed) == 10 &&
    offsetof(FieldEdge, target) == 12;

[[gnu::cold, noreturn]] void abort_index(const char* vector, uint64_t index,
                                         uint32_t count);
[[gnu::cold, noreturn]] void abort_field_run(uint32_t first_field,
                                             uint32_t field_count,
                                             uint32_t fields);
// Position of element `index` (< v.count) of a vector that does not lie
// wholly inside the archive; aborts when that element does not either.
uint64_t checked_element(std::span<const uint8_t> archive, const VectorRef& v,
                         const char* name, uint64_t index, uint32_t stride);

}  // namespace detail

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

  // Indexed reads; an index outside its vector is an internal abort. The
  // scorer reads these for every field of every candidate, so they are
  // inline and read no more of a record than the caller uses.
  TypeNode node(uint32_t index) const {
    const uint8_t* p = at(nodes_, "nodes", index, detail::NODE_SIZE);
    TypeNode n;
    if constexpr (detail::NATIVE_RECORDS) {
      std::memcpy(&n, p, sizeof n);
      return n;
    }
    n.key = detail::read_le<uint32_t>(p);
    n.kind = p[4];
    n.utf8 = p[5];
    n.enum_index = detail::read_le<uint16_t>(p + 6);
    n.ext_list = detail::read_le<uint16_t>(p + 8);
    n.first_field = detail::read_le<uint32_t>(p + 12);
    n.field_count = detail::read_le<uint32_t>(p + 16);
    return n;
  }
  FieldEdge field(uint32_t index) const {
    const uint8_t* p = at(fields_, "fields", index, detail::FIELD_SIZE);
    FieldEdge f;
    if constexpr (detail::NATIVE_RECORDS) {
      std::memcpy(&f, p, sizeof f);
      return f;
    }
    f.owner = detail::read_le<uint32_t>(p);
    f.number = detail::read_le<uint32_t>(p + 4);
    f.cardinality = p[8];
    f.wire_type = p[9];
    f.packed = p[10];
    f.target = detail::read_le<uint32_t>(p + 12);
    return f;
  }
  TypeNameEntry type_name(uint32_t index) const;
  // Whether fields[first_field, first_field + field_count) may hold a
  // REQUIRED field: exact when the field records lie inside the archive,
  // else always true. The run must lie inside `fields`.
  bool run_has_required(uint32_t first_field, uint32_t field_count) const {
    if (required_before_.empty()) return true;
    return required_before_[first_field + field_count] !=
           required_before_[first_field];
  }
  EnumRange enum_range(uint32_t index) const {
    const uint8_t* p =
        at(enum_ranges_, "enum_ranges", index, detail::PAIR_SIZE);
    return EnumRange{detail::read_le<int32_t>(p),
                     detail::read_le<int32_t>(p + 4)};
  }
  ExtRange ext_range(uint32_t index) const {
    const uint8_t* p = at(ext_ranges_, "ext_ranges", index, detail::PAIR_SIZE);
    return ExtRange{detail::read_le<uint32_t>(p),
                    detail::read_le<uint32_t>(p + 4)};
  }
  ExtRangeList ext_range_list(uint32_t index) const {
    const uint8_t* p =
        at(ext_range_lists_, "ext_range_lists", index, detail::PAIR_SIZE);
    return ExtRangeList{detail::read_le<uint32_t>(p),
                        detail::read_le<uint32_t>(p + 4)};
  }

  // Type by name: leading dots stripped from query and entries, first equal
  // entry wins; the answer is its index in type_names.
  std::optional<uint32_t> find_type(std::string_view query) const;
  // Binary search of nodes on key (unsigned).
  std::optional<TypeNode> node_by_key(uint32_t key) const {
    // Keys are unique and sorted, so a node at index `key` that carries
    // `key` is the one the search would find; in the embedded graph keys are
    // dense and this always hits. Only taken when no read of the search
    // could have aborted.
    if (nodes_.inside && key < nodes_.count) {
      const TypeNode n = node(key);
      if (n.key == key) return n;
    }
    return search_node(key);
  }
  // Binary search of the run fields[first_field, first_field + field_count)
  // on number (unsigned). A run outside `fields` is an internal abort.
  std::optional<FieldEdge> field_by_number(uint32_t first_field,
                                           uint32_t field_count,
                                           uint32_t number) const {
    const uint64_t end = uint64_t{first_field} + field_count;
    if (end > fields_.count) {
      detail::abort_field_run(first_field, field_count, fields_.count);
    }
    // Numbers in a run are unique, so a record at position number - 1 that
    // carries `number` is the search's answer; most message types number
    // their fields densely from 1.
    if (fields_.inside && number - 1 < field_count) {
      const FieldEdge f = field(first_field + number - 1);
      if (f.number == number) return f;
    }
    uint32_t lo = first_field;
    uint32_t hi = static_cast<uint32_t>(end);
    while (lo < hi) {
      const uint32_t mid = lo + (hi - lo) / 2;
      const FieldEdge f = field(mid);
      if (f.number < number) {
        lo = mid + 1;
      } else if (f.number > number) {
        hi = mid;
      } else {
        return f;
      }
    }
    return std::nullopt;
  }
  // Exact name -> key over all type_names, first row wins.
  TypeIndex build_type_index() const;

  Bytes archive() const { return archive_; }

 private:
  // The record at `index` of vector `v`, checked as described at VectorRef.
  const uint8_t* at(const VectorRef& v, const char* name, uint64_t index,
                    uint32_t stride) const {
    if (index >= v.count) detail::abort_index(name, index, v.count);
    // index < 2^32 and stride <= 20: the product stays far below 2^63.
    const uint64_t pos =
        v.inside ? static_cast<uint64_t>(v.start) + index * stride
                 : detail::checked_element(archive_, v, name, index, stride);
    return archive_.data() + pos;
  }
  std::optional<TypeNode> search_node(uint32_t key) const;

  Bytes archive_;
  VectorRef nodes_, fields_, type_names_, enum_ranges_, ext_ranges_,
      ext_range_lists_;
  uint32_t key_count_ = 0;
  bool has_ext_ranges_ = false;
  // REQUIRED fields among fields[0, i) at index i (fields_.count + 1
  // entries); empty when the field records are not all inside the archive.
  std::vector<uint32_t> required_before_;
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
