// The owner of what platform/com borrows from the C library beyond base's: iconv descriptors.
// Only the files of platform/com include it (it brings iconv.h).
#pragma once

#include <iconv.h>

#include <memory>

namespace velmor::platform {

// UniqueIconv: an iconv descriptor (iconv_t is a bare pointer type, so it has an owner of its
// own rather than a Deleter<T>); null stands for "none".
struct IconvCloser {
  void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};
using UniqueIconv = std::unique_ptr<void, IconvCloser>;

}  // namespace velmor::platform
