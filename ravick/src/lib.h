// The candidate scanner: finds serialized FileDescriptorProto messages in a
// byte buffer and returns their byte ranges.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "prefilter.h"
#include "score/records.h"

namespace ravick {

using vornatrel::score::ScoreResult;

struct ByteRange {
  uint64_t start = 0;
  uint64_t end = 0;
};

inline constexpr const char* CANDIDATE_TYPE =
    "google.protobuf.FileDescriptorProto";

inline constexpr vornatrel::score::ScoreOptions SCAN_OPTIONS = {
    .expand_any = true,
    .policy = vornatrel::score::Policy::Scan,
    .allow_cut = false,
    .count_packing = true,
};

// Re-walks the accepted bytes: true when a top-level field other than the
// leading `name` record(s) follows.
bool confirm_rewalk(Bytes accepted);

// Applies the acceptance rules to a scorer verdict for the candidate at `i`;
// on acceptance returns the range's end.
std::optional<uint64_t> accept_candidate(
    Bytes buf, uint64_t i, const std::optional<ScoreResult>& verdict);

// The scan with an injected scorer: `score(candidate_bytes)` returns the
// verdict for the bytes from a candidate's tag to the end of the buffer.
// Offsets without a ".proto" suffix nearby cost a SIMD compare; each suffix
// is verified backwards to every tag offset whose name ends exactly there,
// and candidates are then taken in increasing order with the skip rule.
//
// Only candidates at offsets in [begin, end) are taken, as a scan of the
// whole buffer would take them if its last accepted range ended at or
// before `begin`; each is scored against the bytes to the end of the buffer,
// so a range may end past `end`. With the defaults it is the whole scan.
template <typename Scorer>
std::vector<ByteRange> scan_with(Bytes buf, Scorer&& score, uint64_t begin = 0,
                                 uint64_t end = UINT64_MAX) {
  std::vector<ByteRange> out;
  // Verified candidates not yet processed, ascending. A name ends at most
  // 1 + 10 + 200 bytes after its tag, so every candidate at an offset below
  // (suffix end - 211) is final once that suffix has been found.
  std::vector<uint64_t> pending;
  constexpr uint64_t reach = 1 + VARINT_MAX + NAME_LEN_MAX;
  uint64_t resume = begin;  // candidates below this lie inside an accepted
                            // range, or before the part to scan

  auto process = [&](uint64_t i) {
    if (i < resume) return;
    auto name = prefilter_at(buf, i);
    if (!name) return;
    if (auto end = accept_candidate(buf, i, score(buf.subspan(i)))) {
      out.push_back({i, *end});
      resume = *end;
    }
  };
  auto drain_below = [&](uint64_t limit) {
    size_t k = 0;
    while (k < pending.size() && pending[k] < limit) process(pending[k++]);
    pending.erase(pending.begin(), pending.begin() + k);
  };

  // A suffix ending `reach` or more bytes past `end` belongs to later tags
  // only: the search stops there, so a range costs its own bytes, not those
  // to the end of the buffer.
  Bytes searched = buf;
  if (end < buf.size() && buf.size() - end > reach + sizeof NAME_SUFFIX) {
    searched = buf.first(end + reach + sizeof NAME_SUFFIX);
  }
  uint64_t q = find_suffix(searched, std::min<uint64_t>(begin, buf.size()));
  while (q < searched.size()) {
    uint64_t t = q + sizeof NAME_SUFFIX;
    drain_below(t > reach ? t - reach : 0);
    uint64_t first = t > reach ? t - reach : 0;
    if (first >= end) break;  // every later suffix belongs to later tags
    uint64_t last = t - NAME_LEN_MIN - 2;  // at least one length byte
    if (end != UINT64_MAX && last >= end) last = end - 1;
    if (t >= NAME_LEN_MIN + 2 && resume <= last) {
      for (uint64_t i = std::max(first, resume); i <= last; ++i) {
        if (buf[i] != CANDIDATE_TAG) continue;
        auto length = decode_varint(buf.subspan(i + 1));
        if (!length) continue;
        uint64_t name_start = i + 1 + length->length;  // at most t + 3
        if (name_start <= t && length->value == t - name_start &&
            length->value >= NAME_LEN_MIN) {
          pending.insert(std::upper_bound(pending.begin(), pending.end(), i),
                         i);
        }
      }
    }
    // Suffixes ending at or before `resume` can only yield skipped starts.
    uint64_t next = q + 1;
    if (resume > next + sizeof NAME_SUFFIX - 1) {
      next = resume - (sizeof NAME_SUFFIX - 1);
    }
    q = find_suffix(searched, next);
  }
  drain_below(UINT64_MAX);
  return out;
}

// The scan with the real scorer over the compiled-in graph.
std::vector<ByteRange> scan(Bytes buf);

// The candidates at offsets in [begin, end) only, scored against the bytes to
// the end of the buffer (see `scan_with`).
std::vector<ByteRange> scan_range(Bytes buf, uint64_t begin, uint64_t end);

}  // namespace ravick
