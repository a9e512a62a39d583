#include "wkt_graph.h"

#include <atomic>
#include <mutex>
#include <string>
#include <variant>

#include "helpers/abort.h"
#include "wkt_graph_data.h"

namespace ravick::wkt_graph {
namespace {

using vornatrel::score::load::LoadedGraph;
using vornatrel::score::load::LoadError;

// The cell: empty until the first successful load, then never changed. The
// mutex only serialises loaders; readers of a filled cell take no lock.
struct GraphCell {
  std::mutex loading;
  std::atomic<const LoadedGraph*> graph{nullptr};
};

GraphCell GRAPH;

const LoadedGraph* load_embedded() {
  // Lives until the process ends, like the archive copy it points to.
  return new LoadedGraph(
      load_or_abort({wkt_graph_data::FILE_BYTES, wkt_graph_data::FILE_SIZE}));
}

}  // namespace

LoadedGraph load_or_abort(std::span<const uint8_t> file) {
  auto loaded = LoadedGraph::from_static_bytes(file);
  if (auto* error = std::get_if<LoadError>(&loaded)) {
    vornatrel::helpers::internal_abort(std::string(LOAD_FAILURE) + ": \"" +
                                       error->message + "\"");
  }
  return std::get<LoadedGraph>(std::move(loaded));
}

const LoadedGraph& graph() {
  if (const LoadedGraph* g = GRAPH.graph.load(std::memory_order_acquire)) {
    return *g;
  }
  std::lock_guard<std::mutex> lock(GRAPH.loading);
  const LoadedGraph* g = GRAPH.graph.load(std::memory_order_relaxed);
  if (g == nullptr) {
    g = load_embedded();
    GRAPH.graph.store(g, std::memory_order_release);
  }
  return *g;
}

bool is_loaded() {
  return GRAPH.graph.load(std::memory_order_acquire) != nullptr;
}

}  // namespace ravick::wkt_graph
