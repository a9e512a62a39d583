#include "framing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ravick {
namespace {

using Buf = std::vector<uint8_t>;

Buf bytes_of(const std::string& s) { return Buf(s.begin(), s.end()); }

Buf cat(std::initializer_list<Buf> parts) {
  Buf out;
  for (const Buf& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// name "a.proto", package "p", one message "Msg": 19 bytes.
const Buf DESCRIPTOR =
    bytes_of(std::string("\x0a\x07"
                         "a.proto\x12\x01p\x22\x05\x0a\x03Msg",
                         19));
// A syntax field, which the scan reads as more of the descriptor before it.
const Buf SYNTAX = bytes_of(std::string("\x62\x06proto3", 8));

void append_all(Buf& out, std::initializer_list<Buf> parts) {
  for (const Buf& p : parts) out.insert(out.end(), p.begin(), p.end());
}

Buf marshal_prefix(uint32_t length) {
  return {0x73, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 24)};
}

std::vector<FramedRange> framed(const Buf& buf) {
  return frame(Bytes(buf), scan(Bytes(buf)));
}

struct Case {
  const char* name;
  Buf buf;
  std::vector<FramedRange> want;
};

TEST(Frame, TrimsToTheStatedLengthOnlyWhenThePrefixIsWhole) {
  const auto n = static_cast<uint8_t>(DESCRIPTOR.size());
  const Case cases[] = {
      {"marshal bytes, trailing field",
       cat({marshal_prefix(19), DESCRIPTOR, SYNTAX}),
       {{5, 24, false}}},
      {"set entry, trailing field",
       cat({{0x0A, n}, DESCRIPTOR, SYNTAX}),
       {{2, 21, true}}},
      {"set entry, exact length",
       cat({{0x0A, n}, DESCRIPTOR}),
       {{2, 21, true}}},
      {"rest scanned again",
       cat({{0x0A, n}, DESCRIPTOR, SYNTAX, DESCRIPTOR}),
       {{2, 21, true}, {29, 48, false}}},
      {"length past the range",
       cat({marshal_prefix(0xFFFFFFFF), DESCRIPTOR, SYNTAX}),
       {{5, 32, false}}},
      {"non-minimal varint",
       cat({{0x0A, static_cast<uint8_t>(0x80 | n), 0x00}, DESCRIPTOR, SYNTAX}),
       {{3, 30, false}}},
      {"at the buffer's start", cat({DESCRIPTOR, SYNTAX}), {{0, 27, false}}},
  };
  for (const Case& c : cases) {
    auto got = framed(c.buf);
    ASSERT_EQ(got.size(), c.want.size()) << c.name;
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].start, c.want[k].start) << c.name;
      EXPECT_EQ(got[k].end, c.want[k].end) << c.name;
      EXPECT_EQ(got[k].in_set, c.want[k].in_set) << c.name;
    }
  }
}

TEST(Frame, ToleratesRangesTheScanNeverGives) {
  const Buf buf = cat({{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, DESCRIPTOR});
  const ByteRange ranges[] = {{0, 0}, {1, 2}, {6, 25}, {25, 25}};
  auto got = frame(Bytes(buf), ranges);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[2].start, 6u);
  EXPECT_EQ(got[2].end, 25u);
  EXPECT_FALSE(got[2].in_set);
}

TEST(GroupEqual, NumbersEqualBytesInOrderOfFirstAppearance) {
  const Buf buf = bytes_of("abcabxabc");
  const FramedRange ranges[] = {{0, 3}, {3, 6}, {6, 9}, {0, 3}, {2, 2}, {5, 5}};
  Grouped g = group_equal(Bytes(buf), ranges);
  EXPECT_EQ(g.ids, (std::vector<uint32_t>{0, 1, 0, 0, 2, 2}));
  EXPECT_EQ(g.firsts, (std::vector<uint64_t>{0, 1, 4}));
}

TEST(FrameAndGroup, GivesOneThreadsResultsOnAnyNumberOfThreads) {
  // Enough ranges for three parts, their bytes repeated across the parts,
  // some framed, some new in the later parts.
  Buf buf;
  const Buf other =
      bytes_of(std::string("\x0a\x07"
                           "b.proto\x12\x01q\x22\x05\x0a\x03Two",
                           19));
  for (int k = 0; k < 60000; ++k) {
    if (k % 7 == 0) {
      append_all(buf, {{0x0A, 19}, DESCRIPTOR, SYNTAX});
    } else if (k > 40000 && k % 5 == 0) {
      append_all(buf, {other, {static_cast<uint8_t>(k % 3)}});
    } else {
      append_all(buf, {DESCRIPTOR, {0xFF}});
    }
  }
  const auto ranges = scan(Bytes(buf));
  ASSERT_GT(ranges.size(), 50000u);
  const auto framed = frame(Bytes(buf), ranges);
  const Grouped grouped = group_equal(Bytes(buf), framed);
  ASSERT_GE(grouped.firsts.size(), 2u);
  ASSERT_GT(grouped.firsts.back(), framed.size() / 2);  // new in a later part
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    auto got = frame_and_group(Bytes(buf), ranges, threads);
    ASSERT_EQ(got.framed.size(), framed.size()) << threads;
    for (size_t k = 0; k < framed.size(); ++k) {
      ASSERT_EQ(got.framed[k].start, framed[k].start) << threads;
      ASSERT_EQ(got.framed[k].end, framed[k].end) << threads;
      ASSERT_EQ(got.framed[k].in_set, framed[k].in_set) << threads;
    }
    EXPECT_EQ(got.grouped.ids, grouped.ids) << threads;
    EXPECT_EQ(got.grouped.firsts, grouped.firsts) << threads;
  }
}

}  // namespace
}  // namespace ravick
