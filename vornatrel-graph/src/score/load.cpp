#include "score/load.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "helpers/abort.h"

#if defined(__SANITIZE_ADDRESS__)
#define VORNATREL_HAS_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define VORNATREL_HAS_LSAN 1
#endif
#endif
#ifdef VORNATREL_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace vornatrel::score::load {
namespace {

using helpers::internal_abort;

constexpr uint8_t MAGIC[8] = {'V', 'N', 'S', 'G', 'R', 'A', 'P', 'H'};
constexpr uint64_t STRING_SIZE = 8;

using detail::abort_index;
using detail::FIELD_SIZE;
using detail::NODE_SIZE;
using detail::PAIR_SIZE;
using detail::read_le;
using detail::TYPE_NAME_SIZE;

// Offsets of the root's fields.
constexpr uint64_t ROOT_NODES = 0;
constexpr uint64_t ROOT_FIELDS = 8;
constexpr uint64_t ROOT_TYPE_NAMES = 16;
constexpr uint64_t ROOT_ENUM_RANGES = 24;
constexpr uint64_t ROOT_KEY_COUNT = 32;
constexpr uint64_t ROOT_EXT_RANGES = 36;
constexpr uint64_t ROOT_EXT_RANGE_LISTS = 44;
constexpr uint64_t ROOT_HAS_EXT_RANGES = 52;

[[gnu::cold, noreturn]] void abort_outside(const char* what, int64_t pos,
                                           uint64_t width, uint64_t len) {
  internal_abort(std::string("graph ") + what + " at archive position " +
                 std::to_string(pos) + " (" + std::to_string(width) +
                 " bytes) lies outside the archive (" + std::to_string(len) +
                 " bytes)");
}

// Checks that [pos, pos + width) lies inside the archive and returns pos.
// `pos` may be negative or huge on a broken graph; width is small.
inline uint64_t checked_span(Bytes archive, const char* what, int64_t pos,
                             uint64_t width) {
  if (pos < 0 || static_cast<uint64_t>(pos) > archive.size() ||
      archive.size() - static_cast<uint64_t>(pos) < width) {
    abort_outside(what, pos, width, archive.size());
  }
  return static_cast<uint64_t>(pos);
}

// The target of a self-relative pointer stored at `field_pos`. Positions are
// below 2^63 and the offset is 32-bit, so the sum cannot wrap in 64 bits.
inline int64_t relative_target(Bytes archive, uint64_t field_pos) {
  const int32_t rel = read_le<int32_t>(archive.data() + field_pos);
  return static_cast<int64_t>(field_pos) + rel;
}

VectorRef read_vector(Bytes archive, uint64_t field_pos, uint32_t stride) {
  VectorRef v{relative_target(archive, field_pos),
              read_le<uint32_t>(archive.data() + field_pos + 4)};
  // count < 2^32 and stride <= 20: the size stays far below 2^63.
  const uint64_t size = uint64_t{v.count} * stride;
  v.inside = v.start >= 0 && static_cast<uint64_t>(v.start) <= archive.size() &&
             archive.size() - static_cast<uint64_t>(v.start) >= size;
  return v;
}

// Archive position of element `index`, checked against the vector's count
// and against the archive.
uint64_t element(Bytes archive, const VectorRef& v, const char* name,
                 uint64_t index, uint32_t stride) {
  if (index >= v.count) abort_index(name, index, v.count);
  return detail::checked_element(archive, v, name, index, stride);
}

// A string field at `pos` (already known to be inside the archive).
std::string_view read_string(Bytes archive, uint64_t pos) {
  const uint8_t* p = archive.data() + pos;
  if ((p[0] & 0xC0) == 0x80) {
    const uint32_t w = read_le<uint32_t>(p);
    const uint64_t length = (w & 0x3F) | ((w >> 8) << 6);
    // The text pointer sits in bytes 4..7 but counts from the string's
    // first byte.
    const int64_t target = static_cast<int64_t>(pos) + read_le<int32_t>(p + 4);
    const uint64_t text = checked_span(archive, "string text", target, length);
    return {reinterpret_cast<const char*>(archive.data() + text), length};
  }
  const void* ff = std::memchr(p, 0xFF, STRING_SIZE);
  const size_t length =
      ff ? static_cast<size_t>(static_cast<const uint8_t*>(ff) - p)
         : STRING_SIZE;
  return {reinterpret_cast<const char*>(p), length};
}

std::string_view strip_dots(std::string_view s) {
  const size_t first = s.find_first_not_of('.');
  return first == std::string_view::npos ? std::string_view{} : s.substr(first);
}

}  // namespace

namespace detail {

void abort_index(const char* vector, uint64_t index, uint32_t count) {
  internal_abort(std::string("graph index ") + std::to_string(index) +
                 " out of range for " + vector + " (" + std::to_string(count) +
                 " records)");
}

void abort_field_run(uint32_t first_field, uint32_t field_count,
                     uint32_t fields) {
  internal_abort("graph field run " + std::to_string(first_field) + "+" +
                 std::to_string(field_count) + " past the end of fields (" +
                 std::to_string(fields) + " records)");
}

uint64_t checked_element(Bytes archive, const VectorRef& v, const char* name,
                         uint64_t index, uint32_t stride) {
  // index < 2^32 and stride <= 20: the product stays far below 2^63.
  return checked_span(archive, name,
                      v.start + static_cast<int64_t>(index * stride), stride);
}

}  // namespace detail

