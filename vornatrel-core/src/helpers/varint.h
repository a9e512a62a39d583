// Varint and wire-tag decoding with canonical-form accounting.
//
// Every routine takes the whole buffer and a position into it and never reads
// at or past the buffer's end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vornatrel::helpers::varint {

using Bytes = std::span<const uint8_t>;

// Wire types of the protobuf encoding.
inline constexpr uint8_t VARINT = 0;
inline constexpr uint8_t I64 = 1;
inline constexpr uint8_t LEN = 2;
inline constexpr uint8_t START_GROUP = 3;
inline constexpr uint8_t END_GROUP = 4;
inline constexpr uint8_t I32 = 5;

// Result of both varint routines. Exactly one of value and garbage is
// present: `ok` tells which.
//  - success: `value`, `next` just behind the varint, and `padding` > 0 when
//    the encoding carried superfluous trailing bytes (0 means no padding);
//  - failure: `next` is the buffer length and the garbage is the bytes from
//    `garbage_start` to the end of the buffer (empty when start == length).
struct VarintResult {
  bool ok = false;
  uint64_t value = 0;
  uint64_t padding = 0;
  uint64_t next = 0;
  uint64_t garbage_start = 0;

  Bytes garbage(Bytes buf) const {
    return ok ? Bytes{} : buf.subspan(garbage_start);
  }
};

struct WireTag {
  uint64_t field_number = 0;
  uint8_t wire_type = 0;  // 0..5
  uint64_t next = 0;
  bool non_canonical = false;
};

// Decodes the varint at `pos`; fast for canonical encodings. Precondition:
// pos <= buf.size(), else internal abort "assertion failed: start <= buflen".
VarintResult parse_varint_multibyte(Bytes buf, uint64_t pos);

// The general decoder: padding, overflow, truncation, unbounded 0x80 padding.
// Same precondition as parse_varint_multibyte.
VarintResult parse_varint_uncommon(Bytes buf, uint64_t pos);

// The same as parse_varint_multibyte, with the common one-byte value taken
// inline, without a call.
inline VarintResult parse_varint(Bytes buf, uint64_t pos) {
  if (pos < buf.size() && buf[pos] < 0x80) {
    return VarintResult{.ok = true, .value = buf[pos], .next = pos + 1};
  }
  return parse_varint_multibyte(buf, pos);
}

// Decodes the tag at `pos`; nothing for a garbage tag. Precondition:
// pos < buf.size(), else internal abort "parse_wiretag called at end of
// buffer".
std::optional<WireTag> parse_wiretag(Bytes buf, uint64_t pos);

}  // namespace vornatrel::helpers::varint
