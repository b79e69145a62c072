// Internal: private keys sealed at rest. A key's DER is kept as
//   0x01 | 12-byte nonce | AES-256-GCM ciphertext | 16-byte tag
// under the user's master key, with the database's identity, the container and the key spec
// as associated data, so that a sealed key opens only in the row it was written for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/crypt/detail.h"

namespace velmor::crypt::detail {

inline constexpr std::uint8_t kSealFormat = 0x01;
inline constexpr std::size_t kMasterKeyBytes = 32;

enum class KeySource { kKeyring, kFile };
const char* KeySourceName(KeySource source);
std::optional<KeySource> KeySourceNamed(std::string_view name);

// ChosenKeyStorage: the process's choice (SetKeyStorage, else VELMOR_KEY_STORAGE, else kAuto).
KeyStorage ChosenKeyStorage();
// SecretServiceAnswers: whether a Secret Service owns its name on the session bus, or can be
// started there. Never waits long: no session bus means no, at once.
bool SecretServiceAnswers();

// MasterKeyFile: where the file source keeps the master key of the database in `folder`.
std::string MasterKeyFile(const std::string& folder);
// MasterKeyLabel: the label of the Secret Service item.
const char* MasterKeyLabel();

// OpenMasterKey: the master key from `source` into `key` (wiped with it). `create` says that no
// sealed key depends on it: a missing one, or an empty file, is made anew (32 random bytes) and
// kept there first. False with NTE_BAD_KEYSET when it cannot be had (a file that is no regular
// file of ours, a link, one of another size), at once: nothing read by name can block.
bool OpenMasterKey(KeySource source, const std::string& folder, bool create, SecretBytes& key);

// RemoveAbandonedKeyFiles: removes the temporaries of master key files in `folder` that
// processes killed while making them left behind (those of living processes stay).
void RemoveAbandonedKeyFiles(const std::string& folder);

// AnnounceFallback: says once per process on standard error that the master key went to the
// file at `path` because no Secret Service answered.
void AnnounceFallback(const std::string& path);

// KeyBinding: the associated data of a key's row.
std::string KeyBinding(std::int64_t database, std::string_view container, DWORD spec);
// CheckBinding: the associated data of the check value that tells a right master key.
std::string CheckBinding(std::int64_t database);

// Seal / Unseal: `plain` under `key`, bound to `binding`. Unseal is false with NTE_BAD_KEYSET
// for anything that does not open: a wrong key, another row's binding, damaged bytes.
bool Seal(const SecretBytes& key, std::string_view binding, const std::uint8_t* plain,
          std::size_t len, std::vector<std::uint8_t>& out);
bool Unseal(const SecretBytes& key, std::string_view binding, const std::uint8_t* sealed,
            std::size_t len, SecretBytes& out);

}  // namespace velmor::crypt::detail
