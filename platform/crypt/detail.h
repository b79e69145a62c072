// Internals shared by the files of platform/crypt: the owners of OpenSSL objects, the process-wide
// library context, the error mapping, the boundary guard and the handle tables. Not part of the
// public interface (crypt.h is).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/base/failure.h"
#include "platform/base/secure.h"
#include "platform/crypt/crypt.h"
#include "platform/crypt/owners.h"

namespace velmor::crypt::detail {

// Win32 values this layer reports that the base layer does not name.
inline constexpr DWORD ERROR_BUSY_DW = 170;
inline constexpr DWORD ERROR_DISK_FULL_DW = 112;

// ---- Owners (registered once, in platform/crypt/owners.h) ---------------------------------
using platform::OpenSslBytes;
using platform::OpenSslText;
using platform::UniquePtr;
using platform::UpRef;

// SecretBytes: key material and plaintext bytes, wiped whenever their buffer goes back.
class SecretBytes : public platform::SecureBytes {
 public:
  using platform::SecureBytes::SecureBytes;
  SecretBytes() = default;
  SecretBytes(const std::uint8_t* p, std::size_t n) : platform::SecureBytes(p, p + n) {}
};

// ---- Runtime ----------------------------------------------------------------------------------
// The process-wide state itself is in runtime.h; these read it.
// LibCtx: the library context of this layer (default and legacy providers), made once per
// process and kept for its lifetime, so that a host's own OpenSSL use is untouched.
OSSL_LIB_CTX* LibCtx();
// Md5 / Sha1: fetched once from LibCtx(); never freed.
const EVP_MD* Md5();
const EVP_MD* Sha1();
// Rc4: fetched once; null when the legacy provider is missing.
const EVP_CIPHER* Rc4();

// ApiMutex: the lock every exported function holds (Runtime::lock). Calls made from inside a
// call (a hash fed while encrypting) already hold it: a thread counts how deep it is and only
// the outermost call takes the mutex, which costs a fraction of a recursive mutex on the millions of small calls
// a text envelope makes.
class ApiMutex {
 public:
  void lock() {
    if (depth_++ == 0) mutex_.lock();
  }
  void unlock() {
    if (--depth_ == 0) mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  static thread_local unsigned depth_;
};

// Fail: sets the last error and returns false (the usual tail of a failing internal step).
inline bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

enum class Platform { kOpenSsl, kSqlite, kPkcs11 };
// MapPlatformFailure: the one place where an OpenSSL, SQLite or PKCS #11 failure becomes a
// Windows last-error value. `code` is the SQLite result code or the PKCS #11 return value
// (ignored for OpenSSL, whose error queue is read and cleared); `fallback` is the value used when the failure says nothing more precise:
// out of memory is always NTE_NO_MEMORY; an ASN.1 error refines NTE_FAIL to
// CRYPT_E_ASN1_CORRUPT; a PKCS #7 reason refines NTE_BAD_SIGNATURE (a message that does not
// verify) to what was wrong with the message. Records `call` as the failing call (see
// LastFailedCall), sets the last error and returns it.
DWORD MapPlatformFailure(Platform platform, const char* call, int code, DWORD fallback);
// FailOpenSsl / FailSqlite: MapPlatformFailure for the call VELMOR_CALL noted last, returning
// false. The failure is checked straight after the call that failed, before any other wrapped
// call, so the label is always the failing call's own name.
bool FailOpenSsl(DWORD fallback);
bool FailSqlite(int code);
// DropExpectedOpenSslErrors: empties OpenSSL's error queue after a call whose failure is an
// answer, not an error of ours (a signature that does not check out in a subject check, a
// name value that is no text, the end of a PEM list, a switch an older OpenSSL does not know),
// so that its entries are not mistaken later for the reason another call failed. Every other
// failure goes through MapPlatformFailure.
void DropExpectedOpenSslErrors();

// SeamHook: the test seam's hook (Runtime::seam): whether this call of `function` fails.
using SeamHook = bool (*)(const char* function, const char* arg);

// WriteOutput: the "how big must the buffer be" protocol, written once. A null `out` asks for
// the size (TRUE, *len = size); a short buffer gives ERROR_MORE_DATA with *len = size.
bool WriteOutput(std::span<const std::uint8_t> data, BYTE* out, DWORD* len);

// Utf8ToUtf16 / Utf16ToUtf8: strict conversions for names this layer keeps (container and
// provider names); nullopt on invalid input.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);

// ---- Handle tables ----------------------------------------------------------------------------
// Handles are numbers this layer hands out, never addresses: each carries the kind of object it
// names and a serial number that is never given twice in a process. A stale handle (its object
// gone, another made since, perhaps at the same address), a forged one or one of another kind
// finds nothing, and the caller answers with its usual last error.
enum class HandleKind : std::uint8_t { kProvider = 1, kHash = 2, kKey = 3, kStore = 4 };

// HandleTable: the live objects of one kind. `Holder` is std::shared_ptr when the table owns its
// objects (contexts, hashes, keys) and std::weak_ptr when they live by other references (stores,
// kept by their open handle and by the certificate contexts taken from them).
template <typename T, HandleKind kKind, template <typename> class Holder = std::shared_ptr>
class HandleTable {
  static_assert(sizeof(ULONG_PTR) == 8, "handles carry a tag and a 48-bit serial");

