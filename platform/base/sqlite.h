// The platform's SQLite databases (the certificate stores and key containers, the registry):
// their owners, and the connection both open the same way. Only platform files that use SQLite
// include it (it brings sqlite3.h); it comes with the velmor_base_sqlite target.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <initializer_list>
#include <random>
#include <string>
#include <thread>

#include "platform/base/failure.h"
#include "platform/base/owner.h"
#include "platform/base/paths.h"

namespace velmor::platform {

namespace sqlite_detail {
// close_v2: a connection with statements still open goes once they are finalized.
inline void Close(sqlite3* db) { sqlite3_close_v2(db); }
}  // namespace sqlite_detail

VELMOR_MAKE_DELETER(sqlite3, sqlite_detail::Close);
VELMOR_MAKE_DELETER(sqlite3_stmt, sqlite3_finalize);

// kBusyTimeoutMs: how long a call waits for another connection's lock before it answers busy.
inline constexpr int kBusyTimeoutMs = 10000;

// UntilNotBusy: runs `step` (returning a SQLite result) again while it answers busy or locked,
// for at most kBusyTimeoutMs. SQLite calls the busy handler only where waiting cannot deadlock:
// two processes making a new database both hold its read lock when they turn on WAL, and one of
// them is told "busy" at once; it must try again once the other is done.
template <typename Step>
int UntilNotBusy(Step&& step) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  std::minstd_rand jitter(static_cast<unsigned>(getpid()));
  for (;;) {
    const int rc = step();
    const int primary = rc & 0xFF;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() >= deadline) {
      return rc;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + jitter() % 8));
  }
}

// PrivateDatabase: what OpenPrivateDatabase made.
struct PrivateDatabase {
  UniquePtr<sqlite3> db;  // null on failure
  FileIdentity file;      // the database file opened
  // Why it failed: `denied` when the folder or the file could not be made owner-only (nothing
  // was asked of SQLite); otherwise SQLite's result, with the failed call noted (NotedCall:
  // "sqlite3_open_v2" or the pragma's text).
  bool denied = false;
  int rc = SQLITE_OK;
};

// OpenPrivateDatabase: the database at `path` in a folder and a file only their owner may read
// (both made when missing, an existing folder tightened), opened read-write for this thread's
// use with kBusyTimeoutMs, write-ahead logging, foreign keys and normal syncing, then `pragmas`.
PrivateDatabase OpenPrivateDatabase(const std::string& path,
                                    std::initializer_list<const char*> pragmas = {});

// ExecInTransaction: runs `sql` in an immediate transaction of its own, rolled back when a
// statement fails. Returns SQLite's result (the failed call noted as "sqlite3_exec").
int ExecInTransaction(sqlite3* db, const char* sql);

}  // namespace velmor::platform
