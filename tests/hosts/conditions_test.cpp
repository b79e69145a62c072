// Both hosts under conditions the user did not choose: a file-size limit must be answered, not
// kill the process, and leave no partial output; an unusable data folder is named with what is
// wrong with it; the deprecated --password says so when it is used.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pki.h"

namespace {

namespace fs = std::filesystem;
namespace pki = velmor::testing;

// Velmor: runs the shell command `command` (a host, after a file-size limit or with another
// data folder) with `input` on standard input; standard error is dropped.
pki::CommandResult Velmor(const fs::path& home, const std::string& command, const std::string& input) {
  pki::WriteFile(home / "input.bin", input);
  return pki::Run("(" + command + " < '" + (home / "input.bin").string() + "' 2>/dev/null)");
}

// Framed: requests in the browser's framing, a native-endian 32-bit length before each.
std::string Framed(const std::vector<std::string>& requests) {
  std::string bytes;
  for (const std::string& r : requests) {
    const auto length = static_cast<std::uint32_t>(r.size());
    bytes.append(reinterpret_cast<const char*>(&length), 4);
    bytes += r;
  }
  return bytes;
}

std::string Lines(const std::vector<std::string>& requests) {
  std::string text;
  for (const std::string& r : requests) text += r + "\n";
  return text;
}

class FileSizeLimit : public ::testing::TestWithParam<bool> {
 protected:
  FileSizeLimit() { pki::RegisterModule(VELMOR_BINARY); }
  pki::TempDataHome home_;
};

// A large file sealed under a 1 MiB limit: the answer is the code of an output that cannot be
// written, the host lives on, and nothing of the output is left.
TEST_P(FileSizeLimit, IsAnsweredLikeAFullDisk) {
  const bool browser = GetParam();
  const pki::TestCert recipient = pki::MakeCert(pki::Spec("/CN=Bank Server/OU=QVA"));
  pki::AddToStore("CA", recipient);
  const fs::path folder = home_.path() / "files";
  fs::create_directory(folder);
  pki::WriteFile(folder / "big.bin", std::string(std::size_t{4} << 20, 'x'));
  const std::vector<std::string> requests = {
      R"({"op":"put","name":"EncryptCN","value":")" + recipient.serialHex + R"("})",
      R"({"op":"call","name":"EncryptFile","args":[")" + (folder / "big.bin").string() + R"("])" +
          // The browser host writes a file only with the extension's grant for the page's origin.
          (browser ? R"(,"origin":"https://bank.example",)"
                     R"("consent":{"op":"call","name":"EncryptFile","by":"user"}})"
                   : "}"),
      R"({"op":"get","name":"Copyright"})"};
  // ulimit -f counts blocks of 1024 bytes: a 1 MiB limit.
  const std::string limit = "ulimit -f 1024; exec '";
  const pki::CommandResult run =
      browser ? Velmor(home_.path(), limit + VELMOR_HOST_BINARY + "'", Framed(requests))
              : Velmor(home_.path(), limit + VELMOR_BINARY + "' call", Lines(requests));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find(R"("result":"E:0039")"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(R"("result":"Tarnvik Inc.")"), std::string::npos) << run.output;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"big.bin"});
}
INSTANTIATE_TEST_SUITE_P(Hosts, FileSizeLimit, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "BrowserHost" : "VelmorCall"; });

// A data folder that cannot be used: the answer says which folder and why, instead of sending
// the user to `velmor register`.
struct FolderCase {
  const char* name;
  const char* fileAt;   // a file made at this name in the test's home, if any
  const char* xdgUnder; // XDG_DATA_HOME below the home, empty: the home itself
  bool unreadable;      // the data folder exists and this user may not use it
  const char* reason;   // "@" stands for the home
};
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class UnusableDataFolder : public ::testing::TestWithParam<FolderCase> {
 protected:
  pki::TempDataHome home_;
};

TEST_P(UnusableDataFolder, IsNamedWithWhatIsWrong) {
  const FolderCase& c = GetParam();
  const fs::path xdg = home_.path() / c.xdgUnder;
  std::string command = "XDG_DATA_HOME='" + xdg.string() + "' ";
  if (c.fileAt[0] != '\0') pki::WriteFile(home_.path() / c.fileAt, std::string("not a folder"));
  if (c.unreadable) {
    fs::create_directory(xdg / "velmor");
    fs::permissions(xdg / "velmor", fs::perms::none);
    // Permissions do not hold for root: the call then runs as nobody, who may enter the home.
    fs::permissions(home_.path(), fs::perms(0711));
    if (::geteuid() == 0) command += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  const pki::CommandResult run = Velmor(home_.path(), command + "'" + VELMOR_BINARY + "' call",
                                        "{\"op\":\"get\",\"name\":\"Copyright\"}\n");
  std::string reason = c.reason;
  if (const auto at = reason.find('@'); at != std::string::npos) reason.replace(at, 1, home_.path().string());
  const std::string expected = "{\"error\":\"the data folder " + (xdg / "velmor").string() +
                               " cannot be used: " + reason;
  EXPECT_EQ(run.output.compare(0, expected.size(), expected), 0) << run.output;
  std::error_code ignored;  // the home is removed with whatever is in it
  fs::permissions(xdg / "velmor", fs::perms::owner_all, ignored);
}
INSTANTIATE_TEST_SUITE_P(
    Folders, UnusableDataFolder,
    ::testing::Values(FolderCase{"FileAtTheFolder", "velmor", "", false, "it is a file, not a folder"},
                      FolderCase{"FileAboveTheFolder", "share", "share/deeper", false,
                                 "@/share is a file, not a folder"},
                      FolderCase{"UnreadableFolder", "", "", true,
                                 "this user may not read, write and enter it"}),
    [](const auto& p) { return std::string(p.param.name); });

// --password still works, and says on standard error that it should no longer be used.
TEST(DeprecatedPassword, WarnsWhenUsed) {
  pki::TempDataHome home;
  pki::RegisterModule(VELMOR_BINARY);
  for (const std::string option : {"--password x", "--passin pass:x"}) {
    const pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=Alice/OU=QVA/O=Tarnvik Bank"));
    const std::string base = (home.path() / cert.serialHex).string();
    pki::WriteFile(base + ".pem", cert.pem());
    pki::WriteFile(base + ".key", cert.key.privatePem);
    const pki::CommandResult made = pki::Run("openssl pkcs12 -export -in '" + base + ".pem' -inkey '" +
                                             base + ".key' -out '" + base + ".p12' -passout pass:x");
    ASSERT_EQ(made.status, 0) << made.output;
    const pki::CommandResult r = pki::Run("'" + std::string(VELMOR_BINARY) + "' certs import " +
                                          option + " '" + base + ".p12'");
    EXPECT_EQ(r.status, 0) << option << ": " << r.output;
    const bool warned = r.output.find("--password is deprecated") != std::string::npos;
    EXPECT_EQ(warned, option.starts_with("--password")) << option << ": " << r.output;
  }
}

}  // namespace
