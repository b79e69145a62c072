// Provider contexts and key containers, hashes, signatures and public keys.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <ranges>
#include <set>
#include <span>
#include <tuple>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"
#include "platform/crypt/keys.h"

namespace velmor::crypt::detail {

namespace {

HandleTable<Provider, HandleKind::kProvider>& Providers() { return TheRuntime().providers; }
HandleTable<Hash, HandleKind::kHash>& Hashes() { return TheRuntime().hashes; }
HandleTable<Key, HandleKind::kKey>& Keys() { return TheRuntime().keys; }

struct CachedKey {
  std::uint64_t generation = 0;
  UniquePtr<EVP_PKEY> key;
  bool exportable = false;
  // The public key (the RSAPublicKey bytes of a certificate's key info) last compared with
  // this key, and whether it was this key's: a signer's certificate is checked once per load
  // of its key, not at every signature.
  std::vector<std::uint8_t> comparedWith;
  bool comparedSame = false;
  bool hasRow = false;  // under kContainerRow: whether the container is a row of the database
};

}  // namespace
// Loaded private keys, keyed by database, container and key spec; each entry is valid for the
// generation it was read at, so another process's write is never missed. An entry without a
// key records that the container had none of that spec then, so that opening a container
// (which looks for both specs) reads nothing twice; whether a container is a row of the
// database is kept the same way, under spec 0.
using KeyId = std::tuple<std::string, std::string, DWORD>;  // database, container, spec
// KeyRef: a KeyId looked up without copying its names.
using KeyRef = std::tuple<std::string_view, std::string_view, DWORD>;
struct KeyOrder {
  using is_transparent = void;
  static KeyRef Parts(const KeyRef& id) { return id; }
  static KeyRef Parts(const KeyId& id) { return {std::get<0>(id), std::get<1>(id), std::get<2>(id)}; }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return Parts(a) < Parts(b);
  }
};
struct LoadedKeys : std::map<KeyId, CachedKey, KeyOrder> {};
namespace {

constexpr DWORD kContainerRow = 0;

std::map<KeyId, CachedKey, KeyOrder>& KeyCache() {
  return TheRuntime().keyCache.Get();
}

// HandleGeneration: the generation `provider` sees. It is read from the database once in each
// exported call (another process's write is seen by the next call), and again after a write of
// this process or when `newer` (a generation the cache has seen since) shows the reading old.
bool HandleGeneration(Provider& provider, std::uint64_t& out, std::uint64_t newer = 0) {
  const std::uint64_t writes = provider.storage->Writes();
  const std::uint64_t call = TheRuntime().callSerial;
  if (!provider.generationRead || provider.callSeen != call || provider.writesSeen != writes ||
      newer > provider.generation) {
    if (!provider.storage->Generation(provider.generation)) return false;
    provider.generationRead = true;
    provider.callSeen = call;
    provider.writesSeen = writes;
  }
  out = provider.generation;
  return true;
}

// CachedEntry: the cache's entry for `id` valid at the generation `provider` sees; null when
// it has none, with `generation` set to that generation. False when the database cannot be read.
bool CachedEntry(Provider& provider, const KeyRef& id,
                 CachedKey*& entry, std::uint64_t& generation) {
  entry = nullptr;
  auto& cache = KeyCache();
  auto it = cache.find(id);
  if (!HandleGeneration(provider, generation, it != cache.end() ? it->second.generation : 0)) {
    return false;
  }
  if (it != cache.end() && it->second.generation == generation) entry = &it->second;
  return true;
}

// Remember: files `entry` under `id`, first forgetting whatever an older generation of the same
// database left.
CachedKey& Remember(const KeyRef& id, CachedKey entry) {
  auto& cache = KeyCache();
  // Keys read at an older generation may since have been removed or replaced: once the
  // database has moved on, none of them stays in this process's memory.
  std::erase_if(cache, [&](const auto& e) {
    return std::get<0>(e.first) == std::get<0>(id) && e.second.generation != entry.generation;
  });
  if (cache.size() > 64) cache.clear();  // many containers: keep the cache bounded
  return cache[KeyId(std::get<0>(id), std::get<1>(id), std::get<2>(id))] = std::move(entry);
}

// ContainerHasRow: whether the container `provider` names is a row of its database.
bool ContainerHasRow(Provider& provider, bool& row) {
  const KeyRef id(provider.storage->Identity(), provider.container, kContainerRow);
  CachedKey* entry = nullptr;
  std::uint64_t generation = 0;
  if (!CachedEntry(provider, id, entry, generation)) return false;
  if (entry != nullptr) {
    row = entry->hasRow;
    return true;
  }
  if (!provider.storage->ContainerExists(provider.container, row)) return false;
  CachedKey fresh;
  fresh.generation = generation;
  fresh.hasRow = row;
  Remember(id, std::move(fresh));
  return true;
}

// AnsiToName: a container name given in the ANSI code page, as this layer keeps it (UTF-8).
std::optional<std::string> AnsiToName(const char* ansi) {
  std::string_view text(ansi);
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(text);
  }
  int n = MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  if (MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(text.size()), wide.data(), n) != n) {
    return std::nullopt;
  }
  return Utf16ToUtf8(wide);
}

