// Fuzzes the one-pass signature search against the byte-by-byte reference:
// the same hits, in offset order, each inside the buffer.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "signatures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace sig = ravick::signatures;
  std::span<const uint8_t> buf(data, size);
  auto hits = sig::find(buf, size + 1);
  size_t next = 0;
  for (size_t at = 0; at < size; ++at) {
    sig::Kind kind;
    if (!sig::signature_at(buf, at, &kind)) continue;
    if (next >= hits.size() || hits[next].offset != at ||
        hits[next].kind != kind)
      abort();
    ++next;
  }
  if (next != hits.size()) abort();
  return 0;
}
