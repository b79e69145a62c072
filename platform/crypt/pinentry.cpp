// The PIN dialog: pinentry driven over the Assuan protocol.
#include "platform/crypt/pinentry.h"

#include <errno.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/base/hex.h"

extern char** environ;

namespace velmor::crypt::detail {

namespace {

using platform::UniqueChild;
using platform::UniqueFd;

// GnuPG's error for a dialog the user cancelled (GPG_ERR_CANCELED), whatever source it carries.
constexpr unsigned long kGpgErrCanceled = 99;

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Escape: `text` as an Assuan argument (percent-escaped %, CR, LF and other control bytes),
// at most `room` bytes long, never cutting an escape or a UTF-8 character in two.
std::string Escape(const std::string& text, std::size_t room) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = 1;
    if (c >= 0xC0) {
      while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    }
    std::string piece;
    if (c < 0x20 || c == '%' || c == 0x7F) {
      piece = "%" + platform::HexEncode(&c, 1, platform::HexCase::kUpper);
    } else {
      piece = text.substr(i, n);
    }
    if (out.size() + piece.size() > room) break;
    out += piece;
    i += n;
  }
  return out;
}

int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Conversation: one dialog process and the socket to it. The line buffer holds what the dialog
// sends, the PIN among it, and is wiped as it goes.
class Conversation {
 public:
  Conversation() = default;
  explicit Conversation(UniqueFd socket) : socket_(std::move(socket)) {}

  bool Start(const std::string& program) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Fail(NTE_FAIL);
    UniqueFd ours(fds[0]);
    UniqueFd theirs(fds[1]);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return Fail(NTE_NO_MEMORY);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return Fail(NTE_NO_MEMORY);
    }
    // The dialog leads a session of its own, so that the child's owner can end it together
    // with whatever it starts (a wrapper script's children). A text dialog still draws on the
    // terminal it is told about; outside our session that terminal is not its controlling one,
    // so it is never stopped for reading it from the background.
    // The dialog reads commands on its standard input and answers on its standard output.
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn_file_actions_adddup2(&actions, fds[1], 0) != 0 ||
                                posix_spawn_file_actions_adddup2(&actions, fds[1], 1) != 0 ||
                                posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID) != 0
                            ? ENOMEM
                            : ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv,
                                             environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return Fail(NTE_SILENT_CONTEXT);
    child_.reset(UniqueChild::pointer(pid));
    socket_ = std::move(ours);
    return true;
  }

  ~Conversation() {
    // Closing the socket ends a well-behaved dialog; the child's owner reaps it, or ends its
    // whole group.
    socket_.reset();
    child_.reset();
    platform::Cleanse(buffer_, sizeof buffer_);
  }

  // Send: one command line.
  bool Send(const std::string& line) {
    std::string out = line + "\n";
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
      const ssize_t n = ::send(socket_.get(), p, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(NTE_FAIL);
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // ReadLine: the next line (without its line feed) into `line`, borrowed from the buffer until
  // the next read; false on a line over the Assuan limit, an early end or no answer in time.
  bool ReadLine(std::string_view& line, std::chrono::steady_clock::time_point deadline) {
    // Drop the line handed out last, wiping it.
    if (consumed_ > 0) {
      std::memmove(buffer_, buffer_ + consumed_, filled_ - consumed_);
      platform::Cleanse(buffer_ + filled_ - consumed_, consumed_);
      filled_ -= consumed_;
      consumed_ = 0;
    }
    for (;;) {
      if (void* end = std::memchr(buffer_, '\n', filled_)) {
        const auto len = static_cast<std::size_t>(static_cast<char*>(end) - buffer_);
        if (len > kAssuanLineMax) return Fail(NTE_FAIL);
        consumed_ = len + 1;
        line = std::string_view(buffer_, len);
        return true;
      }
      if (filled_ > kAssuanLineMax) return Fail(NTE_FAIL);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return Fail(ERROR_TIMEOUT_DW);
      pollfd pfd{socket_.get(), POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return Fail(NTE_FAIL);
      if (ready == 0) return Fail(ERROR_TIMEOUT_DW);
      const ssize_t n = ::recv(socket_.get(), buffer_ + filled_, sizeof buffer_ - filled_, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(NTE_FAIL);  // the dialog went away mid-answer
      filled_ += static_cast<std::size_t>(n);
    }
  }

  enum class Reply { kOk, kErr, kFailed };
  // Await: reads lines up to the OK or ERR that ends an answer; D lines are percent-decoded
  // into `data` when given (a data line where none is expected is a protocol error).
  Reply Await(int timeoutMs, SecretBytes* data, unsigned long* errCode) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::string_view line;
      if (!ReadLine(line, deadline)) return Reply::kFailed;
      if (line == "OK" || line.starts_with("OK ")) return Reply::kOk;
      if (line == "ERR" || line.starts_with("ERR ")) {
        if (errCode != nullptr) {
          *errCode = line.size() > 4 ? std::strtoul(std::string(line.substr(4, 12)).c_str(), nullptr, 10) : 0;
        }
        return Reply::kErr;
      }
      if (line.starts_with("D ")) {
        if (data == nullptr || !Decode(line.substr(2), *data)) {
          Fail(NTE_FAIL);
          return Reply::kFailed;
        }
        continue;
      }
      if (line.starts_with("INQUIRE")) {
        // Nothing more to tell the dialog.
        if (!Send("END")) return Reply::kFailed;
        continue;
      }
      // Status lines ("S ..."), comments ("#") and blank lines carry nothing for us.
    }
  }

 private:
  // Decode: appends a percent-escaped data line to `out`, within kPinMax bytes.
  static bool Decode(std::string_view text, SecretBytes& out) {
    std::size_t at = out.size();
    out.resize(at + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      auto c = static_cast<std::uint8_t>(text[i]);
      if (c == '%') {
        if (i + 2 >= text.size()) return false;  // an escape cut short
        const int hi = HexValue(static_cast<std::uint8_t>(text[i + 1]));
        const int lo = HexValue(static_cast<std::uint8_t>(text[i + 2]));
        if (hi < 0 || lo < 0) return false;
        c = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
      }
      out.data()[at++] = c;
    }
    out.resize(at);
    return out.size() <= kPinMax;
  }

  UniqueChild child_;
  UniqueFd socket_;
  char buffer_[2 * kAssuanLineMax + 2];
  std::size_t filled_ = 0;
  std::size_t consumed_ = 0;
};

}  // namespace

