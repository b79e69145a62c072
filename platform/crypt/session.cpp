// Session keys and key blobs: RC4 streams, SIMPLEBLOB, PUBLICKEYBLOB and PRIVATEKEYBLOB.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"
#include "platform/crypt/keys.h"

namespace velmor::crypt::detail {

namespace {

constexpr std::size_t kHeaderSize = 8;   // BLOBHEADER
constexpr std::size_t kRsaPubSize = 12;  // RSAPUBKEY
constexpr DWORD kMagicPublic = 0x31415352;   // "RSA1"
constexpr DWORD kMagicPrivate = 0x32415352;  // "RSA2"
constexpr DWORD kMaxRsaBits = 16384;
constexpr DWORD kDefaultRsaBits = 1024;

DWORD ReadLe32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
         (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

void WriteLe32(std::vector<std::uint8_t>& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void WriteHeader(std::vector<std::uint8_t>& out, BYTE type, ALG_ID alg) {
  out.push_back(type);
  out.push_back(CUR_BLOB_VERSION);
  out.push_back(0);
  out.push_back(0);
  WriteLe32(out, alg);
}

UniquePtr<BIGNUM> LeBignum(const BYTE* p, std::size_t n) {
  return UniquePtr<BIGNUM>(VELMOR_CALL(BN_lebin2bn, p, static_cast<int>(n), nullptr));
}

// RsaFromParts: an RSA key from its numbers (public when d is null).
UniquePtr<EVP_PKEY> RsaFromParts(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d,
                                 const BIGNUM* p, const BIGNUM* q, const BIGNUM* dp,
                                 const BIGNUM* dq, const BIGNUM* qinv) {
  UniquePtr<OSSL_PARAM_BLD> bld(VELMOR_CALL(OSSL_PARAM_BLD_new));
  if (!bld) return nullptr;
  bool ok = VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
            VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_E, e) == 1;
  if (ok && d != nullptr) {
    ok =
        VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_D, d) == 1 &&
        VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p) == 1 &&
        VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q) == 1 &&
        VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp) == 1 &&
        VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq) == 1 &&
        VELMOR_CALL(OSSL_PARAM_BLD_push_BN, bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv) == 1;
  }
  UniquePtr<OSSL_PARAM> params(ok ? VELMOR_CALL(OSSL_PARAM_BLD_to_param, bld.get()) : nullptr);
  if (!params) return nullptr;
  EVP_PKEY* key = nullptr;
  UniquePtr<EVP_PKEY_CTX> ctx(VELMOR_CALL(EVP_PKEY_CTX_new_from_name, LibCtx(), "RSA", nullptr));
  if (ctx && VELMOR_CALL(EVP_PKEY_fromdata_init, ctx.get()) == 1) {
    VELMOR_CALL(EVP_PKEY_fromdata, ctx.get(), &key,
                d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get());
  }
  return UniquePtr<EVP_PKEY>(key);
}

