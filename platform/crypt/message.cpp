// Signed messages: PKCS #7 SignedData.
#include "platform/crypt/keys.h"

using namespace velmor::crypt::detail;

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA, BOOL, DWORD, const BYTE*[], DWORD[], BYTE*, DWORD*) {
  return Fail(static_cast<DWORD>(E_NOTIMPL));
}
BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA, DWORD, const BYTE*, DWORD, BYTE*,
                                 DWORD*, PCCERT_CONTEXT*) {
  return Fail(static_cast<DWORD>(E_NOTIMPL));
}
