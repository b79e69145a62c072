#include "platform/base/failure.h"

#include <string>

namespace velmor::platform {

namespace failure_detail {
constinit thread_local const char* t_notedCall = "";
constinit std::atomic<CallFailsHook> g_callFails{nullptr};
}  // namespace failure_detail

void SetCallFailsHook(CallFailsHook hook) noexcept {
  failure_detail::g_callFails.store(hook, std::memory_order_release);
}

namespace {
thread_local std::string t_lastFailedCall;
}  // namespace

void RecordFailedCall(const char* call, std::string_view reason) noexcept {
  try {
    t_lastFailedCall = call != nullptr ? call : "";
    if (!reason.empty()) {
      t_lastFailedCall += ": ";
      t_lastFailedCall += reason;
    }
  } catch (...) {
    // No memory for the label: the failure is still answered, only unnamed.
    t_lastFailedCall.clear();
  }
}

const char* LastFailedCall() noexcept { return t_lastFailedCall.c_str(); }

}  // namespace velmor::platform
