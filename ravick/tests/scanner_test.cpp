#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "helpers/abort.h"
#include "lib.h"
#include "prefilter.h"
#include "wkt_graph.h"

namespace ravick {
namespace {

using Buf = std::vector<uint8_t>;

Buf bytes_of(std::initializer_list<int> values) {
  Buf out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Buf bytes_of(const std::string& s) { return Buf(s.begin(), s.end()); }

void append(Buf& out, const Buf& more) {
  out.insert(out.end(), more.begin(), more.end());
}

Buf varint(uint64_t v) {
  Buf out;
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
  return out;
}

Buf name_record(const std::string& name) {
  Buf out{CANDIDATE_TAG};
  append(out, varint(name.size()));
  append(out, bytes_of(name));
  return out;
}

// Runs the scan first, so that nothing else in this binary has loaded the
// graph yet.
TEST(ScanGraphHolder, NoCandidateNeverLoadsTheGraph) {
  Buf plain(4096, 0x0A);
  append(plain, bytes_of("x.proto and \n\x05"
                         "a.pro"));
  EXPECT_TRUE(scan(plain).empty());
  EXPECT_TRUE(scan({}).empty());
  EXPECT_FALSE(wkt_graph::is_loaded());
}

struct VarintCase {
  Buf input;
  std::optional<DecodedVarint> expected;
};

class DecodeVarint : public testing::TestWithParam<VarintCase> {};

TEST_P(DecodeVarint, Decodes) {
  const auto& c = GetParam();
  auto got = decode_varint(c.input);
  ASSERT_EQ(got.has_value(), c.expected.has_value());
  if (got) {
    EXPECT_EQ(got->value, c.expected->value);
    EXPECT_EQ(got->length, c.expected->length);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeVarint,
    testing::Values(VarintCase{{}, std::nullopt},
                    VarintCase{{0x80}, std::nullopt},
                    VarintCase{{0x00}, DecodedVarint{0, 1}},
                    VarintCase{{0x7F, 0x55}, DecodedVarint{127, 1}},
                    VarintCase{{0x86, 0x00}, DecodedVarint{6, 2}},
                    VarintCase{{0x96, 0x01}, DecodedVarint{150, 2}},
                    VarintCase{Buf(10, 0xFF), std::nullopt},
                    VarintCase{Buf(11, 0x80), std::nullopt},
                    VarintCase{Buf(9, 0xFF), std::nullopt},
                    VarintCase{bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0x7F}),
                               DecodedVarint{UINT64_MAX, 10}},
                    // Bit 1 of the tenth byte is dropped.
                    VarintCase{bytes_of({0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                         0x80, 0x80, 0x80, 0x02}),
                               DecodedVarint{0, 10}},
                    VarintCase{bytes_of({0x81, 0x80, 0x80, 0x80, 0x80, 0x80,
                                         0x80, 0x80, 0x80, 0x01}),
                               DecodedVarint{1 | (uint64_t{1} << 63), 10}}));

struct NameCase {
  std::string name;
  bool passes;
};

class NameRules : public testing::TestWithParam<NameCase> {};

TEST_P(NameRules, PrefilterAtTagOffset) {
  const auto& c = GetParam();
  Buf buf = name_record(c.name);
  auto got = prefilter_at(buf, 0);
  EXPECT_EQ(got.has_value(), c.passes) << c.name;
  if (got) {
    EXPECT_EQ(got->name_end, buf.size());
    EXPECT_EQ(got->name_end - got->name_start, c.name.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NameRules,
    testing::Values(
        NameCase{".proto", true}, NameCase{"a.proto", true},
        NameCase{"proto", false}, NameCase{"a.prot", false},
        NameCase{"a.protox", false},
        NameCase{std::string(194, 'a') + ".proto", true},   // 200 bytes
        NameCase{std::string(195, 'a') + ".proto", false},  // 201 bytes
        NameCase{"/a.proto", false}, NameCase{"a//b.proto", false},
        NameCase{"./a.proto", false}, NameCase{"a/./b.proto", false},
        NameCase{"a/../b.proto", false}, NameCase{"../a.proto", false},
        NameCase{"a/", false}, NameCase{"a/b/..proto", true},
        NameCase{"a/.../b.proto", true}, NameCase{"a b.proto", true},
        NameCase{"a\\b.proto", true}, NameCase{"a\"b'.proto", true},
        NameCase{"a/.proto", true}, NameCase{"a\x7F.proto", false},
        NameCase{std::string("a\0b.proto", 9), false},
        NameCase{"a\x1F.proto", false}, NameCase{"a\xC2\x85.proto", false},
        NameCase{"a\xC2\x9F.proto", false}, NameCase{"a\xC2\xA0.proto", true},
        NameCase{"\xC3\xA9t\xC3\xA9.proto", true},
        NameCase{"a\xC0\xAF.proto", false},          // overlong "/"
        NameCase{"a\xED\xA0\x80.proto", false},      // surrogate
        NameCase{"a\xF4\x90\x80\x80.proto", false},  // above U+10FFFF
        NameCase{"a\xF0\x9F\x98\x80.proto", true},
        NameCase{"a\xFF.proto", false}, NameCase{"a\xC3.proto", false}));

TEST(Prefilter, RejectsWhatDoesNotFit) {
  // A tag as the last byte; a truncated length; a name running off the end;
  // a length of 201 with the bytes present.
  EXPECT_FALSE(prefilter_at(bytes_of({0x0A}), 0));
  EXPECT_FALSE(prefilter_at(bytes_of({0x0A, 0x86}), 0));
  Buf short_name = name_record("abc.proto");
  short_name.pop_back();
  EXPECT_FALSE(prefilter_at(short_name, 0));
  Buf long_len{0x0A, 0xC9, 0x01};
  append(long_len, bytes_of(std::string(195, 'a') + ".proto"));
  EXPECT_FALSE(prefilter_at(long_len, 0));
  Buf huge{0x0A};
  append(huge, Buf(9, 0xFF));
  huge.push_back(0x01);
  append(huge, bytes_of("a.proto"));
  EXPECT_FALSE(prefilter_at(huge, 0));
}

TEST(Prefilter, NonMinimalLengthPasses) {
  Buf buf{0x0A, 0x86, 0x00};
  append(buf, bytes_of(".proto"));
  auto got = prefilter_at(buf, 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->name_start, 3u);
  Buf padded{0x0A, 0x87, 0x80, 0x80, 0x00};
  append(padded, bytes_of("a.proto"));
  EXPECT_TRUE(prefilter_at(padded, 0));
}

TEST(FindSuffix, FindsEveryOccurrenceAtEveryAlignment) {
  for (size_t len : {6u, 7u, 63u, 64u, 68u, 69u, 70u, 100u, 200u, 333u}) {
    for (size_t at = 0; at + 6 <= len; at += 1) {
      Buf buf(len, '.');
      std::copy(NAME_SUFFIX, NAME_SUFFIX + 6, buf.begin() + at);
      EXPECT_EQ(find_suffix(buf, 0), at) << len << " " << at;
      EXPECT_EQ(find_suffix(buf, at + 1), len);
    }
  }
  Buf near_misses = bytes_of(".protO.prot .pRoto.proto");
  EXPECT_EQ(find_suffix(near_misses, 0), 18u);
}

ScoreResult clean_result(uint64_t end) {
  ScoreResult r;
  r.end = end;
  return r;
}

struct Verdict {
  std::string what;
  std::optional<ScoreResult> result;
  bool accepted;
};

class Acceptance : public testing::TestWithParam<Verdict> {};

TEST_P(Acceptance, FollowsTheVerdict) {
  Buf buf = name_record("a.proto");
  append(buf, bytes_of({0x12, 0x01, 'x'}));
  const auto& v = GetParam();
  auto got = scan_with(buf, [&](Bytes) { return v.result; });
  if (v.accepted) {
    ASSERT_EQ(got.size(), 1u) << v.what;
    EXPECT_EQ(got[0].start, 0u);
    EXPECT_EQ(got[0].end, v.result->end);
  } else {
    EXPECT_TRUE(got.empty()) << v.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Acceptance, testing::ValuesIn([] {
      std::vector<Verdict> vs;
      vs.push_back({"clean", clean_result(12), true});
      vs.push_back({"none", std::nullopt, false});
      auto dirty = [&](std::string what, auto edit) {
        ScoreResult r = clean_result(12);
        edit(r);
        vs.push_back({what, r, false});
      };
      dirty("vetoed", [](ScoreResult& r) { r.vetoed = true; });
      dirty("unknown", [](ScoreResult& r) { r.unknown = 1; });
      dirty("missing", [](ScoreResult& r) { r.missing_required = 1; });
      dirty("past end", [](ScoreResult& r) { r.end = 13; });
      dirty("name only", [](ScoreResult& r) { r.end = 9; });
      // Counters the scanner does not look at.
      ScoreResult tolerated = clean_result(12);
      tolerated.anomalies = tolerated.enum_out_of_range = tolerated.cuts = 3;
      tolerated.packing_mismatches = 1;
      vs.push_back({"tolerated", tolerated, true});
      // The re-walk reads only up to the first tag that is not `name`.
      vs.push_back({"inside a field", clean_result(10), true});
      return vs;
    }()));

struct RewalkCase {
  Buf accepted;
  bool passes;
};

class Rewalk : public testing::TestWithParam<RewalkCase> {};

TEST_P(Rewalk, NeedsAFieldBesidesName) {
  EXPECT_EQ(confirm_rewalk(GetParam().accepted), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rewalk,
    testing::Values(
        RewalkCase{{}, false}, RewalkCase{name_record("a.proto"), false},
        RewalkCase{[] {
                     Buf b = name_record("a.proto");
                     append(b, name_record("b.proto"));
                     return b;
                   }(),
                   false},
        RewalkCase{[] {
                     Buf b = name_record("a.proto");
                     append(b, bytes_of({0x00}));  // field 0 counts
                     return b;
                   }(),
                   true},
        RewalkCase{[] {
                     Buf b = name_record("a.proto");
                     append(b, bytes_of({0x80}));  // truncated tag
                     return b;
                   }(),
                   false},
        RewalkCase{bytes_of({0x08, 0x01}), false},       // field 1, not LEN
        RewalkCase{bytes_of({0x0A, 0x05, 'a'}), false},  // runs past
        RewalkCase{bytes_of({0x0A, 0x80}), false},       // bad length
        RewalkCase{[] {
                     Buf b{0x0A};
                     append(b, Buf(9, 0xFF));
                     b.push_back(0x01);  // length 2^64 - 1 must not wrap
                     b.push_back(0x12);
                     return b;
                   }(),
                   false},
        RewalkCase{bytes_of({0x8A, 0x00, 0x00, 0x7A}), true},  // padded tag
        RewalkCase{bytes_of({0xFF, 0x01}), true}));

TEST(ScanWith, SkipsInsideAcceptedRangeAndResumesAtItsEnd) {
  Buf first = name_record("a.proto");
  Buf inner = name_record("b.proto");
  append(first, bytes_of({0x12, static_cast<int>(inner.size())}));
  append(first, inner);
  Buf buf = first;
  Buf second = name_record("c.proto");
  append(second, bytes_of({0x12, 0x00}));
  append(buf, second);
  std::vector<uint64_t> asked;
  auto got = scan_with(buf, [&](Bytes candidate) {
    uint64_t start = buf.size() - candidate.size();
    asked.push_back(start);
    return std::optional<ScoreResult>(
        clean_result(start == 0 ? first.size() : second.size()));
  });
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].start, 0u);
  EXPECT_EQ(got[0].end, first.size());
  EXPECT_EQ(got[1].start, first.size());  // starts exactly at the last end
  EXPECT_EQ(got[1].end, buf.size());
  EXPECT_EQ(asked, (std::vector<uint64_t>{0, first.size()}));
}

TEST(ScanWith, RejectedCandidateIsSearchedAgainFromTheNextByte) {
  Buf buf = name_record("a.proto");
  uint64_t inner_start = buf.size();
  Buf inner = name_record("b.proto");
  append(inner, bytes_of({0x12, 0x00}));
  append(buf, inner);
  // The scorer walked all of `buf` for the first candidate, then failed it.
  auto got = scan_with(buf, [&](Bytes candidate) {
    uint64_t start = buf.size() - candidate.size();
    ScoreResult r = clean_result(candidate.size());
    if (start == 0) r.unknown = 1;
    return std::optional<ScoreResult>(r);
  });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].start, inner_start);
  EXPECT_EQ(got[0].end, buf.size());
}

// The byte-by-byte loop that the fast scan must agree with on every input.
template <typename Scorer>
std::vector<ByteRange> reference_scan(Bytes buf, Scorer&& score) {
  std::vector<ByteRange> out;
  uint64_t i = 0;
  while (i < buf.size()) {
    if (buf[i] == CANDIDATE_TAG && prefilter_at(buf, i)) {
      if (auto end = accept_candidate(buf, i, score(buf.subspan(i)))) {
        out.push_back({i, *end});
        i = *end;
        continue;
      }
    }
    ++i;
  }
  return out;
}

// A deterministic scorer that accepts some candidates with varied ends.
std::optional<ScoreResult> fake_scorer(Bytes candidate) {
  uint64_t h = candidate.size() * 0x9E3779B97F4A7C15ULL;
  h ^= candidate.size() >= 3 ? candidate[2] : 0;
  if ((h >> 60) == 0) return std::nullopt;
  ScoreResult r =
      clean_result(candidate.size() - (h % (candidate.size() + 1)) / 2);
  if ((h >> 58) % 5 == 0) r.unknown = 1;
  return r;
}

Buf random_input(std::mt19937_64& rng) {
  static const std::vector<std::string> names = {
      "a.proto",     ".proto",         "google/protobuf/any.proto",
      "a//b.proto",  "x/../y.proto",   "/abs.proto",
      "a\x01.proto", "\xC2\xA0.proto", "a.protp",
      "dir/.proto",  "a\xC3.proto",    "foo.proto.proto"};
  Buf out;
  size_t pieces = rng() % 40;
  for (size_t k = 0; k < pieces; ++k) {
    switch (rng() % 7) {
      case 0:
      case 1: {
        const std::string& n = names[rng() % names.size()];
        out.push_back(0x0A);
        uint64_t len = n.size();
        int skew = static_cast<int>(rng() % 9) - 4;
        if (rng() % 3 == 0) len += skew;
        Buf v = varint(len);
        if (rng() % 4 == 0) {  // non-minimal length
          v.back() |= 0x80;
          v.push_back(0x00);
        }
        append(out, v);
        append(out, bytes_of(n));
        break;
      }
      case 2:
        append(out, bytes_of(".proto"));
        break;
      case 3:
        out.push_back(0x0A);
        break;
      case 4:
        append(out, bytes_of({0x12, 0x02, 0x0A, 0x0A}));
        break;
      default: {
        size_t n = rng() % 30;
        for (size_t j = 0; j < n; ++j) {
          uint8_t b = static_cast<uint8_t>(rng());
          out.push_back(rng() % 3 == 0 ? 0x0A : b);
        }
      }
    }
  }
  if (rng() % 4 == 0) out.resize(out.size() * (rng() % 100) / 100);
  return out;
}

TEST(ScanWith, AgreesWithTheByteByByteLoop) {
  std::mt19937_64 rng(20261208);
  size_t with_ranges = 0;
  for (int round = 0; round < 20000; ++round) {
    Buf buf = random_input(rng);
    auto fast = scan_with(buf, fake_scorer);
    auto slow = reference_scan(buf, fake_scorer);
    ASSERT_EQ(fast.size(), slow.size()) << "round " << round;
    for (size_t k = 0; k < fast.size(); ++k) {
      ASSERT_EQ(fast[k].start, slow[k].start) << "round " << round;
      ASSERT_EQ(fast[k].end, slow[k].end) << "round " << round;
    }
    with_ranges += fast.empty() ? 0 : 1;
  }
  EXPECT_GT(with_ranges, 1000u);  // the generator really exercises acceptance
}

// The byte-by-byte loop over the candidates at [begin, end) only.
template <typename Scorer>
std::vector<ByteRange> reference_range(Bytes buf, Scorer&& score,
                                       uint64_t begin, uint64_t end) {
  std::vector<ByteRange> out;
  for (uint64_t i = begin; i < end && i < buf.size();) {
    if (buf[i] == CANDIDATE_TAG && prefilter_at(buf, i)) {
      if (auto stop = accept_candidate(buf, i, score(buf.subspan(i)))) {
        out.push_back({i, *stop});
        i = *stop;
        continue;
      }
    }
    ++i;
  }
  return out;
}

TEST(ScanWith, TakesTheCandidatesOfItsRangeOnly) {
  std::mt19937_64 rng(20261209);
  size_t cut_ranges = 0;
  for (int round = 0; round < 20000; ++round) {
    Buf buf = random_input(rng);
    uint64_t begin = buf.empty() ? 0 : rng() % (buf.size() + 1);
    uint64_t end =
        begin +
        (buf.size() - begin == 0 ? 0 : rng() % (buf.size() - begin + 1));
    auto fast = scan_with(buf, fake_scorer, begin, end);
    auto slow = reference_range(buf, fake_scorer, begin, end);
    ASSERT_EQ(fast.size(), slow.size()) << "round " << round;
    for (size_t k = 0; k < fast.size(); ++k) {
      ASSERT_EQ(fast[k].start, slow[k].start) << "round " << round;
      ASSERT_EQ(fast[k].end, slow[k].end) << "round " << round;
      cut_ranges += fast[k].end > end;
    }
  }
  EXPECT_GT(cut_ranges, 100u);  // ranges that run past the end are kept whole
}

// Names of every length up to the longest, their candidates just inside the
// end of the range, the buffer going on far past it.
TEST(ScanWith, TakesLongNamesAtTheEndOfItsRange) {
  for (uint64_t len : {6u, 100u, 199u, 200u}) {
    for (uint64_t back : {1u, 2u, 3u, 4u}) {
      Buf buf(1000, 0);
      uint64_t at = buf.size();
      buf.push_back(0x0A);
      append(buf, varint(len));
      append(buf, bytes_of(std::string(len - 6, 'a') + ".proto"));
      append(buf, bytes_of({0x12, 0x02, 'a', 'b'}));  // package "ab"
      uint64_t record = buf.size() - at;
      buf.resize(buf.size() + 100000, 0);
      auto whole = [&](Bytes) { return std::optional(clean_result(record)); };
      for (uint64_t end : {at + 1, at + back, at + len}) {
        auto got = scan_with(buf, whole, at + 1 - back, end);
        ASSERT_EQ(got.size(), 1u) << len << " " << back << " " << end - at;
        EXPECT_EQ(got[0].start, at);
        EXPECT_EQ(got[0].end, at + record);
      }
    }
  }
}

}  // namespace
}  // namespace ravick

