// The state every operation of the control works on: the module-wide input buffers shared by all
// controls of a process (read by operations through `Inputs`), and the per-control fields
// (`CtrlState`) with the working handles and ReleaseHandles.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "operation/handles.h"
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

// Inputs: the module-wide buffers as an operation reads them. The setters write the buffers;
// an operation body reads them only through the Inputs its frame hands it, so that what a
// member depends on shows in its code. Texts never reach past their buffer.
class Inputs {
 public:
  // SignData: the text to sign, as stored (zero-terminated).
  const char* SignData() const { return g_szSignData; }
  std::size_t SignDataLength() const { return std::strlen(g_szSignData); }
  // SignFile: the path of the file to sign (zero-terminated).
  const char* SignFile() const { return g_szSignFile; }
  // CN / EncryptCN / DecryptCN / IssuerCN: the serial texts naming the signer, the recipient,
  // the decryption certificate and the issuer; empty names none.
  std::string_view CN() const { return Text(g_szCN); }
  std::string_view EncryptCN() const { return Text(g_szEncryptCN); }
  std::string_view DecryptCN() const { return Text(g_szDecryptCN); }
  std::string_view IssuerCN() const { return Text(g_szIssuerCN); }
  // CNSubject: the subject part of the last CN value.
  std::string_view CNSubject() const {
    return {g_szCNSubject, strnlen(g_szCNSubject, kCNSubjectSize)};
  }

 private:
  static std::string_view Text(const char (&buffer)[kSerialBufferSize]) {
    return {buffer, strnlen(buffer, kSerialBufferSize)};
  }
};

// ModuleInputs: the inputs of this process, shared by every control in it.
const Inputs& ModuleInputs();

// WorkingHandles: what an operation acquires as it goes, each in its owner: the control's
// provider context, the signer key's own container, the "MY" store and the signer certificate.
struct WorkingHandles {
  UniqueProv prov;
  UniqueProv keyProv;
  UniqueStore store;
  UniqueCert signer;

  // Release: closes the store, releases both provider contexts and frees the signer
  // certificate, in that order, leaving the thread's last error as it found it.
  void Release() noexcept;
  bool Empty() const { return !prov && !keyProv && !store && !signer; }
};

// CtrlState: the per-control fields every operation works with.
//
// The working handles are filled by an operation as it goes and emptied by ReleaseHandles
// before it returns (RunOperation sees to that), so between calls they are empty. The recipient
// material persists between calls: only the EncryptCN setter and the control's destruction
// release it.
struct CtrlState {
  // Recipient material (EncryptCN).
  PCCERT_CONTEXT m_pEncryptCert = nullptr;
  BYTE* m_pEncryptKeyBlob = nullptr;  // from malloc (Base64Decode)
  DWORD m_cbEncryptKeyBlob = 0;
  WorkingHandles m_working;

  bool m_bModified = false;

  CtrlState() = default;
  CtrlState(const CtrlState&) = delete;
  CtrlState& operator=(const CtrlState&) = delete;
  // Releases the recipient material, then the working handles.
  ~CtrlState();

  // ReleaseHandles: releases the working handles (WorkingHandles::Release). The recipient
  // material is not touched.
  void ReleaseHandles() noexcept { m_working.Release(); }
  // ReleaseRecipient: frees the EncryptCN certificate and key blob and zeroes their fields.
  void ReleaseRecipient() noexcept;
  void SetModifiedFlag(BOOL modified = TRUE) { m_bModified = modified != FALSE; }
  // WorkingHandlesEmpty: whether the four working handles are all empty, as between calls.
  bool WorkingHandlesEmpty() const { return m_working.Empty(); }
};

}  // namespace velmor
