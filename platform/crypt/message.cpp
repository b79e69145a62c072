// Signed messages: PKCS #7 SignedData, made and checked with the signer certificate the
// message carries.
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"
#include "platform/crypt/keys.h"
#include "platform/crypt/pkcs11.h"

namespace velmor::crypt::detail {

namespace {

constexpr const char* kOidSha1 = "1.3.14.3.2.26";

const EVP_MD* DigestFor(const char* oid) {
  if (oid == nullptr) return nullptr;
  if (std::strcmp(oid, szOID_RSA_MD5) == 0) return Md5();
  if (std::strcmp(oid, kOidSha1) == 0) return Sha1();
  return nullptr;
}

// SigningKey: the private key the certificate's key-provider property names.
UniquePtr<EVP_PKEY> SigningKey(CertContextImpl& cert) {
  if (!cert.keyProv) {
    SetLastError(CRYPT_E_NO_KEY_PROPERTY);
    return nullptr;
  }
  HCRYPTPROV handle = 0;
  if (!AcquireForKeyProv(*cert.keyProv, &handle)) return nullptr;
  auto provider = FindProvider(handle);
  UniquePtr<EVP_PKEY> key;
  if (provider) key = PrivateKeyOf(*provider, cert.keyProv->keySpec, nullptr);
  DWORD error = GetLastError();
  CryptReleaseContext(handle, 0);
  SetLastError(error);
  return key;
}

// OnToken: whether the certificate's key-provider property names a token's key.
bool OnToken(const CertContextImpl& cert) {
  if (!cert.keyProv || !cert.keyProv->hasProvider) return false;
  auto name = Utf16ToUtf8(cert.keyProv->provider);
  return name && IsTokenProvider(*name);
}

// SignOnToken: the token's signature over the content's digest in its DigestInfo, which is what
// a message without authenticated attributes signs.
bool SignOnToken(const CertContextImpl& cert, const EVP_MD* md,
                 const std::vector<std::uint8_t>& content, std::vector<std::uint8_t>& signature) {
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (VELMOR_CALL(EVP_Digest, content.data(), content.size(), digest, &digestLength, md, nullptr) !=
      1) {
    return FailOpenSsl(NTE_BAD_HASH);
  }
  HCRYPTPROV handle = 0;
  if (!AcquireForKeyProv(*cert.keyProv, &handle)) return false;
  auto provider = FindProvider(handle);
  const bool signed_ = provider && provider->token &&
                       TokenSignDigest(*provider->token, md,
                                       std::vector<std::uint8_t>(digest, digest + digestLength),
                                       signature);
  const DWORD error = GetLastError();
  CryptReleaseContext(handle, 0);
  SetLastError(error);
  return signed_;
}

// SignerCertificate: the signer's certificate, asked from the caller's callback or found by
// issuer and serial among the certificates the message carries.
std::shared_ptr<const CertData> SignerCertificate(PKCS7* p7, PKCS7_SIGNER_INFO* si,
                                                  const CRYPT_VERIFY_MESSAGE_PARA& para) {
  PKCS7_ISSUER_AND_SERIAL* ias = si->issuer_and_serial;
  if (para.pfnGetSignerCertificate != nullptr) {
    // The callback sees the signer's issuer and serial as CryptoAPI keeps them.
    unsigned char* rawIssuer = nullptr;
    int issuerLen = VELMOR_CALL(i2d_X509_NAME, ias->issuer, &rawIssuer);
    OpenSslBytes issuer(rawIssuer);
    if (issuerLen <= 0) {
      FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
      return nullptr;
    }
    int serialLen = VELMOR_CALL(i2d_ASN1_INTEGER, ias->serial, nullptr);
    if (serialLen <= 2) {
      FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
      return nullptr;
    }
    std::vector<std::uint8_t> serialDer(static_cast<std::size_t>(serialLen));
    unsigned char* sp = serialDer.data();
    VELMOR_CALL(i2d_ASN1_INTEGER, ias->serial, &sp);
    std::size_t header = (serialDer[1] & 0x80) ? 2 + (serialDer[1] & 0x7Fu) : 2;
    std::vector<std::uint8_t> serial(serialDer.begin() + static_cast<std::ptrdiff_t>(header),
                                     serialDer.end());
    std::reverse(serial.begin(), serial.end());
    CERT_INFO id{};
    id.Issuer.cbData = static_cast<DWORD>(issuerLen);
    id.Issuer.pbData = issuer.get();
    id.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    id.SerialNumber.pbData = serial.data();
    PCCERT_CONTEXT chosen = para.pfnGetSignerCertificate(
        para.pvGetArg, para.dwMsgAndCertEncodingType, &id, nullptr);
    if (chosen == nullptr) {
      SetLastError(CRYPT_E_NOT_FOUND);
      return nullptr;
    }
    CertContextImpl* impl = FindContext(chosen);
    if (impl == nullptr) return nullptr;
    auto data = impl->data;
    ReleaseContextReference(impl);
    return data;
  }
  STACK_OF(X509)* certs = p7->d.sign->cert;
  X509* found = certs != nullptr ? X509_find_by_issuer_and_serial(certs, ias->issuer, ias->serial)
                                 : nullptr;
  if (found == nullptr) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return ParseX509(found);
}

}  // namespace

}  // namespace velmor::crypt::detail

