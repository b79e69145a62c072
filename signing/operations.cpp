// Placeholder bodies until signing lands: every operation answers as if the provider context
// could not be acquired, with E_NOTIMPL as the reason.
#include "signing/signing.h"

namespace velmor {
namespace {
std::string NotYet() { return FormatError("E:0001", static_cast<DWORD>(E_NOTIMPL)); }
}  // namespace

void SetSignData(CtrlState& state, const char*) { state.SetModifiedFlag(); }
std::string GetSignData(CtrlState&) { return NotYet(); }
void SetCN(CtrlState& state, const char*) { state.SetModifiedFlag(); }
std::string GetCN(CtrlState&) { return {}; }
void SetSignFile(CtrlState& state, const char*) { state.SetModifiedFlag(); }
std::string GetSignFile(CtrlState&) { return NotYet(); }
std::string GetSignature(CtrlState&) { return NotYet(); }
void SetSignature(CtrlState& state, const char*) { state.SetModifiedFlag(); }
std::string PKCS7Data(CtrlState&) { return NotYet(); }
std::string SignCert(CtrlState&) { return NotYet(); }
std::string VerifyPKCS7(CtrlState&, const char*) { return NotYet(); }
std::string VerifySignature(CtrlState&, const char*, const char*, const char*) { return NotYet(); }

}  // namespace velmor
