#include "encryption/session.h"

#include <cstdio>
#include <cstring>

#include "certs/context.h"

namespace velmor::encryption {

void WriteLengthField(BYTE* out, std::size_t value) {
  char digits[kLengthField + 1];
  std::snprintf(digits, sizeof digits, "%08zu", value);
  std::memcpy(out, digits, kLengthField);
}

int ReadLengthField(const BYTE* field) {
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return static_cast<char>(field[k]); };
  while (i < kLengthField && (at(i) == ' ' || (at(i) >= '\t' && at(i) <= '\r'))) ++i;
  bool negative = false;
  if (i < kLengthField && (at(i) == '+' || at(i) == '-')) {
    negative = at(i) == '-';
    ++i;
  }
  int value = 0;
  for (; i < kLengthField && at(i) >= '0' && at(i) <= '9'; ++i) value = value * 10 + (at(i) - '0');
  return negative ? -value : value;
}

Outcome SealSessionKey(Operation& op, const SealCodes& codes, UniqueKey& session,
                       SecretBuffer& blob) {
  const UniqueKey recipient{
      UniqueKey::pointer(GetEncryptPublicKey(op.prov(), op.state(), op.in().EncryptCN()))};
  if (!recipient) return Outcome::Fail(codes.noRecipientKey);
  HCRYPTKEY raw = 0;
  if (!CryptGenKey(op.prov(), CALG_RC4, kSessionKeyFlags, &raw)) {
    return Outcome::Fail(codes.noSessionKey);
  }
  session.reset(UniqueKey::pointer(raw));
  DWORD size = 0;
  if (!CryptExportKey(raw, recipient.get().value, SIMPLEBLOB, 0, nullptr, &size)) {
    return Outcome::Fail(codes.noBlobSize);
  }
  blob = SecretBuffer::Allocate(size);
  if (!blob) return Outcome::Fail(codes.noBlobMemory);
  if (!CryptExportKey(raw, recipient.get().value, SIMPLEBLOB, 0, blob.get(), &size)) {
    return Outcome::Fail(codes.exportFailed);
  }
  return {};
}

Outcome OpenDecryptionKey(Operation& op, const OpenCodes& codes, DecryptionKey& key) {
  key.provider.reset(UniqueProv::pointer(AcquireDecryptKey(op.prov(), op.in().DecryptCN())));
  if (!key.provider) return Outcome::Fail(codes.noPrivateKey);
  // A container that holds only a signature key still opens envelopes with it.
  HCRYPTKEY raw = 0;
  if (!CryptGetUserKey(key.provider.get().value, AT_KEYEXCHANGE, &raw) &&
      !CryptGetUserKey(key.provider.get().value, AT_SIGNATURE, &raw)) {
    return Outcome::Fail(codes.noUserKey);
  }
  key.userKey.reset(UniqueKey::pointer(raw));
  return {};
}

Outcome ImportSessionKey(const DecryptionKey& key, const OpenCodes& codes, const BYTE* blob,
                         DWORD blobLength, UniqueKey& session) {
  HCRYPTKEY raw = 0;
  if (!CryptImportKey(key.provider.get().value, blob, blobLength, key.userKey.get().value, 0,
                      &raw)) {
    return Outcome::Fail(codes.importFailed, GetLastError());
  }
  session.reset(UniqueKey::pointer(raw));
  return {};
}

void DiscardKeyStream(HCRYPTKEY session, bool encrypting) {
  BYTE scratch[kKeyStreamDiscard] = {};
  DWORD length = kKeyStreamDiscard;
  if (encrypting) {
    CryptEncrypt(session, 0, FALSE, 0, scratch, &length, kKeyStreamDiscard);
  } else {
    CryptDecrypt(session, 0, FALSE, 0, scratch, &length);
  }
  // Zeros in, key stream out: what is thrown away is still key stream.
  SecureZeroMemory(scratch, sizeof scratch);
}

}  // namespace velmor::encryption