using namespace velmor::crypt::detail;

namespace velmor::crypt::detail {
namespace {

// LayOutUnsigned: fills a message prepared for signing with the content (unless detached) and a
// blank signature of `signatureLength` bytes, as the signed message will hold them.
bool LayOutUnsigned(PKCS7* p7, const std::vector<std::uint8_t>& content, int signatureLength,
                    bool detached) {
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
  if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1 || signatureLength <= 0) {
    return Fail(NTE_FAIL);
  }
  PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  const std::vector<std::uint8_t> blank(static_cast<std::size_t>(signatureLength), 0);
  if (VELMOR_CALL(ASN1_STRING_set, info->enc_digest, blank.data(), signatureLength) != 1) {
    return FailOpenSsl(NTE_NO_MEMORY);
  }
  if (detached) return true;
  PKCS7* inner = p7->d.sign->contents;
  if (inner == nullptr || PKCS7_type_is_data(inner) == 0) return Fail(NTE_FAIL);
  if (inner->d.data == nullptr) {
    inner->d.data = VELMOR_CALL(ASN1_OCTET_STRING_new);
    if (inner->d.data == nullptr) return FailOpenSsl(NTE_NO_MEMORY);
  }
  if (VELMOR_CALL(ASN1_OCTET_STRING_set, inner->d.data, content.data(),
                  static_cast<int>(content.size())) != 1) {
    return FailOpenSsl(NTE_NO_MEMORY);
  }
  return true;
}

// VerifiedMessage: what a verification gives: the signer's certificate and the content.
struct VerifiedMessage {
  std::shared_ptr<const CertData> signer;
  SecretBytes content;
};

// VerifyMessage: decodes the DER message at `blob`, finds the signer of `index` (through the
// caller's callback, else among the message's certificates) and checks its signature over the
// content; false with the last error of what was wrong.
bool VerifyMessage(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD index, const BYTE* blob,
                   DWORD length, VerifiedMessage& out) {
  PKCS7* raw = VELMOR_CALL(PKCS7_new_ex, LibCtx(), nullptr);
  if (raw == nullptr) return FailOpenSsl(NTE_NO_MEMORY);
  const unsigned char* p = blob;
  // d2i fills the message made in our context; when it fails it frees it and nulls `raw`.
  const bool decoded = VELMOR_CALL(d2i_PKCS7, &raw, &p, static_cast<long>(length)) != nullptr;
  UniquePtr<PKCS7> p7(raw);
  if (!decoded) return FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
  if (p != blob + length) return Fail(CRYPT_E_ASN1_CORRUPT);
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) {
    return Fail(CRYPT_E_UNEXPECTED_MSG_TYPE);
  }
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (infos == nullptr || index >= static_cast<DWORD>(sk_PKCS7_SIGNER_INFO_num(infos))) {
    return Fail(CRYPT_E_NO_SIGNER);
  }
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, static_cast<int>(index));
  if (PKCS7_get_detached(p7.get()) || !PKCS7_type_is_data(p7->d.sign->contents)) {
    return Fail(CRYPT_E_UNEXPECTED_MSG_TYPE);
  }
  auto signer = SignerCertificate(p7.get(), si, para);
  if (!signer) return false;

  // Read the content through the digest BIOs, then check this signer's signature.
  UniquePtr<BIO> chain(VELMOR_CALL(PKCS7_dataInit, p7.get(), nullptr));
  if (!chain) return FailOpenSsl(NTE_BAD_SIGNATURE);
  // The content is its own length: the data octet string, when it is there, says it.
  const ASN1_OCTET_STRING* data = p7->d.sign->contents->d.data;
  SecretBytes content;
  if (data != nullptr && data->length > 0) content.resize(static_cast<std::size_t>(data->length));
  std::size_t have = 0;
  for (;;) {
    std::uint8_t buffer[4096];
    int n = BIO_read(chain.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    if (have + static_cast<std::size_t>(n) > content.size()) content.resize(have + static_cast<std::size_t>(n));
    std::memcpy(content.data() + have, buffer, static_cast<std::size_t>(n));
    have += static_cast<std::size_t>(n);
  }
  content.resize(have);
  X509* signerX509 = X509Of(*signer);
  if (signerX509 == nullptr) return false;
  if (VELMOR_CALL(PKCS7_signatureVerify, chain.get(), p7.get(), si, signerX509) <= 0) {
    return FailOpenSsl(NTE_BAD_SIGNATURE);
  }
  out.signer = std::move(signer);
  out.content = std::move(content);
  return true;
}

