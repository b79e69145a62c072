// Shared set-up for the certificate tests: a private data directory, clean module buffers and
// platform seam, a control state, and helpers that put self-made certificates into the stores.
#pragma once

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "certs/context.h"
#include "certs/find.h"
#include "certs/operation.h"
#include "certs/properties.h"
#include "platform/crypt/owners.h"
#include "tests/support/pki.h"

namespace velmor::certs_test {

namespace pki = velmor::testing;

using velmor::UniqueCert;
using velmor::UniqueStore;

// Handle: a platform handle released by `Release` when the test is done with it.
template <typename T, BOOL (*Release)(T)>
struct Handle {
  T h = 0;
  Handle() = default;
  explicit Handle(T value) : h(value) {}
  ~Handle() {
    if (h != 0) Release(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};
inline BOOL ReleaseProv(HCRYPTPROV prov) { return CryptReleaseContext(prov, 0); }
using Prov = Handle<HCRYPTPROV, ReleaseProv>;
using Key = Handle<HCRYPTKEY, CryptDestroyKey>;
using Hash = Handle<HCRYPTHASH, CryptDestroyHash>;

inline velmor::platform::UniquePtr<EVP_PKEY> PrivateKey(const pki::TestKey& key) {
  velmor::platform::UniquePtr<BIO> bio(BIO_new_mem_buf(key.privatePem.data(),
                                                    static_cast<int>(key.privatePem.size())));
  return velmor::platform::UniquePtr<EVP_PKEY>(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// IsKeyOf: whether `pub` is the public half of `key`. OpenSSL signs a fixed text with the
// private half (MD5, PKCS #1 v1.5); the platform must accept that signature under `pub`.
inline bool IsKeyOf(HCRYPTPROV prov, HCRYPTKEY pub, const pki::TestKey& key) {
  static constexpr char kText[] = "velmor key check";
  auto pkey = PrivateKey(key);
  velmor::platform::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  std::vector<unsigned char> sig(static_cast<std::size_t>(EVP_PKEY_get_size(pkey.get())));
  std::size_t sigLen = sig.size();
  if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &sigLen, reinterpret_cast<const unsigned char*>(kText),
                     std::strlen(kText)) != 1) {
    ADD_FAILURE() << "OpenSSL could not sign";
    return false;
  }
  sig.resize(sigLen);
  std::vector<BYTE> reversed(sig.rbegin(), sig.rend());  // the platform reads it LSB first
  Hash hash;
  if (!CryptCreateHash(prov, CALG_MD5, 0, 0, &hash.h)) return false;
  CryptHashData(hash.h, reinterpret_cast<const BYTE*>(kText), std::strlen(kText), 0);
  return CryptVerifySignatureA(hash.h, reversed.data(), reversed.size(), pub, nullptr, 0) == TRUE;
}

// PublicKeyBlob: the key's public half as a platform PUBLICKEYBLOB (modulus LSB first).
inline std::vector<BYTE> PublicKeyBlob(const pki::TestKey& key) {
  auto pkey = PrivateKey(key);
  BIGNUM* rawN = nullptr;
  BIGNUM* rawE = nullptr;
  EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_RSA_N, &rawN);
  EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_RSA_E, &rawE);
  velmor::platform::UniquePtr<BIGNUM> n(rawN), e(rawE);
  const int modulusBytes = BN_num_bytes(n.get());
  BLOBHEADER header{static_cast<BYTE>(PUBLICKEYBLOB), CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
  RSAPUBKEY rsa{0x31415352u, static_cast<DWORD>(modulusBytes * 8),
                static_cast<DWORD>(BN_get_word(e.get()))};
  std::vector<BYTE> blob(sizeof header + sizeof rsa + static_cast<std::size_t>(modulusBytes));
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
  BN_bn2lebinpad(n.get(), blob.data() + sizeof header + sizeof rsa, modulusBytes);
  return blob;
}

// CaseName: names a parameterised case after its `name` field.
struct CaseName {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T>& param) const {
    return param.param.name;
  }
};

// Base64: the bytes as one line of Base64, by OpenSSL.
inline std::string Base64(const std::vector<BYTE>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

class CertsTest : public ::testing::Test {
 protected:
  CertsTest() {
    ClearModuleBuffers();
    crypt::ResetRuntime();
  }
  ~CertsTest() override {
    crypt::ResetRuntime();
    ClearModuleBuffers();
  }

  // Cert: a self-signed certificate with this subject and serial (random when empty).
  static pki::TestCert Cert(const std::string& subject, std::vector<std::uint8_t> serial = {},
                            bool freshKey = false) {
    pki::CertSpec spec;
    spec.subject = subject;
    spec.serial = std::move(serial);
    if (freshKey) spec.key = pki::MakeKey(1024, true);
    return pki::MakeCert(spec);
  }
  // Signer: a certificate put into "MY" with its private key.
  static pki::TestCert Signer(const std::string& subject, std::vector<std::uint8_t> serial = {},
                              DWORD keySpec = AT_KEYEXCHANGE) {
    pki::TestCert cert = Cert(subject, std::move(serial));
    pki::ImportWithKey("MY", cert, keySpec);
    return cert;
  }
  // SetCN: what the CN setter leaves in g_szCN.
  static void SetCN(const std::string& serial) {
    std::strncpy(g_szCN, serial.c_str(), sizeof g_szCN - 1);
  }
  // Acquire: a context of our own for calling the searches directly.
  static HCRYPTPROV Acquire(Prov& prov) {
    EXPECT_EQ(AcquireProviderContext(&prov.h), 1);
    return prov.h;
  }
  static bool SameCert(PCCERT_CONTEXT cert, const pki::TestCert& expected) {
    return cert != nullptr &&
           std::vector<std::uint8_t>(cert->pbCertEncoded,
                                     cert->pbCertEncoded + cert->cbCertEncoded) == expected.der;
  }

  pki::TempDataHome home_;
  CtrlState state_;
};

}  // namespace velmor::certs_test
