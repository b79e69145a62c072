#include "operation/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "codec/codec.h"

namespace velmor {
namespace {

// AdoptDescriptor: `fd` as a stream in `mode` once it is known to be a regular file, the
// non-blocking flag it was opened with dropped (reads and writes of a regular file never wait).
UniqueFile AdoptDescriptor(UniqueFd fd, const char* mode) {
  struct stat status {};
  if (fstat(fd.get().value, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  const int flags = fcntl(fd.get().value, F_GETFL);
  if (flags < 0 || fcntl(fd.get().value, F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  UniqueFile file(fdopen(fd.get().value, mode));
  if (file) fd.release();  // the stream owns the descriptor now
  return file;
}

}  // namespace

UniqueFile OpenRegularFile(const char* ansiPath) {
  if (ansiPath == nullptr || ansiPath[0] == '\0') return nullptr;
  MallocChars path(AnsiToUtf8(ansiPath));
  if (!path) return nullptr;
  UniqueFd fd(UniqueFd::pointer(::open(path.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)));
  if (!fd) return nullptr;
  return AdoptDescriptor(std::move(fd), "rb");
}

UniqueFile CreateOutputFile(const char* ansiPath, const char* suffix, OutputAccess access) {
  if (ansiPath == nullptr || ansiPath[0] == '\0') return nullptr;
  MallocChars path(AnsiToUtf8(ansiPath));
  if (!path) return nullptr;
  const std::string name = std::string(path.get()) + suffix;
  const mode_t mode = access == OutputAccess::kOwnerOnly ? 0600 : 0666;
  // Non-blocking, so that a FIFO without a reader fails at once instead of holding the call.
  UniqueFd fd(UniqueFd::pointer(::open(
      name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode)));
  if (!fd) return nullptr;
  return AdoptDescriptor(std::move(fd), "wb");
}

bool CloseOutputFile(UniqueFile& file) {
  std::FILE* stream = file.release();
  if (stream == nullptr) return false;
  const bool flushed = std::fflush(stream) == 0 && std::ferror(stream) == 0;
  const bool closed = std::fclose(stream) == 0;
  return flushed && closed;
}

}  // namespace velmor
