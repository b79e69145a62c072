// Test support: certificates and keys that the tests make themselves with OpenSSL's API, put into
// the user's stores through the platform layer, a private data directory per test, and a runner
// for the `openssl` command-line tool as an independent peer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/crypt.h"
#include "tests/support/seam.h"

namespace velmor::testing {

// TempDataHome: points XDG_DATA_HOME (and HOME) at a fresh temporary directory for the lifetime
// of the object, so that the stores and key containers a test makes are its own; restores the
// previous values and removes the directory afterwards. Sets VELMOR_KEY_STORAGE=file unless it
// is set already, so that master keys go to a file in that directory.
class TempDataHome {
 public:
  TempDataHome();
  ~TempDataHome();
  TempDataHome(const TempDataHome&) = delete;
  TempDataHome& operator=(const TempDataHome&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::string oldXdg_, oldHome_;
  bool hadXdg_ = false, hadHome_ = false;
};

// A test key pair: the PEM of the private key (PKCS #8) and the DER of its SubjectPublicKeyInfo.
struct TestKey {
  int bits = 0;
  std::string privatePem;
  std::vector<std::uint8_t> publicDer;
};
// PrivateExponent: the key's private exponent d, most significant byte first (to search files
// for a key that should be gone).
std::vector<std::uint8_t> PrivateExponent(const TestKey& key);

// MakeKey: a fresh RSA key (public exponent 65537). Keys of one size are cached per process
// because generating them is slow; pass `fresh` to get a new one.
TestKey MakeKey(int bits = 1024, bool fresh = false);

struct CertSpec {
  // Subject as OpenSSL's one-line form, RDNs in encoding order, e.g. "/CN=Alice/OU=QVA/O=Bank".
  // A "+" joins attributes of one multi-valued RDN.
  std::string subject = "/CN=Alice/OU=QVA/O=Tarnvik Bank";
  // Serial number bytes, most significant first, exactly as they are to be encoded (a leading
  // zero byte is kept). Empty: a random 8-byte serial.
  std::vector<std::uint8_t> serial;
  int bits = 1024;
  TestKey key;           // used when key.bits != 0; otherwise MakeKey(bits)
  const struct TestCert* issuer = nullptr;  // null: self-signed
  long notBeforeOffsetSeconds = -3600;
  long notAfterOffsetSeconds = 365L * 24 * 3600;
};

struct TestCert {
  std::vector<std::uint8_t> der;
  TestKey key;
  std::string serialHex;  // lower case, most significant byte first, every encoded byte
  std::string pem() const;
};
// Spec: a CertSpec with the given subject, serial (empty: random) and key size, the rest default.
CertSpec Spec(std::string subject, std::vector<std::uint8_t> serial = {}, int bits = 1024);

// MakeCert: a certificate signed with SHA-256 by its issuer's key (or its own).
TestCert MakeCert(const CertSpec& spec);

// AddToStore: adds the certificate to a system store ("MY", "CA", "Root", "Trust",
// "TrustedPublisher") through the platform layer, without a key.
void AddToStore(const std::string& store, const TestCert& cert);
// ImportWithKey: puts the private key into a new key container `container` of the enhanced
// provider (as AT_KEYEXCHANGE or AT_SIGNATURE) and the certificate into `store` with its
// key-provider property naming that container. An empty container name makes one up.
void ImportWithKey(const std::string& store, const TestCert& cert, DWORD keySpec = AT_KEYEXCHANGE,
                   std::string container = {});

// Base64 of the DER, as a page passes a certificate (no line breaks).
std::string CertBase64(const TestCert& cert);

// WriteFile / ReadFile: whole-file helpers for the peer tests.
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void WriteFile(const std::filesystem::path& path, const std::string& text);
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
// ReadFull: exactly `size` bytes from descriptor `fd` into `into`; false when the other end
// closed (or the read failed) first.
bool ReadFull(int fd, char* into, std::size_t size);

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};
// Run: runs a shell command line, returning its exit status and output.
CommandResult Run(const std::string& commandLine);

// RegisterModule: `<velmor> register` into the current data folder, so that `velmor call` finds
// the control module built beside the host; throws std::runtime_error when it fails.
void RegisterModule(const std::string& velmor);

// HexToBytes / BytesToHex helpers for assertions.
std::vector<std::uint8_t> HexToBytes(const std::string& hex);
std::string BytesToHex(const std::uint8_t* data, std::size_t len, bool upper = false);

}  // namespace velmor::testing
