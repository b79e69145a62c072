// Owners for the platform's handles above the platform layer, one per kind, registered here
// once: every operation holds what it acquires in one of these, so that each is released on
// every path, in the reverse order of acquisition.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "platform/crypt/crypt.h"

namespace velmor {

// Integer handles (a hash, a key, a provider context, a file descriptor) travel inside a small
// nullable wrapper that unique_ptr can hold as its pointer type.
template <typename T, T kNull>
struct IntHandle {
  T value = kNull;
  IntHandle() = default;
  IntHandle(std::nullptr_t) {}  // NOLINT: unique_ptr needs the implicit null conversion
  explicit IntHandle(T h) : value(h) {}
  explicit operator bool() const { return value != kNull; }
  friend bool operator==(IntHandle a, IntHandle b) { return a.value == b.value; }
  friend bool operator==(IntHandle a, std::nullptr_t) { return a.value == kNull; }
};

// VELMOR_INT_OWNER(Owner, Type, kNull, release): Owner holds one Type handle and releases it
// with `release(value)` unless it is kNull.
#define VELMOR_INT_OWNER(Owner, Type, kNull, release)               \
  struct Owner##Releaser {                                          \
    using pointer = IntHandle<Type, kNull>;                         \
    void operator()(pointer h) const { release(h.value); }          \
  };                                                                \
  using Owner = std::unique_ptr<IntHandle<Type, kNull>, Owner##Releaser>

namespace handles_detail {
inline void ReleaseProv(HCRYPTPROV prov) { CryptReleaseContext(prov, 0); }
void CloseFd(int fd);
}  // namespace handles_detail

// UniqueHash / UniqueKey / UniqueProv: a hash object, a key, a provider context
// (CryptDestroyHash, CryptDestroyKey, CryptReleaseContext(…, 0)).
VELMOR_INT_OWNER(UniqueHash, HCRYPTHASH, 0, CryptDestroyHash);
VELMOR_INT_OWNER(UniqueKey, HCRYPTKEY, 0, CryptDestroyKey);
VELMOR_INT_OWNER(UniqueProv, HCRYPTPROV, 0, handles_detail::ReleaseProv);
// UniqueFd: a file descriptor (close).
VELMOR_INT_OWNER(UniqueFd, int, -1, handles_detail::CloseFd);
#undef VELMOR_INT_OWNER

// UniqueCert: a certificate context (CertFreeCertificateContext).
struct CertFreer {
  void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFreer>;

// UniqueStore: a certificate store (CertCloseStore with CERT_CLOSE_STORE_CHECK_FLAG).
struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;

// UniqueFile: a standard-library stream (fclose). A stream written to is closed by its
// operation itself, which must see whether the close failed.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace velmor
