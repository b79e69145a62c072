// The registry on SQLite: a table of keys (each row names its parent) and a table of values,
// one database per user. Every call takes the process-wide registry lock; a changing call runs
// in a transaction of its own, or in a savepoint of the Transaction its thread has open.
#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/base/failure.h"
#include "platform/base/sqlite_failure.h"
#include "platform/owners.h"

namespace {

using velmor::platform::UniquePtr;

// Answer: an error value as the API returns it.
LONG Answer(DWORD error) { return static_cast<LONG>(error); }

constexpr int kBusyTimeoutMs = 10000;
constexpr std::int64_t kCurrentUserId = 1;
constexpr const char* kClassesPath = "Software\\Classes";

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  UNIQUE(parent, name));
CREATE TABLE IF NOT EXISTS vals(
  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(key, name));
INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, 'HKEY_CURRENT_USER');
)sql";

std::atomic<int> g_failWritesAfter{-1};

// InjectedFailure: whether the write about to run is the one a test asked to fail.
bool InjectedFailure() {
  int left = g_failWritesAfter.load();
  while (left >= 0) {
    if (g_failWritesAfter.compare_exchange_weak(left, left - 1)) return left == 0;
  }
  return false;
}

// The registry's answers for a SQLite failure. A corrupt file is ERROR_BADDB; what the
// database says nothing more precise about fails as a failing disk would.
constexpr velmor::platform::FailureValues kSqliteValues =
    velmor::platform::FailureValues(ERROR_REGISTRY_IO_FAILED)
        .With(velmor::platform::Failure::kOutOfMemory, ERROR_OUTOFMEMORY)
        .With(velmor::platform::Failure::kAccessDenied, ERROR_ACCESS_DENIED)
        .With(velmor::platform::Failure::kDiskFull, ERROR_DISK_FULL)
        .With(velmor::platform::Failure::kCorrupt, ERROR_BADDB);

// SqliteError: the registry's value for a failed SQLite result, the last VELMOR_CALL recorded
// as the failed call.
DWORD SqliteError(int rc) { return velmor::platform::MapSqliteFailure(rc, kSqliteValues); }

