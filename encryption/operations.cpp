// Placeholder bodies until encryption lands: every operation answers as if the provider context
// could not be acquired, with E_NOTIMPL as the reason.
#include "encryption/encryption.h"

namespace velmor {
namespace {
std::string NotYet() { return FormatError("E:0001", static_cast<DWORD>(E_NOTIMPL)); }
}  // namespace

std::string Encrypt(CtrlState&, const char*) { return NotYet(); }
std::string Decrypt(CtrlState&, const char*) { return NotYet(); }
std::string EncryptFile(CtrlState&, const char*) { return NotYet(); }
std::string DecryptFile(CtrlState&, const char*) { return NotYet(); }

}  // namespace velmor
