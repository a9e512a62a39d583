// The candidate prefilter: the name record that every FileDescriptorProto
// starts with (tag 0x0A, a length varint, a relative ".proto" path).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ravick {

using Bytes = std::span<const uint8_t>;

inline constexpr uint8_t CANDIDATE_TAG = 0x0A;
inline constexpr uint64_t NAME_LEN_MIN = 6;
inline constexpr uint64_t NAME_LEN_MAX = 200;
inline constexpr uint64_t VARINT_MAX = 10;
inline constexpr uint8_t NAME_SUFFIX[6] = {'.', 'p', 'r', 'o', 't', 'o'};

struct DecodedVarint {
  uint64_t value = 0;
  uint64_t length = 0;  // 1..10
};

// The scanner's own varint decoder: reads at most the first 10 bytes,
// accepts non-minimal forms, drops bits 1..6 of a tenth byte.
std::optional<DecodedVarint> decode_varint(Bytes b);

// Where a candidate's name lies: [name_start, name_end).
struct NameSpan {
  uint64_t name_start = 0;
  uint64_t name_end = 0;
};

// The whole prefilter at offset i, byte by byte.
std::optional<NameSpan> prefilter_at(Bytes buf, uint64_t i);

// The name rules that follow the length and suffix checks: strict UTF-8, no
// leading "/", no empty, "." or ".." segment, no control character.
bool name_rules_pass(Bytes name);

// Offset of the next ".proto" at or after `from`, or buf.size() if none.
uint64_t find_suffix(Bytes buf, uint64_t from);

}  // namespace ravick
