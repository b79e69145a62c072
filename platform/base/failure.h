// How a failing C-library call becomes the value the platform answers with, written once. A
// call to OpenSSL or SQLite is made through VELMOR_CALL, which notes the called function's own
// name, stringified where the call is written; when the result says it failed, the library's
// mapper (platform/base/openssl_failure.h, platform/base/sqlite_failure.h) sorts the failure
// into a Failure kind, records the noted call with the library's reason (LastFailedCall) and
// answers with the caller's value for that kind. In a chain `VELMOR_CALL(a, ...) &&
// VELMOR_CALL(b, ...)` the note is that of the call that ended the chain, so a label can never
// name a call that did not fail.
//
// This header is library-free: the kinds and values are plain numbers, each subsystem brings
// its own table (a registry answers ERROR_BADDB where a key container answers NTE_BAD_KEYSET).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace velmor::platform {

// Failure: what a failed library call amounts to, whatever the library.
enum class Failure : std::uint8_t {
  kOther,             // nothing more precise: the caller's own failure value
  kOutOfMemory,       // the library could not allocate
  kAccessDenied,      // a file that may not be read or written, or cannot be opened
  kBusy,              // another connection holds the lock
  kDiskFull,          // no room to write
  kCorrupt,           // a database file that is damaged or is none
  kMalformed,         // an encoding (ASN.1) that does not parse
  kDigestMismatch,    // a signed message whose digest does not match its content
  kUnknownAlgorithm,  // a signed message naming a digest that is not known
  kNoContent,         // a signed message without the content it signs
};
inline constexpr std::size_t kFailureKinds = 10;

// FailureValues: a subsystem's answer for each kind. A kind left 0 (never a failure value)
// is answered as kOther.
class FailureValues {
 public:
  constexpr explicit FailureValues(std::uint32_t other) { values_[0] = other; }
  // With: the same table answering `kind` with `value`.
  constexpr FailureValues With(Failure kind, std::uint32_t value) const {
    FailureValues copy = *this;
    copy.values_[static_cast<std::size_t>(kind)] = value;
    return copy;
  }
  constexpr std::uint32_t operator[](Failure kind) const {
    const std::uint32_t value = values_[static_cast<std::size_t>(kind)];
    return value != 0 ? value : values_[0];
  }

 private:
  std::array<std::uint32_t, kFailureKinds> values_{};
};

// CallFailsHook: whether this call of the named library function fails without being made.
using CallFailsHook = bool (*)(const char* call);

namespace failure_detail {
extern constinit thread_local const char* t_notedCall;
extern constinit std::atomic<CallFailsHook> g_callFails;
}  // namespace failure_detail

// SetCallFailsHook: the test seam's way into every VELMOR_CALL (null: every call is made, as in
// a shipping process, which never sets it).
void SetCallFailsHook(CallFailsHook hook) noexcept;

// CallFails: whether the test seam fails this call of `call`; one load when it does not.
inline bool CallFails(const char* call) noexcept {
  const CallFailsHook hook = failure_detail::g_callFails.load(std::memory_order_acquire);
  return hook != nullptr && hook(call);
}

// FailedResult: what a library call answers when it fails, answered by the seam in its place:
// null for an object, SQLite's SQLITE_ERROR (1) for a sqlite3_ function, 0 (OpenSSL's failure)
// for any other number.
template <typename R>
inline R FailedResult(std::string_view call) noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(call.starts_with("sqlite3_") ? 1 : 0);
  }
}

// Noted: `result`, noting `call` as the last library call this thread made (see VELMOR_CALL).
template <typename R>
inline R Noted(const char* call, R result) noexcept {
  failure_detail::t_notedCall = call;
  return result;
}

// NotedCall: the name the last VELMOR_CALL of this thread noted ("" before the first).
// Borrowed: a string literal.
inline const char* NotedCall() noexcept { return failure_detail::t_notedCall; }

// VELMOR_CALL: calls `function` with the arguments, noting its name once it has returned (after
// any wrapped call among its arguments). Only for functions that return a value. When the test
// seam fails the call, it is not made and answers as the library does when it fails.
#define VELMOR_CALL(function, ...)                                                       \
  (::velmor::platform::CallFails(#function)                                              \
       ? ::velmor::platform::Noted(                                                      \
             #function,                                                                  \
             ::velmor::platform::FailedResult<decltype(function(__VA_ARGS__))>(#function)) \
       : ::velmor::platform::Noted(#function, function(__VA_ARGS__)))

// RecordFailedCall: `call` (with ": reason" when a reason is given) becomes this thread's
// LastFailedCall.
void RecordFailedCall(const char* call, std::string_view reason) noexcept;

// LastFailedCall: the library call that failed last on this thread, with its reason (empty
// when none did). Borrowed; valid until the next failure on this thread.
const char* LastFailedCall() noexcept;

}  // namespace velmor::platform