namespace ravick {
namespace {

struct BrokenGraph {
  std::vector<uint8_t> file;
  std::string loader_message;
};

class GraphLoadFailure : public testing::TestWithParam<BrokenGraph> {};

TEST_P(GraphLoadFailure, IsAnAbortQuotingTheLoader) {
  const auto& c = GetParam();
  try {
    wkt_graph::load_or_abort(c.file);
    FAIL() << "no abort";
  } catch (const vornatrel::helpers::InternalAbort& abort) {
    EXPECT_EQ(std::string(abort.what()),
              "the embedded WKT graph must load; it is built by vornatrel's "
              "build: \"" +
                  c.loader_message + "\"");
  }
}

std::vector<uint8_t> header(uint32_t version, uint64_t root_offset) {
  std::vector<uint8_t> out = {'V', 'N', 'S', 'G', 'R', 'A', 'P', 'H'};
  for (int k = 0; k < 4; ++k) out.push_back(uint8_t(version >> (8 * k)));
  out.insert(out.end(), 4, 0);
  for (int k = 0; k < 8; ++k) out.push_back(uint8_t(root_offset >> (8 * k)));
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, GraphLoadFailure,
    testing::Values(
        BrokenGraph{{1, 2, 3}, "<embedded>: file too short"},
        BrokenGraph{std::vector<uint8_t>(24, 'x'), "<embedded>: bad magic"},
        BrokenGraph{header(6, 24),
                    "<embedded>: unsupported scoring-graph version 6 (this "
                    "build reads version 7); rebuild the schema database "
                    "with dravusk --schema-db-out"},
        BrokenGraph{header(7, 25),
                    "<embedded>: root offset 25 past end of file (24 "
                    "bytes)"}));

TEST(GraphHolder, LoadsTheCompiledInGraphOnce) {
  const auto& first = wkt_graph::graph();
  EXPECT_TRUE(wkt_graph::is_loaded());
  EXPECT_EQ(&first, &wkt_graph::graph());
  EXPECT_EQ(first.archive().size(), 8136u);
  EXPECT_TRUE(first.root().find_type(CANDIDATE_TYPE).has_value());
}

}  // namespace
}  // namespace ravick
