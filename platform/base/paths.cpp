#include "platform/base/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/base/owner.h"

namespace velmor::platform {

std::string DataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.local/share";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/velmor";
}

bool MakePrivateDir(const std::string& dir, bool tighten) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return false;
    return !tighten || (st.st_mode & 077) == 0 || chmod(dir.c_str(), 0700) == 0;
  }
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakePrivateDir(dir.substr(0, slash), false)) {
    return false;
  }
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::optional<FileIdentity> MakePrivateFile(const std::string& path) {
  const UniqueFd fd(
      open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || fchmod(fd.get(), 0600) != 0) {
    return std::nullopt;
  }
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace velmor::platform
