// velmor doctor: whether a bank's page can reach velmor in each browser of this user, and what
// else signing needs (the control's registration, the store and its master key, the Secret
// Service, tokens, the PIN dialog). Each problem comes with the command that mends it; the exit
// status is 1 when something a page needs is missing.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/session/session.h"
#include "hosts/session/unique_fd.h"
#include "hosts/velmor/browsers.h"
#include "hosts/velmor/commands.h"
#include "platform/activation/activation.h"
#include "platform/crypt/crypt.h"
#include "platform/l10n/catalog.h"

extern char** environ;

// Two of the platform's answers that only its internal headers declare (and those bring
// OpenSSL's headers with them, which nothing above the platform includes).
namespace velmor::crypt::detail {
std::string DatabasePath();
bool SecretServiceAnswers();
}  // namespace velmor::crypt::detail

namespace velmor::host {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using l10n::Format;
using l10n::Tr;

// How long the host may take to start and answer one request (it loads nothing for it).
constexpr int kHostAnswerMs = 5'000;
// A manifest or profile file larger than this is not read.
constexpr std::uintmax_t kMaxJsonBytes = 16 << 20;

enum class Level { kOk, kNote, kWarn, kFail };

class Report {
 public:
  void Heading(const std::string& text) { std::cout << text << "\n"; }
  // Line: one finding; `fix` is the command (or step) that mends it.
  void Line(Level level, const std::string& text, const std::string& fix = {}) {
    static const char* const kMarks[] = {"ok  ", "--  ", "warn", "FAIL"};
    std::cout << "  " << kMarks[static_cast<int>(level)] << " " << text << "\n";
    if (!fix.empty()) std::cout << "       " << Tr("fix:") << " " << fix << "\n";
    if (level == Level::kFail) failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};

std::optional<Json> ReadJson(const fs::path& path) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxJsonBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  Json json = Json::parse(in, nullptr, false);
  if (json.is_discarded()) return std::nullopt;
  return json;
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void SetCloexec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

// AskHost: starts `host` as `browser` would (its arguments included), sends one request and
// waits for an answer; true when a well-framed JSON object came back. `why` says what failed.
bool AskHost(const std::string& host, const BrowserInfo& browser, const fs::path& manifest, std::string& why) {
  int toHost[2];
  int fromHost[2];
  if (::pipe(toHost) != 0) return why = std::strerror(errno), false;
  UniqueFd toRead(toHost[0]), toWrite(toHost[1]);
  if (::pipe(fromHost) != 0) return why = std::strerror(errno), false;
  UniqueFd fromRead(fromHost[0]), fromWrite(fromHost[1]);
  SetCloexec(toWrite.get());
  SetCloexec(fromRead.get());
  // Chromium passes the calling extension's origin; Firefox the manifest's path and the ID.
  std::vector<std::string> args = {host};
  if (browser.family == Family::kChromium) {
    args.push_back(std::string("chrome-extension://") + kChromiumExtensionId + "/");
  } else {
    args.push_back(manifest.string());
    args.push_back(kFirefoxExtensionId);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromWrite.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, host.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return why = std::strerror(spawned), false;
  toRead.reset();
  fromWrite.reset();

  const std::string request = R"({"id":"doctor","op":"ping"})";
  const auto length = static_cast<std::uint32_t>(request.size());
  std::string framed(reinterpret_cast<const char*>(&length), 4);
  framed += request;
  ::signal(SIGPIPE, SIG_IGN);
  const bool sent = ::write(toWrite.get(), framed.data(), framed.size()) == static_cast<ssize_t>(framed.size());
  toWrite.reset();  // the host ends at the end of its input

  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHostAnswerMs);
  bool timedOut = false;
  while (sent) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fromRead.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fromRead.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
    if (answer.size() > 1 << 20) break;
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!sent) return why = Tr("it did not read its input"), false;
  if (timedOut) return why = Format(Tr("no answer within {0} ms"), {std::to_string(kHostAnswerMs)}), false;
  if (answer.size() < 4) {
    if (WIFSIGNALED(status)) return why = Format(Tr("it ended with signal {0}"), {std::to_string(WTERMSIG(status))}), false;
    return why = Format(Tr("it ended with status {0} without answering"), {std::to_string(WEXITSTATUS(status))}), false;
  }
  std::uint32_t declared = 0;
  std::memcpy(&declared, answer.data(), 4);
  if (declared != answer.size() - 4) return why = Tr("its answer is not framed as the browsers frame messages"), false;
  const Json parsed = Json::parse(answer.substr(4), nullptr, false);
  if (!parsed.is_object()) return why = Tr("its answer is not a JSON object"), false;
  return true;
}

// ManifestProblem: what is wrong with the host manifest `json` for `browser`; empty when
// nothing is.
std::string ManifestProblem(const Json& json, const BrowserInfo& browser) {
  if (!json.is_object()) return Tr("it is not a JSON object");
  if (json.value("name", "") != kHostName) return Format(Tr("it does not name the host {0}"), {kHostName});
  if (json.value("type", "") != "stdio") return Tr("its type is not \"stdio\"");
  if (browser.family == Family::kChromium) {
    const std::string origin = std::string("chrome-extension://") + kChromiumExtensionId + "/";
    const Json origins = json.value("allowed_origins", Json::array());
    if (!origins.is_array() || std::find(origins.begin(), origins.end(), origin) == origins.end()) {
      return Format(Tr("it does not allow our extension ({0})"), {origin});
    }
  } else {
    const Json ids = json.value("allowed_extensions", Json::array());
    if (!ids.is_array() || std::find(ids.begin(), ids.end(), kFirefoxExtensionId) == ids.end()) {
      return Format(Tr("it does not allow our extension ({0})"), {kFirefoxExtensionId});
    }
  }
  return {};
}

// ExtensionState: where the extension is seen installed for the user. Chromium-family
// profiles record it in (Secure) Preferences, Firefox's in extensions.json.
struct ExtensionState {
  bool profiles = false;  // the browser has at least one profile
  std::string enabledIn;  // a profile with the extension enabled
  std::string disabledIn; // a profile with it installed but turned off
};

ExtensionState FindExtension(const BrowserInfo& browser, const fs::path& profileDir) {
  ExtensionState state;
  std::error_code ec;
  std::vector<fs::path> profiles;
  const fs::path root = browser.family == Family::kFirefox ? profileDir / "firefox" : profileDir;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) profiles.push_back(it->path());
  }
  for (const fs::path& profile : profiles) {
    if (browser.family == Family::kFirefox) {
      const auto json = ReadJson(profile / "extensions.json");
      if (!Exists(profile / "prefs.js") && !json) continue;
      state.profiles = true;
      if (!json || !json->contains("addons") || !(*json)["addons"].is_array()) continue;
      for (const Json& addon : (*json)["addons"]) {
        if (!addon.is_object() || addon.value("id", "") != kFirefoxExtensionId) continue;
        (addon.value("active", false) ? state.enabledIn : state.disabledIn) = profile.filename().string();
      }
      continue;
    }
    for (const char* file : {"Secure Preferences", "Preferences"}) {
      const auto json = ReadJson(profile / file);
      if (!json || !json->is_object()) continue;
      state.profiles = true;
      const Json::json_pointer at("/extensions/settings/" + std::string(kChromiumExtensionId));
      if (!json->contains(at)) continue;
      const Json& entry = (*json)[at];
      const bool off = (entry.contains("disable_reasons") && !entry["disable_reasons"].empty() &&
                        entry["disable_reasons"] != Json(0)) ||
                       entry.value("state", 1) == 0;
      (off ? state.disabledIn : state.enabledIn) = profile.filename().string();
    }
  }
  return state;
}

