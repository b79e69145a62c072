// Hashes, raw signatures and the key of a certificate, checked against the openssl tool.
#include <gtest/gtest.h>

#include <cstring>

#include "hosts/velmor/admin.h"
#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;

std::string Ansi(const WCHAR* wide) {
  if (wide == nullptr) return {};
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(std::strlen(out.c_str()));
  return out;
}

class SignaturesTest : public ::testing::Test {
 protected:
  void TearDown() override { velmor::crypt::ResetRuntime(); }

  // Signs `text` the way the signing operations do: the certificate's key-provider property
  // names the container; the signature comes back least significant byte first.
  std::vector<std::uint8_t> SignWithCert(PCCERT_CONTEXT cert, const std::string& text) {
    DWORD size = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    EXPECT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
    std::string container = Ansi(info->pwszContainerName);
    std::string provider = Ansi(info->pwszProvName);
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, container.c_str(), provider.c_str(), PROV_RSA_FULL, 0));
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()),
                              static_cast<DWORD>(text.size()), 0));
    DWORD len = 0;
    EXPECT_TRUE(CryptSignHashA(hash, info->dwKeySpec, nullptr, 0, nullptr, &len));
    std::vector<std::uint8_t> sig(len);
    EXPECT_TRUE(CryptSignHashA(hash, info->dwKeySpec, nullptr, 0, sig.data(), &len));
    sig.resize(len);
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
    return sig;
  }

  PCCERT_CONTEXT FindInMy(HCERTSTORE store, const std::string& serialHex) {
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
      const auto& s = ctx->pCertInfo->SerialNumber;
      std::string hex;
      for (DWORD i = s.cbData; i > 0; --i) hex += BytesToHex(&s.pbData[i - 1], 1);
      if (hex == serialHex) return ctx;
    }
    return nullptr;
  }

  TempDataHome home_;
};

TEST_F(SignaturesTest, SignatureVerifiesWithTheOpensslTool) {
  TestCert cert = MakeCert(Spec("/CN=Signer/OU=QVA", {}, 2048));
  ImportWithKey("MY", cert);
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT ctx = FindInMy(store, cert.serialHex);
  ASSERT_NE(ctx, nullptr);
  std::string text = "abc~!~ signed text \xE5\xE4\xF6";
  std::vector<std::uint8_t> sig = SignWithCert(ctx, text);
  ASSERT_EQ(sig.size(), 256u);
  CertFreeCertificateContext(ctx);
  CertCloseStore(store, 0);

  auto dir = home_.path();
  std::vector<std::uint8_t> msbFirst(sig.rbegin(), sig.rend());
  WriteFile(dir / "data.bin", text);
  WriteFile(dir / "sig.bin", msbFirst);
  WriteFile(dir / "sig-lsb.bin", sig);
  WriteFile(dir / "cert.pem", cert.pem());
  auto run = [&](const std::string& sigFile) {
    return velmor::testing::Run("cd '" + dir.string() + "' && openssl x509 -in cert.pem -pubkey -noout > pub.pem && " +
               "openssl dgst -md5 -verify pub.pem -signature " + sigFile + " data.bin");
  };
  CommandResult ok = run("sig.bin");
  EXPECT_EQ(ok.status, 0) << ok.output;
  EXPECT_NE(run("sig-lsb.bin").status, 0);
}

TEST_F(SignaturesTest, VerifyWithTheCertificatesPublicKey) {
  TestCert cert = MakeCert(Spec("/CN=Verify"));
  ImportWithKey("MY", cert, AT_SIGNATURE);
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT ctx = FindInMy(store, cert.serialHex);
  ASSERT_NE(ctx, nullptr);
  std::vector<std::uint8_t> sig = SignWithCert(ctx, "hello");

  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "verifier", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY pub = 0;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                       &ctx->pCertInfo->SubjectPublicKeyInfo, &pub));
  auto verify = [&](const std::string& text, std::vector<std::uint8_t> signature) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0);
    BOOL ok = CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()), pub,
                                    nullptr, 0);
    DWORD error = GetLastError();
    CryptDestroyHash(hash);
    return ok ? 0u : error;
  };
  EXPECT_EQ(verify("hello", sig), 0u);
  EXPECT_EQ(verify("hellO", sig), NTE_BAD_SIGNATURE);
  EXPECT_EQ(verify("hello", std::vector<std::uint8_t>(sig.rbegin(), sig.rend())), NTE_BAD_SIGNATURE);
  EXPECT_EQ(verify("hello", std::vector<std::uint8_t>(sig.begin(), sig.end() - 1)), NTE_BAD_SIGNATURE);
  EXPECT_EQ(verify("hello", {}), NTE_BAD_SIGNATURE);
  CryptDestroyKey(pub);
  CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(ctx);
  CertCloseStore(store, 0);
}

