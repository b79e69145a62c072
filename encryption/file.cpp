// EncryptFile and DecryptFile: a file sealed for the EncryptCN recipient into "<path>.enc", and
// an envelope file opened with the DecryptCN certificate's private key into "<path>.dec".
//
// FileEnvelope: B as eight digits, the B-byte SIMPLEBLOB of the session key, then the RC4
// ciphertext of the whole input (after the key-stream discard) to the end of the file. The
// files go through the cipher in blocks of 1000 bytes; the streams' own buffers are larger, so
// that a block is not a system call.
//
// An output appears only whole: it is written beside its target and takes the target's place
// when the call succeeds, so that a failed call leaves no partial envelope (which would open
// "successfully" short, the layout having no length) and no partial plaintext, and keeps the
// output of an earlier call. An output that is the input itself is refused.
#include <sys/stat.h>

#include <cstring>

#include "encryption/encryption.h"
#include "encryption/session.h"
#include "operation/files.h"

namespace velmor {
namespace {

using namespace encryption;

constexpr std::size_t kPathLimit = 260;
constexpr std::size_t kBlock = 1000;
constexpr DWORD kEncryptBuffer = 1008;

// A read that fails before the end of the input, and an output that cannot be written whole (a
// full disk), have codes of their own: they are failures, never "A:0000".
enum class EncryptFileCode {
  kNoContext = 1,  // with the last error
  kNoRecipientKey = 3,
  kNoSessionKey = 4,
  kNoBlobSize = 5,
  kNoBlobMemory = 6,
  kExportFailed = 7,
  kCipherFailed = 9,
  kInputUnopened = 18,
  kReadFailed = 19,
  kNoMemory = 28,
  kOutputUnopened = 38,  // an output that would take the input's place too
  kWriteFailed = 39,
  kPathTooLong = 48,
};
constexpr SealCodes kEncryptFileSeal{
    EncryptFileCode::kNoRecipientKey, EncryptFileCode::kNoSessionKey, EncryptFileCode::kNoBlobSize,
    EncryptFileCode::kNoBlobMemory, EncryptFileCode::kExportFailed};

enum class DecryptFileCode {
  kNoContext = 1,  // with the last error
  kNoBlobMemory = 3,
  kNoPrivateKey = 4,
  kImportFailed = 5,  // with the last error
  kNoUserKey = 6,
  kCipherFailed = 8,
  kOutputUnopened = 13,
  kWriteFailed = 14,
  kNoMemory = 18,
  kInputUnopened = 23,
  kReadFailed = 24,
  kHeaderUnread = 33,  // short, or a blob length the file cannot hold
  kPathTooLong = 48,
};
constexpr OpenCodes kDecryptFileOpen{DecryptFileCode::kNoPrivateKey, DecryptFileCode::kNoUserKey,
                                     DecryptFileCode::kImportFailed};

bool PathTooLong(const char* path) {
  return path != nullptr && strnlen(path, kPathLimit + 1) > kPathLimit;
}

// StreamBuffers: the large buffers of the two streams, which hold plaintext on one side and so
// are wiped; they must outlive the streams. Without them (no memory) the streams keep their
// own small buffers, which costs only speed.
struct StreamBuffers {
  SecretBuffer in = SecretBuffer::Allocate(kStreamBufferSize);
  SecretBuffer out = SecretBuffer::Allocate(kStreamBufferSize);
  void Attach(const UniqueFile& input, const OutputFile& output) const {
    if (in) std::setvbuf(input.get(), reinterpret_cast<char*>(in.get()), _IOFBF, in.size());
    if (out) {
      std::setvbuf(output.stream(), reinterpret_cast<char*>(out.get()), _IOFBF, out.size());
    }
  }
};

// RemainingBytes: what is left of the input after its read position, or 0 when unknown.
std::size_t RemainingBytes(std::FILE* file) {
  struct stat status {};
  const off_t at = ftello(file);
  if (at < 0 || fstat(fileno(file), &status) != 0 || status.st_size < at) return 0;
  return static_cast<std::size_t>(status.st_size - at);
}

// Cipher: one 1000-byte block through CryptEncrypt or CryptDecrypt in place.
using Cipher = bool (*)(HCRYPTKEY session, bool final, BYTE* data, DWORD* length);

bool EncryptBlock(HCRYPTKEY session, bool final, BYTE* data, DWORD* length) {
  return CryptEncrypt(session, 0, final ? TRUE : FALSE, 0, data, length, kEncryptBuffer) != FALSE;
}
bool DecryptBlock(HCRYPTKEY session, bool final, BYTE* data, DWORD* length) {
  return CryptDecrypt(session, 0, final ? TRUE : FALSE, 0, data, length) != FALSE;
}

// Each method's codes for the three ways its block loop can fail.
struct StreamCodes {
  ResultCode readFailed;
  ResultCode cipherFailed;
  ResultCode writeFailed;
};
constexpr StreamCodes kEncryptCodes{EncryptFileCode::kReadFailed, EncryptFileCode::kCipherFailed,
                                    EncryptFileCode::kWriteFailed};
constexpr StreamCodes kDecryptCodes{DecryptFileCode::kReadFailed, DecryptFileCode::kCipherFailed,
                                    DecryptFileCode::kWriteFailed};

// StreamBlocks: reads the input to its end 1000 bytes at a time, passes each block through the
// cipher (final once the read met the end of the file, so that an input of whole blocks ends
// with an empty final block) and writes what the cipher gives back. Fails with the method's
// code for the step that failed.
Outcome StreamBlocks(std::FILE* in, std::FILE* out, HCRYPTKEY session, Cipher cipher,
                         const SecretBuffer& buffer, const StreamCodes& codes) {
  for (;;) {
    const std::size_t got = std::fread(buffer.get(), 1, kBlock, in);
    if (std::ferror(in) != 0) return Outcome::Fail(codes.readFailed);
    const bool final = std::feof(in) != 0;
    DWORD length = static_cast<DWORD>(got);
    if (!cipher(session, final, buffer.get(), &length)) {
      return Outcome::Fail(codes.cipherFailed);
    }
    if (length > 0 && std::fwrite(buffer.get(), 1, length, out) != length) {
      return Outcome::Fail(codes.writeFailed);
    }
    if (final) return {};
  }
}

}  // namespace

std::string EncryptFile(CtrlState& state, const char* fileName) {
  using Code = EncryptFileCode;
  return RunOperation(state, Code::kNoMemory, [&](Operation& op) {
    if (PathTooLong(fileName)) return ResultString::Failure(Code::kPathTooLong);
    if (Outcome step = op.AcquireContext(Code::kNoContext); step.Failed()) {
      return std::move(step).Answer();
    }
    // All key material first; no file is touched before it is there.
    UniqueKey session;
    SecretBuffer blob;
    if (Outcome step = SealSessionKey(op, kEncryptFileSeal, session, blob); step.Failed()) {
      return std::move(step).Answer();
    }

    const StreamBuffers buffers;
    const UniqueFile in = OpenRegularFile(fileName);
    if (!in) return ResultString::Failure(Code::kInputUnopened);
    // An output that would take the input's place is one that cannot be created: same code.
    OutputFile out;
    if (out.Open(fileName, ".enc", in.get(), OutputAccess::kAsInput) != OutputFile::Opened::kOk) {
      return ResultString::Failure(Code::kOutputUnopened);
    }
    buffers.Attach(in, out);

    BYTE header[kLengthField];
    WriteLengthField(header, blob.size());
    if (std::fwrite(header, 1, kLengthField, out.stream()) != kLengthField ||
        std::fwrite(blob.get(), 1, blob.size(), out.stream()) != blob.size()) {
      return ResultString::Failure(Code::kWriteFailed);
    }
    DiscardKeyStream(session.get().value, true);

    const SecretBuffer buffer = SecretBuffer::Allocate(kEncryptBuffer);
    if (!buffer) return ResultString::Failure(Code::kNoMemory);
    if (Outcome step = StreamBlocks(in.get(), out.stream(), session.get().value, EncryptBlock,
                                    buffer, kEncryptCodes);
        step.Failed()) {
      return std::move(step).Answer();
    }
    if (!out.Commit()) return ResultString::Failure(Code::kWriteFailed);
    return ResultString::Done();
  });
}

std::string DecryptFile(CtrlState& state, const char* fileName) {
  using Code = DecryptFileCode;
  return RunOperation(state, Code::kNoMemory, [&](Operation& op) {
    if (PathTooLong(fileName)) return ResultString::Failure(Code::kPathTooLong);
    if (Outcome step = op.AcquireContext(Code::kNoContext); step.Failed()) {
      return std::move(step).Answer();
    }
    // Both files and the header first; the private key is looked for only then.
    const StreamBuffers buffers;
    const UniqueFile in = OpenRegularFile(fileName);
    if (!in) return ResultString::Failure(Code::kInputUnopened);
    // The output will hold a plaintext: its owner's only.
    OutputFile out;
    if (out.Open(fileName, ".dec", in.get(), OutputAccess::kOwnerOnly) != OutputFile::Opened::kOk) {
      return ResultString::Failure(Code::kOutputUnopened);
    }
    buffers.Attach(in, out);

    BYTE header[kLengthField];
    if (std::fread(header, 1, kLengthField, in.get()) != kLengthField) {
      return ResultString::Failure(Code::kHeaderUnread);
    }
    // A blob length the file cannot hold is refused before anything is allocated for it.
    const int blobLength = ReadLengthField(header);
    if (blobLength < 0 || static_cast<std::size_t>(blobLength) > RemainingBytes(in.get())) {
      return ResultString::Failure(Code::kHeaderUnread);
    }
    const auto b = static_cast<std::size_t>(blobLength);
    const SecretBuffer blob = SecretBuffer::Allocate(b);
    if (!blob) return ResultString::Failure(Code::kNoBlobMemory);
    if (std::fread(blob.get(), 1, b, in.get()) != b) {
      return ResultString::Failure(Code::kHeaderUnread);
    }

    DecryptionKey key;
    if (Outcome step = OpenDecryptionKey(op, kDecryptFileOpen, key); step.Failed()) {
      return std::move(step).Answer();
    }
    UniqueKey session;
    if (Outcome step = ImportSessionKey(key, kDecryptFileOpen, blob.get(), static_cast<DWORD>(b),
                                        session);
        step.Failed()) {
      return std::move(step).Answer();
    }
    DiscardKeyStream(session.get().value, false);

    const SecretBuffer buffer = SecretBuffer::Allocate(kBlock);
    if (!buffer) return ResultString::Failure(Code::kNoMemory);
    if (Outcome step = StreamBlocks(in.get(), out.stream(), session.get().value, DecryptBlock,
                                    buffer, kDecryptCodes);
        step.Failed()) {
      return std::move(step).Answer();
    }
    if (!out.Commit()) return ResultString::Failure(Code::kWriteFailed);
    return ResultString::Done();
  });
}

}  // namespace velmor
