#include "shufti_x86.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ravick::signatures::x86 {

#if defined(__x86_64__)
namespace {

#define RAVICK_AVX512 gnu::target("avx512bw"), gnu::always_inline
#define RAVICK_AVX2 gnu::target("avx2"), gnu::always_inline

[[RAVICK_AVX512]] inline __m512i table512(const uint8_t* x) {
  // The table in each 128-bit lane (the shuffle looks up within a lane).
  alignas(64) uint8_t lanes[64];
  for (size_t k = 0; k < 64; ++k) lanes[k] = x[k % 16];
  return _mm512_load_si512(lanes);
}

[[RAVICK_AVX512]] inline __m512i classify512(__m512i v, __m512i lo,
                                             __m512i hi) {
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  __m512i l = _mm512_shuffle_epi8(lo, _mm512_and_si512(v, nibble));
  __m512i h = _mm512_shuffle_epi8(
      hi, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
  return _mm512_and_si512(l, h);
}

[[gnu::target("avx512bw")]] void filter_avx512(const uint8_t* p, size_t limit,
                                               const Tables& t, Visit visit,
                                               void* state) {
  const __m512i f_lo = table512(t.first_lo), f_hi = table512(t.first_hi);
  const __m512i s_lo = table512(t.second_lo), s_hi = table512(t.second_hi);
  size_t i = 0;
  for (; i + 64 <= limit; i += 64) {
    __m512i a = _mm512_loadu_si512(p + i);
    __m512i b = _mm512_loadu_si512(p + i + 1);
    __m512i m = _mm512_and_si512(classify512(a, f_lo, f_hi),
                                 classify512(b, s_lo, s_hi));
    uint64_t bits = _mm512_test_epi8_mask(m, m);
    for (; bits != 0; bits &= bits - 1) {
      visit(state, i + static_cast<size_t>(__builtin_ctzll(bits)));
    }
  }
  for (; i < limit; ++i) visit(state, i);
}

#define RAVICK_VBMI gnu::target("avx512bw,avx512vbmi"), gnu::always_inline

// The entries of a 256-entry table for each byte of v.
[[RAVICK_VBMI]] inline __m512i lookup256(__m512i v, const __m512i t[4]) {
  __m512i low = _mm512_permutex2var_epi8(t[0], v, t[1]);
  __m512i high = _mm512_permutex2var_epi8(t[2], v, t[3]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
}

[[gnu::target("avx512bw,avx512vbmi")]] void filter_vbmi(
    const uint8_t* p, size_t limit, const Tables& t, Visit visit, void* state) {
  __m512i first[4], second[4];
  for (size_t k = 0; k < 4; ++k) {
    first[k] = _mm512_load_si512(t.first + 64 * k);
    second[k] = _mm512_load_si512(t.second + 64 * k);
  }
  alignas(64) uint8_t after[64];
  for (size_t k = 0; k < 64; ++k) after[k] = static_cast<uint8_t>(k + 1);
  const __m512i shift = _mm512_load_si512(after);
  size_t i = 0;
  // The byte after each position is shifted in from the next block in a
  // register: a load at p + i + 1 would cross a cache line every time, and
  // that halves the speed of the loop.
  if (limit >= 128) {
    __m512i a = _mm512_loadu_si512(p);
    for (; i + 128 <= limit; i += 64) {
      __m512i next = _mm512_loadu_si512(p + i + 64);
      __m512i b = _mm512_permutex2var_epi8(a, shift, next);
      __m512i m = _mm512_and_si512(lookup256(a, first), lookup256(b, second));
      uint64_t bits = _mm512_test_epi8_mask(m, m);
      for (; bits != 0; bits &= bits - 1) {
        visit(state, i + static_cast<size_t>(__builtin_ctzll(bits)));
      }
      a = next;
    }
  }
  for (; i < limit; ++i) {
    if (t.first[p[i]] & t.second[p[i + 1]]) visit(state, i);
  }
}

[[RAVICK_AVX2]] inline __m256i table256(const uint8_t* x) {
  return _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i*>(x)));
}

[[RAVICK_AVX2]] inline __m256i classify256(__m256i v, __m256i lo, __m256i hi) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  __m256i l = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nibble));
  __m256i h = _mm256_shuffle_epi8(
      hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return _mm256_and_si256(l, h);
}

[[gnu::target("avx2")]] void filter_avx2(const uint8_t* p, size_t limit,
                                         const Tables& t, Visit visit,
                                         void* state) {
  const __m256i f_lo = table256(t.first_lo), f_hi = table256(t.first_hi);
  const __m256i s_lo = table256(t.second_lo), s_hi = table256(t.second_hi);
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= limit; i += 32) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
    __m256i m = _mm256_and_si256(classify256(a, f_lo, f_hi),
                                 classify256(b, s_lo, s_hi));
    if (_mm256_testz_si256(m, m)) continue;
    auto bits = static_cast<uint32_t>(~static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(m, zero))));
    for (; bits != 0; bits &= bits - 1) {
      visit(state, i + static_cast<size_t>(__builtin_ctz(bits)));
    }
  }
  for (; i < limit; ++i) visit(state, i);
}

#undef RAVICK_AVX512
#undef RAVICK_AVX2
#undef RAVICK_VBMI

}  // namespace

Filter filter_of_width(unsigned bits) {
  __builtin_cpu_init();
  if (bits == EXACT_512 && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi")) {
    return filter_vbmi;
  }
  if (bits == 512 && __builtin_cpu_supports("avx512bw")) return filter_avx512;
  if (bits == 256 && __builtin_cpu_supports("avx2")) return filter_avx2;
  return nullptr;
}

#else

Filter filter_of_width(unsigned) { return nullptr; }

#endif

Filter best_filter() {
  if (Filter f = filter_of_width(EXACT_512)) return f;
  if (Filter f = filter_of_width(512)) return f;
  return filter_of_width(256);
}

}  // namespace ravick::signatures::x86
