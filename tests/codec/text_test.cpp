#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "codec/codec.h"

namespace {

using velmor::MallocChars;
using velmor::com::UniqueBstr;

// The ANSI code page is process-wide: each test names the one it needs and puts it back.
class AnsiText : public ::testing::Test {
 protected:
  void TearDown() override { velmor::com::SetAnsiCodePage(CP_ACP); }
  static void Use(UINT cp) { ASSERT_TRUE(velmor::com::SetAnsiCodePage(cp)); }
};

TEST_F(AnsiText, Utf8CopyOfA936Text) {
  Use(936);
  MallocChars utf8(velmor::AnsiToUtf8("a\xD6\xD0\xCE\xC4"));
  ASSERT_TRUE(utf8);
  EXPECT_STREQ(utf8.get(), "a\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(utf8.get()[std::strlen(utf8.get()) + 1], '\0') << "second zero byte missing";
}

TEST_F(AnsiText, Utf8CopyOfA1252Text) {
  Use(1252);
  MallocChars utf8(velmor::AnsiToUtf8("\x80\xE9"));
  ASSERT_TRUE(utf8);
  EXPECT_STREQ(utf8.get(), "\xE2\x82\xAC\xC3\xA9");
}

TEST_F(AnsiText, Utf8CopyOfEmptyAndNull) {
  Use(CP_UTF8);
  MallocChars empty(velmor::AnsiToUtf8(""));
  ASSERT_TRUE(empty);
  EXPECT_STREQ(empty.get(), "");
  EXPECT_EQ(velmor::AnsiToUtf8(nullptr), nullptr);
}

TEST_F(AnsiText, BstrCountsCharactersNotBytes) {
  Use(936);
  UniqueBstr b(velmor::AnsiToBstr("x\xD6\xD0\xCE\xC4"));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 3u);
  EXPECT_EQ(std::u16string(b.get()), u"x\u4E2D\u6587");
}

TEST_F(AnsiText, BstrKeepsLineFeedsAndEmptyText) {
  Use(CP_UTF8);
  UniqueBstr b(velmor::AnsiToBstr("A:00000003\nab"));
  ASSERT_TRUE(b);
  EXPECT_EQ(std::u16string(b.get()), u"A:00000003\nab");
  UniqueBstr empty(velmor::AnsiToBstr(""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(SysStringLen(empty.get()), 0u);
  EXPECT_EQ(velmor::AnsiToBstr(nullptr), nullptr);
}

TEST(UpperCaseAscii, ChangesOnlyAsciiLettersInTheFirst1024) {
  char name[] = "ou=qva, o=bank \xE9z";
  velmor::UpperCaseAscii(name);
  EXPECT_STREQ(name, "OU=QVA, O=BANK \xE9Z");

  std::string longText(1500, 'a');
  velmor::UpperCaseAscii(longText.data());
  EXPECT_EQ(longText.substr(0, 1024), std::string(1024, 'A'));
  EXPECT_EQ(longText.substr(1024), std::string(476, 'a'));
  velmor::UpperCaseAscii(nullptr);
}

struct CommaCase {
  const char* name;
  std::string src;
  int maxChars;
  std::string expected;
};
void PrintTo(const CommaCase& c, std::ostream* os) { *os << c.name; }

class CopyUntilCommaTest : public ::testing::TestWithParam<CommaCase> {};

TEST_P(CopyUntilCommaTest, Copies) {
  const CommaCase& c = GetParam();
  std::string dst(static_cast<std::size_t>(std::max(c.maxChars, 0)) + 2, '#');
  velmor::CopyUntilComma(dst.data(), c.maxChars, c.src.c_str());
  EXPECT_STREQ(dst.c_str(), c.expected.c_str());
  EXPECT_EQ(dst.back(), '#') << "wrote past maxChars + 1 bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, CopyUntilCommaTest,
    ::testing::Values(CommaCase{"StopsAtComma", "OU=QVA, O=Bank", 512, "OU=QVA"},
                      CommaCase{"NoComma", "CN=Someone", 512, "CN=Someone"},
                      CommaCase{"LimitedToMax", std::string(100, 'x'), 81, std::string(81, 'x')},
                      CommaCase{"Empty", "", 10, ""},
                      CommaCase{"NegativeMax", "abc", -3, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CopyUntilComma, NullSourceGivesEmptyText) {
  char dst[4] = "xyz";
  velmor::CopyUntilComma(dst, 3, nullptr);
  EXPECT_STREQ(dst, "");
}

}  // namespace
