// The in-memory backend for tests, and the choice of backend for the current user.
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"

namespace velmor::crypt {
namespace detail {

namespace {

class MemoryStorage final : public Storage {
 public:
  MemoryStorage() : identity_("memory#" + std::to_string(++instances_)) {}

  const std::string& Identity() const override { return identity_; }

  bool Generation(std::uint64_t& out) override {
    out = generation_;
    return true;
  }

  bool ListStore(std::string_view store, const std::function<bool(std::int64_t)>& needDer,
                 std::vector<StoredCert>& out) override {
    out.clear();
    for (const auto& [id, row] : certs_) {
      if (row.store != store) continue;
      StoredCert copy;
      copy.id = id;
      copy.keyProv = row.keyProv;
      if (needDer(id)) copy.der = row.der;
      out.push_back(std::move(copy));
    }
    return true;
  }

  bool ContainerExists(std::string_view name, bool& exists) override {
    exists = containers_.count(std::string(name)) != 0;
    return true;
  }

  bool ListContainers(std::vector<std::string>& out) override {
    out.clear();
    for (const auto& [name, keys] : containers_) out.push_back(name);
    return true;
  }

  bool LoadKey(std::string_view container, DWORD spec, std::optional<StoredKey>& out) override {
    out.reset();
    auto it = containers_.find(std::string(container));
    if (it == containers_.end()) return true;
    auto key = it->second.find(spec);
    if (key != it->second.end()) out = key->second;
    return true;
  }

  bool Apply(const Change& change, std::vector<std::int64_t>* newIds) override {
    CountWrite();
    // Work on copies so that a failure leaves everything as it was.
    auto containers = containers_;
    auto certs = certs_;
    auto nextId = nextId_;
    std::vector<std::int64_t> ids;
    for (const auto& c : change.containers) {
      if (containers.count(c.name) != 0) {
        if (c.mustBeNew) return Fail(NTE_EXISTS);
        continue;
      }
      containers[c.name];
    }
    for (const auto& k : change.keys) {
      auto it = containers.find(k.container);
      if (it == containers.end()) return Fail(NTE_BAD_KEYSET);
      it->second[k.spec] = StoredKey{k.der, k.exportable};
    }
    for (const auto& c : change.certs) {
      certs[nextId] = Row{c.store, c.der, c.keyProv};
      ids.push_back(nextId++);
    }
    for (const auto& [id, kp] : change.setKeyProv) {
      auto it = certs.find(id);
      if (it != certs.end()) it->second.keyProv = kp;
    }
    for (std::int64_t id : change.deleteCerts) certs.erase(id);
    for (const auto& name : change.deleteContainers) containers.erase(name);
    containers_ = std::move(containers);
    certs_ = std::move(certs);
    nextId_ = nextId;
    ++generation_;
    if (newIds != nullptr) *newIds = std::move(ids);
    return true;
  }

  bool DescribeSealing(KeyStorageInfo& out) override {
    out = KeyStorageInfo();  // keys in memory are never written anywhere
    return true;
  }

  bool Begin() override {
    CountWrite();
    if (saved_) return Fail(ERROR_BUSY_DW);
    saved_ = Saved{generation_, nextId_, certs_, containers_};
    return true;
  }

  bool Commit() override {
    CountWrite();
    if (!saved_) return Fail(NTE_FAIL);
    saved_.reset();
    return true;
  }

  void Rollback() override {
    CountWrite();
    if (!saved_) return;
    // The generation moves on rather than back: caches keyed by it must not take the state
    // before the transaction for the one inside it.
    generation_ = std::max(generation_, saved_->generation) + 1;
    nextId_ = saved_->nextId;
    certs_ = std::move(saved_->certs);
    containers_ = std::move(saved_->containers);
    saved_.reset();
  }

  bool InTransaction() const override { return saved_.has_value(); }

