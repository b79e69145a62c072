// HexDecode on arbitrary bytes into a buffer of exactly the documented size: no write beyond
// it, and a successful result that matches a digit-by-digit reading of the text.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "fuzz/prologue.h"

namespace {

constexpr std::size_t kMaxInput = 1 << 16;

int Run(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t len = std::strlen(text.c_str());
  std::vector<BYTE> out(len / 2 + 1);  // exactly what the caller must provide
  const int n = velmor::HexDecode(text.c_str(), out.data());
  if (n == -1) return 0;
  if (n != static_cast<int>(len / 2) || out[len / 2] != 0) std::abort();
  for (std::size_t i = 0; i < len / 2; ++i) {
    const int high = velmor::HexDigitValue(text[2 * i]);
    const int low = velmor::HexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0 || out[i] != ((high << 4) | low)) std::abort();
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxInput, .init = nullptr, .run = Run};
