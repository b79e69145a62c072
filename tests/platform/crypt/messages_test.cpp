// Signed messages against the openssl tool, and the issuer check of a certificate.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signer_ = MakeCert(Spec("/CN=Signer/OU=QVA/O=Tarnvik Bank", {0x00, 0x9A, 0x01}));
    ImportWithKey("MY", signer_, AT_KEYEXCHANGE, "signer");
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ctx_ = CertEnumCertificatesInStore(store, nullptr);
    CertCloseStore(store, 0);
    ASSERT_NE(ctx_, nullptr);
  }
  void TearDown() override { CertFreeCertificateContext(ctx_); }

  // Sign: a message with exactly the parameters the PKCS #7 operation passes.
  std::vector<std::uint8_t> Sign(const std::string& text) {
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = ctx_;
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
    para.cMsgCert = 1;
    para.rgpMsgCert = &ctx_;
    const BYTE* items[] = {reinterpret_cast<const BYTE*>(text.data())};
    DWORD sizes[] = {static_cast<DWORD>(text.size())};
    DWORD len = 0;
    EXPECT_TRUE(CryptSignMessage(&para, FALSE, 1, items, sizes, nullptr, &len));
    const DWORD queried = len;
    std::vector<std::uint8_t> out(len);
    EXPECT_TRUE(CryptSignMessage(&para, FALSE, 1, items, sizes, out.data(), &len));
    // The size query does not sign, yet tells the exact size.
    EXPECT_EQ(len, queried);
    out.resize(len);
    return out;
  }

  // Verify: the content, or the last error; the signer's serial in `signerSerial`.
  DWORD Verify(const std::vector<std::uint8_t>& msg, std::string* content,
               std::string* signerSerial = nullptr) {
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD size = 0;
    if (!CryptVerifyMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), nullptr,
                                     &size, nullptr)) {
      return GetLastError();
    }
    std::vector<BYTE> out(size + 1);
    PCCERT_CONTEXT who = nullptr;
    if (!CryptVerifyMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), out.data(),
                                     &size, &who)) {
      return GetLastError();
    }
    content->assign(out.begin(), out.begin() + size);
    if (signerSerial != nullptr && who != nullptr) {
      const auto& s = who->pCertInfo->SerialNumber;
      signerSerial->clear();
      for (DWORD i = s.cbData; i > 0; --i) *signerSerial += BytesToHex(&s.pbData[i - 1], 1);
    }
    CertFreeCertificateContext(who);
    return 0;
  }

  TempDataHome home_;
  TestCert signer_;
  PCCERT_CONTEXT ctx_ = nullptr;
};

