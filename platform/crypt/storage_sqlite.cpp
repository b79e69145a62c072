// The SQLite backend: one database per user, WAL, a busy timeout, one transaction per write.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <random>
#include <thread>

#include "platform/base/paths.h"
#include "platform/base/sqlite.h"
#include "platform/crypt/sealing.h"
#include "platform/crypt/storage.h"

namespace velmor::crypt::detail {

namespace {

using platform::kBusyTimeoutMs;
// How long a write waits for other connections before it leaves finishing a key removal to a
// later write or open; an open never waits for it.
constexpr int kScrubWaitMs = 250;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(k TEXT PRIMARY KEY, v INTEGER NOT NULL);
INSERT OR IGNORE INTO meta(k, v) VALUES('generation', 0), ('schema', 1), ('identity', random());
CREATE TABLE IF NOT EXISTS certs(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  store TEXT NOT NULL,
  der BLOB NOT NULL,
  kp_set INTEGER NOT NULL DEFAULT 0,
  kp_container BLOB,
  kp_provider BLOB,
  kp_type INTEGER,
  kp_flags INTEGER,
  kp_spec INTEGER);
CREATE INDEX IF NOT EXISTS certs_by_store ON certs(store, id);
CREATE TABLE IF NOT EXISTS containers(name TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS keys(
  container TEXT NOT NULL REFERENCES containers(name) ON DELETE CASCADE,
  spec INTEGER NOT NULL,
  der BLOB NOT NULL,
  exportable INTEGER NOT NULL,
  PRIMARY KEY(container, spec));
CREATE TABLE IF NOT EXISTS seal(k TEXT PRIMARY KEY, v BLOB NOT NULL);
)sql";

// Names are stored as UTF-16 code units (little-endian bytes); null stays NULL.
// BindResult: a bind's result with the bind that gave it. Made from the result as a list of
// binds is built, before the next bind runs, so it keeps the name that bind noted.
struct BindResult {
  BindResult(int result) : rc(result), call(platform::NotedCall()) {}  // from a bind's result
  int rc;
  const char* call;
};

// Bound: whether every bind of a statement took. A value SQLite refuses (out of memory, larger
// than it keeps) fails the call, naming the bind that refused it, instead of running the
// statement without it.
bool Bound(sqlite3_stmt* s, std::initializer_list<BindResult> results) {
  for (const BindResult& r : results) {
    if (r.rc != SQLITE_OK) {
      sqlite3_clear_bindings(s);
      return FailSqlite(platform::Noted(r.call, r.rc));
    }
  }
  return true;
}

int BindName(sqlite3_stmt* s, int index, bool has, const std::u16string& name) {
  if (!has) return VELMOR_CALL(sqlite3_bind_null, s, index);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(name.size() * 2);
  for (char16_t c : name) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return VELMOR_CALL(sqlite3_bind_blob, s, index, bytes.data(), static_cast<int>(bytes.size()),
                     SQLITE_TRANSIENT);
}

bool ReadName(sqlite3_stmt* s, int column, std::u16string& name) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return false;
  const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, column));
  int n = sqlite3_column_bytes(s, column);
  name.clear();
  for (int i = 0; p != nullptr && i + 1 < n; i += 2) {
    name.push_back(static_cast<char16_t>(p[i] | (p[i + 1] << 8)));
  }
  return true;
}

class SqliteStorage final : public Storage {
 public:
  SqliteStorage(UniquePtr<sqlite3> db, std::string identity, std::string folder,
                std::int64_t database)
      : db_(std::move(db)),
        identity_(std::move(identity)),
        folder_(std::move(folder)),
        database_(database) {}

  const std::string& Identity() const override { return identity_; }

