// The browsers' native messaging framing: each message is a 32-bit length in the machine's own
// byte order, then that many bytes of UTF-8 JSON. Messages from the browser may be up to 64 MiB;
// a message to the browser may not exceed 1 MiB, so a longer answer goes in numbered chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/session/session.h"

namespace velmor::host {

// The longest message the browser accepts from a host.
inline constexpr std::size_t kMaxAnswerMessage = std::size_t{1} << 20;

enum class ReadStatus {
  kMessage,    // `message` holds the next message
  kEnd,        // the browser closed the pipe between messages
  kTruncated,  // the pipe closed inside a message
  kOversized,  // the message was longer than kMaxRequestBytes; it was read and dropped
};

// ReadMessage: the next message on descriptor `fd`. An oversized message is consumed without
// being held, so that the next one is read from its own start; `declared` is the length its
// header gave. A read error counts as the end of the pipe. What `message` held before is wiped.
ReadStatus ReadMessage(int fd, std::string& message, std::uint32_t& declared);

// FramedAnswer: the messages that carry `answer` to the browser. One message when its JSON text
// fits in `limit` (kMaxAnswerMessage); otherwise chunks {"id", "chunk": k, "chunks": n, "data"},
// k from 0, whose "data" strings joined give the answer's JSON text. Every non-ASCII character is
// escaped, so a chunk boundary never splits one. Each message is made only when asked for, so
// that a large answer is not held a second time in its messages. An answer may carry a
// plaintext: its text and its messages are wiped when they go.
class FramedAnswer {
 public:
  explicit FramedAnswer(const Json& answer, std::size_t limit = kMaxAnswerMessage);
  // size: how many messages carry the answer.
  std::size_t size() const { return parts_.empty() ? 1 : parts_.size(); }
  // Message: message k (k < size()), header included.
  platform::SecureString Message(std::size_t k);

 private:
  platform::SecureString text_;  // the answer's JSON text, or the refusal that stands for it
  Json envelope_;     // the chunks' fields but "data"
  std::vector<std::pair<std::size_t, std::size_t>> parts_;  // offset and length in text_
};

// FrameAnswer: every message of FramedAnswer(answer) at once.
std::vector<std::string> FrameAnswer(const Json& answer);

// WriteAll: writes `bytes` to `fd`; false when the browser has gone (the pipe is closed).
bool WriteAll(int fd, std::string_view bytes);

}  // namespace velmor::host
