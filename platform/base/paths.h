// Where the user's databases live, and folders and files only their owner may read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmor::platform {

// DataFolder: velmor's folder in the user's data folder, $XDG_DATA_HOME/velmor when that is an
// absolute path, else $HOME/.local/share/velmor; empty when neither can be found.
std::string DataFolder();

// MakePrivateDir: `dir` and its missing parents, made owner-only (0700); false when a part is
// no folder or cannot be made. With `tighten`, an existing `dir` others may enter is made
// owner-only too (its parents are left as they are).
bool MakePrivateDir(const std::string& dir, bool tighten);

// FileIdentity: which file a path named when it was opened (device and inode numbers).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// MakePrivateFile: creates the regular file `path` owner-only (0600) whatever the umask, or
// tightens the one that is there; nullopt when it cannot, or when a link, a FIFO or anything
// else but a regular file is in its place (such a path is refused at once, never waited on).
std::optional<FileIdentity> MakePrivateFile(const std::string& path);

}  // namespace velmor::platform
