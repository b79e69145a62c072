// The files the administration reads and writes: PKCS #12 files, certificates in PEM or DER.
// Parsing only: what goes where is decided above this layer, inside a StoreTransaction.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"
#include "platform/crypt/keys.h"

namespace velmor::crypt {

namespace {

using namespace detail;

// ThreadDefaultContext: makes this layer's library context the thread's default while PKCS #12
// code that takes no context runs (its PBE and MAC algorithms may need the legacy provider).
class ThreadDefaultContext {
 public:
  ThreadDefaultContext() : previous_(OSSL_LIB_CTX_set0_default(LibCtx())) {}
  ~ThreadDefaultContext() { OSSL_LIB_CTX_set0_default(previous_); }
  ThreadDefaultContext(const ThreadDefaultContext&) = delete;
  ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

 private:
  OSSL_LIB_CTX* previous_;
};

// The PBKDF2 rounds of an exported file's key and MAC: a file with a private key travels, and
// its password is all that guards it.
constexpr int kExportIterations = 100000;

// AddToMemoryStore: one certificate into a memory store.
bool AddToMemoryStore(HCERTSTORE store, const CertData& cert) {
  return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert.der.data(),
                                          static_cast<DWORD>(cert.der.size()),
                                          CERT_STORE_ADD_ALWAYS, nullptr) != FALSE;
}

}  // namespace

void DropCaches() {
  std::lock_guard<ApiMutex> lock(ApiLock());
  TheRuntime().DropCaches();
}

std::string DefaultContainer() {
  return Call<std::string>(std::string(), [] { return DefaultContainerName(); });
}

BOOL ReadPkcs12(const BYTE* pbPfx, DWORD cbPfx, const char* password, HCERTSTORE* certs,
                HCRYPTKEY* key) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    if (certs == nullptr || key == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    *certs = nullptr;
    *key = 0;
    if (pbPfx == nullptr || cbPfx == 0) return Fail(CRYPT_E_ASN1_EOD);
    if (cbPfx > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
    ThreadDefaultContext useOurs;
    const unsigned char* p = pbPfx;
    UniquePtr<PKCS12> p12(VELMOR_CALL(d2i_PKCS12, nullptr, &p, static_cast<long>(cbPfx)));
    if (!p12) return FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    const std::string_view given = password != nullptr ? password : "";
    const char* pass = password != nullptr ? password : "";
    if (PKCS12_mac_present(p12.get())) {
      if (VELMOR_CALL(PKCS12_verify_mac, p12.get(), pass, -1) == 1) {
      } else if (given.empty() && VELMOR_CALL(PKCS12_verify_mac, p12.get(), nullptr, 0) == 1) {
        // An empty password is tried both ways: as "" and as none, which files may mean by it.
        DropExpectedOpenSslErrors();
        pass = nullptr;
      } else {
        return FailOpenSsl(ERROR_INVALID_PASSWORD_DW);
      }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    if (VELMOR_CALL(PKCS12_parse, p12.get(), pass, &rawKey, &rawCert, &rawChain) != 1) {
      // Without a MAC the password is first checked where the bags are decrypted.
      const bool wrongPassword = ERR_GET_LIB(ERR_peek_last_error()) == ERR_LIB_PKCS12;
      return FailOpenSsl(wrongPassword ? ERROR_INVALID_PASSWORD_DW : NTE_BAD_DATA);
    }
    UniquePtr<EVP_PKEY> privateKey(rawKey);
    UniquePtr<X509> cert(rawCert);
    UniquePtr<STACK_OF(X509)> chain(rawChain);
    if (!privateKey) return Fail(NTE_NO_KEY);
    // The certificate is the one the key belongs to; certificates without it are a key that
    // does not match them, not a file without certificates.
    if (!cert) return Fail(chain && sk_X509_num(chain.get()) > 0 ? NTE_BAD_KEY : CRYPT_E_NOT_FOUND);
    if (!EVP_PKEY_is_a(privateKey.get(), "RSA")) return Fail(NTE_BAD_ALGID);
    auto certData = ParseX509(cert.get());
    if (!certData) return FALSE;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) return FALSE;
    bool ok = AddToMemoryStore(store, *certData);
    for (int i = 0; ok && chain && i < sk_X509_num(chain.get()); ++i) {
      auto c = ParseX509(sk_X509_value(chain.get(), i));
      ok = c && AddToMemoryStore(store, *c);
    }
    HCRYPTPROV prov = 0;
    ok = ok && CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    if (!ok) {
      const DWORD error = GetLastError();
      CertCloseStore(store, 0);
      return Fail(error);
    }
    auto handle = std::make_shared<Key>();
    handle->kind = Key::Kind::kRsaPrivate;
    handle->alg = CALG_RSA_KEYX;
    handle->spec = AT_KEYEXCHANGE;
    handle->exportable = true;
    handle->pkey = std::move(privateKey);
    handle->provider = FindProvider(prov);
    CryptReleaseContext(prov, 0);  // the key keeps its provider
    *certs = store;
    *key = AddKey(std::move(handle));
    return TRUE;
  });
}

