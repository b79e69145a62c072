#include "operation/result.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace velmor {

std::string ResultString::Failure(ResultCode code) noexcept {
  char text[16];
  std::snprintf(text, sizeof text, "E:%04d", code.value());
  return text;
}

std::string ResultString::Failure(ResultCode code, DWORD lastError) {
  char text[48];
  std::snprintf(text, sizeof text, "E:%04d %" PRIx32 " %" PRId32, code.value(), lastError,
                static_cast<std::int32_t>(lastError));
  return text;
}

std::string ResultString::Done() noexcept { return "A:0000"; }

ResultString::ResultString(char kind, std::size_t capacity) {
  text_.reserve(capacity + 2);
  text_ += kind;
  text_ += ':';
}

ResultString& ResultString::Field(std::string_view text) { return Field(text.size(), text); }

ResultString& ResultString::Field(std::size_t count, std::string_view text) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%08zu", count);
  text_ += digits;
  text_ += text;
  return *this;
}

}  // namespace velmor
