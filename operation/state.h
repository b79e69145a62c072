// The state every operation of the control works on: the module-wide input buffers shared by all
// controls of a process, the per-control fields (`CtrlState`) with ReleaseHandles, and the trace
// sink.
#pragma once

#include <cstddef>

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
// before it returns (RunOperation sees to that), so between calls they are zero. The recipient
// material persists between calls: only the EncryptCN setter and the control's destruction
// release it.
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
  void ReleaseHandles() noexcept;
  // ReleaseRecipient: frees the EncryptCN certificate and key blob and zeroes their fields.
  void ReleaseRecipient() noexcept;
  void SetModifiedFlag(BOOL modified = TRUE) { m_bModified = modified != FALSE; }
  // WorkingHandlesEmpty: whether the four working handles are all zero, as between calls.
  bool WorkingHandlesEmpty() const {
    return m_hProv == 0 && m_hKeyProv == 0 && m_hStore == nullptr && m_pSignerCert == nullptr;
  }
};

}  // namespace velmor
