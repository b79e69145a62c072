// Signed messages: PKCS #7 SignedData, made and checked with the signer certificate the
// message carries.
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>

#include "platform/crypt/certificate.h"
#include "platform/crypt/keys.h"

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

// SignerCertificate: the signer's certificate, asked from the caller's callback or found by
// issuer and serial among the certificates the message carries.
std::shared_ptr<const CertData> SignerCertificate(PKCS7* p7, PKCS7_SIGNER_INFO* si,
                                                  const CRYPT_VERIFY_MESSAGE_PARA& para) {
  PKCS7_ISSUER_AND_SERIAL* ias = si->issuer_and_serial;
  if (para.pfnGetSignerCertificate != nullptr) {
    // The callback sees the signer's issuer and serial as CryptoAPI keeps them.
    unsigned char* rawIssuer = nullptr;
    int issuerLen = i2d_X509_NAME(ias->issuer, &rawIssuer);
    OpenSslBytes issuer(rawIssuer);
    int serialLen = i2d_ASN1_INTEGER(ias->serial, nullptr);
    if (issuerLen <= 0 || serialLen <= 2) {
      FailOpenSsl(issuerLen <= 0 ? "i2d_X509_NAME" : "i2d_ASN1_INTEGER", CRYPT_E_ASN1_CORRUPT);
      return nullptr;
    }
    std::vector<std::uint8_t> serialDer(static_cast<std::size_t>(serialLen));
    unsigned char* sp = serialDer.data();
    i2d_ASN1_INTEGER(ias->serial, &sp);
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

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature,
                      DWORD cToBeSigned, const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE* pbSignedBlob, DWORD* pcbSignedBlob) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (Injected("CryptSignMessage")) return FALSE;
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
    UniquePtr<EVP_PKEY> key = SigningKey(*signer);
    if (!key) return FALSE;

    const int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOCERTS | PKCS7_PARTIAL |
                      (fDetachedSignature ? PKCS7_DETACHED : 0);
    UniquePtr<PKCS7> p7(PKCS7_sign_ex(nullptr, nullptr, nullptr, nullptr, flags, LibCtx(), nullptr));
    if (!p7) return FailOpenSsl("PKCS7_sign_ex", NTE_FAIL);
    X509* signerX509 = X509Of(*signer->data);
    if (signerX509 == nullptr) return FALSE;
    if (PKCS7_sign_add_signer(p7.get(), signerX509, key.get(), md, flags) == nullptr) {
      return FailOpenSsl("PKCS7_sign_add_signer", NTE_BAD_KEY);
    }
    for (CertContextImpl* c : carried) {
      X509* x = X509Of(*c->data);
      if (x == nullptr) return FALSE;
      if (PKCS7_add_certificate(p7.get(), x) != 1) {
        return FailOpenSsl("PKCS7_add_certificate", NTE_FAIL);
      }
    }
    static const std::uint8_t kNothing = 0;
    UniquePtr<BIO> data(BIO_new_mem_buf(content.empty() ? &kNothing : content.data(),
                                        static_cast<int>(content.size())));
    if (!data || PKCS7_final(p7.get(), data.get(), flags) != 1) {
      return FailOpenSsl("PKCS7_final", NTE_FAIL);
    }
    int n = i2d_PKCS7(p7.get(), nullptr);
    if (n <= 0) return FailOpenSsl("i2d_PKCS7", NTE_FAIL);
    std::vector<std::uint8_t> der(static_cast<std::size_t>(n));
    unsigned char* p = der.data();
    if (i2d_PKCS7(p7.get(), &p) != n) return FailOpenSsl("i2d_PKCS7", NTE_FAIL);
    return WriteOutput(der, pbSignedBlob, pcbSignedBlob) ? TRUE : FALSE;
  });
}

BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    if (Injected("CryptVerifyMessageSignature")) return FALSE;
    const DWORD invalid = static_cast<DWORD>(E_INVALIDARG);
    if (pVerifyPara == nullptr || pVerifyPara->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
        (pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0) {
      return Fail(invalid);
    }
    if (pbSignedBlob == nullptr || cbSignedBlob == 0) return Fail(CRYPT_E_ASN1_EOD);
    if (pbSignedBlob[0] != 0x30) return Fail(CRYPT_E_ASN1_BADTAG);
    if (cbSignedBlob > 0x7FFFFFFF) return Fail(NTE_BAD_LEN);
    PKCS7* raw = PKCS7_new_ex(LibCtx(), nullptr);
    if (raw == nullptr) return FailOpenSsl("PKCS7_new_ex", NTE_NO_MEMORY);
    const unsigned char* p = pbSignedBlob;
    // d2i fills the message made in our context; when it fails it frees it and nulls `raw`.
    const bool decoded = d2i_PKCS7(&raw, &p, static_cast<long>(cbSignedBlob)) != nullptr;
    UniquePtr<PKCS7> p7(raw);
    if (!decoded) return FailOpenSsl("d2i_PKCS7", CRYPT_E_ASN1_CORRUPT);
    if (p != pbSignedBlob + cbSignedBlob) return Fail(CRYPT_E_ASN1_CORRUPT);
    if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) {
      return Fail(CRYPT_E_UNEXPECTED_MSG_TYPE);
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    if (infos == nullptr || dwSignerIndex >= static_cast<DWORD>(sk_PKCS7_SIGNER_INFO_num(infos))) {
      return Fail(CRYPT_E_NO_SIGNER);
    }
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, static_cast<int>(dwSignerIndex));
    if (PKCS7_get_detached(p7.get()) || !PKCS7_type_is_data(p7->d.sign->contents)) {
      return Fail(CRYPT_E_UNEXPECTED_MSG_TYPE);
    }
    auto signer = SignerCertificate(p7.get(), si, *pVerifyPara);
    if (!signer) return FALSE;

    // Read the content through the digest BIOs, then check this signer's signature.
    UniquePtr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
    if (!chain) return FailOpenSsl("PKCS7_dataInit", NTE_BAD_SIGNATURE);
    std::vector<std::uint8_t> content;
    std::uint8_t buffer[4096];
    for (;;) {
      int n = BIO_read(chain.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      content.insert(content.end(), buffer, buffer + n);
    }
    X509* signerX509 = X509Of(*signer);
    if (signerX509 == nullptr) return FALSE;
    if (PKCS7_signatureVerify(chain.get(), p7.get(), si, signerX509) <= 0) {
      return FailOpenSsl("PKCS7_signatureVerify", NTE_BAD_SIGNATURE);
    }
    if (pcbDecoded != nullptr && !WriteOutput(content, pbDecoded, pcbDecoded)) return FALSE;
    if (ppSignerCert != nullptr) *ppSignerCert = NewContext(signer, nullptr, 0, std::nullopt);
    return TRUE;
  });
}
