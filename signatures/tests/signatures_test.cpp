#include "signatures.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace ravick::signatures {
namespace {

std::vector<uint8_t> bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

struct Case {
  std::string magic;
  Kind kind;
};

const Case CASES[] = {
    {std::string("\x1F\x8B\x08\x00", 4), Kind::gzip},
    {std::string("\x78\x9C\x4B", 3), Kind::zlib},
    {std::string("\x78\xDA\x01", 3), Kind::zlib},
    {std::string("\x78\x01\x63", 3), Kind::zlib},
    {std::string("\x78\x5E\x63", 3), Kind::zlib},
    {std::string("\x28\xB5\x2F\xFD", 4), Kind::zstd},
    {std::string("\x04\x22\x4D\x18", 4), Kind::lz4},
    {"XALZ", Kind::xalz},
    {std::string("\xFD\x37\x7A\x58\x5A\x00", 6), Kind::xz},
    {"BZh91AY&SY", Kind::bzip2},
    {std::string("PK\x05\x06", 4), Kind::zip_end},
    {"CgdhLnByb3Rv", Kind::base64},       // base64 of 0A 07 "a.proto"
    {"CgdhLnB\"+\"yb3Rv", Kind::base64},  // split across two literals
    {std::string("C\0g\0d\0h\0L\0n\0B\0y\0b\0003\0R\0v\0", 24),
     Kind::base64_utf16},
};

class EveryWidth : public ::testing::TestWithParam<unsigned> {};

// Every kind at every position of a block and across block boundaries,
// with every vector width this processor runs.
TEST_P(EveryWidth, FoundAtEveryOffset) {
  for (const Case& c : CASES) {
    for (size_t at = 0; at < 150; ++at) {
      std::vector<uint8_t> buf(at, 0x11);
      auto magic = bytes(c.magic);
      buf.insert(buf.end(), magic.begin(), magic.end());
      buf.resize(buf.size() + (at % 3), 0x11);
      std::vector<Hit> hits;
      if (!find_with_width(GetParam(), buf, 100, &hits)) GTEST_SKIP();
      ASSERT_EQ(hits.size(), 1u) << c.magic << " at " << at;
      EXPECT_EQ(hits[0].offset, at);
      EXPECT_EQ(hits[0].kind, c.kind);
    }
  }
}

// A range holds exactly the whole search's hits at its offsets, each checked
// against the bytes past the range's end, with every width.
TEST_P(EveryWidth, RangesHoldTheWholeSearchsHits) {
  std::mt19937_64 rng(8);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> buf;
    while (buf.size() < 600) {
      if (rng() % 4 == 0) {
        auto magic = bytes(CASES[rng() % std::size(CASES)].magic);
        buf.insert(buf.end(), magic.begin(), magic.end());
      } else {
        buf.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 'C' : rng()));
      }
    }
    std::vector<Hit> whole;
    if (!find_with_width(GetParam(), buf, 1000, &whole)) GTEST_SKIP();
    size_t begin = rng() % (buf.size() + 1);
    size_t end = begin + rng() % (buf.size() + 1 - begin);
    std::vector<Hit> part;
    ASSERT_TRUE(
        find_with_width(GetParam(), buf, 1000, &part, nullptr, begin, end));
    std::vector<Hit> expected;
    for (const Hit& h : whole) {
      if (h.offset >= begin && h.offset < end) expected.push_back(h);
    }
    ASSERT_EQ(part.size(), expected.size()) << round;
    for (size_t k = 0; k < part.size(); ++k) {
      EXPECT_EQ(part[k].offset, expected[k].offset);
      EXPECT_EQ(part[k].kind, expected[k].kind);
    }
  }
}

// Dense random bytes hold many partial matches: every width agrees with
// the byte-by-byte reference.
TEST_P(EveryWidth, AgreesWithTheReference) {
  std::vector<uint8_t> buf(1 << 16);
  uint32_t x = 12345;
  for (auto& b : buf) {
    x = x * 1103515245u + 12345u;
    // Few distinct values, so that first and second bytes meet often.
    const uint8_t pool[] = {0x1F, 0x8B, 0x08, 0x00, 0x78, 0x9C,
                            0x01, 'P',  'K',  5,    6};
    b = pool[(x >> 16) % sizeof(pool)];
  }
  std::vector<Hit> hits;
  if (!find_with_width(GetParam(), buf, buf.size(), &hits)) GTEST_SKIP();
  std::vector<Hit> expected;
  for (size_t at = 0; at < buf.size(); ++at) {
    Kind kind;
    if (signature_at(buf, at, &kind)) expected.push_back({at, kind});
  }
  ASSERT_EQ(hits.size(), expected.size());
  ASSERT_FALSE(expected.empty());
  for (size_t k = 0; k < hits.size(); ++k) {
    EXPECT_EQ(hits[k].offset, expected[k].offset);
    EXPECT_EQ(hits[k].kind, expected[k].kind);
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, EveryWidth,
                         ::testing::Values(128u, 256u, 512u, EXACT_512));

TEST(Signatures, NearMissesAreNotHits) {
  const std::string misses[] = {
      std::string("\x1F\x8B\x07\x00", 4),  // not deflate
      std::string("\x1F\x8B\x08\x20", 4),  // reserved flag
      std::string("\x78\x9D\x00", 3),      // FCHECK fails
      std::string("\x78\x9C\x06", 3),      // block type 3
      std::string("\x28\xB5\x2F\xFE", 4),
      "XALY",
      std::string("\xFD\x37\x7A\x58\x5A\x01", 6),
      "BZh01AY&SY",
      "BZh91AY&SX",
      std::string("PK\x03\x04", 4),
      "CgdhLnByb3Ru",  // "a.protn"
      "CgdhLnByb3",    // cut
      "Code review",
      std::string("\x1F\x8B\x08", 3),  // cut at the end
  };
  for (const auto& m : misses) {
    EXPECT_TRUE(find(bytes(m), 100).empty()) << m;
  }
}

TEST(Signatures, HitsPerKindAreCapped) {
  std::string s;
  for (int k = 0; k < 50; ++k) s += std::string("PK\x05\x06", 4) + "XALZ";
  uint64_t dropped[KIND_COUNT];
  auto hits = find(bytes(s), 10, dropped);
  EXPECT_EQ(hits.size(), 20u);
  EXPECT_EQ(dropped[static_cast<size_t>(Kind::zip_end)], 40u);
  EXPECT_EQ(dropped[static_cast<size_t>(Kind::xalz)], 40u);
  EXPECT_EQ(dropped[static_cast<size_t>(Kind::gzip)], 0u);
}

TEST(Signatures, EmptyAndTinyBuffers) {
  EXPECT_TRUE(find({}, 10).empty());
  EXPECT_TRUE(find(bytes("P"), 10).empty());
}

}  // namespace
}  // namespace ravick::signatures
