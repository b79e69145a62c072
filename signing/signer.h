// Internal to signing/: the steps every signing operation shares — opening the signer
// certificate, opening its key's own container, hashing with MD5 and signing — and the owners
// of the handles and buffers they use.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "certs/certs.h"
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
using FdHandle = UniqueFd::pointer;
using HashHandle = UniqueHash::pointer;

// ---- Shared steps -----------------------------------------------------------------------------
// Which progress texts an operation passes to the trace sink while it opens the signer.
enum class TraceSteps { kNone, kStore, kStoreAndSigner };

// OpenSigner: acquires the control's provider context, opens "MY" and selects the signer
// certificate into the working handles. Returns an empty text on success, otherwise the whole
// error result ("E:0001 %x %d", "E:0002", "E:0003"); the operation's frame releases whatever
// it filled. `trace` says whether "open store" and "getMySignerCert" go to the trace sink.
std::string OpenSigner(CtrlState& state, TraceSteps trace);

// Feeds the bytes to be signed into an MD5 hash. Returns an empty text when every byte went in,
// otherwise the error result of the operation ("E:0093" when CryptHashData failed).
using HashFeeder = std::function<std::string(HCRYPTHASH hash)>;

// HashSignDataText: the HashFeeder of the operations that sign g_szSignData: its bytes as
// stored, without the terminator ("E:0093" when CryptHashData failed).
std::string HashSignDataText(HCRYPTHASH hash);

// Signature: a raw signature as the provider returned it (least significant byte first).
struct Signature {
  MallocBytes bytes;
  DWORD length = 0;
};

// SignWithSignerKey: with the signer certificate in state.m_pSignerCert, reads its key-provider
// property, opens the key's own container into state.m_hKeyProv, hashes with MD5 what `feed`
// gives and signs the hash. Returns an empty text and fills `signature` on success; otherwise
// the error result ("E:0099", "E:0100", "E:0090 %x %d", "E:0092 %x %d", "E:0004", "E:0005",
// "E:0006" or whatever `feed` answered). The hash is destroyed before this returns; the caller
// still owns the working handles and releases them. `traceContainer` passes the container name
// to the trace sink.
std::string SignWithSignerKey(CtrlState& state, const HashFeeder& feed, bool traceContainer,
                              Signature& signature);

// SignatureHex: the signature from its last byte to its first, two upper-case hexadecimal
// digits a byte, so that the text reads most significant byte first.
std::string SignatureHex(const Signature& signature);

// kSigningNoMemory: the signing operations' code for memory that ran out (for the signature,
// the message or the result text).
inline constexpr int kSigningNoMemory = 5;

}  // namespace velmor::signing
