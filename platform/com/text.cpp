#include <string>

#include "platform/com/com.h"

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
