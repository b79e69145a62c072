#include "hosts/velmor/browsers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

namespace velmor::host {
namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

// Where each browser looks. The Chromium family reads <profile>/NativeMessagingHosts per user;
// the system folders are the ones each vendor's Linux build was made with. Opera documents only
// Chrome's places; its Linux builds read ~/.config/opera/NativeMessagingHosts, and Chrome's
// system folder serves it as well. Brave and Vivaldi are reached per user.
constexpr std::array kChromeSystem = {"/etc/opt/chrome/native-messaging-hosts"sv};
constexpr std::array kChromiumSystem = {"/etc/chromium/native-messaging-hosts"sv};
constexpr std::array kEdgeSystem = {"/etc/opt/edge/native-messaging-hosts"sv};
// Firefox reads both; a package writes the one of its distribution (lib on Debian, lib64 on
// Fedora). The snap's desktop portal looks in the same system folders.
constexpr std::array kFirefoxSystem = {"/usr/lib/mozilla/native-messaging-hosts"sv,
                                       "/usr/lib64/mozilla/native-messaging-hosts"sv};

constexpr std::array kChromePrograms = {"google-chrome"sv, "google-chrome-stable"sv,
                                        "/opt/google/chrome/chrome"sv};
constexpr std::array kChromiumPrograms = {"/usr/lib/chromium/chromium"sv, "chromium"sv,
                                          "chromium-browser"sv};
constexpr std::array kEdgePrograms = {"microsoft-edge"sv, "microsoft-edge-stable"sv,
                                      "/opt/microsoft/msedge/msedge"sv};
constexpr std::array kBravePrograms = {"brave-browser"sv, "brave"sv, "/opt/brave.com/brave/brave"sv};
constexpr std::array kVivaldiPrograms = {"vivaldi"sv, "vivaldi-stable"sv, "/opt/vivaldi/vivaldi"sv};
constexpr std::array kOperaPrograms = {"opera"sv, "/usr/lib/x86_64-linux-gnu/opera/opera"sv};
constexpr std::array kFirefoxPrograms = {"firefox-esr"sv, "firefox"sv, "/usr/lib/firefox-esr/firefox-esr"sv,
                                         "/usr/lib64/firefox/firefox"sv, "/usr/lib/firefox/firefox"sv};

const std::array kBrowsers = {
    BrowserInfo{"chrome", "Chrome", Family::kChromium, "google-chrome", kChromeSystem,
                "/usr/share/google-chrome/extensions", kChromePrograms, "", "com.google.Chrome"},
    BrowserInfo{"chromium", "Chromium", Family::kChromium, "chromium", kChromiumSystem,
                "/usr/share/chromium/extensions", kChromiumPrograms, "chromium", "org.chromium.Chromium"},
    BrowserInfo{"edge", "Edge", Family::kChromium, "microsoft-edge", kEdgeSystem,
                "/usr/share/microsoft-edge/extensions", kEdgePrograms, "", "com.microsoft.Edge"},
    BrowserInfo{"brave", "Brave", Family::kChromium, "BraveSoftware/Brave-Browser", {}, "",
                kBravePrograms, "brave", "com.brave.Browser"},
    BrowserInfo{"vivaldi", "Vivaldi", Family::kChromium, "vivaldi", {}, "", kVivaldiPrograms, "",
                "com.vivaldi.Vivaldi"},
    BrowserInfo{"opera", "Opera", Family::kChromium, "opera", {}, "", kOperaPrograms, "opera",
                "com.opera.Opera"},
    BrowserInfo{"firefox", "Firefox", Family::kFirefox, ".mozilla", kFirefoxSystem, "",
                kFirefoxPrograms, "firefox", "org.mozilla.firefox"},
};

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

fs::path AbsoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? fs::path(value) : fs::path();
}

}  // namespace

std::span<const BrowserInfo> Browsers() { return kBrowsers; }

const BrowserInfo* FindBrowser(std::string_view id) {
  for (const BrowserInfo& browser : kBrowsers) {
    if (browser.id == id) return &browser;
  }
  return nullptr;
}

UserPlaces UserPlaces::Here() {
  UserPlaces places;
  places.home = AbsoluteEnv("HOME");
  places.config = AbsoluteEnv("XDG_CONFIG_HOME");
  if (places.config.empty() && !places.home.empty()) places.config = places.home / ".config";
  return places;
}

fs::path UserProfileDir(const BrowserInfo& browser, const UserPlaces& places) {
  const fs::path& base = browser.family == Family::kFirefox ? places.home : places.config;
  return base.empty() ? fs::path() : base / browser.userFolder;
}

fs::path UserHostDir(const BrowserInfo& browser, const UserPlaces& places) {
  const fs::path profile = UserProfileDir(browser, places);
  if (profile.empty()) return {};
  return profile / (browser.family == Family::kFirefox ? "native-messaging-hosts" : "NativeMessagingHosts");
}

std::string FindProgram(std::span<const std::string_view> programs) {
  const char* path = std::getenv("PATH");
  const std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::string_view program : programs) {
    if (program.find('/') != std::string_view::npos) {
      if (IsExecutableFile(std::string(program))) return std::string(program);
      continue;
    }
    for (std::size_t start = 0; start <= dirs.size();) {
      const std::size_t end = std::min(dirs.find(':', start), dirs.size());
      const std::string_view dir = dirs.substr(start, end - start);
      if (!dir.empty()) {
        const std::string candidate = std::string(dir) + "/" + std::string(program);
        if (IsExecutableFile(candidate)) return candidate;
      }
      start = end + 1;
    }
  }
  return {};
}

bool IsInstalled(const BrowserInfo& browser, const UserPlaces& places) {
  if (!FindProgram(browser.programs).empty()) return true;
  std::error_code ec;
  const fs::path profile = UserProfileDir(browser, places);
  return !profile.empty() && fs::is_directory(profile, ec);
}

std::string HostManifest(Family family, const std::string& hostPath) {
  nlohmann::ordered_json manifest = {{"name", kHostName},
                                     {"description", "velmor: signing and encryption for internet-bank pages"},
                                     {"path", hostPath},
                                     {"type", "stdio"}};
  if (family == Family::kChromium) {
    manifest["allowed_origins"] =
        nlohmann::ordered_json::array({std::string("chrome-extension://") + kChromiumExtensionId + "/"});
  } else {
    manifest["allowed_extensions"] = nlohmann::ordered_json::array({kFirefoxExtensionId});
  }
  return manifest.dump(2) + "\n";
}

std::string ExternalExtension(const std::string& crxPath, const std::string& version) {
  const nlohmann::ordered_json file = {{"external_crx", crxPath}, {"external_version", version}};
  return file.dump(2) + "\n";
}

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

}  // namespace velmor::host
