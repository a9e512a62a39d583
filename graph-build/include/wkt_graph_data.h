// The compiled-in scoring-graph file, generated at build time.
#pragma once

#include <cstddef>

namespace ravick::wkt_graph_data {

extern const unsigned char FILE_BYTES[];
extern const std::size_t FILE_SIZE;

}  // namespace ravick::wkt_graph_data
