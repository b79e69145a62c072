// Files the operations read and write, named by the page in ANSI text.
#pragma once

#include <string>

#include "operation/handles.h"

namespace velmor {

// OpenRegularFile: the file named by an ANSI path, opened for binary reading, or null. The path
// is turned into the file system's UTF-8 first, so that it names the file the page meant
// whatever the ANSI code page. Only a regular file is opened: a directory opens but reads
// nothing, and a FIFO or a device would block the call or never end. Nothing is read before the
// check.
UniqueFile OpenRegularFile(const char* ansiPath);

// Who may read a new output: its owner only (a plaintext), or no one the input does not admit
// (an envelope: the input's read and write bits, within the process's umask).
enum class OutputAccess { kOwnerOnly, kAsInput };

// OutputFile: a file that takes the place of "<path><suffix>" only when its writer says it is
// whole. It is written as a new file beside the target ("<name>.XXXXXX", created exclusively
// and never through a link, as open as OutputAccess allows) and renamed over the target by Commit
// once it is flushed and on disk. Whatever stood at the target (a file, a link to anywhere)
// stays as it was until then and is replaced, never written through; an output that is never
// committed is removed when its owner goes, so that a failed call leaves the folder as it was.
class OutputFile {
 public:
  enum class Opened { kOk, kCannotCreate, kIsTheInput };

  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Open: creates the new file for the target named by the ANSI path followed by `suffix`.
  // kIsTheInput when the target is `input` itself (the same file through a hard or a symbolic
  // link), which the output would take the place of; kCannotCreate when the folder cannot take
  // a new file or the target is something other than a file or a link (a folder, a FIFO, a
  // device). Nothing on disk changes unless it returns kOk.
  Opened Open(const char* ansiPath, const char* suffix, std::FILE* input, OutputAccess access);

  // stream: the new file, for binary writing; null before a successful Open.
  std::FILE* stream() const { return stream_.get(); }

  // Commit: flushes and syncs the new file and renames it over the target. False, with the new
  // file removed and the target untouched, when any byte could not be written (a full disk, a
  // file-size limit) or the rename failed: such an output is never reported as written.
  bool Commit();

 private:
  void Discard();

  UniqueFd folder_;
  UniqueFile stream_;
  std::string temporary_;  // names in folder_
  std::string target_;
};

// kStreamBufferSize: the buffer size the file operations give their streams, so that the small
// blocks they read and write do not each become a system call.
inline constexpr std::size_t kStreamBufferSize = std::size_t{1} << 20;

}  // namespace velmor