std::string SnapOf(const BrowserInfo& browser) {
  if (browser.snapName.empty()) return {};
  const std::string snap = "/snap/bin/" + std::string(browser.snapName);
  return Exists(snap) ? snap : std::string();
}

std::string FlatpakOf(const BrowserInfo& browser, const UserPlaces& user) {
  if (browser.flatpakId.empty()) return {};
  // Installed for the machine, or for the user alone.
  std::vector<fs::path> bases = {"/var/lib/flatpak/app"};
  if (!user.home.empty()) bases.push_back(user.home / ".local/share/flatpak/app");
  for (const fs::path& base : bases) {
    if (Exists(base / browser.flatpakId)) return (base / browser.flatpakId).string();
  }
  return {};
}

struct Options {
  std::vector<std::string> browsers;
  std::string systemRoot;  // system folders looked up under this folder (a package's staging)
};

fs::path UnderRoot(const Options& options, std::string_view dir) {
  return options.systemRoot.empty() ? fs::path(dir) : fs::path(options.systemRoot) / fs::path(dir).relative_path();
}

// CheckBrowser: one browser's findings; false when it is neither installed nor packaged as a
// snap or a Flatpak.
bool CheckBrowser(Report& report, const BrowserInfo& browser, const UserPlaces& user, const Options& options) {
  const std::string program = FindProgram(browser.programs);
  const std::string snap = SnapOf(browser);
  const std::string flatpak = FlatpakOf(browser, user);
  const fs::path profile = UserProfileDir(browser, user);
  std::error_code ec;
  const bool hasProfile = !profile.empty() && fs::is_directory(profile, ec);
  if (program.empty() && snap.empty() && flatpak.empty() && !hasProfile) return false;
  const std::string label(browser.label);
  report.Heading(Format("{0} ({1})", {label, !program.empty() ? program
                                             : !snap.empty()  ? snap
                                             : !flatpak.empty() ? flatpak
                                                                : Tr("a profile, no program found")}));
  if (!flatpak.empty()) {
    report.Line(program.empty() ? Level::kFail : Level::kWarn,
                Format(Tr("the Flatpak {0} cannot start host programs: Flatpak gives its browsers no way "
                          "to reach velmor-host"),
                       {std::string(browser.flatpakId)}),
                Format(Tr("use the distribution's package of {0} for the bank's pages"), {label}));
  }
  if (!snap.empty()) {
    if (browser.family == Family::kFirefox) {
      report.Line(Level::kNote,
                  Tr("the snap reaches velmor-host through the desktop portal, from the system-wide manifest; "
                     "allow it once when the desktop asks"));
    } else {
      report.Line(program.empty() ? Level::kFail : Level::kWarn,
                  Format(Tr("the snap {0} cannot start host programs"), {std::string(browser.snapName)}),
                  Format(Tr("use the distribution's package of {0} for the bank's pages"), {label}));
    }
  }

  // The manifests: the user's own and the system's, wherever the browser reads one.
  std::vector<fs::path> places = {UserHostDir(browser, user)};
  for (std::string_view dir : browser.systemHostDirs) places.push_back(UnderRoot(options, dir));
  const std::string fix = "velmor install-browser-host --browser " + std::string(browser.id);
  bool anyManifest = false;
  for (const fs::path& dir : places) {
    const fs::path manifest = dir / (std::string(kHostName) + ".json");
    if (dir.empty() || !Exists(manifest)) continue;
    anyManifest = true;
    const auto json = ReadJson(manifest);
    const std::string problem = json ? ManifestProblem(*json, browser) : Tr("it is not valid JSON");
    if (!problem.empty()) {
      report.Line(Level::kFail, Format(Tr("host manifest {0}: {1}"), {manifest.string(), problem}), fix);
      continue;
    }
    report.Line(Level::kOk, Format(Tr("host manifest {0} names our extension"), {manifest.string()}));
    const std::string host = json->value("path", "");
    std::string why;
    if (host.empty() || host.front() != '/' || !IsExecutable(host)) {
      report.Line(Level::kFail, Format(Tr("the host program {0} is missing or not executable"), {host}), fix);
    } else if (!AskHost(host, browser, manifest, why)) {
      report.Line(Level::kFail, Format(Tr("the host {0} does not answer: {1}"), {host, why}), fix);
    } else {
      report.Line(Level::kOk, Format(Tr("the host {0} starts and answers"), {host}));
    }
  }
  if (!anyManifest) report.Line(Level::kFail, Tr("no host manifest where this browser reads one"), fix);

  // The extension, as far as the profiles show it.
  const ExtensionState state = FindExtension(browser, profile);
  const bool external = !browser.externalExtensionsDir.empty() &&
                        Exists(UnderRoot(options, browser.externalExtensionsDir) /
                               (std::string(kChromiumExtensionId) + ".json"));
  const std::string installHint =
      browser.family == Family::kFirefox
          ? Tr("Firefox ESR installs it by the policy in /usr/share/velmor/firefox/policies.json, merged into /etc/firefox/policies/policies.json")
      : external ? Format(Tr("restart {0}: it installs the packed extension named in {1}"),
                          {label, UnderRoot(options, browser.externalExtensionsDir).string()})
                 : Format(Tr("in {0}'s extensions page turn on developer mode and load /usr/share/velmor/extension"),
                          {label});
  if (!state.enabledIn.empty()) {
    report.Line(Level::kOk, Format(Tr("the extension is installed and enabled (profile {0})"), {state.enabledIn}));
  } else if (!state.disabledIn.empty()) {
    report.Line(Level::kFail, Format(Tr("the extension is installed but turned off (profile {0})"), {state.disabledIn}),
                Format(Tr("turn it on in {0}'s extensions page"), {label}));
  } else if (state.profiles) {
    report.Line(Level::kFail, Tr("the extension is not installed in any profile"), installHint);
  } else {
    report.Line(Level::kNote, Tr("no profile yet: the extension cannot be seen until the browser has run once"),
                external ? std::string() : installHint);
  }
  return true;
}

