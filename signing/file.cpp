// The SignFile property: the path of a file, and the raw signature of the file's bytes.
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "operation/files.h"
#include "signing/signer.h"
#include "signing/signing.h"

namespace velmor {
namespace {

// The file is hashed in pieces of this size instead of being held whole: the hash is the same,
// and a file of several GiB needs no buffer of its size. Pieces from 64 KiB to 1 MiB read and
// hash at the same speed.
constexpr std::size_t kPieceSize = std::size_t{256} * 1024;

// The file could not be opened, its size could not be found, or fewer bytes could be read than
// its size promised. The last two are not signed: a signature over bytes never read would be a
// failure reported as success.
constexpr int kFileUnreadable = 20;

}  // namespace

void SetSignFile(CtrlState& state, const char* value) {
  // At most 255 characters; the last byte of the buffer stays zero.
  const std::size_t length = value == nullptr ? 0 : strnlen(value, kSignFileSize - 1);
  if (length != 0) std::memcpy(g_szSignFile, value, length);
  g_szSignFile[length] = '\0';
  state.SetModifiedFlag();
}

std::string GetSignFile(CtrlState& state) {
  return RunOperation(state, signing::kSigningNoMemory, [&] {
    if (std::string error = signing::OpenSigner(state, signing::TraceSteps::kStoreAndSigner);
        !error.empty()) {
      return error;
    }

    UniqueFile file = OpenRegularFile(g_szSignFile);
    if (!file) return ResultString::Failure(kFileUnreadable);
    // 64-bit positions: files beyond 2 GiB are signed whole.
    if (fseeko(file.get(), 0, SEEK_END) != 0) return ResultString::Failure(kFileUnreadable);
    const off_t end = ftello(file.get());
    if (end < 0 || fseeko(file.get(), 0, SEEK_SET) != 0) return ResultString::Failure(kFileUnreadable);
    const auto size = static_cast<std::uint64_t>(end);

    MallocBytes piece(static_cast<BYTE*>(std::malloc(kPieceSize)));
    if (!piece) return ResultString::Failure(100);

    const signing::HashFeeder feed = [&](HCRYPTHASH hash) -> std::string {
      std::uint64_t remaining = size;
      while (remaining > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kPieceSize));
        const std::size_t got = std::fread(piece.get(), 1, want, file.get());
        if (got != want) return ResultString::Failure(kFileUnreadable);
        if (!CryptHashData(hash, piece.get(), static_cast<DWORD>(got), 0)) {
          return ResultString::Failure(93);
        }
        remaining -= got;
      }
      return {};
    };
    signing::Signature signature;
    if (std::string error = signing::SignWithSignerKey(state, feed, true, signature);
        !error.empty()) {
      return error;
    }
    Trace("signmessage");
    const std::string hex = signing::SignatureHex(signature);
    return ResultString('F', ResultString::FieldSize(hex.size())).Field(hex).Take();
  });
}

}  // namespace velmor