bool ImportPublicKeyBlob(const BYTE* data, DWORD len, ALG_ID alg, std::shared_ptr<Key>& key) {
  if (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return Fail(NTE_BAD_ALGID);
  if (len < kHeaderSize + kRsaPubSize) return Fail(NTE_BAD_LEN);
  const BYTE* rsa = data + kHeaderSize;
  if (ReadLe32(rsa) != kMagicPublic) return Fail(NTE_BAD_DATA);
  DWORD bits = ReadLe32(rsa + 4);
  DWORD exponent = ReadLe32(rsa + 8);
  if (bits == 0 || bits % 8 != 0 || bits > kMaxRsaBits || exponent == 0) return Fail(NTE_BAD_DATA);
  const std::size_t modulusLen = bits / 8;
  if (len - kHeaderSize - kRsaPubSize < modulusLen) return Fail(NTE_BAD_LEN);
  const BYTE* modulus = rsa + kRsaPubSize;
  // An even modulus or one shorter than its stated length is no RSA key.
  if ((modulus[0] & 1) == 0 || modulus[modulusLen - 1] == 0) return Fail(NTE_BAD_DATA);
  auto n = LeBignum(modulus, modulusLen);
  if (!n) return FailOpenSsl(NTE_NO_MEMORY);
  UniquePtr<BIGNUM> e(VELMOR_CALL(BN_new));
  if (!e || VELMOR_CALL(BN_set_word, e.get(), exponent) != 1) return FailOpenSsl(NTE_NO_MEMORY);
  key->pkey = RsaFromParts(n.get(), e.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!key->pkey) return FailOpenSsl(NTE_BAD_DATA);
  key->kind = Key::Kind::kRsaPublic;
  key->alg = alg;
  key->exportable = true;
  return true;
}

bool ImportPrivateKeyBlob(Provider& provider, const BYTE* data, DWORD len, ALG_ID alg,
                          DWORD flags, std::shared_ptr<Key>& key) {
  if (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return Fail(NTE_BAD_ALGID);
  if (provider.verifyContext || !provider.storage) return Fail(NTE_BAD_KEYSET);
  if (len < kHeaderSize + kRsaPubSize) return Fail(NTE_BAD_LEN);
  const BYTE* rsa = data + kHeaderSize;
  if (ReadLe32(rsa) != kMagicPrivate) return Fail(NTE_BAD_DATA);
  DWORD bits = ReadLe32(rsa + 4);
  DWORD exponent = ReadLe32(rsa + 8);
  if (bits == 0 || bits % 16 != 0 || bits > kMaxRsaBits || exponent == 0) return Fail(NTE_BAD_DATA);
  const std::size_t full = bits / 8, half = bits / 16;
  if (len - kHeaderSize - kRsaPubSize < 2 * full + 5 * half) return Fail(NTE_BAD_LEN);
  const BYTE* p = rsa + kRsaPubSize;
  auto n = LeBignum(p, full);
  auto p1 = LeBignum(p + full, half);
  auto p2 = LeBignum(p + full + half, half);
  auto dp = LeBignum(p + full + 2 * half, half);
  auto dq = LeBignum(p + full + 3 * half, half);
  auto qinv = LeBignum(p + full + 4 * half, half);
  auto d = LeBignum(p + full + 5 * half, full);
  // The numbers above are all made by one call, which the label names whichever failed.
  if (!n || !p1 || !p2 || !dp || !dq || !qinv || !d) return FailOpenSsl(NTE_NO_MEMORY);
  UniquePtr<BIGNUM> e(VELMOR_CALL(BN_new));
  if (!e || VELMOR_CALL(BN_set_word, e.get(), exponent) != 1) return FailOpenSsl(NTE_NO_MEMORY);
  auto pkey = RsaFromParts(n.get(), e.get(), d.get(), p1.get(), p2.get(), dp.get(), dq.get(),
                           qinv.get());
  if (!pkey) return FailOpenSsl(NTE_BAD_DATA);
  return StorePrivate(provider, std::move(pkey), alg, flags, key);
}

}  // namespace

// StorePrivate: an RSA private key into the provider's container, in the slot `alg` names. The
// key is kept as its DER inside the seal, which carries any RSA key (any size, more than two
// primes, primes of unequal length); a key whose numbers do not make one key is refused first.
bool StorePrivate(Provider& provider, UniquePtr<EVP_PKEY> pkey, ALG_ID alg, DWORD flags,
                  std::shared_ptr<Key>& key) {
  if (provider.verifyContext || !provider.storage) return Fail(NTE_BAD_KEYSET);
  if (!EVP_PKEY_is_a(pkey.get(), "RSA")) return Fail(NTE_BAD_ALGID);
  const int bits = EVP_PKEY_get_bits(pkey.get());
  if (bits <= 0 || bits > static_cast<int>(kMaxRsaBits)) return Fail(NTE_BAD_DATA);
  UniquePtr<EVP_PKEY_CTX> check(
      VELMOR_CALL(EVP_PKEY_CTX_new_from_pkey, LibCtx(), pkey.get(), nullptr));
  if (!check || VELMOR_CALL(EVP_PKEY_pairwise_check, check.get()) != 1) {
    return FailOpenSsl(NTE_BAD_DATA);
  }
  Change change;
  Change::NewKey stored;
  stored.container = provider.container;
  stored.spec = alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
  stored.exportable = (flags & CRYPT_EXPORTABLE) != 0;
  if (!EncodePrivateKey(pkey.get(), stored.der, NTE_BAD_DATA)) return false;
  key->spec = stored.spec;
  change.keys.push_back(std::move(stored));
  if (!StoreKeys(provider, std::move(change))) return false;
  key->pkey = std::move(pkey);
  key->kind = Key::Kind::kRsaPrivate;
  key->alg = alg;
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  return true;
}

namespace {

// ExportPrivateKeyBlob: the PRIVATEKEYBLOB of an RSA key (the layout ImportPrivateKeyBlob
// reads), or only its size when `size` is all that is asked for.
bool ExportPrivateKeyBlob(const Key& key, SecretBytes* out, DWORD& size) {
  const int bits = EVP_PKEY_get_bits(key.pkey.get());
  if (bits <= 0 || bits % 16 != 0 || bits > static_cast<int>(kMaxRsaBits)) return Fail(NTE_BAD_KEY);
  const std::size_t full = static_cast<std::size_t>(bits) / 8, half = full / 2;
  size = static_cast<DWORD>(kHeaderSize + kRsaPubSize + 2 * full + 5 * half);
  if (out == nullptr) return true;
  const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                         OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                         OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                         OSSL_PKEY_PARAM_RSA_D};
  const std::size_t lengths[] = {full, half, half, half, half, half, full};
  BIGNUM* rawE = nullptr;
  if (VELMOR_CALL(EVP_PKEY_get_bn_param, key.pkey.get(), OSSL_PKEY_PARAM_RSA_E, &rawE) != 1) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  UniquePtr<BIGNUM> e(rawE);
  if (BN_num_bits(e.get()) > 32) return Fail(NTE_BAD_KEY);
  std::vector<std::uint8_t> head;
  WriteHeader(head, PRIVATEKEYBLOB, key.alg == CALG_RSA_SIGN ? CALG_RSA_SIGN : CALG_RSA_KEYX);
  WriteLe32(head, kMagicPrivate);
  WriteLe32(head, static_cast<DWORD>(bits));
  WriteLe32(head, static_cast<DWORD>(BN_get_word(e.get())));
  SecretBytes blob(size);
  std::memcpy(blob.data(), head.data(), head.size());
  std::size_t at = head.size();
  for (std::size_t i = 0; i < 7; ++i) {
    BIGNUM* raw = nullptr;
    if (VELMOR_CALL(EVP_PKEY_get_bn_param, key.pkey.get(), names[i], &raw) != 1) {
      return FailOpenSsl(NTE_BAD_KEY);
    }
    UniquePtr<BIGNUM> number(raw);  // wiped when it goes
    // A number longer than its field (unbalanced primes) has no place in this layout.
    if (VELMOR_CALL(BN_bn2lebinpad, number.get(), blob.data() + at, static_cast<int>(lengths[i])) <
        0) {
      return Fail(NTE_BAD_KEY);
    }
    at += lengths[i];
  }
  *out = std::move(blob);
  return true;
}

// RsaUnwrap / RsaWrap: PKCS #1 v1.5 type 2 encryption of a session key.
bool RsaWrap(EVP_PKEY* pub, const SecretBytes& secret, std::vector<std::uint8_t>& out) {
  UniquePtr<EVP_PKEY_CTX> ctx(VELMOR_CALL(EVP_PKEY_CTX_new_from_pkey, LibCtx(), pub, nullptr));
  std::size_t len = 0;
  if (!ctx || VELMOR_CALL(EVP_PKEY_encrypt_init, ctx.get()) != 1 ||
      VELMOR_CALL(EVP_PKEY_CTX_set_rsa_padding, ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      VELMOR_CALL(EVP_PKEY_encrypt, ctx.get(), nullptr, &len, secret.data(), secret.size()) != 1) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  out.resize(len);
  if (VELMOR_CALL(EVP_PKEY_encrypt, ctx.get(), out.data(), &len, secret.data(), secret.size()) !=
      1) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  out.resize(len);
  return true;
}

bool RsaUnwrap(EVP_PKEY* priv, const std::vector<std::uint8_t>& wrapped, SecretBytes& out) {
  UniquePtr<EVP_PKEY_CTX> ctx(VELMOR_CALL(EVP_PKEY_CTX_new_from_pkey, LibCtx(), priv, nullptr));
  if (!ctx || VELMOR_CALL(EVP_PKEY_decrypt_init, ctx.get()) != 1 ||
      VELMOR_CALL(EVP_PKEY_CTX_set_rsa_padding, ctx.get(), RSA_PKCS1_PADDING) != 1) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  // A wrong key must be an error, not a random session key (newer OpenSSL's implicit
  // rejection); releases that do not know the switch always report the error.
  EVP_PKEY_CTX_ctrl_str(ctx.get(), "rsa_pkcs1_implicit_rejection", "0");
  DropExpectedOpenSslErrors();
  std::size_t len = 0;
  if (VELMOR_CALL(EVP_PKEY_decrypt, ctx.get(), nullptr, &len, wrapped.data(), wrapped.size()) !=
      1) {
    return FailOpenSsl(NTE_BAD_DATA);
  }
  SecretBytes plain(len);
  if (VELMOR_CALL(EVP_PKEY_decrypt, ctx.get(), plain.data(), &len, wrapped.data(),
                  wrapped.size()) != 1) {
    return FailOpenSsl(NTE_BAD_DATA);
  }
  plain.resize(len);
  out = std::move(plain);
  return true;
}

bool ImportSimpleBlob(const BYTE* data, DWORD len, ALG_ID alg, HCRYPTKEY hPubKey, DWORD flags,
                      std::shared_ptr<Key>& key) {
  if (len < kHeaderSize + 4) return Fail(NTE_BAD_LEN);
  if (alg != CALG_RC4) return Fail(NTE_BAD_ALGID);
  auto unwrapKey = FindKey(hPubKey);
  if (!unwrapKey || unwrapKey->kind != Key::Kind::kRsaPrivate) return Fail(NTE_BAD_KEY);
  if (ReadLe32(data + kHeaderSize) != CALG_RSA_KEYX) return Fail(NTE_BAD_ALGID);
  const std::size_t modulusLen = static_cast<std::size_t>(EVP_PKEY_get_size(unwrapKey->pkey.get()));
  if (len - kHeaderSize - 4 != modulusLen) return Fail(NTE_BAD_LEN);
  const BYTE* wrappedLe = data + kHeaderSize + 4;
  std::vector<std::uint8_t> wrapped(wrappedLe, wrappedLe + modulusLen);
  std::reverse(wrapped.begin(), wrapped.end());
  SecretBytes secret;
  if (unwrapKey->token ? !TokenUnwrap(*unwrapKey->token, wrapped, secret)
                       : !RsaUnwrap(unwrapKey->pkey.get(), wrapped, secret)) {
    return false;
  }
  if (secret.size() < 5 || secret.size() > 16) return Fail(NTE_BAD_DATA);
  key->kind = Key::Kind::kRc4;
  key->alg = CALG_RC4;
  key->secret = std::move(secret);
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  return true;
}

// Blocks up to kSmallBlock bytes take their key stream from a run of kStreamAhead bytes made
// ahead: a cipher call costs more than a thousand instructions whatever its length, and
// Encrypt feeds the cipher 8 bytes at a time. Longer blocks go through the cipher directly.
constexpr std::size_t kStreamAhead = 4096;
constexpr std::size_t kSmallBlock = 256;

// RunCipher: `n` bytes at `data` through the key's RC4 state, in place.
bool RunCipher(Key& key, BYTE* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    int chunk = static_cast<int>(std::min<std::size_t>(n - done, 1 << 30));
    int outLen = 0;
    if (VELMOR_CALL(EVP_CipherUpdate, key.stream.get(), data + done, &outLen, data + done, chunk) !=
            1 ||
        outLen != chunk) {
      return FailOpenSsl(NTE_FAIL);
    }
    done += static_cast<std::size_t>(chunk);
  }
  return true;
}

// TakeStreamAhead: combines up to `n` bytes at `data` with key stream made ahead; returns how
// many it combined.
std::size_t TakeStreamAhead(Key& key, BYTE* data, std::size_t n) {
  const std::size_t take = std::min(n, key.streamAhead.size() - key.streamUsed);
  const std::uint8_t* stream = key.streamAhead.data() + key.streamUsed;
  std::size_t i = 0;
  for (; i + 8 <= take; i += 8) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, stream + i, 8);
    a ^= b;
    std::memcpy(data + i, &a, 8);
  }
  for (; i < take; ++i) data[i] ^= stream[i];
  key.streamUsed += take;
  return take;
}