// SignMessage: the DER SignedData of `content` signed by `signer`'s key with `md`, carrying the
// `carried` certificates, into the caller's buffer (the size protocol of WriteOutput; a size
// query does not sign).
bool SignMessage(CertContextImpl& signer, const std::vector<CertContextImpl*>& carried,
                 const EVP_MD* md, const std::vector<std::uint8_t>& content, bool detached,
                 BYTE* out, DWORD* outLength) {
  // A token's key signs on the token: the message is laid out around the public key, and a
  // size query never reaches the token (nor asks for its PIN).
  const bool onToken = OnToken(signer);
  X509* signerCertificate = onToken ? X509Of(*signer.data) : nullptr;
  if (onToken && signerCertificate == nullptr) return false;
  UniquePtr<EVP_PKEY> key =
      onToken ? UpRef(X509_get0_pubkey(signerCertificate)) : SigningKey(signer);
  if (!key) return onToken ? Fail(NTE_BAD_KEY) : false;

  const int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOCERTS | PKCS7_PARTIAL |
                    (detached ? PKCS7_DETACHED : 0);
  UniquePtr<PKCS7> p7(
      VELMOR_CALL(PKCS7_sign_ex, nullptr, nullptr, nullptr, nullptr, flags, LibCtx(), nullptr));
  if (!p7) return FailOpenSsl(NTE_FAIL);
  X509* signerX509 = X509Of(*signer.data);
  if (signerX509 == nullptr) return false;
  if (VELMOR_CALL(PKCS7_sign_add_signer, p7.get(), signerX509, key.get(), md, flags) == nullptr) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  for (CertContextImpl* c : carried) {
    X509* x = X509Of(*c->data);
    if (x == nullptr) return false;
    if (VELMOR_CALL(PKCS7_add_certificate, p7.get(), x) != 1) {
      return FailOpenSsl(NTE_FAIL);
    }
  }
  if (onToken && out != nullptr) {
    std::vector<std::uint8_t> signature;
    if (!SignOnToken(signer, md, content, signature) ||
        !LayOutUnsigned(p7.get(), content, static_cast<int>(signature.size()), detached)) {
      return false;
    }
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    if (VELMOR_CALL(ASN1_STRING_set, info->enc_digest, signature.data(),
                    static_cast<int>(signature.size())) != 1) {
      return FailOpenSsl(NTE_NO_MEMORY);
    }
  } else if (out == nullptr) {
    // A size query does not sign: an RSA signature is exactly as long as the modulus, so the
    // message laid out with a blank one of that length has the size of the signed one.
    if (!LayOutUnsigned(p7.get(), content, EVP_PKEY_get_size(key.get()), detached)) {
      return false;
    }
  } else {
    static const std::uint8_t kNothing = 0;
    UniquePtr<BIO> data(VELMOR_CALL(BIO_new_mem_buf, content.empty() ? &kNothing : content.data(),
                                    static_cast<int>(content.size())));
    if (!data || VELMOR_CALL(PKCS7_final, p7.get(), data.get(), flags) != 1) {
      return FailOpenSsl(NTE_FAIL);
    }
  }
  int n = VELMOR_CALL(i2d_PKCS7, p7.get(), nullptr);
  if (n <= 0) return FailOpenSsl(NTE_FAIL);
  std::vector<std::uint8_t> der(static_cast<std::size_t>(n));
  unsigned char* p = der.data();
  if (VELMOR_CALL(i2d_PKCS7, p7.get(), &p) != n) return FailOpenSsl(NTE_FAIL);
  return WriteOutput(der, out, outLength);
}

