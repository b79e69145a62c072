// velmor call: drives controls the way a page's script engine does, one JSON request a line on
// standard input, one JSON answer a line on standard output. Controls are reached only through
// IDispatch: GetIDsOfNames for the member, then Invoke. Each control is created by its ProgID
// through the user's registry, from the module registered for it, as a browser creates it.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "hosts/velmor/commands.h"
#include "platform/com/activation.h"
#include "platform/com/com.h"

namespace velmor::host {
namespace {

using json = nlohmann::ordered_json;
using com::ComPtr;
using com::UniqueBstr;

// A request that cannot be carried out; its text becomes the answer's "error".
struct RequestError {
  std::string message;
};

// Requests are flat objects. Deeper nesting is refused while the line is parsed: copying or
// printing a value nested hundreds of thousands of levels recurses once per level and would
// overflow the stack.
constexpr int kMaxRequestDepth = 32;


// The longest request line, line break excluded: the browsers' own limit for one message to a
// native host. A longer line is refused while it is read, so that it never sits in memory.
constexpr std::size_t kMaxRequestBytes = std::size_t{64} << 20;

// A control takes texts as BSTRs but reads most of them up to the first zero character, so a
// text holding U+0000 would be acted on cut short; such a text is refused instead.
void RefuseEmbeddedNul(const std::string& text, const std::string& what) {
  if (text.find('\0') != std::string::npos) {
    throw RequestError{what + " holds U+0000, which a control would take as the end of the text"};
  }
}

// JSON texts are UTF-8; automation strings are UTF-16.
UniqueBstr Utf8ToBstr(const std::string& text) {
  if (text.empty()) return UniqueBstr(SysAllocStringLen(u"", 0));
  const int len = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), len, nullptr, 0);
  if (units <= 0) throw RequestError{"text is not valid UTF-8"};
  UniqueBstr bstr(SysAllocStringLen(nullptr, static_cast<UINT>(units)));
  if (!bstr) throw std::bad_alloc();
  MultiByteToWideChar(CP_UTF8, 0, text.data(), len, bstr.get(), units);
  return bstr;
}

std::string BstrToUtf8(BSTR bstr) {
  return velmor::com::WideToMultiByte(CP_UTF8, bstr, static_cast<int>(SysStringLen(bstr)))
      .value_or(std::string());
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// The arguments of one Invoke, in the order OLE passes them (last first), with their strings.
class Arguments {
 public:
  // Add appends one argument; `what` names it in an error ("the value", "argument 2").
  void Add(const json& value, const std::string& what) {
    VARIANT v;
    VariantInit(&v);
    if (value.is_null()) {
      v.vt = VT_NULL;  // an absent argument
    } else if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      RefuseEmbeddedNul(text, what);
      strings_.push_back(Utf8ToBstr(text));
      v.vt = VT_BSTR;
      v.bstrVal = strings_.back().get();
    } else {
      throw RequestError{"arguments must be strings or null"};
    }
    variants_.insert(variants_.begin(), v);
  }
  DISPPARAMS Params() {
    return DISPPARAMS{variants_.empty() ? nullptr : variants_.data(), nullptr,
                      static_cast<UINT>(variants_.size()), 0};
  }

 private:
  std::vector<UniqueBstr> strings_;  // owned here; the variants only borrow them
  std::vector<VARIANT> variants_;
};

class Session {
 public:
  json Handle(const std::string& line) {
    json answer = json::object();
    json request;
    try {
      request = json::parse(line, [](int depth, json::parse_event_t, json&) {
        if (depth > kMaxRequestDepth) {
          throw RequestError{"malformed request: nested deeper than " +
                             std::to_string(kMaxRequestDepth) + " levels"};
        }
        return true;
      });
    } catch (const json::exception& e) {
      answer["error"] = std::string("malformed request: ") + e.what();
      return answer;
    } catch (const RequestError& e) {
      answer["error"] = e.message;
      return answer;
    }
    if (!request.is_object()) {
      answer["error"] = "malformed request: a request is a JSON object";
      return answer;
    }
    if (request.contains("id")) answer["id"] = request["id"];
    try {
      Run(request, answer);
    } catch (const RequestError& e) {
      Fail(answer, e.message);
    } catch (const json::exception& e) {
      Fail(answer, std::string("malformed request: ") + e.what());
    } catch (const std::bad_alloc&) {
      Fail(answer, "out of memory");
    }
    return answer;
  }

 private:
  static void Fail(json& answer, const std::string& message) {
    answer.erase("ok");
    answer.erase("result");
    answer["error"] = message;
  }

  static std::string StringField(const json& request, const char* key) {
    const auto it = request.find(key);
    if (it == request.end() || !it->is_string()) {
      throw RequestError{std::string("malformed request: \"") + key + "\" must be a string"};
    }
    return it->get<std::string>();
  }

  static std::int64_t Instance(const json& request) {
    const auto it = request.find("instance");
    if (it == request.end()) return 0;
    if (!it->is_number_integer() || it->get<std::int64_t>() < 0) {
      throw RequestError{"malformed request: \"instance\" must be a non-negative integer"};
    }
    return it->get<std::int64_t>();
  }