// Stream: the key's RC4 state, started on first use and after a final call. The bytes come out
// as one pass of the cipher over all the data given since, whatever the block lengths.
bool Stream(Key& key, std::size_t n, BYTE* data) {
  if (!key.stream) {
    const EVP_CIPHER* rc4 = Rc4();
    if (rc4 == nullptr) return Fail(NTE_BAD_ALGID);
    UniquePtr<EVP_CIPHER_CTX> ctx(VELMOR_CALL(EVP_CIPHER_CTX_new));
    if (!ctx ||
        VELMOR_CALL(EVP_CipherInit_ex2, ctx.get(), rc4, nullptr, nullptr, 1, nullptr) != 1 ||
        VELMOR_CALL(EVP_CIPHER_CTX_set_key_length, ctx.get(),
                    static_cast<int>(key.secret.size())) != 1 ||
        VELMOR_CALL(EVP_CipherInit_ex2, ctx.get(), nullptr, key.secret.data(), nullptr, 1,
                    nullptr) != 1) {
      return FailOpenSsl(NTE_BAD_KEY);
    }
    key.stream = std::move(ctx);
  }
  // Key stream made ahead comes first, so that the stream stays in order.
  std::size_t done = TakeStreamAhead(key, data, n);
  if (done == n) return true;
  if (n - done > kSmallBlock) return RunCipher(key, data + done, n - done);
  if (key.streamAhead.size() != kStreamAhead) key.streamAhead = SecretBytes(kStreamAhead);
  std::memset(key.streamAhead.data(), 0, kStreamAhead);
  key.streamUsed = 0;
  if (!RunCipher(key, key.streamAhead.data(), kStreamAhead)) {
    key.streamUsed = kStreamAhead;  // nothing usable made ahead
    return false;
  }
  done += TakeStreamAhead(key, data + done, n - done);
  return true;
}

