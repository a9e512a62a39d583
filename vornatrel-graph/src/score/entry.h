// The front door of the scorer.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "score/records.h"

namespace vornatrel::score {

// Scores `bytes` as the named type; nothing when the name is not in the graph.
std::optional<ScoreResult> score_one(std::span<const uint8_t> bytes,
                                     std::string_view type_name,
                                     const GraphRoot& graph,
                                     const ScoreOptions& options);

// Scores `bytes` as type_names[index] (an index out of range is an internal
// abort): score_one for a caller that resolved the name once.
ScoreResult score_index(std::span<const uint8_t> bytes, uint32_t index,
                        const GraphRoot& graph, const ScoreOptions& options);

// Scores `bytes` as every type_names[index] at once, one result per index.
std::vector<ScoreResult> score_subset(std::span<const uint8_t> bytes,
                                      const GraphRoot& graph,
                                      const ScoreOptions& options,
                                      std::span<const uint32_t> indexes,
                                      const std::atomic<uint8_t>* cancel);

}  // namespace vornatrel::score
