// VerifySignature and VerifyPKCS7: a raw signature over a text checked with a certificate the
// page passes in, and a PKCS #7 signed message checked with the certificate it carries, that
// certificate then checked against the IssuerCN certificate.
#include <cstring>

#include "codec/codec.h"
#include "pattern/pattern.h"
#include "signing/signer.h"
#include "signing/signing.h"

namespace velmor {
namespace {

// A signature of up to 4097 digits decodes into at most 2048 bytes.
constexpr std::size_t kSignatureTextLimit = 4098;
constexpr std::size_t kSignatureBuffer = 2049;

// The message could not be converted to UTF-8 (or memory ran out for its copy): a code of its
// own beside the input checks, since nothing can be hashed.
constexpr int kMessageNotConverted = 52;
// VerifyPKCS7's code for memory that ran out for its result.
constexpr int kPkcs7NoMemory = 7;

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
  return RunOperation(state, kMessageNotConverted, [&] {
    if (message == nullptr || signature == nullptr || certificate == nullptr) {
      return ResultString::Failure(48);
    }
    if (strnlen(signature, kSignatureTextLimit) >= kSignatureTextLimit) {
      return ResultString::Failure(49);
    }
    if (!WholeInputMatches("[A-Fa-f0-9]{0,}", signature)) return ResultString::Failure(50);
    if (!WholeInputMatches("[A-Za-z0-9+/=]{0,}", certificate)) return ResultString::Failure(51);

    if (!AcquireProviderContext(&state.m_hProv)) {
      return ResultString::Failure(1, GetLastError());
    }
    const UniqueKey key{UniqueKey::pointer(ImportCertPublicKey(state.m_hProv, certificate))};
    if (!key) return ResultString::Failure(3);
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(state.m_hProv, CALG_MD5, 0, 0, &rawHash)) return ResultString::Failure(4);
    const UniqueHash hash{UniqueHash::pointer(rawHash)};

    // The text is hashed in its UTF-8 form, without the terminator.
    const MallocChars utf8(AnsiToUtf8(message));
    if (!utf8) return ResultString::Failure(kMessageNotConverted);
    if (!CryptHashData(rawHash, reinterpret_cast<const BYTE*>(utf8.get()),
                       static_cast<DWORD>(std::strlen(utf8.get())), 0)) {
      return ResultString::Failure(5);
    }

    // The digits read most significant byte first; the platform takes the least significant
    // first. The pattern check leaves no invalid digit for HexDecode to find.
    BYTE decoded[kSignatureBuffer] = {};
    BYTE reversed[kSignatureBuffer] = {};
    const int n = HexDecode(signature, decoded);
    if (n <= 0) return ResultString::Failure(6);
    for (int i = 0; i < n; ++i) reversed[i] = decoded[n - 1 - i];

    if (!CryptVerifySignatureA(rawHash, reversed, static_cast<DWORD>(n), key.get().value, nullptr,
                               0)) {
      return ResultString::Failure(7);
    }
    return ResultString::Done();
  });
}

std::string VerifyPKCS7(CtrlState& state, const char* message) {
  // The control's own provider context and handles play no part: only g_szIssuerCN is read.
  return RunOperation(state, kPkcs7NoMemory, [&] {
    BYTE* raw = nullptr;
    DWORD length = 0;
    if (Base64Decode(message, &raw, &length) != kBase64Ok) return ResultString::Failure(1);
    const MallocBytes bytes(raw);

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD contentSize = 0;
    if (!CryptVerifyMessageSignature(&para, 0, bytes.get(), length, nullptr, &contentSize,
                                     nullptr)) {
      return ResultString::Failure(2);
    }
    const MallocBytes content(static_cast<BYTE*>(std::malloc(std::size_t{contentSize} + 1)));
    if (!content) return ResultString::Failure(3);
    PCCERT_CONTEXT rawSigner = nullptr;
    if (!CryptVerifyMessageSignature(&para, 0, bytes.get(), length, content.get(), &contentSize,
                                     &rawSigner)) {
      CertFreeCertificateContext(rawSigner);
      return ResultString::Failure(4);
    }
    const UniqueCert signer(rawSigner);
    content.get()[contentSize] = 0;

    const UniqueCert issuer(FindIssuerCert());
    if (!issuer) return ResultString::Failure(13);
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    if (!CertVerifySubjectCertificateContext(signer.get(), issuer.get(), &flags)) {
      return ResultString::Failure(5);
    }
    if (flags != 0) return ResultString::Failure(6);

    // The count covers every byte of the content; the text shows it up to its first zero byte.
    const auto* text = reinterpret_cast<const char*>(content.get());
    return ResultString('A', ResultString::FieldSize(contentSize))
        .Field(contentSize, std::string_view(text, std::strlen(text)))
        .Take();
  });
}

}  // namespace velmor