// AnswerVerified: the outputs of a verification.
BOOL AnswerVerified(const VerifiedMessage& verified, BYTE* pbDecoded, DWORD* pcbDecoded,
                    PCCERT_CONTEXT* ppSignerCert) {
  if (pcbDecoded != nullptr &&
      !WriteOutput(std::span<const std::uint8_t>(verified.content.data(), verified.content.size()),
                   pbDecoded, pcbDecoded)) {
    return FALSE;
  }
  if (ppSignerCert != nullptr) {
    *ppSignerCert = NewContext(verified.signer, nullptr, 0, std::nullopt);
  }
  return TRUE;
}

}  // namespace
}  // namespace velmor::crypt::detail

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature,
                      DWORD cToBeSigned, const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE* pbSignedBlob, DWORD* pcbSignedBlob) {
  return Call<BOOL>(FALSE, Api{"CryptSignMessage"}, [&]() -> BOOL {
    const DWORD invalid = static_cast<DWORD>(E_INVALIDARG);
    if (pSignPara == nullptr || pcbSignedBlob == nullptr ||
        pSignPara->cbSize < sizeof(CRYPT_SIGN_MESSAGE_PARA)) {
      return Fail(invalid);
    }
    const CRYPT_SIGN_MESSAGE_PARA& para = *pSignPara;
    if ((para.dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0) return Fail(invalid);
    // What the signing operations pass, and nothing more: no attributes, no CRLs, plain data.
    if (para.cAuthAttr != 0 || para.cUnauthAttr != 0 || para.cMsgCrl != 0 ||
        para.dwInnerContentType != 0 || para.pvHashAuxInfo != nullptr) {
      return Fail(invalid);
    }
    if (cToBeSigned == 0 || (!fDetachedSignature && cToBeSigned != 1)) return Fail(invalid);
    if (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr) return Fail(invalid);
    const EVP_MD* md = DigestFor(para.HashAlgorithm.pszObjId);
    if (md == nullptr) return Fail(CRYPT_E_UNKNOWN_ALGO);
    CertContextImpl* signer = FindContext(para.pSigningCert);
    if (signer == nullptr) return FALSE;
    std::vector<CertContextImpl*> carried;
    for (DWORD i = 0; i < para.cMsgCert; ++i) {
      CertContextImpl* c = para.rgpMsgCert != nullptr ? FindContext(para.rgpMsgCert[i]) : nullptr;
      if (c == nullptr) return Fail(invalid);
      carried.push_back(c);
    }
    std::vector<std::uint8_t> content;
    for (DWORD i = 0; i < cToBeSigned; ++i) {
      if (rgcbToBeSigned[i] == 0) continue;
      if (rgpbToBeSigned[i] == nullptr) return Fail(invalid);
      content.insert(content.end(), rgpbToBeSigned[i], rgpbToBeSigned[i] + rgcbToBeSigned[i]);
    }
    if (content.size() > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
    return SignMessage(*signer, carried, md, content, fDetachedSignature != FALSE, pbSignedBlob,
                       pcbSignedBlob)
               ? TRUE
               : FALSE;
  });
}

BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) {
  if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
  return Call<BOOL>(FALSE, Api{"CryptVerifyMessageSignature"}, [&]() -> BOOL {
    const DWORD invalid = static_cast<DWORD>(E_INVALIDARG);
    if (pVerifyPara == nullptr || pVerifyPara->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
        (pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0) {
      return Fail(invalid);
    }
    if (pbSignedBlob == nullptr || cbSignedBlob == 0) return Fail(CRYPT_E_ASN1_EOD);
    if (pbSignedBlob[0] != 0x30) return Fail(CRYPT_E_ASN1_BADTAG);
    if (cbSignedBlob > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
    VerifiedMessage verified;
    if (!VerifyMessage(*pVerifyPara, dwSignerIndex, pbSignedBlob, cbSignedBlob, verified)) {
      return FALSE;
    }
    return AnswerVerified(verified, pbDecoded, pcbDecoded, ppSignerCert);
  });
}
