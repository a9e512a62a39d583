#include "helpers/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vornatrel::helpers::utf8::is_valid_utf8;

bool valid(const std::string& s) {
  return is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

struct Utf8Case {
  std::string text;
  bool valid;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, Validates) {
  const auto& c = GetParam();
  EXPECT_EQ(valid(c.text), c.valid);
  // The same sequence behind a long ASCII run exercises the fast path and
  // the boundary between the two.
  for (size_t pad : {1u, 15u, 16u, 17u, 31u}) {
    EXPECT_EQ(valid(std::string(pad, 'a') + c.text), c.valid) << pad;
    EXPECT_EQ(valid(c.text + std::string(pad, 'a')), c.valid) << pad;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8,
    testing::Values(
        Utf8Case{"", true}, Utf8Case{std::string("\0", 1), true},
        Utf8Case{"\x7F", true}, Utf8Case{"\xC2\x80", true},
        Utf8Case{"\xDF\xBF", true}, Utf8Case{"\xE0\xA0\x80", true},
        Utf8Case{"\xED\x9F\xBF", true}, Utf8Case{"\xEE\x80\x80", true},
        Utf8Case{"\xEF\xBF\xBF", true}, Utf8Case{"\xF0\x90\x80\x80", true},
        Utf8Case{"\xF4\x8F\xBF\xBF", true},
        // Stray continuation, overlong forms, surrogates, above U+10FFFF.
        Utf8Case{"\x80", false}, Utf8Case{"\xBF", false},
        Utf8Case{"\xC0\x80", false}, Utf8Case{"\xC1\xBF", false},
        Utf8Case{"\xE0\x9F\xBF", false}, Utf8Case{"\xED\xA0\x80", false},
        Utf8Case{"\xED\xBF\xBF", false}, Utf8Case{"\xF0\x8F\xBF\xBF", false},
        Utf8Case{"\xF4\x90\x80\x80", false},
        Utf8Case{"\xF5\x80\x80\x80", false}, Utf8Case{"\xFF", false},
        Utf8Case{"\xFE", false},
        // Truncated and interrupted sequences.
        Utf8Case{"\xC2", false}, Utf8Case{"\xE2\x82", false},
        Utf8Case{"\xF0\x9F\x98", false}, Utf8Case{"\xC2\x41", false},
        Utf8Case{"\xE2\x41\x82", false}, Utf8Case{"\xF0\x9F\x41\x80", false}));

}  // namespace
