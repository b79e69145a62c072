#include "platform/base/hex.h"

namespace velmor::platform {

void HexEncodeInto(const void* bytes, std::size_t size, char* out, HexCase letters,
                   HexOrder order) noexcept {
  if (bytes == nullptr || out == nullptr) return;
  const char* digits = letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char b = order == HexOrder::kReversed ? p[size - 1 - i] : p[i];
    out[2 * i] = digits[b >> 4];
    out[2 * i + 1] = digits[b & 0x0F];
  }
}

std::string HexEncode(const void* bytes, std::size_t size, HexCase letters, HexOrder order) {
  if (bytes == nullptr || size == 0) return {};
  std::string text(2 * size, '\0');
  HexEncodeInto(bytes, size, text.data(), letters, order);
  return text;
}

}  // namespace velmor::platform
