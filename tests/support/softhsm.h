// Test support for keys on tokens: real SoftHSM v2 tokens in a folder of the test's own (named
// to SoftHSM by SOFTHSM2_CONF, and reached through p11-kit's registry as in production), keys
// and certificates written onto them with pkcs11-tool, and a scripted pinentry chosen through
// VELMOR_PINENTRY whose answer each test picks.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pki.h"

namespace velmor::testing {

inline constexpr const char* kTokenPin = "4321";

struct TestToken {
  std::string label;
  std::filesystem::path folder;  // SoftHSM's folder for the token: deleting it pulls it out
  TestCert cert;                 // its key is on the token under CKA_ID 01
};

// What MakeToken writes beside the certificate under CKA_ID 01: the private key (the
// certificate's own unless `otherKey`), and its public key object when `publicKey`.
struct TokenObjects {
  bool publicKey = true;
  const TestKey* otherKey = nullptr;
};

// SoftHsmTokens: the tokens every test of a process shares. SoftHSM reads its configuration and
// its tokens when it is initialised, so they are all made before the first use of the platform:
// call Tokens() first thing in every test.
struct SoftHsmTokens {
  std::filesystem::path root;
  TestToken main;      // PIN kTokenPin
  TestToken locked;    // its user PIN blocked
  TestToken removable; // for the one test per process that pulls a token out
  TestToken hidden;    // only the private key beside the certificate, hidden until login
  TestCert hiddenWithoutKey;  // on the hidden token too (CKA_ID 02), with no key at all
  TestToken mismatched;  // private and public key objects of another key than the certificate's
  std::string pinentry;  // the scripted pinentry
};
const SoftHsmTokens& Tokens();

// AddToken: a new token made now, while the platform may already be using SoftHSM.
TestToken AddToken(const std::string& label, const std::string& subject,
                   std::vector<std::uint8_t> serial);

// PinentryAnswer: what the scripted pinentry does on GETPIN: "pin:<PIN>", "cancel", "hang"
// (never greets), "spawn:<file>" (starts two `sleep 600`, one deaf to SIGTERM, writes their
// process ids to the file and never greets), "garbage" (an endless line), or
// "remove:<folder>:<PIN>" (deletes the token's folder, then answers). Every line it is sent is
// appended to PinentryLog().
void PinentryAnswer(const std::string& answer);
std::string PinentryLog();

}  // namespace velmor::testing
