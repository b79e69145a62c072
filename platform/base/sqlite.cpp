#include "platform/base/sqlite.h"

namespace velmor::platform {

namespace {
constexpr const char* kCommonPragmas[] = {"PRAGMA journal_mode=WAL", "PRAGMA foreign_keys=ON",
                                          "PRAGMA synchronous=NORMAL"};

// Pragma: one pragma run until no other connection holds it off, noted by its text.
int Pragma(sqlite3* db, const char* sql) {
  const int rc = UntilNotBusy([&] { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); });
  return Noted(sql, rc);
}
}  // namespace

PrivateDatabase OpenPrivateDatabase(const std::string& path,
                                    std::initializer_list<const char*> pragmas) {
  PrivateDatabase out;
  const auto slash = path.find_last_of('/');
  std::optional<FileIdentity> file;
  if (slash == std::string::npos || !MakePrivateDir(path.substr(0, slash), true) ||
      !(file = MakePrivateFile(path))) {
    out.denied = true;
    return out;
  }
  out.file = *file;
  sqlite3* raw = nullptr;
  out.rc = VELMOR_CALL(sqlite3_open_v2, path.c_str(), &raw,
                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  UniquePtr<sqlite3> db(raw);
  if (out.rc != SQLITE_OK) return out;
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  for (const char* sql : kCommonPragmas) {
    if ((out.rc = Pragma(db.get(), sql)) != SQLITE_OK) return out;
  }
  for (const char* sql : pragmas) {
    if ((out.rc = Pragma(db.get(), sql)) != SQLITE_OK) return out;
  }
  out.db = std::move(db);
  return out;
}

int ExecInTransaction(sqlite3* db, const char* sql) {
  int rc = VELMOR_CALL(sqlite3_exec, db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = VELMOR_CALL(sqlite3_exec, db, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = VELMOR_CALL(sqlite3_exec, db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

}  // namespace velmor::platform