// Empty key containers this process made outside a StoreTransaction, by database identity and
// name. Making one is no write: a call that only reads (a signature, the certificate list)
// would otherwise wait for another process's writer just to create its default container. An
// empty container holds nothing another process could use, so it becomes a row of the database
// with its first key (StoreKeys); until then this process alone knows it.
}  // namespace
struct UnwrittenContainers : std::set<std::pair<std::string, std::string>> {};
namespace {

std::set<std::pair<std::string, std::string>>& EmptyContainers() {
  return TheRuntime().emptyContainers.Get();
}

bool Acquire(const std::string& container, DWORD flags, HCRYPTPROV* out) {
  auto provider = std::make_shared<Provider>();
  if (flags & CRYPT_VERIFYCONTEXT) {
    provider->verifyContext = true;
    *out = Providers().Add(std::move(provider));
    return true;
  }
  provider->storage = OpenStorage();
  if (!provider->storage) return false;
  provider->container = container;
  Storage& storage = *provider->storage;
  const auto id = std::make_pair(storage.Identity(), container);
  const bool empty = EmptyContainers().count(id) != 0;
  bool row = false;
  if (!empty && !ContainerHasRow(*provider, row)) return false;
  if (flags & CRYPT_DELETEKEYSET) {
    if (!empty && !row) return Fail(NTE_BAD_KEYSET);
    if (row) {
      Change change;
      change.deleteContainers.push_back(container);
      if (!storage.Apply(change, nullptr)) return false;
    }
    EmptyContainers().erase(id);
    *out = 0;
    return true;
  }
  if (flags & CRYPT_NEWKEYSET) {
    if (empty || row) return Fail(NTE_EXISTS);
    if (storage.InTransaction()) {
      // The transaction holds the write lock already: the row costs no wait, and goes with
      // the transaction if it is undone.
      Change change;
      change.containers.push_back(Change::NewContainer{container, true});
      if (!storage.Apply(change, nullptr)) return false;
    } else {
      EmptyContainers().insert(id);
    }
  } else {
    if (!empty && !row) return Fail(NTE_BAD_KEYSET);
    // A container whose sealed keys do not open here (the master key is missing or wrong) is
    // refused as a whole, as an unusable key set, before anyone tries to use its keys.
    for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
      if (!PrivateKeyOf(*provider, spec, nullptr) && GetLastError() != NTE_NO_KEY) return false;
    }
  }
  *out = Providers().Add(std::move(provider));
  return true;
}

}  // namespace

std::shared_ptr<Provider> FindProvider(HCRYPTPROV handle) { return Providers().Find(handle); }

void DropKeyCache() { TheRuntime().keyCache.Drop(); }

std::shared_ptr<Key> FindKey(HCRYPTKEY handle) { return Keys().Find(handle); }
Key* PeekKey(HCRYPTKEY handle) { return Keys().Peek(handle); }

HCRYPTKEY AddKey(std::shared_ptr<Key> key) { return Keys().Add(std::move(key)); }

