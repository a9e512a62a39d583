#include "signatures.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace ravick::signatures {
namespace {

// 16 lanes: one SSE2 register on x86-64, one NEON register on arm64.
constexpr size_t LANES = 16;
using Vec = uint8_t __attribute__((vector_size(LANES)));

[[gnu::always_inline]] inline Vec load(const uint8_t* p) {
  Vec v;
  std::memcpy(&v, p, LANES);
  return v;
}

[[gnu::always_inline]] inline Vec splat(uint8_t byte) {
  Vec v;
  for (size_t k = 0; k < LANES; ++k) v[k] = byte;
  return v;
}

[[gnu::always_inline]] inline bool any(Vec v) {
  uint64_t words[LANES / 8];
  std::memcpy(words, &v, LANES);
  uint64_t all = 0;
  for (uint64_t w : words) all |= w;
  return all != 0;
}

bool starts(const uint8_t* p, size_t left, const char* magic, size_t n) {
  return left >= n && std::memcmp(p, magic, n) == 0;
}

// The whole signature at p, with `left` bytes from p to the buffer's end.
bool kind_at(const uint8_t* p, size_t left, Kind* kind) {
  switch (p[0]) {
    case 0x1F:
      *kind = Kind::gzip;
      return left >= 4 && p[1] == 0x8B && p[2] == 0x08 && (p[3] & 0xE0) == 0;
    case 0x78: {
      *kind = Kind::zlib;
      if (left < 3) return false;
      const uint8_t flg = p[1];
      const bool level =
          flg == 0x01 || flg == 0x5E || flg == 0x9C || flg == 0xDA;
      return level && ((p[2] >> 1) & 3) != 3;
    }
    case 0x28:
      *kind = Kind::zstd;
      return starts(p, left, "\x28\xB5\x2F\xFD", 4);
    case 0x04:
      *kind = Kind::lz4;
      return starts(p, left, "\x04\x22\x4D\x18", 4);
    case 'X':
      *kind = Kind::xalz;
      return starts(p, left, "XALZ", 4);
    case 0xFD:
      *kind = Kind::xz;
      return starts(p, left, "\xFD\x37\x7A\x58\x5A\x00", 6);
    case 'B':
      *kind = Kind::bzip2;
      return left >= 10 && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' &&
             p[3] <= '9' &&
             std::memcmp(p + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0;
    case 'P':
      *kind = Kind::zip_end;
      return starts(p, left, "PK\x05\x06", 4);
    default:
      return false;
  }
}

// Lanes where two consecutive bytes may begin a signature.
[[gnu::always_inline]] inline Vec candidates(Vec a, Vec b) {
  Vec m = (a == splat(0x1F)) & (b == splat(0x8B));
  m |= (a == splat(0x78)) & ((b == splat(0x01)) | (b == splat(0x5E)) |
                             (b == splat(0x9C)) | (b == splat(0xDA)));
  m |= (a == splat(0x28)) & (b == splat(0xB5));
  m |= (a == splat(0x04)) & (b == splat(0x22));
  m |= (a == splat('X')) & (b == splat('A'));
  m |= (a == splat(0xFD)) & (b == splat(0x37));
  m |= (a == splat('B')) & (b == splat('Z'));
  m |= (a == splat('P')) & (b == splat('K'));
  return m;
}

class Collector {
 public:
  Collector(size_t max_hits, uint64_t* dropped)
      : max_hits_(max_hits), dropped_(dropped) {}

  void check(const uint8_t* base, size_t size, size_t at) {
    Kind kind;
    if (!kind_at(base + at, size - at, &kind)) return;
    auto index = static_cast<size_t>(kind);
    if (counts_[index] >= max_hits_) {
      if (dropped_ != nullptr) ++dropped_[index];
      return;
    }
    ++counts_[index];
    hits_.push_back({at, kind});
  }

  std::vector<Hit> take() { return std::move(hits_); }

 private:
  size_t max_hits_;
  uint64_t* dropped_;
  std::array<size_t, KIND_COUNT> counts_{};
  std::vector<Hit> hits_;
};

}  // namespace

bool signature_at(std::span<const uint8_t> buf, size_t offset, Kind* kind) {
  return offset < buf.size() &&
         kind_at(buf.data() + offset, buf.size() - offset, kind);
}

std::vector<Hit> find(std::span<const uint8_t> buf, size_t max_hits,
                      uint64_t* dropped) {
  if (dropped != nullptr) std::fill(dropped, dropped + KIND_COUNT, 0);
  Collector out(max_hits, dropped);
  const uint8_t* p = buf.data();
  const size_t n = buf.size();
  size_t i = 0;
  // Two loads a block, the second one byte on: the last block must leave a
  // byte after it.
  for (; n > LANES && i < n - LANES; i += LANES) {
    Vec m = candidates(load(p + i), load(p + i + 1));
    if (!any(m)) continue;
    for (size_t k = 0; k < LANES; ++k) {
      if (m[k]) out.check(p, n, i + k);
    }
  }
  for (; i < n; ++i) out.check(p, n, i);
  return out.take();
}

}  // namespace ravick::signatures
