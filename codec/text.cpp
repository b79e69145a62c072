// Conversions between the ANSI code page, UTF-8 and automation strings, and the two helpers
// that work on components of certificate names.
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "codec/codec.h"

namespace velmor {

namespace {

// AsciiLength: the length of the text when every byte of it is ASCII, else nullopt. Every ANSI
// code page keeps ASCII as it is, so such a text converts by copying: the bank's texts mostly
// are ASCII, and going through UTF-16 costs a hundred times more.
std::optional<std::size_t> AsciiLength(const char* text) {
  const std::size_t n = std::strlen(text);
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, 8);
    seen |= word;
  }
  for (; i < n; ++i) seen |= static_cast<unsigned char>(text[i]);
  if ((seen & 0x8080808080808080u) != 0) return std::nullopt;
  return n;
}

}  // namespace

bool IsAsciiText(const char* text) { return text != nullptr && AsciiLength(text).has_value(); }

char* AnsiToUtf8(const char* text) {
  if (text == nullptr) return nullptr;
  if (const std::optional<std::size_t> ascii = AsciiLength(text)) {
    // The terminator and one more zero byte, as after a conversion.
    auto* copy = static_cast<char*>(std::malloc(*ascii + 2));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, *ascii);
    copy[*ascii] = '\0';
    copy[*ascii + 1] = '\0';
    return copy;
  }
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  // The text may be a plaintext to encrypt: its UTF-16 form is wiped before it is freed.
  const std::size_t wideBytes = static_cast<std::size_t>(units) * sizeof(WCHAR);
  struct WipingWideFree {
    std::size_t bytes;
    void operator()(WCHAR* p) const {
      SecureZeroMemory(p, bytes);
      std::free(p);
    }
  };
  std::unique_ptr<WCHAR, WipingWideFree> wide(static_cast<WCHAR*>(std::malloc(wideBytes)),
                                               WipingWideFree{wideBytes});
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.get(), units) != units) return nullptr;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.get(), units, nullptr, 0, nullptr,
                                        nullptr);
  if (bytes <= 0) return nullptr;
  // The converted text already ends in its terminator; one more zero byte follows it.
  const std::size_t size = static_cast<std::size_t>(bytes) + 1;
  auto* utf8 = static_cast<char*>(std::calloc(size, 1));
  if (utf8 == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, wide.get(), units, utf8, bytes, nullptr, nullptr) !=
      bytes) {
    std::free(utf8);
    return nullptr;
  }
  return utf8;
}

void WipingTextFree::operator()(char* text) const {
  if (text == nullptr) return;
  SecureZeroMemory(text, std::strlen(text));
  std::free(text);
}

SecretBuffer SecretBuffer::Adopt(BYTE* data, std::size_t size) {
  SecretBuffer buffer;
  if (data == nullptr) return buffer;
  buffer = Allocate(size);
  if (buffer) std::memcpy(buffer.get(), data, size);
  platform::Cleanse(data, size);
  std::free(data);
  return buffer;
}

SecretBuffer SecretBuffer::Allocate(std::size_t size) {
  SecretBuffer buffer;
  try {
    buffer.bytes_.resize(size == 0 ? 1 : size);
    buffer.size_ = size;
  } catch (const std::bad_alloc&) {
    // Null: the caller answers with its out-of-memory code.
  }
  return buffer;
}

BSTR AnsiToBstr(const char* text) {
  if (text == nullptr) return nullptr;
  if (const std::optional<std::size_t> ascii = AsciiLength(text)) {
    if (*ascii > 0x7FFFFFFE) return nullptr;
    com::UniqueBstr bstr(SysAllocStringLen(nullptr, static_cast<UINT>(*ascii)));
    if (!bstr) return nullptr;
    for (std::size_t i = 0; i < *ascii; ++i) bstr.get()[i] = static_cast<OLECHAR>(text[i]);
    return bstr.release();
  }
  const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  // A failed measurement gives 0: allocating count - 1 characters then would ask for ~4 billion.
  if (count <= 0) return nullptr;
  const auto chars = static_cast<UINT>(count - 1);
  com::UniqueBstr bstr(SysAllocStringLen(nullptr, chars));
  if (!bstr) return nullptr;
  if (chars != 0) {
    // Converting all but the terminator: the BSTR's own terminator is already in place.
    const std::size_t len = std::strlen(text);
    if (MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(len), bstr.get(),
                            static_cast<int>(chars)) != static_cast<int>(chars)) {
      return nullptr;
    }
  }
  return bstr.release();
}

void CopyUntilComma(char* dst, int maxChars, const char* src) {
  if (dst == nullptr) return;
  int copied = 0;
  if (src != nullptr) {
    while (copied < maxChars && src[copied] != '\0' && src[copied] != ',') {
      dst[copied] = src[copied];
      ++copied;
    }
  }
  dst[copied] = '\0';
}

void UpperCaseAscii(char* text) {
  if (text == nullptr) return;
  for (int i = 0; i < 1024 && text[i] != '\0'; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
}

}  // namespace velmor
