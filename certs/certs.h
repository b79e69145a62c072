// The control's shared working state and everything that finds certificates and keys:
// the provider context, the searches by serial text (with the organisational-unit rule for the
// signer), issuer and recipient lookup, the decryption key, the EncryptCN / DecryptCN / IssuerCN
// properties, and the getProviderName and getCertList methods.
//
// Operations take the control's state (`CtrlState`) and answer with a result text in the ANSI
// code page; each runs in the frame of operation/frame.h, so its working handles are zero again
// when it returns. The control object turns the text into the automation string.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "codec/codec.h"
#include "operation/frame.h"
#include "certs/operation.h"
#include "operation/handles.h"
#include "platform/crypt/crypt.h"

namespace velmor {

// DecodeCertificate: the certificate in a Base64 DER text, or null when the text is not Base64
// or the bytes are not a certificate. The caller owns the result.
UniqueCert DecodeCertificate(const char* base64);

// ---- Provider context and certificate selection -----------------------------------------------
// The fall-back key container of the enhanced provider, for a user whose default container can
// neither be opened nor created.
inline constexpr const char* kFallbackContainer = "tarnvikbankkeyset";

// AcquireProviderContext: a full context of the enhanced RSA provider, tried in this order: the
// user's default container, a new default container, the container "tarnvikbankkeyset", a new
// container of that name. Returns 1 with the context in *phProv (the caller releases it, in
// practice through ReleaseHandles); on failure returns 0, leaves *phProv zero and keeps the last
// attempt's error in GetLastError().
int AcquireProviderContext(HCRYPTPROV* phProv);

// SerialHex: the certificate's serial number as two lower-case digits a byte, most significant
// byte first, every byte of the encoding kept (a leading zero byte too). Empty for a null
// certificate. Certificates are named by this text, compared exactly.
std::string SerialHex(PCCERT_CONTEXT cert);

// FindSubjectKey: the first `key` ("CN=", "OU=") in a subject text as CertNameToStrA writes it
// that starts an attribute, that is one that stands outside a quoted value; null when there is
// none. `text` must start outside quotes. The one rule for finding a name component: the
// signer filter, the certificate list and the CN setter all use it, so that a certificate has
// one name everywhere.
const char* FindSubjectKey(const char* text, std::string_view key);

// SignerOuFilter: whether an upper-cased subject text carries "OU=QVA" or "OU=QWB" as its first
// or second OU component. Only keys that start an attribute count: an "OU=" inside a quoted
// value of another attribute is not an OU component.
bool SignerOuFilter(const char* upperSubject);

// getMySignerCert: the first certificate in `store` (the user's "MY" store) that passes
// SignerOuFilter and whose SerialHex equals `serial` (the CN input); null when there is none or
// `serial` is empty. The caller owns the result (an operation keeps it in its working handles).
PCCERT_CONTEXT getMySignerCert(HCERTSTORE store, std::string_view serial);

// FindCertBySerial: the first certificate in `store` whose SerialHex equals `serial`; null
// when there is none or `serial` is empty. The caller owns the result.
PCCERT_CONTEXT FindCertBySerial(HCERTSTORE store, std::string_view serial);

// FindIssuerCert: the certificate `issuerSerial` (the IssuerCN input) names, from the user's
// "CA", "Root" or "Trust" store, in that order. A store that cannot be opened ends the search.
// Null when not found; the caller frees the result with CertFreeCertificateContext.
PCCERT_CONTEXT FindIssuerCert(std::string_view issuerSerial);

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

// ---- Properties and methods -------------------------------------------------------------------
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
