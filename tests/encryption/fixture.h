// Shared set-up for the envelope tests: a private data directory with a recipient whose key is
// in "MY" (named by DecryptCN) and whose certificate is in "CA" (named by EncryptCN), and the
// `openssl` tool as the independent peer that opens and makes envelopes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "certs/properties.h"
#include "encryption/encryption.h"
#include "tests/support/pki.h"

namespace velmor::testing {

using Bytes = std::vector<std::uint8_t>;

// An envelope's parts: the wrapped session key as a SIMPLEBLOB, and the ciphertext.
struct EnvelopeParts {
  Bytes blob;
  Bytes cipher;
};

class EnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // AddRecipient: a fresh certificate of `bits` with its key in "MY" (as `keySpec`) and the
  // certificate in "CA"; EncryptCN and DecryptCN name it.
  TestCert AddRecipient(int bits = 1024, DWORD keySpec = AT_KEYEXCHANGE);

  // Call: runs an operation and checks that it left the working handles empty.
  template <typename F>
  std::string Call(F&& operation) {
    std::string result = operation(state_);
    EXPECT_TRUE(state_.WorkingHandlesEmpty()) << "handles left after: " << result;
    return result;
  }

  // OpenWithOpenssl: the plaintext of an envelope's parts, opened without velmor: the blob's
  // key reversed and decrypted by `openssl pkeyutl`, then RC4 by `openssl enc` after 512 bytes
  // of key stream.
  Bytes OpenWithOpenssl(const TestCert& recipient, const EnvelopeParts& parts);
  // SealWithOpenssl: an envelope's parts for `plain`, made without velmor the same way.
  EnvelopeParts SealWithOpenssl(const TestCert& recipient, const Bytes& plain);

  std::filesystem::path Dir() const { return home_.path(); }

  TempDataHome home_;
  CtrlState state_;
};

// The eight-digit length field of both envelope layouts.
std::string LengthField(std::size_t value);
// Parts of a FileEnvelope (header, blob, ciphertext to the end); empty parts when it is short.
EnvelopeParts SplitFileEnvelope(const Bytes& file);
Bytes JoinFileEnvelope(const EnvelopeParts& parts);

}  // namespace velmor::testing
