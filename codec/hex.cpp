// Hexadecimal digits and the pairwise decoder used for signatures given as text.
#include <climits>
#include <cstring>

#include "codec/codec.h"

namespace velmor {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int HexDecode(const char* text, BYTE* out) {
  if (text == nullptr || out == nullptr) return -1;
  const std::size_t n = std::strlen(text) / 2;  // a final unpaired digit is ignored
  if (n > static_cast<std::size_t>(INT_MAX)) return -1;
  for (std::size_t i = 0; i < n; ++i) {
    const int high = HexDigitValue(text[2 * i]);
    const int low = HexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return -1;
    out[i] = static_cast<BYTE>((high << 4) | low);
  }
  out[n] = 0;
  return static_cast<int>(n);
}

}  // namespace velmor
