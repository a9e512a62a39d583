#include "baselines.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ravick::bench {

std::optional<uint8_t> absent_byte(std::span<const Bytes> buffers) {
  std::array<bool, 256> seen{};
  for (Bytes b : buffers) {
    for (uint8_t c : b) seen[c] = true;
  }
  // Prefer a value far from the scanner's own bytes; any absent one will do.
  for (int v = 255; v >= 0; --v) {
    if (!seen[v]) return static_cast<uint8_t>(v);
  }
  return std::nullopt;
}

uint64_t read_by_memchr(Bytes buf, uint8_t absent) {
  const void* hit = std::memchr(buf.data(), absent, buf.size());
  return hit == nullptr ? buf.size()
                        : static_cast<uint64_t>(
                              static_cast<const uint8_t*>(hit) - buf.data());
}

namespace {

uint64_t count_zero_scalar(const uint8_t* p, uint64_t n) {
  uint64_t count = 0;
  for (uint64_t i = 0; i < n; ++i) count += p[i] == 0;
  return count;
}

#if defined(__x86_64__)
// Compare and subtract into byte counters, widened every 255 vectors:
// roughly the work of memchr's inner loop, but without an exit.
__attribute__((target("avx2"))) uint64_t count_zero_avx2(const uint8_t* p,
                                                         uint64_t n) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i total = zero;
  uint64_t i = 0;
  while (n - i >= 32) {
    uint64_t block = std::min<uint64_t>((n - i) / 32, 255);
    __m256i acc = zero;
    for (uint64_t k = 0; k < block; ++k, i += 32) {
      __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(v, zero));
    }
    total = _mm256_add_epi64(total, _mm256_sad_epu8(acc, zero));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] +
         count_zero_scalar(p + i, n - i);
}
#endif

}  // namespace

uint64_t read_by_count(Bytes buf) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    return count_zero_avx2(buf.data(), buf.size());
  }
#endif
  return count_zero_scalar(buf.data(), buf.size());
}

uint64_t every_0a_pass(Bytes buf) {
  const uint8_t* p = buf.data();
  const uint8_t* end = p + buf.size();
  uint64_t count = 0;
  while (p < end) {
    const void* hit = std::memchr(p, 0x0A, static_cast<size_t>(end - p));
    if (hit == nullptr) break;
    ++count;
    p = static_cast<const uint8_t*>(hit) + 1;
  }
  return count;
}

}  // namespace ravick::bench
