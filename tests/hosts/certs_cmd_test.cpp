// velmor certs import and add as a user runs them: which files are read at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class VelmorCerts : public ::testing::Test {
 protected:
  void SetUp() override {
    const pki::TestCert alice = pki::MakeCert(pki::Spec("/CN=Alice/OU=QVA/O=Tarnvik Bank"));
    pki::WriteFile(Dir() / "alice.pem", alice.pem());
    pki::WriteFile(Dir() / "alice.key", alice.key.privatePem);
    const pki::CommandResult p12 = pki::Run(
        "openssl pkcs12 -export -in '" + Path("alice.pem") + "' -inkey '" + Path("alice.key") +
        "' -out '" + Path("alice.p12") + "' -passout pass:secret");
    ASSERT_EQ(p12.status, 0) << p12.output;
  }

  const std::filesystem::path& Dir() const { return home_.path(); }
  std::string Path(const std::string& name) const { return (Dir() / name).string(); }

  // Velmor runs `velmor <args>` through the shell (so `args` may redirect), standard input
  // from `input`, never from the terminal the tests run on.
  pki::CommandResult Velmor(const std::string& args, const std::string& input = {}) {
    pki::WriteFile(Dir() / "stdin.txt", input);
    return pki::Run(std::string("'") + VELMOR_BINARY + "' " + Replaced(args, "DIR", Dir().string()) +
                    " < '" + Path("stdin.txt") + "'");
  }

  pki::TempDataHome home_;
};

struct InputFileCase {
  const char* name;
  const char* path;  // DIR stands for the test's directory
  const char* why;   // a part of the message
};
void PrintTo(const InputFileCase& c, std::ostream* os) { *os << c.name; }

class InputFiles : public VelmorCerts, public ::testing::WithParamInterface<InputFileCase> {};

TEST_P(InputFiles, AreRegularFilesWithinTheCap) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  for (const auto& [name, size] : {std::pair{"large", (16u << 20) + 1}, std::pair{"atcap", 16u << 20}}) {
    pki::WriteFile(Dir() / name, std::string());
    std::filesystem::resize_file(Dir() / name, size);  // sparse: no disk written
  }
  for (const char* command : {"certs import --password secret", "certs add --store CA"}) {
    SCOPED_TRACE(command);
    const pki::CommandResult run = Velmor(std::string(command) + " " + GetParam().path);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(GetParam().why), std::string::npos) << run.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, InputFiles,
    ::testing::Values(InputFileCase{"Directory", "DIR", "it is a directory"},
                      InputFileCase{"Device", "/dev/zero", "it is not a regular file"},
                      InputFileCase{"PipeWithoutWriter", "DIR/fifo", "it is not a regular file"},
                      InputFileCase{"OverTheCap", "DIR/large", "it is larger than 16 MiB"},
                      InputFileCase{"AtTheCapIsRead", "DIR/atcap", "is not readable as a certificate"},
                      InputFileCase{"Missing", "DIR/none", "No such file or directory"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
