// The owners of everything the platform layer borrows from C libraries: each OpenSSL, SQLite,
// iconv, dlopen, GLib / libsecret, p11-kit / PKCS #11, child-process and Cairo object type is
// registered here, once, with the function that frees it, and is then held as UniquePtr<T>
// everywhere (platform/ and its tests). Only platform/ and the tests of platform/ include this
// header: nothing above the platform layer sees these libraries.
#pragma once

#include <cairo.h>
#include <dlfcn.h>
#include <errno.h>
#include <gio/gio.h>
#include <iconv.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <libsecret/secret.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace velmor::platform {

// Deleter<T>: how a T is freed; only the types registered below have one.
template <typename T>
struct Deleter;

// UniquePtr<T>: the one owner of a T (null-safe: the free functions are never called on null).
template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

#define VELMOR_MAKE_DELETER(type, freeFunction)                 \
  template <>                                                   \
  struct Deleter<type> {                                        \
    void operator()(type* p) const noexcept { freeFunction(p); } \
  }

namespace owners_detail {
inline void FreeX509Stack(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
inline void CloseSqlite(sqlite3* db) { sqlite3_close_v2(db); }
// A parameter array may carry a private key's numbers: its values are wiped before it goes.
inline void ClearFreeParams(OSSL_PARAM* params) {
  for (OSSL_PARAM* p = params; p != nullptr && p->key != nullptr; ++p) {
    if (p->data != nullptr) OPENSSL_cleanse(p->data, p->data_size);
  }
  OSSL_PARAM_free(params);
}
}  // namespace owners_detail

// OpenSSL
VELMOR_MAKE_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
VELMOR_MAKE_DELETER(ASN1_TIME, ASN1_TIME_free);
VELMOR_MAKE_DELETER(ASN1_TYPE, ASN1_TYPE_free);
VELMOR_MAKE_DELETER(BIGNUM, BN_clear_free);  // wiped: a BIGNUM may be a private exponent or prime
VELMOR_MAKE_DELETER(BIO, BIO_free_all);
VELMOR_MAKE_DELETER(BN_CTX, BN_CTX_free);
VELMOR_MAKE_DELETER(CMS_ContentInfo, CMS_ContentInfo_free);
VELMOR_MAKE_DELETER(EVP_CIPHER, EVP_CIPHER_free);
VELMOR_MAKE_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
VELMOR_MAKE_DELETER(EVP_MD, EVP_MD_free);
VELMOR_MAKE_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
VELMOR_MAKE_DELETER(EVP_PKEY, EVP_PKEY_free);
VELMOR_MAKE_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
VELMOR_MAKE_DELETER(OSSL_DECODER_CTX, OSSL_DECODER_CTX_free);
VELMOR_MAKE_DELETER(OSSL_LIB_CTX, OSSL_LIB_CTX_free);
VELMOR_MAKE_DELETER(OSSL_PROVIDER, OSSL_PROVIDER_unload);
VELMOR_MAKE_DELETER(OSSL_PARAM, owners_detail::ClearFreeParams);
VELMOR_MAKE_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
VELMOR_MAKE_DELETER(PKCS12, PKCS12_free);
VELMOR_MAKE_DELETER(PKCS7, PKCS7_free);
VELMOR_MAKE_DELETER(X509, X509_free);
VELMOR_MAKE_DELETER(X509_EXTENSION, X509_EXTENSION_free);
VELMOR_MAKE_DELETER(X509_NAME, X509_NAME_free);
VELMOR_MAKE_DELETER(X509_SIG, X509_SIG_free);
VELMOR_MAKE_DELETER(STACK_OF(X509), owners_detail::FreeX509Stack);  // and every certificate in it

// SQLite (close_v2: a connection with statements still open goes once they are finalized)
VELMOR_MAKE_DELETER(sqlite3, owners_detail::CloseSqlite);
VELMOR_MAKE_DELETER(sqlite3_stmt, sqlite3_finalize);

// GLib and libsecret (the Secret Service that keeps the master key of the sealed private keys)
VELMOR_MAKE_DELETER(GError, g_error_free);
VELMOR_MAKE_DELETER(GDBusConnection, g_object_unref);
VELMOR_MAKE_DELETER(GVariant, g_variant_unref);
// p11-kit
VELMOR_MAKE_DELETER(P11KitUri, p11_kit_uri_free);

// Cairo
VELMOR_MAKE_DELETER(cairo_t, cairo_destroy);
VELMOR_MAKE_DELETER(cairo_surface_t, cairo_surface_destroy);
VELMOR_MAKE_DELETER(cairo_font_face_t, cairo_font_face_destroy);
VELMOR_MAKE_DELETER(cairo_font_options_t, cairo_font_options_destroy);

#undef VELMOR_MAKE_DELETER

// OpenSslBytes: bytes OpenSSL allocated for the caller (i2d_*, ASN1_STRING_to_UTF8), freed with
// OPENSSL_free. Adopt them on the line of the call that made them, before anything can throw.
struct OpenSslFree {
  template <typename T>
  void operator()(T* p) const noexcept {
    OPENSSL_free(p);
  }
};
using OpenSslBytes = std::unique_ptr<unsigned char, OpenSslFree>;
using OpenSslText = std::unique_ptr<char, OpenSslFree>;

// OpenSslSecret: such bytes when they hold a secret (a private key's encoding): wiped before
// they are freed, so the owner carries their length. `OpenSslSecret der(raw, {size});`
struct OpenSslClearFree {
  std::size_t size = 0;
  void operator()(unsigned char* p) const noexcept { OPENSSL_clear_free(p, size); }
};
using OpenSslSecret = std::unique_ptr<unsigned char, OpenSslClearFree>;

// SecretPassword: a password libsecret handed over (secret_password_lookup_sync), wiped and
// freed with secret_password_free.
struct SecretPasswordFree {
  void operator()(gchar* p) const noexcept { secret_password_free(p); }
};
using SecretPassword = std::unique_ptr<gchar, SecretPasswordFree>;

// UniqueIconv: an iconv descriptor (iconv_t is a bare pointer type, so it has an owner of its
// own rather than a Deleter<T>); null stands for "none".
struct IconvCloser {
  void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};
using UniqueIconv = std::unique_ptr<void, IconvCloser>;

// UniqueLibrary: a module dlopen loaded (a bare pointer, like iconv_t), unloaded with dlclose.
struct LibraryCloser {
  void operator()(void* handle) const noexcept { dlclose(handle); }
};
using UniqueLibrary = std::unique_ptr<void, LibraryCloser>;

// UniquePipe: a stream popen opened, closed with pclose.
struct PipeCloser {
  void operator()(FILE* f) const noexcept { pclose(f); }
};
using UniquePipe = std::unique_ptr<FILE, PipeCloser>;

// UniqueP11Modules: the PKCS #11 modules p11-kit loaded and initialised from its registry (a
// null-terminated array), finalised and unloaded with p11_kit_modules_finalize_and_release.
struct P11ModulesRelease {
  void operator()(CK_FUNCTION_LIST** modules) const noexcept {
    p11_kit_modules_finalize_and_release(modules);
  }
};
using UniqueP11Modules = std::unique_ptr<CK_FUNCTION_LIST*, P11ModulesRelease>;

// P11Text: a string p11-kit allocated for the caller (module names, file names, URIs), freed
// with free().
struct P11Free {
  void operator()(char* p) const noexcept { std::free(p); }
};
using P11Text = std::unique_ptr<char, P11Free>;

// UniqueP11Session: an open PKCS #11 session, closed with its module's C_CloseSession. The
// pointer type carries the module's function list with the session number.
struct P11SessionCloser {
  struct pointer {
    CK_FUNCTION_LIST* module = nullptr;
    CK_SESSION_HANDLE session = 0;
    pointer() = default;
    pointer(std::nullptr_t) {}
    pointer(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s) : module(m), session(s) {}
    explicit operator bool() const { return module != nullptr; }
    friend bool operator==(const pointer& a, const pointer& b) {
      return a.module == b.module && a.session == b.session;
    }
    friend bool operator==(const pointer& a, std::nullptr_t) { return a.module == nullptr; }
  };
  void operator()(pointer p) const noexcept { p.module->C_CloseSession(p.session); }
};
using UniqueP11Session = std::unique_ptr<void, P11SessionCloser>;

// UniqueFd: a POSIX file descriptor, closed with close(); -1 stands for "none".
struct FdCloser {
  struct pointer {
    int fd = -1;
    pointer() = default;
    pointer(std::nullptr_t) {}
    explicit pointer(int f) : fd(f) {}
    explicit operator bool() const { return fd >= 0; }
    friend bool operator==(const pointer& a, const pointer& b) { return a.fd == b.fd; }
    friend bool operator==(const pointer& a, std::nullptr_t) { return a.fd < 0; }
  };
  void operator()(pointer p) const noexcept { ::close(p.fd); }
};
using UniqueFd = std::unique_ptr<void, FdCloser>;

// UniqueChild: a child process this process started as the leader of a process group of its
// own (POSIX_SPAWN_SETSID or setpgid), ended with all it started when its owner goes. The leader
// is given half a second to end by itself (its input is closed by then, which ends a
// well-behaved one); then the whole group gets SIGTERM, the leader another half second, and the
// group SIGKILL, so that no call ever waits on a stuck child and nothing it spawned outlives it
// (a wrapper script's `sleep` included). The leader is reaped only after the group was killed:
// until then its process id, which names the group, cannot be given to anyone else.
struct ChildReaper {
  struct pointer {
    pid_t pid = -1;
    pointer() = default;
    pointer(std::nullptr_t) {}
    explicit pointer(pid_t p) : pid(p) {}
    explicit operator bool() const { return pid > 0; }
    friend bool operator==(const pointer& a, const pointer& b) { return a.pid == b.pid; }
    friend bool operator==(const pointer& a, std::nullptr_t) { return a.pid <= 0; }
  };
  enum class State { kRunning, kEnded, kGone };
  // Wait: the leader's state after at most `waitMs`; an ended one is left unreaped (its zombie
  // keeps the group's id taken). kGone: not ours to wait for any more (reaped elsewhere).
  static State Wait(pid_t pid, int waitMs) noexcept {
    for (int i = 0;; ++i) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno == EINTR) continue;
        return State::kGone;
      }
      if (info.si_pid == pid) return State::kEnded;
      if (i >= waitMs) return State::kRunning;
      const timespec tick{0, 1'000'000};
      ::nanosleep(&tick, nullptr);
    }
  }
  void operator()(pointer p) const noexcept {
    State state = Wait(p.pid, 500);
    if (state == State::kGone) return;  // its id may be someone else's by now
    ::kill(-p.pid, SIGTERM);  // a stuck leader, or what an ended one left behind
    if (state == State::kRunning && Wait(p.pid, 500) == State::kGone) return;
    ::kill(-p.pid, SIGKILL);
    ::waitpid(p.pid, nullptr, 0);
  }
};
using UniqueChild = std::unique_ptr<void, ChildReaper>;

// UpRef: a second owner of a reference-counted object (null when `p` is null or the count
// cannot be raised). The caller keeps its own reference.
inline UniquePtr<EVP_PKEY> UpRef(EVP_PKEY* p) {
  if (p == nullptr || EVP_PKEY_up_ref(p) != 1) return nullptr;
  return UniquePtr<EVP_PKEY>(p);
}
inline UniquePtr<X509> UpRef(X509* p) {
  if (p == nullptr || X509_up_ref(p) != 1) return nullptr;
  return UniquePtr<X509>(p);
}

}  // namespace velmor::platform
