#include "tests/support/softhsm.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

namespace velmor::testing {

namespace fs = std::filesystem;

namespace {

// Debian's SoftHSM module, for pkcs11-tool: velmor itself finds it through p11-kit.
constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kSoPin = "12345678";

void Check(const CommandResult& result, const std::string& what) {
  if (result.status != 0) throw std::runtime_error(what + " failed: " + result.output);
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::set<fs::path> TokenFolders(const fs::path& tokens) {
  std::set<fs::path> out;
  for (const auto& entry : fs::directory_iterator(tokens)) out.insert(entry.path());
  return out;
}

std::string Tool(const std::string& label) {
  return std::string("pkcs11-tool --module ") + kSoftHsmModule + " --token-label " + Quoted(label) +
         " --login --pin " + kTokenPin + " --label key --write-object ";
}

// WriteObject: one object (privkey, pubkey or cert) onto the token, from DER bytes.
void WriteObject(const fs::path& root, const std::string& label, const std::string& id,
                 const std::string& type, const std::vector<std::uint8_t>& der) {
  const fs::path file = root / ("object-" + type + ".der");
  WriteFile(file, der);
  Check(Run(Tool(label) + file.string() + " --id " + id + " --type " + type), "pkcs11-tool " + type);
  fs::remove(file);
}

void WriteKey(const fs::path& root, const std::string& label, const std::string& id,
              const TestKey& key, bool publicObject) {
  const fs::path keyPem = root / "key.pem", keyDer = root / "key.der";
  WriteFile(keyPem, key.privatePem);
  Check(Run("openssl pkcs8 -topk8 -nocrypt -in " + keyPem.string() + " -outform DER -out " +
            keyDer.string()),
        "openssl pkcs8");
  Check(Run(Tool(label) + keyDer.string() + " --id " + id + " --type privkey"), "pkcs11-tool privkey");
  fs::remove(keyPem);
  fs::remove(keyDer);
  if (publicObject) WriteObject(root, label, id, "pubkey", key.publicDer);
}

TestToken MakeToken(const fs::path& root, const std::string& label, const std::string& subject,
                    std::vector<std::uint8_t> serial, const TokenObjects& objects = {}) {
  const fs::path tokens = root / "tokens";
  const auto before = TokenFolders(tokens);
  Check(Run("softhsm2-util --init-token --free --label " + Quoted(label) + " --so-pin " + kSoPin +
            " --pin " + kTokenPin),
        "softhsm2-util --init-token");
  TestToken token;
  token.label = label;
  for (const fs::path& folder : TokenFolders(tokens)) {
    if (before.count(folder) == 0) token.folder = folder;
  }
  if (token.folder.empty()) throw std::runtime_error("no folder for token " + label);
  token.cert = MakeCert(Spec(subject, std::move(serial)));
  WriteKey(root, label, "01", objects.otherKey != nullptr ? *objects.otherKey : token.cert.key,
           objects.publicKey);
  WriteObject(root, label, "01", "cert", token.cert.der);
  return token;
}

// LockUserPin: SoftHSM counts no tries, so the token's state file gets the flag a card sets
// after the last wrong PIN (CKF_USER_PIN_LOCKED in SoftHSM's token-flags attribute, an
// unsigned long stored big-endian).
void LockUserPin(const fs::path& folder) {
  const fs::path file = folder / "token.object";
  std::vector<std::uint8_t> bytes = ReadFile(file);
  const std::uint8_t header[] = {0, 0, 0, 0, 0x80, 0, 0x53, 0x4B, 0, 0, 0, 0, 0, 0, 0, 2};
  auto at = std::search(bytes.begin(), bytes.end(), std::begin(header), std::end(header));
  if (at == bytes.end() || bytes.end() - at < 24) throw std::runtime_error("no token flags");
  const auto value = static_cast<std::size_t>(at - bytes.begin()) + sizeof header;
  bytes[value + 5] |= 0x04;  // CKF_USER_PIN_LOCKED, 0x00040000
  WriteFile(file, bytes);
}

const char* kPinentryScript = R"(#!/bin/sh
# A scripted pinentry: the Assuan protocol as pinentry speaks it, with the answer the test chose.
answer="$VELMOR_TEST_PINENTRY_ANSWER"
[ "$answer" = hang ] && exec sleep 60
case "$answer" in
  spawn:*)
    # Children that outlive a dialog that never greets; the second ignores SIGTERM.
    sleep 600 & echo $! >> "${answer#spawn:}"
    (trap '' TERM; exec sleep 600) & echo $! >> "${answer#spawn:}"
    exec sleep 60 ;;
esac
echo "OK Pleased to meet you"
while IFS= read -r line; do
  printf '%s\n' "$line" >> "$VELMOR_TEST_PINENTRY_LOG"
  case "$line" in
    GETPIN)
      case "$answer" in
        pin:*) printf 'D %s\nOK\n' "${answer#pin:}" ;;
        cancel) echo "ERR 83886179 Operation cancelled <Pinentry>" ;;
        garbage) head -c 3000 /dev/zero | tr '\0' x; echo ;;
        remove:*)
          rest="${answer#remove:}"
          rm -rf "${rest%%:*}"
          printf 'D %s\nOK\n' "${rest#*:}" ;;
      esac ;;
    BYE) echo "OK closing connection"; exit 0 ;;
    *) echo OK ;;
  esac
