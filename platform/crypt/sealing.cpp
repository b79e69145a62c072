// The master key that seals private keys at rest, from the desktop's Secret Service (libsecret)
// or from an owner-only file beside the database, and the authenticated cipher around the keys.
#include "platform/crypt/sealing.h"
#include "platform/crypt/runtime.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/base/hex.h"

namespace velmor::crypt::detail {

namespace {

constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
// How long the question "is a Secret Service on the bus?" may take before the answer is no.
constexpr int kBusAnswerMs = 500;

// The Secret Service item: one per user, found by these attributes.
const SecretSchema* MasterKeySchema() {
  static const SecretSchema schema = {
      "org.velmor.MasterKey",
      SECRET_SCHEMA_NONE,
      {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
       {"purpose", SECRET_SCHEMA_ATTRIBUTE_STRING},
       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &schema;
}
constexpr const char* kApplication = "velmor";
constexpr const char* kPurpose = "private-key-master-key";

// The master key travels through libsecret as 64 hexadecimal digits (its passwords are text).
void ToHex(const SecretBytes& key, SecretBytes& text) {
  text = SecretBytes(key.size() * 2 + 1);
  platform::HexEncodeInto(key.data(), key.size(), reinterpret_cast<char*>(text.data()),
                          platform::HexCase::kLower, platform::HexOrder::kForward);
  text.data()[key.size() * 2] = 0;
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool FromHex(const char* text, SecretBytes& key) {
  if (text == nullptr || std::strlen(text) != 2 * kMasterKeyBytes) return Fail(NTE_BAD_KEYSET);
  key = SecretBytes(kMasterKeyBytes);
  for (std::size_t i = 0; i < kMasterKeyBytes; ++i) {
    const int hi = Nibble(text[2 * i]), lo = Nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return Fail(NTE_BAD_KEYSET);
    key.data()[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

// SessionBusKnown: whether this process has a session bus to ask. Without one, nothing is
// asked at all: GLib would try to start a bus, which may take long or start programs.
bool SessionBusKnown() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && address[0] != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  return runtime != nullptr && stat((std::string(runtime) + "/bus").c_str(), &st) == 0 &&
         S_ISSOCK(st.st_mode);
}

bool LookUpKeyring(SecretBytes& key, bool& found) {
  found = false;
  if (!SessionBusKnown()) return Fail(NTE_BAD_KEYSET);
  GError* rawError = nullptr;
  platform::SecretPassword text(secret_password_lookup_sync(
      MasterKeySchema(), nullptr, &rawError, "application", kApplication, "purpose", kPurpose,
      nullptr));
  UniquePtr<GError> error(rawError);
  if (error) return Fail(NTE_BAD_KEYSET);
  if (!text) return true;
  found = true;
  return FromHex(text.get(), key);
}

bool KeyringKey(SecretBytes& key, bool create) {
  bool found = false;
  if (!LookUpKeyring(key, found)) return false;
  if (found) return true;
  if (!create) return Fail(NTE_BAD_KEYSET);
  SecretBytes fresh(kMasterKeyBytes);
  if (VELMOR_CALL(RAND_bytes_ex, LibCtx(), fresh.data(), fresh.size(), 0) != 1) {
    return FailOpenSsl(NTE_BAD_KEYSET);
  }
  SecretBytes text;
  ToHex(fresh, text);
  GError* rawError = nullptr;
  const gboolean stored = secret_password_store_sync(
      MasterKeySchema(), SECRET_COLLECTION_DEFAULT, MasterKeyLabel(),
      reinterpret_cast<const char*>(text.data()), nullptr, &rawError, "application", kApplication,
      "purpose", kPurpose, nullptr);
  UniquePtr<GError> error(rawError);
  if (!stored || error) return Fail(NTE_BAD_KEYSET);
  // Read back what the service holds: a process that stored its own meanwhile wins alike here.
  return LookUpKeyring(key, found) && (found || Fail(NTE_BAD_KEYSET));
}

// The flags of every open of a file read by name here: never through a link, never waiting on a
// FIFO or device with nobody at the other end, never left open in a child.
constexpr int kOpenByName = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

bool ReadKeyFile(int fd, SecretBytes& key) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      st.st_size != static_cast<off_t>(kMasterKeyBytes)) {
    return Fail(NTE_BAD_KEYSET);
  }
  if ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) return Fail(NTE_BAD_KEYSET);
  key = SecretBytes(kMasterKeyBytes);
  std::size_t got = 0;
  while (got < kMasterKeyBytes) {
    const ssize_t n = read(fd, key.data() + got, kMasterKeyBytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(NTE_BAD_KEYSET);
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// SameFile: whether `path` names the file open as `fd` (and not a file put there since).
bool SameFile(int fd, const std::string& path) {
  struct stat open {}, named {};
  return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// CreateKeyFile: a new file of 32 random bytes, made whole under another name (O_EXCL, 0600)
// and then given its name only if no other process gave it one first. The temporary is locked
// while it lives, so that RemoveAbandonedKeyFiles takes only those of processes that are gone;
// one it took before the lock was had is made again.
bool CreateKeyFile(const std::string& path, SecretBytes& key) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string temporary = path + ".XXXXXX";
    platform::UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return Fail(NTE_BAD_KEYSET);
    const int raw = fd.get();
    if (flock(raw, LOCK_EX) != 0) {
      unlink(temporary.c_str());
      return Fail(NTE_BAD_KEYSET);
    }
    if (!SameFile(raw, temporary)) continue;  // taken for abandoned in the meantime
    SecretBytes fresh(kMasterKeyBytes);
    const bool ok = fchmod(raw, 0600) == 0 &&
                    VELMOR_CALL(RAND_bytes_ex, LibCtx(), fresh.data(), fresh.size(), 0) == 1 &&
                    write(raw, fresh.data(), fresh.size()) == static_cast<ssize_t>(fresh.size()) &&
                    fsync(raw) == 0;
    if (ok &&
        renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      key = std::move(fresh);
      return true;
    }
    const int why = errno;
    unlink(temporary.c_str());
    if (ok && why == EEXIST) {  // another process made it first
      fd.reset();
      const int existing = open(path.c_str(), O_RDONLY | kOpenByName);
      if (existing < 0) return Fail(NTE_BAD_KEYSET);
      const bool read = ReadKeyFile(existing, key);
      close(existing);
      return read;
    }
    return Fail(NTE_BAD_KEYSET);
  }
  return Fail(NTE_BAD_KEYSET);
}

// FileKey: the master key in the file at `path`. With `create`, a missing or empty file is
// made anew (an empty one is what a full disk or a crash at the wrong moment leaves).
bool FileKey(const std::string& path, bool create, SecretBytes& key) {
  platform::UniqueFd fd(open(path.c_str(), O_RDONLY | kOpenByName));
  if (!fd) return errno == ENOENT && create ? CreateKeyFile(path, key) : Fail(NTE_BAD_KEYSET);
  struct stat st {};
  if (create && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
      st.st_uid == geteuid()) {
    if (!SameFile(fd.get(), path) || unlink(path.c_str()) != 0) return Fail(NTE_BAD_KEYSET);
    if (!CreateKeyFile(path, key)) return false;
    std::fprintf(stderr,
                 "velmor: the master key file %s was empty and no private key was sealed under "
                 "it; a new master key was made there.\n",
                 path.c_str());
    return true;
  }
  return ReadKeyFile(fd.get(), key);
}

}  // namespace

const char* KeySourceName(KeySource source) {
  return source == KeySource::kKeyring ? "keyring" : "file";
}

std::optional<KeySource> KeySourceNamed(std::string_view name) {
  if (name == "keyring") return KeySource::kKeyring;
  if (name == "file") return KeySource::kFile;
  return std::nullopt;
}

KeyStorage ChosenKeyStorage() {
  const int chosen = TheRuntime().keyStorage.load();
  if (chosen >= 0) return static_cast<KeyStorage>(chosen);
  const char* env = std::getenv("VELMOR_KEY_STORAGE");
  if (env != nullptr && std::strcmp(env, "keyring") == 0) return KeyStorage::kKeyring;
  if (env != nullptr && std::strcmp(env, "file") == 0) return KeyStorage::kFile;
  return KeyStorage::kAuto;
}

bool SecretServiceAnswers() {
  if (!SessionBusKnown()) return false;
  GError* rawError = nullptr;
  UniquePtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  UniquePtr<GError> error(rawError);
  if (!bus) return false;
  auto ask = [&](const char* method, GVariant* args, const GVariantType* type) {
    GError* raw = nullptr;
    UniquePtr<GVariant> reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        args, type, G_DBUS_CALL_FLAGS_NO_AUTO_START, kBusAnswerMs, nullptr, &raw));
    UniquePtr<GError> failed(raw);
    return reply;
  };
  if (auto owned = ask("NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"),
                       G_VARIANT_TYPE("(b)"))) {
    gboolean has = FALSE;
    g_variant_get(owned.get(), "(b)", &has);
    if (has) return true;
  }
  auto names = ask("ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"));
  if (!names) return false;
  UniquePtr<GVariant> list(g_variant_get_child_value(names.get(), 0));
  const gchar* name = nullptr;
  GVariantIter iter;
  g_variant_iter_init(&iter, list.get());
  while (g_variant_iter_next(&iter, "&s", &name)) {
    if (std::strcmp(name, "org.freedesktop.secrets") == 0) return true;
  }
  return false;
}

std::string MasterKeyFile(const std::string& folder) { return folder + "/master.key"; }

const char* MasterKeyLabel() { return "velmor: master key of the private keys in its key containers"; }

bool OpenMasterKey(KeySource source, const std::string& folder, bool create, SecretBytes& key) {
  if (source == KeySource::kKeyring) return KeyringKey(key, create);
  return FileKey(MasterKeyFile(folder), create, key);
}

void RemoveAbandonedKeyFiles(const std::string& folder) {
  const std::string prefix = "master.key.";
  std::error_code error;
  std::vector<std::string> temporaries;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      temporaries.push_back(entry.path().string());
    }
  }
  for (const std::string& path : temporaries) {
    platform::UniqueFd fd(open(path.c_str(), O_RDONLY | kOpenByName));
    struct stat st {};
    // A temporary whose maker lives is locked; one nobody locks was left by a process killed
    // before it gave the file its name, and holds a master key no database uses.
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !SameFile(fd.get(), path)) {
      continue;
    }
    unlink(path.c_str());
  }
}

