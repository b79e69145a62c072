// Internal: everything this layer keeps for the whole process, in one object. The handle tables,
// the caches, the lock every exported function holds and the test seam's hook live here and
// nowhere else, so that a reader sees in one place what survives between calls, and a test puts
// all of it back in one step (Reset).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/crypt/detail.h"

namespace velmor::crypt::detail {

struct Provider;
struct Hash;
struct Key;
struct StoreImpl;
struct CertContextImpl;
class Storage;
// Pieces whose types only the file that uses them knows.
struct LoadedKeys;         // provider.cpp: loaded private keys, by generation
struct UnwrittenContainers;  // provider.cpp: containers made but not yet written
struct StoreCache;         // store.cpp: store snapshots, by generation
class PublicKeyCache;      // certificate.cpp: decoded public keys, by encoding
struct NameTextCache;      // certificate.cpp: subject texts, by encoding
struct StorageChoice;      // storage_memory.cpp: which storage OpenStorage answers
struct Registry;           // token.cpp: p11-kit's modules, loaded once
struct TokenLogins;        // token.cpp: this process's logins, per module and slot
struct TokenCertificates;  // token.cpp: parsed token certificates, by encoding
struct TokenListings;      // token.cpp: what was read of each present token

// Slot: a piece of the runtime whose type is complete only in its own file. It is made there on
// first use (Get); Drop forgets it, and the next Get makes it afresh, empty.
template <typename T>
class Slot {
 public:
  T& Get() {
    if (!object_) object_ = Owner(new T, [](T* p) { delete p; });
    return *object_;
  }
  void Drop() { object_.reset(); }

 private:
  // The deleter is made where T is complete, so that Drop can run where it is not.
  using Owner = std::unique_ptr<T, void (*)(T*)>;
  Owner object_{nullptr, nullptr};
};

// Runtime: the process-wide state. Made on first use and never freed: cached keys and
// certificates refer to its library context until the process ends.
class Runtime {
 public:
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The lock every exported function holds: calls are serialised, as in a single apartment.
  ApiMutex lock;
  // How many exported calls have begun from outside this layer, and how deep the one under way
  // is nested: what a call reads of the database (its generation) it reads once.
  std::uint64_t callSerial = 0;
  int callDepth = 0;
  // The test seam's hook (null in a shipping process; see Injected).
  std::atomic<SeamHook> seam{nullptr};

  // The library context of this layer (default and legacy providers) and the algorithms
  // fetched from it once; rc4 is null when the legacy provider is missing.
  OSSL_LIB_CTX* libCtx = nullptr;
  EVP_MD* md5 = nullptr;
  EVP_MD* sha1 = nullptr;
  EVP_CIPHER* rc4 = nullptr;

  // The live objects behind the handles this layer hands out. Never reset: their owners
  // release them.
  HandleTable<Provider, HandleKind::kProvider> providers;
  HandleTable<Hash, HandleKind::kHash> hashes;
  HandleTable<Key, HandleKind::kKey> keys;
  HandleTable<StoreImpl, HandleKind::kStore, std::weak_ptr> stores;
  // The live certificate contexts, so that a stale pointer is refused instead of dereferenced.
  std::unordered_map<const CERT_CONTEXT*, std::unique_ptr<CertContextImpl>> contexts;

  // Where the stores and containers are, and the open StoreTransaction's storage; the
  // in-memory storage while tests ask for it (UseInMemoryStorage).
  Slot<StorageChoice> storage;
  std::shared_ptr<Storage> memoryStorage;
  Slot<UnwrittenContainers> emptyContainers;
  // SetKeyStorage's choice (-1: none, else a KeyStorage), and whether the fall-back to the
  // master key file was said on standard error.
  std::atomic<int> keyStorage{-1};
  std::atomic<bool> fallbackSaid{false};
  // The login user's name, read once per user id.
  uid_t loginUid = static_cast<uid_t>(-1);
  std::string loginName;

  // Tokens: modules and logins live as long as the keys that use them.
  Slot<Registry> tokenModules;
  Slot<TokenLogins> tokenLogins;

  // Caches: nothing in them is anything but a faster answer.
  Slot<LoadedKeys> keyCache;
  Slot<StoreCache> storeCache;
  Slot<PublicKeyCache> publicKeys;
  Slot<NameTextCache> nameTexts;
  Slot<TokenCertificates> tokenCertificates;
  Slot<TokenListings> tokenListings;

  // DropCaches: forgets the store snapshots and loaded keys, as a new process would not have
  // them (velmor::crypt::DropCaches).
  void DropCaches();
  // Reset: for tests, everything a test may have left that the next one would see: the seam's
  // hook, the in-memory storage, SetKeyStorage's choice, the containers made but not written
  // and every cache. Open handles stay valid, and the tokens' modules stay loaded.
  void Reset();
};

// TheRuntime: the one runtime of the process.
inline Runtime& TheRuntime() {
  static Runtime* runtime = new Runtime;
  return *runtime;
}

inline ApiMutex& ApiLock() { return TheRuntime().lock; }

// Injected: whether the test seam makes this call of `function` fail (it then sets the last
// error). The seam is linked only into tests: it sets the hook while failures are injected, and
// a shipping process leaves it null. Every call asks, so the common answer costs one load.
inline bool Injected(const char* function, const char* arg = nullptr) {
  const SeamHook hook = TheRuntime().seam.load(std::memory_order_acquire);
  return hook != nullptr && hook(function, arg);
}

}  // namespace velmor::crypt::detail
