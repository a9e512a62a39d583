#include "helpers/utf8.h"

#include <cstring>

namespace vornatrel::helpers::utf8 {
namespace {

// Length of the sequence led by `lead` and the allowed range of its second
// byte; 0 for a byte that cannot lead a sequence.
struct Lead {
  uint8_t length;
  uint8_t second_min;
  uint8_t second_max;
};

Lead classify(uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Whether fewer than 16 bytes are plain ASCII, by two overlapping 8-byte
// words (or a byte loop below 8 bytes); false says nothing. Most strings the
// scorer and the scanner check are short names, which this settles at once.
bool short_ascii(const uint8_t* data, size_t n) {
  constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;
  if (n >= 16) return false;
  if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, data, 8);
    std::memcpy(&b, data + n - 8, 8);
    return ((a | b) & HIGH_BITS) == 0;
  }
  uint8_t bits = 0;
  for (size_t i = 0; i < n; ++i) bits |= data[i];
  return bits < 0x80;
}

}  // namespace

bool is_valid_utf8(const uint8_t* data, size_t len) {
  if (short_ascii(data, len)) return true;
  size_t i = 0;
  while (i < len) {
    if (len - i >= 16) {
      uint64_t a, b;
      std::memcpy(&a, data + i, 8);
      std::memcpy(&b, data + i + 8, 8);
      if (((a | b) & 0x8080808080808080ULL) == 0) {
        i += 16;
        continue;
      }
    }
    uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    Lead l = classify(lead);
    if (l.length == 0 || len - i < l.length) return false;
    uint8_t second = data[i + 1];
    if (second < l.second_min || second > l.second_max) return false;
    for (uint8_t k = 2; k < l.length; ++k) {
      if (!is_continuation(data[i + k])) return false;
    }
    i += l.length;
  }
  return true;
}

}  // namespace vornatrel::helpers::utf8
