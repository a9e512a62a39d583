// The protobuf wire format read field by field, every read bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace ravick::printer {

// The runtime's limit on nested messages.
constexpr int MAX_DEPTH = 100;

enum Wire : uint32_t {
  VARINT = 0,
  I64 = 1,
  LEN = 2,
  SGROUP = 3,
  EGROUP = 4,
  I32 = 5
};

// One field as read: its number, wire type and value. `varint` holds a
// varint or fixed value (little-endian), `bytes` a length-delimited one or a
// group's payload without its end tag.
struct Entry {
  uint64_t number = 0;
  uint32_t wire = 0;
  uint64_t varint = 0;
  std::string_view bytes;
};

class Reader {
 public:
  explicit Reader(std::string_view data)
      : p_(reinterpret_cast<const uint8_t*>(data.data())),
        end_(p_ + data.size()) {}

  bool done() const { return p_ == end_; }

  // The next field; false on malformed bytes.
  bool next(Entry& e) {
    uint64_t tag = 0;
    if (!varint(tag)) return false;
    e.number = tag >> 3;
    e.wire = static_cast<uint32_t>(tag & 7);
    if (e.number == 0) return false;
    switch (e.wire) {
      case VARINT:
        return varint(e.varint);
      case I64:
        return fixed(8, e.varint);
      case I32:
        return fixed(4, e.varint);
      case LEN: {
        uint64_t n = 0;
        if (!varint(n) || n > static_cast<uint64_t>(end_ - p_)) return false;
        e.bytes = {reinterpret_cast<const char*>(p_), static_cast<size_t>(n)};
        p_ += n;
        return true;
      }
      case SGROUP: {
        const uint8_t* start = p_;
        const uint8_t* payload_end = nullptr;
        if (!skip_group(e.number, &payload_end)) return false;
        e.bytes = {reinterpret_cast<const char*>(start),
                   static_cast<size_t>(payload_end - start)};
        return true;
      }
      default:
        return false;
    }
  }

  bool varint(uint64_t& out) {
    out = 0;
    for (int shift = 0; shift < 70; shift += 7) {
      if (p_ == end_) return false;
      const uint8_t b = *p_++;
      out |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  // A little-endian value of n bytes.
  bool fixed(size_t n, uint64_t& out) {
    if (n > static_cast<size_t>(end_ - p_)) return false;
    out = 0;
    for (size_t k = 0; k < n; ++k)
      out |= static_cast<uint64_t>(p_[k]) << (8 * k);
    p_ += n;
    return true;
  }

 private:
  bool skip_bytes(size_t n) {
    if (n > static_cast<size_t>(end_ - p_)) return false;
    p_ += n;
    return true;
  }

  // Past the end tag of group `number`; `payload_end` (if given) is set to
  // where that end tag starts. Nested groups are followed with a stack, as
  // deep as the bytes go; inside a group a field number 0 is read like any.
  bool skip_group(uint64_t number, const uint8_t** payload_end = nullptr) {
    std::vector<uint64_t> open{number};
    for (;;) {
      const uint8_t* tag_start = p_;
      uint64_t tag = 0;
      if (!varint(tag)) return false;
      const uint64_t inner = tag >> 3;
      uint64_t ignored = 0;
      bool ok = true;
      switch (static_cast<uint32_t>(tag & 7)) {
        case VARINT:
          ok = varint(ignored);
          break;
        case I64:
          ok = skip_bytes(8);
          break;
        case I32:
          ok = skip_bytes(4);
          break;
        case LEN:
          ok = varint(ignored) && ignored <= static_cast<uint64_t>(end_ - p_) &&
               skip_bytes(static_cast<size_t>(ignored));
          break;
        case SGROUP:
          open.push_back(inner);
          break;
        case EGROUP:
          if (inner != open.back()) return false;
          open.pop_back();
          if (open.empty()) {
            if (payload_end != nullptr) *payload_end = tag_start;
            return true;
          }
          break;
        default:
          return false;
      }
      if (!ok) return false;
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace ravick::printer