std::string PinentryPath() {
  const char* chosen = std::getenv("VELMOR_PINENTRY");
  const std::string program = chosen != nullptr && chosen[0] != '\0' ? chosen : "pinentry";
  if (program.find('/') != std::string::npos) return IsExecutable(program) ? program : "";
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

namespace {

PinAnswer Converse(Conversation& talk, const PinDialog& dialog, SecretBytes& pin) {
  if (talk.Await(kDialogReplyMs, nullptr, nullptr) != Conversation::Reply::kOk) {
    if (GetLastError() != ERROR_TIMEOUT_DW) SetLastError(NTE_SILENT_CONTEXT);
    return PinAnswer::kFailed;
  }
  // A text dialog needs the terminal it is to draw on (a host reading requests from a pipe may
  // still have one on standard error); graphical ones ignore these.
  const char* tty = std::getenv("GPG_TTY");
  for (int fd : {0, 2}) {
    if (tty == nullptr && ::isatty(fd) == 1) tty = ::ttyname(fd);
  }
  std::vector<std::string> commands;
  if (tty != nullptr) {
    commands.push_back("OPTION ttyname=" + Escape(tty, 900));
    if (const char* term = std::getenv("TERM")) commands.push_back("OPTION ttytype=" + Escape(term, 900));
  }
  // Each command fits an Assuan line: the verb, a blank and at most the rest.
  const auto command = [](const char* verb, const std::string& text) {
    return std::string(verb) + " " + Escape(text, kAssuanLineMax - std::strlen(verb) - 1);
  };
  commands.push_back(command("SETTITLE", dialog.title));
  commands.push_back(command("SETDESC", dialog.description));
  commands.push_back(command("SETPROMPT", dialog.prompt));
  for (const std::string& c : commands) {
    if (!talk.Send(c)) return PinAnswer::kFailed;
    // An option or text the dialog does not know is no reason to stop.
    if (talk.Await(kDialogReplyMs, nullptr, nullptr) == Conversation::Reply::kFailed) {
      return PinAnswer::kFailed;
    }
  }
  if (!talk.Send("GETPIN")) return PinAnswer::kFailed;
  SecretBytes typed;
  unsigned long code = 0;
  switch (talk.Await(kDialogPinMs, &typed, &code)) {
    case Conversation::Reply::kOk:
      break;
    case Conversation::Reply::kErr:
      if ((code & 0xFFFFu) == kGpgErrCanceled) return PinAnswer::kCancelled;
      Fail(NTE_FAIL);
      return PinAnswer::kFailed;
    case Conversation::Reply::kFailed:
      return PinAnswer::kFailed;
  }
  // The dialog's goodbye is waited for, so that it is not cut off mid-answer.
  if (talk.Send("BYE")) talk.Await(kDialogReplyMs, nullptr, nullptr);
  pin = std::move(typed);
  return PinAnswer::kPin;
}

}  // namespace

PinAnswer AskPin(const PinDialog& dialog, SecretBytes& pin) {
  pin = SecretBytes();
  const std::string program = PinentryPath();
  if (program.empty()) {
    Fail(NTE_SILENT_CONTEXT);
    return PinAnswer::kFailed;
  }
  Conversation talk;
  if (!talk.Start(program)) return PinAnswer::kFailed;
  return Converse(talk, dialog, pin);
}

PinAnswer AskPinOn(platform::UniqueFd socket, const PinDialog& dialog, SecretBytes& pin) {
  pin = SecretBytes();
  Conversation talk(std::move(socket));
  return Converse(talk, dialog, pin);
}

}  // namespace velmor::crypt::detail
