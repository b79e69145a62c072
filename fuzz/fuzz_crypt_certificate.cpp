// Certificates and names from outside: the whole input as a DER certificate, and as a DER name.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/prologue.h"
#include "platform/crypt/crypt.h"

namespace {

constexpr std::size_t kMaxInput = 16384;

HCRYPTPROV g_prov = 0;

void WriteName(CERT_NAME_BLOB* name) {
  DWORD size = CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0);
  std::vector<char> text(size + 1);
  CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, text.data(), size);
  char small[8];
  CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, small, sizeof small);
}

int Init() {
  velmor::crypt::UseInMemoryStorage(true);
  CryptAcquireContextA(&g_prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  std::vector<BYTE> bytes(data, data + size);
  CERT_NAME_BLOB name{static_cast<DWORD>(bytes.size()), bytes.data()};
  WriteName(&name);
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(),
                                                     static_cast<DWORD>(bytes.size()));
  if (cert != nullptr) {
    WriteName(&cert->pCertInfo->Subject);
    WriteName(&cert->pCertInfo->Issuer);
    HCRYPTKEY key = 0;
    if (CryptImportPublicKeyInfo(g_prov, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, &key)) {
      CryptDestroyKey(key);
    }
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    CertVerifySubjectCertificateContext(cert, cert, &flags);
    CertFreeCertificateContext(cert);
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxInput, .init = Init, .run = Run};
