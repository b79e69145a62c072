#include "hosts/browser/host_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace velmor::host {
namespace {

// A log that passes this size is moved to host.log.1 (replacing an older one), by the host that
// writes past it or by the next host to start.
constexpr off_t kMaxLogBytes = 1 << 20;
// An error result is logged by its code alone ("E:0003"): what follows a code may be the
// platform's error numbers, or (Copyright holds any text) whatever the page wrote.
constexpr std::size_t kCodeChars = 6;
constexpr std::size_t kMaxEntryChars = 200;

std::string StateDir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/velmor";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/velmor";
  return {};
}

// Printable: `text` as one line of printable ASCII, cut at kMaxEntryChars; a page's text may
// reach the log only through a member name, and must not forge entries.
std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (out.size() >= kMaxEntryChars) {
      out += "...";
      break;
    }
    out.push_back(std::isprint(static_cast<unsigned char>(c)) ? c : '?');
  }
  return out;
}

// A member name as the log shows it: the names of the interface are short identifiers; anything
// else is only counted.
std::string MemberName(const std::string& name) {
  if (name.empty()) return "-";
  if (name.size() > 32) return "<other>";
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return "<other>";
  }
  return name;
}

}  // namespace

std::string HostLog::Path() {
  const std::string dir = StateDir();
  return dir.empty() ? std::string() : dir + "/host.log";
}

HostLog::HostLog() {
  path_ = Path();
  if (path_.empty()) return;
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::path(path_).parent_path();
  std::filesystem::create_directories(dir, ec);
  ::chmod(dir.c_str(), 0700);
  Open();
  RotateIfFull();
}

void HostLog::Open() {
  fd_ = UniqueFd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

// RotateIfFull: moves a log past kMaxLogBytes aside and starts a new one. Hosts run side by side
// on one log: the one that finds the file still its own renames it; one whose file was moved
// away by another only opens the new one.
void HostLog::RotateIfFull() {
  struct stat mine {};
  if (!fd_ || ::fstat(fd_.get(), &mine) != 0 || mine.st_size <= kMaxLogBytes) return;
  struct stat named {};
  if (::stat(path_.c_str(), &named) == 0 && named.st_dev == mine.st_dev && named.st_ino == mine.st_ino) {
    ::rename(path_.c_str(), (path_ + ".1").c_str());
  }
  Open();
}

HostLog::~HostLog() = default;

void HostLog::Line(std::string_view text) {
  if (!fd_) return;
  char stamp[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  const std::string line =
      std::string(stamp) + " [" + std::to_string(::getpid()) + "] " + Printable(text) + "\n";
  // One write per entry: with O_APPEND, entries of hosts running side by side never interleave.
  [[maybe_unused]] const ssize_t n = ::write(fd_.get(), line.data(), line.size());
  RotateIfFull();
}

void HostLog::Request(const Session::Asked& asked, std::size_t bytes) {
  const std::string& op = asked.op;
  const bool known = op == "put" || op == "get" || op == "call" || op == "release" ||
                     op == "certificate" || op == "file";
  Line("request " + (known ? op : op.empty() ? "-" : "<other>") + " " + MemberName(asked.name) +
       ", " + std::to_string(bytes) + " bytes");
}

void HostLog::Answer(const Json& answer, std::size_t messages) {
  std::string what;
  if (answer.contains("error")) {
    // Only the kind of failure: the detail after it may quote what the page sent.
    const std::string error = answer["error"].is_string() ? answer["error"].get<std::string>() : "";
    what = "error: " + error.substr(0, error.find(": "));
  } else if (answer.contains("result") && answer["result"].is_string()) {
    const std::string& result = answer["result"].get_ref<const std::string&>();
    // Of an error result only its code; any other result is data.
    if (result.rfind("E:", 0) == 0) {
      what = "result " + Printable(result.substr(0, kCodeChars));
    } else {
      what = "result of " + std::to_string(result.size()) + " bytes";
    }
  } else {
    what = "ok";
  }
  if (messages > 1) what += " in " + std::to_string(messages) + " chunks";
  Line(what);
}

}  // namespace velmor::host
