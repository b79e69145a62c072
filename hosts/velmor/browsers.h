// The browsers velmor serves and where each looks for our files: one table for
// `velmor install-browser-host`, `velmor doctor` and the packages (whose system files the build
// writes with `install-browser-host --system-root`).
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::host {

inline constexpr char kHostName[] = "org.velmor.host";
// The extension's identities: Chromium-family browsers derive its ID from the public key in the
// extension's manifest (packaging/extension-key.pem holds the private half, which signs the
// packed extension); Firefox takes the ID the manifest declares.
inline constexpr char kChromiumExtensionId[] = "nfmifenlhpaglgpgnjmepjnnmcllmfpj";
inline constexpr char kFirefoxExtensionId[] = "extension@velmor";

enum class Family { kChromium, kFirefox };

struct BrowserInfo {
  std::string_view id;     // "chromium", as --browser names it
  std::string_view label;  // "Chromium"
  Family family;
  // The per-user profile folder: under $XDG_CONFIG_HOME (~/.config) for the Chromium family,
  // under $HOME for Firefox. Its native-host manifests are in NativeMessagingHosts (Chromium)
  // or native-messaging-hosts (Firefox) inside it.
  std::string_view userFolder;
  // The folders the browser reads host manifests from for every user; empty: none known.
  std::span<const std::string_view> systemHostDirs;
  // The folder of external-extension files ("<id>.json" naming a packed .crx); empty: none.
  std::string_view externalExtensionsDir;
  // Programs that tell the browser is installed (absolute, or looked up on PATH).
  std::span<const std::string_view> programs;
  std::string_view snapName;     // the snap that packages the browser, empty: none
  std::string_view flatpakId;    // the Flatpak application, empty: none
};

// Browsers: every browser velmor knows, in the order it reports them.
std::span<const BrowserInfo> Browsers();
// FindBrowser: the entry with `id`; null when there is none.
const BrowserInfo* FindBrowser(std::string_view id);

// Where one user's files are: HOME and XDG_CONFIG_HOME (taken from the environment by Here()).
struct UserPlaces {
  std::filesystem::path home;
  std::filesystem::path config;
  static UserPlaces Here();
};
// UserHostDir: the folder of the user's host manifests for `browser`; empty without a home.
std::filesystem::path UserHostDir(const BrowserInfo& browser, const UserPlaces& places);
// UserProfileDir: the browser's profile folder for the user (~/.config/chromium, ~/.mozilla).
std::filesystem::path UserProfileDir(const BrowserInfo& browser, const UserPlaces& places);

// FindProgram: the first of `programs` that is an executable file (names without a slash are
// looked up on PATH); empty when none is.
std::string FindProgram(std::span<const std::string_view> programs);
// IsInstalled: the browser's program is there, or the user has its profile folder.
bool IsInstalled(const BrowserInfo& browser, const UserPlaces& places);

// HostManifest: the native-host manifest text for `family`, naming `hostPath`.
std::string HostManifest(Family family, const std::string& hostPath);
// ExternalExtension: the external-extension file that points a Chromium-family browser at the
// packed extension `crxPath` of `version`.
std::string ExternalExtension(const std::string& crxPath, const std::string& version);

// WriteReplacing: `text` as the file `path`, whole or not at all (written beside it, then
// moved into place), mode 0644, its folders made; false with `why` set on failure.
bool WriteReplacing(const std::filesystem::path& path, const std::string& text, std::string& why);

}  // namespace velmor::host
