// Fuzzes the whole scan over the compiled-in graph and checks what the
// result promises: ranges sorted, non-overlapping, inside the buffer, each
// starting with a name record that passes the prefilter; and that a scan of
// the candidates from the middle on, started where no accepted range
// reaches, takes exactly the whole scan's ranges from there. The ranges'
// framing stays inside each range, in order, and their grouping numbers
// equal bytes alike.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "framing.h"
#include "lib.h"

namespace {

void check_framing(std::span<const uint8_t> buf,
                   const std::vector<ravick::ByteRange>& ranges) {
  auto framed = ravick::frame(buf, ranges);
  size_t k = 0;
  uint64_t previous_end = 0;
  for (const auto& f : framed) {
    while (k < ranges.size() && ranges[k].end <= f.start) ++k;
    if (k == ranges.size() || f.start < ranges[k].start ||
        f.end > ranges[k].end || f.start > f.end || f.start < previous_end) {
      abort();
    }
    previous_end = f.end;
  }
  auto grouped = ravick::group_equal(buf, framed);
  if (grouped.ids.size() != framed.size()) abort();
  for (size_t i = 0; i < framed.size(); ++i) {
    const uint32_t id = grouped.ids[i];
    if (id >= grouped.firsts.size() || grouped.firsts[id] > i) abort();
    const auto& a = framed[grouped.firsts[id]];
    const auto& b = framed[i];
    if (a.end - a.start != b.end - b.start ||
        std::memcmp(buf.data() + a.start, buf.data() + b.start,
                    a.end - a.start) != 0) {
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> buf(data, size);
  auto ranges = ravick::scan(buf);
  uint64_t previous_end = 0;
  for (const auto& r : ranges) {
    if (r.start < previous_end || r.start >= r.end || r.end > size) abort();
    if (!ravick::prefilter_at(buf, r.start)) abort();
    if (!ravick::confirm_rewalk(buf.subspan(r.start, r.end - r.start))) abort();
    previous_end = r.end;
  }
  check_framing(buf, ranges);
  uint64_t middle = size / 2;
  uint64_t from = middle;
  for (const auto& r : ranges) {
    if (r.start < middle && r.end > from) from = r.end;
  }
  if (from <= size) {
    auto tail = ravick::scan_range(buf, from, size);
    size_t k = 0;
    while (k < ranges.size() && ranges[k].start < from) ++k;
    if (tail.size() != ranges.size() - k) abort();
    for (const auto& r : tail) {
      if (r.start != ranges[k].start || r.end != ranges[k].end) abort();
      ++k;
    }
  }
  return 0;
}
