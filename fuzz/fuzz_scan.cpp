// Fuzzes the whole scan over the compiled-in graph and checks what the
// result promises: ranges sorted, non-overlapping, inside the buffer, each
// starting with a name record that passes the prefilter.
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
  return 0;
}
