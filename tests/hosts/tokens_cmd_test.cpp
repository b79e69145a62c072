// velmor tokens: what the command shows of real SoftHSM tokens.
#include <gtest/gtest.h>

#include "tests/support/softhsm.h"

namespace velmor::testing {
namespace {

TEST(TokensCommand, ListsTheTokensTheirCertificatesAndContainers) {
  const SoftHsmTokens& tokens = Tokens();
  TempDataHome home;
  const CommandResult list = velmor::testing::Run(std::string(VELMOR_BINARY) + " tokens list");
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_NE(list.output.find("module softhsm2"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("token \"Velmor Main\""), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("token \"Velmor Locked\""), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("PIN blocked"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find(tokens.main.cert.serialHex + "  CN=Tessa Token, OU=QVA, O=Tarnvik Bank  key on the token"),
            std::string::npos)
      << list.output;
  EXPECT_NE(list.output.find("container pkcs11:"), std::string::npos) << list.output;

  const CommandResult status = velmor::testing::Run(std::string(VELMOR_BINARY) + " tokens status");
  ASSERT_EQ(status.status, 0) << status.output;
  EXPECT_NE(status.output.find("certificates in MY from tokens: 6"), std::string::npos) << status.output;
  EXPECT_NE(status.output.find("PIN dialog: " + tokens.pinentry), std::string::npos) << status.output;
}

// What a user looks for: the tokens that can hold keys and the keys on them, never a module of
// trust anchors' hundreds of roots; and "MY" as the control sees it, without asking for a PIN.
TEST(TokensCommand, ShowsKeysNotTrustAnchorsAndMyWithTheTokensCertificates) {
  const SoftHsmTokens& tokens = Tokens();
  TempDataHome home;
  PinentryAnswer(std::string("pin:") + kTokenPin);
  const CommandResult list = velmor::testing::Run(std::string(VELMOR_BINARY) + " tokens list");
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_EQ(list.output.find("no key on the token"), std::string::npos) << list.output;
  if (list.output.find("module p11-kit-trust") != std::string::npos) {
    EXPECT_NE(list.output.find("module p11-kit-trust (/"), std::string::npos);
    EXPECT_NE(list.output.find("trust anchors, no keys: not used"), std::string::npos) << list.output;
    EXPECT_EQ(list.output.find("System Trust"), std::string::npos) << list.output;
  }
  EXPECT_NE(list.output.find(tokens.hidden.cert.serialHex + "  CN=Hilde Hidden, OU=QVA, O=Tarnvik Bank  key behind the PIN"),
            std::string::npos)
      << list.output;

  const CommandResult my = velmor::testing::Run(std::string(VELMOR_BINARY) + " certs list --store MY");
  ASSERT_EQ(my.status, 0) << my.output;
  EXPECT_NE(my.output.find(tokens.main.cert.serialHex + "\tCN=Tessa Token"), std::string::npos) << my.output;
  EXPECT_NE(my.output.find("key on token \"Velmor Main\"\n"), std::string::npos) << my.output;
  EXPECT_NE(my.output.find("key on token \"Velmor Hidden\" (behind its PIN)\n"), std::string::npos)
      << my.output;
  EXPECT_EQ(PinentryLog(), "");
}

}  // namespace
}  // namespace velmor::testing
