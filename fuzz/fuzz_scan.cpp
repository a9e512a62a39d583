// Fuzzes the whole scan over the compiled-in graph and checks what the
// result promises: ranges sorted, non-overlapping, inside the buffer, each
// starting with a name record that passes the prefilter; and that a scan of
// the candidates from the middle on, started where no accepted range
// reaches, takes exactly the whole scan's ranges from there.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "lib.h"

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
