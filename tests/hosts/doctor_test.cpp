// velmor doctor and install-browser-host on made-up set-ups: a home folder of the test's own
// with a browser profile and host manifests missing, wrong or right, a Flatpak browser, and a
// package's system files under a staging folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/pki.h"

namespace {

namespace fs = std::filesystem;
namespace pki = velmor::testing;

constexpr char kOrigin[] = "chrome-extension://nfmifenlhpaglgpgnjmepjnnmcllmfpj/";

std::string Velmor(const std::string& args) {
  return std::string("'") + VELMOR_BINARY + "' " + args + " 2>&1";
}

std::string Manifest(const std::string& origin, const std::string& host) {
  return R"({"name": "org.velmor.host", "type": "stdio", "path": ")" + host +
         R"(", "allowed_origins": [")" + origin + R"("]})";
}

struct Case {
  const char* name;
  // setUp: the made-up set-up in the home folder `home` (Vivaldi's profile is there already).
  std::function<void(const fs::path& home)> setUp;
  std::vector<std::string> expected;  // in doctor's output
  int status;                         // doctor's exit status
};

const fs::path kVivaldiHosts = ".config/vivaldi/NativeMessagingHosts/org.velmor.host.json";

// Write: `text` as the file at `path`, its folders made.
void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  pki::WriteFile(path, text);
}

void WriteExtensionPrefs(const fs::path& home, const std::string& entry) {
  Write(home / ".config/vivaldi/Default/Preferences",
                 R"({"extensions": {"settings": {"nfmifenlhpaglgpgnjmepjnnmcllmfpj": )" + entry + "}}}");
}

void InstallHost(const fs::path&) {
  const pki::CommandResult r = pki::Run(Velmor("install-browser-host --browser vivaldi"));
  ASSERT_EQ(r.status, 0) << r.output;
}

const Case kCases[] = {
    {"NoManifest", [](const fs::path&) {},
     {"Vivaldi (", "FAIL no host manifest", "fix: velmor install-browser-host --browser vivaldi"}, 1},
    {"OtherExtension",
     [](const fs::path& home) {
       Write(home / kVivaldiHosts, Manifest("chrome-extension://abcdefghijklmnopabcdefghijklmnop/", VELMOR_HOST_BINARY));
     },
     {"does not allow our extension (chrome-extension://nfmifenlhpaglgpgnjmepjnnmcllmfpj/)"}, 1},
    {"NotJson", [](const fs::path& home) { Write(home / kVivaldiHosts, std::string("{\"name\": ")); },
     {"it is not valid JSON"}, 1},
    {"HostMissing",
     [](const fs::path& home) { Write(home / kVivaldiHosts, Manifest(kOrigin, "/nonexistent/velmor-host")); },
     {"/nonexistent/velmor-host is missing or not executable"}, 1},
    {"HostSilent", [](const fs::path& home) { Write(home / kVivaldiHosts, Manifest(kOrigin, "/bin/true")); },
     {"the host /bin/true does not answer: "}, 1},
    {"ExtensionMissing",
     [](const fs::path& home) {
       InstallHost(home);
       Write(home / ".config/vivaldi/Default/Preferences", std::string(R"({"extensions": {}})"));
     },
     {"starts and answers", "FAIL the extension is not installed in any profile"}, 1},
    {"ExtensionOff",
     [](const fs::path& home) {
       InstallHost(home);
       WriteExtensionPrefs(home, R"({"disable_reasons": [1], "path": "x"})");
     },
     {"installed but turned off (profile Default)"}, 1},
    {"Flatpak",
     [](const fs::path& home) {
       InstallHost(home);
       WriteExtensionPrefs(home, R"({"disable_reasons": [], "path": "x"})");
       fs::create_directories(home / ".local/share/flatpak/app/com.vivaldi.Vivaldi");
     },
     {"FAIL the Flatpak com.vivaldi.Vivaldi cannot start host programs"}, 1},
    {"AllInPlace",
     [](const fs::path& home) {
       InstallHost(home);
       WriteExtensionPrefs(home, R"({"disable_reasons": [], "path": "x"})");
     },
     {"ok   host manifest", "names our extension", "starts and answers",
      "ok   the extension is installed and enabled (profile Default)", "in place."},
     0},
};

class Doctor : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("LANGUAGE");
    ::setenv("LANG", "C.UTF-8", 1);
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    fs::create_directories(home_.path() / ".config/vivaldi");
    pki::RegisterModule(VELMOR_BINARY);
  }
  pki::TempDataHome home_;
};

TEST_P(Doctor, ReportsTheSetUp) {
  GetParam().setUp(home_.path());
  const pki::CommandResult r = pki::Run(Velmor("doctor --browser vivaldi"));
  for (const std::string& text : GetParam().expected) EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
  EXPECT_EQ(r.status, GetParam().status) << r.output;
}

INSTANTIATE_TEST_SUITE_P(MadeUp, Doctor, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

// The language follows the locale; the mending commands stay as they are typed.
TEST_F(Doctor, SpeaksTheUsersLanguage) {
  const pki::CommandResult r = pki::Run("LANG=zh_CN.UTF-8 " + Velmor("doctor --browser vivaldi"));
  EXPECT_NE(r.output.find("在此浏览器读取的位置没有宿主清单"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("velmor install-browser-host --browser vivaldi"), std::string::npos) << r.output;
  const pki::CommandResult english = pki::Run("LANG=zh_CN.UTF-8 LANGUAGE=en " + Velmor("doctor --browser vivaldi"));
  EXPECT_NE(english.output.find("no host manifest"), std::string::npos) << english.output;
}

// A package's files, written from the browser table under a staging folder, are what doctor
// looks for there: Debian's Firefox folder for the deb, Fedora's lib64 one for the rpm.
TEST_F(Doctor, FindsAPackagesSystemFiles) {
  for (const char* layout : {"deb", "rpm"}) {
    const fs::path root = home_.path() / layout;
    const pki::CommandResult made = pki::Run(Velmor(std::string("install-browser-host --host ") + VELMOR_HOST_BINARY +
                                                    " --system-root '" + root.string() + "' --layout " + layout +
                                                    " --crx /usr/share/velmor/velmor.crx --extension-version 2.0.0"));
    ASSERT_EQ(made.status, 0) << made.output;
    const bool rpm = std::string(layout) == "rpm";
    EXPECT_EQ(fs::exists(root / "usr/lib64/mozilla/native-messaging-hosts/org.velmor.host.json"), rpm);
    EXPECT_EQ(fs::exists(root / "usr/lib/mozilla/native-messaging-hosts/org.velmor.host.json"), !rpm);
    for (const char* dir : {"etc/opt/chrome", "etc/chromium", "etc/opt/edge"}) {
      EXPECT_TRUE(fs::exists(root / dir / "native-messaging-hosts/org.velmor.host.json")) << dir;
    }
    const pki::CommandResult r =
        pki::Run(Velmor("doctor --browser firefox --browser chromium --system-root '" + root.string() + "'"));
    if (r.output.find("Firefox (") != std::string::npos) {
      EXPECT_NE(r.output.find(std::string(rpm ? "usr/lib64/" : "usr/lib/") + "mozilla/native-messaging-hosts/org.velmor.host.json names our extension"),
                std::string::npos) << r.output;
    }
    if (r.output.find("Chromium (") != std::string::npos) {
      EXPECT_NE(r.output.find("etc/chromium/native-messaging-hosts/org.velmor.host.json names our extension"),
                std::string::npos) << r.output;
    }
  }
}

}  // namespace
