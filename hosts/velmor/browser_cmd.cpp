// velmor install-browser-host / uninstall-browser-host: the manifests by which Chromium, Chrome
// and Firefox find velmor-host and know that only our extension may start it.
#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "hosts/session/session.h"
#include "hosts/velmor/commands.h"

namespace velmor::host {
namespace {

namespace fs = std::filesystem;

constexpr char kHostName[] = "org.velmor.host";
// The extension's identities: Chromium derives its ID from the public key in the extension's
// manifest; Firefox takes the ID the manifest declares.
constexpr char kChromiumOrigin[] = "chrome-extension://liflbgbdglcpalfkmnmeefdojclnkeik/";
constexpr char kFirefoxId[] = "extension@velmor";

enum class Browser { kChromium, kFirefox };

struct Target {
  std::string label;
  fs::path dir;
  Browser browser;
};

std::string ConfigHome() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) + "/.config" : std::string();
}

struct Places {
  std::string userDataDir, chromiumDir, chromeDir, firefoxDir;
  std::string host;
};

// Targets: the folders named on the command line, or else the user's own folders of the three
// browsers.
std::vector<Target> Targets(const Places& places) {
  std::vector<Target> targets;
  if (!places.userDataDir.empty()) {
    targets.push_back({"Chromium", fs::path(places.userDataDir) / "NativeMessagingHosts",
                       Browser::kChromium});
  }
  if (!places.chromiumDir.empty()) targets.push_back({"Chromium", places.chromiumDir, Browser::kChromium});
  if (!places.chromeDir.empty()) targets.push_back({"Chrome", places.chromeDir, Browser::kChromium});
  if (!places.firefoxDir.empty()) targets.push_back({"Firefox", places.firefoxDir, Browser::kFirefox});
  if (!targets.empty()) return targets;
  const std::string config = ConfigHome();
  const char* home = std::getenv("HOME");
  if (!config.empty()) {
    targets.push_back({"Chromium", fs::path(config) / "chromium/NativeMessagingHosts", Browser::kChromium});
    targets.push_back({"Chrome", fs::path(config) / "google-chrome/NativeMessagingHosts", Browser::kChromium});
  }
  if (home != nullptr && home[0] == '/') {
    targets.push_back({"Firefox", fs::path(home) / ".mozilla/native-messaging-hosts", Browser::kFirefox});
  }
  return targets;
}

std::string Manifest(Browser browser, const std::string& host) {
  Json manifest = {{"name", kHostName},
                   {"description", "velmor: signing and encryption for internet-bank pages"},
                   {"path", host},
                   {"type", "stdio"}};
  if (browser == Browser::kChromium) {
    manifest["allowed_origins"] = Json::array({kChromiumOrigin});
  } else {
    manifest["allowed_extensions"] = Json::array({kFirefoxId});
  }
  return manifest.dump(2) + "\n";
}

// WriteReplacing: `text` as the file `path`, whole or not at all (written beside it, then moved
// into place), readable by the browser.
bool WriteReplacing(const fs::path& path, const std::string& text, std::string& why) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec) {
    why = ec.message();
    return false;
  }
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      why = "cannot write " + temporary.string();
      fs::remove(temporary, ec);
      return false;
    }
  }
  ::chmod(temporary.c_str(), 0644);
  fs::rename(temporary, path, ec);
  if (ec) {
    why = ec.message();
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

int Install(const Places& places) {
  // An absolute --host is taken as it stands, so that a package can name where the host will be
  // installed; otherwise the host must be there now.
  const bool asGiven = !places.host.empty() && places.host.front() == '/';
  const std::string host =
      asGiven ? places.host
              : AbsolutePath(places.host.empty() ? AbsolutePath("/proc/self/exe") + "-host" : places.host);
  if (host.empty()) {
    std::cerr << "velmor: no host program at "
              << (places.host.empty() ? "velmor-host beside velmor" : places.host) << "\n";
    return 1;
  }
  int status = 0;
  for (const Target& target : Targets(places)) {
    const fs::path path = target.dir / (std::string(kHostName) + ".json");
    std::string why;
    if (WriteReplacing(path, Manifest(target.browser, host), why)) {
      std::cout << target.label << ": " << path.string() << " -> " << host << "\n";
    } else {
      std::cerr << "velmor: " << target.label << ": cannot write " << path.string() << ": " << why << "\n";
      status = 1;
    }
  }
  return status;
}

int Uninstall(const Places& places) {
  int status = 0;
  for (const Target& target : Targets(places)) {
    const fs::path path = target.dir / (std::string(kHostName) + ".json");
    std::error_code ec;
    if (fs::remove(path, ec)) {
      std::cout << target.label << ": removed " << path.string() << "\n";
    } else if (ec) {
      std::cerr << "velmor: " << target.label << ": cannot remove " << path.string() << ": "
                << ec.message() << "\n";
      status = 1;
    }
  }
  return status;
}

void AddPlaces(CLI::App* command, Places& places) {
  command->add_option("--user-data-dir", places.userDataDir,
                      "a Chromium user-data directory (its NativeMessagingHosts folder)");
  command->add_option("--chromium-dir", places.chromiumDir, "the folder of Chromium's host manifests");
  command->add_option("--chrome-dir", places.chromeDir, "the folder of Chrome's host manifests");
  command->add_option("--firefox-dir", places.firefoxDir, "the folder of Firefox's host manifests");
}

}  // namespace

void AddBrowserCommands(CLI::App& app, int& exitCode) {
  static Places install;
  auto* add = app.add_subcommand(
      "install-browser-host",
      "Let Chromium, Chrome and Firefox start velmor-host for the velmor extension (by default in "
      "the user's own folders of all three)");
  AddPlaces(add, install);
  add->add_option("--host", install.host, "the host program (default: velmor-host beside velmor)");
  add->callback([&exitCode] { exitCode = Install(install); });

  static Places uninstall;
  auto* remove = app.add_subcommand("uninstall-browser-host",
                                    "Remove the manifests that install-browser-host wrote");
  AddPlaces(remove, uninstall);
  remove->callback([&exitCode] { exitCode = Uninstall(uninstall); });
}

}  // namespace velmor::host
