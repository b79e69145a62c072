// The browser host's cost to a page: from the browser starting velmor-host to the first answer
// (the module loaded through the registry, the control created), and the host's exit when the
// page goes; one request to a running host, from its message to its answer; and the memory one
// large request costs each host.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/child.h"
#include "tests/support/pki.h"

namespace {

using velmor::testing::ReadFull;

// OneConnection: starts a host, asks for the Copyright, reads the answer, closes the pipe and
// waits for the exit. False when any step fails.
bool OneConnection(const std::string& request) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    ::execl(VELMOR_HOST_BINARY, "velmor-host", nullptr);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  bool ok = ::write(in[1], request.data(), request.size()) == static_cast<ssize_t>(request.size());
  std::uint32_t length = 0;
  ok = ok && ReadFull(out[0], reinterpret_cast<char*>(&length), sizeof length);
  std::string answer(length, '\0');
  ok = ok && ReadFull(out[0], answer.data(), length);
  ::close(in[1]);
  char rest;
  ok = ok && ::read(out[0], &rest, 1) == 0;  // the host ends when its input does
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         answer.find("Tarnvik Inc.") != std::string::npos;
}

void BM_HostStartToFirstAnswer(benchmark::State& state) {
  velmor::testing::TempDataHome home;
  velmor::testing::RegisterModule(VELMOR_BINARY);
  const std::string json = "{\"id\":1,\"op\":\"get\",\"name\":\"Copyright\"}";
  std::string request(4, '\0');
  const auto length = static_cast<std::uint32_t>(json.size());
  std::memcpy(request.data(), &length, 4);
  request += json;
  for (auto _ : state) {
    if (!OneConnection(request)) {
      state.SkipWithError("the host did not answer");
      break;
    }
  }
}
BENCHMARK(BM_HostStartToFirstAnswer)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- One request to a running host ------------------------------------------------------------
// The host's part of a page's round trip (the page, the extension and the browser's pipe add
// theirs): a message written to a host that has answered before, until its answer is read.
// Argument 0: get Copyright (reading and writing the messages, the dispatch); 1: get SignData
// with RSA-2048 (the request the page's round trip is measured with), consent fields as the
// extension sends them.
class RunningHost {
 public:
  RunningHost() : child_(VELMOR_HOST_BINARY, "velmor-host", "chrome-extension://bench/") {}
  RunningHost(const RunningHost&) = delete;
  RunningHost& operator=(const RunningHost&) = delete;
  // Ask: the answer's text; empty when the host did not answer.
  std::string Ask(const std::string& json) {
    std::string message(4, '\0');
    const auto length = static_cast<std::uint32_t>(json.size());
    std::memcpy(message.data(), &length, 4);
    message += json;
    if (::write(child_.to(), message.data(), message.size()) != static_cast<ssize_t>(message.size())) return {};
    std::uint32_t size = 0;
    if (!ReadFull(child_.from(), reinterpret_cast<char*>(&size), sizeof size)) return {};
    std::string answer(size, '\0');
    if (!ReadFull(child_.from(), answer.data(), size)) return {};
    return answer;
  }

 private:
  velmor::testing::PipedChild child_;
};

