// Internal to signing/: hashing with MD5 and signing with the signer's key, which the SignData,
// Signature and SignFile getters share, and the owners of the handles and buffers they use.
// Reaching the signer and its key are steps of the Operation (certs/operation.h).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "certs/operation.h"
#include "codec/codec.h"
#include "operation/handles.h"

namespace velmor::signing {

// ---- Owners -----------------------------------------------------------------------------------
// Buffers from malloc are held in the codec's MallocBytes / MallocChars, handles in the owners of
// operation/handles.h.
using velmor::MallocBytes;
using velmor::MallocChars;
using velmor::UniqueFd;
using velmor::UniqueFile;
using velmor::UniqueHash;
using HashHandle = UniqueHash::pointer;

// ---- Shared steps -----------------------------------------------------------------------------
// SignCodes: a member's codes for signing with the signer's key.
struct SignCodes {
  SignerKeyCodes key;
  ResultCode noHash;           // CryptCreateHash failed; with the last error
  ResultCode noSignatureSize;  // the signature's size could not be had
  ResultCode noMemory;         // no memory for the signature
  ResultCode signFailed;       // CryptSignHash failed
};

// Feeds the bytes to be signed into an MD5 hash. Goes through when every byte went in,
// otherwise fails with the member's answer.
using HashFeeder = std::function<Outcome(HCRYPTHASH hash)>;

// HashText: the HashFeeder of the operations that sign a text: its bytes as stored, without the
// terminator; fails with `hashFailed` when CryptHashData fails. `text` is borrowed.
HashFeeder HashText(const char* text, ResultCode hashFailed);

// Signature: a raw signature as the provider returned it (least significant byte first).
struct Signature {
  MallocBytes bytes;
  DWORD length = 0;
};

// SignWithSignerKey: with the signer found (Operation::OpenSigner), opens its key
// (Operation::OpenSignerKey, with `pinDialogText` for a token's PIN dialog), hashes with MD5
// what `feed` gives and signs the hash into `signature`. Fails with the member's codes, or
// whatever `feed` answered. The hash is destroyed before this returns; the frame releases the
// working handles.
Outcome SignWithSignerKey(Operation& op, const SignCodes& codes, const HashFeeder& feed,
                          const char* pinDialogText, Signature& signature);

// SignatureHex: the signature from its last byte to its first, two upper-case hexadecimal
// digits a byte, so that the text reads most significant byte first.
std::string SignatureHex(const Signature& signature);

}  // namespace velmor::signing
