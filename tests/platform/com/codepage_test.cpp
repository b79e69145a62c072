#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/com/com.h"

namespace {

struct Decode {
  const char* name;
  UINT codePage;
  std::string bytes;
  DWORD flags;
  std::u16string wide;  // expected; empty: the call fails with ERROR_NO_UNICODE_TRANSLATION
};

void PrintTo(const Decode& d, std::ostream* os) { *os << d.name; }

class ToWide : public ::testing::TestWithParam<Decode> {};

TEST_P(ToWide, ConvertsAsWindowsDoes) {
  const Decode& d = GetParam();
  const int n = static_cast<int>(d.bytes.size());
  SetLastError(0);
  const int size = MultiByteToWideChar(d.codePage, d.flags, d.bytes.data(), n, nullptr, 0);
  if (d.wide.empty()) {
    EXPECT_EQ(size, 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    return;
  }
  ASSERT_EQ(size, static_cast<int>(d.wide.size()));
  std::u16string out(d.wide.size(), u'\0');
  ASSERT_EQ(MultiByteToWideChar(d.codePage, d.flags, d.bytes.data(), n, out.data(), size), size);
  EXPECT_EQ(out, d.wide);
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, ToWide,
    ::testing::Values(
        Decode{"Utf8Ascii", CP_UTF8, "abc", 0, u"abc"},
        Decode{"Utf8TwoByte", CP_UTF8, "h\xC3\xA9", 0, u"h\u00E9"},
        Decode{"Utf8Astral", CP_UTF8, "\xF0\x9F\x98\x80", 0, u"\U0001F600"},
        Decode{"Utf8BadByte", CP_UTF8, "a\xFF" "b", 0, u"a\uFFFD" "b"},
        Decode{"Utf8Overlong", CP_UTF8, "\xC0\x80", 0, u"\uFFFD\uFFFD"},
        Decode{"Utf8Surrogate", CP_UTF8, "\xED\xA0\x80", 0, u"\uFFFD\uFFFD\uFFFD"},
        Decode{"Utf8CutOff", CP_UTF8, "a\xE2\x82", 0, u"a\uFFFD"},
        Decode{"Utf8StrictRefuses", CP_UTF8, "a\xFF", MB_ERR_INVALID_CHARS, u""},
        Decode{"Cp1252Euro", 1252, "\x80\xE9", 0, u"\u20AC\u00E9"},
        Decode{"Cp1252UndefinedByte", 1252, "\x81", 0, u"\u0081"},
        Decode{"Cp1252StrictUndefined", 1252, "\x81", MB_ERR_INVALID_CHARS, u""},
        Decode{"Cp936TwoBytesAChar", 936, "\xD6\xD0\xCE\xC4", 0, u"\u4E2D\u6587"},
        Decode{"Cp936Mixed", 936, "a\xD6\xD0" "b", 0, u"a\u4E2D" "b"},
        Decode{"Cp936LeadByteCutOff", 936, "a\xD6", 0, u"a\uFFFD"},
        Decode{"Cp936StrictCutOff", 936, "a\xD6", MB_ERR_INVALID_CHARS, u""}),
    [](const auto& p) { return std::string(p.param.name); });

struct Encode {
  const char* name;
  UINT codePage;
  std::u16string wide;
  std::string bytes;
  bool usedDefault;
  DWORD flags = 0;
};

void PrintTo(const Encode& e, std::ostream* os) { *os << e.name; }

class FromWide : public ::testing::TestWithParam<Encode> {};

TEST_P(FromWide, ConvertsAsWindowsDoes) {
  const Encode& e = GetParam();
  const int n = static_cast<int>(e.wide.size());
  BOOL used = -1;
  BOOL* usedOut = e.codePage == CP_UTF8 ? nullptr : &used;
  const int size =
      WideCharToMultiByte(e.codePage, e.flags, e.wide.data(), n, nullptr, 0, nullptr, usedOut);
  ASSERT_EQ(size, static_cast<int>(e.bytes.size()));
  std::string out(e.bytes.size(), '\0');
  ASSERT_EQ(WideCharToMultiByte(e.codePage, e.flags, e.wide.data(), n, out.data(), size, nullptr,
                                usedOut),
            size);
  EXPECT_EQ(out, e.bytes);
  if (usedOut != nullptr) {
    EXPECT_EQ(used, e.usedDefault ? TRUE : FALSE);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, FromWide,
    ::testing::Values(Encode{"Utf8", CP_UTF8, u"h\u00E9\U0001F600", "h\xC3\xA9\xF0\x9F\x98\x80",
                             false},
                      Encode{"Utf8LoneSurrogate", CP_UTF8, u"a\xD800", "a\xEF\xBF\xBD", false},
                      Encode{"Cp1252", 1252, u"\u20AC\u00E9", "\x80\xE9", false},
                      Encode{"Cp1252Unmappable", 1252, u"a\u4E2D", "a?", true},
                      Encode{"Cp936", 936, u"\u4E2D\u6587", "\xD6\xD0\xCE\xC4", false},
                      Encode{"Cp936Unmappable", 936, u"\U0001F600", "?", true},
                      // U+00A3 maps one way to the full-width pound sign, which widens to U+FFE1.
                      Encode{"Cp932BestFitByDefault", 932, u"\u00A3", "\x81\x92", false},
                      Encode{"Cp932BestFitRefused", 932, u"\u00A3\u65E5", "?\x93\xFA", true,
                             WC_NO_BEST_FIT_CHARS}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CodePage, MinusOneCountsTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(MultiByteToWideChar(936, 0, "\xD6\xD0\xCE\xC4", -1, nullptr, 0), 3);
  WCHAR wide[3];
  ASSERT_EQ(MultiByteToWideChar(936, 0, "\xD6\xD0\xCE\xC4", -1, wide, 3), 3);
  EXPECT_EQ(wide[2], 0);
  EXPECT_EQ(WideCharToMultiByte(936, 0, wide, -1, nullptr, 0, nullptr, nullptr), 5);
}

TEST(CodePage, TooSmallABufferFailsWithTheSizeError) {
  WCHAR wide[2];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // A double-byte character never goes out half.
  char narrow[1];
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(936, 0, u"\u4E2D", 1, narrow, 1, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePage, DefaultCharacterIsTheCallersChoice) {
  char out[4] = {};
  BOOL used = FALSE;
  ASSERT_EQ(WideCharToMultiByte(1252, 0, u"\u4E2Dx", 2, out, 4, "*", &used), 2);
  EXPECT_STREQ(out, "*x");
  EXPECT_TRUE(used);
}

TEST(CodePage, StrictUtf8RefusesALoneSurrogate) {
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"\xDC00", 1, nullptr, 0,
                                nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(CodePage, WideToMultiByteSizesItselfAndDropsOnlyTheTerminator) {
  using velmor::com::WideToMultiByte;
  EXPECT_EQ(WideToMultiByte(CP_UTF8, nullptr, -1), std::string());
  EXPECT_EQ(WideToMultiByte(CP_UTF8, u"", -1), std::string());
  // Three bytes a character in UTF-8: more than "twice the length plus 2" would hold.
  EXPECT_EQ(WideToMultiByte(CP_UTF8, u"\u4e2d\u6587", -1), std::string("\xe4\xb8\xad\xe6\x96\x87"));
  // With an explicit count an embedded zero stays: the caller decides where a text ends.
  EXPECT_EQ(WideToMultiByte(CP_UTF8, u"a\0b", 3), std::string("a\0b", 3));
  // A lone surrogate has no form in code page 936: no text at all rather than a cut one.
  EXPECT_EQ(WideToMultiByte(936, u"\xd800", 1).value_or("?"), "?");
}

// A long text is narrowed block by block: a pair across a block's end, characters the code page
// lacks and a lone surrogate at the end come out as they do in a short text.
TEST(CodePage, LongTextNarrowsAsItsPiecesDo) {
  const std::u16string piece = u"ab\u00e9\u4e2d\U0001F600";  // 1252 has a and b and e-acute only
  std::u16string text;
  std::string expected;
  for (std::size_t width = 4090; width < 4096; ++width) {
    text.clear();
    expected.clear();
    while (text.size() < 3 * width) {
      text += piece;
      expected += "ab\xe9??";
    }
    text.insert(0, width - 1, u'x');  // the pair of the first piece straddles unit 4096 once
    expected.insert(0, width - 1, 'x');
    text += u'\xd800';
    expected += '?';
    for (DWORD flags : {DWORD{0}, WC_NO_BEST_FIT_CHARS}) {
      const int n = static_cast<int>(text.size());
      BOOL used = FALSE;
      const int size = WideCharToMultiByte(1252, flags, text.data(), n, nullptr, 0, nullptr, nullptr);
      ASSERT_EQ(size, static_cast<int>(expected.size())) << width;
      std::string out(expected.size(), '\0');
      ASSERT_EQ(WideCharToMultiByte(1252, flags, text.data(), n, out.data(), size, nullptr, &used), size);
      EXPECT_EQ(out, expected) << width;
      EXPECT_TRUE(used);
    }
  }
}

TEST(CodePage, BadArgumentsAreRefused) {
  WCHAR wide[4];
  char narrow[4];
  BOOL used;
  struct Case {
    const char* what;
    std::function<int()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"zero length", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"length -2", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"null output with a size",
       [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4); },
       ERROR_INVALID_PARAMETER},
      {"unknown code page", [&] { return MultiByteToWideChar(12345, 0, "a", 1, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"unknown flag", [&] { return MultiByteToWideChar(CP_UTF8, 0x1, "a", 1, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"utf-8 with a default character",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr); },
       ERROR_INVALID_PARAMETER},
      {"utf-8 with the used flag",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, nullptr, &used); },
       ERROR_INVALID_PARAMETER},
      {"null wide input",
       [&] { return WideCharToMultiByte(1252, 0, nullptr, 1, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(c.call(), 0) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
}

// The ANSI code page is process-wide: every test that changes it puts the locale's back.
class AnsiCodePage : public ::testing::Test {
 protected:
  void TearDown() override { velmor::com::SetAnsiCodePage(CP_ACP); }
};

TEST_F(AnsiCodePage, CpAcpFollowsTheChosenCodePage) {
  ASSERT_TRUE(velmor::com::SetAnsiCodePage(936));
  EXPECT_EQ(GetACP(), 936u);
  WCHAR wide[2];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xD6\xD0", 2, wide, 2), 1);
  EXPECT_EQ(wide[0], 0x4E2D);
  ASSERT_TRUE(velmor::com::SetAnsiCodePage(1252));
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xD6\xD0", 2, wide, 2), 2);
  EXPECT_EQ(wide[0], 0x00D6);
}

TEST_F(AnsiCodePage, UnsupportedCodePageChangesNothing) {
  ASSERT_TRUE(velmor::com::SetAnsiCodePage(1252));
  EXPECT_FALSE(velmor::com::SetAnsiCodePage(12345));
  EXPECT_EQ(GetACP(), 1252u);
}

TEST_F(AnsiCodePage, CLocaleCountsAsUtf8) {
  const char* old = std::getenv("LC_ALL");
  const std::string saved = old != nullptr ? old : "";
  setenv("LC_ALL", "C", 1);
  velmor::com::SetAnsiCodePage(CP_ACP);
  EXPECT_EQ(GetACP(), CP_UTF8);
  if (old != nullptr) {
    setenv("LC_ALL", saved.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

TEST(CodePageFromCharset, MapsTheCLibraryNames) {
  using velmor::com::CodePageFromCharset;
  EXPECT_EQ(CodePageFromCharset("UTF-8"), CP_UTF8);
  EXPECT_EQ(CodePageFromCharset("utf8"), CP_UTF8);
  EXPECT_EQ(CodePageFromCharset("ANSI_X3.4-1968"), CP_UTF8);
  EXPECT_EQ(CodePageFromCharset("GBK"), 936u);
  EXPECT_EQ(CodePageFromCharset("GB2312"), 936u);
  EXPECT_EQ(CodePageFromCharset("CP1252"), 1252u);
  EXPECT_EQ(CodePageFromCharset("ISO-8859-1"), 28591u);
  EXPECT_EQ(CodePageFromCharset("something-else"), CP_UTF8);
}

}  // namespace
