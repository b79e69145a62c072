// The administration of the user's stores and key containers, on the platform's CryptoAPI: the
// policy of `velmor certs` (see admin.h). Each function that writes runs in one
// StoreTransaction and keeps the last error of the step that failed.
#include "hosts/velmor/admin.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <set>

#include "certs/find.h"
#include "codec/codec.h"
#include "platform/crypt/handles.h"

namespace velmor::admin {

using crypt::UniqueCert;
using crypt::UniqueKey;
using crypt::UniqueProv;
using crypt::UniqueStore;

namespace {

constexpr std::array<const char*, 5> kSystemStores = {"MY", "CA", "Root", "Trust",
                                                      "TrustedPublisher"};
constexpr std::size_t kBlobHeaderSize = 8;  // BLOBHEADER, before the key's own numbers

// Attempt: the last error of the step that failed, kept while the handles of the attempt are
// released (closing a store that still has contexts out sets a last error of its own).
class Attempt {
 public:
  bool Failed() {
    error_ = GetLastError();
    return false;
  }
  bool Failed(DWORD error) {
    error_ = error;
    return false;
  }
  bool Finish(bool ok) const {
    if (!ok) SetLastError(error_);
    return ok;
  }

 private:
  DWORD error_ = NTE_FAIL;
};

// InOneTransaction: runs `body` with every write it makes in one database transaction, committed
// when it succeeds and undone when it fails. The transaction is over before a failure's last
// error is set again, so that undoing it cannot mask that error.
template <typename Body>
bool InOneTransaction(Attempt& a, Body&& body) {
  bool ok = false;
  {
    velmor::crypt::StoreTransaction transaction;
    ok = (transaction.Begin() || a.Failed()) && body() && (transaction.Commit() || a.Failed());
  }
  return a.Finish(ok);
}


std::string SubjectText(PCCERT_CONTEXT cert) {
  CERT_NAME_BLOB* name = &cert->pCertInfo->Subject;
  const DWORD size = CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0);
  std::string text(size, '\0');
  const DWORD written = CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, text.data(), size);
  text.resize(written > 0 ? written - 1 : 0);
  return text;
}

std::int64_t UnixTime(const FILETIME& ft) {
  const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  return (static_cast<std::int64_t>(ticks) - 116444736000000000LL) / 10000000LL;
}

// ContainerOf: the container a certificate's key-provider property names, in the ANSI code
// page as CryptAcquireContextA takes it; empty when the property is not set.
std::string ContainerOf(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return {};
  std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) {
    return {};
  }
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  if (info->pwszContainerName == nullptr || info->pwszContainerName[0] == 0) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, info->pwszContainerName, -1, nullptr, 0, nullptr,
                                    nullptr);
  if (n <= 1) return {};
  std::string name(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, info->pwszContainerName, -1, name.data(), n, nullptr, nullptr);
  name.resize(static_cast<std::size_t>(n - 1));
  return name;
}

// Wide: an ANSI text as UTF-16 (empty when it does not convert).
std::u16string Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n) != n) return {};
  wide.resize(static_cast<std::size_t>(n - 1));
  return wide;
}

// PublicBlob: the PUBLICKEYBLOB of a key, without its header (whose algorithm says only how
// the key is used).
bool PublicBlob(HCRYPTKEY key, std::vector<BYTE>& out) {
  DWORD size = 0;
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) return false;
  out.resize(size);
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, out.data(), &size)) return false;
  out.resize(size);
  out.erase(out.begin(), out.begin() + static_cast<long>(std::min(kBlobHeaderSize, out.size())));
  return true;
}

UniqueStore OpenSystemStore(const std::string& name) {
  return UniqueStore(CertOpenSystemStoreA(0, name.c_str()));
}

// StoreKey: puts the private key into the container of `prov` as `keySpec`, handing out a
// handle on the stored key.
using StoreKey = std::function<bool(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* stored)>;

