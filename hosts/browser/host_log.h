// The host's log, in the user's state directory ($XDG_STATE_HOME/velmor/host.log, by default
// ~/.local/state/velmor/host.log, owner-only). It records what happened, never what was handled:
// requests by operation and member, answers by kind, size and error code (its six characters,
// "E:0003"); no texts, results, serials, paths, key material or PINs. It is moved to host.log.1
// as it passes 1 MiB.
#pragma once

#include <string>
#include <string_view>

#include "hosts/session/session.h"
#include "hosts/session/unique_fd.h"

namespace velmor::host {

class HostLog {
 public:
  // Opens the log for appending; a log that cannot be opened is silently not written, since the
  // host has no one to tell but the browser.
  HostLog();
  ~HostLog();
  HostLog(const HostLog&) = delete;
  HostLog& operator=(const HostLog&) = delete;

  // Line: one entry, stamped with the time and the process; `text` is made printable and cut.
  void Line(std::string_view text);
  // Request, Answer: the entries for one request and its answer, without their values.
  void Request(const Session::Asked& asked, std::size_t bytes);
  void Answer(const Json& answer, std::size_t messages);

  // Path: where the log is kept; empty when there is no home to keep it in.
  static std::string Path();

 private:
  void Open();
  void RotateIfFull();

  std::string path_;
  UniqueFd fd_;
};

}  // namespace velmor::host