std::string KeyBinding(std::int64_t database, std::string_view container, DWORD spec) {
  return "velmor sealed key 1\n" + std::to_string(database) + "\n" + std::to_string(spec) + "\n" +
         std::string(container);
}

std::string CheckBinding(std::int64_t database) {
  return "velmor master key check 1\n" + std::to_string(database);
}

bool Seal(const SecretBytes& key, std::string_view binding, const std::uint8_t* plain,
          std::size_t len, std::vector<std::uint8_t>& out) {
  if (key.size() != kMasterKeyBytes || len > 0x7FFFFFF0u) return Fail(NTE_BAD_KEYSET);
  UniquePtr<EVP_CIPHER> aes(VELMOR_CALL(EVP_CIPHER_fetch, LibCtx(), "AES-256-GCM", nullptr));
  if (!aes) return FailOpenSsl(NTE_FAIL);
  UniquePtr<EVP_CIPHER_CTX> ctx(VELMOR_CALL(EVP_CIPHER_CTX_new));
  out.assign(1 + kNonceBytes + len + kTagBytes, 0);
  out[0] = kSealFormat;
  std::uint8_t* nonce = out.data() + 1;
  std::uint8_t* body = nonce + kNonceBytes;
  int n = 0, tail = 0;
  if (!ctx || VELMOR_CALL(RAND_bytes_ex, LibCtx(), nonce, kNonceBytes, 0) != 1 ||
      VELMOR_CALL(EVP_EncryptInit_ex2, ctx.get(), aes.get(), key.data(), nonce, nullptr) != 1 ||
      VELMOR_CALL(EVP_EncryptUpdate, ctx.get(), nullptr, &n,
                  reinterpret_cast<const unsigned char*>(binding.data()),
                  static_cast<int>(binding.size())) != 1 ||
      VELMOR_CALL(EVP_EncryptUpdate, ctx.get(), body, &n, plain, static_cast<int>(len)) != 1 ||
      VELMOR_CALL(EVP_EncryptFinal_ex, ctx.get(), body + n, &tail) != 1 ||
      VELMOR_CALL(EVP_CIPHER_CTX_ctrl, ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                  body + len) != 1) {
    return FailOpenSsl(NTE_FAIL);
  }
  return true;
}

