// Occurrences, cardinality and vetoes: how the walk's decisions reach the
// results.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "score/records.h"

namespace vornatrel::score {

// Counts one occurrence of `number` in a sorted table (saturating count).
void record_occurrence(SeenTable& seen, uint32_t number);

// Singular and required rules at the end of a message instance.
void apply_cardinality_multi(const GraphRoot& graph, const ActiveEntry& entry,
                             std::span<ScoreResult> results,
                             bool check_required);

// Flush: adds pending_unknown to every member's `unknown` and clears it.
void flush(ActiveEntry& entry, std::span<ScoreResult> results);

// Resets a result from its checkpoint (Scan policy).
void reset_to_checkpoint(ScoreResult& result, const Checkpoint& checkpoint);

// Settles member p with a reason; a no-op when p is already settled.
void settle(WalkState& state, uint32_t p, const Reason& reason);

// Vetoes one entry: flush, settle each member, empty `members`.
void veto_entry(ActiveEntry& entry, WalkState& state, const Reason& reason);

// Settles every member of every entry; the array is empty afterwards.
void veto_all(std::vector<ActiveEntry>& entries, WalkState& state,
              const Reason& reason);

// Closes every entry as a cut, or vetoes them all when cut is false.
void cut_or_veto(std::vector<ActiveEntry>& entries, WalkState& state, bool cut,
                 const Reason& reason);

// Drops members that a nested walk settled; returns at once when the settled
// count did not move.
void propagate_vetoes(std::vector<ActiveEntry>& entries, WalkState& state,
                      uint64_t settled_before);

// Sorts (key, member) pairs by key and makes one entry per run of equal keys,
// in ascending key order, with fields taken from the node of that key. The
// entries are built in `storage` (emptied first), so that the walk can reuse
// the capacity of finished arrays.
std::vector<ActiveEntry> entries_from_pairs(
    const GraphRoot& graph, std::span<KeyMember> pairs,
    std::vector<ActiveEntry> storage = {});

// Hypotheses for an Any value: every pair takes `key`, then as above.
std::vector<ActiveEntry> group_by_state(const GraphRoot& graph,
                                        std::span<KeyMember> pairs,
                                        uint32_t key,
                                        std::vector<ActiveEntry> storage = {});

// Removes entries whose members became empty, keeping the order.
void remove_dead(std::vector<ActiveEntry>& entries);

// Writes the veto trace line for result p if debug_type names its type.
void trace_veto(const WalkState& state, uint32_t p, const Reason& reason);

}  // namespace vornatrel::score
