// Password sources: pass:, env:, file:, fd:, stdin, and the terminal prompt.
#include "hosts/velmor/passin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hosts/session/unique_fd.h"
#include "platform/com/com.h"

namespace velmor::host {

Secret::Secret(std::string&& text) : text_(text.data(), text.size()) { Wipe(text); }

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::optional<int> DescriptorNumber(const std::string& digits) {
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::atoi(digits.c_str());
}

// ReadFirstLine reads `fd` a byte at a time up to the first line feed, so that nothing after
// the password is consumed from a descriptor that others share. A carriage return before the
// line feed is dropped as well.
std::optional<Secret> ReadFirstLine(int fd, const std::string& source, std::string& why) {
  Secret secret;
  platform::SecureString& text = secret.text();
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = "cannot read the password from " + source + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0 || c == '\n') break;
    if (text.size() == kMaxPasswordBytes) {
      why = "the password from " + source + " is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
      return std::nullopt;
    }
    text.push_back(c);
  }
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return secret;
}

// EchoOff turns off echo on a terminal for its lifetime.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

std::string PassinFormError(const std::string& spec) {
  if (StartsWith(spec, "pass:") || StartsWith(spec, "file:") || spec == "stdin") return {};
  if (StartsWith(spec, "env:")) return spec.size() > 4 ? std::string() : "env: needs a variable name";
  if (StartsWith(spec, "fd:")) {
    return DescriptorNumber(spec.substr(3)) ? std::string() : "fd: needs a descriptor number";
  }
  return "unknown password source '" + spec.substr(0, spec.find(':')) +
         "' (use pass:, env:, file:, fd: or stdin)";
}

std::optional<Secret> ReadPassin(const std::string& spec, std::string& why) {
  if (StartsWith(spec, "pass:")) return Secret(spec.substr(5));
  if (StartsWith(spec, "env:")) {
    const std::string name = spec.substr(4);
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
      why = "the environment variable " + name + " is not set";
      return std::nullopt;
    }
    return Secret(std::string(value));
  }
  if (StartsWith(spec, "file:")) {
    const std::string path = spec.substr(5);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
      why = "cannot open the password file " + path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    return ReadFirstLine(fd.get(), path, why);
  }
  if (StartsWith(spec, "fd:")) {
    const std::optional<int> fd = DescriptorNumber(spec.substr(3));
    if (!fd) {
      why = PassinFormError(spec);
      return std::nullopt;
    }
    return ReadFirstLine(*fd, "descriptor " + std::to_string(*fd), why);
  }
  if (spec == "stdin") return ReadFirstLine(STDIN_FILENO, "standard input", why);
  why = PassinFormError(spec);
  return std::nullopt;
}

std::optional<Secret> PromptPassword(const std::string& prompt, std::string& why) {
  EchoOff quiet(STDIN_FILENO);
  if (!quiet.active()) {
    why = std::string("cannot turn off echo on the terminal: ") + std::strerror(errno);
    return std::nullopt;
  }
  // The prompt is a courtesy: when standard error is closed the password can still be typed.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, prompt.data(), prompt.size());
  return ReadFirstLine(STDIN_FILENO, "the terminal", why);
}

}  // namespace velmor::host
