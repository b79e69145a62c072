// Test support: keys and certificates made with OpenSSL's API, private data directories, and a
// runner for the `openssl` tool.
#include "tests/support/pki.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "hosts/velmor/admin.h"
#include "tests/support/owners.h"

namespace velmor::testing {

namespace {

using velmor::platform::UniquePtr;
using owners::Bio;
using owners::Pkey;
using owners::X509Cert;

[[noreturn]] void Throw(const std::string& what) {
  unsigned long e = ERR_get_error();
  char text[256] = "";
  if (e != 0) ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  throw std::runtime_error(what + (e != 0 ? std::string(": ") + text : std::string()));
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

Pkey KeyFromPem(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) Throw("PEM_read_bio_PrivateKey");
  return key;
}

TestKey GenerateKey(int bits) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
  if (!key) Throw("EVP_PKEY_Q_keygen");
  TestKey out;
  out.bits = bits;
  Bio bio(BIO_new(BIO_s_mem()));
  if (PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    Throw("PEM_write_bio_PKCS8PrivateKey");
  }
  out.privatePem = BioText(bio.get());
  unsigned char* raw = nullptr;
  int n = i2d_PUBKEY(key.get(), &raw);
  velmor::platform::OpenSslBytes der(raw);
  if (n <= 0) Throw("i2d_PUBKEY");
  out.publicDer.assign(der.get(), der.get() + n);
  return out;
}

// ParseSubject: "/CN=A/OU=B+O=C" into a name; "+" continues the previous RDN; "\" escapes.
void AddSubject(X509_NAME* name, const std::string& subject) {
  std::vector<std::pair<std::string, bool>> parts;  // text, joins previous RDN
  std::string current;
  bool joins = false;
  bool started = false;
  for (std::size_t i = 0; i < subject.size(); ++i) {
    char c = subject[i];
    if (c == '\\' && i + 1 < subject.size()) {
      current += subject[++i];
    } else if (c == '/' || c == '+') {
      if (started) parts.emplace_back(current, joins);
      current.clear();
      joins = c == '+';
      started = true;
    } else {
      current += c;
      started = true;
    }
  }
  if (started && !current.empty()) parts.emplace_back(current, joins);
  for (const auto& [text, join] : parts) {
    auto eq = text.find('=');
    if (eq == std::string::npos) throw std::runtime_error("bad subject part: " + text);
    std::string field = text.substr(0, eq);
    std::string value = text.substr(eq + 1);
    if (X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, join ? -1 : 0) != 1) {
      Throw("X509_NAME_add_entry_by_txt " + field);
    }
  }
}

}  // namespace

TempDataHome::TempDataHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmor-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
  if (const char* v = std::getenv("XDG_DATA_HOME")) {
    hadXdg_ = true;
    oldXdg_ = v;
  }
  if (const char* v = std::getenv("HOME")) {
    hadHome_ = true;
    oldHome_ = v;
  }
  setenv("XDG_DATA_HOME", path_.c_str(), 1);
  setenv("HOME", path_.c_str(), 1);
  // Tests keep the master key in a file beside their store, whatever session they run in
  // (the Secret Service test says otherwise for its own processes).
  setenv("VELMOR_KEY_STORAGE", "file", 0);
}

TempDataHome::~TempDataHome() {
  if (hadXdg_) {
    setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
  if (hadHome_) {
    setenv("HOME", oldHome_.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TestKey MakeKey(int bits, bool fresh) {
  if (fresh) return GenerateKey(bits);
  static std::mutex lock;
  static std::map<int, TestKey> cache;
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(bits);
  if (it == cache.end()) it = cache.emplace(bits, GenerateKey(bits)).first;
  return it->second;
}

std::vector<std::uint8_t> PrivateExponent(const TestKey& key) {
  Pkey pkey = KeyFromPem(key.privatePem);
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_RSA_D, &raw) != 1) {
    Throw("EVP_PKEY_get_bn_param");
  }
  UniquePtr<BIGNUM> d(raw);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(BN_num_bytes(d.get())));
  BN_bn2bin(d.get(), out.data());
  return out;
}

std::string TestCert::pem() const {
  const unsigned char* p = der.data();
  X509Cert x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x) Throw("d2i_X509");
  Bio bio(BIO_new(BIO_s_mem()));
  if (PEM_write_bio_X509(bio.get(), x.get()) != 1) Throw("PEM_write_bio_X509");
  return BioText(bio.get());
}

CertSpec Spec(std::string subject, std::vector<std::uint8_t> serial, int bits) {
  CertSpec spec;
  spec.subject = std::move(subject);
  spec.serial = std::move(serial);
  spec.bits = bits;
  return spec;
}

