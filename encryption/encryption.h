// Encryption: texts and files sealed for the EncryptCN recipient (an RC4-128 session key wrapped
// under the recipient's RSA key) and opened with the DecryptCN certificate's private key.
#pragma once

#include <string>

#include "certs/operation.h"

namespace velmor {

std::string Encrypt(CtrlState& state, const char* plainText);
std::string Decrypt(CtrlState& state, const char* cipherText);
std::string EncryptFile(CtrlState& state, const char* fileName);
std::string DecryptFile(CtrlState& state, const char* fileName);

}  // namespace velmor
