// MultiByteToWideChar and WideCharToMultiByte over the code pages a bank's customers run with.
//
// Input: a selector byte, then the text. Selector bits 0-2 pick the code page (65001, 1252,
// 936, 932, 949, 950, 1251); bit 3 reads the text as UTF-16LE units to narrow, else as bytes
// to widen; bit 4 asks for the strict flag. Every conversion asks for its size first, then
// converts into exactly that much, with guard cells behind the buffer; one unit less must fail
// with ERROR_INSUFFICIENT_BUFFER. What converts without loss must convert back to itself.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/control_fixture.h"
#include "fuzz/prologue.h"

namespace {

using velmor::fuzz::Check;

constexpr UINT kCodePages[] = {CP_UTF8, 1252, 936, 932, 949, 950, 1251, CP_UTF8};
constexpr std::size_t kMaxInput = 4096;
constexpr std::size_t kGuard = 8;
constexpr char kGuardByte = '\x5a';
constexpr char16_t kGuardUnit = 0x5a5a;
// WC_NO_BEST_FIT_CHARS promises that a character which would not come back unchanged turns into
// the default character (U+00A3 would map one way to 0x8192 in 932, which widens to U+FFE1; see
// fuzz/README.md), so a text narrowed without the default character widens back to itself.
constexpr bool kBestFitRefused = true;

template <typename T>
bool GuardIntact(const std::vector<T>& buffer, std::size_t used, T guard) {
  for (std::size_t i = used; i < buffer.size(); ++i) {
    if (buffer[i] != guard) return false;
  }
  return true;
}

// Wide: the text widened, sized first; nullopt when the conversion refuses it.
std::optional<std::u16string> Wide(UINT cp, DWORD flags, const char* in, int length) {
  const int n = MultiByteToWideChar(cp, flags, in, length, nullptr, 0);
  if (n == 0) {
    const DWORD error = GetLastError();
    Check(error == ERROR_NO_UNICODE_TRANSLATION, "MultiByteToWideChar size: unexpected error");
    Check(flags != 0 || length == 0, "MultiByteToWideChar refuses a text without the strict flag");
    return std::nullopt;
  }
  std::vector<char16_t> buffer(static_cast<std::size_t>(n) + kGuard, kGuardUnit);
  Check(MultiByteToWideChar(cp, flags, in, length, buffer.data(), n) == n,
        "MultiByteToWideChar: the size asked differs from the size converted");
  Check(GuardIntact(buffer, static_cast<std::size_t>(n), kGuardUnit),
        "MultiByteToWideChar wrote past the buffer");
  std::vector<char16_t> small(static_cast<std::size_t>(n) - 1 + kGuard, kGuardUnit);
  if (n > 1) {
    Check(MultiByteToWideChar(cp, flags, in, length, small.data(), n - 1) == 0 &&
              GetLastError() == ERROR_INSUFFICIENT_BUFFER,
          "MultiByteToWideChar: one unit short does not fail");
    Check(GuardIntact(small, static_cast<std::size_t>(n) - 1, kGuardUnit),
          "MultiByteToWideChar wrote past a short buffer");
  }
  return std::u16string(buffer.data(), static_cast<std::size_t>(n));
}

struct Narrowed {
  std::string bytes;
  bool usedDefault = false;
};

std::optional<Narrowed> Narrow(UINT cp, DWORD flags, const char16_t* in, int length) {
  BOOL used = FALSE;
  BOOL* usedOut = cp == CP_UTF8 ? nullptr : &used;
  const int n = WideCharToMultiByte(cp, flags, in, length, nullptr, 0, nullptr, usedOut);
  if (n == 0) {
    Check(GetLastError() == ERROR_NO_UNICODE_TRANSLATION, "WideCharToMultiByte size: unexpected error");
    Check(cp == CP_UTF8 && flags != 0, "WideCharToMultiByte refuses a text without the strict flag");
    return std::nullopt;
  }
  std::vector<char> buffer(static_cast<std::size_t>(n) + kGuard, kGuardByte);
  BOOL usedAgain = FALSE;
  Check(WideCharToMultiByte(cp, flags, in, length, buffer.data(), n, nullptr,
                            cp == CP_UTF8 ? nullptr : &usedAgain) == n,
        "WideCharToMultiByte: the size asked differs from the size converted");
  Check(GuardIntact(buffer, static_cast<std::size_t>(n), kGuardByte),
        "WideCharToMultiByte wrote past the buffer");
  Check(used == usedAgain, "WideCharToMultiByte: the default character is used in one pass only");
  if (n > 1) {
    std::vector<char> small(static_cast<std::size_t>(n) - 1 + kGuard, kGuardByte);
    Check(WideCharToMultiByte(cp, flags, in, length, small.data(), n - 1, nullptr, nullptr) == 0 &&
              GetLastError() == ERROR_INSUFFICIENT_BUFFER,
          "WideCharToMultiByte: one byte short does not fail");
    Check(GuardIntact(small, static_cast<std::size_t>(n) - 1, kGuardByte),
          "WideCharToMultiByte wrote past a short buffer");
  }
  return Narrowed{std::string(buffer.data(), static_cast<std::size_t>(n)), used != FALSE};
}

void FromBytes(UINT cp, bool strict, const std::string& bytes) {
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(bytes.size());
  const auto wide = Wide(cp, flags, bytes.data(), length);
  if (!wide) return;
  if (strict) {
    // Nothing was replaced, so the lenient conversion agrees.
    Check(Wide(cp, 0, bytes.data(), length) == wide, "MultiByteToWideChar: strict and lenient differ");
  }
  // Zero-terminated, the terminator is converted and counted.
  const std::string terminated(bytes.c_str());
  if (!terminated.empty() && terminated.size() == bytes.size()) {
    const auto withZero = Wide(cp, flags, terminated.c_str(), -1);
    Check(withZero && *withZero == *wide + u'\0', "MultiByteToWideChar: -1 is not the text and its zero");
  }
  // A strictly valid text comes back byte for byte in UTF-8 and the single-byte pages.
  if (strict && (cp == CP_UTF8 || cp == 1252 || cp == 1251)) {
    const auto back = Narrow(cp, 0, wide->data(), static_cast<int>(wide->size()));
    Check(back && back->bytes == bytes, "a valid text does not come back to its bytes");
  }
}

void FromUnits(UINT cp, bool strict, const std::u16string& units) {
  const DWORD flags = cp == CP_UTF8 ? (strict ? WC_ERR_INVALID_CHARS : 0) : WC_NO_BEST_FIT_CHARS;
  const int length = static_cast<int>(units.size());
  const auto narrowed = Narrow(cp, flags, units.data(), length);
  if (!narrowed) return;
  const auto back = Wide(cp, 0, narrowed->bytes.data(), static_cast<int>(narrowed->bytes.size()));
  Check(back.has_value(), "narrowed bytes do not widen");
  // Without a stand-in character, the bytes widen back to the same text; in any case they widen
  // to a text that narrows to the same bytes.
  const bool lossless = cp == CP_UTF8 ? strict : kBestFitRefused && !narrowed->usedDefault;
  if (lossless) Check(*back == units, "a text narrowed without loss does not widen back to itself");
  const auto again = Narrow(cp, flags, back->data(), static_cast<int>(back->size()));
  Check(again && again->bytes == narrowed->bytes, "narrowed bytes are not stable");
  const std::u16string terminated(units.c_str());
  if (!terminated.empty() && terminated.size() == units.size()) {
    const auto withZero = Narrow(cp, flags, terminated.c_str(), -1);
    Check(withZero && withZero->bytes == narrowed->bytes + '\0',
          "WideCharToMultiByte: -1 is not the text and its zero");
  }
}

int Run(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t selector = data[0];
  const UINT cp = kCodePages[selector & 7];
  const bool strict = (selector & 0x10) != 0;
  if ((selector & 8) == 0) {
    FromBytes(cp, strict, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  } else {
    std::u16string units;
    for (std::size_t i = 1; i + 1 < size; i += 2) {
      units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    if (!units.empty()) FromUnits(cp, strict, units);
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 2, .maxInput = kMaxInput, .init = nullptr, .run = Run};