 public:
  ULONG_PTR Add(std::shared_ptr<T> object) {
    // 2^48 handles: more than a process makes at a million a second for eight years.
    const ULONG_PTR handle = kTag | (ULONG_PTR{static_cast<std::uint8_t>(kKind)} << 48) |
                             (++serial_ & kSerialMask);
    table_.emplace(handle, Holder<T>(std::move(object)));
    return handle;
  }
  std::shared_ptr<T> Find(ULONG_PTR handle) const {
    auto it = table_.find(handle);
    if (it == table_.end()) return nullptr;
    return Strong(it->second);
  }
  // Peek: the live object behind a handle, borrowed, or null. Only for a call that holds the
  // API lock throughout and hands the object to nobody: nothing can remove it meanwhile, so the
  // reference count need not be touched (the cipher's small blocks ask millions of times).
  T* Peek(ULONG_PTR handle) const
    requires std::is_same_v<Holder<T>, std::shared_ptr<T>>
  {
    // The same handle comes again and again (one key for a whole text): the last one found is
    // answered without the table.
    if (handle == lastHandle_ && handle != 0) return last_;
    auto it = table_.find(handle);
    if (it == table_.end()) return nullptr;
    lastHandle_ = handle;
    last_ = it->second.get();
    return last_;
  }
  bool Remove(ULONG_PTR handle) {
    if (handle == lastHandle_) {
      lastHandle_ = 0;
      last_ = nullptr;
    }
    return table_.erase(handle) != 0;
  }
  std::size_t size() const { return table_.size(); }

 private:
  static constexpr ULONG_PTR kTag = ULONG_PTR{0x7E} << 56;
  static constexpr ULONG_PTR kSerialMask = (ULONG_PTR{1} << 48) - 1;
  static std::shared_ptr<T> Strong(const std::shared_ptr<T>& p) { return p; }
  static std::shared_ptr<T> Strong(const std::weak_ptr<T>& p) { return p.lock(); }

  std::uint64_t serial_ = 0;
  std::unordered_map<ULONG_PTR, Holder<T>> table_;
  // Peek's last answer; a serial is never given twice, so a removed handle cannot match again
  // once Remove has cleared it.
  mutable ULONG_PTR lastHandle_ = 0;
  mutable T* last_ = nullptr;
};

// ---- Key-provider records ---------------------------------------------------------------------
struct KeyProvRecord {
  std::u16string container;
  std::u16string provider;
  bool hasContainer = true;
  bool hasProvider = true;
  DWORD provType = PROV_RSA_FULL;
  DWORD flags = 0;
  DWORD keySpec = AT_KEYEXCHANGE;
  bool operator==(const KeyProvRecord&) const = default;
};

// ---- Provider-side objects used across files --------------------------------------------------
struct Provider;
// FindProvider: the live provider behind a handle, or null.
std::shared_ptr<Provider> FindProvider(HCRYPTPROV handle);
// AcquireForKeyProv: opens the container a key-provider record names (release with
// CryptReleaseContext); `silent`: a token's key without asking for its PIN (NTE_SILENT_CONTEXT
// when one is needed).
bool AcquireForKeyProv(const KeyProvRecord& record, HCRYPTPROV* out, bool silent = false);

// DefaultContainerName: the login user's name, the default container's name.
std::string DefaultContainerName();

}  // namespace velmor::crypt::detail