TEST_F(SignaturesTest, SignHashBufferProtocol) {
  TestCert cert = MakeCert({});
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "proto");
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "proto", nullptr, PROV_RSA_FULL, 0));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  DWORD len = 0;
  EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));
  EXPECT_EQ(len, 128u);
  std::vector<std::uint8_t> sig(len);
  DWORD shortLen = len - 1;
  EXPECT_FALSE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &shortLen));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(shortLen, 128u);
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &len));
  // A signed hash takes no more data.
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
  HCRYPTHASH sha = 0;
  EXPECT_FALSE(CryptCreateHash(prov, 0x8005, 0, 0, &sha));
  EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
  CryptDestroyHash(hash);
  CryptReleaseContext(prov, 0);
}

TEST_F(SignaturesTest, CertificatePrivateKeyComesFromTheProperty) {
  TestCert withKey = MakeCert(Spec("/CN=Keyed"));
  TestCert without = MakeCert(Spec("/CN=Bare"));
  ImportWithKey("MY", withKey, AT_KEYEXCHANGE, "keyed-box");
  AddToStore("MY", without);
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT keyed = FindInMy(store, withKey.serialHex);
  ASSERT_NE(keyed, nullptr);
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(keyed, 0, nullptr, &prov, &spec, &callerFree));
  EXPECT_EQ(spec, static_cast<DWORD>(AT_KEYEXCHANGE));
  EXPECT_TRUE(callerFree);
  HCRYPTKEY key = 0;
  EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(keyed);
  PCCERT_CONTEXT bare = FindInMy(store, without.serialHex);
  ASSERT_NE(bare, nullptr);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(bare, 0, nullptr, &prov, &spec, &callerFree));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);
  CertFreeCertificateContext(bare);
  CertCloseStore(store, 0);
}

TEST_F(SignaturesTest, ReplacedKeyIsNotServedFromTheCache) {
  CertSpec firstSpec = Spec("/CN=First");
  firstSpec.key = MakeKey(1024, true);
  CertSpec secondSpec = Spec("/CN=Second");
  secondSpec.key = MakeKey(1024, true);
  TestCert first = MakeCert(firstSpec);
  TestCert second = MakeCert(secondSpec);
  ImportWithKey("MY", first, AT_KEYEXCHANGE, "swap");
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT ctx = FindInMy(store, first.serialHex);
  ASSERT_NE(ctx, nullptr);
  SignWithCert(ctx, "warm the cache");
  CertFreeCertificateContext(ctx);
  ASSERT_TRUE(velmor::admin::RemoveCertificates("MY", first.serialHex, nullptr));
  ImportWithKey("MY", second, AT_KEYEXCHANGE, "swap");
  ctx = FindInMy(store, second.serialHex);
  ASSERT_NE(ctx, nullptr);
  std::vector<std::uint8_t> sig = SignWithCert(ctx, "text");
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY pub = 0;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &ctx->pCertInfo->SubjectPublicKeyInfo, &pub));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  CryptHashData(hash, reinterpret_cast<const BYTE*>("text"), 4, 0);
  EXPECT_TRUE(CryptVerifySignatureA(hash, sig.data(), static_cast<DWORD>(sig.size()), pub, nullptr, 0));
  CryptDestroyHash(hash);
  CryptDestroyKey(pub);
  CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(ctx);
  CertCloseStore(store, 0);
}

}  // namespace