TestCert MakeCert(const CertSpec& spec) {
  TestCert out;
  out.key = spec.key.bits != 0 ? spec.key : MakeKey(spec.bits);
  Pkey key = KeyFromPem(out.key.privatePem);
  X509Cert x(X509_new());
  if (!x || X509_set_version(x.get(), 2) != 1) Throw("X509_new");

  std::vector<std::uint8_t> serial = spec.serial;
  if (serial.empty()) {
    serial.resize(8);
    if (RAND_bytes(serial.data(), 8) != 1) Throw("RAND_bytes");
    serial[0] = static_cast<std::uint8_t>((serial[0] & 0x7F) | 0x10);
  }
  // The encoder adds the zero byte a positive number with its top bit set needs; give it the
  // bytes without that zero so that the encoding is exactly `serial`.
  std::vector<std::uint8_t> magnitude = serial;
  if (magnitude.size() > 1 && magnitude[0] == 0 && magnitude[1] > 0x7F) {
    magnitude.erase(magnitude.begin());
  }
  ASN1_INTEGER* serialNumber = X509_get_serialNumber(x.get());
  if (ASN1_STRING_set(serialNumber, magnitude.data(), static_cast<int>(magnitude.size())) != 1) {
    Throw("ASN1_STRING_set");
  }
  out.serialHex = BytesToHex(serial.data(), serial.size());

  X509_NAME* subject = X509_get_subject_name(x.get());
  AddSubject(subject, spec.subject);
  Pkey signer;
  if (spec.issuer != nullptr) {
    const unsigned char* p = spec.issuer->der.data();
    X509Cert issuer(d2i_X509(nullptr, &p, static_cast<long>(spec.issuer->der.size())));
    if (!issuer) Throw("d2i_X509 issuer");
    if (X509_set_issuer_name(x.get(), X509_get_subject_name(issuer.get())) != 1) Throw("issuer");
    signer = KeyFromPem(spec.issuer->key.privatePem);
  } else {
    if (X509_set_issuer_name(x.get(), subject) != 1) Throw("issuer");
  }
  if (X509_gmtime_adj(X509_getm_notBefore(x.get()), spec.notBeforeOffsetSeconds) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(x.get()), spec.notAfterOffsetSeconds) == nullptr) {
    Throw("X509_gmtime_adj");
  }
  if (X509_set_pubkey(x.get(), key.get()) != 1) Throw("X509_set_pubkey");
  if (X509_sign(x.get(), signer ? signer.get() : key.get(), EVP_sha256()) <= 0) Throw("X509_sign");
  unsigned char* raw = nullptr;
  int n = i2d_X509(x.get(), &raw);
  velmor::platform::OpenSslBytes der(raw);
  if (n <= 0) Throw("i2d_X509");
  out.der.assign(der.get(), der.get() + n);
  return out;
}

void AddToStore(const std::string& store, const TestCert& cert) {
  HCERTSTORE h = CertOpenSystemStoreA(0, store.c_str());
  if (h == nullptr) throw std::runtime_error("CertOpenSystemStoreA " + store);
  BOOL ok = CertAddEncodedCertificateToStore(h, X509_ASN_ENCODING, cert.der.data(),
                                             static_cast<DWORD>(cert.der.size()),
                                             CERT_STORE_ADD_ALWAYS, nullptr);
  DWORD error = GetLastError();
  CertCloseStore(h, 0);
  if (!ok) throw std::runtime_error("CertAddEncodedCertificateToStore: " + std::to_string(error));
}

void ImportWithKey(const std::string& store, const TestCert& cert, DWORD keySpec,
                   std::string container) {
  // The key as a PRIVATEKEYBLOB, laid out by OpenSSL's own encoder of that format.
  Pkey key = KeyFromPem(cert.key.privatePem);
  velmor::platform::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || i2b_PrivateKey_bio(bio.get(), key.get()) <= 0) Throw("i2b_PrivateKey_bio");
  char* blob = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &blob);
  if (n <= 0 || blob == nullptr) Throw("BIO_get_mem_data");
  if (container.empty()) {
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                          static_cast<DWORD>(cert.der.size()));
    container = velmor::admin::ContainerNameFor(context);
    CertFreeCertificateContext(context);
  }
  const bool ok = velmor::admin::ImportKeyAndCertificate(
      store, cert.der, reinterpret_cast<const std::uint8_t*>(blob), static_cast<std::size_t>(n),
      keySpec, container);
  const DWORD error = GetLastError();
  OPENSSL_cleanse(blob, static_cast<std::size_t>(n));
  if (!ok) {
    throw std::runtime_error("ImportKeyAndCertificate: " + std::to_string(error) + " " +
                             velmor::crypt::LastFailedCall());
  }
}

std::string CertBase64(const TestCert& cert) {
  std::string out(4 * ((cert.der.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), cert.der.data(),
                          static_cast<int>(cert.der.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path.string());
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool ReadFull(int fd, char* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, into + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void RegisterModule(const std::string& velmor) {
  const CommandResult run = Run("'" + velmor + "' register");
  if (run.status != 0) throw std::runtime_error("velmor register failed: " + run.output);
}

CommandResult Run(const std::string& commandLine) {
  CommandResult result;
  std::string command = commandLine + " 2>&1";
  FILE* raw = popen(command.c_str(), "r");
  if (raw == nullptr) return result;
  velmor::platform::UniquePipe pipe(raw);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) result.output.append(buffer, n);
  int status = pclose(pipe.release());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<std::uint8_t> HexToBytes(const std::string& hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::runtime_error("not a hex digit");
  };
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  }
  return out;
}

std::string BytesToHex(const std::uint8_t* data, std::size_t len, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (std::size_t i = 0; i < len; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

}  // namespace velmor::testing