  // Control: the instance's control, created on first use.
  IDispatch* Control(std::int64_t instance) {
    auto it = controls_.find(instance);
    if (it == controls_.end()) {
      void* pv = nullptr;
      const HRESULT hr = CreateControl(IID_IDispatch, &pv);
      if (hr == REGDB_E_CLASSNOTREG) throw RequestError{kNotRegistered};
      if (FAILED(hr)) throw RequestError{"cannot create a control: " + Hex(hr)};
      it = controls_.emplace(instance, ComPtr<IDispatch>(static_cast<IDispatch*>(pv))).first;
    }
    return it->second.get();
  }

  static DISPID MemberId(IDispatch* control, const std::string& name) {
    RefuseEmbeddedNul(name, "the member name");
    UniqueBstr wide = Utf8ToBstr(name);
    LPOLESTR names[1] = {wide.get()};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, 0, &id))) {
      throw RequestError{"unknown member: " + name};
    }
    return id;
  }

  static void Check(HRESULT hr, const std::string& op, const std::string& name) {
    if (SUCCEEDED(hr)) return;
    if (hr == DISP_E_BADPARAMCOUNT) throw RequestError{"wrong argument count for " + name};
    if (hr == DISP_E_MEMBERNOTFOUND) throw RequestError{name + " does not support " + op};
    if (hr == DISP_E_TYPEMISMATCH) {
      throw RequestError{"an argument of " + name + " has the wrong type"};
    }
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    throw RequestError{op + " " + name + " failed: " + Hex(hr)};
  }

  void Run(const json& request, json& answer) {
    const std::string op = StringField(request, "op");
    const std::int64_t instance = Instance(request);
    if (op == "release") {
      if (controls_.erase(instance) == 0) {
        throw RequestError{"no control with instance " + std::to_string(instance)};
      }
      answer["ok"] = true;
      return;
    }
    if (op != "put" && op != "get" && op != "call") throw RequestError{"unknown op: " + op};
    const std::string name = StringField(request, "name");
    IDispatch* control = Control(instance);
    const DISPID id = MemberId(control, name);

    Arguments args;
    WORD flags;
    if (op == "put") {
      if (!request.contains("value")) {
        throw RequestError{"malformed request: a put needs a \"value\" (a string or null)"};
      }
      args.Add(request["value"], "the value");
      flags = DISPATCH_PROPERTYPUT;
    } else if (op == "get") {
      flags = DISPATCH_PROPERTYGET;
    } else {
      if (request.contains("args")) {
        const json& list = request["args"];
        if (!list.is_array()) throw RequestError{"malformed request: \"args\" must be an array"};
        std::size_t position = 0;
        for (const json& value : list) args.Add(value, "argument " + std::to_string(++position));
      }
      flags = DISPATCH_METHOD;
    }
    DISPPARAMS params = args.Params();
    DISPID namedPut = DISPID_PROPERTYPUT;
    if (op == "put") {
      params.rgdispidNamedArgs = &namedPut;
      params.cNamedArgs = 1;
    }
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 0;
    const HRESULT hr = control->Invoke(id, IID_NULL, 0, flags, &params,
                                       op == "put" ? nullptr : &result, nullptr, &argErr);
    Check(hr, op, name);
    if (op == "put") {
      answer["ok"] = true;
    } else {
      answer["result"] = result.vt == VT_BSTR ? BstrToUtf8(result.bstrVal) : std::string();
      VariantClear(&result);
    }
  }

  std::map<std::int64_t, ComPtr<IDispatch>> controls_;
};

// LineReader: the lines of a stream, each cut at kMaxRequestBytes. What lies beyond the cap is
// read and dropped, so a line of any length costs at most the cap in memory.
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
      const char* stop = static_cast<const char*>(std::memchr(next_, '\n', static_cast<std::size_t>(end_ - next_)));
      const char* until = stop != nullptr ? stop : end_;
      // One byte over the cap is kept for a carriage return before the line feed.
      const std::size_t room = kMaxRequestBytes + 1 - std::min(line.size(), kMaxRequestBytes + 1);
      const auto size = static_cast<std::size_t>(until - next_);
      if (tooLong || size > room) {
        tooLong = true;
        line.clear();
      } else {
        line.append(next_, size);
      }
      next_ = until;
      if (stop != nullptr) {
        ++next_;
        break;
      }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxRequestBytes) tooLong = true;
    if (tooLong) line.clear();
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
  std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 16);
  const char* next_ = nullptr;
  const char* end_ = nullptr;
};

int RunCall() {
  {
    Session session;
    LineReader reader(stdin);
    std::string line;
    bool tooLong = false;
    while (reader.Next(line, tooLong)) {
      json answer;
      if (tooLong) {
        answer["error"] = "malformed request: longer than " + std::to_string(kMaxRequestBytes) + " bytes";
      } else if (line.find_first_not_of(" \t") == std::string::npos) {
        continue;
      } else {
        answer = session.Handle(line);
      }
      std::cout << answer.dump(-1, ' ', false, json::error_handler_t::replace) << '\n'
                << std::flush;
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
