#include "encryption/encryption.h"

namespace velmor {
std::string Encrypt(CtrlState&, const char*) { return ResultString::Failure(1, static_cast<DWORD>(E_NOTIMPL)); }
std::string Decrypt(CtrlState&, const char*) { return ResultString::Failure(1, static_cast<DWORD>(E_NOTIMPL)); }
std::string EncryptFile(CtrlState&, const char*) { return ResultString::Failure(1, static_cast<DWORD>(E_NOTIMPL)); }
std::string DecryptFile(CtrlState&, const char*) { return ResultString::Failure(1, static_cast<DWORD>(E_NOTIMPL)); }
}  // namespace velmor
