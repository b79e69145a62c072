// The owners of what platform/crypt borrows from its libraries: each OpenSSL, GLib / libsecret
// and p11-kit / PKCS #11 object type is registered here, once, with the function that frees it
// (the mechanism is platform/base/owner.h; SQLite's owners are platform/base/sqlite.h). Only
// platform/crypt and the tests, benchmarks and fuzzers of the platform include this header:
// nothing above the platform layer sees these libraries.
#pragma once

#include <gio/gio.h>
#include <libsecret/secret.h>
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
#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "platform/base/owner.h"

namespace velmor::platform {

namespace crypt_owners_detail {
inline void FreeX509Stack(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
// A parameter array may carry a private key's numbers: its values are wiped before it goes.
inline void ClearFreeParams(OSSL_PARAM* params) {
  for (OSSL_PARAM* p = params; p != nullptr && p->key != nullptr; ++p) {
    if (p->data != nullptr) OPENSSL_cleanse(p->data, p->data_size);
  }
  OSSL_PARAM_free(params);
}
}  // namespace crypt_owners_detail

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
VELMOR_MAKE_DELETER(OSSL_PARAM, crypt_owners_detail::ClearFreeParams);
VELMOR_MAKE_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
VELMOR_MAKE_DELETER(PKCS12, PKCS12_free);
VELMOR_MAKE_DELETER(PKCS7, PKCS7_free);
VELMOR_MAKE_DELETER(X509, X509_free);
VELMOR_MAKE_DELETER(X509_EXTENSION, X509_EXTENSION_free);
VELMOR_MAKE_DELETER(X509_NAME, X509_NAME_free);
VELMOR_MAKE_DELETER(X509_SIG, X509_SIG_free);
VELMOR_MAKE_DELETER(STACK_OF(X509), crypt_owners_detail::FreeX509Stack);  // and every certificate in it

VELMOR_MAKE_UP_REF(EVP_PKEY, EVP_PKEY_up_ref);
VELMOR_MAKE_UP_REF(X509, X509_up_ref);

// GLib and libsecret (the Secret Service that keeps the master key of the sealed private keys)
VELMOR_MAKE_DELETER(GError, g_error_free);
VELMOR_MAKE_DELETER(GDBusConnection, g_object_unref);
VELMOR_MAKE_DELETER(GVariant, g_variant_unref);
// p11-kit
VELMOR_MAKE_DELETER(P11KitUri, p11_kit_uri_free);

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
using P11Text = MallocChars;

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

}  // namespace velmor::platform
