// Fuzzes the one-pass signature search against the byte-by-byte reference:
// the same hits, in offset order, each inside the buffer; and a search of a
// range against the whole search's hits in it.
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
  size_t begin = size == 0 ? 0 : data[0] % (size + 1);
  size_t end = size == 0 ? 0 : begin + data[size - 1] % (size + 1 - begin);
  auto part = sig::find_range(buf, begin, end, size + 1);
  size_t k = 0;
  for (const sig::Hit& h : hits) {
    if (h.offset < begin || h.offset >= end) continue;
    if (k >= part.size() || part[k].offset != h.offset ||
        part[k].kind != h.kind)
      abort();
    ++k;
  }
  if (k != part.size()) abort();
  return 0;
}
