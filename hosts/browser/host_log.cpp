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

// A log kept beyond this size is moved to host.log.1 when the next host starts.
constexpr off_t kMaxLogBytes = 1 << 20;
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
  const std::string path = Path();
  if (path.empty()) return;
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(dir, ec);
  ::chmod(dir.c_str(), 0700);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size > kMaxLogBytes) {
    std::filesystem::rename(path, path + ".1", ec);
  }
  fd_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
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
}

void HostLog::Request(const Session::Asked& asked, std::size_t bytes) {
  const std::string& op = asked.op;
  const bool known = op == "put" || op == "get" || op == "call" || op == "release";
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
    // An error result names only codes and platform error numbers; any other result is data.
    if (result.rfind("E:", 0) == 0) {
      what = "result " + result;
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
