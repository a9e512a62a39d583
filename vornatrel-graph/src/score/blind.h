// Schema-less reading: skipping groups, finding an Any value, and testing
// extension ranges.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "score/load.h"

namespace vornatrel::score {

using Bytes = std::span<const uint8_t>;

struct GroupSkip {
  bool ok = false;
  uint64_t offset = 0;  // just behind the matching END_GROUP when ok
};

// Skips a group body from `pos` (just behind its START_GROUP tag) to the
// END_GROUP with `number`; never reads at or past data.size().
GroupSkip parse_group_blind(Bytes data, uint64_t pos, uint64_t number);

struct ByteSlice {
  uint64_t start = 0;
  uint64_t len = 0;
};

// The payload of the first field 2 of wire type LEN in an Any payload.
std::optional<ByteSlice> extract_any_value(Bytes payload);

// The payload of the first LEN field numbered `number`, read without a
// schema: other fields and groups are skipped, and malformed content or an
// END_GROUP at this level ends the search without a result.
std::optional<ByteSlice> find_len_field(Bytes payload, uint64_t number);

// Whether `number` lies in one of the extension ranges of node `key`.
bool in_ext_range(const load::GraphRoot& graph, uint32_t key, uint32_t number);

}  // namespace vornatrel::score