bool Unseal(const SecretBytes& key, std::string_view binding, const std::uint8_t* sealed,
            std::size_t len, SecretBytes& out) {
  if (key.size() != kMasterKeyBytes || sealed == nullptr || len < 1 + kNonceBytes + kTagBytes ||
      len > 0x7FFFFFFFu || sealed[0] != kSealFormat) {
    return Fail(NTE_BAD_KEYSET);
  }
  const std::uint8_t* nonce = sealed + 1;
  const std::uint8_t* body = nonce + kNonceBytes;
  const std::size_t bodyLen = len - 1 - kNonceBytes - kTagBytes;
  UniquePtr<EVP_CIPHER> aes(VELMOR_CALL(EVP_CIPHER_fetch, LibCtx(), "AES-256-GCM", nullptr));
  if (!aes) return FailOpenSsl(NTE_BAD_KEYSET);
  UniquePtr<EVP_CIPHER_CTX> ctx(VELMOR_CALL(EVP_CIPHER_CTX_new));
  SecretBytes plain(bodyLen);
  std::uint8_t tag[kTagBytes];
  std::memcpy(tag, body + bodyLen, kTagBytes);
  int n = 0, tail = 0;
  if (!ctx ||
      VELMOR_CALL(EVP_DecryptInit_ex2, ctx.get(), aes.get(), key.data(), nonce, nullptr) != 1 ||
      VELMOR_CALL(EVP_DecryptUpdate, ctx.get(), nullptr, &n,
                  reinterpret_cast<const unsigned char*>(binding.data()),
                  static_cast<int>(binding.size())) != 1 ||
      VELMOR_CALL(EVP_DecryptUpdate, ctx.get(), plain.data(), &n, body,
                  static_cast<int>(bodyLen)) != 1 ||
      VELMOR_CALL(EVP_CIPHER_CTX_ctrl, ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                  tag) != 1) {
    return FailOpenSsl(NTE_BAD_KEYSET);
  }
  // A tag that does not check out is the answer "not this key or not this row".
  if (EVP_DecryptFinal_ex(ctx.get(), plain.data() + n, &tail) != 1) {
    DropExpectedOpenSslErrors();
    return Fail(NTE_BAD_KEYSET);
  }
  out = std::move(plain);
  return true;
}

void AnnounceFallback(const std::string& path) {
  if (TheRuntime().fallbackSaid.exchange(true)) return;
  std::fprintf(stderr,
               "velmor: no Secret Service could keep the master key that seals your private "
               "keys (none answered on the session bus, or it could not store one); it is kept "
               "in %s (owner-only). Choose with --key-storage keyring|file or "
               "VELMOR_KEY_STORAGE.\n",
               path.c_str());
}

}  // namespace velmor::crypt::detail

void velmor::crypt::SetKeyStorage(KeyStorage storage) {
  velmor::crypt::detail::TheRuntime().keyStorage.store(static_cast<int>(storage));
}
