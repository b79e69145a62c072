// velmor-host as the browser drives it: length-prefixed JSON on a pipe, answers over 1 MiB in
// chunks, bad messages answered without losing the connection, and a log without values.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/hosts/host_process.h"
#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;
using Json = nlohmann::json;

using pki::Host;
using pki::kMaxAnswer;
constexpr char kOrigin[] = "https://bank.example";

class BrowserHost : public ::testing::Test {
 protected:
  BrowserHost() { pki::RegisterModule(VELMOR_BINARY); }
  std::string Log() {
    std::ifstream in(home_.path() / ".local/state/velmor/host.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  pki::TempDataHome home_;
};

TEST_F(BrowserHost, AnswersLikeVelmorCallAndEchoesTheId) {
  Host host;
  EXPECT_EQ(host.Ask({{"id", 7}, {"op", "get"}, {"name", "Copyright"}}),
            Json({{"id", 7}, {"result", "Tarnvik Inc."}}));
  EXPECT_EQ(host.Ask({{"id", "x"}, {"op", "get"}, {"name", "NoSuchMember"}}),
            Json({{"id", "x"}, {"error", "unknown member: NoSuchMember"}}));
  host.CloseInput();
  EXPECT_EQ(host.Message(), "");
  EXPECT_EQ(host.Exit(), 0);
}

// A result of several MiB (quotes, backslashes and non-ASCII text, which grow when escaped)
// arrives in chunks of at most 1 MiB that join to exactly the text that was put.
TEST_F(BrowserHost, LongAnswersComeInChunksThatJoinExactly) {
  std::string value;
  while (value.size() < (std::size_t{3} << 20)) value += "\"\\ \xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x8F x";
  Host host;
  ASSERT_EQ(host.Ask({{"id", 1}, {"op", "put"}, {"name", "Copyright"}, {"value", value}}),
            Json({{"id", 1}, {"ok", true}}));
  host.Send({{"id", 2}, {"op", "get"}, {"name", "Copyright"}});
  int chunks = 0;
  const Json answer = host.Answer(&chunks);
  EXPECT_GT(chunks, 3);
  EXPECT_EQ(answer["id"], 2);
  EXPECT_EQ(answer["result"], value);
  EXPECT_EQ(host.Ask({{"id", 3}, {"op", "get"}, {"name", "CN"}})["result"], "");
}

// Whatever arrives, the host answers and goes on with the next message; a pipe that closes
// inside a message ends it cleanly.
TEST_F(BrowserHost, BadMessagesAreAnsweredAndTheConnectionGoesOn) {
  Host host;
  host.SendRaw(Host::Frame("{\"op\":", 6));
  EXPECT_NE(host.Answer()["error"].get<std::string>().find("malformed request"), std::string::npos);
  host.SendRaw(Host::Frame("\xFF\xFE", 2));
  EXPECT_TRUE(host.Answer().contains("error"));
  host.SendRaw(Host::Frame("[1,2]", 5));
  EXPECT_TRUE(host.Answer().contains("error"));
  // Over 64 MiB: read and dropped, never held.
  const std::uint32_t oversized = (64u << 20) + 1;
  std::thread feed([&] {
    host.SendRaw(Host::Frame("", oversized));
    const std::string block(1 << 20, 'x');
    for (std::uint32_t sent = 0; sent + block.size() <= oversized; sent += block.size()) host.SendRaw(block);
    host.SendRaw("x");
  });
  const Json refused = host.Answer();
  feed.join();
  EXPECT_EQ(refused["error"], "malformed message: longer than 67108864 bytes");
  // An id too long for any message to carry it gets an answer without it.
  EXPECT_EQ(host.Ask({{"id", std::string(std::size_t{1} << 20, 'i')}, {"op", "get"}, {"name", "CN"}}),
            Json({{"error", "the request's id is too long to carry a chunked answer"}}));
  EXPECT_EQ(host.Ask({{"op", "get"}, {"name", "Copyright"}})["result"], "Tarnvik Inc.");
  host.SendRaw(Host::Frame("{\"op\":\"get\"", 100));
  host.CloseInput();
  EXPECT_EQ(host.Answer()["error"], "malformed message: the pipe closed inside a message");
  EXPECT_EQ(host.Exit(), 0);
}

// The log tells what was asked and how it ended, never the texts, results or signatures.
TEST_F(BrowserHost, TheLogHoldsNoValues) {
  const pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=Logger/OU=QVA/O=Tarnvik Bank"));
  pki::ImportWithKey("MY", cert);
  char cn[128];
  std::snprintf(cn, sizeof cn, "09CN=Logger%02zu%s", cert.serialHex.size(), cert.serialHex.c_str());
  const std::string secret = "transfer 1000 EUR to the account of SECRET-BENEFICIARY";
  std::string signature;
  {
    Host host;
    host.Ask({{"op", "put"}, {"name", "CN"}, {"value", cn}});
    host.Ask({{"op", "put"}, {"name", "SignData"}, {"value", secret}});
    signature = host.Ask({{"op", "get"}, {"name", "SignData"}, {"origin", kOrigin},
                          {"consent", {{"op", "get"}, {"name", "SignData"}, {"by", "user"}}}})["result"];
    host.Ask({{"op", "call"}, {"name", "Encrypt"}, {"args", {secret}}});
    host.Ask({{"op", "get"}, {"name", "not a member: SECRET-BENEFICIARY"}});
    // Copyright holds any text, and an error result is only its code: "E:0003" and no more.
    host.Ask({{"op", "put"}, {"name", "Copyright"}, {"value", "E:0003 SECRET-BENEFICIARY"}});
    host.Ask({{"op", "get"}, {"name", "Copyright"}});
    host.Ask({{"op", "certificate"}, {"serial", cert.serialHex}});
    host.Ask({{"op", "file"}, {"path", "/tmp/SECRET-BENEFICIARY"}, {"digest", true}});
  }
  ASSERT_EQ(signature.rfind("A:", 0), 0u) << signature;
  const std::string log = Log();
  EXPECT_NE(log.find("request get SignData"), std::string::npos) << log;
  EXPECT_NE(log.find("result E:0003\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("SECRET-BENEFICIARY"), std::string::npos) << log;
  EXPECT_EQ(log.find(signature.substr(signature.size() - 40)), std::string::npos) << log;
  EXPECT_EQ(log.find(cert.serialHex), std::string::npos) << log;
}

// The log is moved aside as it passes 1 MiB within one host, not only when the next one starts.
TEST_F(BrowserHost, TheLogRotatesWithinOneHost) {
  Host host;
  const Json request = {{"op", "get"}, {"name", "Copyright"}};
  for (int i = 0; i < 12000; ++i) host.Ask(request);
  host.CloseInput();
  EXPECT_EQ(host.Exit(), 0);
  const auto dir = home_.path() / ".local/state/velmor";
  ASSERT_TRUE(std::filesystem::exists(dir / "host.log.1"));
  EXPECT_LE(std::filesystem::file_size(dir / "host.log"), std::size_t{1} << 20);
  EXPECT_LE(std::filesystem::file_size(dir / "host.log.1"), (std::size_t{1} << 20) + 256);
}

// The host judges each request by the control's consent column, whatever the extension did: a
// member asked the wrong way is refused, and so is a signing, opening or file-writing request
// without a grant for that very request. Refused requests do no work: the file stays unwritten.
struct GateCase {
  const char* what;
  Json request;
  const char* error;  // empty: carried out
};

class Gate : public BrowserHost, public ::testing::WithParamInterface<GateCase> {};

TEST_P(Gate, RefusesByTheConsentColumn) {
  const std::string input = (home_.path() / "in.txt").string();
  std::ofstream(input) << "salaries";
  Json request = GetParam().request;
  for (auto& arg : request["args"]) {
    if (arg == "IN") arg = input;
  }
  Host host;
  const Json answer = host.Ask(request);
  const std::string expected = GetParam().error;
  if (expected.empty()) {
    EXPECT_FALSE(answer.contains("error")) << answer;
  } else {
    EXPECT_EQ(answer.value("error", ""), expected) << answer;
    EXPECT_EQ(answer.value("id", Json()), request.value("id", Json()));
  }
  EXPECT_FALSE(std::filesystem::exists(input + ".enc"));
}

const Json kGrantSignData = {{"op", "get"}, {"name", "signdata"}, {"by", "user"}};

INSTANTIATE_TEST_SUITE_P(
    BrowserHost, Gate,
    ::testing::Values(
        GateCase{"call_of_a_property", {{"id", 1}, {"op", "call"}, {"name", "SignData"}, {"origin", kOrigin}},
                 "refused: SignData is a property: get or put it, never call it"},
        GateCase{"get_of_a_method", {{"id", 2}, {"op", "get"}, {"name", "pkcs7data"}, {"origin", kOrigin}},
                 "refused: PKCS7Data is a method: call it, never get it"},
        GateCase{"put_of_a_method", {{"op", "put"}, {"name", "Decrypt"}, {"value", "x"}},
                 "refused: Decrypt is a method: call it, never put it"},
        GateCase{"sign_without_grant", {{"id", "s"}, {"op", "get"}, {"name", "SignData"}, {"origin", kOrigin}},
                 "refused: SignData needs the user's consent, and the request carries none"},
        GateCase{"grant_for_another_member",
                 {{"op", "get"}, {"name", "Signature"}, {"origin", kOrigin}, {"consent", kGrantSignData}},
                 "refused: Signature needs the user's consent, and the request carries none"},
        GateCase{"grant_without_origin", {{"op", "get"}, {"name", "SignData"}, {"consent", kGrantSignData}},
                 "refused: SignData needs the user's consent, and no page is named"},
        GateCase{"file_output_without_grant",
                 {{"op", "call"}, {"name", "EncryptFile"}, {"args", {"IN"}}, {"origin", kOrigin}},
                 "refused: EncryptFile needs the user's consent, and the request carries none"},
        GateCase{"certificates_without_grant", {{"op", "call"}, {"name", "getCertList"}, {"args", Json::array()}, {"origin", kOrigin}},
                 "refused: getCertList needs the user's consent, and the request carries none"},
        GateCase{"granted", {{"op", "get"}, {"name", "SIGNDATA"}, {"origin", kOrigin}, {"consent", kGrantSignData}}, ""},
        GateCase{"inputs_need_none", {{"op", "put"}, {"name", "SignData"}, {"value", "x"}}, ""},
        GateCase{"free_members_need_none", {{"op", "call"}, {"name", "Encrypt"}, {"args", {"x"}}}, ""}),
    [](const auto& row) { return std::string(row.param.what); });

// A host serves one page: a request in the name of another origin is refused.
TEST_F(BrowserHost, OneHostServesOneOrigin) {
  Host host;
  EXPECT_FALSE(host.Ask({{"op", "get"}, {"name", "CN"}, {"origin", kOrigin}}).contains("error"));
  EXPECT_EQ(host.Ask({{"op", "get"}, {"name", "CN"}, {"origin", "https://other.example"}})["error"],
            "refused: this host serves another page");
}

// What the consent window shows comes from the host: a certificate as the store names it, found
// by its serial, and a file's size and SHA-256 (openssl's digest of the same bytes).
TEST_F(BrowserHost, LooksUpCertificatesAndFilesForTheConsentWindow) {
  const pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=Store Name/OU=QVA/O=Tarnvik Bank"));
  pki::ImportWithKey("MY", cert);
  const std::string file = (home_.path() / "payment.txt").string();
  std::ofstream(file) << "pay 100.00 EUR\n";
  Host host;
  const Json found = host.Ask({{"op", "certificate"}, {"serial", cert.serialHex}, {"signer", true}});
  EXPECT_EQ(found["certificate"]["subject"], "Store Name") << found;
  EXPECT_EQ(found["certificate"]["serial"], cert.serialHex);
  EXPECT_NE(found["certificate"]["issuer"].get<std::string>().find("CN="), std::string::npos);
  EXPECT_EQ(found["certificate"]["notAfter"].get<std::string>().size(), 20u);
  EXPECT_TRUE(host.Ask({{"op", "certificate"}, {"serial", "00"}})["certificate"].is_null());
  const Json described = host.Ask({{"op", "file"}, {"path", file}, {"digest", true}});
  const pki::CommandResult digest = pki::Run("openssl dgst -sha256 -r '" + file + "'");
  EXPECT_EQ(described["file"]["sha256"], digest.output.substr(0, 64)) << described;
  EXPECT_EQ(described["file"]["size"], 15);
  EXPECT_EQ(described["file"]["fullPath"], file);
  EXPECT_FALSE(host.Ask({{"op", "file"}, {"path", file + ".enc"}})["file"]["exists"].get<bool>());
}

TEST_F(BrowserHost, ManifestsNameTheHostAndOnlyOurExtension) {
  const std::string dir = home_.path().string();
  const pki::CommandResult install =
      pki::Run(std::string("'") + VELMOR_BINARY + "' install-browser-host --user-data-dir '" + dir +
               "/ud' --firefox-dir '" + dir + "/ff'");
  ASSERT_EQ(install.status, 0) << install.output;
  std::ifstream chromium(dir + "/ud/NativeMessagingHosts/org.velmor.host.json");
  std::ifstream firefox(dir + "/ff/org.velmor.host.json");
  const Json c = Json::parse(chromium);
  const Json f = Json::parse(firefox);
  EXPECT_EQ(c["name"], "org.velmor.host");
  EXPECT_EQ(c["type"], "stdio");
  EXPECT_EQ(c["path"], std::filesystem::canonical(VELMOR_HOST_BINARY).string());
  EXPECT_EQ(c["allowed_origins"], Json::array({"chrome-extension://nfmifenlhpaglgpgnjmepjnnmcllmfpj/"}));
  EXPECT_FALSE(c.contains("allowed_extensions"));
  EXPECT_EQ(f["allowed_extensions"], Json::array({"extension@velmor"}));
  EXPECT_FALSE(f.contains("allowed_origins"));
  const pki::CommandResult removed =
      pki::Run(std::string("'") + VELMOR_BINARY + "' uninstall-browser-host --user-data-dir '" + dir +
               "/ud' --firefox-dir '" + dir + "/ff'");
  EXPECT_EQ(removed.status, 0) << removed.output;
  EXPECT_FALSE(std::ifstream(dir + "/ud/NativeMessagingHosts/org.velmor.host.json").good());
  EXPECT_FALSE(std::ifstream(dir + "/ff/org.velmor.host.json").good());
}

}  // namespace
