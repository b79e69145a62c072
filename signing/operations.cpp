// Placeholder bodies until verification lands: both methods answer as if the provider context
// could not be acquired, with E_NOTIMPL as the reason.
#include "signing/signing.h"

namespace velmor {
namespace {
std::string NotYet() { return FormatError("E:0001", static_cast<DWORD>(E_NOTIMPL)); }
}  // namespace

std::string VerifyPKCS7(CtrlState&, const char*) { return NotYet(); }
std::string VerifySignature(CtrlState&, const char*, const char*, const char*) { return NotYet(); }

}  // namespace velmor
