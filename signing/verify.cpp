// VerifySignature and VerifyPKCS7: a raw signature over a text checked with a certificate the
// page passes in, and a PKCS #7 signed message checked with the certificate it carries, that
// certificate then checked against the IssuerCN certificate.
#include <cstring>

#include "certs/context.h"
#include "certs/find.h"
#include "codec/codec.h"
#include "pattern/pattern.h"
#include "signing/signer.h"
#include "signing/signing.h"

namespace velmor {
namespace {

// A signature of up to 4097 digits decodes into at most 2048 bytes.
constexpr std::size_t kSignatureTextLimit = 4098;
constexpr std::size_t kSignatureBuffer = 2049;

// VerifySignature's codes.
enum class VerifySignatureCode {
  kNoContext = 1,  // with the last error
  kNoCertificateKey = 3,
  kNoHash = 4,
  kHashFailed = 5,
  kNoSignature = 6,
  kMismatch = 7,
  kArgumentMissing = 48,
  kSignatureTooLong = 49,
  kSignatureNotHex = 50,
  kCertificateNotBase64 = 51,
  // The message could not be converted to UTF-8 (or memory ran out for its copy): a code of
  // its own beside the input checks, since nothing can be hashed.
  kMessageNotConverted = 52,
};

// VerifyPKCS7's codes.
enum class VerifyPkcs7Code {
  kNotBase64 = 1,
  kNotVerified = 2,
  kNoMemoryForContent = 3,
  kNotIssued = 5,  // the signer's certificate is not the issuer's
  kNotValid = 6,   // its signature or validity period failed the check
  kNoMemory = 7,   // for the result
  kNoIssuer = 13,
};

// WholeInputMatches: whether the whole text matches the pattern, compiled for this one check
// (an abandoned match counts as no match).
bool WholeInputMatches(const char* pattern, const char* text) {
  pattern::RegexProgram program;
  program.compile(pattern, 0);
  return program.matchWhole(text).isMatched();
}

}  // namespace

std::string VerifySignature(CtrlState& state, const char* message, const char* signature,
                            const char* certificate) {
  using Code = VerifySignatureCode;
  return RunOperation(state, Code::kMessageNotConverted, [&](Operation& op) {
    if (message == nullptr || signature == nullptr || certificate == nullptr) {
      return ResultString::Failure(Code::kArgumentMissing);
    }
    if (strnlen(signature, kSignatureTextLimit) >= kSignatureTextLimit) {
      return ResultString::Failure(Code::kSignatureTooLong);
    }
    if (!WholeInputMatches("[A-Fa-f0-9]{0,}", signature)) {
      return ResultString::Failure(Code::kSignatureNotHex);
    }
    if (!WholeInputMatches("[A-Za-z0-9+/=]{0,}", certificate)) {
      return ResultString::Failure(Code::kCertificateNotBase64);
    }

    if (Outcome step = op.AcquireContext(Code::kNoContext); step.Failed()) {
      return std::move(step).Answer();
    }
    const UniqueKey key{UniqueKey::pointer(ImportCertPublicKey(op.prov(), certificate))};
    if (!key) return ResultString::Failure(Code::kNoCertificateKey);
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(op.prov(), CALG_MD5, 0, 0, &rawHash)) {
      return ResultString::Failure(Code::kNoHash);
    }
    const UniqueHash hash{UniqueHash::pointer(rawHash)};

    // The text is hashed in its UTF-8 form, without the terminator.
    const MallocChars utf8(AnsiToUtf8(message));
    if (!utf8) return ResultString::Failure(Code::kMessageNotConverted);
    if (!CryptHashData(rawHash, reinterpret_cast<const BYTE*>(utf8.get()),
                       static_cast<DWORD>(std::strlen(utf8.get())), 0)) {
      return ResultString::Failure(Code::kHashFailed);
    }

    // The digits read most significant byte first; the platform takes the least significant
    // first. The pattern check leaves no invalid digit for HexDecode to find.
    BYTE decoded[kSignatureBuffer] = {};
    BYTE reversed[kSignatureBuffer] = {};
    const int n = HexDecode(signature, decoded);
    if (n <= 0) return ResultString::Failure(Code::kNoSignature);
    for (int i = 0; i < n; ++i) reversed[i] = decoded[n - 1 - i];

    if (!CryptVerifySignatureA(rawHash, reversed, static_cast<DWORD>(n), key.get().value, nullptr,
                               0)) {
      return ResultString::Failure(Code::kMismatch);
    }
    return ResultString::Done();
  });
}

std::string VerifyPKCS7(CtrlState& state, const char* message) {
  using Code = VerifyPkcs7Code;
  // The control's own provider context and handles play no part: only the IssuerCN input is
  // read.
  return RunOperation(state, Code::kNoMemory, [&](Operation& op) {
    BYTE* raw = nullptr;
    DWORD length = 0;
    if (Base64Decode(message, &raw, &length) != kBase64Ok) {
      return ResultString::Failure(Code::kNotBase64);
    }
    const MallocBytes bytes(raw);

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    // One call verifies and reads the content: the content lies inside the message, so a buffer
    // as long as the message always holds it.
    const MallocBytes content(static_cast<BYTE*>(std::malloc(std::size_t{length} + 1)));
    if (!content) return ResultString::Failure(Code::kNoMemoryForContent);
    DWORD contentSize = length;
    PCCERT_CONTEXT rawSigner = nullptr;
    if (!CryptVerifyMessageSignature(&para, 0, bytes.get(), length, content.get(), &contentSize,
                                     &rawSigner)) {
      CertFreeCertificateContext(rawSigner);
      return ResultString::Failure(Code::kNotVerified);
    }
    const UniqueCert signer(rawSigner);
    content.get()[contentSize] = 0;

    const UniqueCert issuer(FindIssuerCert(op.in().IssuerCN()));
    if (!issuer) return ResultString::Failure(Code::kNoIssuer);
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    if (!CertVerifySubjectCertificateContext(signer.get(), issuer.get(), &flags)) {
      return ResultString::Failure(Code::kNotIssued);
    }
    if (flags != 0) return ResultString::Failure(Code::kNotValid);

    // The count covers every byte of the content; the text shows it up to its first zero byte.
    const auto* text = reinterpret_cast<const char*>(content.get());
    return ResultString('A', ResultString::FieldSize(contentSize))
        .Field(contentSize, std::string_view(text, std::strlen(text)))
        .Take();
  });
}

}  // namespace velmor
