// The persistent state of this layer behind a small interface: the five system stores and the
// key containers. The SQLite backend (storage_sqlite.cpp) is the real one; the in-memory one
// (storage_memory.cpp) serves tests. Every method returns false on failure with the last error
// set; every write is one transaction and bumps the generation counter in the same transaction.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/detail.h"

namespace velmor::crypt::detail {

struct StoredCert {
  std::int64_t id = 0;
  std::vector<std::uint8_t> der;  // empty when the caller said it already has it
  std::optional<KeyProvRecord> keyProv;
};

struct StoredKey {
  SecretBytes der;  // PKCS #8 DER of the private key
  bool exportable = false;
};

// One write: everything in it happens, or nothing does.
struct Change {
  struct NewContainer {
    std::string name;
    bool mustBeNew = true;  // NTE_EXISTS when it exists already
  };
  struct NewKey {
    std::string container;
    DWORD spec = AT_KEYEXCHANGE;
    SecretBytes der;
    bool exportable = false;
  };
  struct NewCert {
    std::string store;
    std::vector<std::uint8_t> der;
    std::optional<KeyProvRecord> keyProv;
  };
  std::vector<NewContainer> containers;
  std::vector<NewKey> keys;
  std::vector<NewCert> certs;
  std::vector<std::int64_t> deleteCerts;
  std::vector<std::pair<std::int64_t, std::optional<KeyProvRecord>>> setKeyProv;
  std::vector<std::string> deleteContainers;
};

class Storage {
 public:
  virtual ~Storage() = default;
  // Identity: a text that changes when the underlying database is another one (path, file).
  virtual const std::string& Identity() const = 0;
  // Generation: the counter bumped by every write, this process's or another's.
  virtual bool Generation(std::uint64_t& out) = 0;
  // ListStore: the certificates of `store` in the order they were added. `needDer(id)` says
  // whether the caller wants the encoding of that row (it caches parsed certificates).
  virtual bool ListStore(std::string_view store, const std::function<bool(std::int64_t)>& needDer,
                         std::vector<StoredCert>& out) = 0;
  virtual bool ContainerExists(std::string_view name, bool& exists) = 0;
  virtual bool ListContainers(std::vector<std::string>& out) = 0;
  // LoadKey: `out` stays empty when the container has no key of that spec.
  virtual bool LoadKey(std::string_view container, DWORD spec, std::optional<StoredKey>& out) = 0;
  // Apply: the new certificates' ids, in the order of change.certs.
  virtual bool Apply(const Change& change, std::vector<std::int64_t>* newIds) = 0;
  // Begin / Commit / Rollback: one transaction around several writes (StoreTransaction). Each
  // Apply inside it still takes whole or not at all; none is seen by another process, or
  // survives the end of this one, before Commit. Begin holds the database's write lock.
  virtual bool Begin() = 0;
  virtual bool Commit() = 0;
  virtual void Rollback() = 0;
  // InTransaction: whether Begin holds the write lock now (a write then waits for nobody).
  virtual bool InTransaction() const = 0;
  // DescribeSealing: where the master key of the sealed private keys is kept.
  virtual bool DescribeSealing(KeyStorageInfo& out) = 0;

  // Writes: how many writes, transactions and undoings this connection has started. A key
  // container's handle reads the generation once and again only when this count has moved, so
  // that this process always sees its own writes without asking the database after each call.
  std::uint64_t Writes() const { return writes_.load(std::memory_order_relaxed); }

 protected:
  void CountWrite() { writes_.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> writes_{0};
};

// OpenStorage: the storage of the current user, resolved afresh from XDG_DATA_HOME / HOME on
// every call (a cached connection is reused while the path and file stay the same). Null with
// the last error set when it cannot be opened.
std::shared_ptr<Storage> OpenStorage();
// MakeSqliteStorage: opens (creating) the database at `path`, its folder 0700, the file 0600.
std::shared_ptr<Storage> MakeSqliteStorage(const std::string& path);
std::shared_ptr<Storage> MakeMemoryStorage();
// DatabasePath: where the current user's database lives; empty when no home can be found.
std::string DatabasePath();

}  // namespace velmor::crypt::detail
