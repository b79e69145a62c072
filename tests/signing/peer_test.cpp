// Interoperability with the `openssl` tool: raw signatures verify with `openssl dgst -md5`,
// PKCS #7 messages with `openssl cms`, and SignCert gives back the certificate's own bytes.
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "tests/signing/fixture.h"
// After the fixture: GLib's TRUE and FALSE macros must not meet the COM layer's constants.
#include "tests/support/owners.h"

namespace velmor::testing {
namespace {

using owners::Pkcs7;

std::string StoredText() { return std::string(g_szSignData); }

bool IsUpperHex(const std::string& text) {
  return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// Every line of a Base64 result but the last is 72 characters, ended by a line feed.
void ExpectBase64Lines(const std::string& text) {
  std::size_t start = 0;
  for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
    EXPECT_EQ(lf - start, 72u);
    start = lf + 1;
  }
  EXPECT_LE(text.size() - start, 72u);
}

class PeerTest : public SigningTest, public ::testing::WithParamInterface<int> {
 protected:
  int Bits() const { return GetParam(); }
  std::size_t HexDigits() const { return static_cast<std::size_t>(Bits()) / 4; }

  // The SignatureHex at the end of a result after its prefix and eight-digit length.
  std::string SignatureOf(const std::string& result, std::size_t prefixLength) {
    EXPECT_GE(result.size(), prefixLength + 8);
    if (result.size() < prefixLength + 8) return {};
    char digits[24];
    std::snprintf(digits, sizeof digits, "%08zu", HexDigits());
    EXPECT_EQ(result.substr(prefixLength, 8), digits) << result;
    std::string hex = result.substr(prefixLength + 8);
    EXPECT_EQ(hex.size(), HexDigits());
    EXPECT_TRUE(IsUpperHex(hex)) << hex;
    return hex;
  }