TEST_F(MessagesTest, OurMessageVerifiesWithTheOpensslTool) {
  std::string text = std::string(61, 'x') + "~!~" + "payload";
  std::vector<std::uint8_t> msg = Sign(text);
  auto dir = home_.path();
  WriteFile(dir / "msg.der", msg);
  CommandResult r = velmor::testing::Run("openssl cms -verify -inform DER -noverify -in '" +
                                         (dir / "msg.der").string() + "' -out '" +
                                         (dir / "content.bin").string() + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::uint8_t> content = ReadFile(dir / "content.bin");
  EXPECT_EQ(std::string(content.begin(), content.end()), text);
  // MD5, no signed attributes, the signer certificate alone.
  CommandResult print = velmor::testing::Run("openssl cms -cmsout -print -inform DER -in '" +
                                             (dir / "msg.der").string() + "'");
  ASSERT_EQ(print.status, 0) << print.output;
  EXPECT_NE(print.output.find("md5"), std::string::npos);
  auto after = [&](const std::string& label) {
    auto at = print.output.find(label);
    if (at == std::string::npos) return std::string();
    auto begin = print.output.find_first_not_of(" \n", at + label.size());
    return print.output.substr(begin, print.output.find('\n', begin) - begin);
  };
  EXPECT_EQ(after("signedAttrs:"), "<ABSENT>");
  EXPECT_EQ(after("unsignedAttrs:"), "<ABSENT>");
  // One certificate carried: one subject line.
  EXPECT_EQ(print.output.find("subject: "), print.output.rfind("subject: "));

  std::string back, serial;
  ASSERT_EQ(Verify(msg, &back, &serial), 0u);
  EXPECT_EQ(back, text);
  EXPECT_EQ(serial, "009a01");
}

TEST_F(MessagesTest, OpensslMessageVerifiesHere) {
  auto dir = home_.path();
  WriteFile(dir / "signer.pem", signer_.pem());
  WriteFile(dir / "key.pem", signer_.key.privatePem);
  WriteFile(dir / "data.txt", std::string("text from the server"));
  auto sign = [&](const std::string& extra, const std::string& out) {
    return velmor::testing::Run(
        "cd '" + dir.string() + "' && openssl cms -sign -md md5 -noattr -nodetach -binary -outform DER " +
        "-signer signer.pem -inkey key.pem -in data.txt -out " + out + " " + extra);
  };
  CommandResult r = sign("", "msg.der");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::uint8_t> msg = ReadFile(dir / "msg.der");
  std::string content;
  ASSERT_EQ(Verify(msg, &content), 0u);
  EXPECT_EQ(content, "text from the server");

  // Without the signer certificate in the message there is nothing to check against.
  r = sign("-nocerts", "bare.der");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Verify(ReadFile(dir / "bare.der"), &content), CRYPT_E_NOT_FOUND);

  // A changed content byte breaks the signature.
  auto at = std::search(msg.begin(), msg.end(), content.begin(), content.end());
  ASSERT_NE(at, msg.end());
  *at ^= 0x20;
  EXPECT_EQ(Verify(msg, &content), NTE_BAD_SIGNATURE);
}

TEST_F(MessagesTest, EmptyContentAndMalformedMessages) {
  std::vector<std::uint8_t> msg = Sign("");
  std::string content = "not empty";
  ASSERT_EQ(Verify(msg, &content), 0u);
  EXPECT_TRUE(content.empty());
  EXPECT_EQ(Verify({}, &content), CRYPT_E_ASN1_EOD);
  EXPECT_EQ(Verify({0x04, 0x00}, &content), CRYPT_E_ASN1_BADTAG);
  std::vector<std::uint8_t> cut(msg.begin(), msg.end() - 20);
  EXPECT_EQ(Verify(cut, &content) & 0xFFFFFF00u, CRYPT_E_ASN1_ERROR);
  // The size protocol: a short buffer gets ERROR_MORE_DATA and the size.
  msg = Sign("twelve bytes");
  CRYPT_VERIFY_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  BYTE small[4];
  DWORD size = sizeof small;
  EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), small,
                                           &size, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  EXPECT_FALSE(CryptVerifyMessageSignature(&para, 1, msg.data(), static_cast<DWORD>(msg.size()), nullptr,
                                           &size, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_SIGNER);
}

TEST_F(MessagesTest, SizeQueryIsExactForEveryContentLength) {
  for (const std::size_t n : {0u, 1u, 127u, 128u, 65536u, 600000u}) {
    std::string content;
    const std::vector<std::uint8_t> msg = Sign(std::string(n, 'c'));
    EXPECT_EQ(Verify(msg, &content), 0u) << n;
    EXPECT_EQ(content.size(), n);
  }
}

TEST_F(MessagesTest, SigningWithoutKeyFails) {
  TestCert bare = MakeCert(Spec("/CN=NoKey/OU=QVA"));
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, bare.der.data(),
                                                    static_cast<DWORD>(bare.der.size()));
  CRYPT_SIGN_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  para.pSigningCert = ctx;
  para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
  const BYTE* items[] = {reinterpret_cast<const BYTE*>("x")};
  DWORD sizes[] = {1};
  DWORD len = 0;
  EXPECT_FALSE(CryptSignMessage(&para, FALSE, 1, items, sizes, nullptr, &len));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);
  para.HashAlgorithm.pszObjId = const_cast<LPSTR>("1.2.3");
  EXPECT_FALSE(CryptSignMessage(&para, FALSE, 1, items, sizes, nullptr, &len));
  EXPECT_EQ(GetLastError(), CRYPT_E_UNKNOWN_ALGO);
  CertFreeCertificateContext(ctx);
}