void BM_RunningHostAnswer(benchmark::State& state) {
  namespace pki = velmor::testing;
  pki::TempDataHome home;
  pki::RegisterModule(VELMOR_BINARY);
  const pki::TestCert cert = pki::MakeCert(pki::Spec("/CN=Alice/OU=QVA/O=Tarnvik Bank", {}, 2048));
  pki::ImportWithKey("MY", cert);
  RunningHost host;
  const std::string cn = "08CN=Alice" + std::to_string(cert.serialHex.size()) + cert.serialHex;
  const std::string consent =
      R"(,"origin":"https://bank.example","consent":{"op":"get","name":"SignData","by":"user"})";
  const bool sign = state.range(0) == 1;
  if (host.Ask(R"({"op":"put","name":"CN","value":")" + cn + "\"}").find("error") != std::string::npos ||
      host.Ask(R"({"op":"put","name":"SignData","value":"Pay 100.00 EUR to 1234-5678"})").empty()) {
    state.SkipWithError("the host did not take the signer");
    return;
  }
  const std::string request = sign ? R"({"id":7,"op":"get","name":"SignData")" + consent + "}"
                                   : std::string(R"({"id":7,"op":"get","name":"Copyright"})");
  const char* expected = sign ? "\"result\":\"A:" : "Tarnvik Inc.";
  for (auto _ : state) {
    if (host.Ask(request).find(expected) == std::string::npos) {
      state.SkipWithError("the host did not answer as expected");
      break;
    }
  }
}
BENCHMARK(BM_RunningHostAnswer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- Memory of one request --------------------------------------------------------------------
// A host is given one `put SignData` of the size asked for (in MiB; 0 is a one-character value;
// then the code page, 0 for the locale's)
// and its peak resident size is read from the kernel once it has answered. The counters: the peak, the
// peak of a host given the one-character value, and how many times the value's size the request
// added to it.

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::string SignDataPut(std::size_t bytes) {
  return "{\"id\":1,\"op\":\"put\",\"name\":\"SignData\",\"value\":\"" +
         std::string(bytes == 0 ? 1 : bytes, 'a') + "\"}";
}

// HighWater: the peak resident size in KiB of process `pid` since it started its program
// (VmHWM; the rusage of a forked child would count its parent's pages from before the exec).
long HighWater(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// PeakOfOneRequest: runs `argv` with `input` on its standard input, waits for its answer (a
// framed message or a line), and returns its peak resident size in KiB; -1 when it fails.
long PeakOfOneRequest(const char* const* argv, const std::string& input, bool framed) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  bool ok = ::write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
  if (framed) {
    std::uint32_t length = 0;
    ok = ok && ReadFull(out[0], reinterpret_cast<char*>(&length), sizeof length);
    std::string answer(length, '\0');
    ok = ok && ReadFull(out[0], answer.data(), length);
  } else {
    char c = 0;
    while (ok && (ok = ::read(out[0], &c, 1) == 1) && c != '\n') {
    }
  }
  // The answer is out, the input still open: the host has done all it will for this request.
  const long peak = ok ? HighWater(pid) : -1;
  ::close(in[1]);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? peak : -1;
}

std::string Framed(const std::string& json) {
  std::string message(4, '\0');
  const auto length = static_cast<std::uint32_t>(json.size());
  std::memcpy(message.data(), &length, 4);
  return message + json;
}

void ReportPeak(benchmark::State& state, const char* const* argv, bool framed) {
  velmor::testing::TempDataHome home;
  // A second argument is the hosts' ANSI code page (the locale's when absent).
  const bool codePage = state.range(1) != 0;
  if (codePage) ::setenv("VELMOR_PROCESS_ACP", std::to_string(state.range(1)).c_str(), 1);
  velmor::testing::RegisterModule(VELMOR_BINARY);
  const auto size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const std::string small = framed ? Framed(SignDataPut(0)) : SignDataPut(0) + "\n";
  const std::string large = framed ? Framed(SignDataPut(size)) : SignDataPut(size) + "\n";
  long base = 0, peak = 0;
  for (auto _ : state) {
    base = PeakOfOneRequest(argv, small, framed);
    peak = PeakOfOneRequest(argv, large, framed);
    if (base < 0 || peak < 0) {
      if (codePage) ::unsetenv("VELMOR_PROCESS_ACP");
      state.SkipWithError("the host did not answer");
      return;
    }
  }
  if (codePage) ::unsetenv("VELMOR_PROCESS_ACP");
  state.counters["peak_MiB"] = static_cast<double>(peak) / 1024;
  state.counters["idle_MiB"] = static_cast<double>(base) / 1024;
  if (size > 0) {
    state.counters["per_byte"] = static_cast<double>(peak - base) * 1024 / static_cast<double>(size);
  }
}

void BM_BrowserHostPeakOfSignDataPut(benchmark::State& state) {
  const char* const argv[] = {VELMOR_HOST_BINARY, nullptr};
  ReportPeak(state, argv, true);
}
BENCHMARK(BM_BrowserHostPeakOfSignDataPut)->ArgsProduct({{8, 16, 32, 60}, {0}})->Args({60, 1252})->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_CallPeakOfSignDataPut(benchmark::State& state) {
  const char* const argv[] = {VELMOR_BINARY, "call", nullptr};
  ReportPeak(state, argv, false);
}
BENCHMARK(BM_CallPeakOfSignDataPut)->ArgsProduct({{8, 16, 32, 60}, {0}})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
