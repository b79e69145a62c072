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

TestToken MakeToken(const fs::path& root, const std::string& label, const std::string& subject,
                    std::vector<std::uint8_t> serial) {
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
  const fs::path keyPem = root / "key.pem", keyDer = root / "key.der", pub = root / "pub.der",
                 cert = root / "cert.der";
  WriteFile(keyPem, token.cert.key.privatePem);
  Check(Run("openssl pkcs8 -topk8 -nocrypt -in " + keyPem.string() + " -outform DER -out " +
            keyDer.string()),
        "openssl pkcs8");
  WriteFile(pub, token.cert.key.publicDer);
  WriteFile(cert, token.cert.der);
  const std::string tool = std::string("pkcs11-tool --module ") + kSoftHsmModule +
                           " --token-label " + Quoted(label) + " --login --pin " + kTokenPin +
                           " --id 01 --label key --write-object ";
  Check(Run(tool + keyDer.string() + " --type privkey"), "pkcs11-tool privkey");
  Check(Run(tool + pub.string() + " --type pubkey"), "pkcs11-tool pubkey");
  Check(Run(tool + cert.string() + " --type cert"), "pkcs11-tool cert");
  fs::remove(keyPem);
  fs::remove(keyDer);
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
