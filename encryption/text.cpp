// Encrypt and Decrypt: a text sealed for the EncryptCN recipient as a Base64 TextEnvelope, and
// opened again with the DecryptCN certificate's private key.
//
// TextEnvelope: B as eight digits, the B-byte SIMPLEBLOB of the session key, N as eight digits,
// the N bytes of RC4 ciphertext (after the key-stream discard). No version, padding or
// integrity check.
#include <cstring>

#include "encryption/encryption.h"
#include "encryption/session.h"

namespace velmor {
namespace {

using namespace encryption;

// Encrypt feeds the cipher this many bytes at a time, through a work buffer of twice the size.
constexpr DWORD kBlock = 8;
constexpr DWORD kWorkBuffer = 16;

enum class EncryptCode {
  kNoContext = 1,  // with the last error
  kNoRecipientKey = 3,
  kNoSessionKey = 4,
  kNoBlobSize = 5,
  kNoBlobMemory = 6,
  kExportFailed = 7,
  kNoEnvelopeMemory = 8,
  kCipherFailed = 9,
  kNoMemory = 10,
  // The text does not convert to UTF-8, or its UTF-8 form is too long for the eight-digit
  // length field. Nothing is written into a field it would overflow.
  kTextNotSealable = 11,
};
constexpr SealCodes kEncryptSeal{EncryptCode::kNoRecipientKey, EncryptCode::kNoSessionKey,
                                 EncryptCode::kNoBlobSize, EncryptCode::kNoBlobMemory,
                                 EncryptCode::kExportFailed};

enum class DecryptCode {
  kNoContext = 1,  // with the last error
  kNotBase64 = 2,
  kNoBlobMemory = 3,
  kNoPrivateKey = 4,
  kImportFailed = 5,  // with the last error
  kNoUserKey = 6,
  kNoPlainMemory = 7,
  kCipherFailed = 8,
  // The decoded data is shorter than its length fields say, or a field is negative.
  kEnvelopeMalformed = 9,
  kNoMemory = 18,
};
constexpr OpenCodes kDecryptOpen{DecryptCode::kNoPrivateKey, DecryptCode::kNoUserKey,
                                 DecryptCode::kImportFailed};

// EncryptBlocks: the plaintext in blocks of 8 bytes, the last one final, into `out`. Returns
// false when a block fails.
bool EncryptBlocks(HCRYPTKEY session, const BYTE* plain, std::size_t length, BYTE* out) {
  BYTE work[kWorkBuffer];
  bool ok = true;
  for (std::size_t at = 0; at < length && ok; at += kBlock) {
    const auto count = static_cast<DWORD>(std::min<std::size_t>(kBlock, length - at));
    const BOOL final = at + count == length ? TRUE : FALSE;
    if (count == kBlock) {
      std::memcpy(work, plain + at, kBlock);  // a fixed length copies inline
    } else {
      std::memcpy(work, plain + at, count);
    }
    DWORD produced = count;
    ok = CryptEncrypt(session, 0, final, 0, work, &produced, kWorkBuffer) != FALSE &&
         produced == count;
    if (ok && produced == kBlock) {
      std::memcpy(out + at, work, kBlock);
    } else if (ok) {
      std::memcpy(out + at, work, produced);
    }
  }
  SecureZeroMemory(work, sizeof work);
  return ok;
}

}  // namespace

std::string Encrypt(CtrlState& state, const char* plainText) {
  using Code = EncryptCode;
  return RunOperation(state, Code::kNoMemory, [&](Operation& op) {
    // An ASCII text is its own UTF-8 form and is sealed as it stands; any other is converted
    // into a copy that is wiped after use.
    SecretChars converted;
    const char* utf8 = plainText;
    if (plainText == nullptr || !IsAsciiText(plainText)) {
      converted.reset(AnsiToUtf8(plainText));
      if (!converted) return ResultString::Failure(Code::kTextNotSealable);
      utf8 = converted.get();
    }
    const std::size_t length = std::strlen(utf8);
    if (length > kMaxFieldValue) return ResultString::Failure(Code::kTextNotSealable);

    if (Outcome step = op.AcquireContext(Code::kNoContext); step.Failed()) {
      return std::move(step).Answer();
    }
    UniqueKey session;
    SecretBuffer blob;
    if (Outcome step = SealSessionKey(op, kEncryptSeal, session, blob); step.Failed()) {
      return std::move(step).Answer();
    }

    // The ciphertext is written where the envelope holds it, behind the two length fields and
    // the blob, so that the text is copied once.
    const std::size_t total = 2 * kLengthField + blob.size() + length;
    const SecretBuffer envelope = SecretBuffer::Allocate(total);
    if (!envelope) return ResultString::Failure(Code::kNoEnvelopeMemory);
    BYTE* const out = envelope.get();
    WriteLengthField(out, blob.size());
    std::memcpy(out + kLengthField, blob.get(), blob.size());
    WriteLengthField(out + kLengthField + blob.size(), length);
    DiscardKeyStream(session.get().value, true);
    if (!EncryptBlocks(session.get().value, reinterpret_cast<const BYTE*>(utf8), length,
                       out + 2 * kLengthField + blob.size())) {
      return ResultString::Failure(Code::kCipherFailed);
    }

    std::string text(Base64EncodedSize(static_cast<int>(total)), '\0');
    text.resize(Base64EncodeInto(envelope.get(), static_cast<int>(total), text.data()));
    return text;
  });
}

std::string Decrypt(CtrlState& state, const char* cipherText) {
  using Code = DecryptCode;
  return RunOperation(state, Code::kNoMemory, [&](Operation& op) {
    if (Outcome step = op.AcquireContext(Code::kNoContext); step.Failed()) {
      return std::move(step).Answer();
    }
    BYTE* raw = nullptr;
    DWORD size = 0;
    if (Base64Decode(cipherText, &raw, &size) != kBase64Ok) {
      return ResultString::Failure(Code::kNotBase64);
    }
    const SecretBuffer data = SecretBuffer::Adopt(raw, size);

    // Every length the envelope states is checked against what was decoded before it is used.
    if (data.size() < 2 * kLengthField) return ResultString::Failure(Code::kEnvelopeMalformed);
    const int blobLength = ReadLengthField(data.get());
    if (blobLength < 0 || static_cast<std::size_t>(blobLength) > data.size() - 2 * kLengthField) {
      return ResultString::Failure(Code::kEnvelopeMalformed);
    }
    const auto b = static_cast<std::size_t>(blobLength);
    const SecretBuffer blob = SecretBuffer::Allocate(b);
    if (!blob) return ResultString::Failure(Code::kNoBlobMemory);
    if (b > 0) std::memcpy(blob.get(), data.get() + kLengthField, b);

    DecryptionKey key;
    if (Outcome step = OpenDecryptionKey(op, kDecryptOpen, key); step.Failed()) {
      return std::move(step).Answer();
    }
    UniqueKey session;
    if (Outcome step = ImportSessionKey(key, kDecryptOpen, blob.get(), static_cast<DWORD>(b),
                                        session);
        step.Failed()) {
      return std::move(step).Answer();
    }

    const int cipherLength = ReadLengthField(data.get() + kLengthField + b);
    const std::size_t available = data.size() - 2 * kLengthField - b;
    if (cipherLength < 0 || static_cast<std::size_t>(cipherLength) > available) {
      return ResultString::Failure(Code::kEnvelopeMalformed);
    }
    DWORD n = static_cast<DWORD>(cipherLength);
    const SecretBuffer plain = SecretBuffer::Allocate(std::size_t{n} + 1);
    if (!plain) return ResultString::Failure(Code::kNoPlainMemory);
    if (n > 0) std::memcpy(plain.get(), data.get() + 2 * kLengthField + b, n);

    DiscardKeyStream(session.get().value, false);
    if (!CryptDecrypt(session.get().value, 0, TRUE, 0, plain.get(), &n)) {
      return ResultString::Failure(Code::kCipherFailed);
    }
    plain.get()[n] = 0;

    // The count covers every decrypted byte; the text shows them up to the first zero byte.
    const auto* text = reinterpret_cast<const char*>(plain.get());
    return ResultString('A', ResultString::FieldSize(n))
        .Field(n, std::string_view(text, std::strlen(text)))
        .Take();
  });
}

}  // namespace velmor
