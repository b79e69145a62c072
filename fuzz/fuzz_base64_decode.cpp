// Base64Decode on arbitrary bytes: no read or write out of bounds, every status consistent with
// the text, and a successful result that re-encodes and decodes to the same bytes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec.h"
#include "fuzz/prologue.h"

namespace {

constexpr std::size_t kMaxInput = 1 << 16;

int Run(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // stops at the first zero
  BYTE* out = nullptr;
  DWORD length = 0;
  const int status = velmor::Base64Decode(text.c_str(), &out, &length);
  if (status < 0 || status > 3) std::abort();
  if (status != velmor::kBase64Ok) {
    if (out != nullptr) std::abort();  // failure leaves the outputs alone
    return 0;
  }
  velmor::MallocBytes owned(out);
  if (length > std::strlen(text.c_str()) / 4 * 3) std::abort();
  velmor::MallocChars again(velmor::Base64Encode(out, static_cast<int>(length)));
  if (!again) std::abort();
  BYTE* round = nullptr;
  DWORD roundLength = 0;
  if (velmor::Base64Decode(again.get(), &round, &roundLength) != velmor::kBase64Ok) std::abort();
  velmor::MallocBytes roundOwned(round);
  if (roundLength != length || (length != 0 && std::memcmp(round, out, length) != 0)) {
    std::abort();
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxInput, .init = nullptr, .run = Run};
