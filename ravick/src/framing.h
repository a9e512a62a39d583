// Length framing and grouping of the plain finds of a scan.
//
// The scan reads a descriptor for as long as the bytes after it parse as
// more of its fields, so what a container puts after it can become part of
// it. Two containers state the length before the descriptor: a marshal
// bytes object (type 's' or 0xF3, then a little-endian u32) and an entry of
// a FileDescriptorSet (field 1, 0x0A, then a varint). When a range starts
// right after such a length and the framed prefix is a whole descriptor by
// itself, the framed range is reported and the rest of the original range
// is scanned again; nothing else is ever trimmed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib.h"

namespace ravick {

struct FramedRange {
  uint64_t start = 0;
  uint64_t end = 0;
  bool in_set = false;  // an entry of a descriptor set
};

// `ranges` (a scan's, in its order, within `buf`) with framed ends.
std::vector<FramedRange> frame(Bytes buf, std::span<const ByteRange> ranges);

// The ranges numbered by their bytes: equal bytes, equal numbers, counted
// from 0 in order of first appearance; `firsts[n]` is the index of the first
// range numbered n.
struct Grouped {
  std::vector<uint32_t> ids;
  std::vector<uint64_t> firsts;
};

Grouped group_equal(Bytes buf, std::span<const FramedRange> ranges);

struct FramedGroups {
  std::vector<FramedRange> framed;
  Grouped grouped;
};

// `frame` and `group_equal` on up to `threads` threads, each taking a part
// of the ranges: the very results of one thread.
FramedGroups frame_and_group(Bytes buf, std::span<const ByteRange> ranges,
                             unsigned threads);

}  // namespace ravick
