#include "operation/state.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "operation/handles.h"

namespace velmor {

char g_szSignData[kSignDataSize];
char g_szSignFile[kSignFileSize];
char g_szCN[kSerialBufferSize];
char g_szCNSubject[kCNSubjectSize];
char g_szEncryptCN[kSerialBufferSize];
char g_szDecryptCN[kSerialBufferSize];
char g_szIssuerCN[kSerialBufferSize];

void ClearModuleBuffers() {
  std::memset(g_szSignData, 0, sizeof g_szSignData);
  std::memset(g_szSignFile, 0, sizeof g_szSignFile);
  std::memset(g_szCN, 0, sizeof g_szCN);
  std::memset(g_szCNSubject, 0, sizeof g_szCNSubject);
  std::memset(g_szEncryptCN, 0, sizeof g_szEncryptCN);
  std::memset(g_szDecryptCN, 0, sizeof g_szDecryptCN);
  std::memset(g_szIssuerCN, 0, sizeof g_szIssuerCN);
}

const Inputs& ModuleInputs() {
  static constexpr Inputs kInputs;
  return kInputs;
}

CtrlState::~CtrlState() {
  ReleaseRecipient();
  ReleaseHandles();
}

void WorkingHandles::Release() noexcept {
  // Releasing tells nothing new (a store closed while its signer certificate is still held
  // says so): the reason the operation failed stays the thread's last error.
  const DWORD error = GetLastError();
  store.reset();
  prov.reset();
  keyProv.reset();
  signer.reset();
  SetLastError(error);
}

void CtrlState::ReleaseRecipient() noexcept {
  if (m_pEncryptCert != nullptr) CertFreeCertificateContext(m_pEncryptCert);
  m_pEncryptCert = nullptr;
  std::free(m_pEncryptKeyBlob);
  m_pEncryptKeyBlob = nullptr;
  m_cbEncryptKeyBlob = 0;
}

}  // namespace velmor
