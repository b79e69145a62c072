// The browser host's own check of each request, behind the extension's: a request that names a
// member the wrong way (a get of a method, a call of a property) is refused, and so is a read or
// call that needs the user's consent and reaches the host without a grant for exactly that
// request. The extension sends the page's origin with every request; a host serves one page,
// so a second origin is refused too. The rules are those of the control's consent column
// (control/interface/consent.h): a member without a row there is refused, whatever it may do.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "hosts/session/session.h"

namespace velmor::host {

class RequestGate {
 public:
  // Check: nullopt when the request `message` (its JSON text) may go on to the session, else
  // the answer to give instead: its "error" says why ("refused: ..."), with the request's id
  // when that is a plain value. Text that does not parse goes on, for the session to answer as
  // malformed. `asked`, when given, receives the refused request's op and name for the log.
  std::optional<nlohmann::ordered_json> Check(std::string_view message,
                                              Session::Asked* asked = nullptr);

  struct Fields;  // what Check reads of a request

 private:
  std::optional<std::string> Refusal(std::string_view message, Fields& f);
  std::string origin_;  // the first origin named, the only one this host serves
};

}  // namespace velmor::host
