// Helpers for the walk and entry tests: protobuf wire bytes built by hand,
// the embedded graph, and the trace switch.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "score/entry.h"
#include "score/load.h"
#include "wkt_graph_data.h"

namespace vornatrel::score::wire_bytes {

using Buf = std::vector<uint8_t>;

inline void put_varint(Buf& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

inline Buf varint(uint64_t v) {
  Buf out;
  put_varint(out, v);
  return out;
}

inline Buf raw(std::initializer_list<uint8_t> bytes) { return Buf(bytes); }

inline Buf text(std::string_view s) { return Buf(s.begin(), s.end()); }

inline Buf cat(std::initializer_list<Buf> parts) {
  Buf out;
  for (const Buf& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Buf tag(uint64_t number, uint8_t wire_type) {
  return varint(number << 3 | wire_type);
}

// A VARINT field.
inline Buf vfield(uint64_t number, uint64_t v) {
  return cat({tag(number, 0), varint(v)});
}

// A LEN field.
inline Buf lfield(uint64_t number, const Buf& payload) {
  return cat({tag(number, 2), varint(payload.size()), payload});
}

inline Buf from_hex(std::string_view hex) {
  Buf out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(
        std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline const load::GraphRoot& wkt() {
  static const load::LoadedGraph* graph = [] {
    auto loaded = load::LoadedGraph::from_static_bytes(load::Bytes(
        ravick::wkt_graph_data::FILE_BYTES, ravick::wkt_graph_data::FILE_SIZE));
    if (auto* error = std::get_if<load::LoadError>(&loaded)) {
      std::fprintf(stderr, "%s\n", error->message.c_str());
      std::abort();
    }
    return new load::LoadedGraph(
        std::get<load::LoadedGraph>(std::move(loaded)));
  }();
  return graph->root();
}

inline ScoreOptions exact_options(bool allow_cut = false) {
  return {.expand_any = true,
          .policy = Policy::Exact,
          .allow_cut = allow_cut,
          .count_packing = true};
}

// What the scanner passes.
inline ScoreOptions scan_options() {
  return {.expand_any = true,
          .policy = Policy::Scan,
          .allow_cut = false,
          .count_packing = true};
}

// Sets VORNATREL_DEBUG_FQDN for the life of the object.
class DebugTypeGuard {
 public:
  explicit DebugTypeGuard(const char* value) {
    ::setenv("VORNATREL_DEBUG_FQDN", value, 1);
  }
  ~DebugTypeGuard() { ::unsetenv("VORNATREL_DEBUG_FQDN"); }
  DebugTypeGuard(const DebugTypeGuard&) = delete;
  DebugTypeGuard& operator=(const DebugTypeGuard&) = delete;
};

// Scores `bytes` as `type` with the trace switched on for that type and
// returns what was written to standard error.
inline std::string trace_of(const load::GraphRoot& graph, const Buf& bytes,
                            const char* type, const ScoreOptions& options) {
  DebugTypeGuard guard(type);
  ::testing::internal::CaptureStderr();
  const std::optional<ScoreResult> result =
      score_one(bytes, type, graph, options);
  std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(result.has_value()) << type;
  return out;
}

inline std::string veto_line(std::string_view type, std::string_view reason) {
  return "[veto] " + std::string(type) + " \xE2\x80\x94 " +
         std::string(reason) + "\n";
}

}  // namespace vornatrel::score::wire_bytes
