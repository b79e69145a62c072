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

// The SignFile getter's codes.
enum class SignFileCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoSigner = 3,
  kNoSignatureSize = 4,
  kNoMemory = 5,  // for the signature or the result
  kSignFailed = 6,
  // The file could not be opened, its size could not be found, or fewer bytes could be read
  // than its size promised. The last two are not signed: a signature over bytes never read
  // would be a failure reported as success.
  kFileUnreadable = 20,
  kNoKeyContainer = 90,  // with the last error
  kNoHash = 92,          // with the last error
  kHashFailed = 93,
  kNoKeyRecord = 99,
  kKeyRecordNoMemory = 100,
  kNoPieceBuffer = 100,
};
constexpr SignerCodes kSignFileSigner{SignFileCode::kNoContext, SignFileCode::kNoStore,
                                      SignFileCode::kNoSigner};
constexpr signing::SignCodes kSignFileSign{
    {SignFileCode::kNoKeyRecord, SignFileCode::kKeyRecordNoMemory, SignFileCode::kNoKeyContainer},
    SignFileCode::kNoHash,
    SignFileCode::kNoSignatureSize,
    SignFileCode::kNoMemory,
    SignFileCode::kSignFailed};
constexpr SignFileCode kFileUnreadable = SignFileCode::kFileUnreadable;

}  // namespace

void SetSignFile(CtrlState& state, const char* value) {
  // At most 255 characters. A longer path is refused, not cut: its first 255 characters could
  // name another file, and that file would be signed. A refused path leaves the buffer empty,
  // so that the getter answers that it cannot read the file.
  const std::size_t length = value == nullptr ? 0 : strnlen(value, kSignFileSize);
  if (length >= kSignFileSize) {
    g_szSignFile[0] = '\0';
  } else {
    if (length != 0) std::memcpy(g_szSignFile, value, length);
    g_szSignFile[length] = '\0';
  }
  state.SetModifiedFlag();
}

std::string GetSignFile(CtrlState& state) {
  return RunOperation(state, SignFileCode::kNoMemory, [&](Operation& op) {
    if (Outcome step = op.OpenSigner(kSignFileSigner); step.Failed()) {
      return std::move(step).Answer();
    }

    UniqueFile file = OpenRegularFile(op.in().SignFile());
    if (!file) return ResultString::Failure(kFileUnreadable);
    // 64-bit positions: files beyond 2 GiB are signed whole.
    if (fseeko(file.get(), 0, SEEK_END) != 0) return ResultString::Failure(kFileUnreadable);
    const off_t end = ftello(file.get());
    if (end < 0 || fseeko(file.get(), 0, SEEK_SET) != 0) return ResultString::Failure(kFileUnreadable);
    const auto size = static_cast<std::uint64_t>(end);

    MallocBytes piece(static_cast<BYTE*>(std::malloc(kPieceSize)));
    if (!piece) return ResultString::Failure(SignFileCode::kNoPieceBuffer);

    // The file is hashed to its end, whatever its size said; a file whose bytes do not agree
    // with its size (one under /proc says 0, one that grows or shrinks while it is read) is not
    // signed, since the signature would not be that of the file.
    const signing::HashFeeder feed = [&](HCRYPTHASH hash) -> Outcome {
      std::uint64_t total = 0;
      for (;;) {
        const std::size_t got = std::fread(piece.get(), 1, kPieceSize, file.get());
        if (std::ferror(file.get()) != 0) return Outcome::Fail(kFileUnreadable);
        total += got;
        if (total > size) return Outcome::Fail(kFileUnreadable);
        if (got > 0 && !CryptHashData(hash, piece.get(), static_cast<DWORD>(got), 0)) {
          return Outcome::Fail(SignFileCode::kHashFailed);
        }
        if (got < kPieceSize) break;
      }
      if (total != size) return Outcome::Fail(kFileUnreadable);
      return {};
    };
    signing::Signature signature;
    if (Outcome step = signing::SignWithSignerKey(op, kSignFileSign, feed, nullptr, signature);
        step.Failed()) {
      return std::move(step).Answer();
    }
    const std::string hex = signing::SignatureHex(signature);
    return ResultString('F', ResultString::FieldSize(hex.size())).Field(hex).Take();
  });
}

}  // namespace velmor
