// Subject text as CertNameToStrA writes it: callers cut it at "," and look for "CN=" and "OU=".
#include <gtest/gtest.h>

#include <cstring>

#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;

std::string NameText(const TestCert& cert) {
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                    static_cast<DWORD>(cert.der.size()));
  EXPECT_NE(ctx, nullptr);
  if (ctx == nullptr) return {};
  DWORD size = CertNameToStrA(X509_ASN_ENCODING, &ctx->pCertInfo->Subject, CERT_X500_NAME_STR,
                              nullptr, 0);
  std::string text(size, '\0');
  DWORD written = CertNameToStrA(X509_ASN_ENCODING, &ctx->pCertInfo->Subject, CERT_X500_NAME_STR,
                                 text.data(), size);
  EXPECT_EQ(written, size);
  CertFreeCertificateContext(ctx);
  text.resize(size > 0 ? size - 1 : 0);
  return text;
}

struct NameCase {
  const char* name;
  const char* subject;
  const char* text;
};

class NameTextTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameTextTest, IsWhatWindowsWrites) {
  EXPECT_EQ(NameText(MakeCert(Spec(GetParam().subject))), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameTextTest,
    ::testing::Values(
        NameCase{"EncodedOrder", "/CN=Alice/OU=QVA/O=Tarnvik Bank", "CN=Alice, OU=QVA, O=Tarnvik Bank"},
        NameCase{"ReverseOrderKept", "/C=SE/O=Bank/OU=QWB/CN=Bo", "C=SE, O=Bank, OU=QWB, CN=Bo"},
        NameCase{"MultiValuedRdn", "/CN=Ann+OU=QVA/O=Bank", "CN=Ann + OU=QVA, O=Bank"},
        NameCase{"X500Keys",
                 "/L=Town/ST=Land/street=Main 1/title=Dr/GN=Ann/initials=AB/SN=Lind/serialNumber=42",
                 "L=Town, S=Land, STREET=Main 1, T=Dr, G=Ann, I=AB, SN=Lind, SERIALNUMBER=42"},
        NameCase{"EmailAndDomain", "/emailAddress=a@b.se/DC=bank/DC=se", "E=a@b.se, DC=bank, DC=se"},
        NameCase{"UnknownOid", "/1.2.3.4=x/CN=y", "OID.1.2.3.4=x, CN=y"},
        NameCase{"CommaQuoted", "/CN=Lind\\, Ann/OU=QVA", "CN=\"Lind, Ann\", OU=QVA"},
        NameCase{"QuoteDoubled", "/CN=say \"hi\"", "CN=\"say \"\"hi\"\"\""},
        NameCase{"LeadingBlank", "/CN= x", "CN=\" x\""},
        NameCase{"TrailingBlank", "/CN=x ", "CN=\"x \""},
        NameCase{"SpecialCharacters", "/CN=a\\+b/O=c=d/OU=#1/L=x;y/ST=<z>",
                 "CN=\"a+b\", O=\"c=d\", OU=\"#1\", L=\"x;y\", S=\"<z>\""},
        NameCase{"InnerBlanksPlain", "/CN=Ann Lind", "CN=Ann Lind"},
        NameCase{"EmptyValueQuoted", "/1.2.3.4=/CN=y", "OID.1.2.3.4=\"\", CN=y"},
        NameCase{"LineFeedQuoted", "/CN=a\nb/OU=QVA", "CN=\"a\nb\", OU=QVA"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(NameTextBufferTest, SizeQueryAndTruncation) {
  TestCert cert = MakeCert(Spec("/CN=Alice/OU=QVA"));
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                    static_cast<DWORD>(cert.der.size()));
  ASSERT_NE(ctx, nullptr);
  CERT_NAME_BLOB* subject = &ctx->pCertInfo->Subject;
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, 0), 17u);
  char small[6];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, small, sizeof small), 6u);
  EXPECT_STREQ(small, "CN=Al");
  CertFreeCertificateContext(ctx);
}

TEST(NameTextBufferTest, CorruptNameLeavesAnEmptyText) {
  BYTE junk[] = {0x30, 0x05, 0x31, 0x09, 0x00};
  CERT_NAME_BLOB blob{sizeof junk, junk};
  char text[32] = "unchanged";
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text, sizeof text), 1u);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(GetLastError() & 0xFFFFFF00u, CRYPT_E_ASN1_ERROR);
}

TEST(NameTextBufferTest, ValuesAreInTheAnsiCodePage) {
  TestCert cert = MakeCert(Spec("/CN=Zo\xC3\xAB"));
  EXPECT_EQ(NameText(cert), "CN=Zo\xC3\xAB");  // UTF-8 as the code page
  if (!velmor::com::SetAnsiCodePage(1252)) GTEST_SKIP() << "code page 1252 not available";
  std::string text = NameText(cert);
  velmor::com::SetAnsiCodePage(CP_UTF8);
  EXPECT_EQ(text, "CN=Zo\xEB");
}

}  // namespace
