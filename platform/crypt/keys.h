// Internal: the objects behind HCRYPTPROV, HCRYPTKEY and HCRYPTHASH.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/pkcs11.h"
#include "platform/crypt/storage.h"

namespace velmor::crypt::detail {

inline constexpr DWORD CRYPT_NOHASHOID = 0x1;

struct Provider {
  std::shared_ptr<Storage> storage;  // null for a verify-only context
  std::string container;             // UTF-8
  bool verifyContext = false;
  std::shared_ptr<TokenKey> token;  // a context on a token: its session and key
  // The database's generation as this handle last read it, in which exported call, and the
  // storage's write count then (HandleGeneration): one call reads it once, however many keys it
  // looks at, and again after a write of this process.
  std::uint64_t generation = 0;
  std::uint64_t callSeen = 0;
  std::uint64_t writesSeen = 0;
  bool generationRead = false;
};

struct Hash {
  ALG_ID alg = 0;
  const EVP_MD* md = nullptr;
  UniquePtr<EVP_MD_CTX> ctx;
  bool finished = false;
  std::vector<std::uint8_t> value;
  std::shared_ptr<Provider> provider;
};

struct Key {
  enum class Kind { kRsaPublic, kRsaPrivate, kRc4 };
  Kind kind = Kind::kRsaPublic;
  ALG_ID alg = 0;
  DWORD spec = 0;
  bool exportable = false;
  UniquePtr<EVP_PKEY> pkey;  // RSA keys
  SecretBytes secret;        // session keys
  // The RC4 state: one stream serves CryptEncrypt and CryptDecrypt alike (the same XOR).
  UniquePtr<EVP_CIPHER_CTX> stream;
  // Key stream made ahead by `stream` for small blocks (Encrypt feeds 8 bytes a call): bytes
  // from `streamUsed` on are not used yet. Wiped with the key.
  SecretBytes streamAhead;
  std::size_t streamUsed = 0;
  std::shared_ptr<Provider> provider;
  // A token's key: `pkey` is its public half, the token does the private operations.
  std::shared_ptr<TokenKey> token;
};

std::shared_ptr<Key> FindKey(HCRYPTKEY handle);
// PeekKey: the key behind a handle, borrowed for the rest of a call that holds the API lock.
Key* PeekKey(HCRYPTKEY handle);
HCRYPTKEY AddKey(std::shared_ptr<Key> key);
// PrivateKeyOf: the private key of `spec` in the provider's container (owner: the caller, an
// up-ref of the cached key); null with NTE_NO_KEY or a storage error.
UniquePtr<EVP_PKEY> PrivateKeyOf(Provider& provider, DWORD spec, bool* exportable);
// DecodePrivateKey: a DER private key (PKCS #8 or PKCS #1); null with `fallback` (or
// NTE_NO_MEMORY) as the last error.
UniquePtr<EVP_PKEY> DecodePrivateKey(const std::uint8_t* der, std::size_t len,
                                     DWORD fallback = NTE_BAD_DATA);
// EncodePrivateKey: the key as DER for the database, into `out`, a buffer that wipes itself;
// false with `fallback` (or what OpenSSL's failure says more precisely) as the last error.
bool EncodePrivateKey(EVP_PKEY* key, SecretBytes& out, DWORD fallback);
// StoreKeys: writes `change` (keys for the provider's container) in one transaction. A container
// that was empty until now becomes a row in the same write; NTE_EXISTS when another process
// made one of that name meanwhile.
bool StoreKeys(Provider& provider, Change change);
// StorePrivate: puts an RSA private key (any size up to 16384 bits, any number and balance of
// primes) into the provider's container as the slot of `alg`, filling `key`; NTE_BAD_DATA for
// one whose numbers do not make one key.
bool StorePrivate(Provider& provider, UniquePtr<EVP_PKEY> pkey, ALG_ID alg, DWORD flags,
                  std::shared_ptr<Key>& key);
bool RsaSign(EVP_PKEY* key, const EVP_MD* md, const std::vector<std::uint8_t>& digest,
             std::vector<std::uint8_t>& out);
// RsaVerify: whether `sig` is the PKCS #1 v1.5 signature of `digest` (in its DigestInfo for `md`,
// as it is when `md` is null); false with NTE_BAD_SIGNATURE.
bool RsaVerify(EVP_PKEY* key, const EVP_MD* md, const std::vector<std::uint8_t>& digest,
               const std::uint8_t* sig, std::size_t sigLen);

}  // namespace velmor::crypt::detail