  // Checks the message with `openssl cms` and its structure with OpenSSL's decoder.
  void ExpectMessageCarries(const TestCert& cert, const std::string& base64,
                            const std::string& content) {
    ASSERT_NE(base64.rfind("E:", 0), 0u) << base64;
    ExpectBase64Lines(base64);
    const std::vector<std::uint8_t> der = DecodeBase64(base64);
    const auto messagePath = Dir() / "message.der";
    const auto contentPath = Dir() / "content.bin";
    WriteFile(messagePath, der);
    const CommandResult verify =
        velmor::testing::Run("openssl cms -verify -inform DER -noverify -in '" +
                             messagePath.string() + "' -out '" + contentPath.string() + "'");
    ASSERT_EQ(verify.status, 0) << verify.output;
    const std::vector<std::uint8_t> carried = ReadFile(contentPath);
    EXPECT_EQ(std::string(carried.begin(), carried.end()), content);

    const unsigned char* p = der.data();
    Pkcs7 message(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(message);
    ASSERT_TRUE(PKCS7_type_is_signed(message.get()));
    STACK_OF(X509)* certs = message->d.sign->cert;
    ASSERT_EQ(sk_X509_num(certs), 1);
    unsigned char* certDer = nullptr;
    const int certLength = i2d_X509(sk_X509_value(certs, 0), &certDer);
    EXPECT_EQ(std::vector<std::uint8_t>(certDer, certDer + certLength), cert.der);
    OPENSSL_free(certDer);
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(message.get());
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(signers), 1);
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    EXPECT_LE(sk_X509_ATTRIBUTE_num(signer->auth_attr), 0) << "signed attributes present";
    EXPECT_EQ(OBJ_obj2nid(signer->digest_alg->algorithm), NID_md5);
  }
};

TEST_P(PeerTest, SignDataVerifiesOverTheStoredLayout) {
  const TestCert cert = ImportSigner(Bits());
  SetSignData(state_, "abc~!~def");
  const std::string stored = StoredText();
  ASSERT_EQ(stored.size(), 64u + 3u);
  const std::string result = Call(GetSignData);
  ASSERT_EQ(result.rfind("A:00000067" + stored, 0), 0u) << result;
  const std::string hex = SignatureOf(result, 2 + 8 + stored.size());
  EXPECT_TRUE(VerifiesWithOpenssl(cert, stored, hex));
}

TEST_P(PeerTest, SignatureAndSignFileMatchTheSignDataSignature) {
  const TestCert cert = ImportSigner(Bits());
  SetSignData(state_, "abc");
  const std::string data = Call(GetSignData);
  ASSERT_EQ(data.rfind("A:00000003abc", 0), 0u) << data;
  const std::string fromData = SignatureOf(data, 13);

  const std::string raw = Call(GetSignature);
  ASSERT_EQ(raw.rfind("L:", 0), 0u) << raw;
  const std::string fromSignature = SignatureOf(raw, 2);

  WriteFile(Dir() / "abc.txt", std::string("abc"));
  SetSignFile(state_, (Dir() / "abc.txt").string().c_str());
  const std::string file = Call(GetSignFile);
  ASSERT_EQ(file.rfind("F:", 0), 0u) << file;
  const std::string fromFile = SignatureOf(file, 2);

  // PKCS #1 v1.5 is deterministic: the same bytes give the same signature on every path.
  EXPECT_EQ(fromSignature, fromData);
  EXPECT_EQ(fromFile, fromData);
  EXPECT_TRUE(VerifiesWithOpenssl(cert, std::string("abc"), fromSignature));
}

TEST_P(PeerTest, EmptyTextSignsZeroBytes) {
  const TestCert cert = ImportSigner(Bits());
  const std::string raw = Call(GetSignature);
  ASSERT_EQ(raw.rfind("L:", 0), 0u) << raw;
  EXPECT_TRUE(VerifiesWithOpenssl(cert, std::string(), SignatureOf(raw, 2)));
  ExpectMessageCarries(cert, Call(PKCS7Data), "");
}

TEST_P(PeerTest, Pkcs7CarriesTheTextAndOnlyTheSignerCertificate) {
  const TestCert cert = ImportSigner(Bits());
  SetSignData(state_, "pay 100 to Bob~!~ref 42");
  ExpectMessageCarries(cert, Call(PKCS7Data), StoredText());
}

TEST_P(PeerTest, SignCertIsTheCertificateDer) {
  const TestCert cert = ImportSigner(Bits());
  const std::string base64 = Call(SignCert);
  ExpectBase64Lines(base64);
  EXPECT_EQ(DecodeBase64(base64), cert.der);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, PeerTest, ::testing::Values(1024, 2048),
                         [](const auto& row) { return "Rsa" + std::to_string(row.param); });

// Under a double-byte code page the text is signed as its ANSI bytes and its length counts
// bytes, not characters; a CN given as UTF-16 comes out in the same code page.
class DoubleByteCodePage : public SigningTest {
 protected:
  void SetUp() override {
    SigningTest::SetUp();
    previous_ = GetACP();
    ASSERT_TRUE(com::SetAnsiCodePage(936));
  }
  void TearDown() override {
    com::SetAnsiCodePage(previous_);
    SigningTest::TearDown();
  }
  UINT previous_ = 0;
};

TEST_F(DoubleByteCodePage, SignsTheAnsiBytes) {
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert);
  // "中文" in UTF-16; its GBK form is D6 D0 CE C4, four bytes, so the subject length is 04.
  std::u16string cnText = u"04\u4e2d\u6587";
  char serialLength[8];
  std::snprintf(serialLength, sizeof serialLength, "%02zu", cert.serialHex.size());
  for (const char* c = serialLength; *c != '\0'; ++c) cnText.push_back(static_cast<char16_t>(*c));
  for (char c : cert.serialHex) cnText.push_back(static_cast<char16_t>(c));
  SetCN(state_, Base64OfUtf16(cnText).c_str());
  EXPECT_STREQ(g_szCNSubject, "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(std::string(g_szCN), cert.serialHex);

  const std::string text = "\xD6\xD0\xCE\xC4~!~\xB2\xE2\xCA\xD4";  // 中文~!~测试
  SetSignData(state_, text.c_str());
  const std::string stored = StoredText();
  ASSERT_EQ(stored, "\xD6\xD0\xCE\xC4" + std::string(57, ' ') + "~!~\xB2\xE2\xCA\xD4");
  const std::string result = Call(GetSignData);
  ASSERT_EQ(result.rfind("A:00000068" + stored + "00000256", 0), 0u) << result;
  EXPECT_TRUE(VerifiesWithOpenssl(cert, stored, result.substr(2 + 8 + 68 + 8)));
  ExpectBase64Lines(Call(PKCS7Data));
}

TEST_F(SigningTest, CNAndSignDataAreSharedByEveryControl) {
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert);
  CtrlState first;
  CtrlState second;
  SetCN(first, CNText("CN=Alice", cert.serialHex).c_str());
  SetSignData(first, "shared");
  EXPECT_EQ(GetCN(second), CNText("CN=Alice", cert.serialHex));
  const std::string result = GetSignData(second);
  EXPECT_TRUE(second.WorkingHandlesEmpty());
  ASSERT_EQ(result.rfind("A:00000006shared00000256", 0), 0u) << result;
  EXPECT_TRUE(VerifiesWithOpenssl(cert, std::string("shared"), result.substr(24)));
}

TEST_F(SigningTest, CertificateFormNamesTheSigner) {
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert);
  const std::string base64 = CertBase64(cert);
  ASSERT_GE(base64.size(), 256u);
  SetCN(state_, base64.c_str());
  EXPECT_STREQ(g_szCNSubject, "CN=Alice");
  EXPECT_EQ(std::string(g_szCN), cert.serialHex);
  EXPECT_TRUE(state_.m_bModified);
  SetSignData(state_, "abc");
  const std::string result = Call(GetSignData);
  ASSERT_EQ(result.rfind("A:00000003abc00000256", 0), 0u) << result;
  EXPECT_TRUE(VerifiesWithOpenssl(cert, std::string("abc"), result.substr(21)));
}

// A "CN=" inside a quoted value is no common name: the CN setter reads the same name as the
// certificate list shows.
TEST_F(SigningTest, CertificateFormAndListAgreeOnTheName) {
  const TestCert cert = MakeCert(Spec("/O=ACN=Fake/CN=Real/OU=QVA"));
  ImportWithKey("MY", cert);
  SetCN(state_, CertBase64(cert).c_str());
  EXPECT_STREQ(g_szCNSubject, "CN=Real");
  EXPECT_EQ(Call(getCertList), "CN=Real," + cert.serialHex + ";");
}

TEST_F(SigningTest, CertificateFormLeavesAnOverlongSerialUnnamed) {
  CertSpec spec;
  spec.serial.assign(41, 0x11);
  TestCert longSerial = MakeCert(spec);
  SetCN(state_, CertBase64(longSerial).c_str());
  EXPECT_STREQ(g_szCNSubject, "CN=Alice");
  EXPECT_STREQ(g_szCN, "");
  EXPECT_EQ(g_szCN[kSerialBufferSize - 1], '\0');

  spec.serial.assign(40, 0x11);
  TestCert longest = MakeCert(spec);
  SetCN(state_, CertBase64(longest).c_str());
  EXPECT_EQ(std::string(g_szCN), std::string(80, '1'));
}

}  // namespace
}  // namespace velmor::testing