  bool Generation(std::uint64_t& out) override {
    sqlite3_stmt* s = Prepare("SELECT v FROM meta WHERE k = 'generation'");
    if (s == nullptr) return false;
    int rc = VELMOR_CALL(sqlite3_step, s);
    if (rc != SQLITE_ROW) {
      sqlite3_reset(s);
      return FailSqlite(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
    }
    out = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
    sqlite3_reset(s);
    return true;
  }

  bool ListStore(std::string_view store, const std::function<bool(std::int64_t)>& needDer,
                 std::vector<StoredCert>& out) override {
    sqlite3_stmt* s = Prepare(
        "SELECT id, kp_set, kp_container, kp_provider, kp_type, kp_flags, kp_spec, der "
        "FROM certs WHERE store = ? ORDER BY id");
    if (s == nullptr) return false;
    if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, store.data(),
                               static_cast<int>(store.size()), SQLITE_TRANSIENT)})) {
      return false;
    }
    out.clear();
    int rc;
    while ((rc = VELMOR_CALL(sqlite3_step, s)) == SQLITE_ROW) {
      StoredCert row;
      row.id = sqlite3_column_int64(s, 0);
      if (sqlite3_column_int(s, 1) != 0) {
        KeyProvRecord kp;
        kp.hasContainer = ReadName(s, 2, kp.container);
        kp.hasProvider = ReadName(s, 3, kp.provider);
        kp.provType = static_cast<DWORD>(sqlite3_column_int64(s, 4));
        kp.flags = static_cast<DWORD>(sqlite3_column_int64(s, 5));
        kp.keySpec = static_cast<DWORD>(sqlite3_column_int64(s, 6));
        row.keyProv = std::move(kp);
      }
      if (needDer(row.id)) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 7));
        int n = sqlite3_column_bytes(s, 7);
        if (p != nullptr && n > 0) row.der.assign(p, p + n);
      }
      out.push_back(std::move(row));
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return FailSqlite(rc);
    return true;
  }

  bool ContainerExists(std::string_view name, bool& exists) override {
    sqlite3_stmt* s = Prepare("SELECT 1 FROM containers WHERE name = ?");
    if (s == nullptr) return false;
    if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, name.data(), static_cast<int>(name.size()),
                               SQLITE_TRANSIENT)})) {
      return false;
    }
    int rc = VELMOR_CALL(sqlite3_step, s);
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite(rc);
    exists = rc == SQLITE_ROW;
    return true;
  }

  bool ListContainers(std::vector<std::string>& out) override {
    sqlite3_stmt* s = Prepare("SELECT name FROM containers ORDER BY name");
    if (s == nullptr) return false;
    out.clear();
    int rc;
    while ((rc = VELMOR_CALL(sqlite3_step, s)) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(s, 0);
      out.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return FailSqlite(rc);
    return true;
  }

  bool LoadKey(std::string_view container, DWORD spec, std::optional<StoredKey>& out) override {
    sqlite3_stmt* s = Prepare("SELECT der, exportable FROM keys WHERE container = ? AND spec = ?");
    if (s == nullptr) return false;
    if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, container.data(),
                               static_cast<int>(container.size()), SQLITE_TRANSIENT),
                   VELMOR_CALL(sqlite3_bind_int64, s, 2, spec)})) {
      return false;
    }
    out.reset();
    int rc = VELMOR_CALL(sqlite3_step, s);
    SecretBytes stored;
    bool exportable = false;
    if (rc == SQLITE_ROW) {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 0));
      int n = sqlite3_column_bytes(s, 0);
      if (p != nullptr && n > 0) stored = SecretBytes(p, static_cast<std::size_t>(n));
      exportable = sqlite3_column_int(s, 1) != 0;
    }
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite(rc);
    if (rc == SQLITE_DONE) return true;
    SealState seal;
    if (!ReadSeal(seal)) return false;
    StoredKey key;
    key.exportable = exportable;
    if (!seal.check) {
      key.der = std::move(stored);  // written before keys were sealed, and not sealed yet
    } else {
      // The master key is held only while the key opens.
      SecretBytes master;
      if (!OpenMasterKey(SourceFor(seal), folder_, false, master) ||
          !Unseal(master, KeyBinding(database_, container, spec), stored.data(), stored.size(),
                  key.der)) {
        return false;
      }
    }
    out = std::move(key);
    return true;
  }

  bool DescribeSealing(KeyStorageInfo& out) override {
    SealState seal;
    if (!ReadSeal(seal)) return false;
    out = KeyStorageInfo();
    if (!seal.check) return true;
    const KeySource source = SourceFor(seal);
    out.place = KeySourceName(source);
    out.where = source == KeySource::kFile ? MasterKeyFile(folder_) : MasterKeyLabel();
    out.fellBack = seal.fellBack;
    out.sealed = true;
    return true;
  }

  // SealPlainKeys: seals, in the open write transaction, the keys of a database written before
  // keys were sealed. Unless it holds none, sets up sealing (PrepareSealing) on the way.
  bool SealPlainKeys(bool& sealedSome) {
    sealedSome = false;
    SealState seal;
    if (!ReadSeal(seal)) return false;
    if (seal.check) return true;
    std::int64_t count = 0;
    if (!CountKeys(count)) return false;
    if (count == 0) return true;
    SecretBytes master;
    sealedSome = true;
    return PrepareSealing(master);
  }

  bool Apply(const Change& change, std::vector<std::int64_t>* newIds) override {
    CountWrite();
    // Inside an open transaction a savepoint keeps this write whole; the transaction commits.
    int rc = Exec(inTransaction_ ? "SAVEPOINT apply" : "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return FailSqlite(rc);
    std::vector<std::int64_t> ids;
    if (!ApplyInTransaction(change, ids)) {
      DWORD error = GetLastError();
      Exec(inTransaction_ ? "ROLLBACK TO apply; RELEASE apply" : "ROLLBACK");
      SetLastError(error);
      return false;
    }
    if (inTransaction_) {
      rc = Exec("RELEASE apply");
      if (rc != SQLITE_OK) return FailSqlite(rc);
      if (newIds != nullptr) *newIds = std::move(ids);
      return true;
    }
    rc = Exec("COMMIT");
    if (rc != SQLITE_OK) {
      Exec("ROLLBACK");
      return FailSqlite(rc);
    }
    FinishRemovals(kScrubWaitMs);
    if (newIds != nullptr) *newIds = std::move(ids);
    return true;
  }

  bool Begin() override {
    CountWrite();
    if (inTransaction_) return Fail(ERROR_BUSY_DW);
    int rc = Exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return FailSqlite(rc);
    inTransaction_ = true;
    return true;
  }

  bool Commit() override {
    CountWrite();
    if (!inTransaction_) return Fail(NTE_FAIL);
    inTransaction_ = false;
    int rc = Exec("COMMIT");
    if (rc != SQLITE_OK) {
      Exec("ROLLBACK");
      return FailSqlite(rc);
    }
    FinishRemovals(kScrubWaitMs);
    return true;
  }

  void Rollback() override {
    CountWrite();
    if (!inTransaction_) return;
    inTransaction_ = false;
    Exec("ROLLBACK");
  }

  bool InTransaction() const override { return inTransaction_; }

  // SealOldKeys: seals the keys of a database written before keys were sealed, all in one
  // transaction, once per database. A failure (no master key to be had) fails no open: those
  // keys stay as they were, usable, and the next open tries again.
  void SealOldKeys() {
    SealState seal;
    if (!ReadSeal(seal) || seal.check) return;
    sqlite3_stmt* s = Prepare("SELECT 1 FROM keys LIMIT 1");
    if (s == nullptr) return;
    const int rc = VELMOR_CALL(sqlite3_step, s);
    sqlite3_reset(s);
    if (rc != SQLITE_ROW) return;
    const DWORD error = GetLastError();
    // An open only reads otherwise: it waits for another process's writer a moment at most,
    // and leaves the sealing to a later open when that writer is not done by then.
    sqlite3_busy_timeout(db_.get(), kScrubWaitMs);
    const bool begun = Begin();
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    if (begun) {
      bool sealedSome = false;
      sqlite3_stmt* bump = nullptr;
      if (SealPlainKeys(sealedSome) &&
          (!sealedSome ||
           ((bump = Prepare("UPDATE meta SET v = v + 1 WHERE k = 'generation'")) != nullptr &&
            Step(bump)))) {
        Commit();
      } else {
        Rollback();
      }
    }
    SetLastError(error);
  }

  // FinishRemovals: completes the removal of private keys that an earlier write (of this process
  // or another) could not complete. Deleted rows are zeroed in the pages written (secure_delete),
  // but the older copies of those pages stay in the database file until a checkpoint copies the
  // new ones in, and in the log until it is cut to nothing; a reader of another process keeps the
  // checkpoint from finishing. Each such write leaves its generation as the 'scrub' mark, and
  // every later write or open tries again, waiting at most `waitMs` for readers and writers,
  // until one succeeds. A failed attempt fails no call: the mark stays for the next one.
  void FinishRemovals(int waitMs) {
    std::int64_t mark = 0;
    sqlite3_stmt* s = Prepare("SELECT v FROM meta WHERE k = 'scrub'");
    if (s == nullptr) return;
    if (VELMOR_CALL(sqlite3_step, s) == SQLITE_ROW) mark = sqlite3_column_int64(s, 0);
    sqlite3_reset(s);
    if (mark == 0) return;
    sqlite3_busy_timeout(db_.get(), waitMs);
    int rc = sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                       nullptr);
    if (rc == SQLITE_OK) {
      // Only the mark this attempt saw: a removal committed since has left a newer one.
      s = Prepare("UPDATE meta SET v = 0 WHERE k = 'scrub' AND v = ?");
      if (s != nullptr) {
        VELMOR_CALL(sqlite3_bind_int64, s, 1, mark);
        VELMOR_CALL(sqlite3_step, s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
      }
    }
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  }

 private:
  int Exec(const char* sql) {
    return VELMOR_CALL(sqlite3_exec, db_.get(), sql, nullptr, nullptr, nullptr);
  }

  sqlite3_stmt* Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second.get();
    sqlite3_stmt* raw = nullptr;
    int rc = VELMOR_CALL(sqlite3_prepare_v3, db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw,
                         nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(raw);
      FailSqlite(rc);
      return nullptr;
    }
    statements_.emplace(sql, UniquePtr<sqlite3_stmt>(raw));
    return raw;
  }

  // Step: runs a write statement to its end and resets it.
  bool Step(sqlite3_stmt* s) {
    int rc = VELMOR_CALL(sqlite3_step, s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return FailSqlite(rc);
    return true;
  }

  bool ApplyInTransaction(const Change& change, std::vector<std::int64_t>& ids) {
    for (const auto& c : change.containers) {
      bool exists = false;
      if (!ContainerExists(c.name, exists)) return false;
      if (exists) {
        if (c.mustBeNew) return Fail(NTE_EXISTS);
        continue;
      }
      sqlite3_stmt* s = Prepare("INSERT INTO containers(name) VALUES(?)");
      if (s == nullptr) return false;
      if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, c.name.data(),
                                 static_cast<int>(c.name.size()), SQLITE_TRANSIENT)}) ||
          !Step(s)) {
        return false;
      }
    }
    SecretBytes master;
    if (!change.keys.empty() && !PrepareSealing(master)) return false;
    for (const auto& k : change.keys) {
      bool exists = false;
      if (!ContainerExists(k.container, exists)) return false;
      if (!exists) return Fail(NTE_BAD_KEYSET);
      std::vector<std::uint8_t> sealed;
      if (!Seal(master, KeyBinding(database_, k.container, k.spec), k.der.data(), k.der.size(),
                sealed)) {
        return false;
      }
      sqlite3_stmt* s = Prepare(
          "INSERT OR REPLACE INTO keys(container, spec, der, exportable) VALUES(?, ?, ?, ?)");
      if (s == nullptr) return false;
      if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, k.container.data(),
                                 static_cast<int>(k.container.size()), SQLITE_TRANSIENT),
                     VELMOR_CALL(sqlite3_bind_int64, s, 2, k.spec),
                     VELMOR_CALL(sqlite3_bind_blob, s, 3, sealed.data(),
                                 static_cast<int>(sealed.size()), SQLITE_STATIC),
                     VELMOR_CALL(sqlite3_bind_int, s, 4, k.exportable ? 1 : 0)}) ||
          !Step(s)) {
        return false;
      }
    }
    for (const auto& c : change.certs) {
      sqlite3_stmt* s = Prepare(
          "INSERT INTO certs(store, der, kp_set, kp_container, kp_provider, kp_type, kp_flags, "
          "kp_spec) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
      if (s == nullptr) return false;
      if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, c.store.data(),
                                 static_cast<int>(c.store.size()), SQLITE_TRANSIENT),
                     VELMOR_CALL(sqlite3_bind_blob, s, 2, c.der.data(),
                                 static_cast<int>(c.der.size()), SQLITE_STATIC),
                     BindKeyProv(s, 3, c.keyProv)}) ||
          !Step(s)) {
        return false;
      }
      ids.push_back(sqlite3_last_insert_rowid(db_.get()));
    }
    for (const auto& [id, kp] : change.setKeyProv) {
      sqlite3_stmt* s = Prepare(
          "UPDATE certs SET kp_set = ?1, kp_container = ?2, kp_provider = ?3, kp_type = ?4, "
          "kp_flags = ?5, kp_spec = ?6 WHERE id = ?7");
      if (s == nullptr) return false;
      if (!Bound(s, {BindKeyProv(s, 1, kp), VELMOR_CALL(sqlite3_bind_int64, s, 7, id)}) ||
          !Step(s)) {
        return false;
      }
    }
    for (std::int64_t id : change.deleteCerts) {
      sqlite3_stmt* s = Prepare("DELETE FROM certs WHERE id = ?");
      if (s == nullptr) return false;
      if (!Bound(s, {VELMOR_CALL(sqlite3_bind_int64, s, 1, id)}) || !Step(s)) {
        return false;
      }
    }
    for (const auto& name : change.deleteContainers) {
      sqlite3_stmt* s = Prepare("DELETE FROM containers WHERE name = ?");
      if (s == nullptr) return false;
      if (!Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, name.data(),
                                 static_cast<int>(name.size()), SQLITE_TRANSIENT)}) ||
          !Step(s)) {
        return false;
      }
    }
    sqlite3_stmt* s = Prepare("UPDATE meta SET v = v + 1 WHERE k = 'generation'");
    if (s == nullptr || !Step(s)) return false;
    if (change.keys.empty() && change.deleteContainers.empty()) return true;
    // A key removed or replaced leaves its bytes on disk until FinishRemovals has run.
    s = Prepare("INSERT OR REPLACE INTO meta(k, v) SELECT 'scrub', v FROM meta WHERE k = 'generation'");
    return s != nullptr && Step(s);
  }

  // CountKeys: how many private keys the database holds.
  bool CountKeys(std::int64_t& count) {
    sqlite3_stmt* s = Prepare("SELECT count(*) FROM keys");
    if (s == nullptr) return false;
    const int rc = VELMOR_CALL(sqlite3_step, s);
    count = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW) return FailSqlite(rc);
    return true;
  }

  struct SealState {
    std::optional<KeySource> source;   // where the master key was put
    std::optional<SecretBytes> check;  // sealed under the master key: tells a right one
    bool fellBack = false;
  };

  bool ReadSeal(SealState& out) {
    out = SealState();
    sqlite3_stmt* s = Prepare("SELECT k, v FROM seal");
    if (s == nullptr) return false;
    int rc;
    while ((rc = VELMOR_CALL(sqlite3_step, s)) == SQLITE_ROW) {
      const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      const auto* v = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 1));
      const auto n = static_cast<std::size_t>(sqlite3_column_bytes(s, 1));
      const std::string_view key = k != nullptr ? k : "";
      const std::string_view value(reinterpret_cast<const char*>(v), v != nullptr ? n : 0);
      if (key == "source") out.source = KeySourceNamed(value);
      if (key == "check") out.check = SecretBytes(v, v != nullptr ? n : 0);
      if (key == "fallback") out.fellBack = value == "1";
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return FailSqlite(rc);
    return true;
  }

  // SourceFor: where to look for the master key: where this process was told to, else where
  // the database says it was put.
  static KeySource SourceFor(const SealState& seal) {
    switch (ChosenKeyStorage()) {
      case KeyStorage::kKeyring: return KeySource::kKeyring;
      case KeyStorage::kFile: return KeySource::kFile;
      case KeyStorage::kAuto: break;
    }
    return seal.source.value_or(KeySource::kFile);
  }

  bool PutSeal(const char* key, const std::uint8_t* value, std::size_t len) {
    sqlite3_stmt* s = Prepare("INSERT OR REPLACE INTO seal(k, v) VALUES(?, ?)");
    return s != nullptr &&
           Bound(s, {VELMOR_CALL(sqlite3_bind_text, s, 1, key, -1, SQLITE_STATIC),
                     VELMOR_CALL(sqlite3_bind_blob, s, 2, value, static_cast<int>(len),
                                 SQLITE_TRANSIENT)}) &&
           Step(s);
  }

  // PrepareSealing: the master key, in the open write transaction, checked against the
  // database's check value. The first time, it chooses where the master key lives, makes it,
  // records the place and the check value, and seals every key written before: all of it in
  // this one transaction. NTE_BAD_KEYSET when the master key is missing or wrong.
  bool PrepareSealing(SecretBytes& master) {
    SealState seal;
    if (!ReadSeal(seal)) return false;
    const std::string check = CheckBinding(database_);
    if (seal.check) {
      SecretBytes probe;
      if (OpenMasterKey(SourceFor(seal), folder_, false, master) &&
          Unseal(master, check, seal.check->data(), seal.check->size(), probe)) {
        return true;
      }
      // Only sealed keys need the master key they were sealed under. With none left, one that
      // is missing or empty is no loss: sealing is set up afresh, as for a new database.
      const DWORD error = GetLastError();
      std::int64_t keys = 0;
      if (!CountKeys(keys)) return false;
      if (keys != 0) return Fail(error);
      master = SecretBytes();
    }
    KeySource source = KeySource::kFile;
    bool fellBack = false;
    const KeyStorage chosen = ChosenKeyStorage();
    if (chosen == KeyStorage::kKeyring) {
      source = KeySource::kKeyring;
    } else if (chosen == KeyStorage::kAuto) {
      // A Secret Service that answers but cannot keep a key (a locked keyring on a machine
      // with nobody to unlock it) counts as none.
      if (SecretServiceAnswers() && OpenMasterKey(KeySource::kKeyring, folder_, true, master)) {
        source = KeySource::kKeyring;
      } else {
        fellBack = true;
      }
    }
    if (master.empty() && !OpenMasterKey(source, folder_, true, master)) return false;
    const std::uint8_t zeros[kMasterKeyBytes] = {};
    std::vector<std::uint8_t> sealedCheck;
    const std::string_view name = KeySourceName(source);
    if (!Seal(master, check, zeros, sizeof zeros, sealedCheck) ||
        !PutSeal("source", reinterpret_cast<const std::uint8_t*>(name.data()), name.size()) ||
        !PutSeal("check", sealedCheck.data(), sealedCheck.size()) ||
        !PutSeal("fallback", reinterpret_cast<const std::uint8_t*>(fellBack ? "1" : "0"), 1)) {
      return false;
    }
    // Keys written before sealing: read them all, then seal each in its row.
    struct Plain {
      std::string container;
      DWORD spec;
      SecretBytes der;
    };
    std::vector<Plain> plain;
    sqlite3_stmt* s = Prepare("SELECT container, spec, der FROM keys");
    if (s == nullptr) return false;
    int rc;
    while ((rc = VELMOR_CALL(sqlite3_step, s)) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 2));
      const int n = sqlite3_column_bytes(s, 2);
      plain.push_back(Plain{text != nullptr ? text : "", static_cast<DWORD>(sqlite3_column_int64(s, 1)),
                            SecretBytes(p, p != nullptr && n > 0 ? static_cast<std::size_t>(n) : 0)});
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return FailSqlite(rc);
    for (const Plain& k : plain) {
      std::vector<std::uint8_t> sealed;
      if (!Seal(master, KeyBinding(database_, k.container, k.spec), k.der.data(), k.der.size(),
                sealed)) {
        return false;
      }
      s = Prepare("UPDATE keys SET der = ? WHERE container = ? AND spec = ?");
      if (s == nullptr ||
          !Bound(s, {VELMOR_CALL(sqlite3_bind_blob, s, 1, sealed.data(),
                                 static_cast<int>(sealed.size()), SQLITE_STATIC),
                     VELMOR_CALL(sqlite3_bind_text, s, 2, k.container.data(),
                                 static_cast<int>(k.container.size()), SQLITE_TRANSIENT),
                     VELMOR_CALL(sqlite3_bind_int64, s, 3, k.spec)}) ||
          !Step(s)) {
        return false;
      }
    }
    if (!plain.empty()) {
      // The plain copies stay in freed pages and the log until FinishRemovals has run.
      s = Prepare("INSERT OR REPLACE INTO meta(k, v) SELECT 'scrub', v FROM meta WHERE k = 'generation'");
      if (s == nullptr || !Step(s)) return false;
    }
    if (fellBack) AnnounceFallback(MasterKeyFile(folder_));
    return true;
  }

  // BindKeyProv: SQLITE_OK, or the result of the first bind that failed.
  static int BindKeyProv(sqlite3_stmt* s, int first, const std::optional<KeyProvRecord>& kp) {
    BindResult result = VELMOR_CALL(sqlite3_bind_int, s, first, kp ? 1 : 0);
    if (!kp) {
      for (int i = 1; i <= 5 && result.rc == SQLITE_OK; ++i) {
        result = VELMOR_CALL(sqlite3_bind_null, s, first + i);
      }
      return result.rc;
    }
    for (const BindResult& r : std::initializer_list<BindResult>{
             BindName(s, first + 1, kp->hasContainer, kp->container),
             BindName(s, first + 2, kp->hasProvider, kp->provider),
             VELMOR_CALL(sqlite3_bind_int64, s, first + 3, kp->provType),
             VELMOR_CALL(sqlite3_bind_int64, s, first + 4, kp->flags),
             VELMOR_CALL(sqlite3_bind_int64, s, first + 5, kp->keySpec)}) {
      if (result.rc == SQLITE_OK) result = r;
    }
    // The first bind that failed, noted again: the binds after it have noted themselves since.
    return platform::Noted(result.call, result.rc);
  }

  UniquePtr<sqlite3> db_;
  std::string identity_;
  std::string folder_;        // where the database and the master key file live
  std::int64_t database_ = 0;  // the number drawn when the database was made
  bool inTransaction_ = false;
  std::unordered_map<const char*, UniquePtr<sqlite3_stmt>> statements_;
};

