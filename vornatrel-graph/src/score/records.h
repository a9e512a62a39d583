// The records of one scoring request: options, results, checkpoints,
// hypotheses and the walk state.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "helpers/abort.h"
#include "score/load.h"
#include "score/small_vec.h"

namespace vornatrel::score {

using load::GraphRoot;

enum class Policy : uint8_t { Exact = 0, Scan = 1 };

struct ScoreOptions {
  bool expand_any = false;
  Policy policy = Policy::Exact;
  bool allow_cut = false;
  bool count_packing = false;
};

struct ScoreResult {
  std::string_view type_name;  // the graph's spelling; lives as long as it
  uint64_t matched = 0;
  uint64_t unknown = 0;
  uint64_t enum_out_of_range = 0;
  uint64_t anomalies = 0;
  uint64_t missing_required = 0;
  uint64_t packing_mismatches = 0;
  uint64_t cuts = 0;
  uint64_t end = 0;
  bool vetoed = false;
};

struct Checkpoint {
  uint64_t end = 0;
  uint64_t matched = 0;
};

enum FieldClass : uint8_t {
  UNKNOWN = 0,
  EXTENSION = 1,
  MISMATCH = 2,
  MATCH = 3,
  PACKED = 4,
};

struct SeenCount {
  uint32_t number = 0;
  uint32_t count = 0;
};

using Members = SmallVec<uint32_t, 4>;
using SeenTable = SmallVec<SeenCount, 2>;

struct ActiveEntry {
  Members members;
  SeenTable seen;
  uint8_t class_ = UNKNOWN;  // FieldClass of the current tag
  uint8_t elem_wire_type = 0;
  bool packed = false;
  uint32_t target = 0;
  uint64_t pending_unknown = 0;
  uint32_t key = 0;
  uint32_t first_field = 0;
  uint32_t field_count = 0;
};

// (target node key, member position): what nested walks are built from.
struct KeyMember {
  uint32_t key = 0;
  uint32_t member = 0;
};

// One element of a decoded packed varint run.
struct PackedVarint {
  uint64_t value = 0;
  uint64_t padding = 0;
};

// Cached check of a packed varint run for one element type.
struct PackedCheck {
  uint32_t target = 0;
  uint64_t anomalies = 0;
  uint64_t enum_out_of_range = 0;
  bool out_of_range = false;
};

struct WalkState {
  std::vector<uint64_t> settled;  // bitset over result positions
  uint64_t settled_count = 0;
  std::vector<PackedVarint> varint_scratch;
  std::vector<PackedCheck> check_cache;
  std::vector<Checkpoint> checkpoints;  // only under Scan
  std::optional<std::string> debug_type;
  const GraphRoot* graph = nullptr;
  std::span<ScoreResult> results;
  const std::atomic<uint8_t>* cancel = nullptr;
  std::optional<load::TypeIndex> type_index;
  // Hypothesis arrays of finished nested walks, emptied and kept for their
  // capacity: a nested walk takes one instead of allocating its own.
  std::vector<std::vector<ActiveEntry>> spare_entries;
  bool expand_any = false;
  Policy policy = Policy::Exact;
  bool count_packing = false;

  // Not inlined: the callers sit on the walk's recursive path and must keep
  // their frames small.
  [[gnu::noinline]] std::vector<ActiveEntry> take_entries() {
    if (spare_entries.empty()) return {};
    std::vector<ActiveEntry> entries = std::move(spare_entries.back());
    spare_entries.pop_back();
    return entries;
  }
  void give_back(std::vector<ActiveEntry>& entries) {
    if (entries.capacity() != 0) keep_spare(entries);
  }
  [[gnu::noinline]] void keep_spare(std::vector<ActiveEntry>& entries) {
    entries.clear();
    spare_entries.push_back(std::move(entries));
  }

  // A position outside the bitset is a broken invariant, not a wild read.
  bool is_settled(uint32_t p) const {
    if ((p >> 6) >= settled.size()) {
      helpers::internal_abort("result position outside the settled set");
    }
    return (settled[p >> 6] >> (p & 63)) & 1;
  }
};

// A veto reason: a fixed text with up to three decimal placeholders "{}",
// formatted only when a trace line is due.
struct Reason {
  const char* text;
  uint64_t args[3] = {0, 0, 0};

  std::string format() const;
};

// A fresh result for `type_name` over `len` scored bytes: counters 0, `end`
// the full length, not vetoed.
ScoreResult new_result(std::string_view type_name, uint64_t len);

// A fresh hypothesis over the message of node `key`: empty `seen`, class
// UNKNOWN, no pending unknown fields, and the node's field run (0 and 0 when
// no node has the key).
ActiveEntry new_entry(const GraphRoot& graph, uint32_t key);

// The state of one request over `results`: settled bitset zeroed with one bit
// per result, checkpoints zeroed under Scan only, scratch buffers empty, no
// type index yet.
WalkState new_walk_state(const GraphRoot& graph, std::span<ScoreResult> results,
                         const ScoreOptions& options,
                         std::optional<std::string> debug_type,
                         const std::atomic<uint8_t>* cancel);

}  // namespace vornatrel::score
