// Keys on smart cards and USB tokens: the PKCS #11 modules of p11-kit's registry, the tokens in
// their slots, the certificates on them that "MY" shows, and the provider contexts that log in
// to a token and let it sign and unwrap with a key that never leaves it.
#include "platform/crypt/pkcs11.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"
#include "platform/crypt/keys.h"
#include "platform/crypt/pinentry.h"
#include "platform/l10n/catalog.h"

namespace velmor::crypt {

namespace detail {

using platform::P11Text;
using platform::UniqueP11Modules;
using platform::UniqueP11Session;

// Every count and length a module reports is checked against these before it is trusted.
constexpr CK_ULONG kMaxSlots = 256;
constexpr std::size_t kMaxObjects = 1024;
constexpr std::size_t kMaxIdLength = 256;
constexpr std::size_t kMaxCertificateLength = 64 * 1024;
constexpr std::size_t kMaxModulusLength = 2048;  // 16,384-bit keys
// How much of the text being signed the PIN dialog shows.
constexpr std::size_t kPreviewCharacters = 160;

struct TokenKey {
  TokenKey() = default;
  TokenKey(const TokenKey&) = delete;
  TokenKey& operator=(const TokenKey&) = delete;
  ~TokenKey();

  CK_FUNCTION_LIST* module = nullptr;
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info{};  // the token as it was found: a probe that differs means another token
  UniqueP11Session session;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  UniquePtr<EVP_PKEY> publicKey;
  bool loggedIn = false;  // this context's login, undone when the last one on the token goes
  // A key that wants the user again before each use (CKA_ALWAYS_AUTHENTICATE): its PIN is kept
  // for that, the only case it outlives the login (a PIN pad asks itself).
  bool alwaysAuthenticate = false;
  SecretBytes pin;
  // Whether the key is known to be its certificate's. One whose public half the token does not
  // show is checked by its first signature instead.
  bool matchesCertificate = false;
  // The text about to be signed with the key (ANSI; PP_SIGNED_TEXT of the context), for the PIN
  // dialog.
  std::string signedText;
};

namespace {
// ContextLogin: the login a key that always wants the user needs after each C_SignInit or
// C_DecryptInit.
CK_RV ContextLogin(TokenKey& key);
}  // namespace

namespace {

CK_SESSION_HANDLE SessionOf(const TokenKey& key) { return key.session.get().session; }

// How long a module's view of its tokens is trusted before it is made to look again (below).
constexpr auto kRescanMs = std::chrono::milliseconds(2000);

// What this process knows of a module beyond its function list.
struct ModuleState {
  // Token keys alive on the module: their sessions and logins would not survive C_Finalize.
  unsigned keys = 0;
  // Its slots are neither removable nor hardware: a store of token files that the module reads
  // at C_Initialize and never again (SoftHSM). Nothing tells it of a token added, or of one
  // removed and put back, until it is initialised anew.
  bool readsOnlyAtStart = false;
  bool initialised = true;  // false after a C_Initialize that failed: tried again at the next look
  std::chrono::steady_clock::time_point lookedAt;
};

}  // namespace

struct Registry {
  bool tried = false;
  UniqueP11Modules modules;
  std::map<CK_FUNCTION_LIST*, ModuleState> states;
  // Modules of p11-kit's registry that hold no keys, by name: never initialised.
  std::vector<std::pair<std::string, std::string>> skipped;  // name, library
};

namespace {

std::vector<CK_SLOT_ID> Slots(CK_FUNCTION_LIST* module, bool withToken);

// HoldsNoKeys: whether p11-kit's registry marks the module as a source of trust policy
// (`trust-policy: yes`, p11-kit's own trust module): certificates of trust anchors and never a
// key. Initialising that one parses the whole system CA bundle, which every process opening
// "MY" would pay for nothing.
bool HoldsNoKeys(CK_FUNCTION_LIST* module) {
  P11Text value(p11_kit_config_option(module, "trust-policy"));
  if (!value) return false;
  const std::string_view v = value.get();
  return v == "yes" || v == "true";
}

// ReadsOnlyAtStart: see ModuleState.
bool ReadsOnlyAtStart(CK_FUNCTION_LIST* module) {
  const std::vector<CK_SLOT_ID> slots = Slots(module, false);
  for (CK_SLOT_ID slot : slots) {
    CK_SLOT_INFO info{};
    if (module->C_GetSlotInfo(slot, &info) != CKR_OK ||
        (info.flags & (CKF_REMOVABLE_DEVICE | CKF_HW_SLOT)) != 0) {
      return false;
    }
  }
  return !slots.empty();
}

Registry& TheRegistry() {
  Registry* registry = &TheRuntime().tokenModules.Get();
  if (!registry->tried) {
    registry->tried = true;
    CK_FUNCTION_LIST** loaded = p11_kit_modules_load(nullptr, 0);
    if (loaded != nullptr) {
      std::size_t kept = 0;
      for (std::size_t i = 0; loaded[i] != nullptr; ++i) {
        if (!HoldsNoKeys(loaded[i])) {
          loaded[kept++] = loaded[i];
          continue;
        }
        P11Text name(p11_kit_module_get_name(loaded[i]));
        P11Text file(p11_kit_module_get_filename(loaded[i]));
        registry->skipped.emplace_back(name ? name.get() : "", file ? file.get() : "");
        p11_kit_module_release(loaded[i]);
      }
      loaded[kept] = nullptr;
      registry->modules.reset(loaded);
      // A module that cannot be initialised is released and taken off the list.
      p11_kit_modules_initialize(loaded, [](void* module) {
        p11_kit_module_release(static_cast<CK_FUNCTION_LIST*>(module));
      });
      const auto now = std::chrono::steady_clock::now();
      for (CK_FUNCTION_LIST** m = loaded; *m != nullptr; ++m) {
        ModuleState& state = registry->states[*m];
        state.readsOnlyAtStart = ReadsOnlyAtStart(*m);
        state.lookedAt = now;
      }
    }
  }
  return *registry;
}

// The key-holding modules, loaded and initialised once per process. A token's presence is asked
// of its module on every use, which sees cards come and go in their readers; a module that
// cannot see that by itself is made to look again by Rescan.
CK_FUNCTION_LIST** Modules() { return TheRegistry().modules.get(); }

void ForgetModule(CK_FUNCTION_LIST* module);

// Rescan: initialises `module` anew (C_Finalize, C_Initialize) when its view of its tokens may
// be stale and no key of ours is open on it: at most every kRescanMs, when it only reads its
// tokens at start, or when a slot it says holds a token cannot say which (a token taken away
// behind its back). Without this a running host never sees a SoftHSM token added, or removed and
// put back.
void Rescan(CK_FUNCTION_LIST* module) {
  auto it = TheRegistry().states.find(module);
  if (it == TheRegistry().states.end()) return;
  ModuleState& state = it->second;
  const auto now = std::chrono::steady_clock::now();
  if (state.keys != 0 || now - state.lookedAt < kRescanMs) return;
  state.lookedAt = now;
  bool stale = state.readsOnlyAtStart || !state.initialised;
  for (CK_SLOT_ID slot : stale ? std::vector<CK_SLOT_ID>{} : Slots(module, true)) {
    CK_TOKEN_INFO info{};
    const CK_RV rv = module->C_GetTokenInfo(slot, &info);
    // A reader that is empty, or holds a card the module does not know, says so every time.
    if (rv != CKR_OK && rv != CKR_TOKEN_NOT_PRESENT && rv != CKR_TOKEN_NOT_RECOGNIZED) {
      stale = true;
      break;
    }
  }
  if (!stale) return;
  ForgetModule(module);
  p11_kit_module_finalize(module);
  // One that fails leaves the module answering CKR_CRYPTOKI_NOT_INITIALIZED until the next try.
  state.initialised = p11_kit_module_initialize(module) == CKR_OK;
}

// KeyOpened / KeyClosed: a token key's hold on its module, which keeps Rescan off it.
void KeyOpened(CK_FUNCTION_LIST* module) { ++TheRegistry().states[module].keys; }
void KeyClosed(CK_FUNCTION_LIST* module) {
  auto it = TheRegistry().states.find(module);
  if (it != TheRegistry().states.end() && it->second.keys > 0) --it->second.keys;
}

}  // namespace

// Logins this process holds, per module and slot: the token is logged out when the last
// context that logged in goes.
struct TokenLogins : std::map<std::pair<CK_FUNCTION_LIST*, CK_SLOT_ID>, unsigned> {};

namespace {

std::map<std::pair<CK_FUNCTION_LIST*, CK_SLOT_ID>, unsigned>& Logins() {
  return TheRuntime().tokenLogins.Get();
}

std::string ModuleName(CK_FUNCTION_LIST* module) {
  P11Text name(p11_kit_module_get_name(module));
  return name ? std::string(name.get()) : std::string();
}

// Padded: a blank-padded PKCS #11 text field without its padding.
template <std::size_t N>
std::string Padded(const CK_UTF8CHAR (&field)[N]) {
  return std::string(reinterpret_cast<const char*>(field), p11_kit_space_strlen(field, N));
}

bool SameToken(const CK_TOKEN_INFO& a, const CK_TOKEN_INFO& b) {
  return std::memcmp(a.label, b.label, sizeof a.label) == 0 &&
         std::memcmp(a.manufacturerID, b.manufacturerID, sizeof a.manufacturerID) == 0 &&
         std::memcmp(a.model, b.model, sizeof a.model) == 0 &&
         std::memcmp(a.serialNumber, b.serialNumber, sizeof a.serialNumber) == 0;
}

// Slots: the module's slots (those with a token when `withToken`). The size is asked first: that
// query is where a module looks for readers plugged in since it was asked last.
std::vector<CK_SLOT_ID> Slots(CK_FUNCTION_LIST* module, bool withToken) {
  const CK_BBOOL present = withToken ? CK_TRUE : CK_FALSE;
  CK_ULONG count = 0;
  if (module->C_GetSlotList(present, nullptr, &count) != CKR_OK) return {};
  std::vector<CK_SLOT_ID> slots(std::clamp<CK_ULONG>(count, 1, kMaxSlots));
  count = slots.size();
  CK_RV rv = module->C_GetSlotList(present, slots.data(), &count);
  if (rv == CKR_BUFFER_TOO_SMALL) {  // a reader plugged in between the two calls
    slots.resize(kMaxSlots);
    count = kMaxSlots;
    rv = module->C_GetSlotList(present, slots.data(), &count);
  }
  if (rv != CKR_OK) return {};
  slots.resize(std::min<CK_ULONG>(count, slots.size()));
  return slots;
}

// ReadAttribute: one attribute's value, or false when it is absent, sensitive, unavailable or
// longer than `max`.
bool ReadAttribute(CK_FUNCTION_LIST* module, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                   CK_ATTRIBUTE_TYPE type, std::size_t max, std::vector<std::uint8_t>& out) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (module->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen > max) {
    return false;
  }
  out.assign(attribute.ulValueLen, 0);
  if (out.empty()) return true;
  attribute.pValue = out.data();
  if (module->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen > out.size()) {
    return false;
  }
  out.resize(attribute.ulValueLen);
  return true;
}

bool ReadFlag(CK_FUNCTION_LIST* module, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
              CK_ATTRIBUTE_TYPE type) {
  std::vector<std::uint8_t> value;
  return ReadAttribute(module, session, object, type, sizeof(CK_BBOOL), value) &&
         value.size() == sizeof(CK_BBOOL) && value[0] != CK_FALSE;
}

std::vector<CK_OBJECT_HANDLE> FindObjects(CK_FUNCTION_LIST* module, CK_SESSION_HANDLE session,
                                          std::vector<CK_ATTRIBUTE> pattern) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (module->C_FindObjectsInit(session, pattern.data(), pattern.size()) != CKR_OK) return found;
  CK_OBJECT_HANDLE batch[32];
  CK_ULONG got = 0;
  while (found.size() < kMaxObjects &&
         module->C_FindObjects(session, batch, std::size(batch), &got) == CKR_OK && got > 0) {
    found.insert(found.end(), batch, batch + std::min<CK_ULONG>(got, std::size(batch)));
  }
  module->C_FindObjectsFinal(session);
  return found;
}

UniqueP11Session OpenSession(CK_FUNCTION_LIST* module, CK_SLOT_ID slot, CK_RV* rv = nullptr) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  const CK_RV opened = module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  if (rv != nullptr) *rv = opened;
  if (opened != CKR_OK) return UniqueP11Session();
  return UniqueP11Session(UniqueP11Session::pointer(module, session));
}

