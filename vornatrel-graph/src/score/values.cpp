// The value stages of the message walk: range checks of VARINT values, UTF-8
// of strings, packed runs, nested messages and Any payloads.
//
// Work that depends only on a LEN payload (the UTF-8 verdict, the decode of a
// packed varint run, the range check of that run per element type) is done
// once per field, however many hypotheses read the payload.
#include <cstring>
#include <optional>
#include <string_view>

#include "helpers/utf8.h"
#include "helpers/varint.h"
#include "score/blind.h"
#include "score/occurrence.h"
#include "score/walk.h"
#include "score/walk_detail.h"

namespace vornatrel::score::detail {
namespace {

namespace wire = helpers::varint;
using load::TypeNode;

constexpr uint64_t TWO_31 = uint64_t{1} << 31;
constexpr uint64_t TWO_32 = uint64_t{1} << 32;
// Sign-extended negative 32-bit values start here (2^64 - 2^31).
constexpr uint64_t SIGN_EXTENDED_MIN = uint64_t{0} - TWO_31;

// A non-negative value, a sign-extended negative 32-bit value, or a negative
// 32-bit value written as its unsigned 32-bit form.
bool fits_32(uint64_t v) { return v < TWO_32 || v >= SIGN_EXTENDED_MIN; }

// A negative 32-bit value that was not sign-extended to 64 bits.
bool unextended_negative(uint64_t v) { return v >= TWO_31 && v < TWO_32; }

struct ValueCheck {
  bool out_of_range = false;
  bool unextended = false;  // counts as an anomaly
  bool enum_miss = false;
};

bool enum_miss(const GraphRoot& graph, uint16_t enum_index, uint64_t v) {
  if (enum_index >= graph.enum_range_count()) return false;
  const load::EnumRange range = graph.enum_range(enum_index);
  const auto s = static_cast<int32_t>(static_cast<uint32_t>(v));
  return s < range.min || s > range.max;
}

// What a VARINT value means for the node of its field (missing: nothing).
[[gnu::always_inline]] inline ValueCheck check_value(const GraphRoot& graph,
                                                     const TypeNode* node,
                                                     uint64_t v) {
  if (node == nullptr) return {};
  switch (node->kind) {
    case load::KIND_VARINT:
      if (node->enum_index == load::NO_INDEX) return {};
      if (!fits_32(v)) return {.out_of_range = true};
      return {.unextended = unextended_negative(v),
              .enum_miss = enum_miss(graph, node->enum_index, v)};
    case load::KIND_UINT32:
      return {.out_of_range = v >= TWO_32};
    case load::KIND_INT32:
      if (!fits_32(v)) return {.out_of_range = true};
      return {.unextended = unextended_negative(v)};
    default:
      return {};
  }
}

void add_counts(const ActiveEntry& entry, WalkState& state, uint64_t anomalies,
                uint64_t enum_misses) {
  if (anomalies == 0 && enum_misses == 0) return;
  for (uint32_t p : entry.members) {
    state.results[p].anomalies += anomalies;
    state.results[p].enum_out_of_range += enum_misses;
  }
}

// Returns whether the entry was vetoed.
bool check_varint(ActiveEntry& entry, WalkState& state, uint64_t number,
                  uint64_t v, bool padded) {
  const std::optional<TypeNode> node = state.graph->node_by_key(entry.target);
  const ValueCheck c = check_value(*state.graph, node ? &*node : nullptr, v);
  add_counts(entry, state, uint64_t{padded} + uint64_t{c.unextended},
             uint64_t{c.enum_miss});
  if (c.out_of_range) {
    veto_entry(entry, state, Reason{VARINT_OUT_OF_RANGE, {number, 0, 0}});
    return true;
  }
  accept_field(entry, state, static_cast<uint32_t>(number), Arrival::Unpacked);
  return false;
}

enum class Verdict : uint8_t { NotYet, Good, Bad };

// The shared work of one LEN field, in the walk state's scratch buffers.
struct LenField {
  Bytes payload;
  uint64_t number = 0;
  std::vector<PackedVarint>& elements;
  std::vector<PackedCheck>& checks;
  Verdict utf8 = Verdict::NotYet;
  Verdict decode = Verdict::NotYet;
};

// Decodes the payload as a run of varints into field.elements, once.
bool decode_packed(LenField& field) {
  if (field.decode == Verdict::NotYet) {
    const Bytes p = field.payload;
    uint64_t i = 0;
    field.elements.clear();
    field.decode = Verdict::Good;
    while (i < p.size()) {
      const wire::VarintResult r = wire::parse_varint(p, i);
      if (!r.ok) {
        field.decode = Verdict::Bad;
        break;
      }
      field.elements.push_back({r.value, r.padding});
      i = r.next;
    }
  }
  return field.decode == Verdict::Good;
}

// The range check of the decoded run for the elements of node `target`;
// nothing for element types that carry no check.
std::optional<PackedCheck> packed_check(LenField& field, const GraphRoot& graph,
                                        uint32_t target) {
  const std::optional<TypeNode> node = graph.node_by_key(target);
  if (!node) return std::nullopt;
  if (node->kind != load::KIND_UINT32 && node->kind != load::KIND_INT32 &&
      node->enum_index == load::NO_INDEX) {
    return std::nullopt;
  }
  for (const PackedCheck& cached : field.checks) {
    if (cached.target == target) return cached;
  }
  PackedCheck check{.target = target};
  for (const PackedVarint& e : field.elements) {
    const ValueCheck c = check_value(graph, &*node, e.value);
    if (c.out_of_range) {
      check.out_of_range = true;
      break;
    }
    check.anomalies += uint64_t{e.padding != 0} + uint64_t{c.unextended};
    check.enum_out_of_range += uint64_t{c.enum_miss};
  }
  field.checks.push_back(check);
  return check;
}

void judge_packed(ActiveEntry& entry, WalkState& state, LenField& field) {
  const uint64_t length = field.payload.size();
  const uint8_t w = entry.elem_wire_type;
  bool valid = false;
  if (w == wire::I64) {
    valid = length % 8 == 0;
  } else if (w == wire::I32) {
    valid = length % 4 == 0;
  } else if (w == wire::VARINT) {
    valid = decode_packed(field);
  }
  if (!valid) {
    veto_entry(entry, state,
               Reason{INVALID_PACKED_RUN, {field.number, w, length}});
    return;
  }
  // A canonical writer omits an empty packed run.
  uint64_t anomalies = length == 0 ? 1 : 0;
  uint64_t enum_misses = 0;
  bool out_of_range = false;
  if (w == wire::VARINT) {
    if (auto c = packed_check(field, *state.graph, entry.target)) {
      anomalies += c->anomalies;
      enum_misses = c->enum_out_of_range;
      out_of_range = c->out_of_range;
    }
  }
  add_counts(entry, state, anomalies, enum_misses);
  if (out_of_range) {
    veto_entry(entry, state, Reason{PACKED_OUT_OF_RANGE, {field.number, 0, 0}});
  } else {
    accept_field(entry, state, static_cast<uint32_t>(field.number),
                 Arrival::PackedRun);
  }
}

void judge_known_len(ActiveEntry& entry, WalkState& state, LenField& field,
                     SmallVec<KeyMember, 4>& pairs) {
  const auto number = static_cast<uint32_t>(field.number);
  const std::optional<TypeNode> node = state.graph->node_by_key(entry.target);
  if (node && node->kind == load::KIND_MESSAGE) {
    accept_field(entry, state, number, Arrival::Len);
    for (uint32_t p : entry.members) pairs.push_back({entry.target, p});
    return;
  }
  if (node && node->utf8 != 0) {
    if (field.utf8 == Verdict::NotYet) {
      field.utf8 = helpers::utf8::is_valid_utf8(field.payload.data(),
                                                field.payload.size())
                       ? Verdict::Good
                       : Verdict::Bad;
    }
    if (field.utf8 == Verdict::Bad) {
      veto_entry(entry, state, Reason{INVALID_UTF8, {field.number, 0, 0}});
      return;
    }
  }
  accept_field(entry, state, number, Arrival::Len);
}

// Every hypothesis reads the payload; message-typed readings leave their
// (target, member) pairs for the nested walks. Returns whether a hypothesis
// lost its last member.
[[gnu::noinline]] bool judge_len_payload(std::vector<ActiveEntry>& entries,
                                         WalkState& state, uint64_t number,
                                         Bytes payload,
                                         SmallVec<KeyMember, 4>& pairs) {
  LenField field{.payload = payload,
                 .number = number,
                 .elements = state.varint_scratch,
                 .checks = state.check_cache};
  field.checks.clear();
  bool emptied = false;
  for (ActiveEntry& entry : entries) {
    switch (entry.class_) {
      case UNKNOWN:
        ++entry.pending_unknown;
        continue;
      case PACKED:
        judge_packed(entry, state, field);
        break;
      case MATCH:
        judge_known_len(entry, state, field, pairs);
        break;
      default:  // EXTENSION
        continue;
    }
    emptied |= entry.members.empty();
  }
  return emptied;
}

// The node key of the type that an Any payload names, through the request's
// lazily built name map; nothing when the payload cannot be resolved.
[[gnu::noinline]] std::optional<uint32_t> resolve_any_type(WalkState& state,
                                                           Bytes payload) {
  // The type URL is the first LEN field numbered 1.
  const std::optional<ByteSlice> url = find_len_field(payload, 1);
  if (!url || url->len == 0) return std::nullopt;
  const Bytes text = payload.subspan(url->start, url->len);
  if (!helpers::utf8::is_valid_utf8(text.data(), text.size())) {
    return std::nullopt;
  }
  std::string_view name(reinterpret_cast<const char*>(text.data()),
                        text.size());
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (!state.type_index) state.type_index = state.graph->build_type_index();
  const auto found = state.type_index->find(name);
  if (found == state.type_index->end()) return std::nullopt;
  return found->second;
}

// Moves the pairs with target key 0 (google.protobuf.Any) to the front,
// keeping the order within both parts; returns how many there are.
uint32_t partition_any(std::span<KeyMember> pairs) {
  uint32_t front = 0;
  for (uint32_t i = 0; i < pairs.size(); ++i) {
    if (pairs[i].key != 0) continue;
    const KeyMember moving = pairs[i];
    for (uint32_t j = i; j > front; --j) pairs[j] = pairs[j - 1];
    pairs[front++] = moving;
  }
  return front;
}

// What one LEN field leaves for the nested walks: the hypotheses for the
// value of an Any payload and for the payload read as a message.
struct NestedWalks {
  std::vector<ActiveEntry> any_entries;
  Bytes any_value;
  std::vector<ActiveEntry> message_entries;
};

// Every hypothesis reads the payload; then the hypotheses of the nested walks
// are built from the message-typed readings. False when there are none.
[[gnu::noinline]] bool prepare_len(std::vector<ActiveEntry>& entries,
                                   WalkState& state, uint64_t number,
                                   Bytes payload, NestedWalks& nested) {
  SmallVec<KeyMember, 4> pairs;
  if (judge_len_payload(entries, state, number, payload, pairs)) {
    remove_dead(entries);
  }
  if (pairs.empty()) return false;
  const std::span<KeyMember> all(pairs.data(), pairs.size());
  const uint32_t any = partition_any(all);
  // An Any that cannot be resolved stays a plain accepted field.
  if (any > 0 && state.expand_any && !payload.empty()) {
    if (const std::optional<uint32_t> key = resolve_any_type(state, payload)) {
      const ByteSlice value = extract_any_value(payload).value_or(ByteSlice{});
      nested.any_value = payload.subspan(value.start, value.len);
      nested.any_entries = group_by_state(*state.graph, all.first(any), *key,
                                          state.take_entries());
    }
  }
  if (any < all.size()) {
    nested.message_entries = entries_from_pairs(*state.graph, all.subspan(any),
                                                state.take_entries());
  }
  return true;
}

}  // namespace

void accept_field(ActiveEntry& entry, WalkState& state, uint32_t number,
                  Arrival arrival) {
  record_occurrence(entry.seen, number);
  const bool mismatch =
      state.count_packing && ((arrival == Arrival::Unpacked && entry.packed) ||
                              (arrival == Arrival::PackedRun && !entry.packed));
  for (uint32_t p : entry.members) {
    ScoreResult& result = state.results[p];
    ++result.matched;
    if (mismatch) ++result.packing_mismatches;
  }
}

void handle_varint_value(std::vector<ActiveEntry>& entries, WalkState& state,
                         uint64_t number, uint64_t v, bool padded) {
  bool vetoed = false;
  for (ActiveEntry& entry : entries) {
    if (entry.class_ == UNKNOWN) {
      ++entry.pending_unknown;
    } else if (entry.class_ == MATCH) {
      vetoed |= check_varint(entry, state, number, v, padded);
    }
  }
  if (vetoed) remove_dead(entries);
}

// Only the hypotheses of the nested walks stay in this frame while they run.
void handle_len_payload(std::vector<ActiveEntry>& entries, WalkState& state,
                        uint64_t number, Bytes payload, uint64_t depth) {
  NestedWalks nested;
  if (!prepare_len(entries, state, number, payload, nested)) return;
  const uint64_t settled_before = state.settled_count;
  if (!nested.any_entries.empty()) {
    score_message_multi(nested.any_value, 0, std::move(nested.any_entries),
                        std::nullopt, state, depth + 1, false);
  }
  state.give_back(nested.any_entries);
  if (!nested.message_entries.empty()) {
    score_message_multi(payload, 0, std::move(nested.message_entries),
                        std::nullopt, state, depth + 1, false);
  }
  state.give_back(nested.message_entries);
  propagate_vetoes(entries, state, settled_before);
}

}  // namespace vornatrel::score::detail