GraphRoot::GraphRoot(Bytes archive) : archive_(archive) {
  if (archive.size() < ROOT_SIZE) {
    internal_abort("graph archive too short for root record (" +
                   std::to_string(archive.size()) + " bytes)");
  }
  const uint64_t root = archive.size() - ROOT_SIZE;
  nodes_ = read_vector(archive, root + ROOT_NODES, NODE_SIZE);
  fields_ = read_vector(archive, root + ROOT_FIELDS, FIELD_SIZE);
  type_names_ = read_vector(archive, root + ROOT_TYPE_NAMES, TYPE_NAME_SIZE);
  enum_ranges_ = read_vector(archive, root + ROOT_ENUM_RANGES, PAIR_SIZE);
  key_count_ = read_le<uint32_t>(archive.data() + root + ROOT_KEY_COUNT);
  ext_ranges_ = read_vector(archive, root + ROOT_EXT_RANGES, PAIR_SIZE);
  ext_range_lists_ =
      read_vector(archive, root + ROOT_EXT_RANGE_LISTS, PAIR_SIZE);
  has_ext_ranges_ = archive[root + ROOT_HAS_EXT_RANGES] != 0;
  if (fields_.inside) {
    required_before_.resize(uint64_t{fields_.count} + 1);
    uint32_t required = 0;
    for (uint32_t i = 0; i < fields_.count; ++i) {
      required_before_[i] = required;
      if (field(i).cardinality == REQUIRED) ++required;
    }
    required_before_[fields_.count] = required;
  }
}

TypeNameEntry GraphRoot::type_name(uint32_t index) const {
  const uint64_t pos =
      element(archive_, type_names_, "type_names", index, TYPE_NAME_SIZE);
  return TypeNameEntry{read_string(archive_, pos),
                       read_le<uint32_t>(archive_.data() + pos + 8)};
}

std::optional<uint32_t> GraphRoot::find_type(std::string_view query) const {
  const std::string_view wanted = strip_dots(query);
  for (uint32_t i = 0; i < type_names_.count; ++i) {
    const std::string_view name = type_name(i).name;
    // Graph names carry no leading dot, so the stripping is mostly a no-op
    // and the comparison can start with the lengths.
    if (!name.empty() && name[0] != '.') {
      if (name == wanted) return i;
    } else if (strip_dots(name) == wanted) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<TypeNode> GraphRoot::search_node(uint32_t key) const {
  uint32_t lo = 0;
  uint32_t hi = nodes_.count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const uint64_t pos = element(archive_, nodes_, "nodes", mid, NODE_SIZE);
    const uint32_t k = read_le<uint32_t>(archive_.data() + pos);
    if (k < key) {
      lo = mid + 1;
    } else if (k > key) {
      hi = mid;
    } else {
      return node(mid);
    }
  }
  return std::nullopt;
}

TypeIndex GraphRoot::build_type_index() const {
  TypeIndex index;
  // A broken count must not turn into a huge allocation: no more entries
  // than the archive can hold.
  index.reserve(
      std::min<uint64_t>(type_names_.count, archive_.size() / TYPE_NAME_SIZE));
  for (uint32_t i = 0; i < type_names_.count; ++i) {
    const TypeNameEntry e = type_name(i);
    index.emplace(e.name, e.key);  // keeps the first row of a repeated name
  }
  return index;
}

std::variant<uint64_t, LoadError> check_header(Bytes file,
                                               std::string_view label) {
  const auto error = [&](const std::string& text) {
    return LoadError{std::string(label) + ": " + text};
  };
  if (file.size() < HEADER_SIZE) return error("file too short");
  if (std::memcmp(file.data(), MAGIC, sizeof MAGIC) != 0) {
    return error("bad magic");
  }
  const uint32_t version = read_le<uint32_t>(file.data() + 8);
  if (version != GRAPH_VERSION) {
    return error("unsupported scoring-graph version " +
                 std::to_string(version) + " (this build reads version " +
                 std::to_string(GRAPH_VERSION) +
                 "); rebuild the schema database with dravusk "
                 "--schema-db-out");
  }
  const uint64_t root_offset = read_le<uint64_t>(file.data() + 16);
  if (root_offset > file.size()) {
    return error("root offset " + std::to_string(root_offset) +
                 " past end of file (" + std::to_string(file.size()) +
                 " bytes)");
  }
  return root_offset;
}

std::variant<LoadedGraph, LoadError> LoadedGraph::from_static_bytes(
    Bytes file) {
  constexpr std::string_view label = "<embedded>";
  auto header = check_header(file, label);
  if (auto* err = std::get_if<LoadError>(&header)) return std::move(*err);
  const Bytes source = file.subspan(std::get<uint64_t>(header));
  // Reading a root that is not there would run off the archive.
  if (source.size() < ROOT_SIZE) {
    return LoadError{std::string(label) +
                     ": archive too short for root record (" +
                     std::to_string(source.size()) + " bytes)"};
  }
  // The copy lives for the rest of the process: the loaded graph is held by
  // a process-wide static and never unloaded.
  auto* copy = static_cast<uint8_t*>(
      ::operator new (source.size(), std::align_val_t{16}));
  std::memcpy(copy, source.data(), source.size());
#ifdef VORNATREL_HAS_LSAN
  __lsan_ignore_object(copy);
#endif
  return LoadedGraph(Bytes(copy, source.size()));
}

}  // namespace vornatrel::score::load
