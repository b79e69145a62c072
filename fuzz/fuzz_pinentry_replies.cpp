// What a PIN dialog sends back: the greeting, the answers to the commands and the PIN in
// percent-escaped data lines, as any bytes. The conversation must end with a PIN, a cancel or a
// failure, never read past a line's limit, and never wait once the dialog has gone.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/prologue.h"
#include "platform/crypt/pinentry.h"

namespace {

constexpr std::size_t kMaxInput = 8192;  // within a socket's buffer: the write never blocks

int Run(const std::uint8_t* data, std::size_t size) {
  using velmor::platform::UniqueFd;
  namespace crypt = velmor::crypt::detail;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  UniqueFd dialog(fds[1]);
  if (size > 0 && ::write(fds[1], data, size) != static_cast<ssize_t>(size)) {
    ::close(fds[0]);
    return 0;
  }
  ::shutdown(fds[1], SHUT_WR);  // the dialog says nothing more
  crypt::SecretBytes pin;
  const crypt::PinDialog text{"Token PIN", "Enter the PIN\nof the token", "PIN:"};
  const auto answer = crypt::AskPinOn(UniqueFd(fds[0]), text, pin);
  if (answer != crypt::PinAnswer::kPin && !pin.empty()) __builtin_trap();
  if (pin.size() > crypt::kPinMax) __builtin_trap();
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxInput, .init = nullptr, .run = Run};
