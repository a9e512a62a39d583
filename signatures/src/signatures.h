// Where the containers and compressed streams that may hold descriptors
// start: one pass over a buffer that finds every kind's signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ravick::signatures {

// The kinds, in the order of KIND_NAMES.
enum class Kind : uint8_t {
  gzip,          // 1F 8B 08, flags without reserved bits
  zlib,          // 78 01/5E/9C/DA, then a deflate block type other than 3
  zstd,          // 28 B5 2F FD
  lz4,           // 04 22 4D 18 (a frame)
  xalz,          // "XALZ" (a .NET for Android assembly: LZ4 block)
  xz,            // FD 37 7A 58 5A 00
  bzip2,         // "BZh" 1-9, then the block magic 31 41 59 26 53 59
  zip_end,       // "PK" 05 06 (end of a zip's central directory)
  base64,        // "C", "g".."v": base64 of a descriptor's name record
  base64_utf16,  // the same in UTF-16LE
};

inline constexpr const char* KIND_NAMES[] = {
    "gzip", "zlib",  "zstd",    "lz4",    "xalz",
    "xz",   "bzip2", "zip-end", "base64", "base64-utf16",
};
inline constexpr size_t KIND_COUNT = sizeof(KIND_NAMES) / sizeof(KIND_NAMES[0]);

struct Hit {
  uint64_t offset = 0;
  Kind kind = Kind::gzip;
};

// The signature at `offset` of `buf`, if one starts there: the reference
// that the one-pass search must agree with.
bool signature_at(std::span<const uint8_t> buf, size_t offset, Kind* kind);

// Every signature in `buf`, in offset order. At most `max_hits` of each kind
// are kept; `dropped` (if given) counts, per kind, those left out past it.
std::vector<Hit> find(std::span<const uint8_t> buf, size_t max_hits,
                      uint64_t* dropped = nullptr);

// The signatures at offsets [begin, end) of `buf` only, each checked against
// the bytes to the buffer's end: the hits of `find` in that range, the
// limit of `max_hits` applying to these alone.
std::vector<Hit> find_range(std::span<const uint8_t> buf, size_t begin,
                            size_t end, size_t max_hits,
                            uint64_t* dropped = nullptr);

// The filter of x86-64 with AVX-512 VBMI, which looks each byte up in whole
// 256-entry tables, asked for by this in place of a width.
inline constexpr unsigned EXACT_512 = 1;

// The same search with the filter of a given vector width: 512 or 256 bits
// (x86-64 with AVX-512BW or AVX2), EXACT_512, or 128 for the portable one.
// False when this processor cannot run it; the tests compare every width.
// With `begin` and `end`, the search of `find_range`.
bool find_with_width(unsigned bits, std::span<const uint8_t> buf,
                     size_t max_hits, std::vector<Hit>* hits,
                     uint64_t* dropped = nullptr, size_t begin = 0,
                     size_t end = SIZE_MAX);

}  // namespace ravick::signatures