// Db: one open registry database.
class Db {
 public:
  explicit Db(UniquePtr<sqlite3> db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Begin / End: a transaction at the outermost level, a savepoint inside one.
  DWORD Begin() {
    const std::string sql =
        depth_ == 0 ? std::string("BEGIN IMMEDIATE") : "SAVEPOINT s" + std::to_string(depth_);
    const int rc = VELMOR_CALL(sqlite3_exec, db_.get(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return SqliteError(rc);
    ++depth_;
    return ERROR_SUCCESS;
  }
  DWORD End(bool keep) {
    --depth_;
    if (depth_ == 0) {
      if (keep) {
        const int rc = VELMOR_CALL(sqlite3_exec, db_.get(), "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return ERROR_SUCCESS;
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return SqliteError(rc);
      }
      sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      return ERROR_SUCCESS;
    }
    const std::string name = "s" + std::to_string(depth_);
    if (!keep) {
      sqlite3_exec(db_.get(), ("ROLLBACK TO " + name).c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db_.get(), ("RELEASE " + name).c_str(), nullptr, nullptr, nullptr);
    return ERROR_SUCCESS;
  }

  // Write: runs `body` (returning a Windows error) as one change: all of it or none.
  template <typename Body>
  DWORD Write(Body&& body) {
    DWORD error = Begin();
    if (error != ERROR_SUCCESS) return error;
    error = body();
    const DWORD end = End(error == ERROR_SUCCESS);
    return error != ERROR_SUCCESS ? error : end;
  }

  std::optional<std::int64_t> Child(std::int64_t parent, std::string_view name, DWORD& error) {
    Statement s(*this, "SELECT id FROM keys WHERE parent = ? AND name = ?", error);
    if (!s) return std::nullopt;
    sqlite3_bind_int64(s.get(), 1, parent);
    BindText(s.get(), 2, name);
    const int rc = VELMOR_CALL(sqlite3_step, s.get());
    if (rc == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
    if (rc != SQLITE_DONE) error = SqliteError(rc);
    return std::nullopt;
  }

  bool Exists(std::int64_t id, DWORD& error) {
    Statement s(*this, "SELECT 1 FROM keys WHERE id = ?", error);
    if (!s) return false;
    sqlite3_bind_int64(s.get(), 1, id);
    const int rc = VELMOR_CALL(sqlite3_step, s.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) error = SqliteError(rc);
    return rc == SQLITE_ROW;
  }

  DWORD InsertKey(std::int64_t parent, std::string_view name, std::int64_t& id) {
    DWORD error = ERROR_SUCCESS;
    Statement s(*this, "INSERT INTO keys(parent, name) VALUES(?, ?)", error);
    if (!s) return error;
    sqlite3_bind_int64(s.get(), 1, parent);
    BindText(s.get(), 2, name);
    error = StepWrite(s.get());
    id = sqlite3_last_insert_rowid(db_.get());
    return error;
  }

  // Run: a changing statement with integer and text arguments bound in order.
  DWORD Run(const char* sql, std::int64_t key, std::optional<std::string_view> text = std::nullopt) {
    DWORD error = ERROR_SUCCESS;
    Statement s(*this, sql, error);
    if (!s) return error;
    sqlite3_bind_int64(s.get(), 1, key);
    if (text) BindText(s.get(), 2, *text);
    return StepWrite(s.get());
  }

  DWORD SetValue(std::int64_t key, std::string_view name, DWORD type, const BYTE* data,
                std::size_t size) {
    DWORD error = ERROR_SUCCESS;
    Statement s(*this, "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?, ?, ?, ?)",
                error);
    if (!s) return error;
    sqlite3_bind_int64(s.get(), 1, key);
    BindText(s.get(), 2, name);
    sqlite3_bind_int64(s.get(), 3, type);
    // zeroblob(0) when there are no bytes: the column is NOT NULL.
    if (size == 0) {
      sqlite3_bind_zeroblob(s.get(), 4, 0);
    } else {
      sqlite3_bind_blob(s.get(), 4, data, static_cast<int>(size), SQLITE_STATIC);
    }
    return StepWrite(s.get());
  }

  // Value: false (with `error` still ERROR_SUCCESS) when there is no such value.
  bool Value(std::int64_t key, std::string_view name, DWORD& type, std::vector<BYTE>& data,
             DWORD& error) {
    Statement s(*this, "SELECT type, data FROM vals WHERE key = ? AND name = ?", error);
    if (!s) return false;
    sqlite3_bind_int64(s.get(), 1, key);
    BindText(s.get(), 2, name);
    const int rc = VELMOR_CALL(sqlite3_step, s.get());
    if (rc != SQLITE_ROW) {
      if (rc != SQLITE_DONE) error = SqliteError(rc);
      return false;
    }
    type = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s.get(), 1));
    const int n = sqlite3_column_bytes(s.get(), 1);
    data.assign(p, p + (p != nullptr && n > 0 ? n : 0));
    return true;
  }

  // Subkeys: the names of `key`'s subkeys in name order, or their ids.
  DWORD Subkeys(std::int64_t key, std::vector<std::string>* names, std::vector<std::int64_t>* ids) {
    DWORD error = ERROR_SUCCESS;
    Statement s(*this, "SELECT id, name FROM keys WHERE parent = ? ORDER BY name", error);
    if (!s) return error;
    sqlite3_bind_int64(s.get(), 1, key);
    int rc;
    while ((rc = VELMOR_CALL(sqlite3_step, s.get())) == SQLITE_ROW) {
      if (ids != nullptr) ids->push_back(sqlite3_column_int64(s.get(), 0));
      if (names != nullptr) {
        const auto* text = sqlite3_column_text(s.get(), 1);
        names->emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
      }
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : SqliteError(rc);
  }

 private:
  // Statement: a prepared statement of this database, reset and unbound when it goes.
  class Statement {
   public:
    Statement(Db& db, const char* sql, DWORD& error) {
      auto it = db.statements_.find(sql);
      if (it == db.statements_.end()) {
        sqlite3_stmt* raw = nullptr;
        const int rc =
            VELMOR_CALL(sqlite3_prepare_v3, db.db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw,
                        nullptr);
        UniquePtr<sqlite3_stmt> owned(raw);
        if (rc != SQLITE_OK) {
          error = SqliteError(rc);
          return;
        }
        it = db.statements_.emplace(sql, std::move(owned)).first;
      }
      s_ = it->second.get();
    }
    ~Statement() {
      if (s_ != nullptr) {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
      }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return s_ != nullptr; }
    sqlite3_stmt* get() const { return s_; }

   private:
    sqlite3_stmt* s_ = nullptr;
  };

  static void BindText(sqlite3_stmt* s, int index, std::string_view text) {
    // A null pointer would bind NULL: the default value's name is the empty text.
    sqlite3_bind_text(s, index, text.empty() ? "" : text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  static DWORD StepWrite(sqlite3_stmt* s) {
    if (InjectedFailure()) return ERROR_REGISTRY_IO_FAILED;
    const int rc = VELMOR_CALL(sqlite3_step, s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : SqliteError(rc);
  }

  UniquePtr<sqlite3> db_;
  std::string path_;
  int depth_ = 0;
  std::unordered_map<const char*, UniquePtr<sqlite3_stmt>> statements_;
};

}  // namespace

// An open key: the database it belongs to and its row.
struct HKEY__ {
  std::shared_ptr<Db> db;
  std::int64_t id;
};

namespace {

std::recursive_mutex g_lock;
std::shared_ptr<Db> g_db;           // the connection for the current data folder
std::unordered_set<HKEY__*> g_open;  // every key handle handed out and not yet closed

// MakePrivateDir: `dir` and missing parents, owner-only; an existing velmor folder is tightened.
bool MakePrivateDir(const std::string& dir, bool tighten) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return false;
    return !tighten || (st.st_mode & 077) == 0 || chmod(dir.c_str(), 0700) == 0;
  }
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakePrivateDir(dir.substr(0, slash), false)) {
    return false;
  }
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

DWORD OpenDb(const std::string& path, std::shared_ptr<Db>& out) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || !MakePrivateDir(path.substr(0, slash), true)) {
    return ERROR_ACCESS_DENIED;
  }
  // Made here so that it is owner-only whatever the umask.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return ERROR_ACCESS_DENIED;
  const bool tight = fchmod(fd, 0600) == 0;
  close(fd);
  if (!tight) return ERROR_ACCESS_DENIED;
  sqlite3* raw = nullptr;
  int rc = VELMOR_CALL(sqlite3_open_v2, path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  UniquePtr<sqlite3> db(raw);
  if (rc != SQLITE_OK) return SqliteError(rc);
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA foreign_keys=ON",
                          "PRAGMA synchronous=NORMAL"}) {
    rc = VELMOR_CALL(sqlite3_exec, db.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return SqliteError(rc);
  }
  rc = VELMOR_CALL(sqlite3_exec, db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = VELMOR_CALL(sqlite3_exec, db.get(), kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = VELMOR_CALL(sqlite3_exec, db.get(), "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    return SqliteError(rc);
  }
  out = std::make_shared<Db>(std::move(db), path);
  return ERROR_SUCCESS;
}

// CurrentDb: the database of the data folder the environment names now.
DWORD CurrentDb(std::shared_ptr<Db>& out) {
  const std::string path = velmor::registry::DatabasePath();
  if (path.empty()) return ERROR_ACCESS_DENIED;
  if (!g_db || g_db->path() != path) {
    std::shared_ptr<Db> db;
    const DWORD error = OpenDb(path, db);
    if (error != ERROR_SUCCESS) return error;
    g_db = std::move(db);
  }
  out = g_db;
  return ERROR_SUCCESS;
}

// SplitPath: the names of a path "A\B\C"; false for an empty name, a too long one or a path
// too deep.
bool SplitPath(LPCSTR path, std::vector<std::string_view>& names) {
  names.clear();
  if (path == nullptr || *path == '\0') return true;
  std::string_view rest(path);
  for (;;) {
    const auto cut = rest.find('\\');
    const std::string_view name = rest.substr(0, cut);
    if (name.empty() || name.size() > kMaxKeyNameLength || names.size() == kMaxKeyDepth) {
      return false;
    }
    names.push_back(name);
    if (cut == std::string_view::npos) return true;
    rest.remove_prefix(cut + 1);
  }
}

// Walk: the key at `names` below `from`, made where missing when `create` is set (the caller
// runs it in a write). `made` tells whether the last key was new.
DWORD Walk(Db& db, std::int64_t from, const std::vector<std::string_view>& names, bool create,
          std::int64_t& id, bool* made = nullptr) {
  id = from;
  if (made != nullptr) *made = false;
  for (const std::string_view name : names) {
    DWORD error = ERROR_SUCCESS;
    const auto child = db.Child(id, name, error);
    if (error != ERROR_SUCCESS) return error;
    if (child) {
      id = *child;
      if (made != nullptr) *made = false;
      continue;
    }
    if (!create) return ERROR_FILE_NOT_FOUND;
    error = db.InsertKey(id, name, id);
    if (error != ERROR_SUCCESS) return error;
    if (made != nullptr) *made = true;
  }
  return ERROR_SUCCESS;
}

// Resolve: the database and row of a handle. The classes root is made on first write.
DWORD Resolve(HKEY key, bool create, std::shared_ptr<Db>& db, std::int64_t& id) {
  if (key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT) {
    DWORD error = CurrentDb(db);
    if (error != ERROR_SUCCESS) return error;
    if (key == HKEY_CURRENT_USER) {
      id = kCurrentUserId;
      return ERROR_SUCCESS;
    }
    std::vector<std::string_view> names;
    SplitPath(kClassesPath, names);
    if (!create) return Walk(*db, kCurrentUserId, names, false, id);
    return db->Write([&] { return Walk(*db, kCurrentUserId, names, true, id); });
  }
  if (key == nullptr || g_open.count(key) == 0) return ERROR_INVALID_HANDLE;
  db = key->db;
  id = key->id;
  DWORD error = ERROR_SUCCESS;
  if (!db->Exists(id, error)) return error != ERROR_SUCCESS ? error : ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

DWORD HandOut(std::shared_ptr<Db> db, std::int64_t id, PHKEY result) {
  auto* key = new (std::nothrow) HKEY__{std::move(db), id};
  if (key == nullptr) return ERROR_OUTOFMEMORY;
  try {
    g_open.insert(key);
  } catch (...) {
    delete key;
    return ERROR_OUTOFMEMORY;
  }
  *result = key;
  return ERROR_SUCCESS;
}

// Locked: runs `body` (returning an error value) under the registry lock, as an entry point:
// nothing is thrown out of a registry call, memory running out (or anything else thrown) is
// ERROR_OUTOFMEMORY.
template <typename Body>
DWORD Locked(Body&& body) noexcept {
  return velmor::platform::Guard(velmor::com::ErrorEntry<DWORD>{}, [&]() -> DWORD {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return body();
  });
}
// Guarded: Locked, answering as the Reg* functions do.
template <typename Body>
LONG Guarded(Body&& body) noexcept {
  return Answer(Locked(std::forward<Body>(body)));
}

std::string_view ValueName(LPCSTR name) { return name == nullptr ? std::string_view() : name; }

DWORD DeleteBelow(Db& db, std::int64_t id) {
  DWORD error = db.Run("DELETE FROM vals WHERE key = ?", id);
  if (error == ERROR_SUCCESS) error = db.Run("DELETE FROM keys WHERE parent = ?", id);
  return error;
}

}  // namespace

LONG RegCreateKeyExA(HKEY hKey, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, void*, PHKEY phkResult,
                     DWORD* disposition) {
  if (phkResult == nullptr) return Answer(ERROR_INVALID_PARAMETER);
  *phkResult = nullptr;
  return Guarded([&]() -> DWORD {
    std::vector<std::string_view> names;
    if (!SplitPath(subKey, names)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    bool made = false;
    const DWORD error = [&]() -> DWORD {
      Db* target = nullptr;
      DWORD e = ERROR_SUCCESS;
      // The classes root and the path below it are made in one change.
      if (hKey == HKEY_CLASSES_ROOT) {
        e = CurrentDb(db);
        if (e != ERROR_SUCCESS) return e;
        target = db.get();
        return target->Write([&]() -> DWORD {
          std::int64_t root = 0;
          std::vector<std::string_view> classes;
          SplitPath(kClassesPath, classes);
          DWORD w = Walk(*target, kCurrentUserId, classes, true, root);
          return w != ERROR_SUCCESS ? w : Walk(*target, root, names, true, id, &made);
        });
      }
      std::int64_t from = 0;
      e = Resolve(hKey, true, db, from);
      if (e != ERROR_SUCCESS) return e;
      return db->Write([&] { return Walk(*db, from, names, true, id, &made); });
    }();
    if (error != ERROR_SUCCESS) return error;
    if (disposition != nullptr) *disposition = made ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return HandOut(std::move(db), id, phkResult);
  });
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR subKey, DWORD, REGSAM, PHKEY phkResult) {
  if (phkResult == nullptr) return Answer(ERROR_INVALID_PARAMETER);
  *phkResult = nullptr;
  return Guarded([&]() -> DWORD {
    std::vector<std::string_view> names;
    if (!SplitPath(subKey, names)) return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    DWORD error = Resolve(hKey, false, db, id);
    if (error == ERROR_SUCCESS) error = Walk(*db, id, names, false, id);
    if (error != ERROR_SUCCESS) return error;
    return HandOut(std::move(db), id, phkResult);
  });
}

LONG RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER) return Answer(ERROR_SUCCESS);
  return Guarded([&]() -> DWORD {
    if (hKey == nullptr || g_open.erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    delete hKey;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR subKey) {
  if (subKey == nullptr) return Answer(ERROR_INVALID_PARAMETER);
  return Guarded([&]() -> DWORD {
    std::vector<std::string_view> names;
    if (!SplitPath(subKey, names) || names.empty()) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    DWORD error = Resolve(hKey, false, db, id);
    if (error == ERROR_SUCCESS) error = Walk(*db, id, names, false, id);
    if (error != ERROR_SUCCESS) return error;
    std::vector<std::int64_t> children;
    error = db->Subkeys(id, nullptr, &children);
    if (error != ERROR_SUCCESS) return error;
    if (!children.empty()) return ERROR_ACCESS_DENIED;
    return db->Write([&] { return db->Run("DELETE FROM keys WHERE id = ?", id); });
  });
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR subKey) {
  return Guarded([&]() -> DWORD {
    std::vector<std::string_view> names;
    if (!SplitPath(subKey, names)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    DWORD error = Resolve(hKey, false, db, id);
    if (error == ERROR_SUCCESS) error = Walk(*db, id, names, false, id);
    if (error != ERROR_SUCCESS) return error;
    // Subkeys go with their parent (ON DELETE CASCADE), values with their key.
    if (names.empty()) return db->Write([&] { return DeleteBelow(*db, id); });
    return db->Write([&] { return db->Run("DELETE FROM keys WHERE id = ?", id); });
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD cbData) {
  const std::string_view name = ValueName(valueName);
  if (name.size() > kMaxValueNameLength || (data == nullptr && cbData != 0)) {
    return Answer(ERROR_INVALID_PARAMETER);
  }
  if (type == REG_DWORD && cbData != sizeof(DWORD)) return Answer(ERROR_INVALID_PARAMETER);
  if (type != REG_SZ && type != REG_DWORD && type != REG_NONE) return Answer(ERROR_INVALID_PARAMETER);
  return Guarded([&]() -> DWORD {
    std::vector<BYTE> bytes(data, data + cbData);
    // A text is kept with its terminator, as Windows hands it back.
    if (type == REG_SZ && (bytes.empty() || bytes.back() != 0)) bytes.push_back(0);
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    const DWORD error = Resolve(hKey, true, db, id);
    if (error != ERROR_SUCCESS) return error;
    return db->Write([&] { return db->SetValue(id, name, type, bytes.data(), bytes.size()); });
  });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR valueName, DWORD*, DWORD* type, BYTE* data,
                      DWORD* cbData) {
  if (data != nullptr && cbData == nullptr) return Answer(ERROR_INVALID_PARAMETER);
  return Guarded([&]() -> DWORD {
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    DWORD error = Resolve(hKey, false, db, id);
    if (error != ERROR_SUCCESS) return error;
    DWORD found = REG_NONE;
    std::vector<BYTE> bytes;
    if (!db->Value(id, ValueName(valueName), found, bytes, error)) {
      return error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) *type = found;
    if (cbData == nullptr) return ERROR_SUCCESS;
    const DWORD room = *cbData;
    *cbData = static_cast<DWORD>(bytes.size());
    if (data == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR valueName) {
  return Guarded([&]() -> DWORD {
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    DWORD error = Resolve(hKey, false, db, id);
    if (error != ERROR_SUCCESS) return error;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    const std::string_view name = ValueName(valueName);
    if (!db->Value(id, name, type, bytes, error)) {
      return error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND;
    }
    return db->Write([&] { return db->Run("DELETE FROM vals WHERE key = ? AND name = ?", id, name); });
  });
}

LONG RegEnumKeyExA(HKEY hKey, DWORD index, LPSTR name, DWORD* cchName, DWORD*, LPSTR, DWORD*,
                   void*) {
  if (name == nullptr || cchName == nullptr) return Answer(ERROR_INVALID_PARAMETER);
  return Guarded([&]() -> DWORD {
    std::shared_ptr<Db> db;
    std::int64_t id = 0;
    DWORD error = Resolve(hKey, false, db, id);
    if (error != ERROR_SUCCESS) return error;
    std::vector<std::string> names;
    error = db->Subkeys(id, &names, nullptr);
    if (error != ERROR_SUCCESS) return error;
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& found = names[index];
    if (*cchName <= found.size()) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *cchName = static_cast<DWORD>(found.size());
    return ERROR_SUCCESS;
  });
}

namespace velmor::registry {

std::string DatabasePath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.local/share";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/velmor/registry.db";
}

// The open transaction holds the registry lock (so no other thread's change slips into it) and
// the database it began on.
struct Transaction::State {
  std::unique_lock<std::recursive_mutex> hold;
  std::shared_ptr<Db> db;
};

Transaction::Transaction() {
  const DWORD error = Locked([&]() -> DWORD {
    auto state = std::make_unique<State>();
    state->hold = std::unique_lock<std::recursive_mutex>(g_lock);
    DWORD e = CurrentDb(state->db);
    if (e == ERROR_SUCCESS) e = state->db->Begin();
    if (e == ERROR_SUCCESS) state_ = state.release();
    return e;
  });
  if (error != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(error));
}

Transaction::~Transaction() {
  if (state_ == nullptr) return;
  state_->db->End(false);
  delete state_;
}

LONG Transaction::Commit() {
  if (state_ == nullptr) return Answer(ERROR_INVALID_HANDLE);
  const DWORD error = state_->db->End(true);
  delete state_;
  state_ = nullptr;
  return Answer(error);
}

namespace testing {
void FailWritesAfter(int count) { g_failWritesAfter.store(count < 0 ? -1 : count); }
}  // namespace testing

std::string QueryDefaultText(HKEY parent, const std::string& path) {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return {};
  UniqueHkey key(raw);
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ || size == 0) {
    return {};
  }
  std::string text(size, '\0');
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                       &size) != ERROR_SUCCESS) {
    return {};
  }
  text.resize(std::strlen(text.c_str()));
  return text;
}

}  // namespace velmor::registry
