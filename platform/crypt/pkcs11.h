// Internal: keys on smart cards and USB tokens, reached through the PKCS #11 modules p11-kit
// registers. A provider context on a token holds one logged-in session and the key its
// container names; the key never leaves the token, which signs and unwraps itself.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/detail.h"

namespace velmor::crypt::detail {

struct CertData;

// TokenKey: the session and key behind a token's provider context (token.cpp). The session is
// closed, and the token logged out, when the last holder lets go.
struct TokenKey;

// IsTokenProvider: whether `name` (UTF-8) names the token provider.
bool IsTokenProvider(std::string_view name);

// AcquireTokenKey: opens a session on the token `container` names, logs in (asking for the PIN
// unless the token has a PIN pad; never when `silent`; the dialog shows the start of
// `signedText`, ANSI, when it is not empty) and finds the key. False with the last
// error: NTE_BAD_KEYSET for a container that names no key, SCARD_W_REMOVED_CARD when the token
// is not there, SCARD_W_WRONG_CHV / SCARD_W_CHV_BLOCKED / SCARD_W_CANCELLED_BY_USER from the
// login, NTE_SILENT_CONTEXT when a PIN is needed and cannot be asked for.
bool AcquireTokenKey(const std::string& container, bool silent, const std::string& signedText,
                     std::shared_ptr<TokenKey>& out);

// TokenPublicKey: the public half of the token's key (borrowed: lives as long as `key`).
EVP_PKEY* TokenPublicKey(const TokenKey& key);

// TokenSignDigest: PKCS #1 v1.5 signature by the token over `digest` in its DigestInfo for `md`
// (the bare digest when `md` is null), most significant byte first, as long as the modulus.
bool TokenSignDigest(TokenKey& key, const EVP_MD* md, const std::vector<std::uint8_t>& digest,
                     std::vector<std::uint8_t>& out);

// TokenUnwrap: the token's PKCS #1 v1.5 decryption of a wrapped session key.
bool TokenUnwrap(TokenKey& key, const std::vector<std::uint8_t>& wrapped, SecretBytes& out);

// TokenStoreCertificate: a certificate of a present token whose key is on the token, as "MY"
// shows it.
struct TokenStoreCertificate {
  std::shared_ptr<const CertData> data;
  KeyProvRecord keyProv;
};
// TokenStoreCertificates: those of every present token, in module, slot and object order;
// tokens and modules that cannot be read are left out.
std::vector<TokenStoreCertificate> TokenStoreCertificates();

// Pkcs11Error: the last-error value for a PKCS #11 return value (`fallback` for one that says
// nothing more precise); Pkcs11ErrorName: its CKR_ name for the failed-call record.
DWORD Pkcs11Error(unsigned long rv, DWORD fallback);
const char* Pkcs11ErrorName(unsigned long rv);

}  // namespace velmor::crypt::detail
