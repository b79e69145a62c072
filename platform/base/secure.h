// What every layer uses to forget a secret: keys, PINs and plaintexts are overwritten before
// their memory goes back, with a store the compiler may not drop as dead.
#pragma once

#include <cstddef>

namespace velmor::platform {

// Cleanse: overwrites `size` bytes at `p` with zeros. Null or 0 does nothing.
void Cleanse(void* p, std::size_t size) noexcept;

}  // namespace velmor::platform