void CheckVelmor(Report& report) {
  report.Heading("velmor");
  CLSID clsid{};
  if (SUCCEEDED(CLSIDFromProgID(u"VELMOR.VelmorCtrl.QVA", &clsid))) {
    report.Line(Level::kOk, Tr("the control VELMOR.VelmorCtrl.QVA is registered for this user"));
  } else if (const std::string module = InstalledModulePath(); !module.empty()) {
    report.Line(Level::kOk, Format(Tr("the control registers itself from {0} on first use"), {module}));
  } else {
    report.Line(Level::kFail, Tr("the control VELMOR.VelmorCtrl.QVA is not registered"), "velmor register");
  }

  const std::string store = crypt::detail::DatabasePath();
  if (store.empty()) {
    report.Line(Level::kFail, Tr("no store: HOME is not set"), "export HOME=...");
  } else if (!Exists(store)) {
    report.Line(Level::kWarn, Format(Tr("no store yet at {0}: no certificate to sign with"), {store}),
                "velmor certs import --store MY FILE.p12");
  } else {
    report.Line(Level::kOk, Format(Tr("the store is {0}"), {store}));
  }
  // Asking where the master key lives opens the store: not before there is one.
  crypt::KeyStorageInfo keys;
  if (store.empty() || !Exists(store)) {
    // Nothing sealed, nothing to tell.
  } else if (!crypt::DescribeKeyStorage(keys)) {
    report.Line(Level::kWarn, Tr("where the master key lives cannot be told"));
  } else if (!keys.sealed) {
    report.Line(Level::kNote, Tr("no private key sealed yet: the first goes under a master key in the Secret "
                                 "Service when one answers, else in a file beside the store"));
  } else if (keys.place == "keyring") {
    report.Line(Level::kOk, Format(Tr("the master key lives in the Secret Service (item \"{0}\")"), {keys.where}));
  } else {
    report.Line(Level::kOk, Format(Tr("the master key lives in the owner-only file {0}"), {keys.where}));
  }
  const bool secretService = crypt::detail::SecretServiceAnswers();
  if (secretService) {
    report.Line(Level::kOk, Tr("a Secret Service answers on the session bus"));
  } else {
    report.Line(keys.place == "keyring" ? Level::kFail : Level::kNote,
                Tr("no Secret Service answers on the session bus"),
                keys.place == "keyring" ? Tr("log in to the desktop session whose keyring holds the master key")
                                        : std::string());
  }

  std::vector<crypt::TokenModuleEntry> modules;
  if (!crypt::ListTokens(modules)) {
    report.Line(Level::kNote, Tr("p11-kit's module registry cannot be read: no smart cards or USB tokens"));
  } else if (modules.empty()) {
    report.Line(Level::kNote, Tr("no PKCS #11 module is registered with p11-kit: no smart cards or USB tokens"),
                "sudo apt-get install opensc");
  } else {
    std::string names;
    for (const auto& module : modules) names += (names.empty() ? "" : ", ") + module.name;
    report.Line(Level::kOk, Format(Tr("p11-kit's modules: {0}"), {names}));
  }
  const char* pcsc = std::getenv("PCSCLITE_CSOCK_NAME");
  const std::string socket = pcsc != nullptr && pcsc[0] != '\0' ? pcsc : "/run/pcscd/pcscd.comm";
  if (Exists(socket)) {
    report.Line(Level::kOk, Format(Tr("pcscd listens on {0}"), {socket}));
  } else {
    report.Line(Level::kNote, Tr("pcscd is not running: smart-card readers need it"),
                "sudo systemctl enable --now pcscd.socket");
  }
  if (const std::string dialog = crypt::PinDialogProgram(); !dialog.empty()) {
    report.Line(Level::kOk, Format(Tr("the PIN dialog is {0}"), {dialog}));
  } else {
    report.Line(Level::kWarn, Tr("no PIN dialog (pinentry): keys on tokens cannot be used"),
                "sudo apt-get install pinentry-gnome3");
  }
}

