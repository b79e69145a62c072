// Shared set-up for the signing tests: a private data directory, fresh module buffers, no
// injected failures, and helpers that check results with the `openssl` tool as the peer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "certs/properties.h"
#include "signing/signing.h"
#include "tests/support/pki.h"

namespace velmor::testing {

// CNText: the two-field form the page writes into CN.
std::string CNText(const std::string& subject, const std::string& serial);

// DecodeBase64: the bytes of a Base64 text with line feeds, decoded by OpenSSL.
std::vector<std::uint8_t> DecodeBase64(const std::string& text);

// EncodeBase64: the bytes as one line of Base64, by OpenSSL.
std::string EncodeBase64(const std::vector<std::uint8_t>& bytes);

// Base64OfUtf16: the Base64 of `text` (ASCII or already UTF-16 units) in UTF-16LE.
std::string Base64OfUtf16(const std::u16string& text);

class SigningTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // ImportSigner: a certificate with an accepted organisational unit, imported into "MY" with
  // its key, and named in CN.
  TestCert ImportSigner(int bits = 1024);
  TestCert MakeSigner(int bits = 1024, std::vector<std::uint8_t> serial = {});
  void SelectSigner(const TestCert& cert);

  // Call: runs an operation and checks that it left the four working handles empty.
  template <typename F>
  std::string Call(F&& operation) {
    std::string result = operation(state_);
    EXPECT_TRUE(state_.WorkingHandlesEmpty()) << "handles left after: " << result;
    return result;
  }

  // VerifiesWithOpenssl: whether `openssl dgst -md5 -verify` accepts `signatureHex` (decoded as
  // it stands, most significant byte first) over the file `data` with the certificate's key.
  bool VerifiesWithOpenssl(const TestCert& cert, const std::filesystem::path& data,
                           const std::string& signatureHex);
  bool VerifiesWithOpenssl(const TestCert& cert, const std::string& data,
                           const std::string& signatureHex);

  std::filesystem::path Dir() const { return home_.path(); }

  TempDataHome home_;
  CtrlState state_;
};

}  // namespace velmor::testing
