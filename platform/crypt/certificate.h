// Internal: parsed certificates, certificate contexts and stores, shared by the files of
// platform/crypt.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypt/storage.h"

namespace velmor::crypt::detail {

// CertData: one parsed certificate, immutable once built and shared by every context of it.
// CERT_INFO points into the arena. The OpenSSL object is made when first needed: decoding the
// public key is most of the cost of a certificate, and a store search never needs it.
struct CertData {
  std::vector<std::uint8_t> der;
  CERT_INFO info{};
  mutable UniquePtr<X509> x509;  // use X509Of()
  std::deque<std::vector<std::uint8_t>> arena;
  std::deque<std::string> strings;
  std::vector<CERT_EXTENSION> extensions;
};

// ParseCertificate: the parsed DER certificate; null with a CRYPT_E_ASN1_* last error. Input
// from outside is checked in full by OpenSSL; `trusted` input (rows this layer stored after
// that check) is only walked, and decoded by OpenSSL when first needed.
std::shared_ptr<const CertData> ParseCertificate(const std::uint8_t* der, std::size_t len,
                                                 bool trusted = false);
// ParseX509: the parsed form of a certificate OpenSSL already holds (re-encoded as DER); null
// with a CRYPT_E_ASN1_* last error.
std::shared_ptr<const CertData> ParseX509(X509* x);
// X509Of: the OpenSSL object of a certificate (borrowed; lives as long as `data`); null with
// CRYPT_E_ASN1_CORRUPT.
X509* X509Of(const CertData& data);

struct StoreImpl;
// HandleOf: the handle a store was opened with, which its certificate contexts name.
HCERTSTORE HandleOf(const StoreImpl& store);

struct CertContextImpl {
  CERT_CONTEXT context{};
  unsigned refs = 1;
  std::shared_ptr<const CertData> data;
  std::shared_ptr<StoreImpl> store;  // null for a context of no store
  std::int64_t rowId = 0;
  std::optional<KeyProvRecord> keyProv;
};

// NewContext: a context with one reference (the caller's).
PCCERT_CONTEXT NewContext(std::shared_ptr<const CertData> data, std::shared_ptr<StoreImpl> store,
                          std::int64_t rowId, std::optional<KeyProvRecord> keyProv);
// FindContext: the live context behind a pointer; null with E_INVALIDARG.
CertContextImpl* FindContext(PCCERT_CONTEXT context);
// ReleaseContextReference: drops one reference; the last one frees the context.
void ReleaseContextReference(CertContextImpl* impl);

// One certificate of a store as cached: its row, the parsed certificate, its key property.
struct StoreEntry {
  std::int64_t id = 0;
  std::shared_ptr<const CertData> data;
  std::optional<KeyProvRecord> keyProv;
};
using StoreSnapshot = std::vector<StoreEntry>;
// LoadStore: the certificates of a system store in the order they were added, from the cache
// when the database's generation has not moved, parsing only rows not seen before.
bool LoadStore(Storage& storage, const std::string& store,
               std::shared_ptr<const StoreSnapshot>& out);

// SerializeKeyProv / parsing: the record and its UTF-16 strings in one buffer.
std::vector<std::uint8_t> SerializeKeyProv(const KeyProvRecord& record);

// NameToText: the X.500 text of a DER name, as CertNameToStrA writes it (in the ANSI code page);
// nullopt with a CRYPT_E_ASN1_* last error.
std::optional<std::string> NameToText(const std::uint8_t* der, std::size_t len);

// PublicKeyOf: the RSA public key of a certificate's SubjectPublicKeyInfo (owner: the caller).
UniquePtr<EVP_PKEY> PublicKeyOfInfo(const CERT_PUBLIC_KEY_INFO& info);

// The system store names, canonical spelling; nullopt for any other name.
std::optional<std::string> SystemStoreName(std::string_view name);

// DropStoreCache / DropKeyCache: forget what is cached between calls.
void DropStoreCache();
void DropKeyCache();

// FileTimeFromTime / TimeText helpers.
FILETIME FileTimeFromUnix(std::int64_t seconds);
std::int64_t UnixFromFileTime(const FILETIME& ft);

}  // namespace velmor::crypt::detail
