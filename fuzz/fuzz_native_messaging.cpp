// The browser's native messaging framing as velmor-host reads and writes it.
//
// Input: a selector byte, then the bytes the browser sends: length-prefixed messages, cut or
// oversized ones included. Every message read back must be exactly the bytes its header
// announced, and the stream must end as its bytes say (between messages, inside one, or inside
// an oversized one that is dropped whole). Each message is then answered with itself (the object
// it holds, or a result holding its text) under a message limit the selector picks (64 bytes and
// up, so that small inputs are chunked): each answer message is ASCII and within the limit, its
// header gives its length, and either the answer fits in one message that is its JSON text, or
// its chunks number themselves in order, echo the answer's id, and their data joined is that
// text; only an id too long for any chunk gets the refusal instead.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/prologue.h"
#include "hosts/browser/native_messaging.h"
#include "hosts/session/unique_fd.h"

namespace {

using velmor::host::DumpAnswer;
using velmor::host::FramedAnswer;
using velmor::host::Json;
using velmor::host::ReadStatus;

constexpr std::size_t kMaxInput = 1 << 16;
constexpr char kRefusal[] = R"({"error":"the request's id is too long to carry a chunked answer"})";

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_native_messaging: %s\n", what);
  std::abort();
}

// AnswerTo: what the answer to `message` is made of: its object, or a result with its text.
Json AnswerTo(const std::string& message) {
  Json parsed = Json::parse(message, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object()) return parsed;
  Json answer = Json::object();
  answer["result"] = message;
  return answer;
}

// Body: the message after its header, which must give the body's length.
std::string_view Body(const std::string& message) {
  Check(message.size() >= 4, "a message without its header");
  std::uint32_t length = 0;
  std::memcpy(&length, message.data(), 4);
  Check(length == message.size() - 4, "a header that does not give the length");
  return std::string_view(message).substr(4);
}

void CheckFraming(const Json& answer, std::size_t limit) {
  const std::string text = DumpAnswer(answer, /*ascii=*/true);
  FramedAnswer framed(answer, limit);
  const std::size_t count = framed.size();
  Check(count >= 1, "an answer in no message");
  std::string joined;
  for (std::size_t k = 0; k < count; ++k) {
    const std::string message(framed.Message(k));
    const std::string_view body = Body(message);
    for (char c : body) Check(static_cast<unsigned char>(c) < 0x80, "a message that is not ASCII");
    if (count == 1) {
      if (body == text) {
        Check(body.size() <= limit, "a single message over the limit");
      } else {
        Check(body == kRefusal && text.size() > limit, "a single message that is not the answer");
      }
      return;
    }
    Check(body.size() <= limit, "a chunk over the limit");
    const Json chunk = Json::parse(body, nullptr, false);
    Check(chunk.is_object() && chunk.value("chunk", -1) == static_cast<long>(k) &&
              chunk.value("chunks", 0) == static_cast<long>(count),
          "chunks not numbered in order");
    Check(chunk.contains("data") && chunk["data"].is_string(), "a chunk without its data");
    Check(chunk["data"].get_ref<const std::string&>().size() > 0, "an empty chunk");
    // The id as it went out: invalid UTF-8 in it is replaced on the way.
    if (answer.contains("id")) {
      const Json sent = Json::parse(DumpAnswer(answer["id"], true));
      Check(chunk.contains("id") && chunk["id"] == sent, "a chunk that does not echo the id");
    } else {
      Check(!chunk.contains("id"), "a chunk with an id the answer had not");
    }
    Check(chunk.size() == 3 + static_cast<std::size_t>(answer.contains("id")), "a chunk with other keys");
    joined += chunk["data"].get_ref<const std::string&>();
  }
  Check(joined == text, "chunks that do not join to the answer");
}

int Run(const std::uint8_t* data, std::size_t size) {
  const std::size_t limit = 64 + std::size_t{data[0]} * 16;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  velmor::host::UniqueFd fd(::memfd_create("fuzz_native_messaging", MFD_CLOEXEC));
  Check(static_cast<bool>(fd), "memfd_create");
  Check(::write(fd.get(), stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()),
        "cannot write the stream");
  Check(::lseek(fd.get(), 0, SEEK_SET) == 0, "lseek");

  std::size_t at = 0;  // where the next message starts in `stream`
  std::string message;
  for (;;) {
    std::uint32_t declared = 0;
    const ReadStatus status = velmor::host::ReadMessage(fd.get(), message, declared);
    const std::size_t left = stream.size() - at;
    if (left == 0) {
      Check(status == ReadStatus::kEnd, "the end of the stream not seen as its end");
      break;
    }
    std::uint32_t header = 0;
    if (left >= 4) std::memcpy(&header, stream.data() + at, 4);
    if (left < 4 || left - 4 < header) {
      Check(status == ReadStatus::kTruncated, "a cut message not seen as cut");
      break;
    }
    Check(declared == header, "the declared length is not the header's");
    if (header > velmor::host::kMaxRequestBytes) {
      Check(status == ReadStatus::kOversized, "an oversized message taken");
    } else {
      Check(status == ReadStatus::kMessage && message == stream.substr(at + 4, header),
            "a message that is not the bytes its header announced");
      CheckFraming(AnswerTo(message), limit);
    }
    at += 4 + std::size_t{header};
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 1, .maxInput = kMaxInput, .init = nullptr, .run = Run};
