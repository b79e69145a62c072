// Certificate stores: the five system stores of the current user (persistent, cached by
// generation) and memory stores.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <type_traits>
#include <unordered_map>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"
#include "platform/crypt/pkcs11.h"

namespace velmor::crypt::detail {

namespace {

using StoreTable = HandleTable<StoreImpl, HandleKind::kStore, std::weak_ptr>;

StoreTable& Stores() { return TheRuntime().stores; }

ULONG_PTR HandleNumber(HCERTSTORE handle) { return reinterpret_cast<ULONG_PTR>(handle); }

}  // namespace

// A store lives while its handle is open or a context from it is held; its entry in the handle
// table goes with it, so that a process opening stores all day keeps nothing of closed ones.
struct StoreImpl {
  StoreImpl() = default;
  StoreImpl(const StoreImpl&) = delete;
  StoreImpl& operator=(const StoreImpl&) = delete;
  ~StoreImpl() { Stores().Remove(HandleNumber(handle)); }

  HCERTSTORE handle = nullptr;

  std::string name;  // canonical system store name; empty for a memory store
  std::shared_ptr<Storage> storage;  // null for a memory store
  std::shared_ptr<const StoreSnapshot> snapshot = std::make_shared<StoreSnapshot>();
  // The certificates of the tokens present ("MY" only), after the database's. The slots are
  // scanned once per open, and only when an enumeration goes past the database's last
  // certificate: a signer found among those never loads a token module. Every later refresh of
  // the database's part keeps these.
  bool tokensScanned = false;
  std::vector<StoreEntry> tokenEntries;
  std::int64_t nextMemoryId = 1;
  bool readOnly = false;
  unsigned openCount = 1;
  std::shared_ptr<StoreImpl> self;  // keeps the store alive while a handle is open
};

namespace {

struct CachedStore {
  std::uint64_t generation = 0;
  std::shared_ptr<const StoreSnapshot> snapshot;
};

}  // namespace

struct StoreCache {
  std::string identity;  // the database the entries belong to
  std::unordered_map<std::string, CachedStore> stores;
};

namespace {

StoreCache& Cache() { return TheRuntime().storeCache.Get(); }

std::shared_ptr<StoreImpl> FindStore(HCERTSTORE handle) {
  auto store = Stores().Find(HandleNumber(handle));
  if (!store) SetLastError(ERROR_INVALID_HANDLE);
  return store;
}

HCERTSTORE RegisterStore(std::shared_ptr<StoreImpl> store) {
  store->self = store;
  // The handle is a number in the guise of a pointer: callers never dereference a store.
  store->handle = reinterpret_cast<HCERTSTORE>(Stores().Add(store));
  return store->handle;
}

// The certificates of the tokens present now follow those of the database in "MY", under row
// numbers no database row reaches; they are not the database's, so they are never written.
constexpr std::int64_t kTokenRowBase = std::int64_t{1} << 62;
bool IsTokenRow(std::int64_t id) { return id >= kTokenRowBase; }

// Refresh: the database's part of the store as of now (a generation check when nothing
// changed), followed by the token certificates found at the open.
bool Refresh(StoreImpl& store) {
  if (!store.storage) return true;
  if (!LoadStore(*store.storage, store.name, store.snapshot)) return false;
  if (store.tokenEntries.empty()) return true;
  auto merged = std::make_shared<StoreSnapshot>(*store.snapshot);
  merged->insert(merged->end(), store.tokenEntries.begin(), store.tokenEntries.end());
  store.snapshot = std::move(merged);
  return true;
}

// ScanTokens: appends the token certificates "MY" shows, read once per open; whether any were.
bool ScanTokens(StoreImpl& store) {
  if (store.tokensScanned || !store.storage || store.name != "MY") return false;
  store.tokensScanned = true;
  std::int64_t id = kTokenRowBase;
  for (TokenStoreCertificate& cert : TokenStoreCertificates()) {
    store.tokenEntries.push_back(StoreEntry{id++, std::move(cert.data), std::move(cert.keyProv)});
  }
  if (store.tokenEntries.empty()) return false;
  auto merged = std::make_shared<StoreSnapshot>(*store.snapshot);
  merged->insert(merged->end(), store.tokenEntries.begin(), store.tokenEntries.end());
  store.snapshot = std::move(merged);
  return true;
}

HCERTSTORE OpenSystemStore(HCRYPTPROV_LEGACY prov, const std::string& requested, DWORD flags) {
  if (prov != 0 && !FindProvider(prov)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto name = SystemStoreName(requested);
  if (!name) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  auto storage = OpenStorage();
  if (!storage) return nullptr;
  auto store = std::make_shared<StoreImpl>();
  store->name = *name;
  store->storage = std::move(storage);
  store->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
  if (!Refresh(*store)) return nullptr;
  return RegisterStore(std::move(store));
}

const StoreEntry* FindEntry(const StoreSnapshot& snapshot, std::int64_t id) {
  auto it = std::lower_bound(snapshot.begin(), snapshot.end(), id,
                             [](const StoreEntry& e, std::int64_t v) { return e.id < v; });
  return it != snapshot.end() && it->id == id ? &*it : nullptr;
}

PCCERT_CONTEXT ContextFor(const std::shared_ptr<StoreImpl>& store, const StoreEntry& entry) {
  return NewContext(entry.data, store, entry.id, entry.keyProv);
}

}  // namespace

HCERTSTORE HandleOf(const StoreImpl& store) { return store.handle; }

void DropStoreCache() { TheRuntime().storeCache.Drop(); }

bool LoadStore(Storage& storage, const std::string& store,
               std::shared_ptr<const StoreSnapshot>& out) {
  std::uint64_t generation = 0;
  if (!storage.Generation(generation)) return false;
  StoreCache& cache = Cache();
  if (cache.identity != storage.Identity()) {
    cache.stores.clear();
    cache.identity = storage.Identity();
  }
  auto& cached = cache.stores[store];
  if (cached.snapshot && cached.generation == generation) {
    out = cached.snapshot;
    return true;
  }
  std::unordered_map<std::int64_t, std::shared_ptr<const CertData>> known;
  if (cached.snapshot) {
    for (const auto& e : *cached.snapshot) known.emplace(e.id, e.data);
  }
  std::vector<StoredCert> rows;
  if (!storage.ListStore(store, [&](std::int64_t id) { return known.count(id) == 0; }, rows)) {
    return false;
  }
  auto snapshot = std::make_shared<StoreSnapshot>();
  snapshot->reserve(rows.size());
  for (auto& row : rows) {
    StoreEntry entry;
    entry.id = row.id;
    entry.keyProv = std::move(row.keyProv);
    auto it = known.find(row.id);
    if (it != known.end()) {
      entry.data = it->second;
    } else {
      entry.data = ParseCertificate(row.der.data(), row.der.size(), true);
      if (!entry.data) continue;  // an unreadable row is skipped, never handed out
    }
    snapshot->push_back(std::move(entry));
  }
  cached.generation = generation;
  cached.snapshot = snapshot;
  out = std::move(snapshot);
  return true;
}

}  // namespace velmor::crypt::detail

using namespace velmor::crypt::detail;

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol) {
  return Call<HCERTSTORE>(nullptr, Api{"CertOpenSystemStoreA", szSubsystemProtocol},
                          [&]() -> HCERTSTORE {
    if (szSubsystemProtocol == nullptr) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return nullptr;
    }
    return OpenSystemStore(hProv, szSubsystemProtocol, 0);
  });
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV_LEGACY hCryptProv,
                         DWORD dwFlags, const void* pvPara) {
  (void)dwEncodingType;
  // The seam's argument is the store's name, known only once it is read: the body asks itself.
  return Call<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
      if (Injected("CertOpenStore", "")) return nullptr;
      auto store = std::make_shared<StoreImpl>();
      return RegisterStore(std::move(store));
    }
    if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return nullptr;
    }
    std::u16string wide;
    if (pvPara != nullptr) {
      for (auto* p = static_cast<const WCHAR*>(pvPara); *p != 0; ++p) wide.push_back(*p);
    }
    auto name = Utf16ToUtf8(wide);
    if (Injected("CertOpenStore", name ? name->c_str() : "")) return nullptr;
    if (pvPara == nullptr || !name) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return nullptr;
    }
    if ((dwFlags & 0xFFFF0000u) != CERT_SYSTEM_STORE_CURRENT_USER) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return nullptr;
    }
    // The caller's provider is never taken over: callers release their own contexts.
    return OpenSystemStore(hCryptProv, *name, dwFlags);
  });
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    if (hCertStore == nullptr) return TRUE;
    auto store = FindStore(hCertStore);
    if (!store || store->openCount == 0) return Fail(ERROR_INVALID_HANDLE);
    if (--store->openCount != 0) return TRUE;
    store->self.reset();
    // Contexts still held keep the store alive; CHECK_FLAG reports them, as on Windows.
    if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0 && store.use_count() > 1) {
      return Fail(CRYPT_E_PENDING_CLOSE);
    }
    return TRUE;
  });
}

