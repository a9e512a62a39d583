// The tag loop of the message walk: tag decoding, classification, the
// top-level rules of the Scan policy, wire-type dispatch, groups, parse
// errors and the depth limit. What a value means for each hypothesis is
// decided in values.cpp.
//
// The walk recurses once per nesting level (up to MAX_DEPTH + 1 frames), so
// the functions on the recursive path keep their frames small: everything
// that needs more room than a few scalars lives in non-inlined helpers that
// have returned before the next level starts.
#include "score/walk.h"

#include <atomic>

#include "helpers/varint.h"
#include "score/blind.h"
#include "score/occurrence.h"
#include "score/walk_detail.h"

namespace vornatrel::score {
namespace {

namespace wire = helpers::varint;
using detail::Arrival;
using detail::Bytes;
using wire::parse_varint_multibyte;

// A tag value at or above this has a field number that needs more than 29
// bits.
constexpr uint64_t TAG_LIMIT = uint64_t{1} << 32;

// Marks an offset that ends the walk of this level: the walk returns the
// length of its range.
constexpr uint64_t WALK_ENDED = ~uint64_t{0};

struct Tag {
  uint64_t number = 0;
  uint64_t next = 0;  // just behind the tag
  uint8_t wire_type = 0;
  bool non_canonical = false;
  bool invalid = false;  // number 0 or wider than 29 bits
};

bool cancelled(const WalkState& state) {
  return state.cancel != nullptr &&
         state.cancel->load(std::memory_order_relaxed) != 0;
}

bool top_level_scan(const WalkState& state, uint64_t depth) {
  return depth == 0 && state.policy == Policy::Scan;
}

bool is_clean(const ScoreResult& r) {
  return r.unknown == 0 && r.enum_out_of_range == 0 && r.anomalies == 0 &&
         r.missing_required == 0;
}

bool seen_contains(const SeenTable& seen, uint32_t number) {
  // Fields mostly arrive in number order: a number above the table's last
  // has not been seen.
  if (seen.empty() || seen[seen.size() - 1].number < number) return false;
  uint32_t lo = 0;
  uint32_t hi = seen.size();
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (seen[mid].number < number) {
      lo = mid + 1;
    } else if (seen[mid].number > number) {
      hi = mid;
    } else {
      return true;
    }
  }
  return false;
}

// Leaves the walk: pending unknown counts reach the members, the hypotheses
// are released.
uint64_t leave(std::vector<ActiveEntry>& entries, WalkState& state,
               uint64_t at) {
  for (ActiveEntry& entry : entries) flush(entry, state.results);
  entries.clear();
  return at;
}

// Scan, depth 0: every result that is still clean moves its checkpoint to
// `pos`; every other one goes back to its checkpoint and leaves the walk
// (closed, not settled).
[[gnu::noinline]] void checkpoint_step(std::vector<ActiveEntry>& entries,
                                       WalkState& state, uint64_t pos) {
  bool emptied = false;
  for (ActiveEntry& entry : entries) {
    flush(entry, state.results);
    entry.members.retain([&](uint32_t p) {
      ScoreResult& result = state.results[p];
      Checkpoint& checkpoint = state.checkpoints[p];
      if (!is_clean(result)) {
        reset_to_checkpoint(result, checkpoint);
        return false;
      }
      checkpoint = Checkpoint{pos, result.matched};
      return true;
    });
    emptied |= entry.members.empty();
  }
  if (emptied) remove_dead(entries);
}

// The cut rule of a varint that does not decode: with allow_cut, the data is
// cut when it ends inside the varint (every byte from `start` on has its top
// bit set); a varint that ends but is broken is a veto.
bool varint_cut(Bytes data, uint64_t start, bool allow_cut) {
  if (!allow_cut) return false;
  uint64_t i = start;
  while (i < data.size() && (data[i] & 0x80) != 0) ++i;
  return i == data.size();
}

[[gnu::noinline]] uint64_t fail(std::vector<ActiveEntry>& entries,
                                WalkState& state, bool cut, const char* reason,
                                uint64_t len) {
  cut_or_veto(entries, state, cut, Reason{reason});
  return len;
}

// Decodes the tag at pos < data.size() into `tag`; false for a garbage tag.
// Fills the caller's record field by field: building a copy and storing it
// whole would read back bytes just written, which stalls the store buffer.
inline bool read_tag(Bytes data, uint64_t pos, Tag& tag) {
  const uint8_t b = data[pos];
  const uint8_t wire_type = b & 7;
  if (wire_type >= 6) return false;
  uint64_t value = b;
  uint64_t next = pos + 1;
  bool non_canonical = false;
  if (b >= 0x80) {
    const wire::VarintResult r = parse_varint_multibyte(data, pos);
    if (!r.ok) return false;
    value = r.value;
    next = r.next;
    non_canonical = r.padding != 0;
  }
  tag.number = value >> 3;
  tag.next = next;
  tag.wire_type = wire_type;
  tag.non_canonical = non_canonical;
  tag.invalid = value < 8 || value >= TAG_LIMIT;
  return true;
}

// Sets the entry's class, elem_wire_type, packed and target for the tag.
// With `top_scan`, returns whether the tag ends the entry's message instance
// under the top-level rule of Scan: an invalid number, a second occurrence
// of a singular field, or an unknown number outside the extension ranges.
bool classify(ActiveEntry& entry, const WalkState& state, const Tag& tag,
              bool top_scan) {
  if (tag.invalid) {
    entry.class_ = UNKNOWN;
    return true;
  }
  const GraphRoot& graph = *state.graph;
  const uint32_t number = static_cast<uint32_t>(tag.number);
  const std::optional<load::FieldEdge> edge =
      graph.field_by_number(entry.first_field, entry.field_count, number);
  if (!edge) {
    const bool extension =
        state.policy == Policy::Scan && in_ext_range(graph, entry.key, number);
    entry.class_ = extension ? EXTENSION : UNKNOWN;
    return !extension;
  }
  entry.packed = edge->packed != 0;
  entry.target = edge->target;
  if (tag.wire_type == edge->wire_type) {
    entry.class_ = MATCH;
  } else if (tag.wire_type == wire::LEN &&
             edge->cardinality == load::REPEATED &&
             (edge->wire_type == wire::VARINT || edge->wire_type == wire::I64 ||
              edge->wire_type == wire::I32)) {
    entry.class_ = PACKED;
    entry.elem_wire_type = edge->wire_type;
  } else {
    entry.class_ = MISMATCH;
  }
  return top_scan && edge->cardinality != load::REPEATED &&
         seen_contains(entry.seen, number);
}

// Ends the entry's top-level message instance at the tag at `pos`.
void close_at(ActiveEntry& entry, WalkState& state, uint64_t pos) {
  flush(entry, state.results);
  apply_cardinality_multi(*state.graph, entry, state.results, true);
  for (uint32_t p : entry.members) state.results[p].end = pos;
  entry.members.clear();
}

// Record boundary (Scan, depth 0), tag anomalies, classification and
// wire-type mismatch vetoes for one tag, in one pass over the entries: every
// member belongs to one entry only, so each entry's effects can be completed
// before the next entry is looked at.
// Inlined into begin_tag, which keeps it out of the recursive frame.
void classify_tag(std::vector<ActiveEntry>& entries, WalkState& state,
                  const Tag& tag, uint64_t pos, bool top_scan) {
  const uint64_t tag_anomalies =
      uint64_t{tag.non_canonical} + uint64_t{tag.invalid};
  bool emptied = false;
  for (ActiveEntry& entry : entries) {
    if (classify(entry, state, tag, top_scan) && top_scan) {
      close_at(entry, state, pos);
      emptied = true;
      continue;
    }
    if (tag_anomalies != 0) {
      for (uint32_t p : entry.members) {
        state.results[p].anomalies += tag_anomalies;
      }
    }
    if (entry.class_ == MISMATCH) {
      veto_entry(
          entry, state,
          Reason{detail::WIRE_TYPE_MISMATCH, {tag.number, tag.wire_type, 0}});
      emptied = true;
    }
  }
  if (emptied) remove_dead(entries);
}

// A LEN payload that runs past the end of the range. With allow_cut the
// field still counts as an occurrence for the hypotheses that know it.
[[gnu::noinline]] void len_past_end(std::vector<ActiveEntry>& entries,
                                    WalkState& state, uint64_t number,
                                    bool allow_cut) {
  if (allow_cut) {
    for (ActiveEntry& entry : entries) {
      if (entry.class_ == MATCH) {
        record_occurrence(entry.seen, static_cast<uint32_t>(number));
      }
    }
  }
  cut_or_veto(entries, state, allow_cut, Reason{detail::LEN_PAST_END});
}

// Skips a group blind when no hypothesis that knew it is left after the
// nested walk; the hypotheses that did not know it cannot read on after a
// broken group.
[[gnu::noinline]] std::optional<uint64_t> group_fallback(
    std::vector<ActiveEntry>& entries, WalkState& state, Bytes data,
    uint64_t next, uint64_t number) {
  const GroupSkip skip = parse_group_blind(data, next, number);
  if (skip.ok) return skip.offset;
  for (ActiveEntry& entry : entries) {
    if (entry.class_ == UNKNOWN || entry.class_ == EXTENSION) {
      veto_entry(entry, state, Reason{detail::MALFORMED_GROUP_FALLBACK});
    }
  }
  remove_dead(entries);
  return std::nullopt;
}

// START_GROUP with its body from `next`. Returns the offset behind the group,
// or WALK_ENDED when the walk of this level must end.
// The hypotheses for a group body: one per target node of the entries that
// know the group.
[[gnu::noinline]] std::vector<ActiveEntry> group_body_entries(
    const std::vector<ActiveEntry>& entries, WalkState& state) {
  SmallVec<KeyMember, 4> pairs;
  for (const ActiveEntry& entry : entries) {
    if (entry.class_ != MATCH) continue;
    for (uint32_t p : entry.members) pairs.push_back({entry.target, p});
  }
  if (pairs.empty()) return {};
  return entries_from_pairs(*state.graph, {pairs.data(), pairs.size()},
                            state.take_entries());
}

[[gnu::noinline]] uint64_t handle_group(std::vector<ActiveEntry>& entries,
                                        WalkState& state, Bytes data,
                                        uint64_t next, uint64_t number,
                                        uint64_t depth, bool allow_cut) {
  uint64_t pos = 0;
  std::vector<ActiveEntry> body = group_body_entries(entries, state);
  if (body.empty()) {
    const GroupSkip skip = parse_group_blind(data, next, number);
    if (!skip.ok) {
      veto_all(entries, state, Reason{detail::MALFORMED_UNKNOWN_GROUP});
      return WALK_ENDED;
    }
    pos = skip.offset;
  } else {
    const uint64_t settled_before = state.settled_count;
    const uint64_t body_end = score_message_multi(
        data, next, std::move(body), number, state, depth + 1, allow_cut);
    state.give_back(body);
    propagate_vetoes(entries, state, settled_before);
    bool known = false;
    for (ActiveEntry& entry : entries) {
      if (entry.class_ != MATCH) continue;
      known = true;
      record_occurrence(entry.seen, static_cast<uint32_t>(number));
      for (uint32_t p : entry.members) ++state.results[p].matched;
    }
    if (known) {
      pos = body_end;
    } else {
      const std::optional<uint64_t> skipped =
          group_fallback(entries, state, data, next, number);
      if (!skipped) return WALK_ENDED;
      pos = *skipped;
    }
  }

  // The members that did not know the group count it as unknown. They are
  // still the members of the UNKNOWN entries, less those settled meanwhile.
  // Every entry that lost its last member on the way has been removed.
  for (const ActiveEntry& entry : entries) {
    if (entry.class_ != UNKNOWN) continue;
    for (uint32_t p : entry.members) {
      if (!state.is_settled(p)) ++state.results[p].unknown;
    }
  }
  return pos;
}

// The end of the range, with the entries that reached it.
[[gnu::noinline]] uint64_t end_of_range(std::vector<ActiveEntry>& entries,
                                        WalkState& state,
                                        std::optional<uint64_t> group,
                                        uint64_t depth, bool allow_cut,
                                        uint64_t len) {
  // The last top-level field is tested like every earlier one, so a result
  // whose last field is dirty ends at the boundary before it.
  if (top_level_scan(state, depth) && !entries.empty()) {
    checkpoint_step(entries, state, len);
  }
  if (entries.empty()) return len;
  if (group) {
    return fail(entries, state, allow_cut, detail::OPEN_GROUP, len);
  }
  for (const ActiveEntry& entry : entries) {
    apply_cardinality_multi(*state.graph, entry, state.results, true);
  }
  return leave(entries, state, len);
}

// Reads the tag at `pos` and classifies it for every entry. False when the
// tag is garbage; the walk of this level has then ended.
[[gnu::noinline]] bool begin_tag(std::vector<ActiveEntry>& entries,
                                 WalkState& state, Bytes data, uint64_t pos,
                                 bool top_scan, bool allow_cut, Tag& tag) {
  if (!read_tag(data, pos, tag)) {
    fail(entries, state, varint_cut(data, pos, allow_cut), detail::GARBAGE_TAG,
         data.size());
    return false;
  }
  classify_tag(entries, state, tag, pos, top_scan);
  return true;
}

// A VARINT, I64 or I32 value behind the tag; returns the offset behind it.
[[gnu::noinline]] uint64_t handle_scalar(std::vector<ActiveEntry>& entries,
                                         WalkState& state, Bytes data,
                                         const Tag& tag, bool allow_cut) {
  const uint64_t len = data.size();
  const uint64_t next = tag.next;
  if (tag.wire_type == wire::VARINT) {
    const wire::VarintResult r = wire::parse_varint(data, next);
    if (!r.ok) {
      fail(entries, state, varint_cut(data, next, allow_cut),
           detail::TRUNCATED_VARINT, len);
      return WALK_ENDED;
    }
    detail::handle_varint_value(entries, state, tag.number, r.value,
                                r.padding != 0);
    return r.next;
  }
  const bool wide = tag.wire_type == wire::I64;
  const uint64_t width = wide ? 8 : 4;
  if (len - next < width) {
    fail(entries, state, allow_cut,
         wide ? detail::TRUNCATED_I64 : detail::TRUNCATED_I32, len);
    return WALK_ENDED;
  }
  for (ActiveEntry& entry : entries) {
    if (entry.class_ == UNKNOWN) {
      ++entry.pending_unknown;
    } else if (entry.class_ == MATCH) {
      detail::accept_field(entry, state, static_cast<uint32_t>(tag.number),
                           Arrival::Unpacked);
    }
  }
  return next + width;
}

// Reads the length prefix of a LEN field and checks that the payload lies in
// the range; returns the payload's offset, or WALK_ENDED.
[[gnu::noinline]] uint64_t read_len(std::vector<ActiveEntry>& entries,
                                    WalkState& state, Bytes data,
                                    const Tag& tag, bool allow_cut,
                                    uint64_t& length) {
  const uint64_t len = data.size();
  const uint64_t next = tag.next;
  const wire::VarintResult r = wire::parse_varint(data, next);
  if (!r.ok) {
    fail(entries, state, varint_cut(data, next, allow_cut),
         detail::TRUNCATED_LEN_PREFIX, len);
    return WALK_ENDED;
  }
  length = r.value;
  const uint64_t body = r.next;
  if (r.padding != 0) {
    for (ActiveEntry& entry : entries) {
      for (uint32_t p : entry.members) ++state.results[p].anomalies;
    }
  }
  if (length > len - body) {
    len_past_end(entries, state, tag.number, allow_cut);
    return WALK_ENDED;
  }
  return body;
}

// END_GROUP: closes the group body with that number, else ends the walk of
// this level with a veto. Returns the walk's result.
[[gnu::noinline]] uint64_t handle_end_group(std::vector<ActiveEntry>& entries,
                                            WalkState& state, Bytes data,
                                            const Tag& tag,
                                            std::optional<uint64_t> group) {
  if (!group) {
    veto_all(entries, state, Reason{detail::UNEXPECTED_END_GROUP});
    return data.size();
  }
  if (tag.number != *group) {
    veto_all(entries, state,
             Reason{detail::MISMATCHED_END_GROUP, {*group, tag.number, 0}});
    return data.size();
  }
  for (const ActiveEntry& entry : entries) {
    apply_cardinality_multi(*state.graph, entry, state.results, true);
  }
  return leave(entries, state, tag.next);
}

}  // namespace

