// getCertList and getProviderName through the command-line host, as a page reaches them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;

class CertsThroughHost : public ::testing::Test {
 protected:
  CertsThroughHost() { pki::RegisterModule(VELMOR_BINARY); }
  // Velmor: runs `velmor <args>` with `input` on standard input; the exit status and output.
  pki::CommandResult Velmor(const std::string& args, const std::string& input = {}) {
    const auto inputPath = home_.path() / "input.jsonl";
    pki::WriteFile(inputPath, input);
    pki::CommandResult run;
    const std::string command = std::string("'") + VELMOR_BINARY + "' " + args + " < '" +
                                inputPath.string() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "cannot run " << command;
      return run;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
  }

  // The page's view: name Alice's certificate in CN, list the signers, ask for the provider.
  void ExpectPageSeesAlice() {
    const pki::CommandResult run = Velmor(
        "call",
        "{\"op\":\"call\",\"name\":\"getCertList\",\"args\":[]}\n"
        "{\"op\":\"put\",\"name\":\"CN\",\"value\":\"08CN=Alice08009a5107\"}\n"
        "{\"op\":\"call\",\"name\":\"getProviderName\",\"args\":[]}\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "{\"result\":\"CN=Alice,009a5107;\"}\n"
              "{\"ok\":true}\n"
              "{\"result\":\"Microsoft Enhanced Cryptographic Provider v1.0\"}\n");
  }

  static pki::TestCert Alice() {
    pki::CertSpec spec;
    spec.subject = "/CN=Alice/OU=QVA/O=Tarnvik Bank";
    spec.serial = {0x00, 0x9a, 0x51, 0x07};
    return pki::MakeCert(spec);
  }

  pki::TempDataHome home_;
};

TEST_F(CertsThroughHost, ImportedSignerIsListedAndItsProviderNamed) {
  pki::ImportWithKey("MY", Alice());
  ExpectPageSeesAlice();
}

TEST_F(CertsThroughHost, BankIssuedFileImportedWithTheCommand) {
  if (Velmor("certs --help").output.find("import") == std::string::npos) {
    GTEST_SKIP() << "velmor certs import is not available in this build";
  }
  const pki::TestCert alice = Alice();
  pki::WriteFile(home_.path() / "alice.pem", alice.pem());
  pki::WriteFile(home_.path() / "alice.key", alice.key.privatePem);
  const std::string dir = "'" + home_.path().string() + "/";
  const pki::CommandResult p12 =
      pki::Run("openssl pkcs12 -export -in " + dir + "alice.pem' -inkey " + dir +
               "alice.key' -out " + dir + "alice.p12' -passout pass:secret");
  ASSERT_EQ(p12.status, 0) << p12.output;
  const pki::CommandResult import =
      Velmor("certs import --store MY " + dir + "alice.p12' --password secret");
  ASSERT_EQ(import.status, 0) << import.output;
  ExpectPageSeesAlice();
}

}  // namespace