namespace {

// AnyCertificate: what CertEnumCertificatesInStore looks for.
struct AnyCertificate {
  bool operator()(const CERT_INFO&) const { return true; }
};

// NextMatching: the context of the first certificate after `prev` (from the start when null)
// for which `wanted` holds, releasing `prev`; the walk of CertEnumCertificatesInStore, making a
// context only of the certificate it stops at.
template <typename Wanted>
PCCERT_CONTEXT NextMatching(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext,
                            const Wanted& wanted) {
  auto store = FindStore(hCertStore);
  CertContextImpl* prev = nullptr;
  if (pPrevCertContext != nullptr) {
    prev = FindContext(pPrevCertContext);
    if (prev == nullptr) return nullptr;
  }
  if (!store) {
    if (prev != nullptr) ReleaseContextReference(prev);
    return nullptr;
  }
  std::int64_t after = 0;
  if (prev != nullptr) {
    after = prev->rowId;
    ReleaseContextReference(prev);
  } else {
    // Even right after the open: another process may have written in between, and only the
    // generation check (one read of a counter while nothing changed) sees that.
    if (!Refresh(*store)) return nullptr;
  }
  const auto next = [&] {
    auto it = std::upper_bound(store->snapshot->begin(), store->snapshot->end(), after,
                               [](std::int64_t v, const StoreEntry& e) { return v < e.id; });
    if constexpr (!std::is_same_v<Wanted, AnyCertificate>) {
      it = std::find_if(it, store->snapshot->end(),
                        [&](const StoreEntry& e) { return wanted(e.data->info); });
    }
    return it;
  };
  auto it = next();
  if (it == store->snapshot->end() && ScanTokens(*store)) it = next();
  if (it == store->snapshot->end()) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return ContextFor(store, *it);
}

}  // namespace

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  return Call<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    return NextMatching(hCertStore, pPrevCertContext, AnyCertificate{});
  });
}

