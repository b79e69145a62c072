// A call that fails because OpenSSL refused something answers with its usual last error and
// names the OpenSSL call that refused it (LastFailedCall), whichever function it went through.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "hosts/velmor/admin.h"
#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"
#include "tests/support/seam.h"

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

// A chain of library calls names the one that failed, not the chain's first or last.
struct ChainCase {
  const char* fails;  // the library call the seam fails
  bool (*run)();      // a call through that chain; true when it failed
  DWORD error;
};

// Sign: a new container's new signature key signs a digest.
bool Sign() {
  HCRYPTPROV prov = 0;
  HCRYPTKEY key = 0;
  HCRYPTHASH hash = 0;
  BYTE signature[64];
  DWORD len = sizeof signature;
  static const BYTE kData[] = {'d', 'a', 't', 'a'};
  const bool failed =
      CryptAcquireContextA(&prov, "chain", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
      !(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, &key) &&
        CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
        CryptHashData(hash, kData, sizeof kData, 0) &&
        CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature, &len));
  const DWORD error = GetLastError();
  CryptDestroyHash(hash);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  SetLastError(error);
  return failed;
}

bool StoreCertificate() {
  const TestCert cert = MakeCert(Spec("/CN=Stored"));
  HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
  const bool failed =
      store != nullptr &&
      !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert.der.data(),
                                        static_cast<DWORD>(cert.der.size()),
                                        CERT_STORE_ADD_ALWAYS, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  SetLastError(error);
  return failed;
}

class FailedChainTest : public ::testing::TestWithParam<ChainCase> {
 protected:
  void TearDown() override { velmor::crypt::ResetRuntime(); }
  TempDataHome home_;
};

TEST_P(FailedChainTest, NamesTheFailingCall) {
  const ChainCase& c = GetParam();
  velmor::crypt::InjectFailure(c.fails, NTE_FAIL);
  ASSERT_TRUE(c.run());
  EXPECT_EQ(GetLastError(), c.error);
  const std::string named = velmor::crypt::LastFailedCall();
  EXPECT_EQ(named.substr(0, named.find(':')), c.fails) << named;
}

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.fails; }

INSTANTIATE_TEST_SUITE_P(
    Chains, FailedChainTest,
    ::testing::Values(
        // The first call of a chain after an object's making, then calls in their middle.
        ChainCase{"EVP_MD_CTX_copy_ex", Sign, NTE_BAD_HASH},
        ChainCase{"EVP_PKEY_keygen_init", Sign, NTE_FAIL},
        ChainCase{"EVP_PKEY_CTX_set_rsa_padding", Sign, NTE_BAD_KEY},
        // The second of a statement's binds, those after it taking.
        ChainCase{"sqlite3_bind_blob", StoreCertificate, NTE_FAIL}),
    [](const auto& p) { return std::string(p.param.fails); });

}  // namespace
