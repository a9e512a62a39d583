#include "framing.h"

#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace ravick {
namespace {

constexpr size_t MAX_VARINT = 5;

struct Stated {
  uint64_t length = 0;
  bool is_set = false;
};

// The varint that fills buf[begin, end) exactly, minimally encoded.
std::optional<uint64_t> varint_filling(Bytes buf, uint64_t begin,
                                       uint64_t end) {
  uint64_t value = 0;
  for (uint64_t k = 0; begin + k < end; ++k) {
    const uint8_t byte = buf[begin + k];
    const bool last = begin + k == end - 1;
    if (((byte & 0x80) == 0) != last) return std::nullopt;
    value |= static_cast<uint64_t>(byte & 0x7F) << (7 * k);
  }
  if (end - begin > 1 && buf[end - 1] == 0) return std::nullopt;  // not minimal
  return value;
}

// The lengths the bytes before `start` state, marshal first, then the
// descriptor-set varints from the shortest.
size_t stated_lengths(Bytes buf, uint64_t start, Stated* out) {
  size_t n = 0;
  if (start >= 5 && (buf[start - 5] == 0x73 || buf[start - 5] == 0xF3)) {
    uint64_t length = 0;
    for (size_t k = 0; k < 4; ++k) {
      length |= static_cast<uint64_t>(buf[start - 4 + k]) << (8 * k);
    }
    out[n++] = {length, false};
  }
  for (uint64_t size = 1; size <= MAX_VARINT; ++size) {
    if (start < size + 1) break;  // the tag would stand before the buffer
    const uint64_t at = start - size;
    if (buf[at - 1] != 0x0A) continue;
    if (auto value = varint_filling(buf, at, start)) out[n++] = {*value, true};
  }
  return n;
}

bool whole(Bytes buf, uint64_t start, uint64_t end) {
  auto ranges = scan(buf.subspan(start, end - start));
  return ranges.size() == 1 && ranges[0].start == 0 &&
         ranges[0].end == end - start;
}

// Frames one range: appends its framed range, or its framed prefix and then
// (through `pending`, last first) the ranges a scan finds in the rest.
void frame_one(Bytes buf, ByteRange range, std::vector<FramedRange>& out,
               std::vector<ByteRange>& pending) {
  Stated lengths[1 + MAX_VARINT];
  const size_t count = stated_lengths(buf, range.start, lengths);
  const uint64_t size = range.end - range.start;
  bool in_set = false;
  for (size_t k = 0; k < count; ++k) {
    const Stated s = lengths[k];
    if (s.length == size) {
      in_set = in_set || s.is_set;
    } else if (s.length > 0 && s.length < size &&
               whole(buf, range.start, range.start + s.length)) {
      const uint64_t base = range.start + s.length;
      out.push_back({range.start, base, s.is_set});
      auto rest = scan(buf.subspan(base, range.end - base));
      for (auto it = rest.rbegin(); it != rest.rend(); ++it) {
        pending.push_back({base + it->start, base + it->end});
      }
      return;
    }
  }
  out.push_back({range.start, range.end, in_set});
}

// Hashes a range by its length and its first and last bytes: equal ranges
// are compared whole anyway, and most ranges of one input are copies of a
// few, so hashing every byte of each would cost more than the compares.
struct SampledHash {
  size_t operator()(std::string_view bytes) const {
    constexpr size_t SAMPLE = 32;
    const size_t n = bytes.size();
    size_t h = std::hash<std::string_view>{}(bytes.substr(0, SAMPLE));
    if (n > SAMPLE) {
      h ^= std::hash<std::string_view>{}(bytes.substr(n - SAMPLE)) +
           0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    }
    return h ^ (n * 0xC2B2AE3D27D4EB4Full);
  }
};

}  // namespace

std::vector<FramedRange> frame(Bytes buf, std::span<const ByteRange> ranges) {
  std::vector<FramedRange> out;
  out.reserve(ranges.size());
  std::vector<ByteRange> pending;
  for (const ByteRange& range : ranges) {
    pending.push_back(range);
    while (!pending.empty()) {
      const ByteRange next = pending.back();
      pending.pop_back();
      frame_one(buf, next, out, pending);
    }
  }
  return out;
}

Grouped group_equal(Bytes buf, std::span<const FramedRange> ranges) {
  Grouped grouped;
  grouped.ids.reserve(ranges.size());
  std::unordered_map<std::string_view, uint32_t, SampledHash> numbers;
  for (size_t k = 0; k < ranges.size(); ++k) {
    const FramedRange& r = ranges[k];
    std::string_view bytes(reinterpret_cast<const char*>(buf.data() + r.start),
                           r.end - r.start);
    auto [it, fresh] = numbers.try_emplace(
        bytes, static_cast<uint32_t>(grouped.firsts.size()));
    if (fresh) {
      if (grouped.firsts.size() == std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("more distinct descriptors than numbers");
      }
      grouped.firsts.push_back(k);
    }
    grouped.ids.push_back(it->second);
  }
  return grouped;
}

}  // namespace ravick
