#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

struct EncodeCase {
  velmor::HexCase letters;
  velmor::HexOrder order;
  const char* text;  // of the bytes 00 01 ab ff
};

class HexEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(HexEncodeTest, WritesTwoDigitsAByteInTheAskedCaseAndOrder) {
  const EncodeCase& c = GetParam();
  const unsigned char bytes[] = {0x00, 0x01, 0xAB, 0xFF};
  EXPECT_EQ(velmor::HexEncode(bytes, sizeof bytes, c.letters, c.order), c.text);
  char out[9];
  std::memset(out, '#', sizeof out);
  velmor::HexEncodeInto(bytes, sizeof bytes, out, c.letters, c.order);
  EXPECT_EQ(std::string(out, 8), c.text);
  EXPECT_EQ(out[8], '#') << "wrote past the digits";
  EXPECT_EQ(velmor::HexEncode(nullptr, 4, c.letters, c.order), "");
  EXPECT_EQ(velmor::HexEncode(bytes, 0, c.letters, c.order), "");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, HexEncodeTest,
    ::testing::Values(
        EncodeCase{velmor::HexCase::kLower, velmor::HexOrder::kForward, "0001abff"},
        EncodeCase{velmor::HexCase::kUpper, velmor::HexOrder::kForward, "0001ABFF"},
        EncodeCase{velmor::HexCase::kLower, velmor::HexOrder::kReversed, "ffab0100"},
        EncodeCase{velmor::HexCase::kUpper, velmor::HexOrder::kReversed, "FFAB0100"}));

TEST(HexEncode, EveryByteDecodesBack) {
  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  for (const auto letters : {velmor::HexCase::kLower, velmor::HexCase::kUpper}) {
    const std::string text = velmor::HexEncode(all, sizeof all, letters);
    unsigned char back[257];
    ASSERT_EQ(HexDecode(text.c_str(), back), 256);
    EXPECT_EQ(std::memcmp(back, all, sizeof all), 0);
  }
}

}  // namespace