// A certificate object on a token, read without logging in.
struct CertificateObject {
  std::vector<std::uint8_t> id;
  std::vector<std::uint8_t> der;
  TokenKeyPlace key = TokenKeyPlace::kNone;
};

// ReadCertificates: the certificate objects of a token; only those whose key is (or may be) on
// it unless `all` (a token of trust anchors holds hundreds of certificates and no key: "MY" is
// opened for every operation, so those are not even read). `loginRequired`: the token's
// CKF_LOGIN_REQUIRED.
std::vector<CertificateObject> ReadCertificates(CK_FUNCTION_LIST* module,
                                                CK_SESSION_HANDLE session, bool loginRequired,
                                                bool all) {
  // The private key may be hidden until the user logs in; its public half, or the key object
  // itself on tokens that show it, tells that the certificate's key is there.
  std::vector<std::vector<std::uint8_t>> keyIds;
  bool privateKeyShown = false;
  for (CK_OBJECT_CLASS keyClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
    for (CK_OBJECT_HANDLE object :
         FindObjects(module, session, {{CKA_CLASS, &keyClass, sizeof keyClass}})) {
      privateKeyShown = privateKeyShown || keyClass == CKO_PRIVATE_KEY;
      std::vector<std::uint8_t> id;
      if (ReadAttribute(module, session, object, CKA_ID, kMaxIdLength, id) && !id.empty()) {
        keyIds.push_back(std::move(id));
      }
    }
  }
  // Many cards show neither the private key nor a public key object until the PIN is given: on
  // a token that wants a login and shows no private key, a certificate's key may be behind it.
  CK_SESSION_INFO state{};
  const bool loggedIn = module->C_GetSessionInfo(session, &state) == CKR_OK &&
                        (state.state == CKS_RO_USER_FUNCTIONS || state.state == CKS_RW_USER_FUNCTIONS);
  const bool keysMayBeHidden = loginRequired && !loggedIn && !privateKeyShown;
  std::vector<CertificateObject> out;
  if (keyIds.empty() && !keysMayBeHidden && !all) return out;
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  for (CK_OBJECT_HANDLE object :
       FindObjects(module, session,
                   {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                    {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}})) {
    CertificateObject cert;
    ReadAttribute(module, session, object, CKA_ID, kMaxIdLength, cert.id);
    if (cert.id.empty()) {
      cert.key = TokenKeyPlace::kNone;  // no CKA_ID names a key
    } else if (std::find(keyIds.begin(), keyIds.end(), cert.id) != keyIds.end()) {
      cert.key = TokenKeyPlace::kOnToken;
    } else if (keysMayBeHidden) {
      cert.key = TokenKeyPlace::kAfterLogin;
    }
    if (cert.key == TokenKeyPlace::kNone && !all) continue;
    if (!ReadAttribute(module, session, object, CKA_VALUE, kMaxCertificateLength, cert.der) ||
        cert.der.empty()) {
      continue;
    }
    out.push_back(std::move(cert));
  }
  return out;
}

