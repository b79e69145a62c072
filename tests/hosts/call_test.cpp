#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/pki.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

// Runs `velmor <args>` with `input` on standard input, in a data directory of its own.
class VelmorCall : public ::testing::Test {
 protected:
  VelmorCall() { velmor::testing::RegisterModule(VELMOR_BINARY); }
  Outcome Velmor(const std::string& args, const std::string& input) {
    const auto inputPath = home_.path() / "input.jsonl";
    velmor::testing::WriteFile(inputPath, input);
    const std::string command = std::string("'") + VELMOR_BINARY + "' " + args + " < '" +
                                inputPath.string() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    Outcome run{-1, {}};
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
  }
  Outcome Call(const std::string& input) { return Velmor("call", input); }

  velmor::testing::TempDataHome home_;
};

TEST_F(VelmorCall, CopyrightOfAFreshControl) {
  const Outcome run = Call("{\"op\":\"get\",\"name\":\"Copyright\"}\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "{\"result\":\"Tarnvik Inc.\"}\n");
}

TEST_F(VelmorCall, InstancesAreSeparateControls) {
  const Outcome run = Call(
      "{\"op\":\"put\",\"name\":\"Copyright\",\"value\":\"x\"}\n"
      "{\"op\":\"get\",\"name\":\"Copyright\"}\n"
      "{\"op\":\"get\",\"name\":\"Copyright\",\"instance\":1}\n"
      "{\"op\":\"put\",\"name\":\"Copyright\",\"value\":\"y\",\"instance\":1}\n"
      "{\"op\":\"release\",\"instance\":1}\n"
      "{\"op\":\"get\",\"name\":\"copyright\",\"instance\":1}\n"
      "{\"op\":\"get\",\"name\":\"COPYRIGHT\",\"instance\":0}\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"ok\":true}\n"
            "{\"result\":\"x\"}\n"
            "{\"result\":\"Tarnvik Inc.\"}\n"
            "{\"ok\":true}\n"
            "{\"ok\":true}\n"
            "{\"result\":\"Tarnvik Inc.\"}\n"
            "{\"result\":\"x\"}\n");
}

// A page that never releases its controls cannot grow the host without end.
TEST_F(VelmorCall, ControlsAreCappedUntilOneIsReleased) {
  std::string input;
  for (int i = 0; i <= 256; ++i) {
    input += "{\"op\":\"get\",\"name\":\"Copyright\",\"instance\":" + std::to_string(i) + "}\n";
  }
  input += "{\"op\":\"release\",\"instance\":3}\n{\"op\":\"get\",\"name\":\"Copyright\",\"instance\":256}\n";
  const Outcome run = Call(input);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(run.out.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 259u);
  EXPECT_EQ(lines[255], "{\"result\":\"Tarnvik Inc.\"}");
  EXPECT_EQ(lines[256], "{\"error\":\"too many controls: release one first (at most 256 at a time)\"}");
  EXPECT_EQ(lines[258], "{\"result\":\"Tarnvik Inc.\"}");
}

// Member ids are remembered per control by the name as spelt, at most 64 spellings: every
// casing resolves to the one member, past the remembered ones too, and a longer or shorter name
// with the same letters is still no member.
TEST_F(VelmorCall, MemberNamesResolveInAnyCasingPastTheRememberedOnes) {
  const std::string base = "copyright";
  std::string input = "{\"op\":\"put\",\"name\":\"COPYRIGHT\",\"value\":\"x\"}\n";
  std::string expected = "{\"ok\":true}\n";
  const auto get = [&](const std::string& name, const std::string& answer) {
    input += "{\"op\":\"get\",\"name\":\"" + name + "\"}\n";
    expected += answer + "\n";
  };
  const std::string unknown = "{\"error\":\"unknown member: ";
  get("CopyrightX", unknown + "CopyrightX\"}");
  get("Copyrigh", unknown + "Copyrigh\"}");
  for (unsigned casing = 0; casing < 80; ++casing) {
    std::string name = base;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if ((casing >> i & 1u) != 0) name[i] = static_cast<char>(name[i] - 'a' + 'A');
    }
    get(name, "{\"result\":\"x\"}");
  }
  get("copyrightx", unknown + "copyrightx\"}");
  get("cOPYRIGHT", "{\"result\":\"x\"}");
  const Outcome run = Call(input);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
}

