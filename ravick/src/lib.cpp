#include "lib.h"

#include "score/entry.h"
#include "wkt_graph.h"

namespace ravick {

bool confirm_rewalk(Bytes accepted) {
  uint64_t c = accepted.size();
  uint64_t p = 0;
  while (p < c) {
    auto tag = decode_varint(accepted.subspan(p));
    if (!tag) return false;
    if ((tag->value >> 3) != 1) return true;
    if ((tag->value & 7) != 2) return false;
    uint64_t after_tag = p + tag->length;
    auto length = decode_varint(accepted.subspan(after_tag));
    if (!length) return false;
    uint64_t q = after_tag + length->length;
    // q <= c here; r = q + length must not wrap nor pass c.
    if (length->value > c - q) return false;
    p = q + length->value;
  }
  return false;
}

std::optional<uint64_t> accept_candidate(
    Bytes buf, uint64_t i, const std::optional<ScoreResult>& verdict) {
  if (!verdict || verdict->vetoed || verdict->unknown != 0 ||
      verdict->missing_required != 0) {
    return std::nullopt;
  }
  uint64_t c = verdict->end;
  // The scorer never reports more than it was given; anything else would be
  // a broken scorer, and such a range is never reported.
  if (c > buf.size() - i) return std::nullopt;
  if (!confirm_rewalk(buf.subspan(i, c))) return std::nullopt;
  return i + c;
}

namespace {

std::optional<ScoreResult> score_candidate(Bytes candidate) {
  const auto& graph = wkt_graph::graph();
  return vornatrel::score::score_one(candidate, CANDIDATE_TYPE, graph.root(),
                                     SCAN_OPTIONS);
}

}  // namespace

std::vector<ByteRange> scan(Bytes buf) {
  return scan_with(buf, score_candidate);
}

std::vector<ByteRange> scan_range(Bytes buf, uint64_t begin, uint64_t end) {
  return scan_with(buf, score_candidate, begin, end);
}

}  // namespace ravick
