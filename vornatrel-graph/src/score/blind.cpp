#include "score/blind.h"

#include "helpers/abort.h"
#include "helpers/varint.h"

namespace vornatrel::score {
namespace {

namespace varint = helpers::varint;

struct BlindTag {
  uint64_t field_number = 0;
  uint8_t wire_type = 0;
  uint64_t next = 0;
};

// Reads the tag at p (p < data.size()). The wire type comes from the first
// byte alone; non-canonical tags are accepted and field numbers are not
// validated.
std::optional<BlindTag> read_tag(Bytes data, uint64_t p) {
  uint8_t b = data[p];
  uint8_t wire_type = b & 7;
  if (wire_type > varint::I32) return std::nullopt;
  if (b < 0x80) return BlindTag{uint64_t{b} >> 3, wire_type, p + 1};
  varint::VarintResult tag = varint::parse_varint_multibyte(data, p);
  if (!tag.ok) return std::nullopt;
  return BlindTag{tag.value >> 3, wire_type, tag.next};
}

struct VarintRead {
  uint64_t value = 0;
  uint64_t next = 0;
};

// Reads a varint at q (q <= data.size()), the one-byte case inline.
std::optional<VarintRead> read_varint(Bytes data, uint64_t q) {
  if (q < data.size() && data[q] < 0x80) return VarintRead{data[q], q + 1};
  varint::VarintResult v = varint::parse_varint_multibyte(data, q);
  if (!v.ok) return std::nullopt;
  return VarintRead{v.value, v.next};
}

// Reads a length prefix at q and checks that the payload fits.
std::optional<ByteSlice> read_len(Bytes data, uint64_t q) {
  std::optional<VarintRead> length = read_varint(data, q);
  if (!length || length->value > data.size() - length->next) {
    return std::nullopt;
  }
  return ByteSlice{length->next, length->value};
}

// Skips the value of a VARINT, I64, I32 or LEN field at q (q <= data.size());
// the offset behind it, or nothing when the value is malformed.
std::optional<uint64_t> skip_value(Bytes data, uint64_t q, uint8_t wire_type) {
  uint64_t left = data.size() - q;
  switch (wire_type) {
    case varint::VARINT: {
      std::optional<VarintRead> v = read_varint(data, q);
      if (!v) return std::nullopt;
      return v->next;
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

GroupSkip parse_group_blind(Bytes data, uint64_t pos, uint64_t number) {
  uint64_t depth = 0;
  uint64_t p = pos;
  while (true) {
    if (p >= data.size()) return GroupSkip{};
    std::optional<BlindTag> tag = read_tag(data, p);
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
  uint64_t p = 0;
  while (p < payload.size()) {
    std::optional<BlindTag> tag = read_tag(payload, p);
    if (!tag) return std::nullopt;
    switch (tag->wire_type) {
      case varint::LEN: {
        std::optional<ByteSlice> value = read_len(payload, tag->next);
        if (!value) return std::nullopt;
        if (tag->field_number == 2) return value;
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