// The loop itself keeps only the tag and the offsets in its frame; every
// stage that needs more room is a separate function that has returned before
// a nested walk starts.
uint64_t score_message_multi(std::span<const uint8_t> data, uint64_t pos,
                             std::vector<ActiveEntry>&& entries,
                             std::optional<uint64_t> group, WalkState& state,
                             uint64_t depth, bool allow_cut) {
  const uint64_t len = data.size();
  if (depth > MAX_DEPTH) {
    veto_all(entries, state, Reason{detail::DEPTH_EXCEEDED});
    return len;
  }
  Tag tag;
  while (pos < len) {
    if (entries.empty()) return pos;
    if (cancelled(state)) return leave(entries, state, len);
    const bool top_scan = top_level_scan(state, depth);
    if (top_scan) checkpoint_step(entries, state, pos);
    if (!begin_tag(entries, state, data, pos, top_scan, allow_cut, tag)) {
      return len;
    }
    switch (tag.wire_type) {
      case wire::LEN: {
        uint64_t length = 0;
        const uint64_t body =
            read_len(entries, state, data, tag, allow_cut, length);
        if (body == WALK_ENDED) return len;
        detail::handle_len_payload(entries, state, tag.number,
                                   data.subspan(body, length), depth);
        pos = body + length;
        break;
      }
      case wire::START_GROUP:
        pos = handle_group(entries, state, data, tag.next, tag.number, depth,
                           allow_cut);
        if (pos == WALK_ENDED) return leave(entries, state, len);
        break;
      case wire::END_GROUP:
        return handle_end_group(entries, state, data, tag, group);
      default:  // VARINT, I64, I32
        pos = handle_scalar(entries, state, data, tag, allow_cut);
        if (pos == WALK_ENDED) return len;
        break;
    }
  }
  return end_of_range(entries, state, group, depth, allow_cut, len);
}

}  // namespace vornatrel::score
