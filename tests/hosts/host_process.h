// velmor-host as a test drives it: one host process on the two pipes a browser gives it, with
// length-prefixed JSON each way and long answers joined from their chunks.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/child.h"
#include "tests/support/pki.h"

namespace velmor::testing {

// The largest message the host writes: longer answers come in chunks.
constexpr std::size_t kMaxAnswer = std::size_t{1} << 20;

// Host: one velmor-host process with the browser's two pipes.
class Host {
 public:
  Host() : child_(VELMOR_HOST_BINARY, "velmor-host", "chrome-extension://test/") {}
  Host(const Host&) = delete;
  // pid: the host's process id while it runs.
  pid_t pid() const { return child_.pid(); }
  Host& operator=(const Host&) = delete;

  void SendRaw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(child_.to(), bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  static std::string Frame(const std::string& json, std::uint32_t length) {
    std::string header(4, '\0');
    std::memcpy(header.data(), &length, 4);
    return header + json;
  }
  void Send(const nlohmann::json& request) {
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
  nlohmann::json Answer(int* chunks = nullptr) {
    nlohmann::json first = nlohmann::json::parse(Message());
    if (chunks != nullptr) *chunks = 1;
    if (!first.contains("chunks")) return first;
    std::string text = first["data"];
    const int n = first["chunks"];
    for (int k = 1; k < n; ++k) {
      nlohmann::json part = nlohmann::json::parse(Message());
      EXPECT_EQ(part["chunk"], k);
      EXPECT_EQ(part["id"], first["id"]);
      text += part["data"].get<std::string>();
    }
    if (chunks != nullptr) *chunks = n;
    return nlohmann::json::parse(text);
  }
  nlohmann::json Ask(const nlohmann::json& request) {
    Send(request);
    return Answer();
  }
  void CloseInput() { child_.CloseInput(); }
  // Exit: the host's exit status once its input is closed (-1 if it did not exit normally).
  int Exit() { return child_.Wait(); }

 private:
  bool ReadFull(char* into, std::size_t size) { return testing::ReadFull(child_.from(), into, size); }

  PipedChild child_;
};

}  // namespace velmor::testing
