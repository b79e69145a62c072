// velmor certs import and add as a user runs them: where the password comes from, and which
// files are read at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "hosts/session/unique_fd.h"
#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;
using velmor::host::UniqueFd;

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
    ::setenv("VELMOR_TEST_PASSWORD", "secret", 1);
  }
  void TearDown() override { ::unsetenv("VELMOR_TEST_PASSWORD"); }

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

struct PassinCase {
  const char* name;
  const char* options;  // DIR stands for the test's directory, which holds alice.p12
  const char* input;    // standard input
  int status;
  const char* output;   // a part of what is printed
};
void PrintTo(const PassinCase& c, std::ostream* os) { *os << c.name; }

class Passin : public VelmorCerts, public ::testing::WithParamInterface<PassinCase> {};

TEST_P(Passin, TakesThePasswordFromItsSource) {
  const PassinCase& c = GetParam();
  pki::WriteFile(Dir() / "pass.txt", std::string("secret\nnot this line\n"));
  pki::WriteFile(Dir() / "long.txt", std::string(5000, 'x'));
  const pki::CommandResult run = Velmor("certs import DIR/alice.p12 " + std::string(c.options), c.input);
  EXPECT_EQ(run.status, c.status) << run.output;
  EXPECT_NE(run.output.find(c.output), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Passin,
    ::testing::Values(
        PassinCase{"Pass", "--passin pass:secret", "", 0, "imported"},
        PassinCase{"Env", "--passin env:VELMOR_TEST_PASSWORD", "", 0, "imported"},
        PassinCase{"FileFirstLine", "--passin file:DIR/pass.txt", "", 0, "imported"},
        PassinCase{"Fd", "--passin fd:3 3<DIR/pass.txt", "", 0, "imported"},
        PassinCase{"Stdin", "--passin stdin", "secret\r\nmore", 0, "imported"},
        PassinCase{"PasswordOptionStillWorks", "--password secret", "", 0, "imported"},
        PassinCase{"Wrong", "--passin pass:secre", "", 1, "wrong password"},
        PassinCase{"NoneAndNoTerminalIsEmpty", "", "secret\n", 1, "wrong password"},
        PassinCase{"UnsetVariable", "--passin env:VELMOR_NO_SUCH_VARIABLE", "", 1, "is not set"},
        PassinCase{"MissingFile", "--passin file:DIR/none", "", 1, "cannot open the password file"},
        PassinCase{"TooLong", "--passin file:DIR/long.txt", "", 1, "longer than 4096 bytes"},
        PassinCase{"UnknownSource", "--passin secret", "", 2, "unknown password source"},
        PassinCase{"BadDescriptor", "--passin fd:x", "", 2, "descriptor number"},
        PassinCase{"BothGiven", "--passin pass:secret --password secret", "", 2, "excludes"}),
    [](const auto& p) { return std::string(p.param.name); });

// Reads from `fd` into `out` until `until` appears or the other side closes; false after 30 s
// of silence, so that a missing prompt fails the test instead of hanging it.
bool ReadUntil(int fd, std::string& out, const std::string& until) {
  while (until.empty() || out.find(until) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return until.empty();  // a pseudo-terminal whose other side closed reads EIO
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

TEST_F(VelmorCerts, AsksOnTheTerminalWithoutEcho) {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY));
  ASSERT_TRUE(master);
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  const std::string terminal = ::ptsname(master.get());
  const std::string p12 = Path("alice.p12");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setsid();
    const int slave = ::open(terminal.c_str(), O_RDWR);
    if (slave < 0) ::_exit(127);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    ::execl(VELMOR_BINARY, "velmor", "certs", "import", p12.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string seen;
  // Type only once asked: turning echo off discards what was typed before.
  const bool prompted = ReadUntil(master.get(), seen, "Password of");
  if (prompted) {
    EXPECT_EQ(::write(master.get(), "secret\n", 7), 7);
    EXPECT_TRUE(ReadUntil(master.get(), seen, ""));
  }
  int status = 0;
  if (!prompted) ::kill(pid, SIGKILL);
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(prompted) << seen;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_NE(seen.find("imported"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("secret"), std::string::npos) << seen;
}

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
  for (const char* command : {"certs import --passin pass:secret", "certs add --store CA"}) {
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
