// SHA-256 of a file for velmor's own use above this layer (the browser host shows the user the
// digest of a file before it is signed), without OpenSSL headers above platform/.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace velmor::crypt {

struct FileDigest {
  std::uint64_t size = 0;
  std::array<std::uint8_t, 32> sha256{};
};

// Sha256OfFile: the size and SHA-256 of the bytes read from `fd` (borrowed, left open) from
// its current position to its end; nullopt when a read fails or OpenSSL cannot hash.
std::optional<FileDigest> Sha256OfFile(int fd);

}  // namespace velmor::crypt
