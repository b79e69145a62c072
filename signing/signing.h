// Signing and verification: the SignData, CN, SignFile and Signature properties, PKCS7Data,
// SignCert, VerifyPKCS7 and VerifySignature.
//
// Setters take ANSI text, null when the argument is absent; getters and methods answer with a
// result text in the ANSI code page.
#pragma once

#include <string>

#include "certs/operation.h"

namespace velmor {

void SetSignData(CtrlState& state, const char* value);
std::string GetSignData(CtrlState& state);

void SetCN(CtrlState& state, const char* value);
std::string GetCN(CtrlState& state);

void SetSignFile(CtrlState& state, const char* value);
std::string GetSignFile(CtrlState& state);

// The Signature property: get signs g_szSignData afresh; put stores nothing.
std::string GetSignature(CtrlState& state);
void SetSignature(CtrlState& state, const char* value);

std::string PKCS7Data(CtrlState& state);
std::string SignCert(CtrlState& state);

std::string VerifyPKCS7(CtrlState& state, const char* message);
std::string VerifySignature(CtrlState& state, const char* message, const char* signature,
                            const char* certificate);

}  // namespace velmor
