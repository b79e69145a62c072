#include <gtest/gtest.h>

#include <cstring>

#include "codec/codec.h"

namespace {

using velmor::HexDecode;
using velmor::HexDigitValue;

TEST(HexDigitValue, AcceptsBothCasesOnly) {
  for (char c = '0'; c <= '9'; ++c) EXPECT_EQ(HexDigitValue(c), c - '0');
  for (char c = 'a'; c <= 'f'; ++c) EXPECT_EQ(HexDigitValue(c), c - 'a' + 10);
  for (char c = 'A'; c <= 'F'; ++c) EXPECT_EQ(HexDigitValue(c), c - 'A' + 10);
  for (char c : {'g', 'G', ' ', '/', ':', '@', '`', '\0', '\x80', '\xFF'}) {
    EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
  }
}

struct HexCase {
  const char* text;
  int result;
  const char* bytes;  // what stands in the buffer on success, terminator included
};

class HexDecodeTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexDecodeTest, Decodes) {
  const HexCase& c = GetParam();
  unsigned char out[16];
  std::memset(out, 0xAA, sizeof out);
  ASSERT_EQ(HexDecode(c.text, out), c.result);
  if (c.result >= 0) {
    EXPECT_EQ(std::memcmp(out, c.bytes, static_cast<std::size_t>(c.result) + 1), 0);
    EXPECT_EQ(out[c.result + 1], 0xAA) << "wrote past the terminator";
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, HexDecodeTest,
                         ::testing::Values(HexCase{"616263", 3, "abc"},
                                           HexCase{"61626", 2, "ab"},  // unpaired digit ignored
                                           HexCase{"4A4b", 2, "JK"}, HexCase{"", 0, ""},
                                           HexCase{"6x", -1, nullptr},
                                           HexCase{"61 2", -1, nullptr}));

TEST(HexDecode, NullArgumentsAreRefused) {
  unsigned char out[2];
  EXPECT_EQ(HexDecode(nullptr, out), -1);
  EXPECT_EQ(HexDecode("61", nullptr), -1);
}

}  // namespace