 private:
  struct Row {
    std::string store;
    std::vector<std::uint8_t> der;
    std::optional<KeyProvRecord> keyProv;
  };
  static inline unsigned instances_ = 0;
  std::string identity_;
  std::uint64_t generation_ = 0;
  std::int64_t nextId_ = 1;
  std::map<std::int64_t, Row> certs_;
  std::map<std::string, std::map<DWORD, StoredKey>> containers_;
  struct Saved {
    std::uint64_t generation;
    std::int64_t nextId;
    std::map<std::int64_t, Row> certs;
    std::map<std::string, std::map<DWORD, StoredKey>> containers;
  };
  std::optional<Saved> saved_;  // the state at Begin, while a transaction is open
};

}  // namespace

struct StorageChoice {
  std::shared_ptr<Storage> pinned;  // the storage of the open StoreTransaction
  std::shared_ptr<Storage> cached;
  std::string cachedPath;
  dev_t dev = 0;
  ino_t ino = 0;
};

namespace {

StorageChoice& TheChoice() { return TheRuntime().storage.Get(); }

}  // namespace

std::shared_ptr<Storage> MakeMemoryStorage() { return std::make_shared<MemoryStorage>(); }

std::shared_ptr<Storage> OpenStorage() {
  StorageChoice& choice = TheChoice();
  if (choice.pinned) return choice.pinned;
  if (TheRuntime().memoryStorage) return TheRuntime().memoryStorage;
  std::string path = DatabasePath();
  if (path.empty()) {
    SetLastError(NTE_BAD_KEYSET);
    return nullptr;
  }
  struct stat st {};
  bool present = stat(path.c_str(), &st) == 0;
  if (choice.cached && present && choice.cachedPath == path && choice.dev == st.st_dev &&
      choice.ino == st.st_ino) {
    return choice.cached;
  }
  choice.cached.reset();
  auto storage = MakeSqliteStorage(path);
  if (!storage) return nullptr;
  if (stat(path.c_str(), &st) == 0) {
    choice.cached = storage;
    choice.cachedPath = path;
    choice.dev = st.st_dev;
    choice.ino = st.st_ino;
  }
  return storage;
}

}  // namespace detail

void UseInMemoryStorage(bool enable) {
  std::lock_guard<detail::ApiMutex> lock(detail::ApiLock());
  detail::TheRuntime().memoryStorage = enable ? detail::MakeMemoryStorage() : nullptr;
}

bool DescribeKeyStorage(KeyStorageInfo& out) {
  return detail::Call<bool>(false, [&]() -> bool {
    auto storage = detail::OpenStorage();
    return storage && storage->DescribeSealing(out);
  });
}

StoreTransaction::~StoreTransaction() {
  if (!open_) return;
  detail::Call<bool>(false, [] {
    auto& choice = detail::TheChoice();
    if (choice.pinned) choice.pinned->Rollback();
    choice.pinned.reset();
    // What this process read inside the transaction may be gone.
    detail::DropStoreCache();
    detail::DropKeyCache();
    return true;
  });
}

bool StoreTransaction::Begin() {
  return detail::Call<bool>(false, [this]() -> bool {
    auto& choice = detail::TheChoice();
    if (open_ || choice.pinned) return detail::Fail(detail::ERROR_BUSY_DW);
    auto storage = detail::OpenStorage();
    if (!storage || !storage->Begin()) return false;
    choice.pinned = std::move(storage);
    open_ = true;
    return true;
  });
}

bool StoreTransaction::Commit() {
  return detail::Call<bool>(false, [this]() -> bool {
    auto& choice = detail::TheChoice();
    if (!open_ || !choice.pinned) return detail::Fail(NTE_FAIL);
    auto storage = std::move(choice.pinned);
    choice.pinned.reset();
    open_ = false;
    if (storage->Commit()) return true;
    const DWORD error = GetLastError();
    detail::DropStoreCache();
    detail::DropKeyCache();
    return detail::Fail(error);
  });
}

}  // namespace velmor::crypt
