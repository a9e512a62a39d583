#include "signatures.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "shufti_x86.h"

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

// Bytes of a zlib candidate inflated on trial, and the output looked at:
// machine code holds many "78 01" pairs, and nearly every one that is not
// a stream fails within its first bytes.
constexpr size_t TRIAL_IN = 512;
constexpr size_t TRIAL_OUT = 2048;

// One inflater for all the candidates of a search, reset for each.
class Inflater {
 public:
  Inflater() { ready_ = inflateInit(&z_) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&z_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // False when the bytes at p plainly do not start a zlib stream.
  bool inflates(const uint8_t* p, size_t left) {
    if (!ready_ || inflateReset(&z_) != Z_OK) return true;  // the caller tries
    z_.next_in = const_cast<Bytef*>(p);
    z_.avail_in = static_cast<uInt>(left < TRIAL_IN ? left : TRIAL_IN);
    z_.next_out = out_;
    z_.avail_out = sizeof(out_);
    int rc = Z_OK;
    while (rc == Z_OK && z_.avail_in > 0 && z_.avail_out > 0) {
      rc = inflate(&z_, Z_SYNC_FLUSH);
    }
    return rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR;
  }

 private:
  z_stream z_{};
  bool ready_ = false;
  uint8_t out_[TRIAL_OUT];
};

int base64_value(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The length of what joins two string literals at p ("+" or ", " between a
// closing and an opening quote, or a line break), or 0.
size_t literal_joint(const uint8_t* p, size_t left) {
  constexpr size_t MAX_JOINT = 12;
  if (left == 0) return 0;
  if (p[0] != '"' && p[0] != '\'') return 0;
  for (size_t k = 1; k < left && k <= MAX_JOINT; ++k) {
    const uint8_t c = p[k];
    if (c == '"' || c == '\'') return k + 1;
    if (c != ' ' && c != ',' && c != '+' && c != '\n' && c != '\r' &&
        c != '\t') {
      return 0;
    }
  }
  return 0;
}

// Decodes base64 characters (one every `stride` bytes; in one-byte text,
// the joints between string literals are skipped) into `out`, at most
// `want` bytes; the count decoded.
size_t decode_base64(const uint8_t* p, size_t left, size_t stride, uint8_t* out,
                     size_t want) {
  uint32_t bits = 0;
  int have = 0;
  size_t n = 0;
  size_t k = 0;
  while (k + stride <= left && n < want) {
    if (stride == 2 && p[k + 1] != 0) break;
    int v = base64_value(p[k]);
    if (v < 0) {
      size_t joint = stride == 1 ? literal_joint(p + k, left - k) : 0;
      if (joint == 0) break;
      k += joint;
      continue;
    }
    bits = (bits << 6) | static_cast<uint32_t>(v);
    have += 6;
    if (have >= 8) {
      have -= 8;
      out[n++] = static_cast<uint8_t>(bits >> have);
    }
    k += stride;
  }
  return n;
}

// True when base64 at p starts a descriptor: 0x0A, a length of 6..200 and a
// name of that length ending in ".proto" (what the scanner looks for).
bool base64_name_record(const uint8_t* p, size_t left, size_t stride) {
  constexpr size_t MAX_NAME = 200;
  uint8_t head[3 + MAX_NAME];
  size_t n = decode_base64(p, left, stride, head, 3);
  if (n < 3 || head[0] != 0x0A) return false;
  size_t length = head[1] & 0x7F;
  size_t header = 2;
  if (head[1] & 0x80) {
    if (head[2] & 0x80) return false;
    length |= static_cast<size_t>(head[2]) << 7;
    header = 3;
  }
  if (length < 6 || length > MAX_NAME) return false;
  n = decode_base64(p, left, stride, head, header + length);
  return n == header + length &&
         std::memcmp(head + header + length - 6, ".proto", 6) == 0;
}

bool starts(const uint8_t* p, size_t left, const char* magic, size_t n) {
  return left >= n && std::memcmp(p, magic, n) == 0;
}

// The whole signature at p, with `left` bytes from p to the buffer's end.
bool kind_at(const uint8_t* p, size_t left, Kind* kind, Inflater& inflater) {
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
      return level && ((p[2] >> 1) & 3) != 3 && inflater.inflates(p, left);
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
    case 'C':
      if (left >= 2 && p[1] == 0) {
        *kind = Kind::base64_utf16;
        return base64_name_record(p, left, 2);
      }
      *kind = Kind::base64;
      return base64_name_record(p, left, 1);
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
  m |= (a == splat('C')) &
       ((b == splat(0)) | ((b >= splat(0x67)) & (b <= splat(0x76))));
  return m;
}

// The first two bytes of each kind, for the shuffle tables. A table entry
// has eight bits, one a class; gzip and xz share one (their bytes are rare,
// and every candidate is checked in full).
struct Leading {
  unsigned cls;
  uint8_t first;
  std::array<uint8_t, 17> second;
  size_t seconds;
};

constexpr Leading LEADING[] = {
    {0, 0x1F, {0x8B}, 1},
    {1, 0x78, {0x01, 0x5E, 0x9C, 0xDA}, 4},
    {2, 0x28, {0xB5}, 1},
    {3, 0x04, {0x22}, 1},
    {4, 'X', {'A'}, 1},
    {0, 0xFD, {0x37}, 1},
    {5, 'B', {'Z'}, 1},
    {6, 'P', {'K'}, 1},
    {7,
     'C',
     {0x00, 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's',
      't', 'u', 'v'},
     17},
};

x86::Tables make_tables() {
  x86::Tables t{};
  for (const Leading& l : LEADING) {
    auto bit = static_cast<uint8_t>(1u << l.cls);
    t.first_lo[l.first & 0x0F] |= bit;
    t.first_hi[l.first >> 4] |= bit;
    t.first[l.first] |= bit;
    for (size_t k = 0; k < l.seconds; ++k) {
      t.second_lo[l.second[k] & 0x0F] |= bit;
      t.second_hi[l.second[k] >> 4] |= bit;
      t.second[l.second[k]] |= bit;
    }
  }
  return t;
}

const x86::Tables& shuffle_tables() {
  static const x86::Tables tables = make_tables();
  return tables;
}

class Collector {
 public:
  Collector(size_t max_hits, uint64_t* dropped)
      : max_hits_(max_hits), dropped_(dropped) {}

  void check(const uint8_t* base, size_t size, size_t at) {
    Kind kind;
    if (!kind_at(base + at, size - at, &kind, inflater_)) return;
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
  Inflater inflater_;
};

}  // namespace

bool signature_at(std::span<const uint8_t> buf, size_t offset, Kind* kind) {
  Inflater inflater;
  return offset < buf.size() &&
         kind_at(buf.data() + offset, buf.size() - offset, kind, inflater);
}

namespace {

std::vector<Hit> find_using(x86::Filter wide, std::span<const uint8_t> buf,
                            size_t begin, size_t end, size_t max_hits,
                            uint64_t* dropped) {
  if (dropped != nullptr) std::fill(dropped, dropped + KIND_COUNT, 0);
  Collector out(max_hits, dropped);
  const uint8_t* p = buf.data();
  const size_t n = buf.size();
  end = std::min(end, n);
  if (begin >= end) return out.take();
  // Every filter reads the byte after each offset it looks at: the last
  // byte of the buffer is checked on its own.
  const size_t stop = std::min(end, n - 1);
  const size_t limit = stop > begin ? stop - begin : 0;
  const uint8_t* q = p + begin;
  if (wide != nullptr) {
    struct State {
      Collector* out;
      const uint8_t* p;
      size_t n;
      size_t begin;
    } state{&out, p, n, begin};
    wide(
        q, limit, shuffle_tables(),
        [](void* s, size_t at) {
          auto* st = static_cast<State*>(s);
          st->out->check(st->p, st->n, st->begin + at);
        },
        &state);
  } else {
    size_t i = 0;
    for (; limit > LANES && i < limit - LANES; i += LANES) {
      Vec m = candidates(load(q + i), load(q + i + 1));
      if (!any(m)) continue;
      for (size_t k = 0; k < LANES; ++k) {
        if (m[k]) out.check(p, n, begin + i + k);
      }
    }
    for (; i < limit; ++i) out.check(p, n, begin + i);
  }
  if (end == n) out.check(p, n, n - 1);
  return out.take();
}

}  // namespace

std::vector<Hit> find(std::span<const uint8_t> buf, size_t max_hits,
                      uint64_t* dropped) {
  static const x86::Filter widest = x86::best_filter();
  return find_using(widest, buf, 0, buf.size(), max_hits, dropped);
}

std::vector<Hit> find_range(std::span<const uint8_t> buf, size_t begin,
                            size_t end, size_t max_hits, uint64_t* dropped) {
  static const x86::Filter widest = x86::best_filter();
  return find_using(widest, buf, begin, end, max_hits, dropped);
}

bool find_with_width(unsigned bits, std::span<const uint8_t> buf,
                     size_t max_hits, std::vector<Hit>* hits, uint64_t* dropped,
                     size_t begin, size_t end) {
  x86::Filter filter = nullptr;
  if (bits != 128) {
    filter = x86::filter_of_width(bits);
    if (filter == nullptr) return false;
  }
  *hits = find_using(filter, buf, begin, end, max_hits, dropped);
  return true;
}

}  // namespace ravick::signatures
