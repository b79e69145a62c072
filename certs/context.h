// The provider contexts and keys the control's members work with: the control's own context,
// the recipient's public key, the decryption key, and the checks and reads of a certificate's
// key-provider record.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "codec/codec.h"
#include "operation/state.h"
#include "platform/crypt/crypt.h"

namespace velmor {

// The fall-back key container of the enhanced provider, for a user whose default container can
// neither be opened nor created.
inline constexpr const char* kFallbackContainer = "tarnvikbankkeyset";

// AcquireProviderContext: a full context of the enhanced RSA provider, tried in this order: the
// user's default container, a new default container, the container "tarnvikbankkeyset", a new
// container of that name. Returns 1 with the context in *phProv (the caller releases it, in
// practice through ReleaseHandles); on failure returns 0, leaves *phProv zero and keeps the last
// attempt's error in GetLastError().
int AcquireProviderContext(HCRYPTPROV* phProv);

// ImportCertPublicKey: the public key of a Base64 DER certificate, imported into `prov`. Returns
// 0 when the text is not Base64, the bytes are not a certificate or the import fails; the
// caller destroys the key with CryptDestroyKey.
HCRYPTKEY ImportCertPublicKey(HCRYPTPROV prov, const char* base64Cert);

// GetEncryptPublicKey: the recipient's RSA public key in `prov`, from the first source the last
// EncryptCN assignment left: the "PK:" key blob, else the certificate, else the certificate
// `encryptSerial` (the EncryptCN input) names from "CA", "TrustedPublisher", "Root" or "Trust"
// (never "MY"). Returns 0 when the chosen source gives no key or a store cannot be opened; the
// caller destroys the key.
HCRYPTKEY GetEncryptPublicKey(HCRYPTPROV prov, const CtrlState& state,
                              std::string_view encryptSerial);

// AcquireDecryptKey: a provider context holding the private key of the certificate
// `decryptSerial` (the DecryptCN input) names in the user's "MY" store (opened on `prov`).
// Returns 0 when the store cannot be opened, the certificate is not there or its key cannot be
// had; the caller releases the context with CryptReleaseContext(handle, 0) and finds the key in
// it with CryptGetUserKey.
HCRYPTPROV AcquireDecryptKey(HCRYPTPROV prov, std::string_view decryptSerial);

// KeyMatchesCertificate: false when the container `keyProv` holds a `keySpec` key whose public
// half is not the certificate's (a damaged or edited store). A container without such a key,
// or a key that cannot be compared, passes: signing with it then fails on its own.
bool KeyMatchesCertificate(HCRYPTPROV keyProv, DWORD keySpec, PCCERT_CONTEXT cert);

// ReadKeyProvInfo: reads the certificate's key-provider record (CERT_KEY_PROV_INFO_PROP_ID,
// followed by the strings it points at) into `info`, a malloc'd buffer the caller owns.
// kUnreadable when the property is missing or unreadable, or shorter than the record itself;
// kNoMemory when the buffer cannot be had. Each caller maps these to its own result codes.
enum class KeyProvInfoStatus { kOk, kUnreadable, kNoMemory };
KeyProvInfoStatus ReadKeyProvInfo(PCCERT_CONTEXT cert, MallocBytes& info);

// KeyProvNameToAnsi: a name from the key-provider record (UTF-16, not null) in the ANSI code
// page. The size is asked for first: a code page may write one UTF-16 unit with three bytes,
// and a cut name would open the wrong container. nullopt, with the conversion's last error,
// when the name cannot be converted.
std::optional<std::string> KeyProvNameToAnsi(const WCHAR* name);

}  // namespace velmor