namespace velmor::crypt {

PCCERT_CONTEXT FindCertificateBySerialHex(HCERTSTORE store, std::string_view hex,
                                          PCCERT_CONTEXT prev) {
  return detail::Call<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    return ::NextMatching(store, prev,
                                [&](const CERT_INFO& info) { return SerialHexIs(info, hex); });
  });
}

}  // namespace velmor::crypt

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
  if (ppCertContext != nullptr) *ppCertContext = nullptr;
  return Call<BOOL>(FALSE, Api{"CertAddEncodedCertificateToStore"}, StoreHandle(hCertStore),
                    [&](std::shared_ptr<StoreImpl>& store) -> BOOL {
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || dwAddDisposition < CERT_STORE_ADD_NEW ||
        dwAddDisposition > CERT_STORE_ADD_ALWAYS) {
      return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    if (store->readOnly) return Fail(E_ACCESSDENIED_DW);
    auto data = ParseCertificate(pbCertEncoded, cbCertEncoded);
    if (!data) return FALSE;
    if (!Refresh(*store)) return FALSE;
    const StoreEntry* existing = nullptr;
    if (dwAddDisposition != CERT_STORE_ADD_ALWAYS) {
      for (const auto& e : *store->snapshot) {
        if (!IsTokenRow(e.id) && e.data->der == data->der) {
          existing = &e;
          break;
        }
      }
    }
    if (existing != nullptr && dwAddDisposition == CERT_STORE_ADD_NEW) {
      return Fail(CRYPT_E_EXISTS);
    }
    if (existing != nullptr && dwAddDisposition == CERT_STORE_ADD_USE_EXISTING) {
      if (ppCertContext != nullptr) *ppCertContext = ContextFor(store, *existing);
      return TRUE;
    }
    std::optional<KeyProvRecord> keyProv;
    std::int64_t replaced = existing != nullptr ? existing->id : 0;
    if (existing != nullptr) keyProv = existing->keyProv;  // a replacement keeps its key
    std::int64_t id = 0;
    if (store->storage) {
      Change change;
      change.certs.push_back(Change::NewCert{store->name, data->der, keyProv});
      if (replaced != 0) change.deleteCerts.push_back(replaced);
      std::vector<std::int64_t> ids;
      if (!store->storage->Apply(change, &ids) || ids.empty()) return FALSE;
      id = ids.front();
      if (!Refresh(*store)) return FALSE;
    } else {
      auto snapshot = std::make_shared<StoreSnapshot>(*store->snapshot);
      if (replaced != 0) {
        snapshot->erase(std::remove_if(snapshot->begin(), snapshot->end(),
                                       [&](const StoreEntry& e) { return e.id == replaced; }),
                        snapshot->end());
      }
      id = store->nextMemoryId++;
      snapshot->push_back(StoreEntry{id, data, keyProv});
      store->snapshot = snapshot;
    }
    if (ppCertContext != nullptr) {
      const StoreEntry* added = FindEntry(*store->snapshot, id);
      if (added == nullptr) return Fail(NTE_FAIL);
      *ppCertContext = ContextFor(store, *added);
    }
    return TRUE;
  });
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  return Call<BOOL>(FALSE, Api{"CertDeleteCertificateFromStore"}, Context{pCertContext},
                    [&](CertContextImpl& impl) -> BOOL {
    // The context is released whatever happens, as the caller expects.
    std::shared_ptr<StoreImpl> store = impl.store;
    std::int64_t id = impl.rowId;
    ReleaseContextReference(&impl);
    if (!store) return Fail(static_cast<DWORD>(E_INVALIDARG));
    if (store->readOnly || (store->storage && IsTokenRow(id))) return Fail(E_ACCESSDENIED_DW);
    if (store->storage) {
      Change change;
      change.deleteCerts.push_back(id);
      if (!store->storage->Apply(change, nullptr)) return FALSE;
      return Refresh(*store) ? TRUE : FALSE;
    }
    auto snapshot = std::make_shared<StoreSnapshot>(*store->snapshot);
    snapshot->erase(std::remove_if(snapshot->begin(), snapshot->end(),
                                   [&](const StoreEntry& e) { return e.id == id; }),
                    snapshot->end());
    store->snapshot = snapshot;
    return TRUE;
  });
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) {
  (void)dwFlags;
  return Call<BOOL>(FALSE, Api{"CertSetCertificateContextProperty"}, Context{pCertContext},
                    [&](CertContextImpl& context) -> BOOL {
    CertContextImpl* impl = &context;
    if (dwPropId != CERT_KEY_PROV_INFO_PROP_ID) return Fail(static_cast<DWORD>(E_INVALIDARG));
    std::optional<KeyProvRecord> record;
    if (pvData != nullptr) {
      const auto* info = static_cast<const CRYPT_KEY_PROV_INFO*>(pvData);
      KeyProvRecord r;
      r.hasContainer = info->pwszContainerName != nullptr;
      r.hasProvider = info->pwszProvName != nullptr;
      for (const WCHAR* p = info->pwszContainerName; p != nullptr && *p != 0; ++p) r.container += *p;
      for (const WCHAR* p = info->pwszProvName; p != nullptr && *p != 0; ++p) r.provider += *p;
      r.provType = info->dwProvType;
      r.flags = info->dwFlags;
      r.keySpec = info->dwKeySpec;
      record = std::move(r);
    }
    if (impl->store && impl->store->storage && IsTokenRow(impl->rowId)) {
      return Fail(E_ACCESSDENIED_DW);
    }
    if (impl->store && impl->store->storage) {
      Change change;
      change.setKeyProv.emplace_back(impl->rowId, record);
      if (!impl->store->storage->Apply(change, nullptr)) return FALSE;
    } else if (impl->store) {
      auto snapshot = std::make_shared<StoreSnapshot>(*impl->store->snapshot);
      for (auto& e : *snapshot) {
        if (e.id == impl->rowId) e.keyProv = record;
      }
      impl->store->snapshot = snapshot;
    }
    impl->keyProv = std::move(record);
    return TRUE;
  });
}

