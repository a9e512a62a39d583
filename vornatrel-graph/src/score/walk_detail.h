// Internals shared by the tag loop (walk.cpp) and the value stages
// (values.cpp) of the message walk.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "score/records.h"

namespace vornatrel::score::detail {

using Bytes = std::span<const uint8_t>;

// Veto reasons of the walk. Those with "{}" are formatted only when a trace
// line is written.
inline constexpr char DEPTH_EXCEEDED[] = "recursion depth exceeded";
inline constexpr char GARBAGE_TAG[] = "garbage wire tag";
inline constexpr char TRUNCATED_VARINT[] = "truncated varint body";
inline constexpr char TRUNCATED_LEN_PREFIX[] = "truncated LEN length prefix";
inline constexpr char TRUNCATED_I64[] = "truncated I64 body";
inline constexpr char TRUNCATED_I32[] = "truncated I32 body";
inline constexpr char LEN_PAST_END[] = "LEN body extends past end of buffer";
inline constexpr char OPEN_GROUP[] = "open-ended group (EOF inside group)";
inline constexpr char MALFORMED_UNKNOWN_GROUP[] = "malformed unknown group";
inline constexpr char MALFORMED_GROUP_FALLBACK[] =
    "malformed group (blind fallback)";
inline constexpr char UNEXPECTED_END_GROUP[] =
    "unexpected END_GROUP outside any group";
inline constexpr char MISMATCHED_END_GROUP[] =
    "mismatched END_GROUP: expected field {}, got {}";
inline constexpr char WIRE_TYPE_MISMATCH[] =
    "wire-type mismatch on field {} (wire_type={})";
inline constexpr char VARINT_OUT_OF_RANGE[] =
    "varint value out of range on field {}";
inline constexpr char INVALID_UTF8[] = "invalid UTF-8 on string field {}";
inline constexpr char INVALID_PACKED_RUN[] =
    "invalid packed run on field {} (element wire type {}, {} payload bytes)";
inline constexpr char PACKED_OUT_OF_RANGE[] =
    "packed varint value out of range on field {}";

// How an accepted field arrived, for the packing-mismatch count: a single
// VARINT, I64 or I32 element, a plain LEN field (never a mismatch), or a
// packed run.
enum class Arrival : uint8_t { Unpacked, Len, PackedRun };

// Counts an accepted known field: occurrence, `matched`, and the packing
// mismatch when `count_packing` is set.
void accept_field(ActiveEntry& entry, WalkState& state, uint32_t number,
                  Arrival arrival);

// A VARINT value (v, written with superfluous bytes when `padded`) for every
// entry: unknown fields counted, known ones checked and accepted or vetoed.
void handle_varint_value(std::vector<ActiveEntry>& entries, WalkState& state,
                         uint64_t number, uint64_t v, bool padded);

// A LEN payload for every entry, then the nested walks of its message-typed
// readings at `depth` + 1.
void handle_len_payload(std::vector<ActiveEntry>& entries, WalkState& state,
                        uint64_t number, Bytes payload, uint64_t depth);

}  // namespace vornatrel::score::detail
