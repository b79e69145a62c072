// The SignData layout and the CN forms: what the setters store, refuse and report back.
#include <cstring>
#include <functional>

#include "tests/signing/fixture.h"

namespace velmor::testing {
namespace {

std::string Repeat(std::size_t n, char c = 'a') { return std::string(n, c); }

struct LayoutCase {
  const char* name;
  std::function<std::string()> value;
  std::function<std::string()> stored;  // empty: refused
};

class SignDataLayout : public SigningTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(SignDataLayout, StoresTheLaidOutTextOrRefuses) {
  // A previous value must not survive a refused one.
  SetSignData(state_, "previous");
  state_.m_bModified = false;
  const std::string value = GetParam().value();
  const std::string expected = GetParam().stored();
  SetSignData(state_, value.c_str());
  EXPECT_EQ(std::string(g_szSignData), expected);
  EXPECT_EQ(state_.m_bModified, !expected.empty());
  if (expected.empty()) {
    // Refused: nothing stored anywhere in the buffer.
    EXPECT_EQ(std::memchr(g_szSignData, 'p', kSignDataSize), nullptr);
    EXPECT_EQ(Call(GetSignData), "E:0100");
  }
}

const LayoutCase kLayoutCases[] = {
    {"ShortHead", [] { return std::string("abc~!~def"); },
     [] { return "abc" + Repeat(58, ' ') + "~!~def"; }},
    {"EmptyHead", [] { return std::string("~!~x"); }, [] { return Repeat(61, ' ') + "~!~x"; }},
    {"HeadFillsBlock", [] { return Repeat(61) + "~!~tail"; },
     [] { return Repeat(61) + "~!~tail"; }},
    {"HeadFillsTwoBlocks", [] { return Repeat(125) + "~!~"; }, [] { return Repeat(125) + "~!~"; }},
    {"HeadOneOver", [] { return Repeat(62) + "~!~y"; },
     [] { return Repeat(62) + Repeat(63, ' ') + "~!~y"; }},
    {"OnlyFirstSeparatorCounts", [] { return std::string("a~!~b~!~c"); },
     [] { return "a" + Repeat(60, ' ') + "~!~b~!~c"; }},
    {"NoSeparator", [] { return std::string("plain text"); },
     [] { return std::string("plain text"); }},
    {"LongestWithoutSeparator", [] { return Repeat(599999); }, [] { return Repeat(599999); }},
    {"TooLong", [] { return Repeat(600000); }, [] { return std::string(); }},
    {"LayoutMakesItTooLong", [] { return Repeat(599990) + "~!~" + Repeat(6); },
     [] { return std::string(); }},
    {"Empty", [] { return std::string(); }, [] { return std::string(); }},
    // The limit holds after the layout: 61 blanks make these 599999 and 600000 bytes long.
    {"LaidOutToTheLongest", [] { return "~!~" + Repeat(599935); },
     [] { return Repeat(61, ' ') + "~!~" + Repeat(599935); }},
    {"LaidOutOneTooLong", [] { return "~!~" + Repeat(599936); }, [] { return std::string(); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, SignDataLayout, ::testing::ValuesIn(kLayoutCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SigningTest, AbsentSignDataClearsAndIsNotAModification) {
  SetSignData(state_, "abc");
  state_.m_bModified = false;
  SetSignData(state_, nullptr);
  EXPECT_EQ(g_szSignData[0], '\0');
  EXPECT_FALSE(state_.m_bModified);
}

struct CNCase {
  const char* name;
  std::function<std::string()> value;
  const char* subject;
  const char* serial;
  bool modified;
  const char* reported;  // what the CN getter answers afterwards
};

class CNForms : public SigningTest, public ::testing::WithParamInterface<CNCase> {};

TEST_P(CNForms, StoresBothPartsAsTheRulesSay) {
  SetCN(state_, "06CN=Old04ffff");
  state_.m_bModified = false;
  const std::string value = GetParam().value();
  SetCN(state_, value.c_str());
  EXPECT_STREQ(g_szCNSubject, GetParam().subject);
  EXPECT_STREQ(g_szCN, GetParam().serial);
  EXPECT_EQ(state_.m_bModified, GetParam().modified);
  EXPECT_EQ(GetCN(state_), GetParam().reported);
}

const CNCase kCNCases[] = {
    {"Plain", [] { return std::string("06CN=Ann04010a"); }, "CN=Ann", "010a", true,
     "06CN=Ann04010a"},
    {"OddSerialGainsLeadingZero", [] { return std::string("06CN=Ann03abc"); }, "CN=Ann", "0abc",
     true, "06CN=Ann040abc"},
    {"SubjectTooLong", [] { return "80CN=" + Repeat(90); }, "", "", false, ""},
    {"SerialTooLong", [] { return "06CN=Ann40" + Repeat(40, '1'); }, "CN=Ann", "", false, ""},
    {"LongestSerial", [] { return "06CN=Ann39" + Repeat(39, '1'); }, "CN=Ann",
     "0111111111111111111111111111111111111111", true,
     "06CN=Ann400111111111111111111111111111111111111111"},
    {"NegativeSubjectLength", [] { return std::string("-1CN=Ann04010a"); }, "", "", false, ""},
    {"NegativeSerialLength", [] { return std::string("06CN=Ann-2010a"); }, "CN=Ann", "", false, ""},
    {"BlankAndSignInLengths", [] { return std::string(" 6CN=Ann+4010a"); }, "CN=Ann", "010a", true,
     "06CN=Ann04010a"},
    {"LengthStopsAtNonDigit", [] { return std::string("6xCN=Ann04010a"); }, "CN=Ann", "010a", true,
     "06CN=Ann04010a"},
    {"LengthWithoutDigitsIsZero", [] { return std::string("x6CN=Ann04010a"); }, "", "", true, ""},
    {"SubjectShorterThanAnnounced", [] { return std::string("20CN=Ann"); }, "CN=Ann", "", true, ""},
    {"SerialShorterThanAnnounced", [] { return std::string("06CN=Ann08010a"); }, "CN=Ann", "",
     false, ""},
    {"SerialLengthFieldCut", [] { return std::string("06CN=Ann4"); }, "CN=Ann", "", false, ""},
    {"UppercaseSerialKept", [] { return std::string("06CN=Ann04010A"); }, "CN=Ann", "010A", true,
     "06CN=Ann04010A"},
    {"WideBase64", [] { return Base64OfUtf16(u"06CN=Ann04010a"); }, "CN=Ann", "010a", true,
     "06CN=Ann04010a"},
    {"WideBase64StopsAtZero",
     [] { return Base64OfUtf16(std::u16string(u"06CN=Ann04010a\0zz", 17)); }, "CN=Ann", "010a",
     true, "06CN=Ann04010a"},
    {"WideBase64WithoutCNPrefix", [] { return Base64OfUtf16(u"03Bob02ab"); }, "Bob", "ab", true,
     "03Bob02ab"},
    {"NotBase64", [] { return std::string("not base64!"); }, "", "", false, ""},
    {"TooShortForEitherForm", [] { return std::string("ab"); }, "", "", false, ""},
    {"Empty", [] { return std::string(); }, "", "", true, ""},
    {"CertificateFormNotBase64", [] { return Repeat(300, '!'); }, "", "", true, ""},
    {"CertificateFormNotACertificate", [] { return Repeat(300, 'A'); }, "", "", true, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, CNForms, ::testing::ValuesIn(kCNCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SigningTest, AbsentCNReportsNothingAndSelectsNothing) {
  SetCN(state_, "06CN=Ann04010a");
  SetCN(state_, nullptr);
  EXPECT_STREQ(g_szCNSubject, "NULL");
  EXPECT_STREQ(g_szCN, "");
  EXPECT_TRUE(state_.m_bModified);
  EXPECT_EQ(GetCN(state_), "");
}

TEST_F(SigningTest, LongSubjectIsReportedWithThreeDigits) {
  std::memset(g_szCNSubject, 'x', 120);
  std::strcpy(g_szCN, "01");
  EXPECT_EQ(GetCN(state_), "120" + Repeat(120, 'x') + "0201");
}

TEST_F(SigningTest, SignFileStoresAtMost255Characters) {
  SetSignFile(state_, Repeat(255, 'p').c_str());
  EXPECT_EQ(std::string(g_szSignFile), Repeat(255, 'p'));
  // A longer path is refused, not cut to a path that may name another file.
  SetSignFile(state_, Repeat(300, 'q').c_str());
  EXPECT_STREQ(g_szSignFile, "");
  SetSignFile(state_, Repeat(256, 'q').c_str());
  EXPECT_STREQ(g_szSignFile, "");
  SetSignFile(state_, "short");
  EXPECT_STREQ(g_szSignFile, "short");
  SetSignFile(state_, nullptr);
  EXPECT_STREQ(g_szSignFile, "");
  EXPECT_TRUE(state_.m_bModified);
}

TEST_F(SigningTest, SignatureSetterStoresNothing) {
  SetSignData(state_, "abc");
  SetSignature(state_, "x");
  EXPECT_STREQ(g_szSignData, "abc");
  EXPECT_TRUE(state_.m_bModified);
}

}  // namespace
}  // namespace velmor::testing
