// The process-wide pieces: library context, error mapping, output protocol, text conversions.
#include <openssl/asn1err.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/base/openssl_failure.h"
#include "platform/base/sqlite_failure.h"
#include "platform/crypt/certificate.h"
#include "platform/crypt/pkcs11.h"
#include "platform/crypt/runtime.h"

namespace velmor::crypt {

const char* LastFailedCall() { return platform::LastFailedCall(); }

namespace detail {

// The library context is made with the runtime: every call takes the runtime's lock first.
Runtime::Runtime() {
  libCtx = OSSL_LIB_CTX_new();
  if (libCtx != nullptr) {
    OSSL_PROVIDER_load(libCtx, "default");
    OSSL_PROVIDER_load(libCtx, "legacy");
    md5 = EVP_MD_fetch(libCtx, "MD5", nullptr);
    sha1 = EVP_MD_fetch(libCtx, "SHA1", nullptr);
    rc4 = EVP_CIPHER_fetch(libCtx, "RC4", nullptr);
  }
  DropExpectedOpenSslErrors();  // no legacy provider: RC4 is missing, and says so when used
}

// Never run: the runtime lives as long as the process (see TheRuntime).
Runtime::~Runtime() = default;

void Runtime::DropCaches() {
  storeCache.Drop();
  keyCache.Drop();
}

void Runtime::Reset() {
  seam.store(nullptr, std::memory_order_release);
  memoryStorage.reset();
  keyStorage.store(-1);
  emptyContainers.Drop();
  loginUid = static_cast<uid_t>(-1);
  loginName.clear();
  DropCaches();
  publicKeys.Drop();
  nameTexts.Drop();
  tokenCertificates.Drop();
  tokenListings.Drop();
  platform::RecordFailedCall("", {});
}

OSSL_LIB_CTX* LibCtx() { return TheRuntime().libCtx; }
const EVP_MD* Md5() { return TheRuntime().md5; }
const EVP_MD* Sha1() { return TheRuntime().sha1; }
const EVP_CIPHER* Rc4() { return TheRuntime().rc4; }

thread_local unsigned ApiMutex::depth_ = 0;

namespace {

// OpenSslValues: the answers for an OpenSSL failure where `fallback` is the caller's own: an
// ASN.1 reason refines a general failure, a PKCS #7 reason a signature that does not verify.
platform::FailureValues OpenSslValues(DWORD fallback) {
  auto values = platform::FailureValues(fallback).With(platform::Failure::kOutOfMemory, NTE_NO_MEMORY);
  if (fallback == NTE_FAIL) values = values.With(platform::Failure::kMalformed, CRYPT_E_ASN1_CORRUPT);
  if (fallback == NTE_BAD_SIGNATURE) {
    values = values.With(platform::Failure::kDigestMismatch, CRYPT_E_HASH_VALUE)
                 .With(platform::Failure::kUnknownAlgorithm, CRYPT_E_UNKNOWN_ALGO)
                 .With(platform::Failure::kNoContent, CRYPT_E_MSG_ERROR);
  }
  return values;
}

// The answers for a SQLite failure of the stores and key containers.
constexpr platform::FailureValues kSqliteValues =
    platform::FailureValues(NTE_FAIL)
        .With(platform::Failure::kOutOfMemory, NTE_NO_MEMORY)
        .With(platform::Failure::kAccessDenied, E_ACCESSDENIED_DW)
        .With(platform::Failure::kBusy, ERROR_BUSY_DW)
        .With(platform::Failure::kDiskFull, ERROR_DISK_FULL_DW)
        .With(platform::Failure::kCorrupt, NTE_BAD_KEYSET);

}  // namespace

DWORD MapPlatformFailure(Platform platform, const char* call, int code, DWORD fallback) {
  DWORD error = fallback;
  if (platform == Platform::kOpenSsl) {
    error = platform::MapOpenSslFailure(OpenSslValues(fallback), call);
  } else if (platform == Platform::kPkcs11) {
    const auto rv = static_cast<unsigned long>(static_cast<unsigned int>(code));
    error = Pkcs11Error(rv, fallback);
    platform::RecordFailedCall(call, Pkcs11ErrorName(rv));
  } else {
    error = platform::MapSqliteFailure(code, kSqliteValues, call);
  }
  SetLastError(error);
  return error;
}

bool FailOpenSsl(DWORD fallback) {
  MapPlatformFailure(Platform::kOpenSsl, platform::NotedCall(), 0, fallback);
  return false;
}

bool FailSqlite(int code) {
  MapPlatformFailure(Platform::kSqlite, platform::NotedCall(), code, NTE_FAIL);
  return false;
}

void DropExpectedOpenSslErrors() { ERR_clear_error(); }

bool WriteOutput(std::span<const std::uint8_t> data, BYTE* out, DWORD* len) {
  if (len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (data.size() > 0xFFFFFFFFu) return Fail(NTE_BAD_LEN);
  const auto size = static_cast<DWORD>(data.size());
  if (out == nullptr) {
    *len = size;
    return true;
  }
  if (*len < size) {
    *len = size;
    return Fail(ERROR_MORE_DATA);
  }
  if (size != 0) std::memcpy(out, data.data(), size);
  *len = size;
  return true;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    char32_t cp = 0;
    std::size_t n = 0;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1Fu;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0Fu;
      n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07u;
      n = 4;
    } else {
      return std::nullopt;
    }
    if (i + n > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < n; ++k) {
      auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return std::nullopt;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

namespace {

std::string LookUpUserName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_name != nullptr && result->pw_name[0] != '\0') {
    return result->pw_name;
  }
  const char* user = std::getenv("USER");
  if (user != nullptr && user[0] != '\0') return user;
  return "user" + std::to_string(geteuid());
}

}  // namespace

std::string DefaultContainerName() {
  // The password database is read once per user id: every operation acquires a context.
  Runtime& runtime = TheRuntime();
  uid_t uid = geteuid();
  if (uid != runtime.loginUid || runtime.loginName.empty()) {
    runtime.loginName = LookUpUserName();
    runtime.loginUid = uid;
  }
  return runtime.loginName;
}

}  // namespace detail
}  // namespace velmor::crypt
