#include "hosts/browser/gate.h"

#include <nlohmann/json.hpp>

#include "control/interface/consent.h"
#include "hosts/session/secure_json.h"
#include "platform/base/secure.h"

namespace velmor::host {

// The few fields the gate reads. A request may carry a value of 60 MB: it is scanned and not
// kept, never built into a document beside the one the session makes.
struct RequestGate::Fields {
  std::string op, name, origin;
  bool consentObject = false;
  std::string consentOp, consentName;
  nlohmann::ordered_json id;  // echoed in a refusal; only a scalar id is kept
  bool hasId = false;
};

namespace {

// The gate reads every request before the session does: through the same wiped buffers.
using SaxJson = SecureJson;


class FieldReader final : public nlohmann::json_sax<SaxJson> {
 public:
  explicit FieldReader(RequestGate::Fields& f) : f_(f) {}
  bool null() override { return Id(nullptr); }
  bool boolean(bool v) override { return Id(v); }
  bool number_integer(number_integer_t v) override { return Id(v); }
  bool number_unsigned(number_unsigned_t v) override { return Id(v); }
  bool number_float(number_float_t v, const string_t&) override { return Id(v); }
  bool binary(binary_t&) override { return true; }
  bool string(string_t& value) override {
    if (depth_ == 1 && key_ == "id") Id(std::string(std::string_view(value)));
    if (depth_ == 1) {
      if (key_ == "op") f_.op = value;
      if (key_ == "name") f_.name = value;
      if (key_ == "origin") f_.origin = value;
    } else if (depth_ == 2 && inConsent_) {
      if (key_ == "op") f_.consentOp = value;
      if (key_ == "name") f_.consentName = value;
    }
    // `value` is the parser's own buffer, which holds every text of the request in turn, a
    // plaintext to encrypt among them: it is wiped before the parser reuses or frees it.
    value.clear();
    return true;
  }
  bool start_object(std::size_t) override {
    if (depth_ == 1 && key_ == "consent") {
      inConsent_ = true;
      f_.consentObject = true;
      f_.consentOp.clear();
      f_.consentName.clear();
    }
    ++depth_;
    key_.clear();
    return true;
  }
  bool end_object() override {
    if (--depth_ == 1) inConsent_ = false;
    key_.clear();
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    key_.clear();
    return true;
  }
  bool end_array() override {
    --depth_;
    key_.clear();
    return true;
  }
  bool key(string_t& k) override {
    key_ = k.size() <= 16 ? std::string(std::string_view(k)) : std::string();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  template <typename T>
  bool Id(const T& value) {
    if (depth_ == 1 && key_ == "id") {
      f_.id = value;
      f_.hasId = true;
    }
    return true;
  }
  RequestGate::Fields& f_;
  int depth_ = 0;
  bool inConsent_ = false;
  std::string key_;
};

bool SameName(std::string_view a, std::string_view b) {
  return control::FindMemberConsent(a) != nullptr &&
         control::FindMemberConsent(a) == control::FindMemberConsent(b);
}

}  // namespace

std::optional<nlohmann::ordered_json> RequestGate::Check(std::string_view message,
                                                         Session::Asked* asked) {
  Fields f;
  std::optional<std::string> refusal = Refusal(message, f);
  if (!refusal) return std::nullopt;
  if (asked != nullptr) *asked = Session::Asked{f.op, f.name};
  nlohmann::ordered_json answer = nlohmann::ordered_json::object();
  if (f.hasId) answer["id"] = f.id;
  answer["error"] = *refusal;
  return answer;
}

std::optional<std::string> RequestGate::Refusal(std::string_view message, Fields& f) {
  FieldReader reader(f);
  if (!SecureSaxParse(message, &reader)) return std::nullopt;
  if (f.op != "get" && f.op != "put" && f.op != "call") return std::nullopt;
  if (!f.origin.empty()) {
    if (origin_.empty()) origin_ = f.origin;
    if (f.origin != origin_) return "refused: this host serves another page";
  }
  if (f.name.empty()) return std::nullopt;  // the session answers what is wrong with it
  const control::MemberConsent* member = control::FindMemberConsent(f.name);
  // A member the consent column lacks is one the host cannot judge: it goes no further.
  if (member == nullptr) return "unknown member: " + f.name;
  const std::string name(member->name);
  if (member->property && f.op == "call") {
    return "refused: " + name + " is a property: get or put it, never call it";
  }
  if (!member->property && f.op != "call") {
    return "refused: " + name + " is a method: call it, never " + f.op + " it";
  }
  const bool reads = f.op != "put";
  if (!reads || member->consent == control::kConsentNone) return std::nullopt;
  if (origin_.empty()) return "refused: " + name + " needs the user's consent, and no page is named";
  if (!f.consentObject || f.consentOp != f.op || !SameName(f.consentName, name)) {
    return "refused: " + name + " needs the user's consent, and the request carries none";
  }
  return std::nullopt;
}

}  // namespace velmor::host
