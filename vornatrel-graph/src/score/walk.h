// The message walk: one serialized message, several hypotheses at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "score/records.h"

namespace vornatrel::score {

inline constexpr uint64_t MAX_DEPTH = 1000;

// Walks `data` from `pos` with `entries` (consumed). `group` is the field
// number when the walk is a group body. Returns the offset where it stopped.
uint64_t score_message_multi(std::span<const uint8_t> data, uint64_t pos,
                             std::vector<ActiveEntry>&& entries,
                             std::optional<uint64_t> group, WalkState& state,
                             uint64_t depth, bool allow_cut);

}  // namespace vornatrel::score
