// BSTR with the OLE layout: [32-bit byte count][characters][zero character]. The pointer handed
// out points at the first character, so a BSTR reads as a zero-terminated UTF-16 text too.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/base/secure.h"
#include "platform/com/com.h"

namespace {
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

std::uint32_t* Header(BSTR bstr) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(bstr) - kPrefix);
}
}  // namespace

BSTR SysAllocStringLen(const OLECHAR* src, UINT len) {
  // The byte count must fit the 32-bit prefix.
  if (len > (std::numeric_limits<std::uint32_t>::max() - kPrefix - sizeof(OLECHAR)) /
                sizeof(OLECHAR)) {
    return nullptr;
  }
  const std::size_t bytes = std::size_t{len} * sizeof(OLECHAR);
  void* block = std::malloc(kPrefix + bytes + sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  *static_cast<std::uint32_t*>(block) = static_cast<std::uint32_t>(bytes);
  auto* text = reinterpret_cast<OLECHAR*>(static_cast<char*>(block) + kPrefix);
  // Without a source the characters are zeroed rather than left as whatever the heap held:
  // a caller that fills fewer than `len` must not hand stale memory to a page.
  if (src != nullptr) {
    std::memcpy(text, src, bytes);
  } else {
    std::memset(text, 0, bytes);
  }
  text[len] = 0;
  return text;
}

BSTR SysAllocString(const OLECHAR* src) {
  if (src == nullptr) return nullptr;
  std::size_t len = 0;
  while (src[len] != 0) ++len;
  if (len > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(src, static_cast<UINT>(len));
}

void SysFreeString(BSTR bstr) {
  if (bstr == nullptr) return;
  // Results are plaintexts and signatures, arguments may be texts to encrypt: every string is
  // wiped, characters and terminator, before its block goes back (a wipe costs less than
  // telling the secret ones apart).
  std::uint32_t* header = Header(bstr);
  velmor::platform::Cleanse(header, kPrefix + *header + sizeof(OLECHAR));
  std::free(header);
}

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : *Header(bstr); }

UINT SysStringLen(BSTR bstr) {
  return SysStringByteLen(bstr) / static_cast<UINT>(sizeof(OLECHAR));
}
