// velmor install-browser-host / uninstall-browser-host: the manifests by which the browsers find
// velmor-host and know that only our extension may start it. For one user they go into the
// profile folder of every browser found; `--system-root` writes a package's system-wide files
// (manifests and the files that install the packed extension) from the same table.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "hosts/session/session.h"
#include "hosts/velmor/browsers.h"
#include "hosts/velmor/commands.h"

namespace velmor::host {
namespace {

namespace fs = std::filesystem;

struct Target {
  std::string label;
  fs::path dir;
  Family family;
};

struct Places {
  std::string userDataDir, chromiumDir, chromeDir, firefoxDir;
  std::vector<std::string> browsers;  // --browser
  bool all = false;
  std::string host;
  // A package's files: the root they are written under, its layout, the packed extension.
  std::string systemRoot, layout = "deb", crx, extensionVersion;
};

// Targets: the folders named on the command line; else the user's folders of the browsers named
// by --browser, of every browser with --all, or of every browser found.
std::vector<Target> Targets(const Places& places, bool removing, std::string& why) {
  std::vector<Target> targets;
  if (!places.userDataDir.empty()) {
    targets.push_back({"Chromium", fs::path(places.userDataDir) / "NativeMessagingHosts", Family::kChromium});
  }
  if (!places.chromiumDir.empty()) targets.push_back({"Chromium", places.chromiumDir, Family::kChromium});
  if (!places.chromeDir.empty()) targets.push_back({"Chrome", places.chromeDir, Family::kChromium});
  if (!places.firefoxDir.empty()) targets.push_back({"Firefox", places.firefoxDir, Family::kFirefox});
  if (!targets.empty()) return targets;
  const UserPlaces user = UserPlaces::Here();
  std::vector<const BrowserInfo*> chosen;
  for (const std::string& id : places.browsers) {
    const BrowserInfo* browser = FindBrowser(id);
    if (browser == nullptr) {
      why = "no browser named " + id;
      return {};
    }
    chosen.push_back(browser);
  }
  if (chosen.empty()) {
    for (const BrowserInfo& browser : Browsers()) {
      // Removing looks everywhere: a browser uninstalled since may have left our manifest.
      if (places.all || removing || IsInstalled(browser, user)) chosen.push_back(&browser);
    }
  }
  for (const BrowserInfo* browser : chosen) {
    const fs::path dir = UserHostDir(*browser, user);
    if (!dir.empty()) targets.push_back({std::string(browser->label), dir, browser->family});
  }
  if (targets.empty()) {
    why = user.home.empty() ? "HOME is not set" : "no browser found (name one with --browser, or use --all)";
  }
  return targets;
}

std::string HostPath(const Places& places) {
  // An absolute --host is taken as it stands, so that a package can name where the host will
  // be installed; otherwise the host must be there now.
  if (!places.host.empty() && places.host.front() == '/') return places.host;
  return AbsolutePath(places.host.empty() ? AbsolutePath("/proc/self/exe") + "-host" : places.host);
}

// InstallSystem: every browser's system-wide manifests and, given the packed extension, the
// files by which the Chromium family installs it, under `root` as a package lays them out.
int InstallSystem(const Places& places, const std::string& host) {
  const fs::path root = places.systemRoot;
  // Debian's Firefox reads /usr/lib/mozilla, Fedora's /usr/lib64/mozilla: each package carries
  // its own, so neither has a folder the other's lint rules refuse.
  const std::string skip = places.layout == "rpm" ? "/usr/lib/" : "/usr/lib64/";
  int status = 0;
  auto write = [&](const std::string& label, const fs::path& file, const std::string& text) {
    std::string why;
    if (WriteReplacing(root / file.relative_path(), text, why)) {
      std::cout << label << ": " << file.string() << "\n";
    } else {
      std::cerr << "velmor: " << label << ": cannot write " << (root / file.relative_path()).string() << ": "
                << why << "\n";
      status = 1;
    }
  };
  for (const BrowserInfo& browser : Browsers()) {
    for (std::string_view dir : browser.systemHostDirs) {
      if (dir.starts_with(skip)) continue;
      write(std::string(browser.label), fs::path(dir) / (std::string(kHostName) + ".json"),
            HostManifest(browser.family, host));
    }
    if (!places.crx.empty() && !browser.externalExtensionsDir.empty()) {
      write(std::string(browser.label),
            fs::path(browser.externalExtensionsDir) / (std::string(kChromiumExtensionId) + ".json"),
            ExternalExtension(places.crx, places.extensionVersion));
    }
  }
  return status;
}

int Install(const Places& places) {
  const std::string host = HostPath(places);
  if (host.empty()) {
    std::cerr << "velmor: no host program at "
              << (places.host.empty() ? "velmor-host beside velmor" : places.host) << "\n";
    return 1;
  }
  if (!places.systemRoot.empty()) return InstallSystem(places, host);
  std::string why;
  const std::vector<Target> targets = Targets(places, false, why);
  if (targets.empty()) {
    std::cerr << "velmor: " << why << "\n";
    return 1;
  }
  int status = 0;
  for (const Target& target : targets) {
    const fs::path path = target.dir / (std::string(kHostName) + ".json");
    if (WriteReplacing(path, HostManifest(target.family, host), why)) {
      std::cout << target.label << ": " << path.string() << " -> " << host << "\n";
    } else {
      std::cerr << "velmor: " << target.label << ": cannot write " << path.string() << ": " << why << "\n";
      status = 1;
    }
  }
  return status;
}

int Uninstall(const Places& places) {
  std::string why;
  const std::vector<Target> targets = Targets(places, true, why);
  if (targets.empty()) {
    std::cerr << "velmor: " << why << "\n";
    return 1;
  }
  int status = 0;
  for (const Target& target : targets) {
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

std::string BrowserIds() {
  std::string ids;
  for (const BrowserInfo& browser : Browsers()) ids += (ids.empty() ? "" : ", ") + std::string(browser.id);
  return ids;
}

void AddPlaces(CLI::App* command, Places& places) {
  command->add_option("--browser", places.browsers, "only these browsers (" + BrowserIds() + ")");
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
      "Let the browsers start velmor-host for the velmor extension (by default in the user's own "
      "folders of every browser found: " + BrowserIds() + ")");
  AddPlaces(add, install);
  add->add_flag("--all", install.all, "every browser velmor knows, found or not");
  add->add_option("--host", install.host, "the host program (default: velmor-host beside velmor)");
  add->add_option("--system-root", install.systemRoot,
                  "write the system-wide manifests of every browser under this folder, as a package "
                  "installs them");
  add->add_option("--layout", install.layout, "with --system-root: the distribution's layout")
      ->check(CLI::IsMember({"deb", "rpm"}));
  add->add_option("--crx", install.crx,
                  "with --system-root: the installed packed extension the Chromium family installs");
  add->add_option("--extension-version", install.extensionVersion, "with --crx: its version");
  add->callback([&exitCode] { exitCode = Install(install); });

  static Places uninstall;
  auto* remove = app.add_subcommand("uninstall-browser-host",
                                    "Remove the manifests that install-browser-host wrote");
  AddPlaces(remove, uninstall);
  remove->callback([&exitCode] { exitCode = Uninstall(uninstall); });
}

}  // namespace velmor::host
