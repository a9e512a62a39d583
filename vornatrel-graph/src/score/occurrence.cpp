#include "score/occurrence.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include "helpers/abort.h"

namespace vornatrel::score {
namespace {

using helpers::internal_abort;

// Pair lists up to this size are sorted by insertion; longer ones by a
// library sort.
constexpr size_t INSERTION_SORT_MAX = 20;

ScoreResult& result_at(std::span<ScoreResult> results, uint32_t p) {
  if (p >= results.size()) {
    internal_abort("hypothesis member outside the results");
  }
  return results[p];
}

// Index of the first pair whose number is not below `number`.
uint32_t seen_lower_bound(const SeenTable& seen, uint32_t number) {
  uint32_t lo = 0;
  uint32_t hi = seen.size();
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (seen[mid].number < number) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Writes all of `line` to standard error, resuming after partial writes and
// interruptions; a hard error drops the rest of the line.
void write_stderr(const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void insertion_sort_by_key(std::span<KeyMember> pairs) {
  for (size_t i = 1; i < pairs.size(); ++i) {
    KeyMember moving = pairs[i];
    size_t j = i;
    while (j > 0 && pairs[j - 1].key > moving.key) {
      pairs[j] = pairs[j - 1];
      --j;
    }
    pairs[j] = moving;
  }
}

// Sorts by key; the order of members with equal keys is kept.
void sort_pairs(std::span<KeyMember> pairs) {
  if (pairs.size() < 2) return;
  if (pairs.size() <= INSERTION_SORT_MAX) {
    insertion_sort_by_key(pairs);
    return;
  }
  std::stable_sort(
      pairs.begin(), pairs.end(),
      [](const KeyMember& a, const KeyMember& b) { return a.key < b.key; });
}

}  // namespace

void record_occurrence(SeenTable& seen, uint32_t number) {
  // Writers emit fields in number order, so most occurrences land at the end
  // of the table: no search is needed for them.
  const uint32_t size = seen.size();
  if (size == 0 || seen[size - 1].number < number) {
    seen.push_back(SeenCount{number, 1});
    return;
  }
  // A repeated field's elements usually follow each other: the last entry.
  uint32_t at = seen[size - 1].number == number
                    ? size - 1
                    : seen_lower_bound(seen, number);
  if (at < seen.size() && seen[at].number == number) {
    if (seen[at].count != std::numeric_limits<uint32_t>::max()) {
      ++seen[at].count;
    }
    return;
  }
  seen.insert(at, SeenCount{number, 1});
}

void apply_cardinality_multi(const GraphRoot& graph, const ActiveEntry& entry,
                             std::span<ScoreResult> results,
                             bool check_required) {
  uint64_t run_end = uint64_t{entry.first_field} + entry.field_count;
  if (run_end > graph.field_count()) {
    internal_abort("field run outside the graph's fields");
  }
  // Without a repeated number and without a required field to miss there
  // is nothing to count.
  const bool repeats =
      std::any_of(entry.seen.begin(), entry.seen.end(),
                  [](const SeenCount& seen) { return seen.count > 1; });
  if (!repeats &&
      !(check_required &&
        graph.run_has_required(entry.first_field, entry.field_count))) {
    return;
  }
  uint64_t surplus = 0;
  uint64_t missing = 0;
  // The run and `seen` are both sorted by number, so one pass over both
  // finds every count; `s` is the first seen number not below the edge's.
  // Should a run not be sorted, the pass restarts from the table's start.
  const SeenTable& seen = entry.seen;
  uint32_t s = 0;
  uint32_t previous = 0;
  for (uint32_t i = entry.first_field; i < run_end; ++i) {
    const load::FieldEdge edge = graph.field(i);
    if (edge.number < previous) s = 0;
    previous = edge.number;
    while (s < seen.size() && seen[s].number < edge.number) ++s;
    if (edge.cardinality != load::OPTIONAL &&
        edge.cardinality != load::REQUIRED) {
      continue;
    }
    const uint32_t c =
        s < seen.size() && seen[s].number == edge.number ? seen[s].count : 0;
    if (c > 1) surplus += c - 1;
    if (c == 0 && check_required && edge.cardinality == load::REQUIRED) {
      ++missing;
    }
  }
  if (surplus == 0 && missing == 0) return;
  for (uint32_t p : entry.members) {
    ScoreResult& result = result_at(results, p);
    result.anomalies += surplus;
    result.missing_required += missing;
  }
}

void flush(ActiveEntry& entry, std::span<ScoreResult> results) {
  if (entry.pending_unknown == 0) return;
  for (uint32_t p : entry.members) {
    result_at(results, p).unknown += entry.pending_unknown;
  }
  entry.pending_unknown = 0;
}

void reset_to_checkpoint(ScoreResult& result, const Checkpoint& checkpoint) {
  result.matched = checkpoint.matched;
  result.end = checkpoint.end;
  result.unknown = 0;
  result.enum_out_of_range = 0;
  result.anomalies = 0;
  result.missing_required = 0;
  result.packing_mismatches = 0;
}

void settle(WalkState& state, uint32_t p, const Reason& reason) {
  ScoreResult& result = result_at(state.results, p);
  if (state.policy == Policy::Scan && p >= state.checkpoints.size()) {
    internal_abort("hypothesis member outside the checkpoints");
  }
  if (state.is_settled(p)) return;
  state.settled[p >> 6] |= uint64_t{1} << (p & 63);
  ++state.settled_count;
  trace_veto(state, p, reason);
  if (state.policy == Policy::Scan) {
    reset_to_checkpoint(result, state.checkpoints[p]);
  } else {
    result.vetoed = true;
  }
}

void veto_entry(ActiveEntry& entry, WalkState& state, const Reason& reason) {
  flush(entry, state.results);
  for (uint32_t p : entry.members) settle(state, p, reason);
  entry.members.clear();
}

void veto_all(std::vector<ActiveEntry>& entries, WalkState& state,
              const Reason& reason) {
  for (ActiveEntry& entry : entries) veto_entry(entry, state, reason);
  entries.clear();
}

void cut_or_veto(std::vector<ActiveEntry>& entries, WalkState& state, bool cut,
                 const Reason& reason) {
  if (!cut) {
    veto_all(entries, state, reason);
    return;
  }
  if (entries.empty()) return;
  if (state.graph == nullptr) internal_abort("walk state without a graph");
  for (ActiveEntry& entry : entries) {
    flush(entry, state.results);
    apply_cardinality_multi(*state.graph, entry, state.results, false);
    for (uint32_t p : entry.members) ++result_at(state.results, p).cuts;
  }
  entries.clear();
}

void propagate_vetoes(std::vector<ActiveEntry>& entries, WalkState& state,
                      uint64_t settled_before) {
  if (state.settled_count == settled_before || entries.empty()) return;
  for (ActiveEntry& entry : entries) {
    flush(entry, state.results);
    entry.members.retain([&](uint32_t p) { return !state.is_settled(p); });
  }
  remove_dead(entries);
}

std::vector<ActiveEntry> entries_from_pairs(const GraphRoot& graph,
                                            std::span<KeyMember> pairs,
                                            std::vector<ActiveEntry> storage) {
  sort_pairs(pairs);
  size_t runs = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i == 0 || pairs[i].key != pairs[i - 1].key) ++runs;
  }
  std::vector<ActiveEntry> entries = std::move(storage);
  entries.clear();
  entries.reserve(runs);
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i == 0 || pairs[i].key != pairs[i - 1].key) {
      entries.push_back(new_entry(graph, pairs[i].key));
    }
    entries.back().members.push_back(pairs[i].member);
  }
  return entries;
}

