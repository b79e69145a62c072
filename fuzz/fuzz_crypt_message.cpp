// Signed messages from outside, checked with the signer certificate they carry.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/prologue.h"
#include "platform/crypt/crypt.h"

namespace {
constexpr std::size_t kMaxInput = 65536;

int Init() {
  velmor::crypt::UseInMemoryStorage(true);
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  std::vector<BYTE> bytes(data, data + size);
  CRYPT_VERIFY_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  DWORD contentSize = 0;
  if (!CryptVerifyMessageSignature(&para, 0, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr,
                                   &contentSize, nullptr)) {
    return 0;
  }
  std::vector<BYTE> content(contentSize + 1);
  PCCERT_CONTEXT signer = nullptr;
  CryptVerifyMessageSignature(&para, 0, bytes.data(), static_cast<DWORD>(bytes.size()), content.data(),
                              &contentSize, &signer);
  CertFreeCertificateContext(signer);
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxInput, .init = Init, .run = Run};
