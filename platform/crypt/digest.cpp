#include "platform/crypt/digest.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include <openssl/evp.h>

#include "platform/crypt/detail.h"
#include "platform/crypt/owners.h"

namespace velmor::crypt {

std::optional<FileDigest> Sha256OfFile(int fd) {
  using platform::UniquePtr;
  UniquePtr<EVP_MD> sha256(EVP_MD_fetch(detail::LibCtx(), "SHA256", nullptr));
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!sha256 || !ctx || EVP_DigestInit_ex(ctx.get(), sha256.get(), nullptr) != 1) return std::nullopt;
  FileDigest out;
  std::vector<unsigned char> block(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<std::size_t>(n)) != 1) return std::nullopt;
    out.size += static_cast<std::uint64_t>(n);
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.sha256.data(), &length) != 1 || length != out.sha256.size()) {
    return std::nullopt;
  }
  return out;
}

}  // namespace velmor::crypt
