// Finding certificates by their serial text, the signer's organisational-unit rule, and the
// public and private keys that encryption, decryption and verification need.
#include <cstring>
#include <vector>

#include "certs/context.h"
#include "certs/find.h"
#include "certs/internal.h"
#include "codec/codec.h"

namespace velmor {
namespace certs_internal {

void SubjectText(PCCERT_CONTEXT cert, char (&text)[kSubjectTextSize]) {
  text[0] = '\0';
  CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, text,
                 static_cast<DWORD>(kSubjectTextSize));
  text[kSubjectTextSize - 1] = '\0';
}

}  // namespace certs_internal

const char* FindSubjectKey(const char* text, std::string_view key) {
  // Values holding a comma, "=", a quote and the like are written in double quotes (an inner
  // quote doubled, which toggles twice); outside quotes "XX=" can only be an attribute key.
  bool quoted = false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (!quoted && std::strncmp(p, key.data(), key.size()) == 0) {
      return p;
    }
  }
  return nullptr;
}

UniqueCert DecodeCertificate(const char* base64) {
  BYTE* raw = nullptr;
  DWORD length = 0;
  if (Base64Decode(base64, &raw, &length) != 0) return nullptr;
  MallocBytes bytes(raw);
  return UniqueCert(CertCreateCertificateContext(X509_ASN_ENCODING, bytes.get(), length));
}

PCCERT_CONTEXT FindCertBySerial(HCERTSTORE store, std::string_view serial) {
  if (serial.empty()) return nullptr;
  return crypt::FindCertificateBySerialHex(store, serial, nullptr);
}

namespace {
using namespace certs_internal;

bool IsSignerOu(const char* component) {
  char cut[kComponentChars + 1];
  CopyUntilComma(cut, kComponentChars, component);
  return std::strcmp(cut, "OU=QVA") == 0 || std::strcmp(cut, "OU=QWB") == 0;
}

// OpenUserStore: one of the current user's system stores other than "MY", with `prov` as its
// provider (0: none), or null.
UniqueStore OpenUserStore(const WCHAR* name, HCRYPTPROV prov) {
  return UniqueStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, prov,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                                   name));
}

HCRYPTKEY ImportPublicKey(HCRYPTPROV prov, PCCERT_CONTEXT cert) {
  HCRYPTKEY key = 0;
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                &cert->pCertInfo->SubjectPublicKeyInfo, &key)) {
    return 0;
  }
  return key;
}

}  // namespace

bool SignerOuFilter(const char* upperSubject) {
  const char* first = FindSubjectKey(upperSubject, "OU=");
  if (first == nullptr) return false;
  if (IsSignerOu(first)) return true;
  // Only the first two OU components count; a third is never looked at.
  const char* second = FindSubjectKey(first + 1, "OU=");
  return second != nullptr && IsSignerOu(second);
}

PCCERT_CONTEXT getMySignerCert(HCERTSTORE store, std::string_view serial) {
  if (serial.empty()) return nullptr;
  // Both tests must pass, so their order changes nothing but the cost: the serial is compared
  // inside the store, the subject text is formatted and upper-cased only for the few that match.
  for (PCCERT_CONTEXT cert = crypt::FindCertificateBySerialHex(store, serial, nullptr);
       cert != nullptr; cert = crypt::FindCertificateBySerialHex(store, serial, cert)) {
    char subject[kSubjectTextSize];
    SubjectText(cert, subject);
    UpperCaseAscii(subject);
    if (SignerOuFilter(subject)) return cert;
  }
  return nullptr;
}

PCCERT_CONTEXT FindIssuerCert(std::string_view issuerSerial) {
  for (const WCHAR* name : {u"CA", u"Root", u"Trust"}) {
    UniqueStore store = OpenUserStore(name, 0);
    if (!store) return nullptr;
    if (PCCERT_CONTEXT cert = FindCertBySerial(store.get(), issuerSerial)) return cert;
  }
  return nullptr;
}

HCRYPTKEY ImportCertPublicKey(HCRYPTPROV prov, const char* base64Cert) {
  UniqueCert cert = DecodeCertificate(base64Cert);
  if (!cert) return 0;
  return ImportPublicKey(prov, cert.get());
}

HCRYPTKEY GetEncryptPublicKey(HCRYPTPROV prov, const CtrlState& state,
                              std::string_view encryptSerial) {
  // The last EncryptCN assignment decides the source; a source that fails is not made up for
  // by another one.
  if (state.m_pEncryptKeyBlob != nullptr) {
    HCRYPTKEY key = 0;
    if (!CryptImportKey(prov, state.m_pEncryptKeyBlob, state.m_cbEncryptKeyBlob, 0, 0, &key)) {
      return 0;
    }
    return key;
  }
  if (state.m_pEncryptCert != nullptr) return ImportPublicKey(prov, state.m_pEncryptCert);
  // Recipients are other people: their certificates are never in the user's own "MY" store.
  for (const WCHAR* name : {u"CA", u"TrustedPublisher", u"Root", u"Trust"}) {
    UniqueStore store = OpenUserStore(name, prov);
    if (!store) return 0;
    UniqueCert cert(FindCertBySerial(store.get(), encryptSerial));
    if (cert) return ImportPublicKey(prov, cert.get());
  }
  return 0;
}

HCRYPTPROV AcquireDecryptKey(HCRYPTPROV prov, std::string_view decryptSerial) {
  UniqueStore store(CertOpenSystemStoreA(prov, "MY"));
  if (!store) return 0;
  UniqueCert cert(FindCertBySerial(store.get(), decryptSerial));
  if (!cert) return 0;
  HCRYPTPROV keyProv = 0;
  DWORD keySpec = 0;
  BOOL callerFree = FALSE;
  // Without CRYPT_ACQUIRE_CACHE_FLAG the context is always the caller's to release.
  if (!CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &keyProv, &keySpec,
                                         &callerFree)) {
    return 0;
  }
  return keyProv;
}

bool KeyMatchesCertificate(HCRYPTPROV keyProv, DWORD keySpec, PCCERT_CONTEXT cert) {
  return crypt::KeyMatchesPublicKey(keyProv, keySpec, &cert->pCertInfo->SubjectPublicKeyInfo) != FALSE;
}

}  // namespace velmor
