#include "operation/files.h"

#include <fcntl.h>
#include <sys/random.h>
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
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  UniqueFile file(fdopen(fd.get(), mode));
  if (file) fd.release();  // the stream owns the descriptor now
  return file;
}

}  // namespace

UniqueFile OpenRegularFile(const char* ansiPath) {
  if (ansiPath == nullptr || ansiPath[0] == '\0') return nullptr;
  MallocChars path(AnsiToUtf8(ansiPath));
  if (!path) return nullptr;
  UniqueFd fd(::open(path.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return nullptr;
  return AdoptDescriptor(std::move(fd), "rb");
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  stream_.reset();
  if (!temporary_.empty()) ::unlinkat(folder_.get(), temporary_.c_str(), 0);
  temporary_.clear();
}

OutputFile::Opened OutputFile::Open(const char* ansiPath, const char* suffix, std::FILE* input,
                                    OutputAccess access) {
  Discard();
  if (ansiPath == nullptr || ansiPath[0] == '\0' || input == nullptr) return Opened::kCannotCreate;
  MallocChars path(AnsiToUtf8(ansiPath));
  if (!path) return Opened::kCannotCreate;
  const std::string name = std::string(path.get()) + suffix;
  const std::size_t slash = name.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  target_ = slash == std::string::npos ? name : name.substr(slash + 1);
  folder_ = UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_) return Opened::kCannotCreate;
  const int dir = folder_.get();

  struct stat in {};
  struct stat there {};
  if (fstat(fileno(input), &in) != 0) return Opened::kCannotCreate;
  if (fstatat(dir, target_.c_str(), &there, 0) == 0 && there.st_dev == in.st_dev &&
      there.st_ino == in.st_ino) {
    return Opened::kIsTheInput;
  }
  // A file or a link is replaced; anything else at the name is not ours to take away.
  if (fstatat(dir, target_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(there.st_mode) && !S_ISLNK(there.st_mode)) return Opened::kCannotCreate;
  } else if (errno != ENOENT) {
    return Opened::kCannotCreate;
  }

  // An envelope is no more open than its input; the umask applies on top, as to any new file.
  const mode_t mode = access == OutputAccess::kOwnerOnly ? 0600 : (in.st_mode & 0666);
  // The name must fit the folder's limit whatever the target's length.
  const std::string stem = target_.substr(0, 200) + ".";
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      return Opened::kCannotCreate;
    }
    std::string candidate = stem;
    for (unsigned char r : random) candidate += kAlphabet[r % (sizeof kAlphabet - 1)];
    UniqueFd fd(::openat(
        dir, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
        mode));
    if (!fd) {
      if (errno == EEXIST) continue;
      return Opened::kCannotCreate;
    }
    temporary_ = std::move(candidate);
    stream_.reset(fdopen(fd.get(), "wb"));
    if (!stream_) {
      Discard();
      return Opened::kCannotCreate;
    }
    fd.release();  // the stream owns the descriptor now
    return Opened::kOk;
  }
  return Opened::kCannotCreate;
}

bool OutputFile::Commit() {
  std::FILE* stream = stream_.release();
  if (stream == nullptr) return false;
  const bool written =
      std::fflush(stream) == 0 && std::ferror(stream) == 0 && ::fsync(fileno(stream)) == 0;
  const bool closed = std::fclose(stream) == 0;
  const int dir = folder_.get();
  if (!written || !closed || ::renameat(dir, temporary_.c_str(), dir, target_.c_str()) != 0) {
    Discard();
    return false;
  }
  temporary_.clear();
  // The rename itself reaches the disk with the folder. The output is in place whatever this
  // answers, so a folder that cannot be synced is no failure of the call.
  ::fsync(dir);
  return true;
}

}  // namespace velmor
