#include "score/blind.h"

#include "helpers/abort.h"
#include "helpers/varint.h"

namespace vornatrel::score {
namespace {

namespace varint = helpers::varint;

// Reads a length prefix at q and checks that the payload fits.
std::optional<ByteSlice> read_len(Bytes data, uint64_t q) {
  const varint::VarintResult length = varint::parse_varint(data, q);
  if (!length.ok || length.value > data.size() - length.next) {
    return std::nullopt;
  }
  return ByteSlice{length.next, length.value};
}

// Skips the value of a VARINT, I64, I32 or LEN field at q (q <= data.size());
// the offset behind it, or nothing when the value is malformed.
std::optional<uint64_t> skip_value(Bytes data, uint64_t q, uint8_t wire_type) {
  uint64_t left = data.size() - q;
  switch (wire_type) {
    case varint::VARINT: {
      const varint::VarintResult v = varint::parse_varint(data, q);
      if (!v.ok) return std::nullopt;
      return v.next;
    }
    case varint::I64:
      if (left < 8) return std::nullopt;
      return q + 8;
    case varint::I32:
      if (left < 4) return std::nullopt;
      return q + 4;
    case varint::LEN: {
      std::optional<ByteSlice> payload = read_len(data, q);
      if (!payload) return std::nullopt;
      return payload->start + payload->len;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

// Tags are read with parse_wiretag: the wire type comes from the first byte,
// non-canonical tags are accepted and field numbers are not validated.
GroupSkip parse_group_blind(Bytes data, uint64_t pos, uint64_t number) {
  uint64_t depth = 0;
  uint64_t p = pos;
  while (true) {
    if (p >= data.size()) return GroupSkip{};
    std::optional<varint::WireTag> tag = varint::parse_wiretag(data, p);
    if (!tag) return GroupSkip{};
    switch (tag->wire_type) {
      case varint::START_GROUP:
        ++depth;
        p = tag->next;
        break;
      case varint::END_GROUP:
        if (depth == 0) {
          // Only the outermost END_GROUP must carry the group's number.
          if (tag->field_number != number) return GroupSkip{};
          return GroupSkip{true, tag->next};
        }
        --depth;
        p = tag->next;
        break;
      default: {
        std::optional<uint64_t> next =
            skip_value(data, tag->next, tag->wire_type);
        if (!next) return GroupSkip{};
        p = *next;
      }
    }
  }
}

std::optional<ByteSlice> extract_any_value(Bytes payload) {
  return find_len_field(payload, 2);
}

std::optional<ByteSlice> find_len_field(Bytes payload, uint64_t number) {
  uint64_t p = 0;
  while (p < payload.size()) {
    std::optional<varint::WireTag> tag = varint::parse_wiretag(payload, p);
    if (!tag) return std::nullopt;
    switch (tag->wire_type) {
      case varint::LEN: {
        std::optional<ByteSlice> value = read_len(payload, tag->next);
        if (!value) return std::nullopt;
        if (tag->field_number == number) return value;
        p = value->start + value->len;
        break;
      }
      case varint::START_GROUP: {
        GroupSkip group =
            parse_group_blind(payload, tag->next, tag->field_number);
        if (!group.ok) return std::nullopt;
        p = group.offset;
        break;
      }
      case varint::END_GROUP:
        return std::nullopt;
      default: {
        std::optional<uint64_t> next =
            skip_value(payload, tag->next, tag->wire_type);
        if (!next) return std::nullopt;
        p = *next;
      }
    }
  }
  return std::nullopt;
}

bool in_ext_range(const load::GraphRoot& graph, uint32_t key, uint32_t number) {
  std::optional<load::TypeNode> node = graph.node_by_key(key);
  if (!node || node->ext_list == load::NO_INDEX) return false;
  if (node->ext_list >= graph.ext_range_list_count()) {
    helpers::internal_abort("extension range list index outside its table");
  }
  load::ExtRangeList list = graph.ext_range_list(node->ext_list);
  if (uint64_t{list.first} + list.count > graph.ext_range_count()) {
    helpers::internal_abort("extension range run outside its table");
  }
  for (uint32_t i = 0; i < list.count; ++i) {
    load::ExtRange range = graph.ext_range(list.first + i);
    if (range.start <= number && number <= range.end) return true;
  }
  return false;
}

}  // namespace vornatrel::score