// The objects kSchema makes; a database holding all of them needs no write to be opened.
constexpr const char* kSchemaComplete =
    "SELECT count(*) = 6 FROM sqlite_master WHERE name IN "
    "('meta', 'certs', 'certs_by_store', 'containers', 'keys', 'seal')";

// ReadIdentity: the random number drawn when the database was made; `out` stays empty when the
// schema is missing or incomplete (a new file). Reads only: WAL readers never wait for a writer.
// Returns the SQLite result, the failing step noted.
int ReadIdentity(sqlite3* db, std::optional<std::int64_t>& out) {
  out.reset();
  sqlite3_stmt* raw = nullptr;
  int rc = VELMOR_CALL(sqlite3_prepare_v2, db, kSchemaComplete, -1, &raw, nullptr);
  UniquePtr<sqlite3_stmt> complete(raw);
  if (rc != SQLITE_OK) return rc;
  rc = VELMOR_CALL(sqlite3_step, complete.get());
  if (rc != SQLITE_ROW) return rc;
  if (sqlite3_column_int(complete.get(), 0) == 0) return SQLITE_OK;
  raw = nullptr;
  rc = VELMOR_CALL(sqlite3_prepare_v2, db, "SELECT v FROM meta WHERE k = 'identity'", -1, &raw,
                   nullptr);
  UniquePtr<sqlite3_stmt> identity(raw);
  if (rc != SQLITE_OK) return rc;
  rc = VELMOR_CALL(sqlite3_step, identity.get());
  if (rc == SQLITE_ROW) out = sqlite3_column_int64(identity.get(), 0);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// CreateSchema: makes what is missing, in a transaction of its own (the statements leave what
// exists alone, so two processes making a new database at once agree). Returns the SQLite result.
int CreateSchema(sqlite3* db) { return platform::ExecInTransaction(db, kSchema); }

}  // namespace