done
)";

}  // namespace

const SoftHsmTokens& Tokens() {
  static const SoftHsmTokens* tokens = [] {
    auto* t = new SoftHsmTokens;
    std::string pattern = (fs::temp_directory_path() / "velmor-softhsm-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    t->root = pattern;
    static const struct Remover {
      fs::path root;
      ~Remover() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
      }
    } remover{t->root};
    fs::create_directory(t->root / "tokens");
    WriteFile(t->root / "softhsm2.conf", "directories.tokendir = " + (t->root / "tokens").string() +
                                             "\nobjectstore.backend = file\nlog.level = ERROR\n");
    setenv("SOFTHSM2_CONF", (t->root / "softhsm2.conf").c_str(), 1);
    t->main = MakeToken(t->root, "Velmor Main", "/CN=Tessa Token/OU=QVA/O=Tarnvik Bank",
                        {0x7a, 0x11, 0x01});
    t->locked = MakeToken(t->root, "Velmor Locked", "/CN=Lars Locked/OU=QVA/O=Tarnvik Bank",
                          {0x7a, 0x11, 0x02});
    LockUserPin(t->locked.folder);
    t->removable = MakeToken(t->root, "Velmor Removable", "/CN=Rita Removed/OU=QVA/O=Tarnvik Bank",
                             {0x7a, 0x11, 0x03});
    t->hidden = MakeToken(t->root, "Velmor Hidden", "/CN=Hilde Hidden/OU=QVA/O=Tarnvik Bank",
                          {0x7a, 0x11, 0x04}, TokenObjects{.publicKey = false});
    t->hiddenWithoutKey = MakeCert(Spec("/CN=Nora Nokey/OU=QVA/O=Tarnvik Bank", {0x7a, 0x11, 0x05}));
    WriteObject(t->root, t->hidden.label, "02", "cert", t->hiddenWithoutKey.der);
    const TestKey other = MakeKey(1024, true);
    t->mismatched = MakeToken(t->root, "Velmor Mismatched", "/CN=Mia Mismatch/OU=QVA/O=Tarnvik Bank",
                              {0x7a, 0x11, 0x06}, TokenObjects{.publicKey = true, .otherKey = &other});
    t->pinentry = (t->root / "pinentry.sh").string();
    WriteFile(t->pinentry, std::string(kPinentryScript));
    fs::permissions(t->pinentry, fs::perms::owner_all);
    setenv("VELMOR_PINENTRY", t->pinentry.c_str(), 1);
    setenv("VELMOR_TEST_PINENTRY_LOG", (t->root / "pinentry.log").c_str(), 1);
    PinentryAnswer(std::string("pin:") + kTokenPin);
    return t;
  }();
  return *tokens;
}

TestToken AddToken(const std::string& label, const std::string& subject,
                   std::vector<std::uint8_t> serial) {
  return MakeToken(Tokens().root, label, subject, std::move(serial));
}

void PinentryAnswer(const std::string& answer) {
  setenv("VELMOR_TEST_PINENTRY_ANSWER", answer.c_str(), 1);
  if (const char* log = std::getenv("VELMOR_TEST_PINENTRY_LOG")) WriteFile(log, std::string());
}

std::string PinentryLog() {
  const char* log = std::getenv("VELMOR_TEST_PINENTRY_LOG");
  if (log == nullptr || !fs::exists(log)) return {};
  const auto bytes = ReadFile(log);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace velmor::testing