UniquePtr<EVP_PKEY> DecodePrivateKey(const std::uint8_t* der, std::size_t len, DWORD fallback) {
  const unsigned char* p = der;
  EVP_PKEY* key =
      VELMOR_CALL(d2i_AutoPrivateKey_ex, nullptr, &p, static_cast<long>(len), LibCtx(), nullptr);
  if (key == nullptr) {
    FailOpenSsl(fallback);
    return nullptr;
  }
  return UniquePtr<EVP_PKEY>(key);
}

bool EncodePrivateKey(EVP_PKEY* key, SecretBytes& out, DWORD fallback) {
  int n = VELMOR_CALL(i2d_PrivateKey, key, nullptr);
  if (n <= 0) return FailOpenSsl(fallback);
  out = SecretBytes(static_cast<std::size_t>(n));
  unsigned char* p = out.data();
  if (VELMOR_CALL(i2d_PrivateKey, key, &p) != n) return FailOpenSsl(fallback);
  return true;
}

UniquePtr<EVP_PKEY> PrivateKeyOf(Provider& provider, DWORD spec, bool* exportable) {
  if (provider.verifyContext || !provider.storage) {
    SetLastError(NTE_NO_KEY);
    return nullptr;
  }
  const KeyRef id(provider.storage->Identity(), provider.container, spec);
  CachedKey* entry = nullptr;
  std::uint64_t generation = 0;
  if (!CachedEntry(provider, id, entry, generation)) return nullptr;
  if (entry == nullptr) {
    std::optional<StoredKey> stored;
    if (!provider.storage->LoadKey(provider.container, spec, stored)) return nullptr;
    CachedKey fresh;
    fresh.generation = generation;
    if (stored) {
      // A stored key that does not decode is a damaged container.
      fresh.key = DecodePrivateKey(stored->der.data(), stored->der.size(), NTE_BAD_KEYSET);
      if (!fresh.key) return nullptr;
      fresh.exportable = stored->exportable;
    }
    entry = &Remember(id, std::move(fresh));
  }
  if (!entry->key) {
    SetLastError(NTE_NO_KEY);
    return nullptr;
  }
  if (exportable != nullptr) *exportable = entry->exportable;
  return UpRef(entry->key.get());
}

namespace {

// SamePublicKey: false only when both keys are RSA keys whose public halves (modulus and
// exponent) differ; a pair that cannot be compared (an exponent over 32 bits, which no key blob
// carries) passes, and signing with it then fails on its own.
bool SamePublicKey(EVP_PKEY* held, EVP_PKEY* named) {
  for (EVP_PKEY* key : {held, named}) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw) != 1) {
      DropExpectedOpenSslErrors();
      return true;
    }
    UniquePtr<BIGNUM> e(raw);
    if (BN_num_bits(e.get()) > 32) return true;
  }
  const bool same = EVP_PKEY_eq(held, named) == 1;
  DropExpectedOpenSslErrors();
  return same;
}

}  // namespace

bool StoreKeys(Provider& provider, Change change) {
  if (provider.verifyContext || !provider.storage) return Fail(NTE_BAD_KEYSET);
  const auto id = std::make_pair(provider.storage->Identity(), provider.container);
  const bool wasEmpty = EmptyContainers().count(id) != 0;
  if (wasEmpty) {
    change.containers.insert(change.containers.begin(),
                             Change::NewContainer{provider.container, true});
  }
  if (!provider.storage->Apply(change, nullptr)) return false;
  if (wasEmpty) EmptyContainers().erase(id);
  return true;
}

bool AcquireToken(const std::string& container, DWORD flags, HCRYPTPROV* out,
                  const std::string& signedText = {}) {
  if ((flags & ~CRYPT_SILENT) != 0) return Fail(NTE_BAD_FLAGS);
  auto provider = std::make_shared<Provider>();
  if (!AcquireTokenKey(container, (flags & CRYPT_SILENT) != 0, signedText, provider->token)) {
    return false;
  }
  provider->container = container;
  *out = Providers().Add(std::move(provider));
  return true;
}

