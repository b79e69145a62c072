// Placeholder bodies until certificate selection lands: every method answers as if the
// provider context could not be acquired, with E_NOTIMPL as the reason.
#include "certs/certs.h"

namespace velmor {
namespace {
std::string NotYet() { return FormatError("E:0001", static_cast<DWORD>(E_NOTIMPL)); }
}  // namespace

int AcquireProviderContext(HCRYPTPROV* phProv) {
  *phProv = 0;
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return 0;
}
void SetEncryptCN(CtrlState& state, const char*) { state.SetModifiedFlag(); }
void SetDecryptCN(CtrlState& state, const char*) { state.SetModifiedFlag(); }
void SetIssuerCN(CtrlState& state, const char*) { state.SetModifiedFlag(); }
std::string GetEncryptCN(CtrlState&) { return g_szEncryptCN; }
std::string GetDecryptCN(CtrlState&) { return g_szDecryptCN; }
std::string GetIssuerCN(CtrlState&) { return g_szIssuerCN; }
std::string getProviderName(CtrlState&) { return NotYet(); }
std::string getCertList(CtrlState&) { return NotYet(); }

}  // namespace velmor
