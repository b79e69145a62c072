// The control's shared working state and everything that finds certificates and keys:
// the provider context, the searches by serial text (with the organisational-unit rule for the
// signer), issuer and recipient lookup, the decryption key, the EncryptCN / DecryptCN / IssuerCN
// properties, and the getProviderName and getCertList methods.
//
// Operations take the control's state (`CtrlState`) and answer with a result text in the ANSI
// code page; the control object turns that text into the automation string.
#pragma once

#include <string>

#include "platform/crypt/crypt.h"

namespace velmor {

// Module-wide inputs, zero at load and shared by every control in the process: a value set
// through one control is seen by all others and by controls created later.
inline constexpr std::size_t kSignDataSize = 600000;
inline constexpr std::size_t kSignFileSize = 256;
inline constexpr std::size_t kSerialBufferSize = 81;  // 80 characters and a terminator
inline constexpr std::size_t kCNSubjectSize = 256;

extern char g_szSignData[kSignDataSize];
extern char g_szSignFile[kSignFileSize];
extern char g_szCN[kSerialBufferSize];
extern char g_szCNSubject[kCNSubjectSize];
extern char g_szEncryptCN[kSerialBufferSize];
extern char g_szDecryptCN[kSerialBufferSize];
extern char g_szIssuerCN[kSerialBufferSize];

// ClearModuleBuffers: zeroes every module-wide buffer, as at load. For tests and hosts that
// want a fresh module without a fresh process.
void ClearModuleBuffers();

// Trace: the module-wide trace sink. It takes a progress text and discards it.
void Trace(const char* text);

// CtrlState: the per-control fields every operation works with.
//
// The four working handles are filled by an operation as it goes and emptied by ReleaseHandles
// before it returns, so between calls they are zero. The recipient material persists between
// calls: only the EncryptCN setter and the control's destruction release it.
struct CtrlState {
  // Recipient material (EncryptCN).
  PCCERT_CONTEXT m_pEncryptCert = nullptr;
  BYTE* m_pEncryptKeyBlob = nullptr;  // from malloc (Base64Decode)
  DWORD m_cbEncryptKeyBlob = 0;
  // Working handles.
  HCRYPTPROV m_hProv = 0;
  HCRYPTPROV m_hKeyProv = 0;
  HCERTSTORE m_hStore = nullptr;
  PCCERT_CONTEXT m_pSignerCert = nullptr;

  bool m_bModified = false;

  CtrlState() = default;
  CtrlState(const CtrlState&) = delete;
  CtrlState& operator=(const CtrlState&) = delete;
  // Releases the recipient material, then the working handles.
  ~CtrlState();

  // ReleaseHandles: closes the store, releases both provider contexts, frees the signer
  // certificate and zeroes the four working fields. The recipient material is not touched.
  void ReleaseHandles();
  // ReleaseRecipient: frees the EncryptCN certificate and key blob and zeroes their fields.
  void ReleaseRecipient();
  void SetModifiedFlag(BOOL modified = TRUE) { m_bModified = modified != FALSE; }
  // WorkingHandlesEmpty: whether the four working handles are all zero, as between calls.
  bool WorkingHandlesEmpty() const {
    return m_hProv == 0 && m_hKeyProv == 0 && m_hStore == nullptr && m_pSignerCert == nullptr;
  }
};

// FormatError: "E:NNNN" followed by " %x %d" of `error` (lower-case hexadecimal without
// leading zeros, then the same 32 bits as a signed decimal), e.g. "E:0001 80090016 -2146893802".
std::string FormatError(const char* code, DWORD error);

// ---- Provider context and certificate selection -----------------------------------------------
// AcquireProviderContext: the enhanced RSA provider on the user's default container, else the
// container "tarnvikbankkeyset"; 1 on success, 0 with the last attempt's last error.
int AcquireProviderContext(HCRYPTPROV* phProv);

// SerialHex: the certificate's serial number, two lower-case digits a byte, most significant
// byte first.
std::string SerialHex(PCCERT_CONTEXT cert);

// getMySignerCert: the first certificate in `store` that passes the organisational-unit rule and
// whose SerialHex equals g_szCN, or null. The caller owns the result.
PCCERT_CONTEXT getMySignerCert(HCERTSTORE store);
PCCERT_CONTEXT FindIssuerCertInStore(HCERTSTORE store);
PCCERT_CONTEXT FindIssuerCert();
HCRYPTKEY ImportCertPublicKey(HCRYPTPROV prov, const char* base64Cert);
PCCERT_CONTEXT FindEncryptCertInStore(HCERTSTORE store);
HCRYPTKEY GetEncryptPublicKey(HCRYPTPROV prov, const CtrlState& state);
PCCERT_CONTEXT FindDecryptCertInStore(HCERTSTORE store);
HCRYPTPROV AcquireDecryptKey(HCRYPTPROV prov);

// ---- Properties and methods -------------------------------------------------------------------
void SetEncryptCN(CtrlState& state, const char* value);  // value null: the argument is absent
void SetDecryptCN(CtrlState& state, const char* value);
void SetIssuerCN(CtrlState& state, const char* value);
std::string GetEncryptCN(CtrlState& state);
std::string GetDecryptCN(CtrlState& state);
std::string GetIssuerCN(CtrlState& state);

std::string getProviderName(CtrlState& state);
std::string getCertList(CtrlState& state);

}  // namespace velmor