bool AcquireForKeyProv(const KeyProvRecord& record, HCRYPTPROV* out, bool silent) {
  if (record.hasProvider) {
    auto name = Utf16ToUtf8(record.provider);
    if (name && IsTokenProvider(*name)) {
      auto container = Utf16ToUtf8(record.container);
      if (!record.hasContainer || !container) return Fail(NTE_BAD_KEYSET);
      return AcquireToken(*container, silent ? CRYPT_SILENT : 0, out);
    }
    if (!name || *name != MS_ENHANCED_PROV_A) return Fail(NTE_KEYSET_NOT_DEF);
  }
  if (record.provType != PROV_RSA_FULL) return Fail(NTE_PROV_TYPE_NOT_DEF);
  std::string container = DefaultContainerName();
  if (record.hasContainer && !record.container.empty()) {
    auto name = Utf16ToUtf8(record.container);
    if (!name) return Fail(NTE_BAD_KEYSET);
    container = *name;
  }
  return Acquire(container, 0, out);
}

// RsaSign / RsaVerify: PKCS #1 v1.5 over a digest, wrapped in its DigestInfo unless `raw`.
bool RsaSign(EVP_PKEY* key, const EVP_MD* md, const std::vector<std::uint8_t>& digest,
             std::vector<std::uint8_t>& out) {
  UniquePtr<EVP_PKEY_CTX> ctx(VELMOR_CALL(EVP_PKEY_CTX_new_from_pkey, LibCtx(), key, nullptr));
  if (!ctx || VELMOR_CALL(EVP_PKEY_sign_init, ctx.get()) != 1 ||
      VELMOR_CALL(EVP_PKEY_CTX_set_rsa_padding, ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      (md != nullptr && VELMOR_CALL(EVP_PKEY_CTX_set_signature_md, ctx.get(), md) != 1)) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  std::size_t len = 0;
  if (VELMOR_CALL(EVP_PKEY_sign, ctx.get(), nullptr, &len, digest.data(), digest.size()) != 1) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  out.resize(len);
  if (VELMOR_CALL(EVP_PKEY_sign, ctx.get(), out.data(), &len, digest.data(), digest.size()) != 1) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  out.resize(len);
  return true;
}

bool RsaVerify(EVP_PKEY* key, const EVP_MD* md, const std::vector<std::uint8_t>& digest,
               const std::uint8_t* sig, std::size_t sigLen) {
  UniquePtr<EVP_PKEY_CTX> ctx(VELMOR_CALL(EVP_PKEY_CTX_new_from_pkey, LibCtx(), key, nullptr));
  if (!ctx || VELMOR_CALL(EVP_PKEY_verify_init, ctx.get()) != 1 ||
      VELMOR_CALL(EVP_PKEY_CTX_set_rsa_padding, ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      (md != nullptr && VELMOR_CALL(EVP_PKEY_CTX_set_signature_md, ctx.get(), md) != 1)) {
    return FailOpenSsl(NTE_BAD_KEY);
  }
  if (VELMOR_CALL(EVP_PKEY_verify, ctx.get(), sig, sigLen, digest.data(), digest.size()) != 1) {
    return FailOpenSsl(NTE_BAD_SIGNATURE);
  }
  return true;
}

bool HashValue(Hash& hash, std::vector<std::uint8_t>& out) {
  if (!hash.finished) {
    UniquePtr<EVP_MD_CTX> copy(VELMOR_CALL(EVP_MD_CTX_new));
    unsigned int len = 0;
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    if (!copy || VELMOR_CALL(EVP_MD_CTX_copy_ex, copy.get(), hash.ctx.get()) != 1 ||
        VELMOR_CALL(EVP_DigestFinal_ex, copy.get(), digest, &len) != 1) {
      return FailOpenSsl(NTE_BAD_HASH);
    }
    hash.value.assign(digest, digest + len);
  }
  out = hash.value;
  return true;
}

}  // namespace velmor::crypt::detail

using namespace velmor::crypt::detail;

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
  return CryptAcquireContextParamsA(phProv, szContainer, szProvider, dwProvType, dwFlags, nullptr,
                                    0);
}