BOOL ReadCertificates(const BYTE* pbData, DWORD cbData, std::vector<std::vector<BYTE>>& out) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    out.clear();
    if (pbData == nullptr || cbData == 0) return Fail(CRYPT_E_ASN1_EOD);
    if (cbData > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
    static constexpr std::string_view kBegin = "-----BEGIN";
    std::string_view text(reinterpret_cast<const char*>(pbData), cbData);
    if (text.find(kBegin) == std::string_view::npos) {
      auto cert = ParseCertificate(pbData, cbData);
      if (!cert) return FALSE;
      out.push_back(cert->der);
      return TRUE;
    }
    UniquePtr<BIO> bio(VELMOR_CALL(BIO_new_mem_buf, pbData, static_cast<int>(cbData)));
    if (!bio) return FailOpenSsl(NTE_NO_MEMORY);
    for (;;) {
      X509* x = VELMOR_CALL(PEM_read_bio_X509, bio.get(), nullptr, nullptr, nullptr);
      if (x == nullptr) break;
      UniquePtr<X509> owned(x);
      auto cert = ParseX509(x);
      if (!cert) return FALSE;
      out.push_back(cert->der);
    }
    unsigned long e = ERR_peek_last_error();
    bool cleanEnd =
        e == 0 || (ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE);
    if (!cleanEnd) return FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    DropExpectedOpenSslErrors();  // the list ends where no further PEM block starts
    if (out.empty()) return Fail(CRYPT_E_NOT_FOUND);
    return TRUE;
  });
}

BOOL ExportPkcs12(PCCERT_CONTEXT pCertContext, const char* password, std::vector<BYTE>& pfx) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    pfx.clear();
    CertContextImpl* impl = FindContext(pCertContext);
    if (impl == nullptr) return FALSE;
    if (password == nullptr || password[0] == '\0') return Fail(ERROR_INVALID_PASSWORD_DW);
    if (!impl->keyProv) return Fail(CRYPT_E_NO_KEY_PROPERTY);
    const KeyProvRecord record = *impl->keyProv;
    HCRYPTPROV prov = 0;
    if (!AcquireForKeyProv(record, &prov)) return FALSE;
    auto provider = FindProvider(prov);
    UniquePtr<EVP_PKEY> key = provider ? PrivateKeyOf(*provider, record.keySpec, nullptr) : nullptr;
    const DWORD error = GetLastError();
    CryptReleaseContext(prov, 0);
    if (!key) return Fail(error);
    X509* x = X509Of(*impl->data);
    if (x == nullptr) return FALSE;
    ThreadDefaultContext useOurs;
    UniquePtr<PKCS12> p12(VELMOR_CALL(PKCS12_create_ex, password, nullptr, key.get(), x, nullptr,
                                      NID_aes_256_cbc, NID_aes_256_cbc, kExportIterations,
                                      kExportIterations, 0, LibCtx(), nullptr));
    if (!p12) return FailOpenSsl(NTE_FAIL);
    unsigned char* raw = nullptr;
    const int n = VELMOR_CALL(i2d_PKCS12, p12.get(), &raw);
    OpenSslBytes der(raw);
    if (n <= 0) return FailOpenSsl(NTE_FAIL);
    pfx.assign(der.get(), der.get() + n);
    return TRUE;
  });
}

BOOL CertificatePem(PCCERT_CONTEXT pCertContext, std::string& pem) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    pem.clear();
    CertContextImpl* impl = FindContext(pCertContext);
    if (impl == nullptr) return FALSE;
    X509* x = X509Of(*impl->data);
    if (x == nullptr) return FALSE;
    UniquePtr<BIO> bio(VELMOR_CALL(BIO_new, BIO_s_mem()));
    if (!bio || VELMOR_CALL(PEM_write_bio_X509, bio.get(), x) != 1) {
      return FailOpenSsl(NTE_FAIL);
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    if (n > 0 && data != nullptr) pem.assign(data, static_cast<std::size_t>(n));
    return TRUE;
  });
}

}  // namespace velmor::crypt
