// The Signature property, PKCS7Data and SignCert: the raw signature of the SignData text, the
// same text as a PKCS #7 signed message, and the signer certificate itself.
#include <cstring>

#include "codec/codec.h"
#include "signing/signer.h"
#include "signing/signing.h"

namespace velmor {
namespace {

// The Signature getter's codes.
enum class SignatureCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoSigner = 3,
  kNoSignatureSize = 4,
  kNoMemory = 5,  // for the signature or the result
  kSignFailed = 6,
  kNoKeyContainer = 90,  // with the last error
  kNoHash = 92,          // with the last error
  kHashFailed = 93,
  kNoKeyRecord = 99,
  kKeyRecordNoMemory = 100,
};
constexpr SignerCodes kSignatureSigner{SignatureCode::kNoContext, SignatureCode::kNoStore,
                                       SignatureCode::kNoSigner};
constexpr signing::SignCodes kSignatureSign{
    {SignatureCode::kNoKeyRecord, SignatureCode::kKeyRecordNoMemory,
     SignatureCode::kNoKeyContainer},
    SignatureCode::kNoHash,
    SignatureCode::kNoSignatureSize,
    SignatureCode::kNoMemory,
    SignatureCode::kSignFailed};

// PKCS7Data's codes.
enum class Pkcs7DataCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoSigner = 3,
  kNoMessageSize = 4,
  kNoMemory = 5,  // for the message or the result
  kSignFailed = 6,
};
constexpr SignerCodes kPkcs7DataSigner{Pkcs7DataCode::kNoContext, Pkcs7DataCode::kNoStore,
                                       Pkcs7DataCode::kNoSigner};

// SignCert's codes.
enum class SignCertCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoSigner = 3,
  kNoMemory = 5,
};
constexpr SignerCodes kSignCertSigner{SignCertCode::kNoContext, SignCertCode::kNoStore,
                                      SignCertCode::kNoSigner};

// Base64Result: the bytes as the Base64 result text, line feeds where Base64Encode puts them;
// `noMemory` when the text cannot be allocated.
std::string Base64Result(const BYTE* data, DWORD size, ResultCode noMemory) {
  MallocChars text(Base64Encode(data, static_cast<int>(size)));
  if (!text) return ResultString::Failure(noMemory);
  return std::string(text.get());
}

}  // namespace

std::string GetSignature(CtrlState& state) {
  return RunOperation(state, SignatureCode::kNoMemory, [&](Operation& op) {
    if (Outcome step = op.OpenSigner(kSignatureSigner); step.Failed()) {
      return std::move(step).Answer();
    }
    // An empty text is signed too: the signature of the MD5 of zero bytes.
    signing::Signature signature;
    if (Outcome step = signing::SignWithSignerKey(
            op, kSignatureSign, signing::HashText(op.in().SignData(), SignatureCode::kHashFailed),
            nullptr, signature);
        step.Failed()) {
      return std::move(step).Answer();
    }
    const std::string hex = signing::SignatureHex(signature);
    return ResultString('L', ResultString::FieldSize(hex.size())).Field(hex).Take();
  });
}

void SetSignature(CtrlState& state, const char* /*value*/) { state.SetModifiedFlag(); }

std::string PKCS7Data(CtrlState& state) {
  return RunOperation(state, Pkcs7DataCode::kNoMemory, [&](Operation& op) {
    if (Outcome step = op.OpenSigner(kPkcs7DataSigner); step.Failed()) {
      return std::move(step).Answer();
    }

    // MD5, no authenticated attributes (so no signing time), and the signer certificate as the
    // only certificate carried; the content travels inside the message.
    char md5[] = "1.2.840.113549.2.5";
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    PCCERT_CONTEXT signer = op.signer();
    para.pSigningCert = signer;
    para.HashAlgorithm.pszObjId = md5;
    para.cMsgCert = 1;
    para.rgpMsgCert = &signer;

    const BYTE* items[1] = {reinterpret_cast<const BYTE*>(op.in().SignData())};
    DWORD itemSizes[1] = {static_cast<DWORD>(op.in().SignDataLength())};
    DWORD size = 0;
    if (!CryptSignMessage(&para, FALSE, 1, items, itemSizes, nullptr, &size) || size == 0) {
      return ResultString::Failure(Pkcs7DataCode::kNoMessageSize);
    }
    MallocBytes message(static_cast<BYTE*>(std::calloc(size, 1)));
    if (!message) return ResultString::Failure(Pkcs7DataCode::kNoMemory);
    if (!CryptSignMessage(&para, FALSE, 1, items, itemSizes, message.get(), &size)) {
      return ResultString::Failure(Pkcs7DataCode::kSignFailed);
    }

    return Base64Result(message.get(), size, Pkcs7DataCode::kNoMemory);
  });
}

std::string SignCert(CtrlState& state) {
  return RunOperation(state, SignCertCode::kNoMemory, [&](Operation& op) {
    if (Outcome step = op.OpenSigner(kSignCertSigner); step.Failed()) {
      return std::move(step).Answer();
    }
    // The private key is never touched: the certificate is public.
    return Base64Result(op.signer()->pbCertEncoded, op.signer()->cbCertEncoded,
                        SignCertCode::kNoMemory);
  });
}

}  // namespace velmor
