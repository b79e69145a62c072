// velmor call: drives controls the way a page's script engine does, one JSON request a line on
// standard input, one JSON answer a line on standard output. Controls are reached only through
// IDispatch: GetIDsOfNames for the member, then Invoke. Each control is created by its ProgID
// through the user's registry, from the module registered for it, as a browser creates it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "hosts/session/session.h"
#include "hosts/velmor/commands.h"
#include "platform/activation/activation.h"
#include "platform/base/secure.h"
#include "platform/com/com.h"
#include "platform/registry/registry.h"

namespace velmor::host {
namespace {

// AppendWiped: `text` with `size` bytes at `data` appended; when that needs a larger buffer the
// old one is wiped before it goes, since a request line may hold a text to encrypt.
void AppendWiped(std::string& text, const char* data, std::size_t size) {
  if (text.capacity() - text.size() < size) {
    std::string larger;
    larger.reserve(std::max(text.size() + size, 2 * text.capacity()));
    larger.append(text);
    platform::CleanseContents(text);
    text.swap(larger);
  }
  text.append(data, size);
}

// LineReader: the lines of a stream, each cut at kMaxRequestBytes. What lies beyond the cap is
// read and dropped, so a line of any length costs at most the cap in memory. Each part of the
// input is wiped from the buffer once it is handed over or dropped: the last request must not
// stay there while the next one is awaited.
class LineReader {
 public:
  explicit LineReader(std::FILE* in) : in_(in) {}

  // Next reads the next line into `line` without its line feed; `tooLong` tells that the line
  // was longer than the cap (`line` then holds nothing useful). False at the end of input.
  bool Next(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    bool any = false;
    for (;;) {
      if (next_ == end_ && !Fill()) return any;
      any = true;
      char* stop = static_cast<char*>(std::memchr(next_, '\n', static_cast<std::size_t>(end_ - next_)));
      char* until = stop != nullptr ? stop : end_;
      // One byte over the cap is kept for a carriage return before the line feed.
      const std::size_t room = kMaxRequestBytes + 1 - std::min(line.size(), kMaxRequestBytes + 1);
      const auto size = static_cast<std::size_t>(until - next_);
      if (tooLong || size > room) {
        tooLong = true;
        platform::CleanseContents(line);
      } else {
        AppendWiped(line, next_, size);
      }
      platform::Cleanse(next_, size);
      next_ = until;
      if (stop != nullptr) {
        ++next_;
        break;
      }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxRequestBytes) tooLong = true;
    if (tooLong) platform::CleanseContents(line);
    return true;
  }

 private:
  // Fill: whatever the stream has now, up to the buffer's size. A read of the descriptor returns
  // as soon as a line is there: a peer that sends one request and waits for its answer must get
  // it, not wait for the buffer to fill.
  bool Fill() {
    ssize_t n = 0;
    do {
      n = ::read(fileno(in_), buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    next_ = buffer_.data();
    end_ = next_ + (n > 0 ? n : 0);
    return n > 0;
  }

  std::FILE* in_;
  platform::SecureVector<char> buffer_ = platform::SecureVector<char>(std::size_t{1} << 16);
  char* next_ = nullptr;
  char* end_ = nullptr;
};

// DataFolderProblem: what keeps this user's data folder (the registry and the stores) from
// being used, or the empty text when nothing does. Without a usable folder no control is
// registered, and saying only that would send the user to `velmor register`, which cannot help.
std::string DataFolderProblem() {
  const std::string database = velmor::registry::DatabasePath();
  if (database.empty()) {
    return "there is no data folder: neither XDG_DATA_HOME nor HOME is an absolute path";
  }
  const std::string folder = database.substr(0, database.rfind('/'));
  const std::string prefix = "the data folder " + folder + " cannot be used: ";
  const std::string hint = " (move it away, or set XDG_DATA_HOME to a folder of yours)";
  // The nearest part of the path that exists must be a folder this user may use: the data
  // folder itself, or the one it is to be made in.
  for (std::string at = folder; !at.empty(); at = at.substr(0, at.rfind('/'))) {
    struct stat status {};
    if (::stat(at.c_str(), &status) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;  // a part further up says why
      return prefix + at + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
      return prefix + (at == folder ? std::string("it") : at) + " is a file, not a folder" + hint;
    }
    if (::access(at.c_str(), R_OK | W_OK | X_OK) != 0) {
      return prefix + "this user may not read, write and enter " +
             (at == folder ? std::string("it") : at) + " (" + std::strerror(errno) +
             "; give the user access, or set XDG_DATA_HOME to a folder of yours)";
    }
    break;
  }
  struct stat status {};
  if (::stat(database.c_str(), &status) == 0 &&
      (!S_ISREG(status.st_mode) || ::access(database.c_str(), R_OK | W_OK) != 0)) {
    return prefix + "its registry " + database + " is not a file this user may read and write";
  }
  return {};
}

// WriteAnswer: the answer's line on standard output. Its text may be a plaintext: it is made in
// storage that is wiped and written straight to the descriptor, never through a stream's buffer,
// which would keep a copy until the next answer overwrote it.
void WriteAnswer(const Json& answer) {
  platform::SecureString text = DumpSecureAnswer(answer);
  text += '\n';
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the reader has gone; what it asks next is still read, as before
    done += static_cast<std::size_t>(n);
  }
}

int RunCall() {
  {
    Session session;
    LineReader reader(stdin);
    std::string line;
    bool tooLong = false;
    while (reader.Next(line, tooLong)) {
      Json answer;
      if (tooLong) {
        answer["error"] = "malformed request: longer than " + std::to_string(kMaxRequestBytes) + " bytes";
      } else if (line.find_first_not_of(" \t") == std::string::npos) {
        continue;
      } else {
        answer = session.Handle(std::move(line));
        const auto error = answer.find("error");
        if (error != answer.end() && error->is_string() && *error == kNotRegistered) {
          if (std::string problem = DataFolderProblem(); !problem.empty()) *error = problem;
        }
      }
      WriteAnswer(answer);
      WipeStrings(answer);
    }
  }
  // Every control has been released: the module may go.
  CoFreeUnusedLibraries();
  return 0;
}

}  // namespace

void AddCallCommand(CLI::App& app, int& exitCode) {
  auto* call = app.add_subcommand("call", "Drive controls with JSON requests on standard input");
  static unsigned acp = CP_ACP;
  call->add_option("--acp", acp,
                   "ANSI code page of the controls (e.g. 65001, 1252, 936); default: the "
                   "locale's character set")
      ->check([](const std::string& text) -> std::string {
        try {
          std::size_t used = 0;
          const unsigned long value = std::stoul(text, &used);
          if (used == text.size() &&
              (value == CP_ACP || velmor::com::IsCodePageSupported(static_cast<UINT>(value)))) {
            return {};
          }
        } catch (const std::exception&) {
        }
        return "unsupported code page: " + text;
      });
  call->callback([&exitCode] {
    if (acp != CP_ACP) velmor::com::SetAnsiCodePage(acp);
    exitCode = RunCall();
  });
}

}  // namespace velmor::host
