#include "signing/signing.h"

namespace velmor {
std::string VerifyPKCS7(CtrlState&, const char*) { return ResultString::Failure(1, static_cast<DWORD>(E_NOTIMPL)); }
std::string VerifySignature(CtrlState&, const char*, const char*, const char*) {
  return ResultString::Failure(1, static_cast<DWORD>(E_NOTIMPL));
}
}  // namespace velmor
