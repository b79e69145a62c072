// The requests both hosts answer, `velmor call` (JSON lines) and `velmor-host` (the browser's
// native messaging): each request a JSON object that names one member of one control, each
// answer a JSON object with its result or the reason it could not be carried out. Controls are
// created by their ProgID through the user's registry and reached only through IDispatch, as a
// page's script engine reaches them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/base/secure.h"
#include "platform/com/com.h"

namespace velmor::host {

using Json = nlohmann::ordered_json;

// The longest request: the browsers' own limit for one message to a native host.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{64} << 20;

// Session: the controls of one connection (one `velmor call` process, one page's native port),
// by instance number, each created on its first request and kept until it is released or the
// session ends. The module-wide buffers are shared by the controls of one process only, so one
// session per process keeps one page's inputs from another's.
class Session {
 public:
  // Notify: receives the one-line notices the session has for the user (that it registered the
  // installed module, say); by default they go to standard error.
  using Notify = std::function<void(const std::string&)>;
  explicit Session(Notify notify = {});
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // What a request asked for, as far as it could be read: for logs, which must not hold its
  // values.
  struct Asked {
    std::string op;
    std::string name;
  };

  // Handle: the answer to one request text. Never throws: a malformed request, an unknown
  // member or a failed Invoke is an answer with "error". The request's "id" is echoed. `asked`,
  // when given, receives the request's "op" and "name" strings.
  Json Handle(std::string_view request, Asked* asked = nullptr);
  // The same for a request text the session may take: it is released as soon as it is parsed,
  // so that a large value is not held twice while it is converted for the control.
  Json Handle(std::string&& request, Asked* asked = nullptr);
  Json Handle(const char* request, Asked* asked = nullptr) {
    return Handle(std::string_view(request), asked);
  }

 private:
  Json Answer(Json& request, Asked* asked);
  // A control and the ids of the member names it was asked for, resolved once: a page names
  // the same few members request after request.
  struct Control {
    com::ComPtr<IDispatch> dispatch;
    std::map<std::string, DISPID, std::less<>> ids;
  };
  Control& ControlOf(std::int64_t instance);
  void Run(Json& request, Json& answer);

  std::map<std::int64_t, Control> controls_;
  Notify notify_;
};

// ReadRequest: the request text's DOM into `request`; a non-empty answer (its "error") when the
// text is not a request. The text handed over is released once parsed; string literals of
// `longest` bytes or more are taken out of it before, and decoded in their place, so that the
// parser never holds a large value beside the text (the answer and the DOM are the same either
// way; a smaller `longest` is for tests).
inline constexpr std::size_t kLongString = std::size_t{64} << 10;
Json ReadRequest(std::string_view text, Json& request);
Json ReadRequest(std::string&& text, Json& request, std::size_t longest = kLongString);

// HResultText: `hr` as the hosts write it in messages, "0x8004015A".
std::string HResultText(HRESULT hr);

// DumpAnswer: the answer's JSON text on one line. Invalid UTF-8 in a result (which a control
// never gives) is replaced rather than thrown on; `ascii` escapes every non-ASCII character.
std::string DumpAnswer(const Json& answer, bool ascii = false);
// DumpSecureAnswer: the same text in storage that is wiped when it goes, written without a
// copy left behind (the serializer's own scratch is wiped too): for an answer that may carry a
// plaintext. Throws std::bad_alloc only.
platform::SecureString DumpSecureAnswer(const Json& answer, bool ascii = false);

// WipeStrings: overwrites every string value in `json` (a request or an answer, which may hold
// a plaintext) before its memory goes back; the strings stay, empty.
void WipeStrings(Json& json) noexcept;

// CreateControl: a new control, created by its ProgID "VELMOR.VelmorCtrl.QVA" through the
// registry, as interface `riid` (the caller's reference). When the class is not registered for
// the user and the program runs from an installation (the module in <prefix>/lib/velmor), the
// installed module is registered first and `notice` says so (standard error does when `notice`
// is null). REGDB_E_CLASSNOTREG when the
// control is not registered and cannot be.
HRESULT CreateControl(REFIID riid, void** ppv, std::string* notice = nullptr);
// NotRegistered: the text that says the control is not registered and how to register it.
extern const char kNotRegistered[];

// DefaultModulePath: the module beside the program: ../lib/velmorQVA.so in a build tree, else
// the installed ../lib/velmor/velmorQVA.so.
std::string DefaultModulePath();
// InstalledModulePath: ../lib/velmor/velmorQVA.so beside the program when it is there; empty
// when the program does not run from an installation.
std::string InstalledModulePath();
// AbsolutePath: `path` made absolute with every link resolved; empty when it does not exist.
std::string AbsolutePath(const std::string& path);

}  // namespace velmor::host