// ContainerFor: the PKCS #11 URI of a key: its module, its token and its CKA_ID.
std::string ContainerFor(CK_FUNCTION_LIST* module, const CK_TOKEN_INFO& info,
                         std::vector<std::uint8_t> id) {
  UniquePtr<P11KitUri> uri(p11_kit_uri_new());
  if (!uri) return {};
  CK_TOKEN_INFO* tokenInfo = p11_kit_uri_get_token_info(uri.get());
  std::memcpy(tokenInfo->label, info.label, sizeof info.label);
  std::memcpy(tokenInfo->manufacturerID, info.manufacturerID, sizeof info.manufacturerID);
  std::memcpy(tokenInfo->model, info.model, sizeof info.model);
  std::memcpy(tokenInfo->serialNumber, info.serialNumber, sizeof info.serialNumber);
  const std::string name = ModuleName(module);
  if (!name.empty()) p11_kit_uri_set_module_name(uri.get(), name.c_str());
  CK_ATTRIBUTE attribute{CKA_ID, id.data(), id.size()};
  if (p11_kit_uri_set_attribute(uri.get(), &attribute) != P11_KIT_URI_OK) return {};
  char* text = nullptr;
  if (p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN, &text) != P11_KIT_URI_OK) {
    return {};
  }
  P11Text owned(text);
  return owned.get();
}

}  // namespace

