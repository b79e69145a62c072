#include "hosts/browser/native_messaging.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmor::host {
namespace {

// ReadFull: up to `size` bytes into `into`; the count read, short only at the end of the pipe.
std::size_t ReadFull(int fd, char* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, into + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

platform::SecureString Framed(std::string_view json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  platform::SecureString message;
  message.reserve(sizeof length + json.size());
  message.append(reinterpret_cast<const char*>(&length), sizeof length);
  message += json;
  return message;
}

// EscapedSize: the characters `c` takes inside a JSON string (the text is ASCII already).
std::size_t EscapedSize(char c) {
  if (c == '"' || c == '\\') return 2;
  if (static_cast<unsigned char>(c) < 0x20) return 6;
  return 1;
}

}  // namespace

ReadStatus ReadMessage(int fd, std::string& message, std::uint32_t& declared) {
  platform::CleanseContents(message);
  declared = 0;
  char header[sizeof(std::uint32_t)];
  const std::size_t got = ReadFull(fd, header, sizeof header);
  if (got == 0) return ReadStatus::kEnd;
  if (got < sizeof header) return ReadStatus::kTruncated;
  std::memcpy(&declared, header, sizeof declared);
  if (declared > kMaxRequestBytes) {
    platform::SecureVector<char> sink(std::size_t{1} << 16);
    std::size_t left = declared;
    while (left > 0) {
      const std::size_t want = std::min(left, sink.size());
      const std::size_t n = ReadFull(fd, sink.data(), want);
      left -= n;
      if (n < want) return ReadStatus::kTruncated;
    }
    return ReadStatus::kOversized;
  }
  // The message grows as its bytes arrive: a header alone does not make the host take the
  // memory it announces.
  constexpr std::size_t kStep = std::size_t{1} << 20;
  while (message.size() < declared) {
    const std::size_t have = message.size();
    const std::size_t want = std::min<std::size_t>(declared - have, kStep);
    message.resize(have + want);
    if (ReadFull(fd, message.data() + have, want) < want) {
      platform::CleanseContents(message);
      return ReadStatus::kTruncated;
    }
  }
  return ReadStatus::kMessage;
}

FramedAnswer::FramedAnswer(const Json& answer, std::size_t limit)
    : text_(DumpSecureAnswer(answer, /*ascii=*/true)) {
  if (text_.size() <= limit) return;

  // Room for the data in each chunk: the envelope is measured with the largest counts it can
  // carry, so every chunk fits whatever its number.
  envelope_ = Json::object();
  if (answer.contains("id")) envelope_["id"] = answer["id"];
  envelope_["chunk"] = 0xFFFFFFFFu;
  envelope_["chunks"] = 0xFFFFFFFFu;
  envelope_["data"] = "";
  const std::size_t overhead = DumpAnswer(envelope_, true).size();
  if (overhead + 6 > limit) {
    // Only an absurd id gets here; the answer cannot be framed with it.
    text_ = DumpSecureAnswer(Json{{"error", "the request's id is too long to carry a chunked answer"}}, true);
    return;
  }
  const std::size_t room = limit - overhead;
  std::size_t start = 0;
  while (start < text_.size()) {
    std::size_t end = start;
    std::size_t used = 0;
    while (end < text_.size() && used + EscapedSize(text_[end]) <= room) used += EscapedSize(text_[end++]);
    parts_.emplace_back(start, end - start);
    start = end;
  }
}

platform::SecureString FramedAnswer::Message(std::size_t k) {
  if (parts_.empty()) return Framed(text_);
  envelope_["chunk"] = k;
  envelope_["chunks"] = parts_.size();
  envelope_["data"] = std::string_view(text_).substr(parts_[k].first, parts_[k].second);
  platform::SecureString message = Framed(DumpSecureAnswer(envelope_, true));
  platform::CleanseContents(envelope_["data"].get_ref<std::string&>());
  return message;
}

std::vector<std::string> FrameAnswer(const Json& answer) {
  FramedAnswer framed(answer);
  std::vector<std::string> messages;
  messages.reserve(framed.size());
  for (std::size_t k = 0; k < framed.size(); ++k) messages.emplace_back(framed.Message(k));
  return messages;
}

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace velmor::host