int Doctor(const Options& options) {
  Report report;
  const UserPlaces user = UserPlaces::Here();
  int found = 0;
  for (const BrowserInfo& browser : Browsers()) {
    if (!options.browsers.empty() &&
        std::find(options.browsers.begin(), options.browsers.end(), browser.id) == options.browsers.end()) {
      continue;
    }
    if (CheckBrowser(report, browser, user, options)) {
      ++found;
    } else {
      std::cout << Format(Tr("{0}: not installed"), {std::string(browser.label)}) << "\n";
    }
  }
  if (found == 0) {
    report.Heading(Tr("Browsers"));
    report.Line(Level::kFail, Tr("no browser found"), "sudo apt-get install chromium");
  }
  CheckVelmor(report);
  std::cout << (report.failed() ? Tr("Some of what a bank's page needs is missing: see FAIL above.")
                                : Tr("Everything a bank's page needs is in place."))
            << "\n";
  return report.failed() ? 1 : 0;
}

}  // namespace

void AddDoctorCommand(CLI::App& app, int& exitCode) {
  static Options options;
  auto* doctor = app.add_subcommand(
      "doctor", "Check that each browser found can reach velmor, and what signing needs; exits 1 when a "
                "page would miss something");
  doctor->add_option("--browser", options.browsers, "only these browsers");
  doctor->add_option("--system-root", options.systemRoot,
                     "look for the system-wide files under this folder (a package's files before install)");
  doctor->callback([&exitCode] { exitCode = Doctor(options); });
}

}  // namespace velmor::host
