#include "platform/base/secure.h"

#include <string.h>

namespace velmor::platform {

void Cleanse(void* p, std::size_t size) noexcept {
  if (p != nullptr && size != 0) explicit_bzero(p, size);
}

}  // namespace velmor::platform
