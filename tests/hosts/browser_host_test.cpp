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

#include "tests/support/pki.h"

namespace {

namespace pki = velmor::testing;
using Json = nlohmann::json;

constexpr std::size_t kMaxAnswer = std::size_t{1} << 20;

// Host: one velmor-host process with the browser's two pipes.
class Host {
 public:
  Host() {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      ::execl(VELMOR_HOST_BINARY, "velmor-host", "chrome-extension://test/", nullptr);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Host() {
    CloseInput();
    Exit();
    if (from_ >= 0) ::close(from_);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  void SendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(to_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  static std::string Frame(const std::string& json, std::uint32_t length) {
    std::string header(4, '\0');
    std::memcpy(header.data(), &length, 4);
    return header + json;
  }
  void Send(const Json& request) {
    const std::string text = request.dump();
    SendRaw(Frame(text, static_cast<std::uint32_t>(text.size())));
  }
  // Message: the next message the host wrote, as text; empty at the end of its output.
  std::string Message() {
    std::uint32_t length = 0;
    if (!ReadFull(reinterpret_cast<char*>(&length), 4)) return {};
    EXPECT_LE(length, kMaxAnswer);
    std::string text(length, '\0');
    EXPECT_TRUE(ReadFull(text.data(), length));
    return text;
  }
  // Answer: the next answer, its chunks joined; `chunks` counts the messages it came in.
  Json Answer(int* chunks = nullptr) {
    Json first = Json::parse(Message());
    if (chunks != nullptr) *chunks = 1;
    if (!first.contains("chunks")) return first;
    std::string text = first["data"];
    const int n = first["chunks"];
    for (int k = 1; k < n; ++k) {
      Json part = Json::parse(Message());
      EXPECT_EQ(part["chunk"], k);
      EXPECT_EQ(part["id"], first["id"]);
      text += part["data"].get<std::string>();
    }
    if (chunks != nullptr) *chunks = n;
    return Json::parse(text);
  }
  Json Ask(const Json& request) {
    Send(request);
    return Answer();
  }
  void CloseInput() {
    if (to_ >= 0) ::close(to_);
    to_ = -1;
  }
  // Exit: the host's exit status once its input is closed (-1 if it did not exit normally).
  int Exit() {
    if (pid_ <= 0) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  bool ReadFull(char* into, std::size_t size) { return pki::ReadFull(from_, into, size); }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

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
    signature = host.Ask({{"op", "get"}, {"name", "SignData"}})["result"];
    host.Ask({{"op", "call"}, {"name", "Encrypt"}, {"args", {secret}}});
    host.Ask({{"op", "get"}, {"name", "not a member: SECRET-BENEFICIARY"}});
  }
  ASSERT_EQ(signature.rfind("A:", 0), 0u) << signature;
  const std::string log = Log();
  EXPECT_NE(log.find("request get SignData"), std::string::npos) << log;
  EXPECT_EQ(log.find("SECRET-BENEFICIARY"), std::string::npos) << log;
  EXPECT_EQ(log.find(signature.substr(signature.size() - 40)), std::string::npos) << log;
  EXPECT_EQ(log.find(cert.serialHex), std::string::npos) << log;
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