BOOL CryptAcquireContextParamsA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                DWORD dwProvType, DWORD dwFlags,
                                const CRYPT_KEY_PROV_PARAM* params, DWORD paramCount) {
  const Api api{"CryptAcquireContextA", szContainer != nullptr ? szContainer : ""};
  return Call<BOOL>(FALSE, api, [&]() -> BOOL {
    if (phProv == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *phProv = 0;
    if (paramCount != 0 && params == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const CRYPT_KEY_PROV_PARAM* signedText = nullptr;
    for (DWORD i = 0; i < paramCount; ++i) {
      if (params[i].dwParam != PP_SIGNED_TEXT) return Fail(NTE_BAD_TYPE);
      if (params[i].pbData == nullptr && params[i].cbData != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
      }
      signedText = &params[i];
    }
    if (szProvider != nullptr && IsTokenProvider(szProvider) && dwProvType == PROV_RSA_FULL) {
      if (szContainer == nullptr || szContainer[0] == '\0') return Fail(NTE_BAD_KEYSET);
      // Only a token asks the user anything: the text is copied for it alone.
      std::string text;
      if (signedText != nullptr && signedText->cbData != 0) {
        text.assign(reinterpret_cast<const char*>(signedText->pbData), signedText->cbData);
      }
      return AcquireToken(szContainer, dwFlags, phProv, text) ? TRUE : FALSE;
    }
    if (szProvider != nullptr && std::strcmp(szProvider, MS_ENHANCED_PROV_A) != 0) {
      return Fail(NTE_KEYSET_NOT_DEF);
    }
    if (dwProvType != PROV_RSA_FULL) return Fail(NTE_PROV_TYPE_NOT_DEF);
    const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT;
    if ((dwFlags & ~known) != 0) return Fail(NTE_BAD_FLAGS);
    const DWORD mode = dwFlags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
    if (mode != 0 && mode != CRYPT_VERIFYCONTEXT && mode != CRYPT_NEWKEYSET &&
        mode != CRYPT_DELETEKEYSET) {
      return Fail(NTE_BAD_FLAGS);
    }
    std::string container;
    if (szContainer == nullptr || szContainer[0] == '\0') {
      container = DefaultContainerName();
    } else {
      auto name = AnsiToName(szContainer);
      if (!name) return Fail(NTE_BAD_KEYSET);
      container = *name;
    }
    return Acquire(container, dwFlags, phProv) ? TRUE : FALSE;
  });
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    return Release<Provider>(hProv);
  });
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  return Call<BOOL>(FALSE, Api{"CryptGetUserKey"}, Out<HCRYPTKEY>{phUserKey}, Find<Provider>{hProv},
                    [&](std::shared_ptr<Provider>& provider) -> BOOL {
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return Fail(NTE_NO_KEY);
    auto key = std::make_shared<Key>();
    if (provider->token) {
      // A token's container holds one key, for signing and for key exchange alike.
      key->pkey = UpRef(TokenPublicKey(*provider->token));
      key->token = provider->token;
    } else {
      key->pkey = PrivateKeyOf(*provider, dwKeySpec, &key->exportable);
    }
    if (!key->pkey) return FALSE;
    key->kind = Key::Kind::kRsaPrivate;
    key->alg = dwKeySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    key->spec = dwKeySpec;
    key->provider = std::move(provider);
    *phUserKey = AddKey(std::move(key));
    return TRUE;
  });
}

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
  return Call<BOOL>(FALSE, Api{"CryptCreateHash"}, Out<HCRYPTHASH>{phHash}, Find<Provider>{hProv},
                    [&](std::shared_ptr<Provider>& provider) -> BOOL {
    if (Algid != CALG_MD5 && Algid != CALG_SHA1) return Fail(NTE_BAD_ALGID);
    if (hKey != 0) return Fail(NTE_BAD_KEY);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    auto hash = std::make_shared<Hash>();
    hash->alg = Algid;
    hash->md = Algid == CALG_MD5 ? Md5() : Sha1();
    // A digest the process could not fetch when it started: no call fails here.
    if (hash->md == nullptr) return Fail(NTE_BAD_ALGID);
    hash->ctx.reset(VELMOR_CALL(EVP_MD_CTX_new));
    if (!hash->ctx || VELMOR_CALL(EVP_DigestInit_ex, hash->ctx.get(), hash->md, nullptr) != 1) {
      return FailOpenSsl(NTE_BAD_ALGID);
    }
    hash->provider = std::move(provider);
    *phHash = Hashes().Add(std::move(hash));
    return TRUE;
  });
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
  return Call<BOOL>(FALSE, Api{"CryptHashData"}, Peek<Hash>{hHash}, [&](Hash& hash) -> BOOL {
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    if (hash.finished) return Fail(NTE_BAD_HASH_STATE);
    if (dwDataLen == 0) return TRUE;
    if (pbData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (VELMOR_CALL(EVP_DigestUpdate, hash.ctx.get(), pbData, dwDataLen) != 1) {
      return FailOpenSsl(NTE_BAD_HASH);
    }
    return TRUE;
  });
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    return Release<Hash>(hHash);
  });
}

BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen) {
  (void)szDescription;
  return Call<BOOL>(FALSE, Api{"CryptSignHashA"}, Find<Hash>{hHash},
                    [&](std::shared_ptr<Hash>& hash) -> BOOL {
    if (pdwSigLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0 && dwFlags != CRYPT_NOHASHOID) return Fail(NTE_BAD_FLAGS);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return Fail(NTE_BAD_ALGID);
    const std::shared_ptr<TokenKey> token = hash->provider->token;
    auto key = token ? UpRef(TokenPublicKey(*token)) : PrivateKeyOf(*hash->provider, dwKeySpec, nullptr);
    if (!key) return FALSE;
    const auto size = static_cast<DWORD>(EVP_PKEY_get_size(key.get()));
    if (pbSignature == nullptr) {
      *pdwSigLen = size;
      return TRUE;
    }
    if (*pdwSigLen < size) {
      *pdwSigLen = size;
      return Fail(ERROR_MORE_DATA);
    }
    std::vector<std::uint8_t> digest, signature;
    if (!HashValue(*hash, digest)) return FALSE;
    const EVP_MD* md = dwFlags == CRYPT_NOHASHOID ? nullptr : hash->md;
    if (token ? !TokenSignDigest(*token, md, digest, signature)
              : !RsaSign(key.get(), md, digest, signature)) {
      return FALSE;
    }
    hash->finished = true;
    // CryptoAPI hands signatures out least significant byte first.
    std::reverse(signature.begin(), signature.end());
    return WriteOutput(signature, pbSignature, pdwSigLen) ? TRUE : FALSE;
  });
}

BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags) {
  (void)szDescription;
  return Call<BOOL>(FALSE, Api{"CryptVerifySignatureA"}, Find<Hash>{hHash},
                    [&](std::shared_ptr<Hash>& hash) -> BOOL {
    auto key = FindKey(hPubKey);
    if (!key || !key->pkey) return Fail(NTE_BAD_KEY);
    if (dwFlags != 0 && dwFlags != CRYPT_NOHASHOID) return Fail(NTE_BAD_FLAGS);
    if (pbSignature == nullptr ||
        dwSigLen != static_cast<DWORD>(EVP_PKEY_get_size(key->pkey.get()))) {
      return Fail(NTE_BAD_SIGNATURE);
    }
    std::vector<std::uint8_t> digest;
    if (!HashValue(*hash, digest)) return FALSE;
    hash->finished = true;
    std::vector<std::uint8_t> signature(pbSignature, pbSignature + dwSigLen);
    std::reverse(signature.begin(), signature.end());
    return RsaVerify(key->pkey.get(), dwFlags == CRYPT_NOHASHOID ? nullptr : hash->md, digest,
                     signature.data(), signature.size())
               ? TRUE
               : FALSE;
  });
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey) {
  // A missing key information is the same invalid argument as a missing out-slot.
  const Out<HCRYPTKEY> out{pInfo != nullptr ? phKey : nullptr, static_cast<DWORD>(E_INVALIDARG)};
  return Call<BOOL>(FALSE, Api{"CryptImportPublicKeyInfo"}, out, Find<Provider>{hCryptProv},
                    [&](std::shared_ptr<Provider>& provider) -> BOOL {
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) return Fail(static_cast<DWORD>(E_INVALIDARG));
    auto key = std::make_shared<Key>();
    key->pkey = PublicKeyOfInfo(*pInfo);
    if (!key->pkey) return FALSE;
    key->kind = Key::Kind::kRsaPublic;
    key->alg = CALG_RSA_KEYX;
    key->exportable = true;
    key->provider = std::move(provider);
    *phKey = AddKey(std::move(key));
    return TRUE;
  });
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    return Release<Key>(hKey);
  });
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv) {
  return Call<BOOL>(FALSE, Api{"CryptAcquireCertificatePrivateKey"}, [&]() -> BOOL {
    if (phCryptProv == nullptr || pvParameters != nullptr) {
      return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    *phCryptProv = 0;
    CertContextImpl* cert = FindContext(pCert);
    if (cert == nullptr) return FALSE;
    if (!cert->keyProv) return Fail(CRYPT_E_NO_KEY_PROPERTY);
    const KeyProvRecord record = *cert->keyProv;
    HCRYPTPROV prov = 0;
    if (!AcquireForKeyProv(record, &prov, (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) != 0)) return FALSE;
    auto provider = FindProvider(prov);
    // The container must really hold the key the certificate names (a token's context is only
    // had with its key).
    if (!provider || (!provider->token && !PrivateKeyOf(*provider, record.keySpec, nullptr))) {
      DWORD error = GetLastError();
      Providers().Remove(prov);
      return Fail(error);
    }
    *phCryptProv = prov;
    if (pdwKeySpec != nullptr) *pdwKeySpec = record.keySpec;
    if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = TRUE;
    return TRUE;
  });
}

namespace velmor::crypt {

BOOL KeyMatchesPublicKey(HCRYPTPROV hProv, DWORD dwKeySpec, const CERT_PUBLIC_KEY_INFO* pInfo) {
  return Call<BOOL>(TRUE, [&]() -> BOOL {
    const DWORD error = GetLastError();
    auto provider = FindProvider(hProv);
    if (!provider || pInfo == nullptr || (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE)) {
      return TRUE;
    }
    if (provider->token) {
      // A token's key is loaded with each context: the comparison is made once for it.
      EVP_PKEY* held = TokenPublicKey(*provider->token);
      UniquePtr<EVP_PKEY> named = held != nullptr ? PublicKeyOfInfo(*pInfo) : nullptr;
      SetLastError(error);
      return !named || SamePublicKey(held, named.get()) ? TRUE : FALSE;
    }
    UniquePtr<EVP_PKEY> held = PrivateKeyOf(*provider, dwKeySpec, nullptr);
    if (!held) {
      SetLastError(error);
      return TRUE;
    }
    // PrivateKeyOf has just left the key in the cache, read at the generation this handle sees.
    auto it = KeyCache().find(KeyRef(provider->storage->Identity(), provider->container, dwKeySpec));
    const std::span<const std::uint8_t> bits(pInfo->PublicKey.pbData,
                                             pInfo->PublicKey.pbData != nullptr ? pInfo->PublicKey.cbData : 0);
    if (it != KeyCache().end() && it->second.key.get() == held.get() && !bits.empty() &&
        std::ranges::equal(it->second.comparedWith, bits)) {
      return it->second.comparedSame ? TRUE : FALSE;
    }
    UniquePtr<EVP_PKEY> named = PublicKeyOfInfo(*pInfo);
    SetLastError(error);
    const bool same = !named || SamePublicKey(held.get(), named.get());
    if (named && it != KeyCache().end() && it->second.key.get() == held.get()) {
      it->second.comparedWith.assign(bits.begin(), bits.end());
      it->second.comparedSame = same;
    }
    return same ? TRUE : FALSE;
  });
}

}  // namespace velmor::crypt
