// Reference passes over the same bytes as the scan, to put its speed in
// proportion: a plain read at memory speed and the loop a naive prefilter
// would run, stopping at every 0x0A byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ravick::bench {

using Bytes = std::span<const uint8_t>;

// A byte value that occurs in none of the buffers, if there is one.
std::optional<uint8_t> absent_byte(std::span<const Bytes> buffers);

// memchr for a byte that does not occur: one full pass that never stops.
uint64_t read_by_memchr(Bytes buf, uint8_t absent);

// Counts the 0x00 bytes: a full pass for buffers in which every value
// occurs, so that memchr would stop early.
uint64_t read_by_count(Bytes buf);

// memchr from one 0x0A to the next over the whole buffer; returns the count.
uint64_t every_0a_pass(Bytes buf);

}  // namespace ravick::bench
