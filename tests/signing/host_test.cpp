// End to end through the command-line host: a PKCS #12 file imported with `velmor certs import`,
// then CN and SignData put and SignData got through `velmor call`, as a page's script would.
#include <cstdio>
#include <regex>

#include "tests/signing/fixture.h"

namespace velmor::testing {
namespace {

std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

TEST_F(SigningTest, SignDataThroughTheCommandLineHost) {
  const TestCert alice = MakeSigner(2048);
  WriteFile(Dir() / "alice.pem", alice.pem());
  WriteFile(Dir() / "alice.key", alice.key.privatePem);
  const CommandResult pack =
      velmor::testing::Run("openssl pkcs12 -export -in " + Quoted(Dir() / "alice.pem") +
                           " -inkey " + Quoted(Dir() / "alice.key") + " -out " +
                           Quoted(Dir() / "alice.p12") + " -passout pass:alice");
  ASSERT_EQ(pack.status, 0) << pack.output;

  const std::string velmor = VELMOR_HOST_BINARY;
  const CommandResult import = velmor::testing::Run(
      "'" + velmor + "' certs import " + Quoted(Dir() / "alice.p12") + " --password alice");
  ASSERT_EQ(import.status, 0) << import.output;

  const std::string requests = "{\"op\":\"put\",\"name\":\"CN\",\"value\":\"" +
                               CNText("CN=Alice", alice.serialHex) +
                               "\"}\n"
                               "{\"op\":\"put\",\"name\":\"SignData\",\"value\":\"abc\"}\n"
                               "{\"op\":\"get\",\"name\":\"SignData\"}\n";
  WriteFile(Dir() / "requests.jsonl", requests);
  velmor::testing::RegisterModule(velmor);
  const CommandResult call =
      velmor::testing::Run("'" + velmor + "' call < " + Quoted(Dir() / "requests.jsonl"));
  ASSERT_EQ(call.status, 0) << call.output;

  std::smatch match;
  const std::regex answer("\"result\":\"(A:00000003abc00000512([0-9A-F]{512}))\"");
  ASSERT_TRUE(std::regex_search(call.output, match, answer)) << call.output;
  EXPECT_TRUE(VerifiesWithOpenssl(alice, std::string("abc"), match[2].str()));
}

}  // namespace
}  // namespace velmor::testing
