// GRAPH: the process-wide, once-initialised holder of the compiled-in
// scoring graph.
#pragma once

#include <cstdint>
#include <span>

#include "score/load.h"

namespace ravick::wkt_graph {

inline constexpr const char* LOAD_FAILURE =
    "the embedded WKT graph must load; it is built by vornatrel's build";

// Loads a graph file that outlives the process, turning a load error into the
// internal abort that a broken compiled-in graph deserves.
vornatrel::score::load::LoadedGraph load_or_abort(
    std::span<const uint8_t> file);

// Hands out the graph, loading it on first use. A failed load is an internal
// abort and leaves the holder empty, so a later call tries again.
const vornatrel::score::load::LoadedGraph& graph();

// Whether the graph has been loaded in this process.
bool is_loaded();

}  // namespace ravick::wkt_graph
