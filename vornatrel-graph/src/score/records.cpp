#include "score/records.h"

#include <charconv>
#include <cstddef>

namespace vornatrel::score {

std::string Reason::format() const {
  std::string out;
  if (text == nullptr) return out;
  std::string_view rest(text);
  out.reserve(rest.size() + 20);
  size_t next_arg = 0;
  while (true) {
    size_t at = rest.find("{}");
    // Placeholders beyond the arguments stay as they are written.
    if (at == std::string_view::npos || next_arg == std::size(args)) {
      out.append(rest);
      return out;
    }
    out.append(rest.substr(0, at));
    char digits[20];
    auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, args[next_arg++]);
    (void)ec;  // 20 digits always hold a u64
    out.append(digits, end);
    rest.remove_prefix(at + 2);
  }
}

ScoreResult new_result(std::string_view type_name, uint64_t len) {
  ScoreResult result;
  result.type_name = type_name;
  result.end = len;
  return result;
}

ActiveEntry new_entry(const GraphRoot& graph, uint32_t key) {
  ActiveEntry entry;
  entry.key = key;
  if (auto node = graph.node_by_key(key)) {
    entry.first_field = node->first_field;
    entry.field_count = node->field_count;
  }
  return entry;
}

WalkState new_walk_state(const GraphRoot& graph, std::span<ScoreResult> results,
                         const ScoreOptions& options,
                         std::optional<std::string> debug_type,
                         const std::atomic<uint8_t>* cancel) {
  WalkState state;
  state.settled.assign((results.size() + 63) / 64, 0);
  if (options.policy == Policy::Scan && !results.empty()) {
    state.checkpoints.assign(results.size(), Checkpoint{});
  }
  state.debug_type = std::move(debug_type);
  state.graph = &graph;
  state.results = results;
  state.cancel = cancel;
  state.expand_any = options.expand_any;
  state.policy = options.policy;
  state.count_packing = options.count_packing;
  return state;
}

}  // namespace vornatrel::score