TEST_F(VelmorCall, ModuleWideInputsReachEveryInstance) {
  const Outcome run = Call(
      "{\"op\":\"put\",\"name\":\"IssuerCN\",\"value\":\"0a1b\",\"instance\":0}\n"
      "{\"op\":\"get\",\"name\":\"IssuerCN\",\"instance\":5}\n");
  EXPECT_EQ(run.out, "{\"ok\":true}\n{\"result\":\"0a1b\"}\n");
}

TEST_F(VelmorCall, EchoesTheIdAndReturnsResultsExactly) {
  const Outcome run = Call(
      "{\"id\":\"req-1\",\"op\":\"put\",\"name\":\"Copyright\",\"value\":\"a\\nb\\\"c\"}\n"
      "{\"op\":\"get\",\"name\":\"Copyright\",\"id\":42}\n"
      "{\"op\":\"put\",\"name\":\"Copyright\",\"value\":null}\n"
      "{\"op\":\"get\",\"name\":\"Copyright\"}\r\n"
      "\n");
  EXPECT_EQ(run.out,
            "{\"id\":\"req-1\",\"ok\":true}\n"
            "{\"id\":42,\"result\":\"a\\nb\\\"c\"}\n"
            "{\"ok\":true}\n"
            "{\"result\":\"\"}\n");
}

struct BadRequest {
  const char* name;
  const char* line;
  const char* error;  // the start of the error text
};
void PrintTo(const BadRequest& b, std::ostream* os) { *os << b.name; }