struct SubjectCase {
  const char* name;
  bool rightIssuer;
  long notBefore;
  long notAfter;
  DWORD flagsLeft;
};

class SubjectCheckTest : public ::testing::TestWithParam<SubjectCase> {};

TEST_P(SubjectCheckTest, LeavesSetTheFlagsWhoseCheckFailed) {
  const SubjectCase& c = GetParam();
  static const TestCert issuer = MakeCert(Spec("/CN=Issuing CA"));
  static const TestCert stranger = [] {
    CertSpec spec = Spec("/CN=Issuing CA");
    spec.key = MakeKey(1024, true);
    return MakeCert(spec);
  }();
  CertSpec spec = Spec("/CN=Subject/OU=QVA");
  spec.issuer = c.rightIssuer ? &issuer : &stranger;
  spec.notBeforeOffsetSeconds = c.notBefore;
  spec.notAfterOffsetSeconds = c.notAfter;
  TestCert subject = MakeCert(spec);
  PCCERT_CONTEXT s = CertCreateCertificateContext(X509_ASN_ENCODING, subject.der.data(),
                                                  static_cast<DWORD>(subject.der.size()));
  PCCERT_CONTEXT i = CertCreateCertificateContext(X509_ASN_ENCODING, issuer.der.data(),
                                                  static_cast<DWORD>(issuer.der.size()));
  DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
  EXPECT_TRUE(CertVerifySubjectCertificateContext(s, i, &flags));
  EXPECT_EQ(flags, c.flagsLeft);
  CertFreeCertificateContext(s);
  CertFreeCertificateContext(i);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubjectCheckTest,
    ::testing::Values(SubjectCase{"Valid", true, -3600, 86400, 0},
                      SubjectCase{"OtherIssuerKey", false, -3600, 86400, CERT_STORE_SIGNATURE_FLAG},
                      SubjectCase{"Expired", true, -7200, -3600, CERT_STORE_TIME_VALIDITY_FLAG},
                      SubjectCase{"NotYetValid", true, 3600, 7200, CERT_STORE_TIME_VALIDITY_FLAG},
                      SubjectCase{"Both", false, -7200, -3600,
                                  CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG}),
    [](const auto& p) { return std::string(p.param.name); });

// The call itself fails (rather than leaving a flag set) when it cannot run a check it was asked
// for; a time check alone needs no issuer.
TEST(SubjectCheckCallTest, FailsWhenACheckCannotRun) {
  TestCert subject = MakeCert(Spec("/CN=Subject/OU=QVA"));
  PCCERT_CONTEXT s = CertCreateCertificateContext(X509_ASN_ENCODING, subject.der.data(),
                                                  static_cast<DWORD>(subject.der.size()));
  ASSERT_NE(s, nullptr);
  DWORD flags = CERT_STORE_TIME_VALIDITY_FLAG;
  EXPECT_TRUE(CertVerifySubjectCertificateContext(s, nullptr, &flags));
  EXPECT_EQ(flags, 0u);
  flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
  EXPECT_FALSE(CertVerifySubjectCertificateContext(s, nullptr, &flags));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
  EXPECT_FALSE(CertVerifySubjectCertificateContext(s, s, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
  velmor::crypt::InjectFailure("CertVerifySubjectCertificateContext", CRYPT_E_NOT_FOUND, nullptr, 1);
  flags = CERT_STORE_SIGNATURE_FLAG;
  EXPECT_FALSE(CertVerifySubjectCertificateContext(s, s, &flags));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  flags = CERT_STORE_SIGNATURE_FLAG;
  EXPECT_TRUE(CertVerifySubjectCertificateContext(s, s, &flags));  // self-signed: passes
  EXPECT_EQ(flags, 0u);
  CertFreeCertificateContext(s);
}

}  // namespace