// EndStream: after a final call the next message starts the key stream afresh.
void EndStream(Key& key) {
  key.stream.reset();
  key.streamAhead = SecretBytes();
  key.streamUsed = 0;
}

bool HashPlaintext(HCRYPTHASH hHash, const BYTE* data, DWORD len) {
  if (hHash == 0) return true;
  return CryptHashData(hHash, data, len, 0) != FALSE;
}

}  // namespace

}  // namespace velmor::crypt::detail

using namespace velmor::crypt::detail;

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
  return Call<BOOL>(FALSE, Api{"CryptGenKey"}, Out<HCRYPTKEY>{phKey}, Find<Provider>{hProv},
                    [&](std::shared_ptr<Provider>& provider) -> BOOL {
    const DWORD bits = dwFlags >> 16;
    auto key = std::make_shared<Key>();
    key->provider = provider;
    key->exportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
    if (Algid == CALG_RC4) {
      const DWORD keyBits = bits == 0 ? 128 : bits;
      if (keyBits < 40 || keyBits > 128 || keyBits % 8 != 0) return Fail(NTE_BAD_FLAGS);
      key->kind = Key::Kind::kRc4;
      key->alg = CALG_RC4;
      key->secret = SecretBytes(keyBits / 8);
      if (VELMOR_CALL(RAND_bytes_ex, LibCtx(), key->secret.data(), key->secret.size(), 0) != 1) {
        return FailOpenSsl(NTE_FAIL);
      }
    } else if (Algid == AT_KEYEXCHANGE || Algid == AT_SIGNATURE || Algid == CALG_RSA_KEYX ||
               Algid == CALG_RSA_SIGN) {
      // A new key pair in the container's slot for it.
      if (provider->verifyContext || !provider->storage) return Fail(NTE_BAD_KEYSET);
      const DWORD keyBits = bits == 0 ? kDefaultRsaBits : bits;
      if (keyBits < 512 || keyBits > kMaxRsaBits || keyBits % 8 != 0) return Fail(NTE_BAD_FLAGS);
      const bool sign = Algid == AT_SIGNATURE || Algid == CALG_RSA_SIGN;
      UniquePtr<EVP_PKEY_CTX> ctx(
          VELMOR_CALL(EVP_PKEY_CTX_new_from_name, LibCtx(), "RSA", nullptr));
      EVP_PKEY* raw = nullptr;
      if (!ctx || VELMOR_CALL(EVP_PKEY_keygen_init, ctx.get()) != 1 ||
          VELMOR_CALL(EVP_PKEY_CTX_set_rsa_keygen_bits, ctx.get(), static_cast<int>(keyBits)) !=
              1 ||
          VELMOR_CALL(EVP_PKEY_generate, ctx.get(), &raw) != 1) {
        return FailOpenSsl(NTE_FAIL);
      }
      key->pkey.reset(raw);
      Change change;
      Change::NewKey stored;
      stored.container = provider->container;
      stored.spec = sign ? AT_SIGNATURE : AT_KEYEXCHANGE;
      stored.exportable = key->exportable;
      if (!EncodePrivateKey(raw, stored.der, NTE_FAIL)) return FALSE;
      change.keys.push_back(std::move(stored));
      if (!StoreKeys(*provider, std::move(change))) return FALSE;
      key->kind = Key::Kind::kRsaPrivate;
      key->alg = sign ? CALG_RSA_SIGN : CALG_RSA_KEYX;
      key->spec = sign ? AT_SIGNATURE : AT_KEYEXCHANGE;
    } else {
      return Fail(NTE_BAD_ALGID);
    }
    *phKey = AddKey(std::move(key));
    return TRUE;
  });
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags, HCRYPTKEY* phKey) {
  return Call<BOOL>(FALSE, Api{"CryptImportKey"}, Out<HCRYPTKEY>{phKey}, Find<Provider>{hProv},
                    [&](std::shared_ptr<Provider>& provider) -> BOOL {
    if ((dwFlags & ~CRYPT_EXPORTABLE) != 0) return Fail(NTE_BAD_FLAGS);
    if (pbData == nullptr || dwDataLen < kHeaderSize) return Fail(NTE_BAD_LEN);
    const BYTE type = pbData[0];
    if (pbData[1] != CUR_BLOB_VERSION) return Fail(NTE_BAD_VER);
    const ALG_ID alg = ReadLe32(pbData + 4);
    auto key = std::make_shared<Key>();
    key->provider = provider;
    bool ok = false;
    switch (type) {
      case PUBLICKEYBLOB: ok = ImportPublicKeyBlob(pbData, dwDataLen, alg, key); break;
      case SIMPLEBLOB: ok = ImportSimpleBlob(pbData, dwDataLen, alg, hPubKey, dwFlags, key); break;
      case PRIVATEKEYBLOB:
        ok = ImportPrivateKeyBlob(*provider, pbData, dwDataLen, alg, dwFlags, key);
        break;
      default: return Fail(NTE_BAD_TYPE);
    }
    if (!ok) return FALSE;
    *phKey = AddKey(std::move(key));
    return TRUE;
  });
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen) {
  return Call<BOOL>(FALSE, Api{"CryptExportKey"}, Find<Key>{hKey},
                    [&](std::shared_ptr<Key>& key) -> BOOL {
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    std::vector<std::uint8_t> blob;
    if (dwBlobType == PRIVATEKEYBLOB) {
      if (key->kind != Key::Kind::kRsaPrivate || !key->pkey) return Fail(NTE_BAD_KEY);
      if (!key->exportable) return Fail(NTE_BAD_KEY_STATE);
      if (hExpKey != 0) return Fail(NTE_BAD_KEY);  // sealed blobs are not offered
      DWORD size = 0;
      SecretBytes secret;
      if (!ExportPrivateKeyBlob(*key, pbData != nullptr ? &secret : nullptr, size)) return FALSE;
      if (pbData == nullptr || *pdwDataLen < size) {
        *pdwDataLen = size;
        return pbData == nullptr ? TRUE : Fail(ERROR_MORE_DATA);
      }
      std::memcpy(pbData, secret.data(), secret.size());
      *pdwDataLen = size;
      return TRUE;
    }
    if (dwBlobType == SIMPLEBLOB) {
      if (key->kind != Key::Kind::kRc4) return Fail(NTE_BAD_KEY);
      if (!key->exportable) return Fail(NTE_BAD_KEY_STATE);
      auto wrapKey = FindKey(hExpKey);
      if (!wrapKey || !wrapKey->pkey) return Fail(NTE_BAD_KEY);
      const auto modulusLen = static_cast<DWORD>(EVP_PKEY_get_size(wrapKey->pkey.get()));
      const DWORD size = static_cast<DWORD>(kHeaderSize) + 4 + modulusLen;
      if (pbData == nullptr) {
        *pdwDataLen = size;
        return TRUE;
      }
      if (*pdwDataLen < size) {
        *pdwDataLen = size;
        return Fail(ERROR_MORE_DATA);
      }
      std::vector<std::uint8_t> wrapped;
      if (!RsaWrap(wrapKey->pkey.get(), key->secret, wrapped)) return FALSE;
      WriteHeader(blob, SIMPLEBLOB, CALG_RC4);
      WriteLe32(blob, CALG_RSA_KEYX);
      blob.insert(blob.end(), wrapped.rbegin(), wrapped.rend());
    } else if (dwBlobType == PUBLICKEYBLOB) {
      if (!key->pkey) return Fail(NTE_BAD_KEY);
      if (hExpKey != 0) return Fail(NTE_BAD_KEY);
      BIGNUM* rawN = nullptr;
      BIGNUM* rawE = nullptr;
      const bool got =
          VELMOR_CALL(EVP_PKEY_get_bn_param, key->pkey.get(), OSSL_PKEY_PARAM_RSA_N, &rawN) == 1 &&
          VELMOR_CALL(EVP_PKEY_get_bn_param, key->pkey.get(), OSSL_PKEY_PARAM_RSA_E, &rawE) == 1;
      UniquePtr<BIGNUM> nOwned(rawN), eOwned(rawE);
      if (!got) return FailOpenSsl(NTE_BAD_KEY);
      const BIGNUM* n = nOwned.get();
      const BIGNUM* e = eOwned.get();
      const int bits = EVP_PKEY_get_bits(key->pkey.get());
      const std::size_t modulusLen = static_cast<std::size_t>((bits + 7) / 8);
      if (BN_num_bits(e) > 32) return Fail(NTE_BAD_KEY);
      WriteHeader(blob, PUBLICKEYBLOB, key->alg == CALG_RSA_SIGN ? CALG_RSA_SIGN : CALG_RSA_KEYX);
      WriteLe32(blob, kMagicPublic);
      WriteLe32(blob, static_cast<DWORD>(modulusLen * 8));
      WriteLe32(blob, static_cast<DWORD>(BN_get_word(e)));
      std::size_t at = blob.size();
      blob.resize(at + modulusLen);
      if (VELMOR_CALL(BN_bn2lebinpad, n, blob.data() + at, static_cast<int>(modulusLen)) < 0) {
        return FailOpenSsl(NTE_BAD_KEY);
      }
    } else {
      return Fail(NTE_BAD_TYPE);
    }
    return WriteOutput(blob, pbData, pdwDataLen) ? TRUE : FALSE;
  });
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen, DWORD dwBufLen) {
  return Call<BOOL>(FALSE, Api{"CryptEncrypt"}, Peek<Key>{hKey}, [&](Key& key) -> BOOL {
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    if (key.kind != Key::Kind::kRc4) return Fail(NTE_BAD_ALGID);
    // A stream cipher's output is as long as its input.
    if (pbData == nullptr) return TRUE;
    if (*pdwDataLen > dwBufLen) return Fail(ERROR_MORE_DATA);
    if (!HashPlaintext(hHash, pbData, *pdwDataLen)) return FALSE;
    if (!Stream(key, *pdwDataLen, pbData)) return FALSE;
    if (Final) EndStream(key);
    return TRUE;
  });
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen) {
  return Call<BOOL>(FALSE, Api{"CryptDecrypt"}, Peek<Key>{hKey}, [&](Key& key) -> BOOL {
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    if (key.kind != Key::Kind::kRc4) return Fail(NTE_BAD_ALGID);
    if (*pdwDataLen != 0 && pbData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!Stream(key, *pdwDataLen, pbData)) return FALSE;
    if (!HashPlaintext(hHash, pbData, *pdwDataLen)) return FALSE;
    if (Final) EndStream(key);
    return TRUE;
  });
}

BOOL velmor::crypt::StorePrivateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwKeySpec,
                                    DWORD dwFlags, HCRYPTKEY* phKey) {
  return Call<BOOL>(FALSE, Api{}, Out<HCRYPTKEY>{phKey}, Find<Provider>{hProv},
                    [&](std::shared_ptr<Provider>& provider) -> BOOL {
    if ((dwFlags & ~CRYPT_EXPORTABLE) != 0) return Fail(NTE_BAD_FLAGS);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return Fail(NTE_BAD_ALGID);
    auto source = FindKey(hKey);
    if (!source || source->kind != Key::Kind::kRsaPrivate || !source->pkey || source->token) {
      return Fail(NTE_BAD_KEY);
    }
    if (!source->exportable) return Fail(NTE_BAD_KEY_STATE);
    auto key = std::make_shared<Key>();
    key->provider = provider;
    const ALG_ID alg = dwKeySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    if (!StorePrivate(*provider, UpRef(source->pkey.get()), alg, dwFlags, key)) return FALSE;
    *phKey = AddKey(std::move(key));
    return TRUE;
  });
}
