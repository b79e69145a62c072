#include "hosts/session/session.h"

#include <limits.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hosts/session/lookup.h"
#include "hosts/session/secure_json.h"
#include "platform/base/owner.h"
#include "platform/activation/activation.h"

namespace velmor::host {
namespace {

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

// A page can number its controls as it likes; each costs memory in the host, so a page that
// never releases them is stopped at this many.
constexpr std::size_t kMaxControls = 256;
// The member names remembered per control.
constexpr std::size_t kMaxRememberedNames = 64;

// A control takes texts as BSTRs but reads most of them up to the first zero character, so a
// text holding U+0000 would be acted on cut short; such a text is refused instead.
void RefuseEmbeddedNul(std::string_view text, const std::string& what) {
  if (text.find('\0') != std::string_view::npos) {
    throw RequestError{what + " holds U+0000, which a control would take as the end of the text"};
  }
}

// JSON texts are UTF-8; automation strings are UTF-16.
UniqueBstr Utf8ToBstr(std::string_view text) {
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

// The arguments of one Invoke, in the order OLE passes them (last first), with their strings.
class Arguments {
 public:
  // Add appends one argument; `what` names it in an error ("the value", "argument 2").
  // The value's text is moved out of the request and let go once converted.
  void Add(Json& value, const std::string& what) {
    VARIANT v;
    VariantInit(&v);
    if (value.is_null()) {
      v.vt = VT_NULL;  // an absent argument
    } else if (value.is_string()) {
      std::string text = std::move(value.get_ref<std::string&>());
      // It may be a text to encrypt: wiped once it is an automation string (which is wiped in
      // its turn when it is freed).
      const platform::ScopedCleanse forget(text.data(), text.capacity());
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

void Fail(Json& answer, const std::string& message) {
  answer.erase("ok");
  answer.erase("result");
  answer["error"] = message;
}

std::string StringField(const Json& request, const char* key) {
  const auto it = request.find(key);
  if (it == request.end() || !it->is_string()) {
    throw RequestError{std::string("malformed request: \"") + key + "\" must be a string"};
  }
  return it->get<std::string>();
}

std::int64_t Instance(const Json& request) {
  const auto it = request.find("instance");
  if (it == request.end()) return 0;
  if (!it->is_number_integer() || it->get<std::int64_t>() < 0) {
    throw RequestError{"malformed request: \"instance\" must be a non-negative integer"};
  }
  return it->get<std::int64_t>();
}

DISPID MemberId(IDispatch* control, const std::string& name) {
  RefuseEmbeddedNul(name, "the member name");
  UniqueBstr wide = Utf8ToBstr(name);
  LPOLESTR names[1] = {wide.get()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, 0, &id))) {
    throw RequestError{"unknown member: " + name};
  }
  return id;
}

void Check(HRESULT hr, const std::string& op, const std::string& name) {
  if (SUCCEEDED(hr)) return;
  if (hr == DISP_E_BADPARAMCOUNT) throw RequestError{"wrong argument count for " + name};
  if (hr == DISP_E_MEMBERNOTFOUND) throw RequestError{name + " does not support " + op};
  if (hr == DISP_E_TYPEMISMATCH) {
    throw RequestError{"an argument of " + name + " has the wrong type"};
  }
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  throw RequestError{op + " " + name + " failed: " + HResultText(hr)};
}

// Long strings. The parser holds each string twice while it reads it (its value and the raw
// token, for error messages), beside the request text: four times a large value at the worst.
// So a request text handed over has its long literals taken out first, each leaving "" behind
// and its raw bytes aside, and the parser reads the short rest; each value is decoded from its
// raw bytes when the parser reaches its place. A text with a long literal the parser would
// refuse, or whose short form it does not accept, goes back to the parser whole, so that every
// answer and every error message stays what the parser makes of the text as sent.
struct LongString {
  std::size_t ordinal;  // the how-manieth string literal of the text, keys included
  std::string raw;      // its bytes between the quotes
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Unit: the four hexadecimal digits of a \u escape at raw[at]; -1 when they are not.
long Unit(std::string_view raw, std::size_t at) {
  if (raw.size() - at < 4) return -1;
  long unit = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const int digit = HexDigit(raw[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Utf8Length: the length of the well-formed UTF-8 sequence at raw[at], 0 when there is none.
std::size_t Utf8Length(std::string_view raw, std::size_t at) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(raw[at + k]); };
  const unsigned char b0 = b(0);
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (raw.size() - at <= need) return 0;
  for (std::size_t k = 1; k <= need; ++k) {
    const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
    if (b(k) < min || b(k) > max) return 0;
  }
  return need + 1;
}

// Decode: walks a string literal's raw bytes by the rules of JSON (the parser's own), writing
// its value to `value` unless that is null; false for anything those rules refuse.
bool Decode(std::string_view text, std::string* value) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) return false;
    if (c != '\\') {
      const std::size_t length = c < 0x80 ? 1 : Utf8Length(text, i);
      if (length == 0) return false;
      if (value != nullptr) value->append(text.substr(i, length));
      i += length;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    const char e = text[i + 1];
    i += 2;
    char simple = 0;
    switch (e) {
      case '"': simple = '"'; break;
      case '\\': simple = '\\'; break;
      case '/': simple = '/'; break;
      case 'b': simple = '\b'; break;
      case 'f': simple = '\f'; break;
      case 'n': simple = '\n'; break;
      case 'r': simple = '\r'; break;
      case 't': simple = '\t'; break;
      case 'u': break;
      default: return false;
    }
    if (e != 'u') {
      if (value != nullptr) *value += simple;
      continue;
    }
    const long unit = Unit(text, i);
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
    i += 4;
    unsigned long cp = static_cast<unsigned long>(unit);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (text.size() - i < 2 || text[i] != '\\' || text[i + 1] != 'u') return false;
      const long low = Unit(text, i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      i += 6;
      cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<unsigned long>(low - 0xDC00);
    }
    if (value != nullptr) AppendUtf8(*value, cp);
  }
  return true;
}

// DecodeLiteral: the value of a literal Decode accepts. One without escapes is its own value.
std::string DecodeLiteral(std::string&& raw) {
  if (raw.find('\\') == std::string::npos) return std::move(raw);
  std::string value;
  value.reserve(raw.size());
  Decode(raw, &value);
  platform::CleanseContents(raw);
  std::string().swap(raw);
  return value;
}

// LiteralEnd: where the string literal that opens at text[open] closes (its quote), npos when
// the text ends first.
std::size_t LiteralEnd(std::string_view text, std::size_t open) {
  std::size_t e = open + 1;
  while (e < text.size() && text[e] != '"') e += text[e] == '\\' ? std::size_t{2} : std::size_t{1};
  return e < text.size() ? e : std::string_view::npos;
}

// TakeLongStrings: takes the literals of at least `longest` bytes out of `text` (which keeps ""
// in their place) and gives them back in order. A literal without its closing quote stays.
std::vector<LongString> TakeLongStrings(std::string& text, std::size_t longest) {
  std::vector<LongString> taken;
  if (text.size() < longest) return taken;
  const std::size_t n = text.size();
  std::size_t r = 0, w = 0, ordinal = 0;
  while (r < n) {
    if (text[r] != '"') {
      text[w++] = text[r++];
      continue;
    }
    const std::size_t e = LiteralEnd(text, r);
    if (e == std::string::npos) break;
    const std::size_t length = e - r - 1;
    if (length >= longest) {
      taken.push_back(LongString{ordinal, text.substr(r + 1, length)});
      text[w++] = '"';
      text[w++] = '"';
    } else {
      std::memmove(text.data() + w, text.data() + r, length + 2);
      w += length + 2;
    }
    r = e + 1;
    ++ordinal;
  }
  if (r < n) {
    std::memmove(text.data() + w, text.data() + r, n - r);
    w += n - r;
  }
  // The short text in a buffer of its size; the old one, which still holds the long literals
  // past `w`, is wiped before it goes.
  if (w != text.size()) {
    std::string shorter(text.data(), w);
    platform::CleanseContents(text);
    text.swap(shorter);
  }
  return taken;
}

// PutBack: the text as it was sent, from the short text and what was taken out of it.
std::string PutBack(std::string_view text, std::vector<LongString>& taken) {
  std::string whole;
  std::size_t bytes = text.size();
  for (const LongString& t : taken) bytes += t.raw.size();
  whole.reserve(bytes);
  std::size_t next = 0, ordinal = 0;
  for (std::size_t r = 0; r < text.size();) {
    if (text[r] != '"') {
      whole += text[r++];
      continue;
    }
    const std::size_t e = LiteralEnd(text, r);
    if (e == std::string_view::npos) {
      whole.append(text.substr(r));
      break;
    }
    if (next < taken.size() && taken[next].ordinal == ordinal) {
      whole += '"';
      whole += taken[next].raw;
      whole += '"';
      platform::CleanseContents(taken[next].raw);
      std::string().swap(taken[next++].raw);
    } else {
      whole.append(text.substr(r, e + 1 - r));
    }
    r = e + 1;
    ++ordinal;
  }
  return whole;
}

// RequestParser: builds the request's DOM from the parser's events, as Json::parse does, and
// refuses nesting deeper than kMaxRequestDepth as it goes. The parser reads into wiped buffers
// (SecureJson); each string is copied out at its size, and a long one (a request's value may be
// 64 MiB) is never read by the parser at all but taken out of the text beforehand.
class RequestParser {
 public:
  using string_t = SecureJson::string_t;
  using binary_t = SecureJson::binary_t;

  explicit RequestParser(Json& root, std::vector<LongString>* taken = nullptr)
      : root_(root), taken_(taken) {}

  bool null() { return Value(nullptr); }
  bool boolean(bool v) { return Value(v); }
  bool number_integer(SecureJson::number_integer_t v) { return Value(v); }
  bool number_unsigned(SecureJson::number_unsigned_t v) { return Value(v); }
  bool number_float(SecureJson::number_float_t v, const string_t&) { return Value(v); }
  bool string(string_t& v) { return Value(Literal(v)); }
  bool binary(binary_t& v) { return Value(std::move(v)); }
  bool start_object(std::size_t) {
    Deeper();
    open_.push_back(Place(Json::object()));
    return true;
  }
  bool key(string_t& k) {
    Deeper();
    Json::string_t name = Literal(k);
    // A repeated key keeps its first place and takes the later value, as Json::parse does.
    Json::object_t& members = open_.back()->get_ref<Json::object_t&>();
    if (members.size() == members.capacity() && members.find(name) == members.end()) {
      // The members' table grows by copying its members (their keys are const) and freeing the
      // old ones unwiped, a text to encrypt among them: it is grown here, the values moved.
      Json::object_t larger;
      larger.reserve(std::max<std::size_t>(8, 2 * members.capacity()));
      for (auto& [key, value] : members) larger.emplace_back(key, std::move(value));
      members.swap(larger);
    }
    member_ = &(*open_.back())[std::move(name)];
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) {
    Deeper();
    open_.push_back(Place(Json::array()));
    return true;
  }
  bool end_array() { return Close(); }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& e) {
    throw e;
  }

 private:
  // Literal: a string the parser read, or the one taken out of the text in its place.
  Json::string_t Literal(string_t& read) {
    const std::size_t ordinal = ordinal_++;
    if (taken_ == nullptr || next_ == taken_->size() || (*taken_)[next_].ordinal != ordinal) {
      return Json::string_t(read.data(), read.size());
    }
    return DecodeLiteral(std::move((*taken_)[next_++].raw));
  }
  // Deeper: refuses an event inside more open containers than a request may have.
  void Deeper() const {
    if (open_.size() > static_cast<std::size_t>(kMaxRequestDepth)) {
      throw RequestError{"malformed request: nested deeper than " +
                         std::to_string(kMaxRequestDepth) + " levels"};
    }
  }
  template <typename V>
  bool Value(V&& v) {
    Deeper();
    Place(Json(std::forward<V>(v)));
    return true;
  }
  Json* Place(Json&& v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    if (open_.back()->is_array()) {
      open_.back()->push_back(std::move(v));
      return &open_.back()->back();
    }
    *member_ = std::move(v);
    return member_;
  }
  bool Close() {
    open_.pop_back();
    return true;
  }

  Json& root_;
  std::vector<LongString>* taken_;
  std::size_t next_ = 0;     // the next of taken_ to put in place
  std::size_t ordinal_ = 0;  // string literals read so far
  std::vector<Json*> open_;
  Json* member_ = nullptr;
};

}  // namespace

Json Session::Handle(std::string_view line, Asked* asked) {
  Json request;
  Json answer = ReadRequest(line, request);
  if (answer.empty()) answer = Answer(request, asked);
  WipeStrings(request);
  return answer;
}

Json Session::Handle(std::string&& line, Asked* asked) {
  Json request;
  Json answer = ReadRequest(std::move(line), request);
  if (answer.empty()) answer = Answer(request, asked);
  WipeStrings(request);
  return answer;
}

namespace {

// Parse: the request's DOM into `request`; a non-empty answer when the text is not a request.
// `taken`: the literals taken out of `line`, which the parser accepts as it stands.
Json Parse(std::string_view line, Json& request, std::vector<LongString>* taken) {
  Json answer = Json::object();
  try {
    RequestParser parser(request, taken);
    SecureSaxParse(line, &parser);
  } catch (const Json::exception& e) {
    answer["error"] = std::string("malformed request: ") + e.what();
    return answer;
  } catch (const RequestError& e) {
    answer["error"] = e.message;
    return answer;
  } catch (const std::bad_alloc&) {
    answer["error"] = "out of memory";
    return answer;
  }
  if (!request.is_object()) {
    answer["error"] = "malformed request: a request is a JSON object";
  }
  return answer;
}

}  // namespace

Json ReadRequest(std::string_view text, Json& request) { return Parse(text, request, nullptr); }

Json ReadRequest(std::string&& text, Json& request, std::size_t longest) {
  // The text is not needed once parsed: a large value is not held twice while it is converted.
  // It may hold a text to encrypt, so it is wiped however this ends.
  std::string line;
  line.swap(text);
  struct Forget {
    std::string& text;
    ~Forget() { platform::CleanseContents(text); }
  } forget{line};
  try {
    std::vector<LongString> taken = TakeLongStrings(line, longest);
    // Literals the parse did not reach (it failed first) are wiped like the text.
    struct ForgetTaken {
      std::vector<LongString>& taken;
      ~ForgetTaken() {
        for (LongString& t : taken) platform::CleanseContents(t.raw);
      }
    } forgetTaken{taken};
    if (!taken.empty()) {
      // Only a text that parses with every literal as the parser would take it is read short;
      // any other goes back whole, for the parser's own error.
      const bool decodable = std::all_of(taken.begin(), taken.end(), [](const LongString& t) {
        return Decode(t.raw, nullptr);
      });
      if (decodable && SecureAccept(line)) return Parse(line, request, &taken);
      std::string whole = PutBack(line, taken);
      platform::CleanseContents(line);
      line.swap(whole);
    }
  } catch (const std::bad_alloc&) {
    return Json{{"error", "out of memory"}};
  }
  return Parse(line, request, nullptr);
}

Json Session::Answer(Json& request, Asked* asked) {
  Json answer = Json::object();
  if (request.contains("id")) answer["id"] = std::move(request["id"]);
  if (asked != nullptr) {
    for (auto [key, into] : {std::pair{"op", &asked->op}, std::pair{"name", &asked->name}}) {
      const auto it = request.find(key);
      if (it != request.end() && it->is_string()) *into = it->get<std::string>();
    }
  }
  try {
    Run(request, answer);
  } catch (const RequestError& e) {
    Fail(answer, e.message);
  } catch (const Json::exception& e) {
    Fail(answer, std::string("malformed request: ") + e.what());
  } catch (const std::bad_alloc&) {
    Fail(answer, "out of memory");
  }
  return answer;
}

Session::Session(Notify notify) : notify_(std::move(notify)) {
  // A request's texts are large and short-lived: from 1 MiB up they are mapped and given back
  // as soon as they are freed, instead of leaving the heap at their size after the request.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  if (!notify_) notify_ = [](const std::string& text) { std::fprintf(stderr, "velmor: %s\n", text.c_str()); };
}

// ControlOf: the instance's control, created on first use.
Session::Control& Session::ControlOf(std::int64_t instance) {
  auto it = controls_.find(instance);
  if (it == controls_.end()) {
    if (controls_.size() >= kMaxControls) {
      throw RequestError{"too many controls: release one first (at most " +
                         std::to_string(kMaxControls) + " at a time)"};
    }
    void* pv = nullptr;
    std::string notice;
    const HRESULT hr = CreateControl(IID_IDispatch, &pv, &notice);
    if (!notice.empty()) notify_(notice);
    if (hr == REGDB_E_CLASSNOTREG) throw RequestError{kNotRegistered};
    if (FAILED(hr)) throw RequestError{"cannot create a control: " + HResultText(hr)};
    it = controls_.emplace(instance, Control{ComPtr<IDispatch>(static_cast<IDispatch*>(pv)), {}})
             .first;
  }
  return it->second;
}

void Session::Run(Json& request, Json& answer) {
  const std::string op = StringField(request, "op");
  const std::int64_t instance = Instance(request);
  if (op == "release") {
    if (controls_.erase(instance) == 0) {
      throw RequestError{"no control with instance " + std::to_string(instance)};
    }
    answer["ok"] = true;
    return;
  }
  try {
    if (AnswerLookup(op, request, answer)) return;  // what a consent window shows
  } catch (const std::invalid_argument& e) {
    throw RequestError{e.what()};
  }
  if (op != "put" && op != "get" && op != "call") throw RequestError{"unknown op: " + op};
  const std::string name = StringField(request, "name");
  Control& entry = ControlOf(instance);
  IDispatch* control = entry.dispatch.get();
  DISPID id = DISPID_UNKNOWN;
  if (const auto known = entry.ids.find(name); known != entry.ids.end()) {
    id = known->second;
  } else {
    id = MemberId(control, name);
    // Names differ in case only so many ways a page spells them: the table stays small.
    if (entry.ids.size() < kMaxRememberedNames) entry.ids.emplace(name, id);
  }

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
      Json& list = request["args"];
      if (!list.is_array()) throw RequestError{"malformed request: \"args\" must be an array"};
      std::size_t position = 0;
      for (Json& value : list) args.Add(value, "argument " + std::to_string(++position));
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


std::string HResultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string DumpAnswer(const Json& answer, bool ascii) {
  return answer.dump(-1, ' ', ascii, Json::error_handler_t::replace);
}

platform::SecureString DumpSecureAnswer(const Json& answer, bool ascii) {
  platform::SecureString text;
  // The serializer escapes each string through a buffer of its own: it is built in storage of
  // ours, which is wiped once the serializer is gone.
  using Serializer = nlohmann::detail::serializer<Json>;
  alignas(Serializer) unsigned char storage[sizeof(Serializer)];
  const platform::ScopedCleanse forget(storage, sizeof storage);
  auto* serializer = new (storage) Serializer(
      nlohmann::detail::output_adapter<char, platform::SecureString>(text), ' ',
      Json::error_handler_t::replace);
  try {
    serializer->dump(answer, false, ascii, 0);
  } catch (...) {
    serializer->~Serializer();
    throw;
  }
  serializer->~Serializer();
  return text;
}

void WipeStrings(Json& json) noexcept {
  // Requests are flat and answers too; an explicit stack all the same, so that no document can
  // make this recurse.
  std::vector<Json*> pending;
  try {
    pending.push_back(&json);
    while (!pending.empty()) {
      Json* value = pending.back();
      pending.pop_back();
      if (value->is_string()) {
        platform::CleanseContents(value->get_ref<std::string&>());
      } else if (value->is_structured()) {
        for (Json& element : *value) pending.push_back(&element);
      }
    }
  } catch (const std::bad_alloc&) {
    // Out of memory for the stack: what is left goes unwiped rather than crash the host.
  }
}

const char kNotRegistered[] =
    "the control VELMOR.VelmorCtrl.QVA is not registered; register it with `velmor register`";

HRESULT CreateControl(REFIID riid, void** ppv, std::string* notice) {
  constexpr char16_t kProgId[] = u"VELMOR.VelmorCtrl.QVA";
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(kProgId, &clsid))) {
    // An installed package registers its module for each user on first use, so that no user
    // has a step of their own to take.
    const std::string module = InstalledModulePath();
    std::string why;
    if (module.empty() || FAILED(com::CallServerExport(module, "DllRegisterServer", why)) ||
        FAILED(CLSIDFromProgID(kProgId, &clsid))) {
      return REGDB_E_CLASSNOTREG;
    }
    const std::string text = "registered the control VELMOR.VelmorCtrl.QVA from " + module +
                             " for this user (`velmor unregister` removes it)";
    if (notice != nullptr) {
      *notice = text;
    } else {
      std::fprintf(stderr, "velmor: %s\n", text.c_str());
    }
  }
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
}

std::string AbsolutePath(const std::string& path) {
  const platform::MallocChars resolved(realpath(path.c_str(), nullptr));
  return resolved ? std::string(resolved.get()) : std::string();
}

namespace {
// ProgramDir: the folder of the running program, without a final slash.
std::string ProgramDir() {
  const std::string self = AbsolutePath("/proc/self/exe");
  const auto slash = self.find_last_of('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash);
}
}  // namespace

std::string InstalledModulePath() {
  const std::string dir = ProgramDir();
  if (dir.empty()) return {};
  return AbsolutePath(dir + "/../lib/velmor/velmorQVA.so");
}

std::string DefaultModulePath() {
  // A build tree has <build>/bin/velmor and <build>/lib/velmorQVA.so; an installation has
  // <prefix>/bin/velmor and <prefix>/lib/velmor/velmorQVA.so.
  const std::string dir = ProgramDir();
  if (dir.empty()) return "velmorQVA.so";
  const std::string built = dir + "/../lib/velmorQVA.so";
  if (!AbsolutePath(built).empty()) return built;
  const std::string installed = InstalledModulePath();
  return installed.empty() ? built : installed;
}

}  // namespace velmor::host