struct TokenCertificates : std::map<std::vector<std::uint8_t>, std::shared_ptr<const CertData>> {};

namespace {

// ParsedCertificate: the parsed certificate of a token object, remembered by its bytes: "MY" is
// opened for every operation and a token's certificates rarely change.
std::shared_ptr<const CertData> ParsedCertificate(const std::vector<std::uint8_t>& der) {
  std::map<std::vector<std::uint8_t>, std::shared_ptr<const CertData>>* parsed =
      &TheRuntime().tokenCertificates.Get();
  auto it = parsed->find(der);
  if (it != parsed->end()) return it->second;
  auto data = ParseCertificate(der.data(), der.size());
  if (!data) {
    DropExpectedOpenSslErrors();  // a token object that is no certificate is only left out
    return nullptr;
  }
  if (parsed->size() >= 64) parsed->clear();
  parsed->emplace(der, data);
  return data;
}

// Present: whether the token a key was found on is still in its slot.
bool Present(const TokenKey& key) {
  CK_TOKEN_INFO now{};
  return key.module->C_GetTokenInfo(key.slot, &now) == CKR_OK && SameToken(now, key.info);
}

// TokenFail: a PKCS #11 failure through the mapper; a token gone from its slot is reported as
// pulled out, whatever its module said.
bool TokenFail(const TokenKey& key, const char* call, CK_RV rv, DWORD fallback) {
  if (!Present(key)) rv = CKR_DEVICE_REMOVED;
  MapPlatformFailure(Platform::kPkcs11, call, static_cast<int>(rv), fallback);
  return false;
}

// PublicKeyFromAttributes: the public key from a key object's modulus and exponent (owner: the
// caller); null when the object does not show them.
UniquePtr<EVP_PKEY> PublicKeyFromAttributes(const TokenKey& key, CK_OBJECT_HANDLE object) {
  std::vector<std::uint8_t> n, e;
  if (Injected("C_GetAttributeValue", "CKA_MODULUS") ||
      !ReadAttribute(key.module, SessionOf(key), object, CKA_MODULUS, kMaxModulusLength, n) ||
      !ReadAttribute(key.module, SessionOf(key), object, CKA_PUBLIC_EXPONENT, 16, e) ||
      n.empty() || e.empty()) {
    return nullptr;
  }
  UniquePtr<BIGNUM> modulus(VELMOR_CALL(BN_bin2bn, n.data(), static_cast<int>(n.size()), nullptr));
  UniquePtr<BIGNUM> exponent(VELMOR_CALL(BN_bin2bn, e.data(), static_cast<int>(e.size()), nullptr));
  if (!modulus || !exponent) {
    FailOpenSsl(NTE_NO_MEMORY);
    return nullptr;
  }
  UniquePtr<OSSL_PARAM_BLD> build(VELMOR_CALL(OSSL_PARAM_BLD_new));
  if (!build ||
      VELMOR_CALL(OSSL_PARAM_BLD_push_BN, build.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
      VELMOR_CALL(OSSL_PARAM_BLD_push_BN, build.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) !=
          1) {
    FailOpenSsl(NTE_NO_MEMORY);
    return nullptr;
  }
  UniquePtr<OSSL_PARAM> params(VELMOR_CALL(OSSL_PARAM_BLD_to_param, build.get()));
  if (!params) {
    FailOpenSsl(NTE_BAD_KEY);
    return nullptr;
  }
  UniquePtr<EVP_PKEY_CTX> ctx(VELMOR_CALL(EVP_PKEY_CTX_new_from_name, LibCtx(), "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || VELMOR_CALL(EVP_PKEY_fromdata_init, ctx.get()) != 1 ||
      VELMOR_CALL(EVP_PKEY_fromdata, ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    FailOpenSsl(NTE_BAD_KEY);
    return nullptr;
  }
  return UniquePtr<EVP_PKEY>(raw);
}

// SignedTextPreview: the start of the text being signed, as the dialog shows it (UTF-8, control
// characters as blanks); empty when none is being signed.
std::string SignedTextPreview(const std::string& signedText) {
  if (signedText.empty()) return {};
  const std::size_t length = signedText.size();
  // Two bytes a character at most in the ANSI code pages; a few more keep the cut clear of a
  // character's second byte.
  const int take = static_cast<int>(std::min(length, 2 * kPreviewCharacters + 2));
  std::u16string wide(static_cast<std::size_t>(take), u'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, signedText.c_str(), take, wide.data(), take);
  if (n <= 0) return {};
  wide.resize(std::min(static_cast<std::size_t>(n), kPreviewCharacters));
  if (!wide.empty() && wide.back() >= 0xD800 && wide.back() <= 0xDBFF) wide.pop_back();  // cut pair
  for (char16_t& c : wide) {
    if (c < 0x20 && c != u'\n') c = u' ';
  }
  auto text = Utf16ToUtf8(wide);
  if (!text) return {};
  if (static_cast<std::size_t>(n) > wide.size() || length > static_cast<std::size_t>(take)) {
    *text += "...";
  }
  return *text;
}

PinDialog DialogFor(const TokenKey& key, const std::string& subject) {
  const CK_TOKEN_INFO& info = key.info;
  PinDialog dialog;
  // The texts in the user's language; the token's label and the subject stay as they are.
  dialog.title = l10n::Tr("Token PIN");
  dialog.description = l10n::Format(l10n::Tr("Enter the PIN of the token \"{0}\" to use the key of\n{1}"),
                                    {Padded(info.label), subject.empty() ? l10n::Tr("(no certificate)") : subject});
  if (std::string preview = SignedTextPreview(key.signedText); !preview.empty()) {
    dialog.description += l10n::Format(l10n::Tr("\n\nYou are signing:\n{0}"), {preview});
  }
  dialog.prompt = l10n::Tr("PIN:");
  return dialog;
}

// LogIn: logs the user in to the token of `key` unless the session already is, asking for the
// PIN unless the token has a PIN pad. The typed PIN is left in `pin` for the caller to keep or
// let go.
bool LogIn(TokenKey& key, bool silent, const std::string& subject, SecretBytes& pin) {
  CK_SESSION_INFO state{};
  if (key.module->C_GetSessionInfo(SessionOf(key), &state) == CKR_OK &&
      (state.state == CKS_RO_USER_FUNCTIONS || state.state == CKS_RW_USER_FUNCTIONS)) {
    // Logged in already: by another of our contexts, whose login this one now shares (the
    // token is logged out when the last of them goes), or by someone else, whose it stays.
    auto it = Logins().find({key.module, key.slot});
    if (it != Logins().end() && it->second > 0) {
      ++it->second;
      key.loggedIn = true;
    }
    return true;
  }
  if ((key.info.flags & CKF_LOGIN_REQUIRED) == 0) return true;
  if ((key.info.flags & CKF_USER_PIN_LOCKED) != 0) return Fail(SCARD_W_CHV_BLOCKED);
  CK_RV rv = CKR_OK;
  if ((key.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
    rv = key.module->C_Login(SessionOf(key), CKU_USER, nullptr, 0);
  } else {
    if (silent) return Fail(NTE_SILENT_CONTEXT);
    switch (AskPin(DialogFor(key, subject), pin)) {
      case PinAnswer::kPin:
        break;
      case PinAnswer::kCancelled:
        return Fail(SCARD_W_CANCELLED_BY_USER);
      case PinAnswer::kFailed:
        return false;
    }
    rv = key.module->C_Login(SessionOf(key), CKU_USER, pin.data(), pin.size());
  }
  if (rv == CKR_USER_ALREADY_LOGGED_IN) return true;
  if (rv != CKR_OK) return TokenFail(key, "C_Login", rv, NTE_FAIL);
  key.loggedIn = true;
  ++Logins()[{key.module, key.slot}];
  return true;
}

// FindToken: the module and slot of the present token that `uri` names.
bool FindToken(P11KitUri* uri, TokenKey& key) {
  CK_FUNCTION_LIST** modules = Modules();
  const char* moduleName = p11_kit_uri_get_module_name(uri);
  for (CK_FUNCTION_LIST** m = modules; m != nullptr && *m != nullptr; ++m) {
    if (moduleName != nullptr && ModuleName(*m) != moduleName) continue;
    Rescan(*m);
    for (CK_SLOT_ID slot : Slots(*m, true)) {
      CK_TOKEN_INFO info{};
      if ((*m)->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
      if (p11_kit_uri_match_token_info(uri, &info) == 1) {
        KeyOpened(*m);
        key.module = *m;
        key.slot = slot;
        key.info = info;
        return true;
      }
    }
  }
  return Fail(SCARD_W_REMOVED_CARD);
}

CK_RV ContextLogin(TokenKey& key) {
  const bool pinPad = (key.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  return key.module->C_Login(SessionOf(key), CKU_CONTEXT_SPECIFIC,
                             pinPad ? nullptr : key.pin.data(), pinPad ? 0 : key.pin.size());
}

}  // namespace

TokenKey::~TokenKey() {
  if (module == nullptr) return;
  if (loggedIn) {
    auto it = Logins().find({module, slot});
    if (it != Logins().end() && --it->second == 0) {
      Logins().erase(it);
      module->C_Logout(SessionOf(*this));
    }
  }
  KeyClosed(module);
}

bool IsTokenProvider(std::string_view name) { return name == TOKEN_PROV_A; }

bool AcquireTokenKey(const std::string& container, bool silent, const std::string& signedText,
                     std::shared_ptr<TokenKey>& out) {
  UniquePtr<P11KitUri> uri(p11_kit_uri_new());
  if (!uri) return Fail(NTE_NO_MEMORY);
  if (p11_kit_uri_parse(container.c_str(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE,
                        uri.get()) != P11_KIT_URI_OK) {
    return Fail(NTE_BAD_KEYSET);
  }
  const CK_ATTRIBUTE* idAttribute = p11_kit_uri_get_attribute(uri.get(), CKA_ID);
  const CK_TOKEN_INFO* wanted = p11_kit_uri_get_token_info(uri.get());
  // A container names one key on one token: without both it could name any.
  if (idAttribute == nullptr || idAttribute->pValue == nullptr || idAttribute->ulValueLen == 0 ||
      idAttribute->ulValueLen > kMaxIdLength ||
      (p11_kit_space_strlen(wanted->serialNumber, sizeof wanted->serialNumber) == 0 &&
       p11_kit_space_strlen(wanted->label, sizeof wanted->label) == 0)) {
    return Fail(NTE_BAD_KEYSET);
  }
  const auto* idBytes = static_cast<const std::uint8_t*>(idAttribute->pValue);
  std::vector<std::uint8_t> id(idBytes, idBytes + idAttribute->ulValueLen);

  auto key = std::make_shared<TokenKey>();
  key->signedText = signedText;
  if (!FindToken(uri.get(), *key)) return false;
  CK_RV rv = CKR_OK;
  key->session = OpenSession(key->module, key->slot, &rv);
  if (!key->session) return TokenFail(*key, "C_OpenSession", rv, NTE_FAIL);

  // The certificate beside the key names it in the dialog and gives its public half.
  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  std::string subject;
  for (CK_OBJECT_HANDLE object :
       FindObjects(key->module, SessionOf(*key),
                   {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                    {CKA_ID, id.data(), id.size()}})) {
    std::vector<std::uint8_t> der;
    if (!ReadAttribute(key->module, SessionOf(*key), object, CKA_VALUE, kMaxCertificateLength,
                       der)) {
      continue;
    }
    auto data = ParsedCertificate(der);
    X509* x = data ? X509Of(*data) : nullptr;
    if (x == nullptr) continue;
    key->publicKey = UpRef(X509_get0_pubkey(x));
    auto name = NameToText(data->info.Subject.pbData, data->info.Subject.cbData);
    if (name) subject = *name;
    break;
  }
  DropExpectedOpenSslErrors();

  SecretBytes pin;
  if (!LogIn(*key, silent, subject, pin)) return false;

  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  const auto keys = FindObjects(key->module, SessionOf(*key),
                                {{CKA_CLASS, &privateClass, sizeof privateClass},
                                 {CKA_ID, id.data(), id.size()}});
  if (keys.empty()) {
    if (!Present(*key)) return Fail(SCARD_W_REMOVED_CARD);
    // Logged in and still no key: the certificate was offered for a key the token hides until
    // then, and there is none.
    return Fail(NTE_NO_KEY);
  }
  key->key = keys.front();
  // The key's own public half, from the private key's modulus and exponent, else from the
  // public key object beside it. A key that is not the certificate's would sign what nothing
  // verifies (and unwrap nothing sealed for the certificate).
  UniquePtr<EVP_PKEY> own = PublicKeyFromAttributes(*key, key->key);
  if (!own) {
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    for (CK_OBJECT_HANDLE object : FindObjects(key->module, SessionOf(*key),
                                               {{CKA_CLASS, &publicClass, sizeof publicClass},
                                                {CKA_ID, id.data(), id.size()}})) {
      if ((own = PublicKeyFromAttributes(*key, object))) break;
    }
  }
  DropExpectedOpenSslErrors();
  if (key->publicKey && own && EVP_PKEY_eq(key->publicKey.get(), own.get()) != 1) {
    DropExpectedOpenSslErrors();
    return Fail(NTE_BAD_KEY);
  }
  // Without a certificate there is nothing the key could fail to match.
  key->matchesCertificate = own != nullptr || !key->publicKey;
  if (!key->publicKey) key->publicKey = std::move(own);
  if (!key->publicKey) return TokenFail(*key, "C_GetAttributeValue", CKR_KEY_HANDLE_INVALID, NTE_BAD_KEY);
  if (ReadFlag(key->module, SessionOf(*key), key->key, CKA_ALWAYS_AUTHENTICATE)) {
    if ((key->info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0 && pin.empty()) {
      // Logged in by another context: this key still wants the PIN for each use.
      if (silent) return Fail(NTE_SILENT_CONTEXT);
      switch (AskPin(DialogFor(*key, subject), pin)) {
        case PinAnswer::kPin: break;
        case PinAnswer::kCancelled: return Fail(SCARD_W_CANCELLED_BY_USER);
        case PinAnswer::kFailed: return false;
      }
    }
    key->alwaysAuthenticate = true;
    key->pin = std::move(pin);
  }
  out = std::move(key);
  return true;
}

EVP_PKEY* TokenPublicKey(const TokenKey& key) { return key.publicKey.get(); }

bool TokenSignDigest(TokenKey& key, const EVP_MD* md, const std::vector<std::uint8_t>& digest,
                     std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> input = digest;
  if (md != nullptr) {
    // PKCS #1 v1.5 signs the digest in its DigestInfo; the token pads and signs what it is given.
    UniquePtr<X509_SIG> info(VELMOR_CALL(X509_SIG_new));
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* value = nullptr;
    if (info) X509_SIG_getm(info.get(), &algorithm, &value);
    if (!info ||
        VELMOR_CALL(X509_ALGOR_set0, algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL,
                    nullptr) != 1 ||
        VELMOR_CALL(ASN1_OCTET_STRING_set, value, digest.data(), static_cast<int>(digest.size())) !=
            1) {
      return FailOpenSsl(NTE_NO_MEMORY);
    }
    unsigned char* der = nullptr;
    const int n = VELMOR_CALL(i2d_X509_SIG, info.get(), &der);
    OpenSslBytes owned(der);
    if (n <= 0) return FailOpenSsl(NTE_BAD_HASH);
    input.assign(der, der + n);
  }
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = key.module->C_SignInit(SessionOf(key), &mechanism, key.key);
  if (rv != CKR_OK) return TokenFail(key, "C_SignInit", rv, NTE_BAD_KEY);
  if (key.alwaysAuthenticate && (rv = ContextLogin(key)) != CKR_OK) {
    return TokenFail(key, "C_Login", rv, NTE_FAIL);
  }
  const auto size = static_cast<std::size_t>(EVP_PKEY_get_size(key.publicKey.get()));
  std::vector<std::uint8_t> signature(size);
  CK_ULONG length = size;
  rv = key.module->C_Sign(SessionOf(key), input.data(), input.size(), signature.data(), &length);
  if (rv != CKR_OK) return TokenFail(key, "C_Sign", rv, NTE_BAD_KEY);
  if (length == 0 || length > size) return Fail(NTE_BAD_SIGNATURE);
  // A signature is as long as the modulus: a shorter answer lost its leading zero bytes.
  signature.resize(length);
  signature.insert(signature.begin(), size - length, 0);
  if (!key.matchesCertificate) {
    if (!RsaVerify(key.publicKey.get(), nullptr, input, signature.data(), signature.size())) {
      DropExpectedOpenSslErrors();
      return Fail(NTE_BAD_KEY);
    }
    key.matchesCertificate = true;
  }
  out = std::move(signature);
  return true;
}

bool TokenUnwrap(TokenKey& key, const std::vector<std::uint8_t>& wrapped, SecretBytes& out) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = key.module->C_DecryptInit(SessionOf(key), &mechanism, key.key);
  if (rv != CKR_OK) return TokenFail(key, "C_DecryptInit", rv, NTE_BAD_KEY);
  if (key.alwaysAuthenticate && (rv = ContextLogin(key)) != CKR_OK) {
    return TokenFail(key, "C_Login", rv, NTE_FAIL);
  }
  const auto size = static_cast<std::size_t>(EVP_PKEY_get_size(key.publicKey.get()));
  SecretBytes plain(size);
  CK_ULONG length = size;
  std::vector<std::uint8_t> input = wrapped;
  rv = key.module->C_Decrypt(SessionOf(key), input.data(), input.size(), plain.data(), &length);
  if (rv != CKR_OK) return TokenFail(key, "C_Decrypt", rv, NTE_BAD_DATA);
  if (length > size) return Fail(NTE_BAD_DATA);
  plain.resize(length);
  out = std::move(plain);
  return true;
}

namespace {

// A token's certificates as last read, with the token they were read from. Reading a token's
// objects costs a session and a search (most of a millisecond on some modules), and "MY" is
// opened for every operation: while the same token stays in its slot, what was read is used
// for kTokenListingMs. Whether it is still there is asked every time.
constexpr auto kTokenListingMs = std::chrono::milliseconds(2000);
struct TokenListing {
  CK_TOKEN_INFO info{};
  std::chrono::steady_clock::time_point readAt;
  std::vector<TokenStoreCertificate> certificates;
};

std::vector<TokenStoreCertificate> ReadStoreCertificates(CK_FUNCTION_LIST* module, CK_SLOT_ID slot,
                                                         const CK_TOKEN_INFO& info) {
  std::vector<TokenStoreCertificate> out;
  UniqueP11Session session = OpenSession(module, slot);
  if (!session) return out;
  const auto provider = Utf8ToUtf16(TOKEN_PROV_A);
  const bool loginRequired = (info.flags & CKF_LOGIN_REQUIRED) != 0;
  for (CertificateObject& cert :
       ReadCertificates(module, session.get().session, loginRequired, false)) {
    auto data = ParsedCertificate(cert.der);
    const auto container = Utf8ToUtf16(ContainerFor(module, info, cert.id));
    if (!data || !container || container->empty()) continue;
    TokenStoreCertificate entry;
    entry.data = std::move(data);
    entry.keyProv.container = *container;
    entry.keyProv.provider = provider ? *provider : std::u16string();
    entry.keyProv.provType = PROV_RSA_FULL;
    entry.keyProv.keySpec = AT_KEYEXCHANGE;
    out.push_back(std::move(entry));
  }
  return out;
}

}  // namespace

struct TokenListings : std::map<std::pair<CK_FUNCTION_LIST*, CK_SLOT_ID>, TokenListing> {};

namespace {

std::map<std::pair<CK_FUNCTION_LIST*, CK_SLOT_ID>, TokenListing>& Listings() {
  return TheRuntime().tokenListings.Get();
}

// ForgetModule: what was read of a module's tokens, before it reads them anew.
void ForgetModule(CK_FUNCTION_LIST* module) {
  std::erase_if(Listings(), [&](const auto& entry) { return entry.first.first == module; });
  std::erase_if(Logins(), [&](const auto& entry) { return entry.first.first == module; });
}

}  // namespace

std::vector<TokenStoreCertificate> TokenStoreCertificates() {
  auto* listings = &Listings();
  std::vector<TokenStoreCertificate> out;
  const auto now = std::chrono::steady_clock::now();
  std::map<std::pair<CK_FUNCTION_LIST*, CK_SLOT_ID>, TokenListing> seen;
  CK_FUNCTION_LIST** modules = Modules();
  for (CK_FUNCTION_LIST** m = modules; m != nullptr && *m != nullptr; ++m) {
    Rescan(*m);
    for (CK_SLOT_ID slot : Slots(*m, true)) {
      CK_TOKEN_INFO info{};
      if ((*m)->C_GetTokenInfo(slot, &info) != CKR_OK ||
          (info.flags & CKF_TOKEN_INITIALIZED) == 0) {
        continue;
      }
      TokenListing listing;
      auto it = listings->find({*m, slot});
      if (it != listings->end() && SameToken(it->second.info, info) &&
          now - it->second.readAt < kTokenListingMs) {
        listing = std::move(it->second);
      } else {
        listing.info = info;
        listing.readAt = now;
        listing.certificates = ReadStoreCertificates(*m, slot, info);
      }
      out.insert(out.end(), listing.certificates.begin(), listing.certificates.end());
      seen.emplace(std::make_pair(*m, slot), std::move(listing));
    }
  }
  // Tokens no longer present are forgotten.
  *listings = std::move(seen);
  return out;
}

DWORD Pkcs11Error(unsigned long rv, DWORD fallback) {
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
      return SCARD_W_WRONG_CHV;
    case CKR_PIN_LOCKED:
      return SCARD_W_CHV_BLOCKED;
    case CKR_FUNCTION_CANCELED:
      return SCARD_W_CANCELLED_BY_USER;
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
      return SCARD_W_REMOVED_CARD;
    case CKR_HOST_MEMORY:
    case CKR_DEVICE_MEMORY:
      return NTE_NO_MEMORY;
    case CKR_USER_PIN_NOT_INITIALIZED:
      return NTE_BAD_KEYSET;
    case CKR_KEY_HANDLE_INVALID:
    case CKR_OBJECT_HANDLE_INVALID:
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
      return NTE_BAD_KEY;
    case CKR_DATA_LEN_RANGE:
    case CKR_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
      return NTE_BAD_DATA;
    case CKR_MECHANISM_INVALID:
      return NTE_BAD_ALGID;
    default:
      return fallback;
  }
}

const char* Pkcs11ErrorName(unsigned long rv) {
  const char* text = p11_kit_strerror(rv);
  return text != nullptr ? text : "PKCS #11 failure";
}

}  // namespace detail

using namespace detail;

std::string PinDialogProgram() { return PinentryPath(); }

bool ListTokens(std::vector<TokenModuleEntry>& out) {
  return Call<bool>(false, [&]() -> bool {
    out.clear();
    CK_FUNCTION_LIST** modules = Modules();
    if (modules == nullptr) return Fail(NTE_PROV_TYPE_NOT_DEF);
    for (const auto& [name, library] : TheRegistry().skipped) {
      TokenModuleEntry module;
      module.name = name;
      module.library = library;
      module.holdsKeys = false;
      out.push_back(std::move(module));
    }
    for (CK_FUNCTION_LIST** m = modules; *m != nullptr; ++m) {
      Rescan(*m);
      TokenModuleEntry module;
      module.name = ModuleName(*m);
      P11Text file(p11_kit_module_get_filename(*m));
      if (file) module.library = file.get();
      CK_INFO info{};
      if ((*m)->C_GetInfo(&info) == CKR_OK) {
        module.description = Padded(info.libraryDescription);
        module.manufacturer = Padded(info.manufacturerID);
      }
      for (CK_SLOT_ID id : Slots(*m, false)) {
        SlotEntry slot;
        slot.id = id;
        CK_SLOT_INFO slotInfo{};
        if ((*m)->C_GetSlotInfo(id, &slotInfo) == CKR_OK) {
          slot.description = Padded(slotInfo.slotDescription);
          slot.manufacturer = Padded(slotInfo.manufacturerID);
          slot.removable = (slotInfo.flags & CKF_REMOVABLE_DEVICE) != 0;
          slot.hardware = (slotInfo.flags & CKF_HW_SLOT) != 0;
          slot.tokenPresent = (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
        }
        CK_TOKEN_INFO tokenInfo{};
        const CK_RV rv = slot.tokenPresent ? (*m)->C_GetTokenInfo(id, &tokenInfo) : CKR_OK;
        if (slot.tokenPresent && rv != CKR_OK) slot.tokenError = Pkcs11Error(rv, NTE_FAIL);
        if (slot.tokenPresent && rv == CKR_OK && (tokenInfo.flags & CKF_TOKEN_INITIALIZED) != 0) {
          TokenEntry token;
          token.label = Padded(tokenInfo.label);
          token.manufacturer = Padded(tokenInfo.manufacturerID);
          token.model = Padded(tokenInfo.model);
          token.serial = Padded(tokenInfo.serialNumber);
          token.loginRequired = (tokenInfo.flags & CKF_LOGIN_REQUIRED) != 0;
          token.protectedAuthenticationPath =
              (tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
          token.pinLocked = (tokenInfo.flags & CKF_USER_PIN_LOCKED) != 0;
          token.pinFinalTry = (tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) != 0;
          token.pinCountLow = (tokenInfo.flags & CKF_USER_PIN_COUNT_LOW) != 0;
          if (UniqueP11Session session = OpenSession(*m, id)) {
            for (CertificateObject& object :
                 ReadCertificates(*m, session.get().session, token.loginRequired, true)) {
              auto data = ParsedCertificate(object.der);
              if (!data) continue;
              TokenCertificateEntry cert;
              cert.serialHex = SerialHex(data->info);
              if (auto name = NameToText(data->info.Subject.pbData, data->info.Subject.cbData)) {
                cert.subject = *name;
              }
              cert.key = object.key;
              if (object.key != TokenKeyPlace::kNone) {
                cert.container = ContainerFor(*m, tokenInfo, object.id);
              }
              token.certificates.push_back(std::move(cert));
            }
            DropExpectedOpenSslErrors();
          }
          slot.token = std::move(token);
        }
        module.slots.push_back(std::move(slot));
      }
      out.push_back(std::move(module));
    }
    return true;
  });
}

}  // namespace velmor::crypt