// ImportInto: the body of ImportKeyAndCertificate and ImportPkcs12, inside the caller's
// transaction.
bool ImportInto(Attempt& a, const std::string& store, const std::vector<std::uint8_t>& certDer,
                const StoreKey& storeKey, DWORD keySpec, const std::string& container,
                const std::vector<std::vector<std::uint8_t>>& chain) {
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) {
    return a.Failed(static_cast<DWORD>(E_INVALIDARG));
  }
  if (container.empty()) return a.Failed(NTE_BAD_KEYSET);
  UniqueStore target = OpenSystemStore(store);
  if (!target) return a.Failed();
  UniqueCert cert(CertCreateCertificateContext(X509_ASN_ENCODING, certDer.data(),
                                               static_cast<DWORD>(certDer.size())));
  if (!cert) return a.Failed();
  HCRYPTPROV rawProv = 0;
  if (!CryptAcquireContextA(&rawProv, container.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                            CRYPT_NEWKEYSET)) {
    return a.Failed();
  }
  UniqueProv prov{UniqueProv::pointer(rawProv)};
  HCRYPTKEY rawKey = 0;
  if (!storeKey(rawProv, keySpec, &rawKey)) return a.Failed();
  UniqueKey key{UniqueKey::pointer(rawKey)};
  HCRYPTKEY rawPublic = 0;
  if (!CryptImportPublicKeyInfo(rawProv, X509_ASN_ENCODING,
                                &cert->pCertInfo->SubjectPublicKeyInfo, &rawPublic)) {
    return a.Failed();
  }
  UniqueKey certKey{UniqueKey::pointer(rawPublic)};
  std::vector<BYTE> mine, theirs;
  if (!PublicBlob(rawKey, mine) || !PublicBlob(rawPublic, theirs)) return a.Failed();
  if (mine != theirs) return a.Failed(NTE_BAD_KEY);
  PCCERT_CONTEXT raw = nullptr;
  if (!CertAddEncodedCertificateToStore(target.get(), X509_ASN_ENCODING, certDer.data(),
                                        static_cast<DWORD>(certDer.size()), CERT_STORE_ADD_ALWAYS,
                                        &raw)) {
    return a.Failed();
  }
  UniqueCert added(raw);
  std::u16string wideContainer = Wide(container);
  std::u16string wideProvider = Wide(MS_ENHANCED_PROV_A);
  if (wideContainer.empty() || wideProvider.empty()) return a.Failed(NTE_BAD_KEYSET);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = wideContainer.data();
  info.pwszProvName = wideProvider.data();
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = keySpec;
  if (!CertSetCertificateContextProperty(added.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
    return a.Failed();
  }
  if (chain.empty()) return true;
  UniqueStore ca = OpenSystemStore("CA");
  if (!ca) return a.Failed();
  for (const auto& der : chain) {
    if (!CertAddEncodedCertificateToStore(ca.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      return a.Failed();
    }
  }
  return true;
}

bool Import(const std::string& store, const std::vector<std::uint8_t>& certDer,
            const StoreKey& storeKey, DWORD keySpec, const std::string& container,
            const std::vector<std::vector<std::uint8_t>>& chain) {
  Attempt a;
  return InOneTransaction(
      a, [&] { return ImportInto(a, store, certDer, storeKey, keySpec, container, chain); });
}

// Pkcs12Parts: what ReadPkcs12 found, the key as a handle in no container.
struct Pkcs12Parts {
  std::vector<std::uint8_t> certDer;
  std::vector<std::vector<std::uint8_t>> chain;
  std::string container;
  std::string serialHex;
  std::string subject;
  UniqueKey key;
};

bool ReadParts(Attempt& a, const std::vector<std::uint8_t>& pfx, const char* password,
               const std::string& container, Pkcs12Parts& parts) {
  if (pfx.size() > 0x7FFFFFFFu) return a.Failed(NTE_BAD_LEN);
  HCERTSTORE rawStore = nullptr;
  HCRYPTKEY rawKey = 0;
  if (!velmor::crypt::ReadPkcs12(pfx.data(), static_cast<DWORD>(pfx.size()), password,
                                 &rawStore, &rawKey)) {
    return a.Failed();
  }
  UniqueStore certs(rawStore);
  parts.key = UniqueKey{UniqueKey::pointer(rawKey)};
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(rawStore, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(rawStore, c)) {
    std::vector<std::uint8_t> der(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    if (!parts.certDer.empty()) {
      parts.chain.push_back(std::move(der));
      continue;
    }
    parts.certDer = std::move(der);
    parts.serialHex = SerialHex(c);
    parts.subject = SubjectText(c);
    parts.container = container.empty() ? ContainerNameFor(c) : container;
    if (parts.container.empty()) {
      a.Failed();
      CertFreeCertificateContext(c);
      return false;
    }
  }
  if (parts.certDer.empty()) return a.Failed(CRYPT_E_NOT_FOUND);
  return true;
}

}  // namespace

std::string ContainerNameFor(PCCERT_CONTEXT cert) {
  BYTE digest[32];
  DWORD size = sizeof digest;
  if (!CertGetCertificateContextProperty(cert, CERT_SHA256_HASH_PROP_ID, digest, &size) ||
      size < 4) {
    return {};
  }
  return "velmor-" + SerialHex(cert) + "-" + HexEncode(digest, 4);
}

bool ImportKeyAndCertificate(const std::string& store, const std::vector<std::uint8_t>& certDer,
                             const std::uint8_t* privateKeyBlob, std::size_t blobLen,
                             DWORD keySpec, const std::string& container,
                             const std::vector<std::vector<std::uint8_t>>& chain) {
  // A copy of our own: the import writes the slot's algorithm into the blob.
  SecretBuffer blob = SecretBuffer::Allocate(blobLen);
  if (!blob) {
    SetLastError(NTE_NO_MEMORY);
    return false;
  }
  const bool given = privateKeyBlob != nullptr && blobLen != 0;
  if (given) std::memcpy(blob.get(), privateKeyBlob, blobLen);
  auto storeKey = [&](HCRYPTPROV prov, DWORD spec, HCRYPTKEY* stored) {
    if (!given || blobLen < kBlobHeaderSize || blobLen > 0xFFFFFFFFu) {
      SetLastError(NTE_BAD_DATA);
      return false;
    }
    // The blob's algorithm names the slot the key goes to.
    const ALG_ID alg = spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    for (int i = 0; i < 4; ++i) blob.get()[4 + i] = static_cast<BYTE>(alg >> (8 * i));
    return CryptImportKey(prov, blob.get(), static_cast<DWORD>(blobLen), 0, 0, stored) == TRUE;
  };
  return Import(store, certDer, storeKey, keySpec, container, chain);
}

bool ImportPkcs12(const std::vector<std::uint8_t>& pfx, const char* password, DWORD keySpec,
                  const std::string& container, Pkcs12Import* result) {
  Attempt a;
  Pkcs12Parts parts;
  if (!a.Finish(ReadParts(a, pfx, password, container, parts))) return false;
  // The key goes over as it is, not through a PRIVATEKEYBLOB, whose layout has no room for
  // keys of an odd size or with primes of unequal length.
  auto storeKey = [&](HCRYPTPROV prov, DWORD spec, HCRYPTKEY* stored) {
    return velmor::crypt::StorePrivateKey(prov, parts.key.get().value, spec, 0, stored) == TRUE;
  };
  if (!Import("MY", parts.certDer, storeKey, keySpec, parts.container, parts.chain)) {
    return false;
  }
  if (result != nullptr) {
    result->container = parts.container;
    result->serialHex = parts.serialHex;
    result->subject = parts.subject;
    result->chainCount = parts.chain.size();
  }
  return true;
}

bool AddCertificates(const std::string& store, const std::vector<std::uint8_t>& data,
                     std::size_t* added, std::size_t* present) {
  if (added != nullptr) *added = 0;
  if (present != nullptr) *present = 0;
  Attempt a;
  std::size_t newOnes = 0, already = 0;
  const bool ok = InOneTransaction(a, [&]() -> bool {
    UniqueStore target = OpenSystemStore(store);
    if (!target) return a.Failed();
    if (data.size() > 0x7FFFFFFFu) return a.Failed(NTE_BAD_LEN);
    std::vector<std::vector<BYTE>> certs;
    if (!velmor::crypt::ReadCertificates(data.data(), static_cast<DWORD>(data.size()), certs)) {
      return a.Failed();
    }
    for (const auto& der : certs) {
      if (CertAddEncodedCertificateToStore(target.get(), X509_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                           nullptr)) {
        ++newOnes;
      } else if (GetLastError() == CRYPT_E_EXISTS) {
        ++already;
      } else {
        return a.Failed();
      }
    }
    return true;
  });
  if (!ok) return false;
  if (added != nullptr) *added = newOnes;
  if (present != nullptr) *present = already;
  return true;
}

bool ListCertificates(const std::string& store, std::vector<CertificateEntry>& out) {
  out.clear();
  Attempt a;
  auto body = [&]() -> bool {
    UniqueStore source = OpenSystemStore(store);
    if (!source) return a.Failed();
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(source.get(), nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(source.get(), c)) {
      CertificateEntry entry;
      entry.serialHex = SerialHex(c);
      entry.subject = SubjectText(c);
      entry.notBefore = UnixTime(c->pCertInfo->NotBefore);
      entry.notAfter = UnixTime(c->pCertInfo->NotAfter);
      entry.der.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
      entry.container = ContainerOf(c);
      HCRYPTPROV prov = 0;
      DWORD spec = 0;
      BOOL mustFree = FALSE;
      // A listing never asks for a token's PIN.
      if (CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &spec,
                                            &mustFree)) {
        entry.hasKey = true;
        if (mustFree) CryptReleaseContext(prov, 0);
      } else if (GetLastError() != CRYPT_E_NO_KEY_PROPERTY) {
        entry.keyError = GetLastError();
      }
      out.push_back(std::move(entry));
    }
    return GetLastError() == CRYPT_E_NOT_FOUND || a.Failed();
  };
  return a.Finish(body());
}

