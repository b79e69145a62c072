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
  EXPECT_NE(status.output.find("certificates in MY from tokens: 3"), std::string::npos) << status.output;
  EXPECT_NE(status.output.find("PIN dialog: " + tokens.pinentry), std::string::npos) << status.output;
}

}  // namespace
}  // namespace velmor::testing
