#include "framing.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
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

namespace {

using Numbers = std::unordered_map<std::string_view, uint32_t, SampledHash>;

// Parts below this many ranges are not worth a thread.
constexpr size_t MIN_PART = 1 << 14;

std::string_view bytes_of(Bytes buf, const FramedRange& r) {
  return {reinterpret_cast<const char*>(buf.data() + r.start), r.end - r.start};
}

// The number of `bytes`, a new one (first met at range `index`) if they
// are new.
uint32_t number_of(std::string_view bytes, size_t index, Numbers& numbers,
                   Grouped& out) {
  auto [it, fresh] =
      numbers.try_emplace(bytes, static_cast<uint32_t>(out.firsts.size()));
  if (fresh) {
    if (out.firsts.size() == std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("more distinct descriptors than numbers");
    }
    out.firsts.push_back(index);
  }
  return it->second;
}

void number(Bytes buf, std::span<const FramedRange> ranges, Numbers& numbers,
            Grouped& out) {
  out.ids.reserve(ranges.size());
  for (size_t k = 0; k < ranges.size(); ++k) {
    out.ids.push_back(number_of(bytes_of(buf, ranges[k]), k, numbers, out));
  }
}

struct Part {
  std::vector<FramedRange> framed;
  Grouped grouped;
  Numbers numbers;
};

Part framed_part(Bytes buf, std::span<const ByteRange> ranges) {
  Part part;
  part.framed = frame(buf, ranges);
  number(buf, part.framed, part.numbers, part.grouped);
  return part;
}

// Appends `part` to `whole`: its ranges, and its numbers made the whole's.
void join_part(Bytes buf, const Part& part, Part& whole) {
  const size_t base = whole.framed.size();
  std::vector<uint32_t> global(part.grouped.firsts.size());
  for (size_t n = 0; n < global.size(); ++n) {
    const size_t first = part.grouped.firsts[n];
    global[n] = number_of(bytes_of(buf, part.framed[first]), base + first,
                          whole.numbers, whole.grouped);
  }
  whole.grouped.ids.reserve(whole.grouped.ids.size() + part.grouped.ids.size());
  for (uint32_t id : part.grouped.ids) whole.grouped.ids.push_back(global[id]);
  whole.framed.insert(whole.framed.end(), part.framed.begin(),
                      part.framed.end());
}

}  // namespace

FramedGroups frame_and_group(Bytes buf, std::span<const ByteRange> ranges,
                             unsigned threads) {
  const size_t parts =
      std::max<size_t>(1, std::min<size_t>(threads, ranges.size() / MIN_PART));
  std::vector<Part> done(parts);
  std::vector<std::exception_ptr> errors(parts);
  auto run = [&](size_t p) {
    try {
      const size_t from = ranges.size() * p / parts;
      const size_t to = ranges.size() * (p + 1) / parts;
      done[p] = framed_part(buf, ranges.subspan(from, to - from));
    } catch (...) {
      errors[p] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    std::vector<size_t> here = {0};
    for (size_t p = 1; p < parts; ++p) {
      try {
        helpers.emplace_back(run, p);
      } catch (const std::system_error&) {  // no thread to be had: done here
        here.push_back(p);
      }
    }
    for (size_t p : here) run(p);
  }
  for (auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  for (size_t p = 1; p < parts; ++p) join_part(buf, done[p], done[0]);
  return {std::move(done[0].framed), std::move(done[0].grouped)};
}

Grouped group_equal(Bytes buf, std::span<const FramedRange> ranges) {
  Grouped grouped;
  Numbers numbers;
  number(buf, ranges, numbers, grouped);
  return grouped;
}

}  // namespace ravick
