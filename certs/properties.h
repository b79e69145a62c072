// The members certs/ answers itself: the EncryptCN / DecryptCN / IssuerCN properties, and the
// getProviderName and getCertList methods.
//
// They take the control's state (`CtrlState`) and answer with a result text in the ANSI code
// page; each runs in the frame of operation/frame.h, so its working handles are zero again when
// it returns. The control object turns the text into the automation string.
#pragma once

#include <string>

#include "operation/state.h"
#include "platform/crypt/crypt.h"

namespace velmor {

// SetEncryptCN / SetDecryptCN / SetIssuerCN: the property setters; `value` null means the
// argument is absent. Silent: a value they refuse leaves the stored one as it was.
// SetEncryptCN first releases the recipient material of `state`.
void SetEncryptCN(CtrlState& state, const char* value);
void SetDecryptCN(CtrlState& state, const char* value);
void SetIssuerCN(CtrlState& state, const char* value);
// GetEncryptCN / GetDecryptCN / GetIssuerCN: the stored text, as set; they never fail.
std::string GetEncryptCN(CtrlState& state);
std::string GetDecryptCN(CtrlState& state);
std::string GetIssuerCN(CtrlState& state);

// EnumSignerCerts: the worker behind getCertList. With `out` null, stores in *size the length of
// the list text of `store` with its terminator. With `out` given, writes the list text into it,
// never more than *size bytes: an entry that does not fit is left out.
void EnumSignerCerts(HCERTSTORE store, char* out, DWORD* size);

// getProviderName: the name of the provider holding the key of the certificate that CN
// names (the empty text when its key-provider record names none), or "E:0001 %x %d", "E:0002",
// "E:0003", "E:0004", "E:0005". The working handles of `state` are zero again when it returns.
std::string getProviderName(CtrlState& state);
// getCertList: "CN=<name>,<SerialHex>;" for every signing certificate in "MY", in store order
// (empty when there is none), or "E:0001 %x %d", "E:0002". The working handles are zero again
// when it returns.
std::string getCertList(CtrlState& state);

}  // namespace velmor
