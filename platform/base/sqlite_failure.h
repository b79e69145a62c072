// The SQLite half of the failure mapper (see platform/base/failure.h). Only platform files
// that call SQLite include it: it brings sqlite3.h.
#pragma once

#include <sqlite3.h>

#include <cstdint>

#include "platform/base/failure.h"

namespace velmor::platform {

// SqliteFailureKind: the kind of a SQLite result code (extended codes by their primary code).
constexpr Failure SqliteFailureKind(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_NOMEM: return Failure::kOutOfMemory;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return Failure::kAccessDenied;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return Failure::kBusy;
    case SQLITE_FULL: return Failure::kDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return Failure::kCorrupt;
    default: return Failure::kOther;
  }
}

// MapSqliteFailure: `values`' answer for the failed result `rc`, recording `call` (by default
// the last VELMOR_CALL) with SQLite's text for the code as LastFailedCall.
inline std::uint32_t MapSqliteFailure(int rc, const FailureValues& values,
                                      const char* call = NotedCall()) noexcept {
  RecordFailedCall(call, sqlite3_errstr(rc));
  return values[SqliteFailureKind(rc)];
}

}  // namespace velmor::platform