std::string DatabasePath() {
  const std::string folder = platform::DataFolder();
  return folder.empty() ? folder : folder + "/store.db";
}

std::shared_ptr<Storage> MakeSqliteStorage(const std::string& path) {
  // The file is made owner-only whatever the umask (SQLite gives its journal files the same
  // mode); a FIFO or a link put in its place is refused at once.
  platform::PrivateDatabase opened = platform::OpenPrivateDatabase(path, {"PRAGMA secure_delete=ON"});
  if (opened.denied) {
    SetLastError(E_ACCESSDENIED_DW);
    return nullptr;
  }
  if (!opened.db) {
    FailSqlite(opened.rc);
    return nullptr;
  }
  UniquePtr<sqlite3> db = std::move(opened.db);
  const auto slash = path.find_last_of('/');
  int rc = SQLITE_OK;
  // Every open reads; only the very first one writes. A process that starts while another
  // holds the write lock must not wait for it just to learn that the tables exist.
  std::optional<std::int64_t> drawn;
  rc = platform::UntilNotBusy([&] { return ReadIdentity(db.get(), drawn); });
  if (rc == SQLITE_OK && !drawn) {
    rc = platform::UntilNotBusy([&] { return CreateSchema(db.get()); });
    if (rc == SQLITE_OK) rc = platform::UntilNotBusy([&] { return ReadIdentity(db.get(), drawn); });
    if (rc == SQLITE_OK && !drawn) {
      // The schema is there but not the number: the identity's read (noted last) found no row.
      rc = SQLITE_CORRUPT;
    }
  }
  if (rc != SQLITE_OK) {
    FailSqlite(rc);
    return nullptr;
  }
  // A database made afresh at the same path may get the removed file's inode number and reach
  // the same generation: the random number drawn at its creation tells the two apart, so that
  // caches keyed by identity never serve certificates or keys of the removed one.
  std::string identity = path + "#" + std::to_string(opened.file.device) + ":" +
                         std::to_string(opened.file.inode) +
                         "#" + std::to_string(*drawn);
  RemoveAbandonedKeyFiles(path.substr(0, slash));
  auto storage = std::make_shared<SqliteStorage>(std::move(db), std::move(identity),
                                                 path.substr(0, slash), *drawn);
  storage->SealOldKeys();
  storage->FinishRemovals(0);
  return storage;
}

}  // namespace velmor::crypt::detail
