// The owners an operation holds what it acquires in, so that each is released on every path,
// in the reverse order of acquisition: the layer's handles (registered with the layer, in
// platform/crypt/handles.h), file descriptors (platform/base/owner.h), and the streams the
// file members read and write, which are the operation layer's own.
#pragma once

#include <cstdio>
#include <memory>

#include "platform/base/owner.h"
#include "platform/crypt/handles.h"

namespace velmor {

using crypt::UniqueCert;
using crypt::UniqueHash;
using crypt::UniqueKey;
using crypt::UniqueProv;
using crypt::UniqueStore;
using platform::UniqueFd;

// UniqueFile: a standard-library stream (fclose). A stream written to is closed by its
// operation itself, which must see whether the close failed.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace velmor
