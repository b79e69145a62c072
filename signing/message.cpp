// The Signature property, PKCS7Data and SignCert: the raw signature of the SignData text, the
// same text as a PKCS #7 signed message, and the signer certificate itself.
#include <cstring>

#include "codec/codec.h"
#include "signing/signer.h"
#include "signing/signing.h"

namespace velmor {
namespace {
// Base64Result: the bytes as the Base64 result text, line feeds where Base64Encode puts them;
// the no-memory code when the text cannot be allocated.
std::string Base64Result(const BYTE* data, DWORD size) {
  MallocChars text(Base64Encode(data, static_cast<int>(size)));
  if (!text) return ResultString::Failure(signing::kSigningNoMemory);
  return std::string(text.get());
}
}  // namespace

std::string GetSignature(CtrlState& state) {
  return RunOperation(state, signing::kSigningNoMemory, [&] {
    if (std::string error = signing::OpenSigner(state, signing::TraceSteps::kNone);
        !error.empty()) {
      return error;
    }
    // An empty text is signed too: the signature of the MD5 of zero bytes.
    signing::Signature signature;
    if (std::string error =
            signing::SignWithSignerKey(state, signing::HashSignDataText, false, signature);
        !error.empty()) {
      return error;
    }
    const std::string hex = signing::SignatureHex(signature);
    return ResultString('L', ResultString::FieldSize(hex.size())).Field(hex).Take();
  });
}

void SetSignature(CtrlState& state, const char* /*value*/) { state.SetModifiedFlag(); }

std::string PKCS7Data(CtrlState& state) {
  return RunOperation(state, signing::kSigningNoMemory, [&] {
    if (std::string error = signing::OpenSigner(state, signing::TraceSteps::kStoreAndSigner);
        !error.empty()) {
      return error;
    }

    // MD5, no authenticated attributes (so no signing time), and the signer certificate as the
    // only certificate carried; the content travels inside the message.
    char md5[] = "1.2.840.113549.2.5";
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = state.m_pSignerCert;
    para.HashAlgorithm.pszObjId = md5;
    para.cMsgCert = 1;
    para.rgpMsgCert = &state.m_pSignerCert;

    const BYTE* items[1] = {reinterpret_cast<const BYTE*>(g_szSignData)};
    DWORD itemSizes[1] = {static_cast<DWORD>(std::strlen(g_szSignData))};
    DWORD size = 0;
    if (!CryptSignMessage(&para, FALSE, 1, items, itemSizes, nullptr, &size) || size == 0) {
      return ResultString::Failure(4);
    }
    MallocBytes message(static_cast<BYTE*>(std::calloc(size, 1)));
    if (!message) return ResultString::Failure(signing::kSigningNoMemory);
    if (!CryptSignMessage(&para, FALSE, 1, items, itemSizes, message.get(), &size)) {
      return ResultString::Failure(6);
    }
    Trace("signmessage");

    return Base64Result(message.get(), size);
  });
}

std::string SignCert(CtrlState& state) {
  return RunOperation(state, signing::kSigningNoMemory, [&] {
    if (std::string error = signing::OpenSigner(state, signing::TraceSteps::kStore);
        !error.empty()) {
      return error;
    }
    // The private key is never touched: the certificate is public.
    return Base64Result(state.m_pSignerCert->pbCertEncoded, state.m_pSignerCert->cbCertEncoded);
  });
}

}  // namespace velmor
