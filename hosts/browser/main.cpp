// velmor-host: the browser's native messaging host. The browser starts one for each native port
// the extension opens, that is for each page, and talks to it over standard input and output;
// the host answers the same requests as `velmor call`, with the controls of that one page.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "hosts/browser/gate.h"
#include "hosts/browser/host_log.h"
#include "hosts/browser/native_messaging.h"
#include "hosts/session/session.h"
#include "hosts/session/unique_fd.h"
#include "platform/activation/activation.h"

namespace velmor::host {
namespace {

// ClaimProtocolChannel: the descriptors of the browser's pipe, moved away from 0 and 1, which
// then lead to /dev/null: whatever a library might print can never corrupt the protocol.
bool ClaimProtocolChannel(UniqueFd& in, UniqueFd& out) {
  in = UniqueFd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  out = UniqueFd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  const UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!in || !out || !null) return false;
  return ::dup2(null.get(), STDIN_FILENO) >= 0 && ::dup2(null.get(), STDOUT_FILENO) >= 0;
}

bool Send(int out, const Json& answer, HostLog& log) {
  FramedAnswer framed(answer);
  log.Answer(answer, framed.size());
  for (std::size_t k = 0; k < framed.size(); ++k) {
    if (!WriteAll(out, framed.Message(k))) return false;
  }
  return true;
}

int Serve(HostLog& log) {
  UniqueFd in;
  UniqueFd out;
  if (!ClaimProtocolChannel(in, out)) {
    log.Line("cannot take over the browser's pipe");
    return 1;
  }
  {
    // A notice goes to the log and to standard error, which the browser keeps in its own log.
    Session session([&log](const std::string& text) {
      log.Line(text);
      std::fprintf(stderr, "velmor-host: %s\n", text.c_str());
    });
    RequestGate gate;
    std::string message;
    std::uint32_t declared = 0;
    for (;;) {
      const ReadStatus status = ReadMessage(in.get(), message, declared);
      if (status == ReadStatus::kEnd) break;
      if (status == ReadStatus::kTruncated) {
        // The browser went away inside a message; tell it anyway, should it still listen.
        Send(out.get(), Json{{"error", "malformed message: the pipe closed inside a message"}}, log);
        break;
      }
      if (status == ReadStatus::kOversized) {
        log.Line("message of " + std::to_string(declared) + " bytes refused");
        const Json refused = {{"error", "malformed message: longer than " +
                                            std::to_string(kMaxRequestBytes) + " bytes"}};
        if (!Send(out.get(), refused, log)) break;
        continue;
      }
      Session::Asked asked;
      const std::size_t bytes = message.size();
      std::optional<Json> refused = gate.Check(message, &asked);
      Json answer = refused ? std::move(*refused) : session.Handle(std::move(message), &asked);
      log.Request(asked, bytes);
      const bool sent = Send(out.get(), answer, log);
      // The answer may be a plaintext: nothing of it stays once it is on its way.
      WipeStrings(answer);
      if (!sent) break;
    }
    platform::CleanseContents(message);
  }
  // Every control has been released: the module may go.
  CoFreeUnusedLibraries();
  return 0;
}

}  // namespace
}  // namespace velmor::host

int main() {
  // A browser that closes the pipe must end the host through a failed write, not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);  // a file-size limit fails the write (EFBIG), like a full disk
  try {
    velmor::host::HostLog log;
    log.Line("start");
    const int status = velmor::host::Serve(log);
    log.Line("stop");
    return status;
  } catch (const std::bad_alloc&) {
    return 1;
  } catch (const std::exception&) {
    return 1;
  }
}