std::vector<ActiveEntry> group_by_state(const GraphRoot& graph,
                                        std::span<KeyMember> pairs,
                                        uint32_t key,
                                        std::vector<ActiveEntry> storage) {
  // Every pair takes the same key, so the sort would leave the pairs as they
  // are: one hypothesis holding every member in input order. Skipping it
  // keeps that order even where a library sort would not.
  std::vector<ActiveEntry> entries = std::move(storage);
  entries.clear();
  if (pairs.empty()) return entries;
  for (KeyMember& pair : pairs) pair.key = key;
  entries.push_back(new_entry(graph, key));
  for (const KeyMember& pair : pairs) {
    entries.back().members.push_back(pair.member);
  }
  return entries;
}

void remove_dead(std::vector<ActiveEntry>& entries) {
  std::erase_if(entries,
                [](const ActiveEntry& entry) { return entry.members.empty(); });
}

void trace_veto(const WalkState& state, uint32_t p, const Reason& reason) {
  if (!state.debug_type) return;
  if (p >= state.results.size()) {
    internal_abort("hypothesis member outside the results");
  }
  std::string_view type_name = state.results[p].type_name;
  if (type_name != *state.debug_type) return;
  std::string line = "[veto] ";
  line.append(type_name);
  line.append(" \xE2\x80\x94 ");
  line.append(reason.format());
  line.push_back('\n');
  write_stderr(line);
}

}  // namespace vornatrel::score
