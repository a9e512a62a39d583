#include "prefilter.h"

#include <cstring>

#include "helpers/utf8.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ravick {

std::optional<DecodedVarint> decode_varint(Bytes b) {
  uint64_t value = 0;
  for (uint64_t j = 0; j < 9; ++j) {
    if (j >= b.size()) return std::nullopt;
    value |= uint64_t{b[j] & 0x7Fu} << (7 * j);
    if ((b[j] & 0x80) == 0) return DecodedVarint{value, j + 1};
  }
  if (b.size() <= 9 || (b[9] & 0x80) != 0) return std::nullopt;
  value |= uint64_t{b[9] & 0x01u} << 63;
  return DecodedVarint{value, 10};
}

namespace {

bool ends_with_suffix(Bytes name) {
  return name.size() >= sizeof NAME_SUFFIX &&
         std::memcmp(name.data() + name.size() - sizeof NAME_SUFFIX,
                     NAME_SUFFIX, sizeof NAME_SUFFIX) == 0;
}

bool is_dot_segment(Bytes name, uint64_t from, uint64_t to) {
  uint64_t n = to - from;
  return (n == 1 && name[from] == '.') ||
         (n == 2 && name[from] == '.' && name[from + 1] == '.');
}

// U+0000..U+001F, U+007F..U+009F; `name` is already valid UTF-8, so a 0xC2
// byte always leads a two-byte sequence.
bool is_control_at(Bytes name, uint64_t k) {
  uint8_t c = name[k];
  if (c < 0x20 || c == 0x7F) return true;
  return c == 0xC2 && name[k + 1] <= 0x9F;
}

}  // namespace

bool name_rules_pass(Bytes name) {
  if (!vornatrel::helpers::utf8::is_valid_utf8(name.data(), name.size())) {
    return false;
  }
  if (name.size() < NAME_LEN_MIN || name.size() > NAME_LEN_MAX ||
      !ends_with_suffix(name) || name[0] == '/') {
    return false;
  }
  uint64_t segment_start = 0;
  for (uint64_t k = 0; k <= name.size(); ++k) {
    if (k == name.size() || name[k] == '/') {
      if (k == segment_start || is_dot_segment(name, segment_start, k)) {
        return false;
      }
      segment_start = k + 1;
    } else if (is_control_at(name, k)) {
      return false;
    }
  }
  return true;
}

std::optional<NameSpan> prefilter_at(Bytes buf, uint64_t i) {
  if (i >= buf.size() || buf[i] != CANDIDATE_TAG) return std::nullopt;
  auto length = decode_varint(buf.subspan(i + 1));
  if (!length) return std::nullopt;
  uint64_t s = i + 1 + length->length;
  uint64_t n = length->value;
  // n <= NAME_LEN_MAX is tested first, so s + n cannot wrap.
  if (n > NAME_LEN_MAX || s + n > buf.size()) return std::nullopt;
  if (!name_rules_pass(buf.subspan(s, n))) return std::nullopt;
  return NameSpan{s, s + n};
}

namespace {

uint64_t find_suffix_scalar(const uint8_t* p, uint64_t len, uint64_t from) {
  for (uint64_t q = from; q + sizeof NAME_SUFFIX <= len; ++q) {
    const void* hit = std::memchr(p + q, '.', len - q - 5);
    if (hit == nullptr) break;
    q = static_cast<const uint8_t*>(hit) - p;
    if (std::memcmp(p + q, NAME_SUFFIX, sizeof NAME_SUFFIX) == 0) return q;
  }
  return len;
}

#if defined(__x86_64__)
// Bit k set: the bytes at `at + k` may start ".proto" ('.' at +0, 'p' at +1
// and 'o' at +5 compared). Reads p[at .. at + 36].
__attribute__((target("avx2"))) inline uint32_t suffix_mask32(const uint8_t* p,
                                                              uint64_t at) {
  __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
  __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at + 1));
  __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at + 5));
  __m256i m = _mm256_and_si256(
      _mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_set1_epi8('.')),
                       _mm256_cmpeq_epi8(b, _mm256_set1_epi8('p'))),
      _mm256_cmpeq_epi8(c, _mm256_set1_epi8('o')));
  return static_cast<uint32_t>(_mm256_movemask_epi8(m));
}

// 64 positions per step, the rest of the suffix confirmed with memcmp.
__attribute__((target("avx2"))) uint64_t find_suffix_avx2(const uint8_t* p,
                                                          uint64_t len,
                                                          uint64_t from) {
  uint64_t q = from;
  // A step reads up to p[q + 68].
  while (len >= 69 && q <= len - 69) {
    uint64_t m =
        suffix_mask32(p, q) | (uint64_t{suffix_mask32(p, q + 32)} << 32);
    while (m != 0) {
      uint64_t hit = q + static_cast<uint64_t>(__builtin_ctzll(m));
      if (std::memcmp(p + hit + 2, NAME_SUFFIX + 2, 3) == 0) return hit;
      m &= m - 1;
    }
    q += 64;
  }
  return find_suffix_scalar(p, len, q);
}

bool has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}
#endif

}  // namespace

uint64_t find_suffix(Bytes buf, uint64_t from) {
  if (from >= buf.size()) return buf.size();
#if defined(__x86_64__)
  if (has_avx2()) return find_suffix_avx2(buf.data(), buf.size(), from);
#endif
  return find_suffix_scalar(buf.data(), buf.size(), from);
}

}  // namespace ravick
