#include <cstdlib>
#include <limits>
#include <string>

#include "platform/com/com.h"

void* CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb == 0 ? 1 : cb); }
void CoTaskMemFree(void* pv) { std::free(pv); }

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const std::int64_t product = std::int64_t{number} * numerator;
  const std::int64_t half = denominator > 0 ? denominator / 2 : -(denominator / 2);
  const std::int64_t magnitude = (product < 0 ? -product : product) + half;
  const std::int64_t divisor = denominator < 0 ? -std::int64_t{denominator} : denominator;
  const std::int64_t quotient = magnitude / divisor;
  const bool negative = (product < 0) != (denominator < 0);
  const std::int64_t result = negative ? -quotient : quotient;
  if (result > std::numeric_limits<int>::max() || result < std::numeric_limits<int>::min()) {
    return -1;
  }
  return static_cast<int>(result);
}

namespace velmor::com {

std::optional<std::string> WideToMultiByte(UINT codePage, const WCHAR* wide, int count) {
  if (wide == nullptr || count == 0 || (count < 0 && wide[0] == 0)) return std::string();
  const int size = WideCharToMultiByte(codePage, 0, wide, count, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(size), '\0');
  const int written =
      WideCharToMultiByte(codePage, 0, wide, count, out.data(), size, nullptr, nullptr);
  if (written <= 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(written));
  if (count < 0 && !out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

}  // namespace velmor::com
