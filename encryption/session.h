// Internal to encryption/: the session-key steps that the text and file envelopes share, and the
// eight-digit length fields of both layouts.
#pragma once

#include <cstddef>
#include <string>

#include "certs/operation.h"
#include "codec/codec.h"
#include "operation/handles.h"

namespace velmor::encryption {

// Both sides consume this much of the RC4 key stream before any payload byte.
inline constexpr DWORD kKeyStreamDiscard = 512;
// A length field: eight ASCII decimal digits, zero-padded, no terminator.
inline constexpr std::size_t kLengthField = 8;
inline constexpr std::size_t kMaxFieldValue = 99'999'999;
// A fresh 128-bit RC4 key, exportable so that it can travel wrapped for the recipient.
inline constexpr DWORD kSessionKeyFlags = (128u << 16) | CRYPT_EXPORTABLE;

// WriteLengthField: `value` (at most kMaxFieldValue) as eight digits at `out`.
void WriteLengthField(BYTE* out, std::size_t value);

// ReadLengthField: the eight bytes at `field` read as the standard library's decimal
// conversion reads a text: leading blanks, one sign, digits up to the first non-digit; no
// digits give 0. The value may be negative.
int ReadLengthField(const BYTE* field);

// SealCodes: a member's codes for sealing a session key.
struct SealCodes {
  ResultCode noRecipientKey;
  ResultCode noSessionKey;
  ResultCode noBlobSize;
  ResultCode noBlobMemory;
  ResultCode exportFailed;
};

// SealSessionKey: with the control's provider context acquired, finds the recipient's public
// key (EncryptCN), makes a fresh session key and exports it wrapped under the recipient's key
// as a SIMPLEBLOB into `blob`. Fails with the member's code for the step. The recipient key is
// destroyed before this returns.
Outcome SealSessionKey(Operation& op, const SealCodes& codes, UniqueKey& session,
                       SecretBuffer& blob);

// DecryptionKey: the DecryptCN certificate's key container and its private key.
struct DecryptionKey {
  UniqueProv provider;  // declared first: the key goes before its container
  UniqueKey userKey;
};

// OpenCodes: a member's codes for opening a session key.
struct OpenCodes {
  ResultCode noPrivateKey;  // no private key for DecryptCN
  ResultCode noUserKey;     // its container holds neither key
  ResultCode importFailed;  // the blob would not unwrap; with the last error
};

// OpenDecryptionKey: with the control's provider context acquired, opens the key container of
// the DecryptCN certificate and its exchange key, else its signature key.
Outcome OpenDecryptionKey(Operation& op, const OpenCodes& codes, DecryptionKey& key);

// ImportSessionKey: the session key in a SIMPLEBLOB, unwrapped with the decryption key.
Outcome ImportSessionKey(const DecryptionKey& key, const OpenCodes& codes, const BYTE* blob,
                         DWORD blobLength, UniqueKey& session);

// DiscardKeyStream: runs the cipher once, not final, over a 512-byte scratch buffer and throws
// the output away; its result is ignored, as every producer and reader of an envelope does.
void DiscardKeyStream(HCRYPTKEY session, bool encrypting);

}  // namespace velmor::encryption
