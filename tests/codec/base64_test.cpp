#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace {

using velmor::Base64Decode;
using velmor::Base64Encode;
using velmor::MallocBytes;
using velmor::MallocChars;

std::string Encode(const std::string& bytes) {
  MallocChars text(Base64Encode(reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<int>(bytes.size())));
  return text ? std::string(text.get()) : std::string("<null>");
}

// A plain reference encoder, written from the definition and not from our table code: the
// oracle for the line layout of every length.
std::string ReferenceEncode(const std::string& in) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  int onLine = 0;
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += a[(v >> s) & 63];
    if (++onLine == 18) {
      out += '\n';
      onLine = 0;
    }
  }
  const std::size_t rest = in.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += a[(v >> 18) & 63];
    out += a[(v >> 12) & 63];
    out += rest == 2 ? a[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

struct EncodeCase {
  const char* name;
  std::string input;
  std::string expected;
};
void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class Base64EncodeTest : public ::testing::TestWithParam<EncodeCase> {};
TEST_P(Base64EncodeTest, Encodes) { EXPECT_EQ(Encode(GetParam().input), GetParam().expected); }

const std::string k72(72, 'A');  // 54 zero bytes encode to 72 "A"
INSTANTIATE_TEST_SUITE_P(
    Vectors, Base64EncodeTest,
    ::testing::Values(EncodeCase{"Empty", "", ""}, EncodeCase{"One", "a", "YQ=="},
                      EncodeCase{"Two", "ab", "YWI="}, EncodeCase{"Three", "abc", "YWJj"},
                      EncodeCase{"HighBytes", "\xFF\xFE\xFD", "//79"},
                      EncodeCase{"FullLineEndsInLineFeed", std::string(54, '\0'), k72 + "\n"},
                      EncodeCase{"PaddedGroupAfterFullLine", std::string(55, '\0'),
                                 k72 + "\nAA=="},
                      EncodeCase{"TwoFullLines", std::string(108, '\0'),
                                 k72 + "\n" + k72 + "\n"},
                      EncodeCase{"PartialSecondLine", std::string(57, '\0'),
                                 k72 + "\nAAAA"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Base64Encode, MatchesTheReferenceAndFitsItsAllocationAtEveryLength) {
  std::mt19937 rng(7);
  for (int len = 0; len <= 400; ++len) {
    std::string in(static_cast<std::size_t>(len), '\0');
    for (auto& c : in) c = static_cast<char>(rng());
    const std::string text = Encode(in);
    ASSERT_EQ(text, ReferenceEncode(in)) << len;
    ASSERT_LT(text.size(), velmor::Base64EncodedSize(len)) << len;
  }
}

TEST(Base64Encode, RefusesNegativeLengthAndNullData) {
  const BYTE b = 0;
  EXPECT_EQ(Base64Encode(&b, -1), nullptr);
  EXPECT_EQ(Base64Encode(nullptr, 3), nullptr);
  MallocChars empty(Base64Encode(nullptr, 0));
  ASSERT_TRUE(empty);
  EXPECT_STREQ(empty.get(), "");
}

TEST(Base64Encode, AllocationSizeFollowsTheFormula) {
  EXPECT_EQ(velmor::Base64EncodedSize(0), 6u);
  EXPECT_EQ(velmor::Base64EncodedSize(54), 72u + 2 + 5);
  EXPECT_EQ(velmor::Base64EncodedSize(-5), 0u);
}

struct DecodeCase {
  const char* name;
  const char* text;
  int status;
  std::string bytes;
};
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Base64DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64DecodeTest, Decodes) {
  const DecodeCase& c = GetParam();
  BYTE* out = reinterpret_cast<BYTE*>(1);  // must stay untouched on failure
  DWORD length = 12345;
  const int status = Base64Decode(c.text, &out, &length);
  ASSERT_EQ(status, c.status);
  if (status != velmor::kBase64Ok) {
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(1));
    EXPECT_EQ(length, 12345u);
    return;
  }
  MallocBytes owned(out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Base64DecodeTest,
    ::testing::Values(
        DecodeCase{"Three", "YWJj", 0, "abc"}, DecodeCase{"OnePadded", "YQ==", 0, "a"},
        DecodeCase{"TwoPadded", "YWI=", 0, "ab"},
        DecodeCase{"WhiteSpaceInsideGroup", "YW\r\nJj", 0, "abc"},
        DecodeCase{"AllSixWhiteSpaces", " Y\tW\nJ\vj\f\r", 0, "abc"},
        DecodeCase{"Empty", "", 0, ""}, DecodeCase{"WhiteSpaceOnly", " \n\t", 0, ""},
        DecodeCase{"LengthNotMultipleOf4", "YWJ", 2, ""},
        DecodeCase{"BadCharacter", "YW*j", 3, ""},
        DecodeCase{"HighByteIsInvalid", "YWJ\xC3", 3, ""},
        DecodeCase{"DataAfterPadding", "YQ==YWJj", 1, ""},
        DecodeCase{"ThirdPositionPadEndsGroup", "QQ=A", 0, "A"},
        DecodeCase{"PadSplitByLineFeed", "QQ=\n=", 0, "A"},
        DecodeCase{"PadInFirstPositionsIsZero", "==AA", 0, std::string(3, '\0')},
        // An invalid byte anywhere outranks the other failures.
        DecodeCase{"InvalidAfterPadding", "YQ==YW*j", 3, ""},
        DecodeCase{"BadLengthOutranksEarlyEnd", "YQ==YWJ", 2, ""},
        DecodeCase{"LongLineThenBadChar",
                   "YWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJjYWJj!", 3, ""},
        DecodeCase{"LongLines", "YWJjYWJjYWJjYWJj\nYWJjYWJjYWJjYWJj\n", 0,
                   "abcabcabcabcabcabcabcabc"},
        DecodeCase{"PadInsideFastRun", "YWJjYQ==YWJjYWJj", 1, ""}),
    [](const auto& p) { return std::string(p.param.name); });

// A plain two-pass decoder written from the definition (count and check first, then decode
// group by group): the oracle for the single-pass table decoder and its fast path.
int ReferenceDecode(const std::string& text, std::string& out) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const std::string space = " \f\n\r\t\v";
  std::string significant;
  for (char c : text) {
    if (space.find(c) != std::string::npos) continue;
    if (c != '=' && alphabet.find(c) == std::string::npos) return 3;
    significant += c;
  }
  if (significant.size() % 4 != 0) return 2;
  out.clear();
  for (std::size_t g = 0; g < significant.size(); g += 4) {
    unsigned x[4];
    for (int k = 0; k < 4; ++k) {
      const char c = significant[g + static_cast<std::size_t>(k)];
      x[k] = c == '=' ? 0 : static_cast<unsigned>(alphabet.find(c));
    }
    const bool last = g + 4 == significant.size();
    out += static_cast<char>((x[0] << 2) | (x[1] >> 4));
    if (significant[g + 2] == '=') return last ? 0 : 1;
    out += static_cast<char>(((x[1] << 4) | (x[2] >> 2)) & 0xFF);
    if (significant[g + 3] == '=') return last ? 0 : 1;
    out += static_cast<char>(((x[2] << 6) | x[3]) & 0xFF);
  }
  return 0;
}

TEST(Base64Decode, AgreesWithAPlainDecoderOnMixedText) {
  // Mostly alphabet characters, so that runs long enough for the fast path occur, with padding,
  // white space and now and then a byte outside the alphabet wherever they may fall.
  const std::string pool =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/==\n \r\t";
  std::mt19937 rng(23);
  for (int round = 0; round < 20000; ++round) {
    std::string text(rng() % 120, '\0');
    for (auto& c : text) c = pool[rng() % pool.size()];
    if (rng() % 8 == 0 && !text.empty()) text[rng() % text.size()] = "*\x80-\xFF."[rng() % 5];
    std::string expected;
    const int expectedStatus = ReferenceDecode(text, expected);
    BYTE* out = nullptr;
    DWORD length = 0;
    ASSERT_EQ(Base64Decode(text.c_str(), &out, &length), expectedStatus) << text;
    MallocBytes owned(out);
    if (expectedStatus == 0) {
      ASSERT_EQ(std::string(reinterpret_cast<char*>(out), length), expected) << text;
    }
  }
}

TEST(Base64Decode, NullTextIsStatus1) {
  EXPECT_EQ(Base64Decode(nullptr, nullptr, nullptr), velmor::kBase64NoInput);
}

TEST(Base64Decode, OutputsAreOptional) {
  DWORD length = 0;
  EXPECT_EQ(Base64Decode("YWJj", nullptr, &length), 0);  // buffer released inside
  EXPECT_EQ(length, 3u);
  BYTE* out = nullptr;
  EXPECT_EQ(Base64Decode("YWJj", &out, nullptr), 0);
  MallocBytes owned(out);
  EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
}

TEST(Base64, RoundTripsRandomDataThroughTheLineLayout) {
  std::mt19937 rng(11);
  for (int len : {0, 1, 2, 53, 54, 55, 56, 107, 108, 109, 1000, 4099}) {
    std::string in(static_cast<std::size_t>(len), '\0');
    for (auto& c : in) c = static_cast<char>(rng());
    const std::string text = Encode(in);
    BYTE* out = nullptr;
    DWORD length = 0;
    ASSERT_EQ(Base64Decode(text.c_str(), &out, &length), 0) << len;
    MallocBytes owned(out);
    ASSERT_EQ(std::string(reinterpret_cast<char*>(out), length), in) << len;
  }
}

}  // namespace
