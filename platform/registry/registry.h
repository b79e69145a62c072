// velmor's layer in place of the Windows registry: one per-user registry, kept in a SQLite
// database of its own in the user's velmor data folder (beside the certificate stores, owner-only).
//
// The calls, their arguments and their error values are those of the Windows API. Texts are ANSI
// (the bytes as given; velmor's own texts are ASCII). Keys are found without regard to ASCII
// case. Every call that changes something is one transaction: it happens whole or not at all.
// HKEY_CLASSES_ROOT is the user's classes, HKEY_CURRENT_USER\Software\Classes.
#pragma once

#include <memory>
#include <string>

#include "platform/com/com.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// The predefined keys; never closed.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(ULONG_PTR{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(ULONG_PTR{0x80000001});

// Value types kept: texts and 32-bit numbers (little-endian, as Windows stores them).
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_DWORD = 4;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_BADDB = 1009;
inline constexpr DWORD ERROR_BADKEY = 1010;
inline constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

// Limits of the Windows registry: a key name's length, a value name's length, a path's depth.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
inline constexpr std::size_t kMaxKeyDepth = 512;

// RegCreateKeyExA: opens `subKey` of `hKey`, creating it and every missing key on the way (one
// transaction). A null or empty subKey opens `hKey` itself again. *phkResult is the caller's
// (RegCloseKey). Returns ERROR_SUCCESS, ERROR_INVALID_PARAMETER (null result, an empty or too
// long name, a path too deep), ERROR_INVALID_HANDLE, ERROR_KEY_DELETED, or the failure of the
// database (ERROR_ACCESS_DENIED, ERROR_OUTOFMEMORY, ERROR_DISK_FULL, ERROR_BADDB,
// ERROR_REGISTRY_IO_FAILED).
LONG RegCreateKeyExA(HKEY hKey, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM samDesired, void* securityAttributes, PHKEY phkResult,
                     DWORD* disposition);
// RegOpenKeyExA: opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegOpenKeyExA(HKEY hKey, LPCSTR subKey, DWORD options, REGSAM samDesired, PHKEY phkResult);
// RegCloseKey: releases a key handle (ERROR_INVALID_HANDLE for one that is not open).
LONG RegCloseKey(HKEY hKey);
// RegDeleteKeyA: removes `subKey` with its values; ERROR_ACCESS_DENIED while it has subkeys,
// ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR subKey);
// RegDeleteTreeA: removes `subKey` and everything below it; a null subKey removes the values and
// subkeys of `hKey` but keeps the key. One transaction.
LONG RegDeleteTreeA(HKEY hKey, LPCSTR subKey);
// RegSetValueExA: sets a value (a null or empty name is the key's default value). REG_SZ data
// are stored as given and must hold their terminator (one is added when it is missing);
// REG_DWORD data are exactly 4 bytes (ERROR_INVALID_PARAMETER otherwise).
LONG RegSetValueExA(HKEY hKey, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD cbData);
// RegQueryValueExA: a value's type and data. With a null `data` (or a too small *cbData) it
// only tells the size in *cbData (ERROR_MORE_DATA when `data` was given but too small).
// ERROR_FILE_NOT_FOUND when there is no such value.
LONG RegQueryValueExA(HKEY hKey, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData);
// RegDeleteValueA: removes one value; ERROR_FILE_NOT_FOUND when there is none.
LONG RegDeleteValueA(HKEY hKey, LPCSTR valueName);
// RegEnumKeyExA: the name of subkey `index` in name order (case-insensitive). *cchName is the
// buffer size in characters and becomes the name's length; ERROR_MORE_DATA when it is too
// small, ERROR_NO_MORE_ITEMS past the last one.
LONG RegEnumKeyExA(HKEY hKey, DWORD index, LPSTR name, DWORD* cchName, DWORD* reserved,
                   LPSTR keyClass, DWORD* cchClass, void* lastWriteTime);

namespace velmor::registry {

struct KeyCloser {
  void operator()(HKEY__* key) const noexcept { RegCloseKey(key); }
};
// UniqueHkey: one owner for an open key (RegCloseKey).
using UniqueHkey = std::unique_ptr<HKEY__, KeyCloser>;

// QueryDefaultText: the default value (REG_SZ) of `parent`\`path`; empty when the key or its
// text is not there.
std::string QueryDefaultText(HKEY parent, const std::string& path);

// DatabasePath: the registry's file, <data folder>/velmor/registry.db, with the data folder
// XDG_DATA_HOME or ~/.local/share as for the certificate stores; empty when neither is usable.
std::string DatabasePath();

// Transaction: while one is alive on the calling thread, every change made to the registry is
// part of it, and none lasts unless Commit succeeds; the destructor of an uncommitted one
// undoes them all. Transactions nest: an inner one's changes last once the outermost commits.
class Transaction {
 public:
  // Begins the transaction; `ok()` tells whether that worked (the last error says why not).
  Transaction();
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool ok() const { return state_ != nullptr; }
  // Commit: ERROR_SUCCESS, or the database's failure (nothing then lasts).
  LONG Commit();

 private:
  struct State;
  State* state_ = nullptr;
};

namespace testing {
// FailWritesAfter: the next `count` statements that change the database succeed, the one after
// fails as a failing disk would (ERROR_REGISTRY_IO_FAILED); a negative count fails none.
void FailWritesAfter(int count);
}  // namespace testing

}  // namespace velmor::registry
