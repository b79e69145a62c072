#include "tests/signing/fixture.h"

#include <openssl/evp.h>

#include <cstdio>

namespace velmor::testing {

std::string CNText(const std::string& subject, const std::string& serial) {
  char lengths[2][8];
  std::snprintf(lengths[0], sizeof lengths[0], "%02zu", subject.size());
  std::snprintf(lengths[1], sizeof lengths[1], "%02zu", serial.size());
  return lengths[0] + subject + lengths[1] + serial;
}

std::vector<std::uint8_t> DecodeBase64(const std::string& text) {
  std::string compact;
  for (char c : text) {
    if (c != '\n') compact.push_back(c);
  }
  std::vector<std::uint8_t> out(compact.size() / 4 * 3 + 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                static_cast<int>(compact.size()));
  if (n < 0) return {};
  std::size_t length = static_cast<std::size_t>(n);
  // EVP_DecodeBlock counts the padding as zero bytes.
  for (std::size_t i = compact.size(); i > 0 && compact[i - 1] == '='; --i) --length;
  out.resize(length);
  return out;
}

std::string Base64OfUtf16(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return EncodeBase64(bytes);
}

std::string EncodeBase64(const std::vector<std::uint8_t>& bytes) {
  std::string out(bytes.size() / 3 * 4 + 8, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

void SigningTest::SetUp() {
  ClearModuleBuffers();
  crypt::ResetRuntime();
}

void SigningTest::TearDown() {
  crypt::ResetRuntime();
  ClearModuleBuffers();
}

TestCert SigningTest::MakeSigner(int bits, std::vector<std::uint8_t> serial) {
  CertSpec spec;
  spec.subject = "/CN=Alice/OU=QVA/O=Tarnvik Bank";
  spec.bits = bits;
  spec.serial = std::move(serial);
  return MakeCert(spec);
}

TestCert SigningTest::ImportSigner(int bits) {
  TestCert cert = MakeSigner(bits);
  ImportWithKey("MY", cert);
  SelectSigner(cert);
  return cert;
}

void SigningTest::SelectSigner(const TestCert& cert) {
  SetCN(state_, CNText("CN=Alice", cert.serialHex).c_str());
}

bool SigningTest::VerifiesWithOpenssl(const TestCert& cert, const std::filesystem::path& data,
                                      const std::string& signatureHex) {
  const auto certPath = Dir() / "peer-cert.pem";
  const auto keyPath = Dir() / "peer-key.pem";
  const auto sigPath = Dir() / "peer-sig.bin";
  WriteFile(certPath, cert.pem());
  WriteFile(sigPath, HexToBytes(signatureHex));
  const CommandResult key =
      velmor::testing::Run("openssl x509 -in '" + certPath.string() + "' -pubkey -noout -out '" +
                           keyPath.string() + "'");
  if (key.status != 0) {
    ADD_FAILURE() << key.output;
    return false;
  }
  const CommandResult verify =
      velmor::testing::Run("openssl dgst -md5 -verify '" + keyPath.string() + "' -signature '" +
                           sigPath.string() + "' '" + data.string() + "'");
  return verify.status == 0 && verify.output.find("Verified OK") != std::string::npos;
}

bool SigningTest::VerifiesWithOpenssl(const TestCert& cert, const std::string& data,
                                      const std::string& signatureHex) {
  const auto dataPath = Dir() / "peer-data.bin";
  WriteFile(dataPath, data);
  return VerifiesWithOpenssl(cert, dataPath, signatureHex);
}

}  // namespace velmor::testing
