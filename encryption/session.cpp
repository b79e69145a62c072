#include "encryption/session.h"

#include <cstdio>
#include <cstring>

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

std::string SealSessionKey(CtrlState& state, UniqueKey& session, SecretBuffer& blob) {
  const UniqueKey recipient{UniqueKey::pointer(GetEncryptPublicKey(state.m_hProv, state))};
  if (!recipient) return ResultString::Failure(3);
  HCRYPTKEY raw = 0;
  if (!CryptGenKey(state.m_hProv, CALG_RC4, kSessionKeyFlags, &raw)) {
    return ResultString::Failure(4);
  }
  session.reset(UniqueKey::pointer(raw));
  DWORD size = 0;
  if (!CryptExportKey(raw, recipient.get().value, SIMPLEBLOB, 0, nullptr, &size)) {
    return ResultString::Failure(5);
  }
  blob = SecretBuffer::Allocate(size);
  if (!blob) return ResultString::Failure(6);
  if (!CryptExportKey(raw, recipient.get().value, SIMPLEBLOB, 0, blob.get(), &size)) {
    return ResultString::Failure(7);
  }
  return {};
}

std::string OpenDecryptionKey(CtrlState& state, DecryptionKey& key) {
  key.provider.reset(UniqueProv::pointer(AcquireDecryptKey(state.m_hProv)));
  if (!key.provider) return ResultString::Failure(4);
  // A container that holds only a signature key still opens envelopes with it.
  HCRYPTKEY raw = 0;
  if (!CryptGetUserKey(key.provider.get().value, AT_KEYEXCHANGE, &raw) &&
      !CryptGetUserKey(key.provider.get().value, AT_SIGNATURE, &raw)) {
    return ResultString::Failure(6);
  }
  key.userKey.reset(UniqueKey::pointer(raw));
  return {};
}

std::string ImportSessionKey(const DecryptionKey& key, const BYTE* blob, DWORD blobLength,
                             UniqueKey& session) {
  HCRYPTKEY raw = 0;
  if (!CryptImportKey(key.provider.get().value, blob, blobLength, key.userKey.get().value, 0,
                      &raw)) {
    return ResultString::Failure(5, GetLastError());
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
