#include "helpers/varint.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "helpers/abort.h"

namespace vornatrel::helpers::varint {
namespace {

using ByteVec = std::vector<uint8_t>;

ByteVec repeat(uint8_t b, size_t n, ByteVec tail = {}) {
  ByteVec v(n, b);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

struct VarintCase {
  std::string name;
  ByteVec bytes;
  uint64_t pos;
  bool ok;
  uint64_t value;    // success only
  uint64_t padding;  // success only
  uint64_t next;     // success only; a failure always ends at the length
};

std::ostream& operator<<(std::ostream& os, const VarintCase& c) {
  return os << c.name;
}

constexpr uint64_t MAX = ~uint64_t{0};
constexpr uint64_t BIT63 = uint64_t{1} << 63;

const VarintCase kVarintCases[] = {
    {"zero", {0x00}, 0, true, 0, 0, 1},
    {"one_byte_max", {0x7F}, 0, true, 127, 0, 1},
    {"two_bytes", {0xAC, 0x02}, 0, true, 300, 0, 2},
    {"two_bytes_max", {0xFF, 0x7F}, 0, true, 0x3FFF, 0, 2},
    {"pad_1", {0x80, 0x00}, 0, true, 0, 1, 2},
    {"pad_2", {0x80, 0x80, 0x00}, 0, true, 0, 2, 3},
    {"value_then_pad_2", {0xFF, 0x80, 0x00}, 0, true, 127, 2, 3},
    {"pad_1_after_payload", {0x81, 0x81, 0x00}, 0, true, 129, 1, 3},
    {"pad_run_stops_at_payload", {0x80, 0x81, 0x80, 0x00}, 0, true, 128, 2, 4},
    {"pad_1_deep", {0x81, 0x80, 0x81, 0x00}, 0, true, 16385, 1, 4},
    {"ten_bytes_max", repeat(0xFF, 9, {0x01}), 0, true, MAX, 0, 10},
    {"ten_bytes_bit63", repeat(0x80, 9, {0x01}), 0, true, BIT63, 0, 10},
    {"nine_bytes_canonical", repeat(0xFF, 8, {0x7F}), 0, true, BIT63 - 1, 0, 9},
    {"ten_bytes_all_pad", repeat(0x80, 9, {0x00}), 0, true, 0, 9, 10},
    {"byte10_overflow_0x02", repeat(0xFF, 9, {0x02}), 0, false, 0, 0, 0},
    {"byte10_overflow_0x7f", repeat(0xFF, 9, {0x7F}), 0, false, 0, 0, 0},
    {"byte10_overflow_continued", repeat(0xFF, 9, {0x82, 0x00}), 0, false, 0, 0,
     0},
    {"byte10_bit0_continued", repeat(0x80, 9, {0x81, 0x00}), 0, true, BIT63, 1,
     11},
    {"byte10_pad_continued", repeat(0xFF, 9, {0x80, 0x00}), 0, true, BIT63 - 1,
     2, 11},
    {"max_with_pad", repeat(0xFF, 9, {0x81, 0x00}), 0, true, MAX, 1, 11},
    {"payload_in_byte11", repeat(0xFF, 9, {0x81, 0x01}), 0, false, 0, 0, 0},
    {"overflow_byte11_continued", repeat(0x80, 10, {0x82, 0x00}), 0, false, 0,
     0, 0},
    {"overflow_byte12", repeat(0x80, 11, {0x01}), 0, false, 0, 0, 0},
    {"eleven_bytes_pad_10", repeat(0x80, 10, {0x00}), 0, true, 0, 10, 11},
    {"twenty_one_bytes_pad_20", repeat(0x80, 20, {0x00}), 0, true, 0, 20, 21},
    {"forty_one_bytes_pad_40", repeat(0x80, 40, {0x00}), 0, true, 0, 40, 41},
    {"truncated_single", {0x80}, 0, false, 0, 0, 0},
    {"truncated_two", {0xFF, 0xFF}, 0, false, 0, 0, 0},
    {"truncated_nine", repeat(0xFF, 9), 0, false, 0, 0, 0},
    {"truncated_after_byte10", repeat(0xFF, 9, {0x81}), 0, false, 0, 0, 0},
    {"truncated_long_run", repeat(0x80, 30), 0, false, 0, 0, 0},
    {"empty_buffer", {}, 0, false, 0, 0, 0},
    {"pos_at_end", {0x05, 0x06}, 2, false, 0, 0, 0},
    {"inside_buffer", {0x05, 0xAC, 0x02, 0x07}, 1, true, 300, 0, 3},
    {"inside_buffer_padded", {0x05, 0x80, 0x00, 0x07}, 1, true, 0, 1, 3},
    {"inside_buffer_one_byte", {0x05, 0x00}, 1, true, 0, 0, 2},
    {"failure_inside_buffer", {0x01, 0x80, 0x80}, 1, false, 0, 0, 0},
};

void expect_result(const VarintCase& c, const ByteVec& buf,
                   const VarintResult& r) {
  ASSERT_EQ(r.ok, c.ok);
  const Bytes garbage = r.garbage(buf);
  if (c.ok) {
    EXPECT_EQ(r.value, c.value);
    EXPECT_EQ(r.padding, c.padding);
    EXPECT_EQ(r.next, c.next);
    EXPECT_TRUE(garbage.empty());
  } else {
    EXPECT_EQ(r.next, buf.size());
    EXPECT_EQ(r.padding, 0u);
    EXPECT_EQ(r.garbage_start, c.pos);
    EXPECT_EQ(garbage.size(), buf.size() - c.pos);
    EXPECT_EQ(garbage.data(), buf.data() + c.pos);
  }
}

class VarintTable : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintTable, Multibyte) {
  const VarintCase& c = GetParam();
  expect_result(c, c.bytes, parse_varint_multibyte(c.bytes, c.pos));
}

TEST_P(VarintTable, Uncommon) {
  const VarintCase& c = GetParam();
  expect_result(c, c.bytes, parse_varint_uncommon(c.bytes, c.pos));
}

INSTANTIATE_TEST_SUITE_P(Cases, VarintTable, ::testing::ValuesIn(kVarintCases),
                         [](const auto& info) { return info.param.name; });

// A successful decode must not depend on what follows the varint; trailing
// bytes also move the fast path from its checked to its unchecked form.
TEST(Varint, SuccessIgnoresTrailingBytes) {
  for (const VarintCase& c : kVarintCases) {
    if (!c.ok) continue;
    SCOPED_TRACE(c.name);
    for (uint8_t fill : {0x00, 0x80, 0xFF}) {
      ByteVec buf = c.bytes;
      buf.insert(buf.end(), 12, fill);
      expect_result(c, buf, parse_varint_multibyte(buf, c.pos));
      expect_result(c, buf, parse_varint_uncommon(buf, c.pos));
    }
  }
}

ByteVec encode_canonical(uint64_t v) {
  ByteVec out;
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
  return out;
}

// Every bit position and every length from 1 to 10 bytes, through both the
// checked (varint at the end) and the unchecked (bytes to spare) fast path.
TEST(Varint, CanonicalRoundTripEveryBit) {
  std::vector<uint64_t> values;
  for (int k = 0; k < 64; ++k) {
    const uint64_t bit = uint64_t{1} << k;
    values.insert(values.end(), {bit, bit - 1, bit | 1, ~bit});
  }
  for (uint64_t v : values) {
    ByteVec buf = encode_canonical(v);
    const uint64_t len = buf.size();
    for (int spare : {0, 16}) {
      buf.resize(len + spare, 0xFF);
      const VarintResult r = parse_varint_multibyte(buf, 0);
      ASSERT_TRUE(r.ok) << v;
      EXPECT_EQ(r.value, v);
      EXPECT_EQ(r.next, len) << v;
      EXPECT_EQ(r.padding, 0u) << v;
    }
  }
}

// The fast path and the general decoder agree on arbitrary byte soup.
TEST(Varint, FastPathAgreesWithGeneralDecoder) {
  const uint8_t alphabet[] = {0x00, 0x01, 0x02, 0x7F, 0x80, 0x81, 0xFE, 0xFF};
  std::mt19937 rng(12345);
  for (int iter = 0; iter < 200000; ++iter) {
    ByteVec buf(rng() % 16);
    for (auto& b : buf) b = alphabet[rng() % sizeof alphabet];
    const uint64_t pos = buf.empty() ? 0 : rng() % (buf.size() + 1);
    const VarintResult a = parse_varint_multibyte(buf, pos);
    const VarintResult b = parse_varint_uncommon(buf, pos);
    ASSERT_EQ(a.ok, b.ok);
    ASSERT_EQ(a.value, b.value);
    ASSERT_EQ(a.padding, b.padding);
    ASSERT_EQ(a.next, b.next);
    ASSERT_EQ(a.garbage_start, b.garbage_start);
  }
}

template <typename F>
std::string abort_text(F&& f) {
  try {
    f();
  } catch (const InternalAbort& e) {
    return e.what();
  }
  return "<no abort>";
}

TEST(Varint, PositionPastEndAborts) {
  const ByteVec buf = {0x01, 0x02};
  const std::string text = "assertion failed: start <= buflen";
  EXPECT_EQ(abort_text([&] { parse_varint_multibyte(buf, 3); }), text);
  EXPECT_EQ(abort_text([&] { parse_varint_uncommon(buf, 3); }), text);
  EXPECT_EQ(abort_text([&] { parse_varint_multibyte(buf, MAX); }), text);
  EXPECT_EQ(abort_text([&] { parse_varint_multibyte(Bytes{}, 1); }), text);
}

TEST(Wiretag, AtOrPastEndAborts) {
  const ByteVec buf = {0x08};
  const std::string text = "parse_wiretag called at end of buffer";
  EXPECT_EQ(abort_text([&] { parse_wiretag(buf, 1); }), text);
  EXPECT_EQ(abort_text([&] { parse_wiretag(buf, 2); }), text);
  EXPECT_EQ(abort_text([&] { parse_wiretag(Bytes{}, 0); }), text);
}

struct TagCase {
  std::string name;
  ByteVec bytes;
  uint64_t pos;
  bool ok;
  uint64_t field_number;
  uint8_t wire_type;
  uint64_t next;
  bool non_canonical;
};

std::ostream& operator<<(std::ostream& os, const TagCase& c) {
  return os << c.name;
}

const TagCase kTagCases[] = {
    {"field1_varint", {0x08}, 0, true, 1, VARINT, 1, false},
    {"field0", {0x00}, 0, true, 0, VARINT, 1, false},
    {"field1_len", {0x0A, 0x00}, 0, true, 1, LEN, 1, false},
    {"field15_i32", {0x7D}, 0, true, 15, I32, 1, false},
    {"end_group", {0x0C}, 0, true, 1, END_GROUP, 1, false},
    {"wire_type_6", {0x0E, 0x01}, 0, false, 0, 0, 0, false},
    {"wire_type_7", {0x0F}, 0, false, 0, 0, 0, false},
    {"wire_type_6_multibyte", {0x8E, 0x01}, 0, false, 0, 0, 0, false},
    {"wire_type_7_truncated", {0xFF}, 0, false, 0, 0, 0, false},
    {"two_byte_field16", {0x80, 0x01}, 0, true, 16, VARINT, 2, false},
    {"non_canonical_field1", {0x88, 0x00}, 0, true, 1, VARINT, 2, true},
    {"non_canonical_long", {0x8A, 0x80, 0x80, 0x00}, 0, true, 1, LEN, 4, true},
    {"truncated", {0x88}, 0, false, 0, 0, 0, false},
    {"max_field_number",
     {0xFA, 0xFF, 0xFF, 0xFF, 0x0F},
     0,
     true,
     0x1FFFFFFF,
     LEN,
     5,
     false},
    {"field_above_2_29",
     {0xF8, 0xFF, 0xFF, 0xFF, 0x1F},
     0,
     true,
     0x3FFFFFFF,
     VARINT,
     5,
     false},
    {"ten_byte_tag_ok",
     {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
     0,
     true,
     (MAX >> 3),
     VARINT,
     10,
     false},
    {"overflow",
     {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
     0,
     false,
     0,
     0,
     0,
     false},
    {"inside_buffer", {0x00, 0x12, 0x00}, 1, true, 2, LEN, 2, false},
    {"inside_buffer_multibyte", {0x00, 0x92, 0x01}, 1, true, 18, LEN, 3, false},
};

class TagTable : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagTable, Parses) {
  const TagCase& c = GetParam();
  const std::optional<WireTag> t = parse_wiretag(c.bytes, c.pos);
  ASSERT_EQ(t.has_value(), c.ok);
  if (!t) return;
  EXPECT_EQ(t->field_number, c.field_number);
  EXPECT_EQ(t->wire_type, c.wire_type);
  EXPECT_EQ(t->next, c.next);
  EXPECT_EQ(t->non_canonical, c.non_canonical);
}

INSTANTIATE_TEST_SUITE_P(Cases, TagTable, ::testing::ValuesIn(kTagCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vornatrel::helpers::varint
