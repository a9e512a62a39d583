// The signature search's candidate filter on x86-64 with byte shuffles: each
// byte is classified by two 16-entry tables (its low and high nibble), once
// as a possible first byte of each kind and once as a possible second byte,
// so that one AND per block says where a kind's first two bytes may stand.
#pragma once

#include <cstddef>
#include <cstdint>

#include "signatures.h"

namespace ravick::signatures::x86 {

// Tables for the low and high nibble of first and second bytes: bit k of an
// entry is set when kind k has a byte with that nibble in that position.
// `first` and `second` hold the same bits by whole byte, for the filter
// that looks bytes up in 256-entry tables (AVX-512 VBMI), which then marks
// no pair that merely shares nibbles with a signature's.
struct Tables {
  alignas(16) uint8_t first_lo[16];
  alignas(16) uint8_t first_hi[16];
  alignas(16) uint8_t second_lo[16];
  alignas(16) uint8_t second_hi[16];
  alignas(64) uint8_t first[256];
  alignas(64) uint8_t second[256];
};

// Calls visit(offset) for every offset i < limit where both bytes may match;
// reads bytes up to limit + 1 (exclusive), so limit < size is required.
using Visit = void (*)(void* state, size_t offset);

using Filter = void (*)(const uint8_t* p, size_t limit, const Tables& t,
                        Visit visit, void* state);

// The filter of a given width (512 or 256 bits, or EXACT_512), or nullptr
// where this processor cannot run it.
Filter filter_of_width(unsigned bits);

// The widest filter this processor runs, or nullptr where none does.
Filter best_filter();

}  // namespace ravick::signatures::x86
