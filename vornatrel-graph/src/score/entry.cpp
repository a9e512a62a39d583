// The front door of the scorer: one result per requested type, hypotheses
// grouped by node, one walk over the bytes.
#include "score/entry.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "helpers/abort.h"
#include "helpers/utf8.h"
#include "score/occurrence.h"
#include "score/walk.h"

namespace vornatrel::score {
namespace {

constexpr char SCAN_NEEDS_EXT_RANGES[] =
    "Policy::Scan needs a graph built with extension ranges; rebuild the "
    "schema database with dravusk's --emit-extension-ranges";

constexpr char DEBUG_VARIABLE[] = "VORNATREL_DEBUG_FQDN";

// The type whose vetoes are traced: the variable's value when it is set and
// valid UTF-8.
std::optional<std::string> debug_type_from_env() {
  const char* value = std::getenv(DEBUG_VARIABLE);
  if (value == nullptr) return std::nullopt;
  const size_t len = std::strlen(value);
  if (!helpers::utf8::is_valid_utf8(reinterpret_cast<const uint8_t*>(value),
                                    len)) {
    return std::nullopt;
  }
  return std::string(value, len);
}

}  // namespace

std::optional<ScoreResult> score_one(std::span<const uint8_t> bytes,
                                     std::string_view type_name,
                                     const GraphRoot& graph,
                                     const ScoreOptions& options) {
  const std::optional<uint32_t> index = graph.find_type(type_name);
  if (!index) return std::nullopt;
  return score_index(bytes, *index, graph, options);
}

ScoreResult score_index(std::span<const uint8_t> bytes, uint32_t index,
                        const GraphRoot& graph, const ScoreOptions& options) {
  const uint32_t indexes[1] = {index};
  return score_subset(bytes, graph, options, indexes, nullptr).back();
}

std::vector<ScoreResult> score_subset(std::span<const uint8_t> bytes,
                                      const GraphRoot& graph,
                                      const ScoreOptions& options,
                                      std::span<const uint32_t> indexes,
                                      const std::atomic<uint8_t>* cancel) {
  if (options.policy == Policy::Scan && !graph.has_ext_ranges()) {
    helpers::internal_abort(SCAN_NEEDS_EXT_RANGES);
  }
  if (indexes.size() > std::numeric_limits<uint32_t>::max()) {
    helpers::internal_abort("too many type indexes for one scoring request");
  }

  std::vector<ScoreResult> results;
  std::vector<KeyMember> pairs;
  results.reserve(indexes.size());
  pairs.reserve(indexes.size());
  for (uint32_t j = 0; j < indexes.size(); ++j) {
    const uint32_t x = indexes[j];
    if (x >= graph.type_name_count()) {
      helpers::internal_abort(
          "type name index " + std::to_string(x) + " out of range (" +
          std::to_string(graph.type_name_count()) + " type names)");
    }
    const load::TypeNameEntry entry = graph.type_name(x);
    results.push_back(new_result(entry.name, bytes.size()));
    pairs.push_back({entry.key, j});
  }
  std::vector<ActiveEntry> entries = entries_from_pairs(graph, pairs);
  pairs = {};

  WalkState state =
      new_walk_state(graph, results, options, debug_type_from_env(), cancel);
  score_message_multi(bytes, 0, std::move(entries), std::nullopt, state, 0,
                      options.allow_cut);
  return results;
}

}  // namespace vornatrel::score
