// Files the operations read and write, named by the page in ANSI text.
#pragma once

#include "operation/handles.h"

namespace velmor {

// OpenRegularFile: the file named by an ANSI path, opened for binary reading, or null. The path
// is turned into the file system's UTF-8 first, so that it names the file the page meant
// whatever the ANSI code page. Only a regular file is opened: a directory opens but reads
// nothing, and a FIFO or a device would block the call or never end. Nothing is read before the
// check.
UniqueFile OpenRegularFile(const char* ansiPath);

// Output files: one whose contents are a plaintext is created readable by its owner only; an
// existing file keeps its permissions when it is truncated.
enum class OutputAccess { kDefault, kOwnerOnly };

// CreateOutputFile: the file named by the ANSI path followed by `suffix`, created or truncated
// for binary writing, or null. Only a regular file is written: a FIFO would block the call and
// a device is no place for an envelope. The caller closes it with CloseOutputFile.
UniqueFile CreateOutputFile(const char* ansiPath, const char* suffix, OutputAccess access);

// CloseOutputFile: flushes and closes the stream; false when any byte could not be written (a
// full disk, a file-size limit), so that such a failure is never reported as success.
bool CloseOutputFile(UniqueFile& file);

// kStreamBufferSize: the buffer size the file operations give their streams, so that the small
// blocks they read and write do not each become a system call.
inline constexpr std::size_t kStreamBufferSize = std::size_t{1} << 20;

}  // namespace velmor
