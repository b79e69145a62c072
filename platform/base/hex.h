// Bytes as hexadecimal digits, written once for every layer: serial numbers, signatures, the
// master key on its way to the keyring, escapes in the PIN dialog's texts. Library-free, so
// that the platform can use it too; codec/ hands the same functions to the layers above.
#pragma once

#include <cstddef>
#include <string>

namespace velmor::platform {

enum class HexCase : unsigned char { kLower, kUpper };
// kReversed writes the last byte first: CryptoAPI keeps serials and signatures least
// significant byte first, and pages read them most significant first.
enum class HexOrder : unsigned char { kForward, kReversed };

// HexEncodeInto: writes two digits for each of the `size` bytes at `bytes` into `out`, which
// must hold 2 * size characters; no terminator. For a caller that keeps the text in a buffer of
// its own (a secret's). Null or 0 writes nothing.
void HexEncodeInto(const void* bytes, std::size_t size, char* out, HexCase letters,
                   HexOrder order) noexcept;

// HexEncode: the same digits as a text (empty for null or 0). Throws std::bad_alloc as any
// std::string does.
std::string HexEncode(const void* bytes, std::size_t size, HexCase letters = HexCase::kLower,
                      HexOrder order = HexOrder::kForward);

}  // namespace velmor::platform