class BadRequests : public VelmorCall, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(BadRequests, GetAnErrorAndTheNextLineStillRuns) {
  const Outcome run = Call(std::string(GetParam().line) +
                       "\n{\"op\":\"get\",\"name\":\"Copyright\"}\n");
  EXPECT_EQ(run.status, 0);
  const std::string expectedStart = std::string("{\"error\":\"") + GetParam().error;
  EXPECT_EQ(run.out.compare(0, expectedStart.size(), expectedStart), 0) << run.out;
  EXPECT_NE(run.out.find("\n{\"result\":\"Tarnvik Inc.\"}\n"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadRequests,
    ::testing::Values(
        BadRequest{"NotJson", "{\"op\":", "malformed request"},
        BadRequest{"NotAnObject", "[1,2]", "malformed request"},
        BadRequest{"NoOp", "{\"name\":\"Copyright\"}", "malformed request"},
        BadRequest{"UnknownOp", "{\"op\":\"fly\",\"name\":\"Copyright\"}", "unknown op"},
        BadRequest{"UnknownMember", "{\"op\":\"get\",\"name\":\"Nothing\"}", "unknown member"},
        BadRequest{"TooFewArguments", "{\"op\":\"call\",\"name\":\"Encrypt\",\"args\":[]}",
                   "wrong argument count"},
        BadRequest{"TooManyArguments",
                   "{\"op\":\"call\",\"name\":\"getCertList\",\"args\":[\"a\"]}",
                   "wrong argument count"},
        BadRequest{"PutWithoutValue", "{\"op\":\"put\",\"name\":\"Copyright\"}",
                   "malformed request"},
        BadRequest{"PutOnAMethod", "{\"op\":\"put\",\"name\":\"Encrypt\",\"value\":\"x\"}",
                   "Encrypt does not support put"},
        BadRequest{"ArgumentNotAString",
                   "{\"op\":\"call\",\"name\":\"Encrypt\",\"args\":[1]}",
                   "arguments must be strings or null"},
        BadRequest{"NegativeInstance", "{\"op\":\"get\",\"name\":\"CN\",\"instance\":-1}",
                   "malformed request"},
        BadRequest{"ReleaseUnknownInstance", "{\"op\":\"release\",\"instance\":9}",
                   "no control with instance 9"},
        // A control would act on the text before the U+0000 and drop the rest unseen.
        BadRequest{"NulInAPutValue",
                   "{\"op\":\"put\",\"name\":\"Copyright\",\"value\":\"a\\u0000b\"}",
                   "the value holds U+0000"},
        BadRequest{"NulInAnArgument",
                   "{\"op\":\"call\",\"name\":\"Encrypt\",\"args\":[null,\"\\u0000\"]}",
                   "argument 2 holds U+0000"},
        BadRequest{"NulInTheMemberName",
                   "{\"op\":\"put\",\"name\":\"Copyright\\u0000x\",\"value\":\"a\"}",
                   "the member name holds U+0000"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VelmorCall, DeeplyNestedRequestsAreRefusedWithoutCrashing) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const Outcome run = Call("{\"id\":" + deep + ",\"op\":\"get\",\"name\":\"Copyright\"}\n" +
                           "{\"x\":" + deep + ",\"op\":\"get\",\"name\":\"Copyright\"}\n" +
                           "{\"op\":\"get\",\"name\":\"Copyright\",\"id\":[[{\"a\":[1]}]]}\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"error\":\"malformed request: nested deeper than 32 levels\"}\n"
            "{\"error\":\"malformed request: nested deeper than 32 levels\"}\n"
            "{\"id\":[[{\"a\":[1]}]],\"result\":\"Tarnvik Inc.\"}\n");
}

TEST_F(VelmorCall, RequestsLongerThan64MiBAreRefusedAndTheNextLineRuns) {
  const std::string request = "{\"op\":\"get\",\"name\":\"Copyright\"}";
  const std::size_t cap = std::size_t{64} << 20;
  std::string atCap = request + std::string(cap - request.size(), ' ');
  const Outcome run = Call(atCap + "\n" + atCap + " \n" + atCap + "\r\n" + request + "\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"result\":\"Tarnvik Inc.\"}\n"
            "{\"error\":\"malformed request: longer than 67108864 bytes\"}\n"
            "{\"result\":\"Tarnvik Inc.\"}\n"
            "{\"result\":\"Tarnvik Inc.\"}\n");
}

TEST_F(VelmorCall, AnsiCodePageDecidesWhatSurvives) {
  const std::string input =
      "{\"op\":\"put\",\"name\":\"Copyright\",\"value\":\"\xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9\"}\n"
      "{\"op\":\"get\",\"name\":\"Copyright\"}\n";
  // 936 holds both characters and the e-acute; 1252 only the e-acute.
  EXPECT_EQ(Velmor("call --acp 936", input).out,
            "{\"ok\":true}\n{\"result\":\"\xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9\"}\n");
  EXPECT_EQ(Velmor("call --acp 1252", input).out,
            "{\"ok\":true}\n{\"result\":\"?? \xC3\xA9\"}\n");
  EXPECT_EQ(Velmor("call --acp 65001", input).out,
            "{\"ok\":true}\n{\"result\":\"\xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9\"}\n");
}

// A peer that sends one request and waits gets its answer while its side of the pipe stays
// open: each line is answered as it arrives, not when the input ends or fills a buffer.
TEST_F(VelmorCall, AnswersEachLineWhileTheInputStaysOpen) {
  int in[2];
  int out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::close(in[1]);
    ::close(out[0]);
    ::execl(VELMOR_BINARY, "velmor", "call", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  const std::string request = R"({"op":"get","name":"Copyright"})" "\n";
  ASSERT_EQ(::write(in[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  pollfd ready{out[0], POLLIN, 0};
  const int seen = ::poll(&ready, 1, 20000);
  std::string answer(256, '\0');
  const ssize_t n = seen == 1 ? ::read(out[0], answer.data(), answer.size()) : 0;
  ::close(in[1]);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(seen, 1) << "no answer while the input stayed open";
  answer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  EXPECT_EQ(answer, "{\"result\":\"Tarnvik Inc.\"}\n");
}

TEST_F(VelmorCall, WrongOptionsExitWithTwo) {
  EXPECT_EQ(Velmor("call --acp 5", "").status, 2);
  EXPECT_EQ(Velmor("call --acp abc", "").status, 2);
  EXPECT_EQ(Velmor("call --no-such-option", "").status, 2);
  EXPECT_EQ(Velmor("call", "").status, 0);
}

}  // namespace