BOOL CertVerifySubjectCertificateContext(PCCERT_CONTEXT pSubject, PCCERT_CONTEXT pIssuer,
                                         DWORD* pdwFlags) {
  return Call<BOOL>(FALSE, Api{"CertVerifySubjectCertificateContext"}, [&]() -> BOOL {
    if (pdwFlags == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    const DWORD known = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    if ((*pdwFlags & ~known) != 0) return Fail(static_cast<DWORD>(E_INVALIDARG));
    CertContextImpl* subject = FindContext(pSubject);
    if (subject == nullptr) return FALSE;
    DWORD flags = *pdwFlags;
    if (flags & CERT_STORE_SIGNATURE_FLAG) {
      CertContextImpl* issuer = pIssuer != nullptr ? FindContext(pIssuer) : nullptr;
      if (issuer == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
      X509* issuerX509 = X509Of(*issuer->data);
      X509* subjectX509 = X509Of(*subject->data);
      if (issuerX509 == nullptr || subjectX509 == nullptr) return FALSE;
      EVP_PKEY* key = X509_get0_pubkey(issuerX509);
      if (key != nullptr && X509_verify(subjectX509, key) == 1) {
        flags &= ~CERT_STORE_SIGNATURE_FLAG;
      }
      DropExpectedOpenSslErrors();  // a signature that does not check out leaves its flag set
    }
    if (flags & CERT_STORE_TIME_VALIDITY_FLAG) {
      X509* x = X509Of(*subject->data);
      if (x == nullptr) return FALSE;
      if (X509_cmp_current_time(X509_get0_notBefore(x)) < 0 &&
          X509_cmp_current_time(X509_get0_notAfter(x)) > 0) {
        flags &= ~CERT_STORE_TIME_VALIDITY_FLAG;
      }
      DropExpectedOpenSslErrors();  // a time that cannot be compared leaves its flag set
    }
    *pdwFlags = flags;
    return TRUE;
  });
}
