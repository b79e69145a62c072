// The test seam: named platform calls made to fail with a chosen last error. It reaches the
// platform through the hook the platform calls; nothing of it is in the shipping library.
#include <atomic>
#include <string>
#include <vector>

#include "tests/support/seam.h"

#include "platform/crypt/runtime.h"

namespace velmor::crypt {

namespace {

struct Injection {
  std::string function;
  DWORD error = 0;
  bool hasArg = false;
  std::string arg;
  unsigned remaining = 0;  // 0: until cleared
  unsigned pass = 0;       // matching calls still let through before the first failure
};

std::mutex& SeamLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::vector<Injection>& Injections() {
  static auto* list = new std::vector<Injection>;
  return *list;
}

// Consult: the hook the platform calls while failures are injected.
bool Consult(const char* function, const char* arg) {
  std::lock_guard<std::mutex> lock(SeamLock());
  auto& list = Injections();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->function != function) continue;
    if (it->hasArg && (arg == nullptr || it->arg != arg)) continue;
    if (it->pass != 0) {
      --it->pass;
      return false;
    }
    SetLastError(it->error);
    if (it->remaining != 0 && --it->remaining == 0) {
      list.erase(it);
      if (list.empty()) {
        detail::TheRuntime().seam.store(nullptr, std::memory_order_release);
        platform::SetCallFailsHook(nullptr);
      }
    }
    return true;
  }
  return false;
}

// ConsultCall: the same list for the library calls made through VELMOR_CALL (an OpenSSL or SQLite
// function's name), which are never narrowed by an argument.
bool ConsultCall(const char* call) { return Consult(call, nullptr); }

}  // namespace

void InjectFailure(const char* function, DWORD error, const char* arg, unsigned count,
                   unsigned pass) {
  if (function == nullptr) return;
  std::lock_guard<std::mutex> lock(SeamLock());
  Injection injection;
  injection.function = function;
  injection.error = error;
  injection.hasArg = arg != nullptr;
  if (arg != nullptr) injection.arg = arg;
  injection.remaining = count;
  injection.pass = pass;
  Injections().push_back(std::move(injection));
  detail::TheRuntime().seam.store(&Consult, std::memory_order_release);
  platform::SetCallFailsHook(&ConsultCall);
}

void ClearInjectedFailures() {
  std::lock_guard<std::mutex> lock(SeamLock());
  Injections().clear();
  detail::TheRuntime().seam.store(nullptr, std::memory_order_release);
  platform::SetCallFailsHook(nullptr);
}

void ResetRuntime() {
  // The API lock first, then the seam's, as a call consulting the seam takes them.
  std::lock_guard<detail::ApiMutex> lock(detail::ApiLock());
  ClearInjectedFailures();
  detail::TheRuntime().Reset();
}

}  // namespace velmor::crypt
