#include "signatures.h"

#include <gtest/gtest.h>

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
};

// Every kind at every position of a block and across block boundaries.
TEST(Signatures, FoundAtEveryOffset) {
  for (const Case& c : CASES) {
    for (size_t at = 0; at < 100; ++at) {
      std::vector<uint8_t> buf(at, 0x11);
      auto magic = bytes(c.magic);
      buf.insert(buf.end(), magic.begin(), magic.end());
      buf.resize(buf.size() + (at % 3), 0x11);
      auto hits = find(buf, 100);
      ASSERT_EQ(hits.size(), 1u) << c.magic << " at " << at;
      EXPECT_EQ(hits[0].offset, at);
      EXPECT_EQ(hits[0].kind, c.kind);
    }
  }
}

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
