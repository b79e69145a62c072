// The request layer both hosts share, with the real control behind it: the module registered
// in the process's own data folder, created through the registry and driven through IDispatch
// as `velmor call` and `velmor-host` drive it, on the fuzz store (a signer, a recipient and their
// CA, made at start-up).
//
// Input: request lines, one session for all of them. In a line, @signer@, @recipient@ and @ca@
// stand for those certificates in Base64 and @work@ for a folder of this process, so that seeds
// can name what the store holds. Each line is also read with its string literals taken out, as a
// long request's are, which must read exactly as the whole text. Every answer must be an object that echoes the request's "id"
// and carries exactly one of "ok", "result" and "error"; a result string is never a malformed
// "E:" code, and SignData's typed form has lengths that agree.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/control_fixture.h"
#include "fuzz/prologue.h"
#include "hosts/session/session.h"
#include "platform/activation/activation.h"

namespace {

using namespace velmor;
using namespace velmor::fuzz;
using host::Json;

struct Places {
  std::string signer, recipient, ca, work;
};

const Places& GetPlaces() {
  static const Places places = [] {
    const Fixture& fixture = Fixture::Get();
    const auto one = [](const testing::TestCert& cert) {
      return Base64(std::string(cert.der.begin(), cert.der.end()));
    };
    return Places{one(fixture.pki().signer), one(fixture.pki().recipient), one(fixture.pki().ca),
                  fixture.work().string()};
  }();
  return places;
}

void ReplaceAll(std::string& text, std::string_view what, const std::string& with) {
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size()) {
    text.replace(at, what.size(), with);
  }
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// WritesOutsideWork: whether the request would have EncryptFile or DecryptFile write beside a
// path outside this process's folder (libFuzzer's own paths are relative to the working
// directory, which therefore stays as it is: a relative path is outside too).
bool WritesOutsideWork(const Json& request) {
  if (!request.is_object()) return false;
  const auto name = request.find("name");
  if (name == request.end() || !name->is_string()) return false;
  const std::string& member = name->get_ref<const std::string&>();
  if (!SameName(member, "EncryptFile") && !SameName(member, "DecryptFile")) return false;
  const auto args = request.find("args");
  if (args == request.end() || !args->is_array()) return false;
  for (const Json& arg : *args) {
    if (!arg.is_string()) continue;
    const std::string& path = arg.get_ref<const std::string&>();
    if (path.find("..") != std::string::npos || path.rfind(GetPlaces().work + "/", 0) != 0) return true;
  }
  return false;
}

// The members whose result is never a stored text the page chose: an "E:" there is a code.
bool AnswersWithCodes(std::string_view member) {
  for (const char* name : {"SignData", "SignFile", "Signature", "PKCS7Data", "SignCert", "Encrypt",
                           "Decrypt", "VerifyPKCS7", "VerifySignature", "EncryptFile", "DecryptFile",
                           "getProviderName", "getCertList"}) {
    if (SameName(member, name)) return true;
  }
  return false;
}

void CheckAnswer(const Json& request, const Json& answer) {
  Check(answer.is_object(), "an answer that is not an object");
  const int kinds = static_cast<int>(answer.contains("ok")) +
                    static_cast<int>(answer.contains("result")) +
                    static_cast<int>(answer.contains("error"));
  Check(kinds == 1, "an answer without exactly one of ok, result and error");
  Check(answer.size() == 1 + static_cast<std::size_t>(answer.contains("id")), "an answer with other keys");
  if (answer.contains("error")) Check(answer["error"].is_string(), "an error that is not a string");
  // A request nested deeper than a host takes is refused before its id is read.
  const bool tooDeep = answer.contains("error") &&
                       answer["error"] == "malformed request: nested deeper than 32 levels";
  if (tooDeep) {
    Check(!answer.contains("id"), "an id read from a request nested too deep");
  } else if (request.is_object() && request.contains("id")) {
    Check(answer.contains("id") && answer["id"] == request["id"], "the id is not echoed");
  } else {
    Check(!answer.contains("id"), "an id the request did not have");
  }
  host::DumpAnswer(answer);
  host::DumpAnswer(answer, true);
  if (!answer.contains("result")) return;
  Check(answer["result"].is_string(), "a result that is not a string");
  const std::string& result = answer["result"].get_ref<const std::string&>();
  const std::string member = request.value("name", std::string());
  if (!AnswersWithCodes(member)) return;
  if (result.rfind("E:", 0) == 0) {
    Check(IsFailure(Widen(result)), "a malformed E: code");
    return;
  }
  if (SameName(member, "SignData")) {
    const auto fields = TypedFields(result, 'A', 2);
    Check(fields && (*fields)[1].size() == 256 && IsUpperHex((*fields)[1]),
          "SignData: not A: text, then 256 hexadecimal digits");
  }
}

// The one file a run finds in the work folder; whatever a run writes beside it goes at the next.
constexpr char kPlainFile[] = "plain.txt";

void ResetWork() {
  for (const auto& entry : std::filesystem::directory_iterator(Fixture::Get().work())) {
    if (entry.path().filename() != kPlainFile) std::filesystem::remove_all(entry.path());
  }
}

// Reset: the module-wide inputs as a fresh module has them, through the session itself (the
// module is loaded once; its buffers outlive each run's controls).
void Reset(host::Session& session) {
  for (const char* name : {"SignData", "SignFile", "EncryptCN", "DecryptCN", "IssuerCN", "CN"}) {
    const Json answer = session.Handle(std::string(R"({"op":"put","name":")") + name + R"(","value":""})");
    Check(answer.contains("ok"), "the inputs cannot be reset");
  }
}

// Tracing: VELMOR_FUZZ_TRACE=1 prints every answer, to see what an input reaches when replayed.
bool Tracing() {
  static const bool on = std::getenv("VELMOR_FUZZ_TRACE") != nullptr;
  return on;
}

int Init() {
  const Fixture& fixture = Fixture::Get();
  // The module takes the process's code page when it loads: UTF-8, as every run expects.
  com::SetAnsiCodePage(CP_UTF8);
  std::string why;
  if (FAILED(com::CallServerExport(VELMOR_MODULE, "DllRegisterServer", why))) {
    std::fprintf(stderr, "cannot register %s: %s\n", VELMOR_MODULE, why.c_str());
    std::abort();
  }
  std::FILE* plain = std::fopen((fixture.work() / kPlainFile).c_str(), "wb");
  Check(plain != nullptr && std::fputs("a file to sign and to encrypt\n", plain) >= 0 &&
            std::fclose(plain) == 0,
        "cannot write the work folder's file");
  GetPlaces();
  // The module is loaded before the first run, so that its coverage counts from the start.
  host::Session session([](const std::string&) {});
  Check(session.Handle(R"({"op":"get","name":"Copyright"})").contains("result"),
        "the registered control does not answer");
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  const RunGuard guard;
  host::Session session([](const std::string&) {});
  Reset(session);
  ResetWork();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Places& places = GetPlaces();
  for (std::size_t at = 0; at <= input.size();) {
    std::size_t end = input.find('\n', at);
    if (end == std::string_view::npos) end = input.size();
    std::string line(input.substr(at, end - at));
    at = end + 1;
    ReplaceAll(line, "@signer@", places.signer);
    ReplaceAll(line, "@recipient@", places.recipient);
    ReplaceAll(line, "@ca@", places.ca);
    ReplaceAll(line, "@work@", places.work);
    const Json request = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    {
      // Reading the text with its literals taken out (here every one) is reading it whole.
      Json whole, taken;
      const Json expected = host::ReadRequest(std::string_view(line), whole);
      const Json answer = host::ReadRequest(std::string(line), taken, 1);
      Check(host::DumpAnswer(answer) == host::DumpAnswer(expected) &&
                host::DumpAnswer(taken) == host::DumpAnswer(whole),
            "a request read otherwise with its literals taken out");
    }
    if (WritesOutsideWork(request)) continue;
    // Both ways a host hands its request over: read in place, and taken.
    const Json answer = (at % 2 == 0) ? session.Handle(std::string_view(line)) : session.Handle(std::move(line));
    if (Tracing()) std::fprintf(stderr, "%s\n", host::DumpAnswer(answer).c_str());
    CheckAnswer(request, answer);
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxControlInput, .init = Init, .run = Run};
