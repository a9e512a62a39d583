// Fuzzes the scorer directly: both policies, allow_cut on and off, Any
// expansion and packing counts on and off, and several type names at once,
// some sharing a node. The first two bytes choose the options and the names.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "score/entry.h"
#include "wkt_graph.h"

namespace {

using vornatrel::score::Policy;
using vornatrel::score::ScoreOptions;
using vornatrel::score::ScoreResult;

const char* const TYPES[] = {
    "google.protobuf.FileDescriptorProto",
    "google.protobuf.DescriptorProto",
    "google.protobuf.Duration",
    "google.protobuf.Timestamp",
    "google.protobuf.FieldOptions",
    "google.protobuf.Any",
    "google.protobuf.SourceCodeInfo",
    "google.protobuf.UninterpretedOption",
};

bool same_verdict(const ScoreResult& a, const ScoreResult& b) {
  return a.matched == b.matched && a.unknown == b.unknown &&
         a.enum_out_of_range == b.enum_out_of_range &&
         a.anomalies == b.anomalies &&
         a.missing_required == b.missing_required &&
         a.packing_mismatches == b.packing_mismatches && a.cuts == b.cuts &&
         a.end == b.end && a.vetoed == b.vetoed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto& root = ravick::wkt_graph::graph().root();
  uint8_t flags = data[0];
  uint8_t pick = data[1];
  std::span<const uint8_t> bytes(data + 2, size - 2);
  ScoreOptions options{
      .expand_any = (flags & 1) != 0,
      .policy = (flags & 2) ? Policy::Scan : Policy::Exact,
      .allow_cut = (flags & 4) != 0,
      .count_packing = (flags & 8) != 0,
  };

  std::vector<uint32_t> indexes;
  std::vector<uint32_t> keys;
  for (int k = 0; k < 8; ++k) {
    if ((pick >> k) & 1) {
      auto index = root.find_type(TYPES[k]);
      if (!index) abort();
      indexes.push_back(*index);
      keys.push_back(root.type_name(*index).key);
    }
  }
  if (indexes.empty()) {
    auto one =
        vornatrel::score::score_one(bytes, TYPES[flags >> 5], root, options);
    if (!one || one->end > bytes.size()) abort();
    return 0;
  }
  auto results =
      vornatrel::score::score_subset(bytes, root, options, indexes, nullptr);
  if (results.size() != indexes.size()) abort();
  for (size_t j = 0; j < results.size(); ++j) {
    const ScoreResult& r = results[j];
    if (r.end > bytes.size()) abort();
    if (options.policy == Policy::Exact && r.end != bytes.size()) abort();
    if (options.policy == Policy::Scan && r.vetoed) abort();
    if (!options.allow_cut && r.cuts != 0) abort();
    // Names that share a node share one hypothesis, hence one verdict.
    for (size_t i = 0; i < j; ++i) {
      if (keys[i] == keys[j] && !same_verdict(results[i], r)) abort();
    }
  }
  return 0;
}