bool RemoveCertificates(const std::string& store, const std::string& serialHex,
                        std::size_t* removed) {
  if (removed != nullptr) *removed = 0;
  Attempt a;
  std::size_t count = 0;
  const bool ok = InOneTransaction(a, [&]() -> bool {
    UniqueStore source = OpenSystemStore(store);
    if (!source) return a.Failed();
    std::vector<UniqueCert> doomed;
    std::set<std::string> containers;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(source.get(), nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(source.get(), c)) {
      if (!SerialHexIs(c, serialHex)) continue;
      doomed.emplace_back(CertDuplicateCertificateContext(c));
      if (std::string name = ContainerOf(c); !name.empty()) containers.insert(name);
    }
    if (doomed.empty()) return a.Failed(CRYPT_E_NOT_FOUND);
    for (UniqueCert& cert : doomed) {
      // The call frees the context whatever it answers.
      if (!CertDeleteCertificateFromStore(cert.release())) return a.Failed();
      ++count;
    }
    // A container goes only when no remaining certificate of any store names it.
    for (const char* other : kSystemStores) {
      UniqueStore s = OpenSystemStore(other);
      if (!s) return a.Failed();
      for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr); c != nullptr;
           c = CertEnumCertificatesInStore(s.get(), c)) {
        containers.erase(ContainerOf(c));
      }
    }
    for (const std::string& name : containers) {
      HCRYPTPROV none = 0;
      if (!CryptAcquireContextA(&none, name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                CRYPT_DELETEKEYSET) &&
          GetLastError() != NTE_BAD_KEYSET) {
        return a.Failed();
      }
    }
    return true;
  });
  if (!ok) return false;
  if (removed != nullptr) *removed = count;
  return true;
}

bool ExportCertificatePem(const std::string& store, const std::string& serialHex,
                          std::string& pem) {
  pem.clear();
  Attempt a;
  auto body = [&]() -> bool {
    UniqueStore source = OpenSystemStore(store);
    if (!source) return a.Failed();
    const UniqueCert found(FindCertBySerial(source.get(), serialHex));
    if (!found) return a.Failed(CRYPT_E_NOT_FOUND);
    return velmor::crypt::CertificatePem(found.get(), pem) || a.Failed();
  };
  return a.Finish(body());
}

bool ExportKey(const std::string& store, const std::string& serialHex, const char* password,
               std::vector<std::uint8_t>& pfx) {
  pfx.clear();
  Attempt a;
  auto body = [&]() -> bool {
    UniqueStore source = OpenSystemStore(store);
    if (!source) return a.Failed();
    const UniqueCert found(FindCertBySerial(source.get(), serialHex));
    if (!found) return a.Failed(CRYPT_E_NOT_FOUND);
    return velmor::crypt::ExportPkcs12(found.get(), password, pfx) || a.Failed();
  };
  return a.Finish(body());
}

}  // namespace velmor::admin
