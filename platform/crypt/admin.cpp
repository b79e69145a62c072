// Administration of the user's stores and key containers: what `velmor certs` does.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <set>

#include "platform/crypt/certificate.h"
#include "platform/crypt/keys.h"

namespace velmor::crypt {

namespace {

using namespace detail;

KeyProvRecord RecordFor(const std::string& container, DWORD keySpec) {
  KeyProvRecord r;
  r.container = Utf8ToUtf16(container).value_or(u"");
  r.provider = Utf8ToUtf16(MS_ENHANCED_PROV_A).value_or(u"");
  r.provType = PROV_RSA_FULL;
  r.flags = 0;
  r.keySpec = keySpec;
  return r;
}

std::string HexOf(const std::uint8_t* p, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

bool Holds(const StoreSnapshot& snapshot, const std::vector<std::uint8_t>& der) {
  for (const auto& e : snapshot) {
    if (e.data->der == der) return true;
  }
  return false;
}

bool ImportParsed(const std::string& store, const std::shared_ptr<const CertData>& cert,
                  EVP_PKEY* key, DWORD keySpec, const std::string& container,
                  const std::vector<std::shared_ptr<const CertData>>& chain) {
  auto name = SystemStoreName(store);
  if (!name) return Fail(ERROR_FILE_NOT_FOUND);
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) {
    return Fail(static_cast<DWORD>(E_INVALIDARG));
  }
  if (container.empty()) return Fail(NTE_BAD_KEYSET);
  if (!EVP_PKEY_is_a(key, "RSA")) return Fail(NTE_BAD_ALGID);
  X509* x = X509Of(*cert);
  if (x == nullptr) return false;
  EVP_PKEY* certKey = X509_get0_pubkey(x);
  if (certKey == nullptr) return FailOpenSsl("X509_get0_pubkey", NTE_BAD_KEY);
  if (EVP_PKEY_eq(certKey, key) != 1) return FailOpenSsl("EVP_PKEY_eq", NTE_BAD_KEY);
  auto storage = OpenStorage();
  if (!storage) return false;
  Change change;
  change.containers.push_back(Change::NewContainer{container, true});
  Change::NewKey newKey;
  newKey.container = container;
  newKey.spec = keySpec;
  if (!EncodePrivateKey(key, newKey.der, NTE_BAD_KEY)) return false;
  change.keys.push_back(std::move(newKey));
  change.certs.push_back(Change::NewCert{*name, cert->der, RecordFor(container, keySpec)});
  std::shared_ptr<const StoreSnapshot> ca;
  if (!LoadStore(*storage, "CA", ca)) return false;
  for (const auto& c : chain) {
    if (!Holds(*ca, c->der)) change.certs.push_back(Change::NewCert{"CA", c->der, std::nullopt});
  }
  return storage->Apply(change, nullptr);
}

// DefaultDefaultContainerFor: a container name of its own for each certificate.
std::string ContainerNameFor(const CertData& cert) {
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(cert.der.data(), cert.der.size(), digest);
  return "velmor-" + SerialHex(cert.info) + "-" + HexOf(digest, 4);
}

// ParsePemOrDer: the certificates of a file, DER or PEM (one or several).
bool ParsePemOrDer(const std::vector<std::uint8_t>& data,
                   std::vector<std::shared_ptr<const CertData>>& out) {
  out.clear();
  static constexpr std::string_view kBegin = "-----BEGIN";
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (text.find(kBegin) == std::string_view::npos) {
    auto cert = ParseCertificate(data.data(), data.size());
    if (!cert) return false;
    out.push_back(std::move(cert));
    return true;
  }
  if (data.size() > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
  UniquePtr<BIO> bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  if (!bio) return FailOpenSsl("BIO_new_mem_buf", NTE_NO_MEMORY);
  for (;;) {
    X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (x == nullptr) break;
    UniquePtr<X509> owned(x);
    auto cert = ParseX509(x);
    if (!cert) return false;
    out.push_back(std::move(cert));
  }
  unsigned long e = ERR_peek_last_error();
  bool cleanEnd = e == 0 || (ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE);
  if (!cleanEnd) return FailOpenSsl("PEM_read_bio_X509", CRYPT_E_ASN1_CORRUPT);
  DropExpectedOpenSslErrors();  // the list ends where no further PEM block starts
  if (out.empty()) return Fail(CRYPT_E_NOT_FOUND);
  return true;
}

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

}  // namespace

void DropCaches() {
  std::lock_guard<ApiMutex> lock(ApiLock());
  DropStoreCache();
  DropKeyCache();
}

std::string DefaultContainer() {
  return Guarded<std::string>(std::string(), [] { return DefaultContainerName(); });
}

bool ImportKeyAndCertificate(const std::string& store, const std::vector<std::uint8_t>& certDer,
                             const std::uint8_t* keyDer, std::size_t keyLen, DWORD keySpec,
                             const std::string& container,
                             const std::vector<std::vector<std::uint8_t>>& chain) {
  return Guarded<bool>(false, [&]() -> bool {
    auto cert = ParseCertificate(certDer.data(), certDer.size());
    if (!cert) return false;
    if (keyDer == nullptr || keyLen == 0) return Fail(NTE_BAD_DATA);
    auto key = DecodePrivateKey(keyDer, keyLen);
    if (!key) return false;
    std::vector<std::shared_ptr<const CertData>> parsed;
    for (const auto& der : chain) {
      auto c = ParseCertificate(der.data(), der.size());
      if (!c) return false;
      parsed.push_back(std::move(c));
    }
    return ImportParsed(store, cert, key.get(), keySpec,
                        container.empty() ? ContainerNameFor(*cert) : container, parsed);
  });
}

bool ImportPkcs12(const std::vector<std::uint8_t>& pfx, const std::string& password, DWORD keySpec,
                  const std::string& container, Pkcs12Import* result) {
  return Guarded<bool>(false, [&]() -> bool {
    if (pfx.empty()) return Fail(CRYPT_E_ASN1_EOD);
    if (pfx.size() > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
    ThreadDefaultContext useOurs;
    const unsigned char* p = pfx.data();
    UniquePtr<PKCS12> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(pfx.size())));
    if (!p12) return FailOpenSsl("d2i_PKCS12", CRYPT_E_ASN1_CORRUPT);
    const char* pass = password.c_str();
    if (PKCS12_mac_present(p12.get())) {
      if (PKCS12_verify_mac(p12.get(), pass, -1) == 1) {
      } else if (password.empty() && PKCS12_verify_mac(p12.get(), nullptr, 0) == 1) {
        // An empty password is tried both ways: as "" and as none, which files may mean by it.
        DropExpectedOpenSslErrors();
        pass = nullptr;
      } else {
        return FailOpenSsl("PKCS12_verify_mac", ERROR_INVALID_PASSWORD_DW);
      }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    if (PKCS12_parse(p12.get(), pass, &rawKey, &rawCert, &rawChain) != 1) {
      // Without a MAC the password is first checked where the bags are decrypted.
      const bool wrongPassword = ERR_GET_LIB(ERR_peek_last_error()) == ERR_LIB_PKCS12;
      return FailOpenSsl("PKCS12_parse", wrongPassword ? ERROR_INVALID_PASSWORD_DW : NTE_BAD_DATA);
    }
    UniquePtr<EVP_PKEY> key(rawKey);
    UniquePtr<X509> cert(rawCert);
    UniquePtr<STACK_OF(X509)> chain(rawChain);
    if (!key) return Fail(NTE_NO_KEY);
    if (!cert) return Fail(CRYPT_E_NOT_FOUND);
    auto certData = ParseX509(cert.get());
    if (!certData) return false;
    std::vector<std::shared_ptr<const CertData>> chainData;
    for (int i = 0; chain && i < sk_X509_num(chain.get()); ++i) {
      auto c = ParseX509(sk_X509_value(chain.get(), i));
      if (!c) return false;
      chainData.push_back(std::move(c));
    }
    std::string name = container.empty() ? ContainerNameFor(*certData) : container;
    if (!ImportParsed("MY", certData, key.get(), keySpec, name, chainData)) return false;
    if (result != nullptr) {
      result->container = name;
      result->serialHex = SerialHex(certData->info);
      result->subject = NameToText(certData->info.Subject.pbData, certData->info.Subject.cbData)
                            .value_or(std::string());
      result->chainCount = chainData.size();
    }
    return true;
  });
}

bool AddCertificates(const std::string& store, const std::vector<std::uint8_t>& data,
                     std::size_t* added, std::size_t* present) {
  return Guarded<bool>(false, [&]() -> bool {
    if (added != nullptr) *added = 0;
    if (present != nullptr) *present = 0;
    auto name = SystemStoreName(store);
    if (!name) return Fail(ERROR_FILE_NOT_FOUND);
    std::vector<std::shared_ptr<const CertData>> certs;
    if (!ParsePemOrDer(data, certs)) return false;
    auto storage = OpenStorage();
    if (!storage) return false;
    std::shared_ptr<const StoreSnapshot> snapshot;
    if (!LoadStore(*storage, *name, snapshot)) return false;
    Change change;
    std::size_t already = 0;
    for (const auto& c : certs) {
      bool duplicate = Holds(*snapshot, c->der);
      for (const auto& n : change.certs) duplicate = duplicate || n.der == c->der;
      if (duplicate) {
        ++already;
      } else {
        change.certs.push_back(Change::NewCert{*name, c->der, std::nullopt});
      }
    }
    if (!change.certs.empty() && !storage->Apply(change, nullptr)) return false;
    if (added != nullptr) *added = change.certs.size();
    if (present != nullptr) *present = already;
    return true;
  });
}

bool ListCertificates(const std::string& store, std::vector<CertificateEntry>& out) {
  return Guarded<bool>(false, [&]() -> bool {
    out.clear();
    auto name = SystemStoreName(store);
    if (!name) return Fail(ERROR_FILE_NOT_FOUND);
    auto storage = OpenStorage();
    if (!storage) return false;
    std::shared_ptr<const StoreSnapshot> snapshot;
    if (!LoadStore(*storage, *name, snapshot)) return false;
    for (const auto& e : *snapshot) {
      CertificateEntry entry;
      const CERT_INFO& info = e.data->info;
      entry.serialHex = SerialHex(info);
      entry.subject = NameToText(info.Subject.pbData, info.Subject.cbData).value_or(std::string());
      entry.notBefore = UnixFromFileTime(info.NotBefore);
      entry.notAfter = UnixFromFileTime(info.NotAfter);
      entry.der = e.data->der;
      if (e.keyProv) {
        auto container = Utf16ToUtf8(e.keyProv->container);
        if (container) {
          entry.container = *container;
          std::optional<StoredKey> key;
          if (!storage->LoadKey(*container, e.keyProv->keySpec, key)) return false;
          entry.hasKey = key.has_value();
        }
      }
      out.push_back(std::move(entry));
    }
    return true;
  });
}

bool RemoveCertificates(const std::string& store, const std::string& serialHex,
                        std::size_t* removed) {
  return Guarded<bool>(false, [&]() -> bool {
    if (removed != nullptr) *removed = 0;
    auto name = SystemStoreName(store);
    if (!name) return Fail(ERROR_FILE_NOT_FOUND);
    auto storage = OpenStorage();
    if (!storage) return false;
    Change change;
    std::set<std::string> containers;
    std::set<std::int64_t> doomed;
    std::shared_ptr<const StoreSnapshot> snapshot;
    if (!LoadStore(*storage, *name, snapshot)) return false;
    for (const auto& e : *snapshot) {
      if (SerialHex(e.data->info) != serialHex) continue;
      change.deleteCerts.push_back(e.id);
      doomed.insert(e.id);
      if (e.keyProv) {
        if (auto c = Utf16ToUtf8(e.keyProv->container)) containers.insert(*c);
      }
    }
    if (change.deleteCerts.empty()) return Fail(CRYPT_E_NOT_FOUND);
    // A container goes only when no remaining certificate of any store names it.
    for (const char* other : {"MY", "CA", "Root", "Trust", "TrustedPublisher"}) {
      std::shared_ptr<const StoreSnapshot> s;
      if (!LoadStore(*storage, other, s)) return false;
      for (const auto& e : *s) {
        if (doomed.count(e.id) != 0 || !e.keyProv) continue;
        if (auto c = Utf16ToUtf8(e.keyProv->container)) containers.erase(*c);
      }
    }
    change.deleteContainers.assign(containers.begin(), containers.end());
    if (!storage->Apply(change, nullptr)) return false;
    if (removed != nullptr) *removed = change.deleteCerts.size();
    return true;
  });
}

bool ExportCertificatePem(const std::string& store, const std::string& serialHex,
                          std::string& pem) {
  return Guarded<bool>(false, [&]() -> bool {
    pem.clear();
    auto name = SystemStoreName(store);
    if (!name) return Fail(ERROR_FILE_NOT_FOUND);
    auto storage = OpenStorage();
    if (!storage) return false;
    std::shared_ptr<const StoreSnapshot> snapshot;
    if (!LoadStore(*storage, *name, snapshot)) return false;
    for (const auto& e : *snapshot) {
      if (SerialHex(e.data->info) != serialHex) continue;
      UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
      X509* x = X509Of(*e.data);
      if (x == nullptr) return false;
      if (!bio || PEM_write_bio_X509(bio.get(), x) != 1) {
        return FailOpenSsl("PEM_write_bio_X509", NTE_FAIL);
      }
      char* text = nullptr;
      long n = BIO_get_mem_data(bio.get(), &text);
      if (n > 0 && text != nullptr) pem.assign(text, static_cast<std::size_t>(n));
      return true;
    }
    return Fail(CRYPT_E_NOT_FOUND);
  });
}

}  // namespace velmor::crypt
