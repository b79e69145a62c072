// The browser host's cost to a page: from the browser starting velmor-host to the first answer
// (the module loaded through the registry, the control created), and the host's exit when the
// page goes.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

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

}  // namespace

BENCHMARK_MAIN();
