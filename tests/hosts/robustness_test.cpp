// The store as concurrent and interrupted users leave it: imports killed at random moments, and
// imports running beside signatures in other processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;

class StoreRobustness : public ::testing::Test {
 protected:
  StoreRobustness() { pki::RegisterModule(VELMOR_BINARY); }

  // P12: a PKCS #12 file (password "x") of a fresh signing certificate, and its serial.
  std::string P12(const std::string& name, std::string* serial = nullptr) {
    const pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=" + name + "/OU=QVA/O=Tarnvik Bank"));
    const std::string base = (home_.path() / name).string();
    pki::WriteFile(base + ".pem", cert.pem());
    pki::WriteFile(base + ".key", cert.key.privatePem);
    const pki::CommandResult r = pki::Run("openssl pkcs12 -export -in '" + base + ".pem' -inkey '" +
                                          base + ".key' -out '" + base + ".p12' -passout pass:x");
    EXPECT_EQ(r.status, 0) << r.output;
    if (serial != nullptr) *serial = cert.serialHex;
    return base + ".p12";
  }

  static pid_t Start(const std::vector<std::string>& args, const std::string& input = {}) {
    int in[2];
    if (::pipe(in) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], 0);
      ::close(in[0]);
      ::close(in[1]);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execv(VELMOR_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    return pid;
  }

  static int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }

  pki::CommandResult Velmor(const std::string& args, const std::string& input = {}) {
    const std::string feed = input.empty() ? "" : "printf '%s\\n' '" + input + "' | ";
    return pki::Run(feed + "'" + VELMOR_BINARY + "' " + args);
  }

  pki::TempDataHome home_;
};

// However an import ends, the store stays readable and every certificate in MY has its key: an
// import is one transaction.
TEST_F(StoreRobustness, KilledImportsLeaveAWholeStore) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> delayUs(0, 40000);
  std::vector<std::string> files;
  for (int i = 0; i < 8; ++i) files.push_back(P12("Killed" + std::to_string(i)));
  for (int round = 0; round < 40; ++round) {
    const std::string& file = files[static_cast<std::size_t>(round) % files.size()];
    const pid_t pid = Start({"velmor", "certs", "import", "--store", "MY", "--passin", "pass:x", file});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ::kill(pid, SIGKILL);
    Wait(pid);
    const pki::CommandResult list = Velmor("certs list --store MY");
    ASSERT_EQ(list.status, 0) << "round " << round << ": " << list.output;
    std::istringstream lines(list.output);
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      EXPECT_EQ(line.substr(line.size() - 3), "key") << "round " << round << ": " << line;
    }
  }
  const pki::CommandResult last =
      Velmor("certs import --store MY --passin pass:x '" + P12("AfterTheKills") + "'");
  EXPECT_EQ(last.status, 0) << last.output;
}

// Imports in some processes and signatures in others all succeed, none waiting for ever.
TEST_F(StoreRobustness, ImportsAndSignaturesRunSideBySide) {
  std::string serial;
  const std::string signer = P12("Signer", &serial);
  ASSERT_EQ(Velmor("certs import --store MY --passin pass:x '" + signer + "'").status, 0);
  char cn[128];
  std::snprintf(cn, sizeof cn, "09CN=Signer%02zu%s", serial.size(), serial.c_str());
  const std::string requests = std::string("{\"op\":\"put\",\"name\":\"CN\",\"value\":\"") + cn +
                               "\"}\n{\"op\":\"put\",\"name\":\"SignData\",\"value\":\"abc\"}\n"
                               "{\"op\":\"get\",\"name\":\"SignData\"}\n";
  std::vector<std::string> files;
  for (int i = 0; i < 6; ++i) files.push_back(P12("Side" + std::to_string(i)));
  std::vector<pid_t> importers;
  std::vector<std::thread> signers;
  std::vector<std::string> answers(6);
  for (std::size_t i = 0; i < files.size(); ++i) {
    importers.push_back(
        Start({"velmor", "certs", "import", "--store", "MY", "--passin", "pass:x", files[i]}));
    signers.emplace_back([&, i] {
      answers[i] = pki::Run("printf '%s' '" + requests + "' | '" + VELMOR_BINARY + "' call").output;
    });
  }
  for (pid_t pid : importers) {
    const int status = Wait(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (std::thread& t : signers) t.join();
  for (const std::string& a : answers) {
    EXPECT_NE(a.find("\"result\":\"A:00000003abc"), std::string::npos) << a;
  }
  const pki::CommandResult list = Velmor("certs list --store MY");
  EXPECT_EQ(std::count(list.output.begin(), list.output.end(), '\n'), 7) << list.output;
}

}  // namespace
