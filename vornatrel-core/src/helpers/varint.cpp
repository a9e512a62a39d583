#include "helpers/varint.h"

#include "helpers/abort.h"

namespace vornatrel::helpers::varint {
namespace {

// A varint has at most this many value-carrying bytes; byte 10 adds bit 63.
constexpr unsigned MAX_VALUE_BYTES = 10;

[[gnu::cold, noreturn]] void abort_past_end() {
  internal_abort("assertion failed: start <= buflen");
}

[[gnu::cold, noreturn]] void abort_wiretag_at_end() {
  internal_abort("parse_wiretag called at end of buffer");
}

VarintResult success(uint64_t value, uint64_t next, uint64_t padding = 0) {
  VarintResult r;
  r.ok = true;
  r.value = value;
  r.padding = padding;
  r.next = next;
  return r;
}

VarintResult failure(uint64_t len, uint64_t pos) {
  VarintResult r;
  r.next = len;
  r.garbage_start = pos;
  return r;
}

// Superfluous trailing bytes of a varint that ends at `last`: the final 0x00
// plus the 0x80 bytes right before it, but never the varint's first byte.
uint64_t trailing_padding(Bytes buf, uint64_t start, uint64_t last) {
  if (last == start || buf[last] != 0x00) return 0;
  uint64_t j = last;
  while (j - 1 > start && buf[j - 1] == 0x80) --j;
  return last - j + 1;
}

// One step of the unrolled fast decoder: byte I (0-based) of a varint whose
// bytes 0..I-1 all had the top bit set; `acc` holds their value bits. Returns
// the length of a canonical varint, or 0 to hand over to the general decoder
// (a trailing 0x00, an over-long or overflowing encoding, or, when `Checked`,
// the buffer ending first). Unchecked steps rely on ten readable bytes.
template <bool Checked, unsigned I>
[[gnu::always_inline]] inline unsigned fast_step(const uint8_t* p,
                                                 uint64_t avail, uint64_t acc,
                                                 uint64_t& value) {
  if constexpr (Checked) {
    if (I >= avail) return 0;
  }
  const uint64_t b = p[I];
  if constexpr (I == MAX_VALUE_BYTES - 1) {
    if (b != 0x01) return 0;
    value = acc | (uint64_t{1} << 63);
    return MAX_VALUE_BYTES;
  } else {
    acc |= (b & 0x7F) << (7 * I);
    if (b < 0x80) {
      if (b == 0) return 0;
      value = acc;
      return I + 1;
    }
    return fast_step<Checked, I + 1>(p, avail, acc, value);
  }
}

template <bool Checked>
[[gnu::always_inline]] inline unsigned fast_decode(const uint8_t* p,
                                                   uint64_t avail,
                                                   uint64_t& value) {
  return fast_step<Checked, 1>(p, avail, p[0] & 0x7F, value);
}

}  // namespace

VarintResult parse_varint_multibyte(Bytes buf, uint64_t pos) {
  const uint64_t len = buf.size();
  if (pos > len) abort_past_end();
  if (pos == len) return parse_varint_uncommon(buf, pos);
  const uint8_t* p = buf.data() + pos;
  if (p[0] < 0x80) return success(p[0], pos + 1);
  const uint64_t avail = len - pos;
  uint64_t value = 0;
  const unsigned n = avail >= MAX_VALUE_BYTES
                         ? fast_decode<false>(p, avail, value)
                         : fast_decode<true>(p, avail, value);
  if (n == 0) return parse_varint_uncommon(buf, pos);
  return success(value, pos + n);
}

VarintResult parse_varint_uncommon(Bytes buf, uint64_t pos) {
  const uint64_t len = buf.size();
  if (pos > len) abort_past_end();
  const uint8_t* p = buf.data();
  uint64_t value = 0;
  uint64_t i = pos;
  uint64_t length = 0;  // bytes consumed so far

  // Bytes 1 to 9 carry seven value bits each and cannot overflow.
  for (; length < MAX_VALUE_BYTES - 1; ++length, ++i) {
    if (i == len) return failure(len, pos);
    const uint8_t b = p[i];
    value |= uint64_t{b & 0x7Fu} << (7 * length);
    if (b < 0x80) return success(value, i + 1, trailing_padding(buf, pos, i));
  }

  // Byte 10 contributes only bit 63; any of bits 1..6 is an overflow, and
  // an overflowed varint can only end as a failure, so it fails here.
  if (i == len) return failure(len, pos);
  {
    const uint8_t b = p[i];
    if (b & 0x7E) return failure(len, pos);
    value |= uint64_t{b & 0x01u} << 63;
    ++i;
    if (b < 0x80) return success(value, i, trailing_padding(buf, pos, i - 1));
  }

  // Bytes 11 and on carry no value: 0x80 continues, 0x00 ends, anything
  // else is an overflow. The run of 0x80 padding has no length limit.
  for (; i < len; ++i) {
    const uint8_t b = p[i];
    if (b == 0x00) return success(value, i + 1, trailing_padding(buf, pos, i));
    if (b != 0x80) return failure(len, pos);
  }
  return failure(len, pos);
}

std::optional<WireTag> parse_wiretag(Bytes buf, uint64_t pos) {
  if (pos >= buf.size()) abort_wiretag_at_end();
  const uint8_t first = buf[pos];
  const uint8_t wire_type = first & 0x07;
  if (wire_type > I32) return std::nullopt;
  if (first < 0x80)
    return WireTag{uint64_t{first} >> 3, wire_type, pos + 1, false};
  const VarintResult r = parse_varint_multibyte(buf, pos);
  if (!r.ok) return std::nullopt;
  return WireTag{r.value >> 3, wire_type, r.next, r.padding != 0};
}

}  // namespace vornatrel::helpers::varint
