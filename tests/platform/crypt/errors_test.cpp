// A call that fails because OpenSSL refused something answers with its usual last error and
// names the OpenSSL call that refused it (LastFailedCall), whichever function it went through.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "hosts/velmor/admin.h"
#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;

struct FailureCase {
  const char* name;
  bool (*fail)();  // makes the call fail; true when it did
  DWORD error;
  const char* call;  // LastFailedCall begins with it
};

bool CorruptCertificate() {
  static const BYTE kDer[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  return CertCreateCertificateContext(X509_ASN_ENCODING, kDer, sizeof kDer) == nullptr;
}

bool CorruptName() {
  BYTE der[] = {0x30, 0x05, 0x31, 0x09, 0x00};
  CERT_NAME_BLOB blob{sizeof der, der};
  char text[8];
  return CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text, sizeof text) == 1;
}

bool SignatureOfOtherData() {
  TestCert cert = MakeCert(Spec("/CN=Verifier"));
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                    static_cast<DWORD>(cert.der.size()));
  HCRYPTPROV prov = 0;
  HCRYPTKEY key = 0;
  HCRYPTHASH hash = 0;
  BYTE signature[128] = {1};
  const bool failed =
      ctx != nullptr &&
      CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
      CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &ctx->pCertInfo->SubjectPublicKeyInfo,
                               &key) &&
      CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
      !CryptVerifySignatureA(hash, signature, sizeof signature, key, nullptr, 0);
  const DWORD error = GetLastError();
  CryptDestroyHash(hash);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(ctx);
  SetLastError(error);
  return failed;
}

bool KeyOfAnotherCertificate() {
  TestCert cert = MakeCert(Spec("/CN=Holder"));
  cert.key = MakeKey(1024, true);
  try {
    ImportWithKey("MY", cert, AT_KEYEXCHANGE, "stranger");
  } catch (const std::runtime_error&) {
    return true;
  }
  return false;
}

bool BrokenPem() {
  const std::string pem =
      "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  return !velmor::admin::AddCertificates("CA", std::vector<std::uint8_t>(pem.begin(), pem.end()),
                                         nullptr);
}

class FailedCallTest : public ::testing::TestWithParam<FailureCase> {
 protected:
  TempDataHome home_;
};

TEST_P(FailedCallTest, IsNamedWithItsError) {
  const FailureCase& c = GetParam();
  ASSERT_TRUE(c.fail());
  EXPECT_EQ(GetLastError(), c.error);
  EXPECT_EQ(std::string(velmor::crypt::LastFailedCall()).rfind(c.call, 0), 0u)
      << velmor::crypt::LastFailedCall();
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedCallTest,
    ::testing::Values(
        FailureCase{"CorruptCertificate", CorruptCertificate, CRYPT_E_ASN1_CORRUPT, "d2i_X509"},
        FailureCase{"CorruptName", CorruptName, CRYPT_E_ASN1_CORRUPT, "d2i_X509_NAME"},
        FailureCase{"SignatureOfOtherData", SignatureOfOtherData, NTE_BAD_SIGNATURE,
                    "EVP_PKEY_verify"},
        // The administration compares the two public keys itself: no platform call refuses.
        FailureCase{"KeyOfAnotherCertificate", KeyOfAnotherCertificate, NTE_BAD_KEY, ""},
        FailureCase{"BrokenPem", BrokenPem, CRYPT_E_ASN1_CORRUPT, "PEM_read_bio_X509"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
